// Builders shared by the conversion, song writer and whole-song tests: synthetic XM, XI and MOD
// files, the reading passes with the driver's machine layout between them, the song model laid
// out the way the driver lays it out, a section writer's output, the WAVE data, the log.
#pragma once

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "buzz/machines_ini.h"
#include "buzz/write_primitives.h"
#include "convert/driver.h"
#include "convert/input_formats.h"
#include "core/pool.h"
#include "jobs/job_runner.h"
#include "settings/settings.h"
#include "song/song.h"
#include "songwriter/wave_data.h"
#include "support/test_support.h"

namespace kxfix {

using kxtest::Bytes;
using Row = std::vector<uint8_t>;
using Frames = std::vector<int16_t>;

inline uint32_t dword_at(const std::vector<uint8_t>& b, size_t at)
{
    return b.at(at) | (b.at(at + 1) << 8) | (b.at(at + 2) << 16) | (uint32_t(b.at(at + 3)) << 24);
}

struct XmSample {
    std::vector<uint8_t> data; // delta-coded bytes as stored
    uint8_t type = 0;          // bit 4: 16-bit, bits 0-1: loop kind
    uint32_t loop_start = 0, loop_length = 0;
    uint8_t finetune = 0, relative = 0;
    uint32_t length = ~0u;     // declared bytes; ~0: data.size()
};

struct XmInstrument {
    std::string name = "ins";
    std::vector<XmSample> samples{};
    std::array<uint8_t, 96> key_map{};
    std::vector<uint16_t> volume_env{}; // x, y pairs
    uint8_t volume_sustain = 0, volume_type = 0;
    uint16_t fadeout = 0;
    uint32_t header_size = 263;       // declared; only an empty instrument is skipped by it
};

// Key map, envelopes, fadeout, sample headers and data: what an XM instrument and an XI file share.
inline void body(Bytes& b, const XmInstrument& ins, bool with_count)
{
    for (uint8_t k : ins.key_map) b.u8(k);
    for (size_t i = 0; i < 24; ++i) b.le16(i < ins.volume_env.size() ? ins.volume_env[i] : 0);
    b.fill(48, 0).u8(unsigned(ins.volume_env.size() / 2)).u8(0).u8(ins.volume_sustain).fill(5, 0);
    b.u8(ins.volume_type).fill(5, 0).le16(ins.fadeout).fill(22, 0);
    if (with_count) b.le16(unsigned(ins.samples.size()));
    for (const XmSample& s : ins.samples) {
        b.le32(s.length == ~0u ? uint32_t(s.data.size()) : s.length).le32(s.loop_start).le32(s.loop_length);
        b.u8(64).u8(s.finetune).u8(s.type).u8(128).u8(s.relative).u8(0).fixed("smp", 22, ' ');
    }
    for (const XmSample& s : ins.samples) b.append(Bytes{s.data});
}

inline Bytes xi_file(const XmInstrument& ins)
{
    Bytes b;
    b.str("Extended Instrument: ").fixed(ins.name, 22, ' ').u8(0x1A).str("FastTracker v2.00   ").le16(0x0102);
    body(b, ins, true);
    return b;
}

struct Cell { unsigned row, channel, note, instrument, volume, effect, param; };

struct XmPattern {
    unsigned rows = 64;
    Bytes packed;
    int size_override = -1; // declared packed size, when not the real one
};

// Packs the cells the way FastTracker 2 does: a mask byte naming the fields that follow, or all
// five fields without a mask when every one is set; an empty cell is the byte 0x80.
inline XmPattern pattern(unsigned rows, unsigned channels, const std::vector<Cell>& cells = {})
{
    XmPattern p{rows, {}};
    for (unsigned r = 0; r < rows; ++r)
        for (unsigned c = 0; c < channels; ++c) {
            Cell x{r, c, 0, 0, 0, 0, 0};
            for (const Cell& given : cells)
                if (given.row == r && given.channel == c) x = given;
            const unsigned f[5] = {x.note, x.instrument, x.volume, x.effect, x.param};
            unsigned mask = 0x80;
            for (int k = 0; k < 5; ++k) mask |= f[k] ? 1u << k : 0;
            if (mask != 0x9F) p.packed.u8(mask);
            for (unsigned v : f)
                if (v) p.packed.u8(v);
        }
    return p;
}

struct XmModule {
    std::string name = "test";
    unsigned channels = 4, tempo = 6, bpm = 125;
    std::vector<uint8_t> order{0};
    unsigned song_length = 0; // 0: order.size()
    std::vector<XmPattern> patterns;
    std::vector<XmInstrument> instruments;
    int instruments_override = -1; // declared instrument count, when not instruments.size()
};

inline Bytes xm_file(const XmModule& m)
{
    Bytes b;
    b.str("Extended Module: ").fixed(m.name, 20).u8(0x1A).fixed("FastTracker v2.00", 20, ' ').le16(0x0104);
    b.le32(276).le16(m.song_length ? m.song_length : unsigned(m.order.size())).le16(0).le16(m.channels);
    b.le16(unsigned(m.patterns.size()));
    b.le16(m.instruments_override >= 0 ? unsigned(m.instruments_override) : unsigned(m.instruments.size()));
    b.le16(1).le16(m.tempo).le16(m.bpm).fixed(std::string(m.order.begin(), m.order.end()), 256);
    for (const XmPattern& p : m.patterns) {
        b.le32(9).u8(0).le16(p.rows).le16(p.size_override >= 0 ? unsigned(p.size_override) : unsigned(p.packed.size()));
        b.append(p.packed);
    }
    for (const XmInstrument& ins : m.instruments) {
        b.le32(ins.header_size).fixed(ins.name, 22).u8(0).le16(unsigned(ins.samples.size()));
        if (ins.samples.empty())
            b.fill(ins.header_size > 29 ? ins.header_size - 29 : 0, 0);
        else
            body(b.le32(40), ins, false);
    }
    return b;
}

struct ModSample {
    std::vector<uint8_t> data; // signed bytes, an even count
    unsigned finetune = 0, loop_start_words = 0, loop_length_words = 1;
};

struct ModModule {
    std::string tag = "M.K."; // empty: a 15-sample module without a tag
    std::vector<uint8_t> order{0};
    std::vector<ModSample> samples; // the rest of the 31 (15) are empty
    Bytes patterns = Bytes().fill(1024, 0);
};

inline Bytes mod_file(const ModModule& m)
{
    Bytes b;
    b.fixed("mod", 20);
    for (size_t i = 0; i < (m.tag.empty() ? 15 : 31); ++i) {
        ModSample s = i < m.samples.size() ? m.samples[i] : ModSample();
        b.fixed("smp", 22).be16(unsigned(s.data.size() / 2)).u8(s.finetune).u8(64);
        b.be16(s.loop_start_words).be16(s.loop_length_words);
    }
    b.u8(unsigned(m.order.size())).u8(127).fixed(std::string(m.order.begin(), m.order.end()), 128);
    b.str(m.tag).append(m.patterns);
    for (const ModSample& s : m.samples) b.append(Bytes{s.data});
    return b;
}

// What a section writer writes in a writing pass of the conversion's writer; empty when the job
// ended.
inline std::vector<uint8_t> written(Conversion& c, const std::function<void()>& section)
{
    const Writer kept = c.writer;
    FILE* f = std::tmpfile();
    c.writer = Writer{1, 0, f};
    std::vector<uint8_t> out;
    if (run_guarded(c.log, section)) {
        out.resize(size_t(std::ftell(f)));
        std::rewind(f);
        EXPECT_EQ(std::fread(out.data(), 1, out.size(), f), out.size());
    }
    std::fclose(f);
    c.writer = kept;
    return out;
}

// The WAVE data: per wave its frames; well_formed when every entry is complete, matches its byte
// count, and the count in front is the number of entries.
struct WaveData {
    std::vector<Frames> waves;
    bool well_formed = false;
};

// The WAVE data the song writer writes for the song as read (`in`: the conversion's input).
inline WaveData wave_data(Conversion& c, FILE* in)
{
    const std::vector<uint8_t> d = written(c, [&c, in] { write_wave_data(c, in); });
    WaveData t;
    size_t p = 2;
    auto get = [&](size_t at, int n) {
        uint32_t v = 0;
        for (int k = 0; k < n; ++k) v |= uint32_t(d[at + size_t(k)]) << (8 * k);
        return v;
    };
    for (; p + 7 <= d.size(); p += 7) {
        const uint32_t bytes = get(p + 3, 4);
        if (p + 7 + bytes > d.size()) return t;
        Frames w;
        for (uint32_t k = 0; k + 1 < bytes; k += 2) w.push_back(int16_t(get(p + 7 + k, 2)));
        t.waves.push_back(w);
        p += bytes;
    }
    t.well_formed = d.size() >= 2 && p == d.size() && t.waves.size() == get(0, 2);
    return t;
}

// The first pass, the driver's machine layout (Tracker generators) and the second pass over a
// module file, and the WAVE data of the song as read; false when the job ended with job_abort.
inline bool read_module_passes(Conversion& c, const char* path, WaveData* waves = nullptr)
{
    // The Master and the Tracker: all the layout reads.
    static MachineDescription records[2] = {{"Master"}, {"Jeskola Tracker", 1, 0, 0, 0, 0, 0, 255}};
    c.song = Song(); // a song of its own, as every conversion starts
    c.machines.machine_descriptions = records;
    c.machines.machine_description_count = 2;
    File f = open_file(path, "rb");
    bool ok = f && run_guarded(c.log, [&] {
        for (c.song.pass_number = 0; c.song.pass_number < 2; ++c.song.pass_number) {
            read_module(c, f.get());
            if (c.song.pass_number == 0) lay_out_machines(c);
        }
    });
    if (ok && waves) *waves = wave_data(c, f.get());
    machine_descriptions_reset(c.machines);
    return ok;
}

using kxtest::LogCapture;

// The song model as the driver leaves it after the first pass: the Master and `generators`
// generators of `tracks` tracks of the target in the loaded machine table, `patterns` patterns of
// `lines` rows played in order.
inline void layout_song(Conversion& c, int generators, int tracks, int patterns, int lines)
{
    Song& song = c.song;
    song.channel_count = tracks;
    song.machine_count = generators + 1;
    song.tracks_per_generator = tracks;
    song.pattern_count = song.song_length = patterns;
    song.pattern_table = pool_array<PatternInfo>(c.pool, size_t(patterns));
    for (int p = 0; p < patterns; ++p) song.pattern_table[p].lines = lines;
    song.order_list_room = std::max(order_list_size, patterns);
    song.order_list = pool_array<OrderEntry>(c.pool, size_t(song.order_list_room));
    for (int i = 0; i < song.order_list_room; ++i) song.order_list[i].pattern = i;
    lay_out_machines(c);
}

} // namespace kxfix
