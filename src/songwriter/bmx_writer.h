// The Buzz song writer: header, section directory, MACH, CONN, BLAH and WAVE, in two passes.
#pragma once

#include <cstdint>

// Writes the whole song to writer.output_stream.
void write_song();

// The section bodies' offsets measured in the last pass.
struct SongLayout {
    uint32_t start[7] = {}; // MACH, CONN, WAVT, PATT, SEQU, BLAH, WAVE
    uint32_t end = 0;       // end of the file
    // The input file to name in BLAH; for a MIDI file through the outside converter the XM.
};
extern SongLayout song_layout;

constexpr const char* program_version_text = "kestrix v3e ";
