// The Buzz song writer: header, section directory, MACH, CONN, BLAH and WAVE, in two passes.
#pragma once

#include <cstdint>
#include <cstdio>

// Writes the whole song to writer.output_stream (seeking it to the start first). For an XI
// conversion it reads the instrument from `xi_input_stream` (the conversion's open input), or
// from the file song.current_input when that is null; for dowave 2 it copies the wave temp file
// into the WAVE section and deletes the temp file afterwards.
void write_song(FILE* xi_input_stream = nullptr);

// The section bodies' offsets measured in the last pass.
struct SongLayout {
    uint32_t start[7] = {}; // MACH, CONN, WAVT, PATT, SEQU, BLAH, WAVE
    uint32_t end = 0;       // end of the file
};
extern SongLayout song_layout;

constexpr const char* program_version_text = "kestrix v3e ";

// Bytes of wave temp data copied between two progress dots.
constexpr unsigned wave_copy_dot_interval = 100000;
