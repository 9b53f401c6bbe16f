// Pieces the XM and the MOD reader share: the pass they run in, the machine layout, handing a
// decoded cell to the effect translation, and passing over bytes of the module.
#pragma once

#include <cstdint>
#include <cstdio>

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

// MOD part of a run, from the sample headers on (the name has been read).
void read_mod(FILE* in, const ReadPass& pass);

// pattern_count from the module's number of patterns (at most max_patterns), the pattern table,
// and the machine layout by dotsplit.
void set_patterns_and_layout(int file_patterns, const ReadPass& pass);

// Sets the write position for cell (pattern p, row r, channel c), lists it and translates it
// when p is a pattern the song keeps and c lies within the channel limit.
void hand_cell(const ReadPass& pass, int p, int r, int c, int note, int instrument, int volume,
               int effect, int param);

