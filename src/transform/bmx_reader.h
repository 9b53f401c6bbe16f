// Buzz song reader: checks and lists a BMX/BMW file section by section. Every byte read goes
// through one function so that the merge can see, change, drop or add bytes on their way to the
// merge stream; when listing there is no merge stream.
#pragma once

#include <cstdint>
#include <cstdio>

struct MachineEntry {
    int description = 0; // index into machine_descriptions (0 for the master)
    int kind = 0;        // 0 master, 1 generator, 2 effect
    int tracks = 0;
    int inputs = 0;      // connections into this machine (counted with full_parse)
    char name[30] = {};  // first 29 characters of the machine's name
};

enum SectionId { sec_mach = 1, sec_conn, sec_wavt, sec_patt, sec_sequ, sec_blah, sec_wave };

struct InputSummary {
    FILE* stream = nullptr;
    int machines = 0;
    int connections = 0;
    int master_connections = 0;
    int instruments = 0;
    int instrument_index_bound = 0;
    int sequences = 0;
    int sequence_adjustment = 0;
    int waves = 0;
    uint32_t section_start[8] = {};  // by SectionId
    uint32_t section_length[8] = {};
    MachineEntry* machine_list = nullptr;
};

struct ReaderState {
    InputSummary input_summaries[3]; // 0 merged output, 1 first input, 2 second input
    int current_input = 0;
    int full_parse = 0;
    FILE* merge_stream = nullptr;
    int merging = 0;
    int list_generators_only = 0;
};

extern ReaderState reader_state;

// section_selector 0: every section; 1..7 only that section.
void read_buzz_song(FILE* in, int section_selector);
