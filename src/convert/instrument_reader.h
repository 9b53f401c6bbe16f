// The instrument reader: XM instruments and XI files carry the same instrument body, so one reader
// serves the instruments of an XM module, a single XI file and the XI slots of a MIDI conversion.
// It fills the song's instrument and sample records and hands what it read to the song writer's
// layer: the WAVE layout of a BMX song (songwriter/wave_data.h) and the XI export of a BMW song
// (songwriter/xi_file.h).
#pragma once

#include <cstdio>

#include "song/conversion.h"

// Reads instruments into records first, first + 1, ... from `in` (XM: the rest of the module
// from the current position; XI: one instrument from the start of the file). Pass from
// song.pass_number. wave_source tells the song writer where the WAVE data of these instruments is
// read: 0 the conversion's input, k the stream song.wave_sources[k - 1].
void read_instruments(Conversion& c, FILE* in, int first, int wave_source = 0);

// The instruments of an XI conversion (`xi_input`, the open XI file) or of a native MIDI
// conversion (the gmc_/gmp_ slot files in xi_dir), read in both passes before the song is written.
void load_xi_instruments(Conversion& c, FILE* xi_input);
