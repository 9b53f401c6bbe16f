// Wave tuning and ripping.
#include "transform/wave_tools.h"

#include <cstdio>
#include <cstring>

#include "core/log.h"
#include "settings/settings.h"

#define KESTRIX_AMBIENT_JOB
#include "buzz/ambient.h"

WaveTools wave_tools;

namespace {

void put_le(uint8_t* at, uint32_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i) at[i] = uint8_t(v >> (8 * i));
}

// The wave reaches the output song (or the listing): the first input of a merge, or a listed song.
bool rips_this_input() { return reader_state.current_input <= 1; }

void rip_failed()
{
    log_state.log_force = 1;
    log_print("\nWarning: Can't write %s, wave not ripped!", wave_tools.rip_name.c_str());
    wave_tools.rip.discard();
}

void listing_entry(int, uint16_t* index) { wave_tools_entry(*index); }
void listing_wave_begin(int, uint16_t* index, uint8_t, uint32_t bytes) { wave_tools_wave_begin(*index, bytes); }
void listing_wave_data(int, const uint8_t* data, size_t size) { wave_tools_wave_data(data, size); }
void listing_wave_end(int) { wave_tools_wave_end(); }

} // namespace

void wav_header(uint8_t (&out)[wav_header_bytes], uint32_t bytes, uint32_t rate)
{
    // RIFF chunks are padded to an even size; the pad byte counts in the RIFF size only.
    std::memcpy(out, "RIFF", 4);
    put_le(out + 4, bytes + 36 + (bytes & 1), 4);
    std::memcpy(out + 8, "WAVEfmt ", 8);
    put_le(out + 16, 16, 4);        // fmt chunk size
    put_le(out + 20, 1, 2);         // PCM
    put_le(out + 22, 1, 2);         // mono
    put_le(out + 24, rate, 4);      // samples per second
    put_le(out + 28, rate * 2, 4);  // bytes per second
    put_le(out + 32, 2, 2);         // bytes per frame
    put_le(out + 34, 16, 2);        // bits per sample
    std::memcpy(out + 36, "data", 4);
    put_le(out + 40, bytes, 4);
}

void wave_tools_entry(uint16_t index) { wave_tools.entry_index = index; }

void wave_tools_sample_rate(int ordinal, int level, uint32_t* rate)
{
    const Settings& s = settings;
    if (s.tune_wave != 0 && ordinal + 1 == s.tune_wave && level + 1 == s.tune_level)
        *rate = uint32_t(s.tune_rate);
    if (s.rip_wave != 0 && level == 0 && rips_this_input() && wave_tools.entry_index + 1 == s.rip_wave)
        wave_tools.rip_rate = *rate;
}

bool wave_tools_ripping() { return settings.rip_wave != 0; }

void wave_tools_wave_begin(uint16_t index, uint32_t bytes)
{
    WaveTools& w = wave_tools;
    if (settings.rip_wave == 0 || index + 1 != settings.rip_wave || !rips_this_input()) return;
    char base[32];
    std::snprintf(base, sizeof base, "kxrip%02x.wav", unsigned(index + 1));
    w.rip.discard(); // a song read in several passes: the last pass's WAV counts
    w.rip_complete = false;
    w.rip_name = w.rip_folder + base;
    w.rip_left = bytes;
    w.rip_bytes = bytes;
    log_print("\nRipping wave %x to %s", unsigned(index + 1), w.rip_name.c_str());
    uint8_t header[wav_header_bytes];
    wav_header(header, bytes, w.rip_rate);
    if (!w.rip.create(w.rip_name, ".part") || std::fwrite(header, 1, sizeof header, w.rip.get()) != sizeof header)
        rip_failed();
}

void wave_tools_wave_data(const uint8_t* data, size_t size)
{
    WaveTools& w = wave_tools;
    if (!w.rip.get() || w.rip_complete || size == 0) return;
    if (std::fwrite(data, 1, size, w.rip.get()) != size) rip_failed();
    w.rip_left -= uint32_t(size);
}

void wave_tools_wave_end()
{
    WaveTools& w = wave_tools;
    if (!w.rip.get() || w.rip_complete) return;
    // An odd byte count gets the pad byte RIFF asks for.
    const bool odd = (w.rip_bytes & 1) != 0;
    if (w.rip_left != 0 || (odd && std::fputc(0, w.rip.get()) == EOF) || !w.rip.flush_ok()) {
        rip_failed();
        return;
    }
    w.rip_complete = true;
}

void wave_tools_finish()
{
    WaveTools& w = wave_tools;
    if (w.rip_complete && w.rip.commit(w.rip_name.c_str(), true) != 0) rip_failed();
    wave_tools_forget();
}

const ReaderHooks* wave_tools_listing_hooks()
{
    static const ReaderHooks tuning = [] {
        ReaderHooks h;
        h.wave_table_index = listing_entry;
        h.sample_rate = wave_tools_sample_rate;
        return h;
    }();
    static const ReaderHooks ripping = [] {
        ReaderHooks h = tuning;
        h.wave_begin = listing_wave_begin;
        h.wave_data = listing_wave_data;
        h.wave_end = listing_wave_end;
        return h;
    }();
    if (settings.rip_wave != 0) return &ripping;
    return settings.tune_wave != 0 ? &tuning : nullptr;
}

void wave_tools_forget()
{
    wave_tools.rip.discard();
    wave_tools.rip_complete = false;
}
