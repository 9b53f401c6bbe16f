// Conversion driver: input kind, reading passes, machine layout, writing (the outside converters
// in convert/converters.h, the MIDI passes in midi/midi_passes.h).
#pragma once

#include <string>

#include "song/conversion.h"

// Converts `input` into the song `output` with everything the conversion `c` holds: its settings
// (c.settings, e.g. dotsplit and dowave), log, pool and machine descriptions; the song is built in
// c.song and written through c.writer. Returns 1 when a song was converted, 0 when the input was a
// song file that was only listed. Fatal errors end the job through job_abort; a song that was not
// finished is removed on every way out, so an existing file of the output's name stays as it was.
int convert(Conversion& c, const std::string& input, const std::string& output);

// The song in one line of decimal words, what the input held and what the song holds: "57 orders,
// 32 channels, 52 patterns, 83 instruments, 150 BPM -> 33 machines, 52 patterns, 83 waves, 3,648
// rows" (a MIDI file: its tracks with notes and its BPM; patterns: the most one machine holds).
std::string conversion_summary(const Conversion& c);

// Decides the input kind by the recognisers of input_formats.h (the name, overruled by a content
// that clearly says another kind) and sets the song's input_kind, converter_input and
// current_input.
void detect_input_kind(Conversion& c, const char* input);

// dotsplit 2, after the counting pass: numbers each instrument's channels as tracks, gives every
// instrument that is played a machine and drops the others from machine_count.
void assign_instrument_machines(Conversion& c);

// The layout after the first pass: checks the machine and track counts against the target
// machine and sane bounds, then builds machine_table and clears every pattern of every machine.
// Needs the machine descriptions loaded (record dopfun + 1), machine_count, pattern_count and the
// pattern lines set.
void lay_out_machines(Conversion& c);
