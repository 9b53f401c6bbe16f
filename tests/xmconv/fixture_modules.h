// Small S3M and IT files built in memory for the conversion tests: a few channels, looped tone
// samples (one per instrument), patterns given cell by cell; and the listening comparison of two
// modules (render_compare.cpp).
#pragma once

#include <cstdint>
#include <string>
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
    int cycles = 8, c5_speed = 8363;  // cycles of the looped tone, its C5 speed
    bool pluck = false;        // an unlooped tone dying away instead (its restarts are heard)
    bool envelope = false;     // IT: a volume envelope held at a sustain point (fades after a note off)
    int nna = 0;               // IT new-note action: 0 cut, 1 continue, 2 note off, 3 fade
    int dct = 0, dca = 0;      // IT duplicate check: 0 off, 1 note, 2 sample, 3 instrument; action 0 cut, 1 off, 2 fade
    int fadeout = 0;           // IT fadeout, 0..1024 (256: gone 4 ticks after the release)
};

struct FixtureSong {
    bool it = true;            // IT (instrument mode) or S3M
    int channels = 2;
    int speed = 6, tempo = 125;
    int global_volume = -1;    // -1: full (IT 128, S3M 64)
    int mix_volume = 48;       // IT 0..128; S3M master volume 16..127
    bool compatible_gxx = false;  // IT: G keeps a memory of its own (else E, F and G share one)
    std::vector<int> pans;     // per channel: IT 0..64, S3M 0..15; empty: centre
    std::vector<int> channel_volumes;  // IT, per channel 0..64; empty: 64
    std::vector<int> orders{0};
    std::vector<FixtureInstrument> instruments{FixtureInstrument()};
    std::vector<std::vector<Cell>> patterns;  // 64 rows x channels cells each

    explicit FixtureSong(bool is_it, int channel_count = 2, int pattern_count = 1);
    Cell& at(int pattern, int row, int channel);
    std::vector<uint8_t> bytes() const;
};

// Listening comparison: both are rendered with libopenmpt at 44.1 kHz and cut into
// 50 ms windows; a window differs when, on either side of the stereo image, its pitch-class profile
// (the spectrum's energy folded onto the twelve semitones) has a cosine similarity below 0.8, or its
// level differs by more than 6 dB once the overall gain between the two renders is taken out.
struct RenderDifference {
    int windows = 0;     // 50 ms windows compared (the longer render's, up to the cap)
    int differing = 0;   // windows that sound different
    double gain_db = 0;  // overall gain of the second render over the first
    double share() const { return windows ? double(differing) / windows : 0; }
    std::string text() const;  // "3 of 1200 windows differ (0.25%), gain -1.2 dB"
};

// Renders both modules for at most `seconds` (a song that ends sooner is followed by silence) and
// compares them window by window.
RenderDifference compare_renders(const std::vector<uint8_t>& original, const std::vector<uint8_t>& converted,
                                 double seconds);

} // namespace xmtest
