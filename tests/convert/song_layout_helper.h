// Test-side song layout: lays out the Master and generators and allocates every pattern from the
// pool the way the conversion driver does between its passes, so that cells can be written and
// checked without running a whole conversion.
#pragma once

#include <cstdint>
#include <vector>

namespace kxtest {

// Sets up song.pattern_count patterns of `lines` rows each (pattern_table, order_list identity,
// wave_map identity, song_length = pattern_count unless already set to something smaller), then
// lays out the Master and one generator per entry of tracks (its track count) with the driver's
// lay_out_machines. Generator row sizes follow settings.dopfun (the machine descriptions must be
// loaded when it is not 0).
void layout_song(const std::vector<int>& tracks, int pattern_count, int lines = 64);

// The counting pass's outcome turned into machines by the driver (assign_instrument_machines, with
// machine_count = instrument_count + 1 first). Returns the track count of each machine in order.
std::vector<int> number_instrument_machines();

// Allocates the instrument table (instrument_count records, wave_number = i + 1) and, for
// dotsplit 2, each record's track_map and the per-pattern-and-channel table.
void allocate_instruments(int instrument_count, int channel_count, int pattern_count);

// Byte of track t, row r of machine m's data in pattern p.
uint8_t* track_row(int m, int p, int t, int r);
// Global row r of machine m (0 or 1) in pattern p.
uint8_t* global_row(int m, int p, int r);

} // namespace kxtest
