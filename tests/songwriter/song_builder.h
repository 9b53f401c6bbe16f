// Small song models built straight in pool memory for the song writer's tests, and a runner that
// drives a section writer through both passes the way write_song does.
#pragma once

#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "convert/song.h"
#include "core/pool.h"
#include "songwriter/write_primitives.h"

namespace kxtest {

// A song of `machines` machines (Master + Tracker generators with `tracks` tracks each) and
// `patterns` patterns of `lines` rows. Every pattern is unused (number 0) and holds the empty
// values: Master rows 0xFF, generator cells 00 00 FF 00 00, machine 1's global rows 0.
inline void build_song(int machines, int patterns, int lines, int tracks)
{
    song.machine_count = machines;
    song.pattern_count = patterns;
    song.song_length = 0;
    song.order_list = pool_array<OrderEntry>(order_list_size);
    for (int i = 0; i < order_list_size; ++i) song.order_list[i].pattern = i;
    song.pattern_table = pool_array<PatternInfo>(size_t(patterns > 0 ? patterns : 1));
    for (int p = 0; p < patterns; ++p) song.pattern_table[p].lines = song.pattern_table[p].play_lines = lines;
    song.machine_table = pool_array<MachineRecord>(size_t(machines));
    for (int k = 0; k < machines; ++k) {
        MachineRecord& m = song.machine_table[k];
        m.kind = k == 0 ? 0 : 1;
        m.track_row_bytes = k == 0 ? 4 : 5;
        m.global_row_bytes = k == 0 ? 5 : 1;
        m.track_count = k == 0 ? machines - 1 : tracks;
        m.track_patterns = pool_array<PatternData>(size_t(patterns > 0 ? patterns : 1));
        if (k <= 1) m.global_patterns = pool_array<PatternData>(size_t(patterns > 0 ? patterns : 1));
        for (int p = 0; p < patterns; ++p) {
            size_t tsize = size_t(m.track_count) * size_t(lines) * size_t(m.track_row_bytes);
            m.track_patterns[p].data = pool_array<uint8_t>(tsize ? tsize : 1);
            for (size_t b = 0; b < tsize; ++b)
                m.track_patterns[p].data[b] = k == 0 ? 0xFF : ((b % 5) == 2 ? 0xFF : 0);
            if (m.global_patterns) {
                size_t gsize = size_t(lines) * size_t(m.global_row_bytes);
                m.global_patterns[p].data = pool_array<uint8_t>(gsize);
                for (size_t b = 0; b < gsize; ++b) m.global_patterns[p].data[b] = k == 0 ? 0xFF : 0;
            }
        }
    }
}

// Marks pattern p used by machine k.
inline void use_pattern(int k, int p) { song.machine_table[k].track_patterns[p].number = p + 1; }

// Puts a note on row r, track t of generator k's pattern p.
inline void put_note(int k, int p, int t, int r, uint8_t note)
{
    const MachineRecord& m = song.machine_table[k];
    int lines = song.pattern_table[p].lines;
    m.track_patterns[p].data[(size_t(t) * size_t(lines) + size_t(r)) * 5] = note;
}

inline void set_order(const std::vector<int>& patterns)
{
    song.song_length = int(patterns.size());
    for (size_t i = 0; i < patterns.size(); ++i) song.order_list[i] = OrderEntry{patterns[i], 0};
}

// Runs `body` as a sizing pass and then as a writing pass into a temporary stream; checks that
// both passes counted the same bytes and returns what the writing pass wrote.
inline std::vector<uint8_t> two_passes(const std::function<void()>& body)
{
    writer.writer_pass = 0;
    writer.write_count = 0;
    writer.output_stream = nullptr;
    body();
    const int64_t sized = writer.write_count;
    FILE* f = std::tmpfile();
    writer.writer_pass = 1;
    writer.write_count = 0;
    writer.output_stream = f;
    body();
    EXPECT_EQ(writer.write_count, sized) << "sizing and writing pass differ";
    std::fflush(f);
    std::vector<uint8_t> out(size_t(std::ftell(f)));
    std::rewind(f);
    if (!out.empty()) {
        EXPECT_EQ(std::fread(out.data(), 1, out.size(), f), out.size());
    }
    std::fclose(f);
    writer.output_stream = nullptr;
    return out;
}

} // namespace kxtest

namespace kxtest {

// An XI instrument file with one 8-bit sample holding `deltas` (delta-coded bytes).
inline std::vector<uint8_t> xi_file(const char* name, const std::vector<uint8_t>& deltas)
{
    std::vector<uint8_t> b;
    auto str = [&](const char* s, size_t n, char pad) {
        size_t len = std::strlen(s);
        for (size_t i = 0; i < n; ++i) b.push_back(uint8_t(i < len ? s[i] : pad));
    };
    auto w16 = [&](unsigned v) {
        b.push_back(uint8_t(v));
        b.push_back(uint8_t(v >> 8));
    };
    auto w32 = [&](uint32_t v) {
        w16(v & 0xFFFF);
        w16(v >> 16);
    };
    str("Extended Instrument:", 20, ' ');
    b.push_back(' ');
    str(name, 22, ' ');
    b.push_back(0x1A);
    str("FastTracker v2.00", 20, ' ');
    w16(0x0102);
    b.insert(b.end(), 96, 0);      // every note plays sample 0
    b.insert(b.end(), 96, 0);      // volume and panning envelopes
    b.insert(b.end(), 14, 0);      // point counts, sustain and loop points, types, vibrato
    w16(0);                        // fadeout
    w16(0);                        // reserved
    b.insert(b.end(), 20, 0);
    w16(1);                        // samples
    w32(uint32_t(deltas.size()));  // length
    w32(0);                        // loop start
    w32(0);                        // loop length
    b.push_back(64);               // volume
    b.push_back(0);                // finetune
    b.push_back(0);                // type: 8-bit, no loop
    b.push_back(0x80);             // panning
    b.push_back(0);                // relative note
    b.push_back(0);
    str("sample", 22, ' ');
    b.insert(b.end(), deltas.begin(), deltas.end());
    return b;
}

} // namespace kxtest
