// WAVT section body (wave entries with envelopes and levels) and the names of the XI files the
// waves of native MIDI and XI conversions come from.
#pragma once

#include <cstdio>
#include <string>

#include "song/conversion.h"

void write_wavt_section(Conversion& c);
// The XI slot file `kind` + number ("gmc_", "gmp_") in xi_dir that a native MIDI conversion's
// waves come from: "<xi_dir>gmc_01.xi".
std::string xi_slot_name(const Conversion& c, const char* kind, unsigned number);
// The XI file name of wave entry i as written into WAVT.
std::string wave_file_name(Conversion& c, int i);
