// The stages of a merge or transformation, shared by the files that make it up: merge.cpp runs
// the passes and writes the output; merge_plan.cpp decides the output's counts and sections;
// merge_machines.cpp carries MACH and CONN; merge_patterns.cpp PATT and SEQU; merge_sections.cpp
// WAVT, WAVE, BLAH and the sections beyond the seven. The reader's hooks of each stage carry the
// Merge as their context.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "buzz/bmx_reader.h"
#include "buzz/compressed_waves.h"
#include "buzz/machines_ini.h"
#include "buzz/para_section.h"
#include "core/log.h"
#include "transform/merge.h"

namespace merge_stage {

inline Merge& merge_of(void* user) { return *static_cast<Merge*>(user); }

constexpr int master_global_bytes = 5;   // volume word, tempo word, ticks per beat
constexpr uint32_t separator_bytes = 44; // CR LF, 40 '-', CR LF between two texts

// Ends the job with a formatted message.
[[noreturn]] void refuse(const char* fmt, ...) KX_PRINTF(1, 2);

inline InputSummary& summary(Merge& m, int i) { return m.reader.input_summaries[i]; }

// Runs fn; what fails in it without naming a file concerns song `input` (0: the output).
template <class Fn>
decltype(auto) about_song(Merge& m, int input, Fn&& fn)
{
    const FailedFile role = input == 0 ? FailedFile::output : input == 1 ? FailedFile::first_song : FailedFile::second_song;
    return about_file(role, m.state.songs[input], fn);
}
inline int current(Merge& m) { return m.reader.current_input; }
inline bool first_input(Merge& m) { return m.reader.current_input == 1; }

inline const MachineEntry& machine_entry(Merge& m, int machine) { return summary(m, current(m)).machine_list[machine]; }
inline const MachineDescription& machine_desc(Merge& m, int machine)
{
    return m.machines.machine_descriptions[machine_entry(m, machine).description];
}

// --- planning (merge_plan.cpp) -----------------------------------------------------------------

// The output's text length: the first song's text, merging: a separator and the second's too.
uint32_t text_length(Merge& m);
// The reader's count hook: the first song writes the output's counts.
int64_t output_count(void* user, int section, uint32_t value);
// The output's machine, connection, wave and sequence counts from the inputs' (refused past 65535).
void set_output_counts(Merge& m);

// One section of the output, in directory order: one of the seven, or a section of the first
// song carried on (as it is, or with the parameter descriptions of the added machines).
struct PlannedSection {
    int id = 0;                          // SectionId, 0 for a section beyond the seven
    const SectionEntry* extra = nullptr; // that section in the first song (none: a new CWAV)
    bool merged_para = false;
    bool merged_cwav = false; // the waves of both songs (MergeState::compressed)
};

// Where the PARA sections of the inputs hold the entries of the output's machines.
struct ParaPlan {
    ParaSection first, second;
    int clone_input = 0; // the input whose entry the clone's is made from
};

// Where the entries of the output's CWAV section lie in the inputs, when every wave goes there:
// the first song's compressed entries (its CWAV whole), then the WAVE entries of the first song,
// the compressed and the WAVE entries of the second song (as format-0 entries), each with its
// index shifted behind the first song's waves.
struct CwavPlan {
    const SectionEntry* first = nullptr;
    std::vector<CompressedWave> first_raw, second, second_raw;
    uint32_t count = 0; // entries in all
};

// The output's sections in directory order, decided before anything is written.
std::vector<PlannedSection> plan_sections(Merge& m, const char* first, const char* second, ParaPlan& para, CwavPlan& cwav);
// The first section of input `input` named `name` beyond the seven, or none.
const SectionEntry* find_extra(Merge& m, int input, const char* name);

// --- machines and connections (merge_machines.cpp) ---------------------------------------------

// MACH of the second song, when its machines are copied whole: its master read past.
void skip_second_master(Merge& m);
// After the counting pass: the names of the second song's machines and of the clone that are
// taken (MergeState::second_names, CloneState::name), each rename logged.
void plan_machine_names(Merge& m);
// CONN, after every input: the clone's connections.
void write_clone_connections(Merge& m);
void set_counting_machine_hooks(ReaderHooks& h);
// A tempo word times the blow-up factor (pattern_row: 0xFFFF, "no change", stays).
void multiply_tempo(Merge& m, uint8_t* word, bool pattern_row);
void set_machine_hooks(Merge& m, ReaderHooks& h);

// --- patterns and sequences (merge_patterns.cpp) -----------------------------------------------

// PATT of the second song, when its patterns are copied whole: its master's patterns read past.
void skip_second_master_patterns(Merge& m);
// PATT of the first song, when its patterns are copied whole: its master's patterns passed on with
// an input block for each connection the output's master gains.
void first_master_patterns(Merge& m);
// The output's song end and loop from the first song's.
void output_song_header(Merge& m, uint32_t* song_end, uint32_t* loop_start, uint32_t* loop_end);
// The counting pass's sequence hooks: the largest position of each of the first song's sequences.
void set_counting_sequence_hooks(ReaderHooks& h);
void set_pattern_hooks(ReaderHooks& h);
void set_sequence_hooks(ReaderHooks& h);

// --- waves and the other sections (merge_sections.cpp) -----------------------------------------

// The first song lacks a section the second one has: what the first song would have written
// ahead of the second song's part.
void write_first_head(Merge& m, int section);
// A section beyond the seven: the first song's, as it is or as the merged PARA, or the merged CWAV.
void write_extra_section(Merge& m, const PlannedSection& p, const ParaPlan& para, const CwavPlan& cwav);
// WAVE when every wave goes into CWAV: a section without waves (when an input has one); the first
// song's is still read for a rip.
void write_wave_moved(Merge& m, FILE* first);
// The first song's compressed waves read for a rip (after WAVT has set the rate).
void rip_compressed_wave(Merge& m, FILE* first);
void set_wave_hooks(Merge& m, ReaderHooks& h);
void set_text_hooks(ReaderHooks& h);

} // namespace merge_stage
