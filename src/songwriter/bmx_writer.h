// The Buzz song writer: header, section directory, MACH, CONN, BLAH and WAVE, in two passes.
#pragma once

#include <cstdint>
#include <cstdio>

#include "song/conversion.h"

// Writes the whole song of the conversion to its writer's output_stream (seeking it to the start
// first). `input` is the conversion's open input: an XI conversion reads its instrument from it
// (from the file song.current_input when it is null), and for dowave 2 the WAVE section's sample
// data is decoded from it (and from the XI slot files a MIDI conversion keeps open).
void write_song(Conversion& c, FILE* input = nullptr);

// The section bodies' offsets measured in the sizing pass, which the writing pass's directory
// gives and must arrive at.
struct SongLayout {
    uint32_t start[7] = {}; // by SectionId - 1: MACH, CONN, WAVT, PATT, SEQU, BLAH, WAVE
    uint32_t end = 0;       // end of the file
};

// Where generator k (1..n) of n sits: on a circle of radius 0.8 around the Master, at the angle
// 2π (k - 1) / n, x = -0.8 cos, y = -0.8 sin, rounded to single precision; the first one at
// (-0.8, -0.0). The same bytes on every system: quarter turns are taken off in integers (so
// 90, 180 and 270 degrees give exact zeros, written as -0.0 like the first one's y), and the
// sine and cosine of the rest come from the program's own series, not the C library's, whose
// last bits differ between systems.
struct GeneratorPosition {
    float x, y;
};
GeneratorPosition generator_position(int k, int n);

constexpr const char* program_version_text = "kestrix v3e ";
