// WAVT section body (wave entries with envelopes and levels) and the XI loading of native MIDI
// and XI conversions.
#pragma once

#include <cstdio>

#include "song/conversion.h"

void write_wavt_section(Conversion& c);
// XI loading (sizing pass): reads the gmc_/gmp_ slot files, or the XI input itself.
void load_xi_instruments(Conversion& c, FILE* xi_input);
// The XI file name of wave entry i as written into WAVT.
void wave_file_name(Conversion& c, int i, char* out, int out_size);
