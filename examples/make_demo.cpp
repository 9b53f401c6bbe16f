// make_demo: writes examples/demo.xm, the demo tune of kestrix, with samples synthesized here.
//
//   g++ -std=c++20 -O2 -o build/make_demo examples/make_demo.cpp && build/make_demo examples/demo.xm
//
// A 4-channel FastTracker 2 module (XM 1.04, linear frequencies), speed 6 / 125 BPM, about 40
// seconds: drums, hi-hats, a bass and a lead over A minor - F - C - G. It uses what the converter
// translates: a volume envelope, 8- and 16-bit samples, looped and one-shot samples, the volume
// column, set speed, tone portamento, vibrato, volume slide, note cut, key-off and a pattern
// break. The output is the same on every run (no clock, a fixed noise seed).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
constexpr double kPi = 3.14159265358979323846;

void u8(Bytes& b, unsigned v) { b.push_back(uint8_t(v)); }
void le16(Bytes& b, unsigned v)
{
    u8(b, v & 0xFF);
    u8(b, (v >> 8) & 0xFF);
}
void le32(Bytes& b, uint32_t v)
{
    le16(b, v & 0xFFFF);
    le16(b, v >> 16);
}
void text(Bytes& b, const std::string& s, size_t n, char pad = 0)
{
    for (size_t i = 0; i < n; ++i) u8(b, i < s.size() ? uint8_t(s[i]) : uint8_t(pad));
}

// XM note number of a name like "A-2" or "C#4" (1 = C-0).
int note(const char* n)
{
    static const int base[] = {9, 11, 0, 2, 4, 5, 7}; // A B C D E F G
    int semis = base[n[0] - 'A'] + (n[1] == '#' ? 1 : 0);
    return (n[2] - '0') * 12 + semis + 1;
}

constexpr int key_off = 97;
constexpr int channels = 4;
constexpr int rows = 64;

struct Cell {
    int note = 0, instrument = 0, volume = 0, effect = 0, param = 0;
};

struct Pattern {
    Cell cells[rows][channels];
};

// Packs a pattern the way FastTracker 2 does: a mask byte with bit 7 set names the fields that
// follow; an empty cell is the single byte 0x80.
Bytes pack(const Pattern& p)
{
    Bytes out;
    for (const auto& row : p.cells) {
        for (const Cell& c : row) {
            unsigned mask = 0x80;
            if (c.note) mask |= 1;
            if (c.instrument) mask |= 2;
            if (c.volume) mask |= 4;
            if (c.effect) mask |= 8;
            if (c.param) mask |= 16;
            u8(out, mask);
            if (c.note) u8(out, unsigned(c.note));
            if (c.instrument) u8(out, unsigned(c.instrument));
            if (c.volume) u8(out, unsigned(c.volume));
            if (c.effect) u8(out, unsigned(c.effect));
            if (c.param) u8(out, unsigned(c.param));
        }
    }
    return out;
}

struct Sample {
    std::string name;
    std::vector<int> data; // -128..127, or -32768..32767 for 16-bit
    bool is16 = false;
    bool loop = false;
    int volume = 64;
    int relative_note = 0;
};

struct Instrument {
    std::string name;
    Sample sample;
    std::vector<std::pair<int, int>> envelope; // (tick, 0..64)
    int sustain = 0;
    int fadeout = 0;
};

uint32_t noise_state = 0x1234567u;
int noise()
{
    noise_state = noise_state * 1664525u + 1013904223u;
    return int((noise_state >> 16) & 0xFFFF) - 32768;
}

// One 32-sample cycle plays C-4 at 8363 Hz; instruments are tuned with that.
Sample saw_cycle()
{
    Sample s{"saw cycle", {}, false, true, 48, 0};
    for (int i = 0; i < 32; ++i) s.data.push_back(-120 + i * 240 / 31);
    return s;
}

Sample pulse_cycle()
{
    Sample s{"pulse cycle", {}, false, true, 40, 0};
    for (int i = 0; i < 32; ++i) s.data.push_back(i < 12 ? 90 : -90);
    return s;
}

Sample kick()
{
    Sample s{"kick", {}, true, false, 64, 0};
    double phase = 0;
    for (int i = 0; i < 2400; ++i) {
        double t = i / 8363.0;
        double f = 40 + 110 * std::exp(-t * 30);
        phase += 2 * kPi * f / 8363.0;
        double a = std::exp(-t * 9);
        s.data.push_back(int(std::lround(30000 * a * std::sin(phase))));
    }
    return s;
}

Sample snare()
{
    Sample s{"snare", {}, false, false, 56, 0};
    double phase = 0;
    for (int i = 0; i < 2600; ++i) {
        double t = i / 8363.0;
        phase += 2 * kPi * 190 / 8363.0;
        double v = 0.55 * noise() / 32768.0 * std::exp(-t * 14) + 0.45 * std::sin(phase) * std::exp(-t * 25);
        s.data.push_back(int(std::lround(120 * v)));
    }
    return s;
}

Sample hat()
{
    Sample s{"hat", {}, false, false, 40, 12};
    int prev = 0;
    for (int i = 0; i < 700; ++i) {
        int n = noise() / 256;
        int hp = n - prev; // a rough high-pass
        prev = n;
        s.data.push_back(std::max(-127, std::min(127, int(hp * 0.5 * std::exp(-i / 120.0)))));
    }
    return s;
}

Bytes instrument_bytes(const Instrument& ins)
{
    Bytes b;
    le32(b, 263);
    text(b, ins.name, 22);
    u8(b, 0);
    le16(b, 1);   // one sample
    le32(b, 40);  // sample header size
    for (int i = 0; i < 96; ++i) u8(b, 0); // every key plays sample 0
    for (int i = 0; i < 12; ++i) {
        int x = i < int(ins.envelope.size()) ? ins.envelope[size_t(i)].first : 0;
        int y = i < int(ins.envelope.size()) ? ins.envelope[size_t(i)].second : 0;
        le16(b, unsigned(x));
        le16(b, unsigned(y));
    }
    for (int i = 0; i < 24; ++i) le16(b, 0); // no panning envelope
    u8(b, unsigned(ins.envelope.size()));
    u8(b, 0);
    u8(b, unsigned(ins.sustain));
    u8(b, 0);
    u8(b, 0);
    u8(b, 0);
    u8(b, 0);
    u8(b, 0);
    u8(b, ins.envelope.empty() ? 0 : 3); // volume envelope on, with sustain
    u8(b, 0);
    for (int i = 0; i < 4; ++i) u8(b, 0); // no vibrato
    le16(b, unsigned(ins.fadeout));
    for (int i = 0; i < 22; ++i) u8(b, 0);

    const Sample& s = ins.sample;
    const unsigned width = s.is16 ? 2 : 1;
    const auto frames = uint32_t(s.data.size());
    le32(b, frames * width);
    le32(b, 0);
    le32(b, s.loop ? frames * width : 0);
    u8(b, unsigned(s.volume));
    u8(b, 0); // finetune
    u8(b, (s.loop ? 1u : 0u) | (s.is16 ? 16u : 0u));
    u8(b, 128); // panning
    u8(b, uint8_t(int8_t(s.relative_note)));
    u8(b, 0);
    text(b, s.name, 22);
    // Sample data as deltas.
    int prev = 0;
    for (int v : s.data) {
        int d = v - prev;
        prev = v;
        if (s.is16)
            le16(b, unsigned(uint16_t(int16_t(d))));
        else
            u8(b, unsigned(uint8_t(int8_t(d))));
    }
    return b;
}

enum { ins_bass = 1, ins_lead, ins_kick, ins_snare, ins_hat };

void drums(Pattern& p, bool fill)
{
    for (int r = 0; r < rows; ++r) {
        Cell& d = p.cells[r][0];
        if (r % 16 == 0 || r % 16 == 10) d = {note("C-4"), ins_kick, 0, 0, 0};
        if (r % 16 == 4 || r % 16 == 12) d = {note("C-4"), ins_snare, 0, 0, 0};
        Cell& h = p.cells[r][1];
        if (r % 2 == 0) h = {note("C-5"), ins_hat, r % 4 == 0 ? 0x40 : 0x28, 0xE, 0xC2}; // note cut
    }
    if (fill)
        for (int r = 56; r < 64; r += 2) p.cells[r][0] = {note("C-4"), ins_snare, 0x20 + r - 56, 0, 0};
}

const char* const chord_roots[4] = {"A-2", "F-2", "C-2", "G-2"};

void bass(Pattern& p)
{
    for (int bar = 0; bar < 4; ++bar) {
        int root = note(chord_roots[bar]);
        for (int step = 0; step < 16; step += 2) {
            int n = step == 6 || step == 14 ? root + 12 : root;
            p.cells[bar * 16 + step][2] = {n, ins_bass, 0, 0, 0};
        }
    }
}

void lead(Pattern& p)
{
    static const char* const melody[4][4] = {
        {"E-4", "C-4", "A-3", "C-4"}, {"F-4", "A-4", "C-5", "A-4"},
        {"G-4", "E-4", "C-4", "E-4"}, {"D-4", "G-4", "B-4", "D-5"}};
    for (int bar = 0; bar < 4; ++bar)
        for (int k = 0; k < 4; ++k) p.cells[bar * 16 + k * 4][3] = {note(melody[bar][k]), ins_lead, 0, 0, 0};
    p.cells[2][3] = {0, 0, 0, 4, 0x46};             // vibrato
    p.cells[17][3] = {0, 0, 0, 0xA, 0x02};          // volume slide down
    p.cells[36][3] = {note("D-4"), 0, 0, 3, 0x20};  // tone portamento towards D-4
    p.cells[62][3] = {key_off, 0, 0, 0, 0};
}

} // namespace

int main(int argc, char** argv)
{
    const char* out_name = argc > 1 ? argv[1] : "demo.xm";

    std::vector<Pattern> patterns(3);
    // 0: intro, drums and bass; 1: the whole band; 2: the band with a drum fill and a break.
    drums(patterns[0], false);
    bass(patterns[0]);
    patterns[0].cells[0][1].effect = 0xF;
    patterns[0].cells[0][1].param = 6; // set speed 6
    drums(patterns[1], false);
    bass(patterns[1]);
    lead(patterns[1]);
    drums(patterns[2], true);
    bass(patterns[2]);
    lead(patterns[2]);
    patterns[2].cells[63][2].effect = 0xD; // pattern break to row 0 of the next order entry
    const std::vector<int> order = {0, 1, 2, 1, 2};

    Sample bass_s = saw_cycle();
    bass_s.relative_note = 0;
    std::vector<Instrument> instruments = {
        {"bass", bass_s, {{0, 64}, {20, 40}, {60, 30}}, 1, 1024},
        {"lead", pulse_cycle(), {{0, 0}, {4, 64}, {16, 44}, {48, 36}}, 3, 512},
        {"kick", kick(), {}, 0, 0},
        {"snare", snare(), {}, 0, 0},
        {"hat", hat(), {}, 0, 0},
    };

    Bytes xm;
    text(xm, "Extended Module: ", 17);
    text(xm, "kestrix demo", 20);
    u8(xm, 0x1A);
    text(xm, "kestrix make_demo", 20, ' ');
    le16(xm, 0x0104);
    le32(xm, 276);
    le16(xm, unsigned(order.size()));
    le16(xm, 0); // restart position
    le16(xm, channels);
    le16(xm, unsigned(patterns.size()));
    le16(xm, unsigned(instruments.size()));
    le16(xm, 1); // linear frequency table
    le16(xm, 6);
    le16(xm, 125);
    for (int i = 0; i < 256; ++i) u8(xm, i < int(order.size()) ? unsigned(order[size_t(i)]) : 0);
    for (const Pattern& p : patterns) {
        Bytes packed = pack(p);
        le32(xm, 9);
        u8(xm, 0);
        le16(xm, rows);
        le16(xm, unsigned(packed.size()));
        xm.insert(xm.end(), packed.begin(), packed.end());
    }
    for (const Instrument& ins : instruments) {
        Bytes b = instrument_bytes(ins);
        xm.insert(xm.end(), b.begin(), b.end());
    }

    FILE* f = std::fopen(out_name, "wb");
    if (!f || std::fwrite(xm.data(), 1, xm.size(), f) != xm.size() || std::fclose(f) != 0) {
        std::fprintf(stderr, "make_demo: cannot write %s\n", out_name);
        return 1;
    }
    std::printf("%s: %zu bytes\n", out_name, xm.size());
    return 0;
}
