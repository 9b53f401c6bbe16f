// Writes the fixture songs in the layouts Impulse Tracker 2.14 and Scream Tracker 3.20 save.
#include "fixture_modules.h"

#include <cmath>

#include "support/test_support.h"

namespace xmtest {

namespace {

std::vector<int8_t> tone(int period)
{
    std::vector<int8_t> v(size_t(period) * 8);
    for (size_t i = 0; i < v.size(); ++i) v[i] = int8_t(std::lround(100 * std::sin(2 * M_PI * double(i) / period)));
    return v;
}

void patch32(kxtest::Bytes& b, size_t at, size_t v)
{
    for (int i = 0; i < 4; ++i) b.data[at + size_t(i)] = uint8_t(v >> (8 * i));
}

std::vector<int> order_list(std::vector<int> orders, bool even)
{
    orders.push_back(end_order);
    if (even && orders.size() % 2) orders.push_back(end_order);
    return orders;
}

std::vector<uint8_t> it_bytes(const FixtureSong& s)
{
    std::vector<int> orders = order_list(s.orders, false);
    const size_t n_ins = s.instruments.size(), n_pat = s.patterns.size();
    kxtest::Bytes b;
    b.str("IMPM").fixed("fixture", 26).le16(0x1004).le16(unsigned(orders.size())).le16(unsigned(n_ins));
    b.le16(unsigned(n_ins)).le16(unsigned(n_pat)).le16(0x0214).le16(0x0214).le16(1 | 4 | 8).le16(0);
    b.u8(unsigned(s.global_volume < 0 ? 128 : s.global_volume)).u8(unsigned(s.mix_volume));
    b.u8(unsigned(s.speed)).u8(unsigned(s.tempo)).u8(128).u8(0).le16(0).le32(0).le32(0);
    for (int c = 0; c < 64; ++c)
        b.u8(c >= s.channels ? 32 | 128 : size_t(c) < s.pans.size() ? unsigned(s.pans[size_t(c)]) : 32);
    for (int c = 0; c < 64; ++c)
        b.u8(size_t(c) < s.channel_volumes.size() ? unsigned(s.channel_volumes[size_t(c)]) : 64);
    for (int o : orders) b.u8(unsigned(o));
    const size_t table = b.size();
    b.fill((2 * n_ins + n_pat) * 4, 0);
    for (size_t i = 0; i < n_ins; ++i) {
        const FixtureInstrument& in = s.instruments[i];
        patch32(b, table + i * 4, b.size());
        b.str("IMPI").fill(13, 0).u8(unsigned(in.new_note_action)).le16(0).le16(0).u8(0).u8(0);
        b.u8(unsigned(in.global)).u8(32 | 128).u8(0).u8(0).le16(0x0214).u8(1).u8(0).fixed("", 26);
        b.u8(0).u8(0).u8(0).u8(0).le16(0);
        for (unsigned note = 0; note < 120; ++note) b.u8(note).u8(unsigned(i + 1));
        // Volume envelope: held at 64 until the note is released, then down to 0 in 20 ticks.
        if (in.envelope) b.u8(1 | 4).u8(2).u8(0).u8(0).u8(0).u8(0).u8(64).le16(0).u8(0).le16(20).fill(69 + 1, 0);
        else b.fill(82, 0);
        b.fill(2 * 82 + 4, 0);
    }
    for (size_t i = 0; i < n_ins; ++i) {
        const FixtureInstrument& in = s.instruments[i];
        const std::vector<int8_t> wave = tone(in.period);
        patch32(b, table + (n_ins + i) * 4, b.size());
        b.str("IMPS").fill(13, 0).u8(unsigned(in.sample_global)).u8(1 | 16).u8(unsigned(in.volume)).fixed("", 26);
        b.u8(1).u8(in.pan < 0 ? 32 : unsigned(in.pan) | 128).le32(uint32_t(wave.size())).le32(0);
        b.le32(uint32_t(wave.size())).le32(8363).le32(0).le32(0).le32(uint32_t(b.size() + 8)).le32(0);
        for (int8_t v : wave) b.u8(uint8_t(v));
    }
    for (size_t p = 0; p < n_pat; ++p) {
        patch32(b, table + (2 * n_ins + p) * 4, b.size());
        kxtest::Bytes d;
        for (int r = 0; r < 64; ++r) {
            for (int c = 0; c < s.channels; ++c) {
                const Cell& x = s.patterns[p][size_t(r * s.channels + c)];
                unsigned mask = (x.note ? 1 : 0) | (x.ins ? 2 : 0) | (x.vol >= 0 ? 4 : 0) | (x.cmd ? 8 : 0);
                if (!mask) continue;
                d.u8(unsigned(c + 1) | 128).u8(mask);
                if (x.note) d.u8(x.note >= note_cut ? unsigned(x.note) : unsigned(x.note - 1));
                if (x.ins) d.u8(unsigned(x.ins));
                if (x.vol >= 0) d.u8(unsigned(x.vol));
                if (x.cmd) d.u8(unsigned(x.cmd - 'A' + 1)).u8(unsigned(x.param));
            }
            d.u8(0);
        }
        b.le16(unsigned(d.size())).le16(unsigned(64)).le32(0).append(d);
    }
    return b.data;
}

void align16(kxtest::Bytes& b) { b.fill((16 - b.size() % 16) % 16, 0); }

std::vector<uint8_t> s3m_bytes(const FixtureSong& s)
{
    std::vector<int> orders = order_list(s.orders, true);
    const size_t n_ins = s.instruments.size(), n_pat = s.patterns.size();
    kxtest::Bytes b;
    b.fixed("fixture", 28).u8(0x1A).u8(16).le16(0).le16(unsigned(orders.size())).le16(unsigned(n_ins));
    b.le16(unsigned(n_pat)).le16(0).le16(0x1320).le16(2).str("SCRM");
    b.u8(unsigned(s.global_volume < 0 ? 64 : s.global_volume)).u8(unsigned(s.speed)).u8(unsigned(s.tempo));
    b.u8(unsigned(s.mix_volume) | 128).u8(0).u8(252).fill(10, 0);
    for (int c = 0; c < 32; ++c) b.u8(c < s.channels ? unsigned(c % 16) : 255);
    for (int o : orders) b.u8(unsigned(o));
    const size_t table = b.size();
    b.fill((n_ins + n_pat) * 2, 0);
    for (int c = 0; c < 32; ++c) b.u8(size_t(c) < s.pans.size() ? 0x20 | unsigned(s.pans[size_t(c)]) : 0x28);
    auto pointer = [&](size_t slot) {
        align16(b);
        b.data[table + slot * 2] = uint8_t(b.size() >> 4);
        b.data[table + slot * 2 + 1] = uint8_t(b.size() >> 12);
    };
    std::vector<size_t> headers;
    for (size_t i = 0; i < n_ins; ++i) {
        pointer(i);
        headers.push_back(b.size());
        uint32_t length = uint32_t(s.instruments[i].period) * 8;
        b.u8(1).fill(15, 0).le32(length).le32(0).le32(length).u8(unsigned(s.instruments[i].volume)).u8(0).u8(0);
        b.u8(1).le32(8363).fill(12, 0).fixed("", 28).str("SCRS");
    }
    for (size_t p = 0; p < n_pat; ++p) {
        pointer(n_ins + p);
        kxtest::Bytes d;
        for (int r = 0; r < 64; ++r) {
            for (int c = 0; c < s.channels; ++c) {
                const Cell& x = s.patterns[p][size_t(r * s.channels + c)];
                unsigned what = (x.note || x.ins ? 0x20 : 0) | (x.vol >= 0 ? 0x40 : 0) | (x.cmd ? 0x80 : 0);
                if (!what) continue;
                d.u8(unsigned(c) | what);
                if (what & 0x20) {
                    int n = x.note - 1;
                    d.u8(x.note == 0 ? 255 : x.note >= note_cut ? 254 : unsigned((n / 12) << 4 | n % 12));
                    d.u8(unsigned(x.ins));
                }
                if (x.vol >= 0) d.u8(unsigned(x.vol));
                if (x.cmd) d.u8(unsigned(x.cmd - 'A' + 1)).u8(unsigned(x.param));
            }
            d.u8(0);
        }
        b.le16(unsigned(d.size() + 2)).append(d);
    }
    for (size_t i = 0; i < n_ins; ++i) {
        align16(b);
        size_t para = b.size() >> 4;
        b.data[headers[i] + 0x0D] = uint8_t(para >> 16);
        b.data[headers[i] + 0x0E] = uint8_t(para);
        b.data[headers[i] + 0x0F] = uint8_t(para >> 8);
        for (int8_t v : tone(s.instruments[i].period)) b.u8(uint8_t(v + 128));
    }
    return b.data;
}

} // namespace

FixtureSong::FixtureSong(bool is_it, int channel_count, int pattern_count)
    : it(is_it), channels(channel_count),
      patterns(size_t(pattern_count), std::vector<Cell>(size_t(64 * channel_count)))
{
}

Cell& FixtureSong::at(int pattern, int row, int channel)
{
    return patterns[size_t(pattern)][size_t(row * channels + channel)];
}

std::vector<uint8_t> FixtureSong::bytes() const { return it ? it_bytes(*this) : s3m_bytes(*this); }

} // namespace xmtest
