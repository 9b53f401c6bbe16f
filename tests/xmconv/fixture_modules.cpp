// Writes the fixture songs in the layouts Impulse Tracker 2.14 and Scream Tracker 3.20 save.
#include "fixture_modules.h"

#include <cmath>
#include <functional>

#include "support/test_support.h"

namespace xmtest {

namespace {

using kxtest::Bytes;

std::vector<uint8_t> tone(const FixtureInstrument& in, int offset)  // 8 cycles of a sine, or 64 dying away
{
    std::vector<uint8_t> v(size_t(in.period) * size_t(in.pluck ? 64 : in.cycles));
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = uint8_t(offset + std::lround(100 * std::sin(2 * M_PI * double(i) / in.period) *
                                            (in.pluck ? std::exp(-double(i) / (in.period * 6)) : 1.0)));
    return v;
}

void patch(Bytes& b, size_t at, size_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i) b.data[at + size_t(i)] = uint8_t(v >> (8 * i));
}

// The song's patterns, each as its rows of packed cells: `cell` writes one cell that holds anything.
Bytes packed(const FixtureSong& s, size_t p, const std::function<void(Bytes&, unsigned, const Cell&)>& cell)
{
    Bytes d;
    for (int r = 0; r < 64; ++r) {
        for (int c = 0; c < s.channels; ++c) {
            const Cell& x = s.patterns[p][size_t(r * s.channels + c)];
            if (x.note || x.ins || x.vol >= 0 || x.cmd) cell(d, unsigned(c), x);
        }
        d.u8(0);
    }
    return d;
}

std::vector<uint8_t> it_bytes(const FixtureSong& s)
{
    const size_t orders = s.orders.size() + 1, n_ins = s.instruments.size(), n_pat = s.patterns.size();
    Bytes b;
    b.str("IMPM").fixed("fixture", 26).le16(0x1004).le16(unsigned(orders)).le16(unsigned(n_ins)).le16(unsigned(n_ins));
    b.le16(unsigned(n_pat)).le16(0x0214).le16(0x0214).le16(1 | 4 | 8 | (s.compatible_gxx ? 0x20 : 0)).le16(0);  // stereo, instruments, linear
    b.u8(unsigned(s.global_volume < 0 ? 128 : s.global_volume)).u8(unsigned(s.mix_volume)).u8(unsigned(s.speed));
    b.u8(unsigned(s.tempo)).u8(128).u8(0).fill(10, 0);
    for (size_t c = 0; c < 64; ++c) b.u8(c >= size_t(s.channels) ? 160 : c < s.pans.size() ? unsigned(s.pans[c]) : 32);
    for (size_t c = 0; c < 64; ++c) b.u8(c < s.channel_volumes.size() ? unsigned(s.channel_volumes[c]) : 64);
    for (int o : s.orders) b.u8(unsigned(o));
    const size_t table = b.u8(end_order).size();
    b.fill((2 * n_ins + n_pat) * 4, 0);
    for (size_t i = 0; i < n_ins; ++i) {
        const FixtureInstrument& in = s.instruments[i];
        patch(b, table + i * 4, b.size(), 4);
        b.str("IMPI").fill(13, 0).u8(unsigned(in.nna)).u8(unsigned(in.dct)).u8(unsigned(in.dca)).le16(unsigned(in.fadeout)).fill(2, 0);
        b.u8(unsigned(in.global)).u8(128).fill(4, 0).u8(1).fill(33, 0);
        for (unsigned note = 0; note < 120; ++note) b.u8(note).u8(unsigned(i + 1));
        // Volume envelope: held at 64 until the note is released, then down to 0 in 20 ticks.
        if (in.envelope) b.u8(1 | 4).u8(2).fill(4, 0).u8(64).le16(0).u8(0).le16(20).fill(70, 0);
        b.fill(in.envelope ? 168 : 250, 0);
    }
    for (size_t i = 0; i < n_ins; ++i) {
        const FixtureInstrument& in = s.instruments[i];
        const std::vector<uint8_t> wave = tone(in, 0);
        patch(b, table + (n_ins + i) * 4, b.size(), 4);
        b.str("IMPS").fill(13, 0).u8(unsigned(in.sample_global)).u8(in.pluck ? 1 : 1 | 16).u8(unsigned(in.volume)).fill(26, 0);
        b.u8(1).u8(32).le32(uint32_t(wave.size())).le32(0).le32(uint32_t(wave.size())).le32(uint32_t(in.c5_speed)).fill(8, 0);
        b.le32(uint32_t(b.size() + 8)).le32(0);
        for (uint8_t v : wave) b.u8(v);
    }
    for (size_t p = 0; p < n_pat; ++p) {
        patch(b, table + (2 * n_ins + p) * 4, b.size(), 4);
        Bytes d = packed(s, p, [](Bytes& d, unsigned c, const Cell& x) {
            d.u8(c + 1 + 128).u8((x.note ? 1 : 0) | (x.ins ? 2 : 0) | (x.vol >= 0 ? 4 : 0) | (x.cmd ? 8 : 0));
            if (x.note) d.u8(unsigned(x.note >= note_cut ? x.note : x.note - 1));
            if (x.ins) d.u8(unsigned(x.ins));
            if (x.vol >= 0) d.u8(unsigned(x.vol));
            if (x.cmd) d.u8(unsigned(x.cmd - 'A' + 1)).u8(unsigned(x.param));
        });
        b.le16(unsigned(d.size())).le16(64).le32(0).append(d);
    }
    return b.data;
}

std::vector<uint8_t> s3m_bytes(const FixtureSong& s)
{
    const size_t orders = (s.orders.size() + 2) / 2 * 2, n_ins = s.instruments.size(), n_pat = s.patterns.size();
    Bytes b;
    b.fixed("fixture", 28).u8(0x1A).u8(16).le16(0).le16(unsigned(orders)).le16(unsigned(n_ins)).le16(unsigned(n_pat));
    b.le16(0).le16(0x1320).le16(2).str("SCRM").u8(unsigned(s.global_volume < 0 ? 64 : s.global_volume));
    b.u8(unsigned(s.speed)).u8(unsigned(s.tempo)).u8(unsigned(s.mix_volume) | 128).u8(0).u8(252).fill(10, 0);
    for (int c = 0; c < 32; ++c) b.u8(c < s.channels ? unsigned(c % 16) : 255);
    for (int o : s.orders) b.u8(unsigned(o));
    const size_t table = b.fill(orders - s.orders.size(), end_order).size();
    b.fill((n_ins + n_pat) * 2, 0);
    for (size_t c = 0; c < 32; ++c) b.u8(c < s.pans.size() ? 0x20 | unsigned(s.pans[c]) : 0x28);
    auto paragraph = [&](size_t field, int bytes) {  // aligns to 16 bytes and points `field` there
        b.fill((16 - b.size() % 16) % 16, 0);
        patch(b, field, b.size() >> 4, bytes);
    };
    for (size_t i = 0; i < n_ins; ++i) {
        paragraph(table + i * 2, 2);
        const FixtureInstrument& in = s.instruments[i];
        const uint32_t frames = uint32_t(tone(in, 0).size());
        b.u8(1).fill(15, 0).le32(frames).le32(0).le32(in.pluck ? 0 : frames);
        b.u8(unsigned(in.volume)).u8(0).u8(0).u8(in.pluck ? 0 : 1).le32(uint32_t(in.c5_speed)).fill(40, 0).str("SCRS");
    }
    for (size_t p = 0; p < n_pat; ++p) {
        paragraph(table + (n_ins + p) * 2, 2);
        Bytes d = packed(s, p, [](Bytes& d, unsigned c, const Cell& x) {
            d.u8(c | (x.note || x.ins ? 0x20 : 0) | (x.vol >= 0 ? 0x40 : 0) | (x.cmd ? 0x80 : 0));
            if (x.note || x.ins) d.u8(x.note == 0 ? 255 : x.note >= note_cut ? 254 : unsigned((x.note - 1) / 12 * 16 + (x.note - 1) % 12)).u8(unsigned(x.ins));
            if (x.vol >= 0) d.u8(unsigned(x.vol));
            if (x.cmd) d.u8(unsigned(x.cmd - 'A' + 1)).u8(unsigned(x.param));
        });
        b.le16(unsigned(d.size() + 2)).append(d);
    }
    for (size_t i = 0; i < n_ins; ++i) {  // memory segment: the data's paragraph, high byte first
        const size_t header = size_t(b.data[table + i * 2] | b.data[table + i * 2 + 1] << 8) * 16;
        paragraph(header + 0x0E, 2);
        b.data[header + 0x0D] = uint8_t(b.size() >> 20);
        b.append(Bytes{tone(s.instruments[i], 128)});
    }
    return b.data;
}

} // namespace

FixtureSong::FixtureSong(bool is_it, int channel_count, int pattern_count)
    : it(is_it), channels(channel_count), patterns(size_t(pattern_count), std::vector<Cell>(size_t(64 * channel_count)))
{
}

Cell& FixtureSong::at(int pattern, int row, int channel) { return patterns[size_t(pattern)][size_t(row * channels + channel)]; }

std::vector<uint8_t> FixtureSong::bytes() const { return it ? it_bytes(*this) : s3m_bytes(*this); }

} // namespace xmtest
