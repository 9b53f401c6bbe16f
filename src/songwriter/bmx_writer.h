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
    uint32_t start[7] = {}; // MACH, CONN, WAVT, PATT, SEQU, BLAH, WAVE
    uint32_t end = 0;       // end of the file
};

constexpr const char* program_version_text = "kestrix v3e ";
