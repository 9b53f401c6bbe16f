// Wave tuning and ripping.
#include "transform/wave_tools.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/byteio.h"
#include "core/log.h"
#include "platform/platform.h"
#include "settings/settings.h"


namespace {

// The wave reaches the output song (or the listing): the first input of a merge, or a listed song.
bool rips_this_input(const WaveTools& w) { return !w.reader || w.reader->current_input <= 1; }

[[noreturn]] void tool_failed(WaveTools& w, Failure f)
{
    w.rip.discard();
    log_forced(w.log, "\n"); // the error on a line of its own, after the merge's progress
    job_abort(std::move(f));
}

[[noreturn]] void tool_failed(WaveTools& w, const char* fmt, ...) KX_PRINTF(2, 3);
void tool_failed(WaveTools& w, const char* fmt, ...)
{
    char msg[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    tool_failed(w, failure_of_text(msg));
}

// The WAV could not be written: the job ends with the file's name (whole) and the reason.
[[noreturn]] void rip_failed(WaveTools& w, int error)
{
    tool_failed(w, write_refused(FailedFile::wav_file, w.rip_name,
                                 error == EEXIST ? "exists; -y (--force) replaces it" : platform::error_text(error ? error : EIO)));
}

// "(the song has waves 1 to 7)": the numbers a song holds, runs of them joined.
std::string numbers_text(const char* what, std::vector<int> n)
{
    std::sort(n.begin(), n.end());
    n.erase(std::unique(n.begin(), n.end()), n.end());
    if (n.empty()) return std::string("no ") + what + "s";
    std::string t = std::string(what) + (n.size() > 1 ? "s " : " ");
    size_t runs = 0;
    for (size_t i = 0; i < n.size(); ++i) {
        size_t j = i;
        while (j + 1 < n.size() && n[j + 1] == n[j] + 1) ++j;
        if (runs++ == 8) return t + ", ...";
        if (i > 0) t += ", ";
        t += std::to_string(n[i]);
        if (j > i) t += (j == i + 1 ? ", " : " to ") + std::to_string(n[j]);
        i = j;
    }
    return t;
}

WaveTools& tools(void* user) { return *static_cast<WaveTools*>(user); }
void listing_entry(void* user, int ordinal, uint16_t* index) { wave_tools_entry(tools(user), ordinal, *index); }
void listing_sample_rate(void* user, int ordinal, int level, uint32_t* rate)
{
    wave_tools_sample_rate(tools(user), ordinal, level, rate);
}
void listing_flags(void* user, int, uint8_t flags) { wave_tools_flags(tools(user), flags); }
void listing_wave_begin(void* user, int, uint16_t* index, uint8_t, uint32_t bytes)
{
    wave_tools_wave_begin(tools(user), *index, bytes);
}
void listing_wave_data(void* user, int, const uint8_t* data, size_t size) { wave_tools_wave_data(tools(user), data, size); }
void listing_wave_end(void* user, int) { wave_tools_wave_end(tools(user)); }

} // namespace

void wav_header(uint8_t (&out)[wav_header_bytes], uint32_t bytes, uint32_t rate, int channels)
{
    // RIFF chunks are padded to an even size; the pad byte counts in the RIFF size only.
    std::memcpy(out, "RIFF", 4);
    store_le32(out + 4, bytes + 36 + (bytes & 1));
    std::memcpy(out + 8, "WAVEfmt ", 8);
    store_le32(out + 16, 16);       // fmt chunk size
    store_le16(out + 20, 1);        // PCM
    store_le16(out + 22, unsigned(channels));
    store_le32(out + 24, rate);                          // frames per second
    store_le32(out + 28, rate * 2 * uint32_t(channels)); // bytes per second
    store_le16(out + 32, 2 * unsigned(channels));        // bytes per frame
    store_le16(out + 34, 16);       // bits per sample
    std::memcpy(out + 36, "data", 4);
    store_le32(out + 40, bytes);
}

void wave_tools_start(WaveTools& w)
{
    wave_tools_forget(w);
    w.entry_index = -1;
    w.entries = 0;
    w.rip_channels = 1;
    w.tune_levels = -1;
    w.rip_found = false;
    w.wave_numbers.clear();
}

void wave_tools_entry(WaveTools& w, int ordinal, uint16_t index)
{
    const Settings& settings = w.settings;
    w.entry_index = index;
    if (rips_this_input(w) && ordinal + 1 > w.entries) w.entries = ordinal + 1;
    if (settings.tune_wave != 0 && ordinal + 1 == settings.tune_wave && w.tune_levels < 0) w.tune_levels = 0;
}

void wave_tools_sample_rate(WaveTools& w, int ordinal, int level, uint32_t* rate)
{
    const Settings& s = w.settings;
    if (s.tune_wave != 0 && ordinal + 1 == s.tune_wave) {
        if (level + 1 > w.tune_levels) w.tune_levels = level + 1;
        if (level + 1 == s.tune_level) *rate = uint32_t(s.tune_rate);
    }
    if (s.rip_wave != 0 && level == 0 && rips_this_input(w) && w.entry_index + 1 == s.rip_wave)
        w.rip_rate = *rate;
}

void wave_tools_flags(WaveTools& w, uint8_t flags)
{
    if (w.settings.rip_wave != 0 && rips_this_input(w) && w.entry_index + 1 == w.settings.rip_wave)
        w.rip_channels = (flags & 0x08) != 0 ? 2 : 1;
}

bool wave_tools_ripping(const WaveTools& w) { return w.settings.rip_wave != 0; }

void wave_tools_wave_begin(WaveTools& w, uint16_t index, uint32_t bytes)
{
    const Settings& settings = w.settings;
    if (settings.rip_wave == 0 || !rips_this_input(w)) return;
    w.wave_numbers.push_back(uint16_t(index + 1));
    if (index + 1 != settings.rip_wave) return;
    char base[32];
    std::snprintf(base, sizeof base, "kxrip%02x.wav", unsigned(index + 1));
    w.rip.discard(); // a song read in several passes: the last pass's WAV counts
    w.rip_complete = false;
    w.rip_found = true;
    w.rip_name = w.rip_folder + base;
    w.rip_left = bytes;
    w.rip_bytes = bytes;
    // The header's sizes and byte rate are dwords: a wave or a rate beyond them is refused.
    if (bytes > 0xFFFFFFFFu - 37)
        tool_failed(w, "wave %u has %lu bytes, more than a WAV file holds", unsigned(index + 1), static_cast<unsigned long>(bytes));
    if (uint64_t(w.rip_rate) * 2 * uint64_t(w.rip_channels) > 0xFFFFFFFFu)
        tool_failed(w, "wave %u's sample rate %lu is more than a WAV file holds", unsigned(index + 1),
                    static_cast<unsigned long>(w.rip_rate));
    log_print(w.log, "\nRipping wave %x to %s", unsigned(index + 1), w.rip_name.c_str());
    uint8_t header[wav_header_bytes];
    wav_header(header, bytes, w.rip_rate, w.rip_channels);
    errno = 0;
    if (!w.rip.create(w.rip_name, ".part")) rip_failed(w, errno);
    if (std::fwrite(header, 1, sizeof header, w.rip.get()) != sizeof header) rip_failed(w, errno);
}

void wave_tools_wave_data(WaveTools& w, const uint8_t* data, size_t size)
{
    if (!w.rip.get() || w.rip_complete || size == 0) return;
    errno = 0;
    if (std::fwrite(data, 1, size, w.rip.get()) != size) rip_failed(w, errno);
    w.rip_left -= uint32_t(size);
}

void wave_tools_wave_end(WaveTools& w)
{
    if (!w.rip.get() || w.rip_complete) return;
    // An odd byte count gets the pad byte RIFF asks for.
    const bool odd = (w.rip_bytes & 1) != 0;
    errno = 0;
    if (w.rip_left != 0) rip_failed(w, EIO);
    if ((odd && std::fputc(0, w.rip.get()) == EOF) || !w.rip.flush_ok()) rip_failed(w, errno);
    w.rip_complete = true;
}

void wave_tools_check(WaveTools& w)
{
    const Settings& s = w.settings;
    if (s.tune_wave != 0) {
        if (w.tune_levels < 0) {
            std::vector<int> n;
            for (int k = 1; k <= w.entries; ++k) n.push_back(k);
            tool_failed(w, "no wave %d (the song has %s)", s.tune_wave, numbers_text("wave", n).c_str());
        }
        if (s.tune_level < 1 || s.tune_level > w.tune_levels) {
            std::vector<int> n;
            for (int k = 1; k <= w.tune_levels; ++k) n.push_back(k);
            tool_failed(w, "wave %d has no level %d (it has %s)", s.tune_wave, s.tune_level, numbers_text("level", n).c_str());
        }
    }
    if (s.rip_wave != 0 && !w.rip_found) {
        const std::vector<int> n(w.wave_numbers.begin(), w.wave_numbers.end());
        tool_failed(w, "no wave %d (the song has %s)", s.rip_wave, numbers_text("wave", n).c_str());
    }
}

void wave_tools_commit(WaveTools& w, platform::NewFiles* made)
{
    if (!w.rip_complete) return;
    const int e = w.rip.commit(w.rip_name.c_str(), w.settings.replace_files != 0, made);
    if (e) rip_failed(w, e);
    w.rip_complete = false;
}

void wave_tools_finish(WaveTools& w)
{
    wave_tools_check(w);
    wave_tools_commit(w, nullptr);
    wave_tools_forget(w);
}

const ReaderHooks* wave_tools_listing_hooks(WaveTools& w)
{
    const Settings& settings = w.settings;
    if (settings.rip_wave == 0 && settings.tune_wave == 0) return nullptr;
    ReaderHooks& h = w.listing;
    h = ReaderHooks();
    h.user = &w;
    h.wave_table_index = listing_entry;
    h.sample_rate = listing_sample_rate;
    h.wave_flags = listing_flags;
    if (settings.rip_wave != 0) {
        h.wave_begin = listing_wave_begin;
        h.wave_data = listing_wave_data;
        h.wave_end = listing_wave_end;
    }
    return &h;
}

void wave_tools_forget(WaveTools& w)
{
    w.rip.discard();
    w.rip_complete = false;
}
