// Test-side song layout (see song_layout_helper.h).
#include "convert/song_layout_helper.h"

#include "buzz/machines_ini.h"
#include "convert/driver.h"
#include "core/pool.h"
#include "settings/settings.h"
#include "song/song.h"

namespace kxtest {

void allocate_instruments(int instrument_count, int channel_count, int pattern_count)
{
    song.instrument_count = instrument_count;
    song.channel_count = channel_count;
    song.instrument_table = pool_array<InstrumentRecord>(size_t(instrument_count));
    for (int i = 0; i < instrument_count; ++i) {
        song.instrument_table[i].wave_number = i + 1;
        song.instrument_table[i].track_map = pool_array<uint8_t>(size_t(channel_count));
    }
    song.pattern_channel_instrument = pool_array<uint8_t>(size_t(pattern_count) * size_t(channel_count));
}

std::vector<int> number_instrument_machines()
{
    song.machine_count = song.instrument_count + 1;
    assign_instrument_machines();
    std::vector<int> tracks;
    for (int m = 1; m < song.machine_count; ++m)
        tracks.push_back(song.instrument_table[song.instrument_table[m - 1].machine_instrument].track_count);
    return tracks;
}

void layout_song(const std::vector<int>& tracks, int pattern_count, int lines)
{
    Song& s = song;
    s.pattern_count = pattern_count;
    if (s.song_length > pattern_count) s.song_length = pattern_count;
    s.pattern_table = pool_array<PatternInfo>(size_t(pattern_count));
    for (int p = 0; p < pattern_count; ++p) s.pattern_table[p].lines = lines;
    if (!s.order_list) {
        s.order_list = pool_array<OrderEntry>(order_list_size);
        for (int i = 0; i < order_list_size; ++i) s.order_list[i].pattern = i;
    }
    if (!s.wave_map) {
        s.wave_map = pool_array<int>(wave_map_size);
        for (int i = 0; i < wave_map_size; ++i) s.wave_map[i] = i;
    }
    // The driver's layout, given the track counts through a stand-in instrument table of the split
    // by instrument, and a Tracker record when no machine table is loaded.
    static MachineDescription tracker[2];
    const bool own_records = !machine_description(1);
    if (own_records) {
        tracker[1].type = 1;
        tracker[1].max_tracks = 255;
        machine_table_state.machine_descriptions = tracker;
        machine_table_state.machine_description_count = 2;
    }
    InstrumentRecord* const instruments = s.instrument_table;
    const int instrument_count = s.instrument_count, dotsplit = settings.dotsplit, native = driver_state.native_midi;
    s.instrument_count = int(tracks.size());
    s.machine_count = s.instrument_count + 1;
    s.instrument_table = pool_array<InstrumentRecord>(tracks.size() + 1);
    for (size_t m = 0; m < tracks.size(); ++m) {
        s.instrument_table[m].machine_instrument = int(m);
        s.instrument_table[m].track_count = tracks[m];
    }
    settings.dotsplit = 2;
    driver_state.native_midi = 0;
    lay_out_machines();
    s.instrument_table = instruments;
    s.instrument_count = instrument_count;
    settings.dotsplit = dotsplit;
    driver_state.native_midi = native;
    if (own_records) machine_descriptions_reset();
}

uint8_t* track_row(int m, int p, int t, int r)
{
    const MachineRecord& g = song.machine_table[m];
    int lines = song.pattern_table[p].lines;
    return g.track_patterns[p].data + (size_t(t) * size_t(lines) + size_t(r)) * size_t(g.track_row_bytes);
}

uint8_t* global_row(int m, int p, int r)
{
    const MachineRecord& g = song.machine_table[m];
    return g.global_patterns[p].data + size_t(r) * size_t(g.global_row_bytes);
}

} // namespace kxtest
