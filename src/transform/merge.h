// Merging two Buzz songs into one, or transforming one song alone (machine positions, blow-up,
// repetition, the wave tools and the machine tools), written through a temporary file into the
// output song.
//
// Entry points for the front ends (the console's --merge, the dialog's Transform and Machine
// pages through the job runner):
//   merge_songs(first, second, output)   with the settings below; second null, "" or beginning
//                                        with a blank: transform `first` alone
//   merge_songs(first, nullptr, nullptr) with the reader's options.list_generators_only set: only reads
//                                        the machines of `first` (the Machine page's list)
// Settings read: do_mscale1, do_mscale2, do_mishift2, blow_up, song_repeat, dolist, clone_source,
// clone2, mtranspo, clone_trans, clone_wave, rip_es9, tune_wave, tune_level, tune_rate, rip_wave.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "buzz/bmx_reader.h"
#include "buzz/machines_ini.h"
#include "core/log.h"
#include "core/pool.h"
#include "settings/settings.h"
#include "transform/machine_tools.h"
#include "transform/wave_tools.h"

// The merge's own state while merge_songs runs; the counts of the inputs and of the output are
// in its reader's input_summaries (0 the output, 1 and 2 the inputs).
struct MergeState {
    int blow = 1;            // blow-up factor in effect (blow_up above 1, else 1)
    int repeat = 1;          // plays of the first song (song_repeat above 1, else 1)
    int machine_shift = 0;   // m1 - 1: added to the second song's machine numbers
    int wave_shift = 0;      // the first song's instrument_index_bound: added to the second's waves
    uint32_t song_end = 0;   // the first song's end after blow-up (the step between repetitions)
    bool has_section[3][8] = {}; // [input][SectionId]: the input holds the section
    // The largest position of each sequence of the first song (from the counting pass): the
    // width its positions need in the output follows from it.
    std::vector<uint32_t> last_position;
    std::string songs[3]; // the names of the output (0) and of the inputs (1, 2)
    bool started = false; // merge_songs has begun (in a failed job: the merge is what failed)
    // The first song's sequence being read, kept when it is repeated or cloned: its events after
    // blow-up as written (position, value; little-endian, widths as in the song). The only song
    // data a merge holds in memory.
    bool keep_events = false;
    bool cloned_sequence = false;
    int position_width = 1, value_width = 1; // bytes in the output: 1, 2 or 4
    uint32_t event_count = 0;
    std::vector<uint8_t> events;
    // Connections the output gains (from the counting pass): the machines of the second song that
    // feed its master (their numbers in the second song, in CONN order), each connected to the
    // output's master; and the clone source's connections (destination, amplitude, panning),
    // copied for the clone. Every pattern of a destination gets an input block for each.
    std::vector<uint16_t> second_master_sources;
    struct Connection {
        uint16_t destination, amplitude, panning;
    };
    std::vector<Connection> clone_connections;
    // New names of the second song's machines whose own names are taken (by machine number in the
    // second song; "" keeps the name).
    std::vector<std::string> second_names;
    // Compressed waves: every wave of both songs goes into one CWAV section (a song with compressed
    // waves merged with one that adds waves), WAVE keeps none.
    bool compressed = false;
    // Progress: the bytes of the inputs (read once to count, then once more to write), the
    // sections written so far (their bytes in the inputs), and the section being written (0 none).
    uint64_t input_bytes = 0;
    bool writing = false;
    uint64_t section_bytes_total = 0, section_bytes_done = 0;
    int section_writing = 0;
};

// One merge or transformation as a value: what it runs with (the job's settings, log, pool,
// machine descriptions and wave tools) and everything it keeps while it runs: its song reader,
// its own state and the machine tools' state. The reader's hooks carry the Merge as their context.
struct Merge {
    Merge(const Settings& job_settings, Log& job_log, Pool& job_pool, MachineTable& job_machines, WaveTools& job_tools)
        : settings(job_settings), log(job_log), pool(job_pool), machines(job_machines), tools(job_tools),
          reader(job_log, job_pool, job_machines)
    {
    }
    Merge(const Merge&) = delete;
    Merge& operator=(const Merge&) = delete;

    const Settings& settings;
    Log& log;
    Pool& pool;
    MachineTable& machines;
    WaveTools& tools;
    ReaderState reader;
    MergeState state;
    CloneState clone;
};

// Merges `first` and `second` into `output`, or transforms `first` alone into `output`, as the
// merge `m` says. Fatal errors end the job through job_abort; the output then stays as it was and
// no scratch file is left behind. `output` may name one of the inputs.
void merge_songs(Merge& m, const char* first, const char* second, const char* output);

// Non-zero when merge_songs merged a second song in (the final message then says "Merging
// finished!" rather than "Transformation finished!").
int merge_is_merging(const Merge& m);

// Progress of the merge or transformation `m`, 0..1, or -1 before it has begun: the counting read
// of the inputs is the first fifth, the writing the rest, both measured by how far the inputs are
// read. For the log window's repaint, on the job's own thread.
double merge_progress(const Merge& m);
