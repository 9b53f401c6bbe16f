// Small song models for the song writer's tests, and a runner that drives a section writer
// through both passes the way write_song does.
#pragma once

#include <cstdio>
#include <functional>
#include <vector>

#include "buzz/write_primitives.h"
#include "convert/module_fixtures.h"

namespace kxtest {

inline uint32_t dword_at(const std::vector<uint8_t>& b, size_t at)
{
    return b.at(at) | (b.at(at + 1) << 8) | (b.at(at + 2) << 16) | (uint32_t(b.at(at + 3)) << 24);
}

// Master + `machines - 1` Tracker generators of `tracks` tracks, `patterns` patterns of `lines`
// rows, all unused (number 0) and empty; the order list is the identity, the song length 0.
inline void build_song(int machines, int patterns, int lines, int tracks)
{
    song.machine_count = machines;
    song.pattern_count = patterns;
    song.tracks_per_generator = tracks;
    song.song_length = 0;
    song.order_list = pool_array<OrderEntry>(order_list_size);
    for (int i = 0; i < order_list_size; ++i) song.order_list[i].pattern = i;
    song.pattern_table = pool_array<PatternInfo>(size_t(patterns > 0 ? patterns : 1));
    for (int p = 0; p < patterns; ++p) song.pattern_table[p].lines = lines;
    kxfix::layout_after_first_pass();
}

// Marks pattern p used by machine k.
inline void use_pattern(int k, int p) { song.machine_table[k].track_patterns[p].number = p + 1; }

// Puts a note on row r, track t of generator k's pattern p.
inline void put_note(int k, int p, int t, int r, uint8_t note)
{
    song.machine_table[k].track_patterns[p].data[(size_t(t) * size_t(song.pattern_table[p].lines) + size_t(r)) * 5] = note;
}

inline void set_order(const std::vector<int>& patterns)
{
    song.song_length = int(patterns.size());
    for (size_t i = 0; i < patterns.size(); ++i) song.order_list[i] = OrderEntry{patterns[i], 0};
}

// Runs `body` as a sizing pass, then as a writing pass into a temporary stream; checks that both
// passes counted the same bytes and returns what the writing pass wrote.
inline std::vector<uint8_t> two_passes(const std::function<void()>& body)
{
    writer = Writer{0, 0, nullptr};
    body();
    const int64_t sized = writer.write_count;
    FILE* f = std::tmpfile();
    writer = Writer{1, 0, f};
    body();
    EXPECT_EQ(writer.write_count, sized) << "sizing and writing pass differ";
    std::vector<uint8_t> out(size_t(std::ftell(f)));
    std::rewind(f);
    EXPECT_EQ(out.empty() ? 0 : std::fread(out.data(), 1, out.size(), f), out.size());
    std::fclose(f);
    writer.output_stream = nullptr;
    return out;
}

// An XI file of one 8-bit sample holding `deltas`.
inline std::vector<uint8_t> xi_file(const char* name, const std::vector<uint8_t>& deltas)
{
    kxfix::XmInstrument ins;
    ins.name = name;
    kxfix::XmSample s;
    s.length = uint32_t(deltas.size());
    s.data = deltas;
    ins.samples = {s};
    return kxfix::xi_file(ins).data;
}

} // namespace kxtest
