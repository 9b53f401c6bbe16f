// Builders for synthetic XM, XI and MOD files, the reading passes with the driver's machine
// layout between them, and small helpers to look at the log and at the WAVE data they lay out.
#pragma once

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "buzz/machines_ini.h"
#include "buzz/write_primitives.h"
#include "convert/driver.h"
#include "convert/xm_reader.h"
#include "core/byteio.h"
#include "core/log.h"
#include "core/pool.h"
#include "jobs/job_runner.h"
#include "settings/settings.h"
#include "song/song.h"
#include "songwriter/wave_data.h"
#include "support/test_support.h"

namespace kxfix {

using kxtest::Bytes;

struct XmSample {
    uint32_t length = 0; // declared length in bytes
    uint32_t loop_start = 0, loop_length = 0;
    uint8_t volume = 64, finetune = 0, type = 0, panning = 128, relative = 0;
    std::string name = "smp";
    std::vector<uint8_t> data; // raw (delta-coded) bytes as stored
};

struct XmInstrument {
    std::string name = "ins";
    uint32_t header_size = 263;
    std::array<uint8_t, 96> key_map{};
    std::array<uint16_t, 24> volume_env{}; // x, y pairs
    uint8_t volume_points = 0, volume_sustain = 0, volume_type = 0;
    uint16_t fadeout = 0;
    std::vector<XmSample> samples;
};

// Key map, envelopes and fadeout, then the sample headers and data: the part an XM instrument
// and an XI file share.
inline void body(Bytes& b, const XmInstrument& ins, bool with_count)
{
    for (uint8_t k : ins.key_map) b.u8(k);
    for (uint16_t v : ins.volume_env) b.le16(v);
    b.fill(48, 0); // panning envelope
    b.u8(ins.volume_points).u8(0).u8(ins.volume_sustain).fill(5, 0).u8(ins.volume_type).fill(5, 0);
    b.le16(ins.fadeout).le16(0).fill(20, 0);
    if (with_count) b.le16(unsigned(ins.samples.size()));
    for (const XmSample& s : ins.samples) {
        b.le32(s.length).le32(s.loop_start).le32(s.loop_length);
        b.u8(s.volume).u8(s.finetune).u8(s.type).u8(s.panning).u8(s.relative).u8(0);
        b.fixed(s.name, 22, ' ');
    }
    for (const XmSample& s : ins.samples)
        for (uint8_t d : s.data) b.u8(d);
}

// The instrument as it stands in an XM module.
inline Bytes xm_instrument(const XmInstrument& ins)
{
    Bytes b;
    b.le32(ins.header_size).fixed(ins.name, 22).u8(0).le16(unsigned(ins.samples.size()));
    if (ins.samples.empty()) return b.fill(ins.header_size > 29 ? ins.header_size - 29 : 0, 0);
    b.le32(40);
    body(b, ins, false);
    return b;
}

// The instrument as an XI file.
inline Bytes xi_file(const XmInstrument& ins)
{
    Bytes b;
    b.str("Extended Instrument: ").fixed(ins.name, 22, ' ').u8(0x1A).str("FastTracker v2.00   ");
    b.le16(0x0102);
    body(b, ins, true);
    return b;
}

struct XmPattern {
    unsigned rows = 64;
    Bytes packed;           // the packed cells
    int size_override = -1; // declared packed size, when not the real one
};

struct XmModule {
    std::string name = "test";
    unsigned song_length = 1, channels = 4, tempo = 6, bpm = 125;
    int instruments_override = -1; // declared instrument count, when not instruments.size()
    std::vector<uint8_t> order;    // up to 256 entries, rest 0
    std::vector<XmPattern> patterns;
    std::vector<XmInstrument> instruments;
};

inline Bytes xm_file(const XmModule& m)
{
    Bytes b;
    b.str("Extended Module: ").fixed(m.name, 20).u8(0x1A).fixed("FastTracker v2.00", 20, ' ');
    b.le16(0x0104).le32(276).le16(m.song_length).le16(0).le16(m.channels);
    b.le16(unsigned(m.patterns.size()));
    b.le16(m.instruments_override >= 0 ? unsigned(m.instruments_override) : unsigned(m.instruments.size()));
    b.le16(1).le16(m.tempo).le16(m.bpm); // linear frequencies
    for (size_t i = 0; i < 256; ++i) b.u8(i < m.order.size() ? m.order[i] : 0);
    for (const XmPattern& p : m.patterns) {
        b.le32(9).u8(0).le16(p.rows);
        b.le16(p.size_override >= 0 ? unsigned(p.size_override) : unsigned(p.packed.size()));
        b.append(p.packed);
    }
    for (const XmInstrument& ins : m.instruments) b.append(xm_instrument(ins));
    return b;
}

struct ModSample {
    unsigned length_words = 0, finetune = 0, loop_start_words = 0, loop_length_words = 1;
    std::vector<uint8_t> data;
};

struct ModModule {
    std::string tag = "M.K."; // empty: a 15-sample module without a tag
    unsigned song_length = 1;
    std::vector<uint8_t> order;     // 128 entries, rest 0
    std::vector<ModSample> samples; // 31 (15 without a tag); missing ones are empty
    size_t pattern_bytes = 1024;    // of zero cells
};

inline Bytes mod_file(const ModModule& m)
{
    const size_t count = m.tag.empty() ? 15 : 31;
    Bytes b;
    b.fixed("mod", 20);
    for (size_t i = 0; i < count; ++i) {
        ModSample s = i < m.samples.size() ? m.samples[i] : ModSample();
        b.fixed("smp", 22).be16(s.length_words).u8(s.finetune).u8(64);
        b.be16(s.loop_start_words).be16(s.loop_length_words);
    }
    b.u8(m.song_length).u8(127);
    for (size_t i = 0; i < 128; ++i) b.u8(i < m.order.size() ? m.order[i] : 0);
    b.str(m.tag).fill(m.pattern_bytes, 0);
    for (const ModSample& s : m.samples)
        for (uint8_t d : s.data) b.u8(d);
    return b;
}

// What the driver does between the passes for module input with dotsplit 0 or 1 and the
// Tracker machine: per-channel bytes, the Master and the generators with empty patterns.
inline void layout_after_first_pass()
{
    Song& sg = song;
    sg.channel_instrument = pool_array<uint8_t>(size_t(sg.channel_count > 0 ? sg.channel_count : 1));
    sg.machine_table = pool_array<MachineRecord>(size_t(sg.machine_count));
    const int pc = sg.pattern_count;
    for (int m = 0; m < sg.machine_count; ++m) {
        MachineRecord& mr = sg.machine_table[m];
        const bool master = m == 0;
        mr.kind = master ? 0 : 1;
        mr.track_count = master ? sg.machine_count - 1 : sg.tracks_per_generator;
        mr.track_row_bytes = master ? 4 : 5;
        mr.global_row_bytes = master ? 5 : 1;
        mr.track_patterns = pool_array<PatternData>(size_t(pc > 0 ? pc : 1));
        if (m <= 1) mr.global_patterns = pool_array<PatternData>(size_t(pc > 0 ? pc : 1));
        for (int p = 0; p < pc; ++p) {
            PatternInfo& pi = sg.pattern_table[p];
            pi.play_lines = pi.lines;
            pi.start_row = 0;
            size_t tsize = size_t(mr.track_count) * size_t(pi.lines) * size_t(mr.track_row_bytes);
            uint8_t* t = pool_array<uint8_t>(tsize ? tsize : 1);
            for (size_t k = 0; k < tsize; ++k)
                t[k] = master ? 255 : (k % 5 == 2 ? 255 : 0);
            mr.track_patterns[p].data = t;
            if (mr.global_patterns) {
                size_t gsize = size_t(pi.lines) * size_t(mr.global_row_bytes);
                uint8_t* g = pool_array<uint8_t>(gsize ? gsize : 1);
                for (size_t k = 0; k < gsize; ++k) g[k] = master ? 255 : 0;
                mr.global_patterns[p].data = g;
            }
        }
    }
}

// The WAVE data the song writer writes for the song as read (`in`: the conversion's input).
inline std::vector<uint8_t> wave_data(FILE* in)
{
    const Writer kept = writer;
    FILE* f = std::tmpfile();
    writer = Writer{1, 0, f};
    std::vector<uint8_t> out;
    if (run_guarded([&] { write_wave_data(in); })) {
        out.resize(size_t(std::ftell(f)));
        std::rewind(f);
        if (!out.empty() && std::fread(out.data(), 1, out.size(), f) != out.size()) out.clear();
    }
    std::fclose(f);
    writer = kept;
    return out;
}

// The WAVE data of the last read_module_passes that got through.
inline std::vector<uint8_t> last_wave_data;

// Runs the first pass, the driver's machine layout (Tracker generators) and the second pass over
// a module file; false when the job ended with job_abort.
inline bool read_module_passes(const std::filesystem::path& path)
{
    static MachineDescription records[2]; // the Master and the Tracker: all the layout reads
    std::strcpy(records[1].dll_name, "Jeskola Tracker");
    records[1].type = 1;
    records[1].max_tracks = 32;
    machine_table_state.machine_descriptions = records;
    machine_table_state.machine_description_count = 2;
    File f = open_file(path.string().c_str(), "rb");
    bool ok = f && run_guarded([&] {
        song.pass_number = 0;
        read_module(f.get());
        lay_out_machines();
        song.pass_number = 1;
        read_module(f.get());
    });
    last_wave_data = ok ? wave_data(f.get()) : std::vector<uint8_t>();
    machine_descriptions_reset();
    return ok;
}

// Captures everything logged (the log stream gets every shown message unchanged).
struct LogCapture {
    LogCapture() : file(std::tmpfile()) { log_state.log_stream = file; }
    ~LogCapture()
    {
        log_state.log_stream = nullptr;
        std::fclose(file);
    }
    std::string text()
    {
        std::fflush(file);
        std::rewind(file);
        std::string s;
        for (int c; (c = std::getc(file)) != EOF;) s += char(c);
        return s;
    }
    FILE* file;
};

inline size_t count_of(const std::string& hay, const std::string& needle)
{
    size_t n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
    return n;
}

// The WAVE data, parsed: count, then per wave its index, format, byte count and values.
struct TempWave {
    unsigned index = 0, format = 0;
    uint32_t bytes = 0;
    std::vector<int16_t> values;
};
struct TempFile {
    unsigned count = 0;
    std::vector<TempWave> waves;
    bool well_formed = false; // every entry complete and nothing left over
};

inline TempFile parse_temp(const std::vector<uint8_t>& d)
{
    TempFile t;
    size_t p = 0;
    auto get = [&](int n) {
        uint32_t v = 0;
        for (int k = 0; k < n; ++k) v |= uint32_t(d[p + size_t(k)]) << (8 * k);
        p += size_t(n);
        return v;
    };
    if (d.size() < 2) return t;
    t.count = get(2);
    while (p + 7 <= d.size()) {
        TempWave w;
        w.index = get(2);
        w.format = get(1);
        w.bytes = get(4);
        if (p + w.bytes > d.size()) return t;
        for (uint32_t k = 0; k + 1 < w.bytes; k += 2) w.values.push_back(int16_t(get(2)));
        p += w.bytes & 1;
        t.waves.push_back(w);
    }
    t.well_formed = p == d.size() && t.waves.size() == t.count;
    return t;
}

// A module reader test: waves into the song, one machine per channel. read() writes the module
// and runs the reading passes; temp() parses the WAVE data they laid out.
class ModuleReaderTest : public kxtest::WorkDirTest {
protected:
    void SetUp() override
    {
        WorkDirTest::SetUp();
        settings.dowave = 2;
        settings.dotsplit = 1;
    }
    bool read(const XmModule& m)
    {
        xm_file(m).write("in.xm");
        return read_module_passes("in.xm");
    }
    bool read(const ModModule& m)
    {
        mod_file(m).write("in.mod");
        return read_module_passes("in.mod");
    }
    TempFile temp() { return parse_temp(last_wave_data); }
};

} // namespace kxfix
