// One conversion as a value: the song it builds, the MIDI state of a native MIDI conversion, the
// writer of the song file and the progress a front end shows, beside what the conversion runs
// with (the job's settings, log, pool and machine descriptions). The job runner makes one for each
// conversion and passes it down through the driver, the readers and the song writer; nothing of it
// is shared with another job.
#pragma once

#include <cstdint>
#include <cstdio>

#include "buzz/bmx_reader.h"
#include "buzz/machines_ini.h"
#include "buzz/write_primitives.h"
#include "core/log.h"
#include "core/pool.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "song/midi_state.h"
#include "song/song.h"

// How far the conversion has come, for the console's progress bar.
struct ConversionProgress {
    // Phase 0 idle, 1 first pass, 2 counting pass, 3 second pass, 4 writing.
    int phase = 0;
    int phase_total = 0;       // phases this conversion runs (3 or 4)
    int phases_done = 0;
    FILE* input = nullptr;     // the file being read (owned by the driver)
    int64_t input_length = 0;  // its bytes
    uint32_t song_bytes = 0;   // the song's size, once the sizing pass has measured it
};

struct Conversion {
    Conversion(const Settings& job_settings, Log& job_log, Pool& job_pool, MachineTable& job_machines,
               JobCancel* job_cancel = nullptr)
        : settings(job_settings), log(job_log), pool(job_pool), machines(job_machines), cancel(job_cancel)
    {
    }
    Conversion(const Conversion&) = delete;
    Conversion& operator=(const Conversion&) = delete;

    const Settings& settings; // the options the job runs with
    Log& log;                 // the job's log
    Pool& pool;               // the job's pool: every table of the song comes from it
    MachineTable& machines;   // machines.ini as the job loaded it
    JobCancel* cancel;        // the job's kill request and the outside converter it waits for;
                              // null: the conversion cannot be killed (a test's)

    Song song;                // the song being built
    MidiState midi;           // a native MIDI conversion's reading and placement state
    Writer writer;            // the song file being written
    ConversionProgress progress;
    // The XI files a BMW conversion exported under new names: they stay registered as the
    // conversion's until the song has its name (the driver keeps them then), and a failed or
    // interrupted conversion removes them, so that xi_dir is left as it was.
    platform::NewFiles exported_xi_files;
    // The hooks a song given as input is listed with (the job's wave tools), or none.
    const ReaderHooks* listing_hooks = nullptr;
};

// A MIDI file read by the program itself (not through easyxmid), and one whose waves are chosen per
// MIDI program (dopchange).
inline bool native_midi(const Conversion& c) { return c.song.input_kind == InputKind::midi && !c.settings.domidi_ext; }
inline bool patch_mode(const Conversion& c) { return native_midi(c) && c.settings.dopchange; }

// A table of n song records (at least one) from the job's pool, value-initialised.
template <class T>
T* song_table(Conversion& c, size_t n)
{
    return pool_array<T>(c.pool, n ? n : 1);
}

// The conversion enters progress phase `phase` (ConversionProgress::phase), the one before done.
inline void enter_phase(Conversion& c, int phase)
{
    ConversionProgress& d = c.progress;
    if (d.phase) ++d.phases_done;
    d.phase = phase;
}

// Why a conversion ends when machines.ini lacks the target machine's record.
constexpr const char* no_target_message = "Target machine not found, check machines.ini!!";

// Overall progress of the conversion, 0..1, or -1 when it has not begun or has ended.
double conversion_progress(const Conversion& c);
