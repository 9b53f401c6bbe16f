// Test-side song layout (see song_layout_helper.h).
#include "convert/song_layout_helper.h"

#include <cstring>

#include "convert/driver.h"
#include "convert/song.h"
#include "core/pool.h"
#include "settings/settings.h"
#include "songwriter/generators.h"
#include "transform/machines_ini.h"

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
    for (int p = 0; p < pattern_count; ++p) s.pattern_table[p].lines = s.pattern_table[p].play_lines = lines;
    if (!s.order_list) {
        s.order_list = pool_array<OrderEntry>(order_list_size);
        for (int i = 0; i < order_list_size; ++i) s.order_list[i].pattern = i;
    }
    if (!s.wave_map) {
        s.wave_map = pool_array<int>(wave_map_size);
        for (int i = 0; i < wave_map_size; ++i) s.wave_map[i] = i;
    }
    if (!s.channel_instrument) s.channel_instrument = pool_array<uint8_t>(size_t(s.channel_count));

    s.machine_count = int(tracks.size()) + 1;
    s.machine_table = pool_array<MachineRecord>(size_t(s.machine_count));
    MachineRecord& master = s.machine_table[0];
    master.kind = 0;
    master.track_count = s.machine_count - 1;
    master.track_row_bytes = 4;
    master.global_row_bytes = 5;
    master.track_patterns = pool_array<PatternData>(size_t(pattern_count));
    master.global_patterns = pool_array<PatternData>(size_t(pattern_count));
    for (int p = 0; p < pattern_count; ++p) {
        size_t tsize = size_t(master.track_count) * size_t(lines) * 4;
        master.track_patterns[p].data = pool_array<uint8_t>(tsize ? tsize : 1);
        std::memset(master.track_patterns[p].data, 0xFF, tsize);
        master.global_patterns[p].data = pool_array<uint8_t>(size_t(lines) * 5);
        std::memset(master.global_patterns[p].data, 0xFF, size_t(lines) * 5);
    }

    const MachineDescription* d = settings.dopfun ? machine_description(settings.dopfun + 1) : nullptr;
    for (int m = 1; m < s.machine_count; ++m) {
        MachineRecord& g = s.machine_table[m];
        g.kind = 1;
        g.track_row_bytes = d ? d->track_bytes : 5;
        g.global_row_bytes = d ? d->global_bytes : 1;
        g.track_count = tracks[size_t(m - 1)];
        g.track_patterns = pool_array<PatternData>(size_t(pattern_count));
        if (m == 1 && g.global_row_bytes) g.global_patterns = pool_array<PatternData>(size_t(pattern_count));
        for (int p = 0; p < pattern_count; ++p) {
            g.track_patterns[p].data =
                pool_array<uint8_t>(size_t(g.track_count) * size_t(lines) * size_t(g.track_row_bytes) + 1);
            s.cur_machine = m;
            s.cur_pattern = p;
            for (int t = 0; t < g.track_count; ++t)
                for (int r = 0; r < lines; ++r) {
                    s.cur_track = t;
                    s.cur_row = r;
                    write_cell(0, 0, 255, 0, 0);
                }
            if (g.global_patterns) {
                uint8_t* gd = g.global_patterns[p].data =
                    pool_array<uint8_t>(size_t(lines) * size_t(g.global_row_bytes));
                for (int r = 0; r < lines; ++r)
                    for (int b = 0; b < g.global_row_bytes; ++b)
                        gd[r * g.global_row_bytes + b] = d ? d->empty_bytes[b] : 0;
            }
        }
    }
    s.cur_machine = s.cur_pattern = s.cur_track = s.cur_row = s.cur_channel = 0;
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
