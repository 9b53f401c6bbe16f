// Machine tools of the Machine page: one generator of the first song (the source, clone_source)
// is cloned onto another generator type (clone2): a new last machine "Clone <short name>" whose
// patterns carry the source's notes, volumes and waves in the destination's row layout, and whose
// sequence is the source's. The source's own notes may be transposed (mtranspo), and the data
// block of an ES-9 source may be saved as "es-9.dat" (rip_es9) for later clones and conversions.
// They run inside the merge's passes; merge.cpp calls them from its reader hooks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "buzz/bmx_reader.h"
#include "platform/platform.h"

struct CloneState {
    int source = 0;        // machine of the first song whose notes are used, 0 = none
    int destination = 0;   // machines.ini record of the clone, 0 = no clone
    int rows = 1;          // clone rows per source row (the blow-up factor)
    std::string name;      // the clone's machine name ("" until the merge has chosen it)
    platform::ScratchFile patterns;  // the clone's patterns until they are appended to PATT
    platform::ScratchFile es9;       // "es-9.dat" while the source's data block is ripped
    platform::NewFiles* made = nullptr; // where a new es-9.dat goes until the merge's song is made
    // Taken from the source's last track row read (reset at the start of each pass over PATT).
    uint8_t note = 0, wave = 0, volume = 255, byte4 = 0, byte5 = 0;
    int notes_out_of_range = 0; // notes the source's or the clone's transposition took beyond the note byte
};

struct Merge;

// Sets the tools up for one merge from the settings: checks the source against the first song's
// machine count and the destination against machines.ini, and creates the clone's pattern file
// beside `beside` (the output song). rows: the blow-up factor in effect. A ripped es-9.dat that
// takes a free name goes to `made`.
void machine_tools_start(Merge& m, int first_song_machines, int rows, const std::string& beside, platform::NewFiles* made);
// Removes the tools' scratch files (on every way out of a merge).
void machine_tools_forget(Merge& m);

// MACH of the first song: a part of machine `machine`'s data block (for the ES-9 rip).
void machine_tools_data(Merge& m, int machine, const uint8_t* data, size_t size, uint32_t offset, uint32_t total);
// MACH, after every other machine: the clone's record, with the source's track count.
void clone_write_machine(Merge& m, int tracks);
// The clone's machine name: "Clone " and the destination's short name, or the free name the
// merge chose when that one is taken.
std::string clone_machine_name(const Merge& m);

// PATT of the first song, for the source machine: its pattern count and track count, and each
// pattern's name and line count as written.
void clone_pattern_header(Merge& m, uint16_t patterns, uint16_t tracks);
void clone_pattern_lines(Merge& m, const char* name, uint16_t lines);
// A row of the source before it is written: taken for the clone, then its note transposed.
void source_row(Merge& m, const RowPlace& at, uint8_t* bytes, int size);
// After a row of the source was written: the clone's row (and its blow-up rows).
void clone_after_row(Merge& m, const RowPlace& at, const uint8_t* bytes, int size);
// PATT, after every other machine: the clone's patterns appended to the merge stream.
void clone_append_patterns(Merge& m);
