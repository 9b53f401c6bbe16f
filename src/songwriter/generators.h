// The generator catalogue: how each target generator is written into MACH, and the cell writer
// that stores one pattern cell in a generator's track row.
#pragma once

#include <cstddef>
#include <cstdint>

#include "song/conversion.h"

// Writes one generator record (name, type, library, position, data, attributes, states) through
// the write primitives of `w`. record: index into the machine descriptions; the settings give the
// vMidiOut device.
void write_generator_machine(Writer& w, const MachineTable& machines, const Settings& settings, int record,
                             int track_count, float x, float y, const char* name, int tick_byte);

// Stores one cell at the song's cur_machine / cur_pattern / cur_track / cur_row. A position
// outside the pattern block is never written.
void write_cell(Conversion& c, uint8_t note, uint8_t wave, uint8_t volume, uint8_t effect, uint8_t value);

// Fills `rows` track rows of row_bytes bytes at data with the empty cell (note 0, wave 0, volume
// 255, effect 0, value 0) as write_cell writes it into a zeroed row.
void fill_empty_cells(const Conversion& c, uint8_t* data, size_t rows, int row_bytes);

// Name of generator k (1-based machine number) as the song writer gives it; out has room for 32.
void generator_name(const Conversion& c, int k, char* out, int out_size);
