// Wave tools of the Transform page: a new sample rate for one level of one wave (tuning), and one
// wave copied into a WAV file "kxrip%02x.wav" (ripping). They work on a song on its way through
// the song reader, in a merge or transformation and when a song is listed.
//
// Settings: tune_wave (1-based WAVT entry within its song, 0 = off), tune_level (1-based level),
// tune_rate; rip_wave (index + 1 of the wave to rip, 0 = off). A wave is ripped from the first
// input of a merge or from a listed song; its WAV sample rate is the rate of the first level of
// the WAVT entry with the same index (after tuning), so that the rate belongs to the wave ripped
// even when a song's indexes are not 0, 1, 2, ... in table order, and the WAV is stereo when that
// entry is (its levels' frames left, right).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "buzz/bmx_reader.h"
#include "core/log.h"
#include "platform/platform.h"
#include "settings/settings.h"

constexpr size_t wav_header_bytes = 44;

// The tools' state for one job (a listed song, or the songs a merge reads), with the job's
// settings and log.
struct WaveTools {
    WaveTools(const Settings& job_settings, Log& job_log) : settings(job_settings), log(job_log) {}
    WaveTools(const WaveTools&) = delete;
    WaveTools& operator=(const WaveTools&) = delete;
    const Settings& settings;
    Log& log;
    const ReaderState* reader = nullptr; // the merge's reader while a merge reads; none for a listed song
    ReaderHooks listing;       // the hooks of a listed song (wave_tools_listing_hooks)

    uint32_t rip_rate = 44100; // sample rate for the next WAV
    int rip_channels = 1;      // its channels: 2 for a stereo wave (WAVT flag bit 3)
    std::string rip_folder;    // where the WAV goes, with its final separator ("" = here; a merge
                               // puts it beside its output unless it is set before)
    int entry_index = -1;      // WAVT: the index of the entry being read
    platform::ScratchFile rip; // the WAV being written
    std::string rip_name;      // its final name
    uint32_t rip_bytes = 0;    // the wave's byte count
    uint32_t rip_left = 0;     // wave bytes still to come
    bool rip_complete = false; // the WAV is whole and waits for the job to succeed
    // What the songs held, so that a tool that found nothing to work on says so.
    int entries = 0;           // WAVT entries of the first song (or the listed one)
    int tune_levels = -1;      // levels of the entry tune_wave names (any song); -1: none
    bool rip_found = false;    // the wave rip_wave names was met
    std::vector<uint16_t> wave_numbers; // index + 1 of the first song's waves, with rip_wave
};

// The 44-byte header of a 16-bit PCM WAV of `channels` channels (1 or 2) with `bytes` bytes of data
// at `rate` frames/s.
void wav_header(uint8_t (&out)[wav_header_bytes], uint32_t bytes, uint32_t rate, int channels);

// Sets the tools up for a job: what the last one met is forgotten.
void wave_tools_start(WaveTools& w);
// The tools' share of the reader's hooks (the merge calls them from its own hooks):
// WAVT: entry `ordinal` (0-based in its song) with index `index` is read, and the rate of its
// level `level` is about to be written.
void wave_tools_entry(WaveTools& w, int ordinal, uint16_t index);
void wave_tools_sample_rate(WaveTools& w, int ordinal, int level, uint32_t* rate);
// WAVT: the flags of the entry last given to wave_tools_entry (a stereo wave is ripped so).
void wave_tools_flags(WaveTools& w, uint8_t flags);
// WAVE: a wave begins, its bytes, its end.
void wave_tools_wave_begin(WaveTools& w, uint16_t index, uint32_t bytes);
void wave_tools_wave_data(WaveTools& w, const uint8_t* data, size_t size);
void wave_tools_wave_end(WaveTools& w);
// True when a wave will be ripped (the bytes must then be seen).
bool wave_tools_ripping(const WaveTools& w);

// Hooks for a song that is listed (the conversion given a Buzz song), or nullptr when no wave
// tool is chosen.
const ReaderHooks* wave_tools_listing_hooks(WaveTools& w);

// Every song was read: a wave or a level that the tools name and no song holds ends the job
// ("no wave 99 (the song has waves 1 to 7)"), so that a transformation never writes a copy that
// silently lacks what was asked for.
void wave_tools_check(WaveTools& w);
// Gives a complete WAV its name "kxrip%02x.wav" (until then it has a scratch name, so a failed job
// leaves none behind): only a free name unless replace_files. A WAV that took a free name goes to
// `made` when one is given (the merge keeps it once its song has its name). A failure ends the job.
void wave_tools_commit(WaveTools& w, platform::NewFiles* made);
// A listed song was read: check, then commit the WAV for good.
void wave_tools_finish(WaveTools& w);
// Removes a WAV that was not finished (a failed job).
void wave_tools_forget(WaveTools& w);
