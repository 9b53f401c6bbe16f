// XI instrument files and XM instruments: one instrument-body reader for both, the layout of their
// WAVE data, and the XI export of a BMW conversion.
#pragma once

#include <cstdio>

// Reads instruments into records first, first + 1, ... from `in` (XM: the rest of the module
// from the current position; XI: one instrument from the start of the file). Pass from
// song.pass_number. wave_source tells the song writer where the WAVE data of these instruments is
// read: 0 the conversion's input, k the stream song.wave_sources[k - 1].
void read_instruments(FILE* in, int first, int wave_source = 0);

// The XI file name of instrument i for a module input: xi_dir + base name (at most 6 characters,
// up to its first '.') + "%02x" + ".xi".
void xi_export_name(int i, char* out, int out_size);
