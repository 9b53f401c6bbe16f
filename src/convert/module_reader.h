// Pieces the XM and the MOD reader share: the pass they run in, the start of a module run, the
// pattern table and machine layout, and handing a decoded cell to the effect translation.
#pragma once

#include "song/conversion.h"

#include <cstdint>
#include <cstdio>

#include "convert/effects.h"

struct ReadPass {
    bool first;   // first pass (not the counting pass): allocates and sizes
    bool second;  // second pass: writes cells and wave data
    bool counting; // the dotsplit 2 counting pass
    bool listing; // pattern listing (second pass with dolist)
};

// Highest channel count a song is built for; a module declaring more (or none) ends the job.
constexpr int max_module_channels = 128;

// Lines of one pattern at most; a pattern declaring more ends the job.
constexpr int max_pattern_lines = 1024;

// The pass the song's pass_number and counting_pass name.
ReadPass module_read_pass(const Conversion& c);

// The start of every module run: the song's order list and wave map when it has none yet, the
// signature (an XM's 17 bytes; a MOD has none and is read again from its start) and the module's
// name. Returns true for an XM. The stream then stands after the name.
bool read_module_start(Conversion& c, FILE* in, const ReadPass& pass);

// pattern_count from the module's number of patterns (at most max_module_patterns), the pattern table,
// and the machine layout by dotsplit.
void set_patterns_and_layout(Conversion& c, int file_patterns, const ReadPass& pass);

// Where a cell sits in the module.
struct CellPlace {
    int pattern;
    int row;
    int channel;
};

// Sets the write position for the cell, lists it and translates it when its pattern is one the
// song keeps and its channel lies within the channel limit.
void hand_cell(Conversion& c, const ReadPass& pass, const CellPlace& at, const TrackerCell& cell);
