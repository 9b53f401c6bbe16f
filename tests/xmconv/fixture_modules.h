// Small S3M and IT files built in memory for the conversion tests: a few channels, looped tone
// samples (one per instrument), patterns given cell by cell.
#pragma once

#include <cstdint>
#include <vector>

namespace xmtest {

constexpr int key_off = 255, note_cut = 254;        // note values besides 1..120 (C-0 = 1)
constexpr int skip_order = 254, end_order = 255;    // order list markers "+++" and "---"

struct Cell {
    int note = 0;      // 0 none, 1..120, key_off, note_cut
    int ins = 0;       // 0 none, 1-based
    int vol = -1;      // volume column: -1 none, 0..64 volume, IT: 128..192 panning
    char cmd = 0;      // effect letter 'A'..'Z', 0 none
    int param = 0;
};

struct FixtureInstrument {
    int volume = 64;           // sample default volume, 0..64
    int sample_global = 64;    // IT sample global volume, 0..64
    int global = 128;          // IT instrument global volume, 0..128
    int period = 32;           // frames per cycle of the looped tone
    bool envelope = false;     // IT: a volume envelope held at a sustain point (fades after a note off)
};

struct FixtureSong {
    bool it = true;            // IT (instrument mode) or S3M
    int channels = 2;
    int speed = 6, tempo = 125;
    int global_volume = -1;    // -1: full (IT 128, S3M 64)
    int mix_volume = 48;       // IT 0..128; S3M master volume 16..127
    std::vector<int> pans;     // per channel: IT 0..64, S3M 0..15; empty: centre
    std::vector<int> channel_volumes;  // IT, per channel 0..64; empty: 64
    std::vector<int> orders{0};
    std::vector<FixtureInstrument> instruments{FixtureInstrument()};
    std::vector<std::vector<Cell>> patterns;  // 64 rows x channels cells each

    explicit FixtureSong(bool is_it, int channel_count = 2, int pattern_count = 1);
    Cell& at(int pattern, int row, int channel);
    std::vector<uint8_t> bytes() const;
};

} // namespace xmtest
