// The XM reader over synthetic modules (packed cells, order clamping, the pattern limit, empty
// instruments, the BMW export, hostile header values) and over the corpus, whose sample frames
// are checked against an independent decoding.
#include <gtest/gtest.h>

#include "convert/module_fixtures.h"
#include "songwriter/xi_file.h"

namespace {

using namespace kxfix;
namespace fs = std::filesystem;

class XmReaderTest : public kxtest::WorkDirTest {
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
    TempFile temp() { return parse_temp(kxtest::read_file("kestrix.tmp")); }
};

XmPattern empty_pattern(unsigned rows)
{
    XmPattern p;
    p.rows = rows;
    return p;
}

XmInstrument one_sample(std::string name, std::vector<uint8_t> data)
{
    XmInstrument ins;
    ins.name = std::move(name);
    XmSample s;
    s.length = uint32_t(data.size());
    s.data = std::move(data);
    ins.samples = {s};
    return ins;
}

TEST_F(XmReaderTest, HeaderValues)
{
    XmModule m;
    m.name = "header";
    m.song_length = 3;
    m.channels = 6;
    m.flags = 1;
    m.tempo = 5;
    m.bpm = 140;
    m.order = {0, 0, 0};
    m.patterns = {empty_pattern(64)};
    ASSERT_TRUE(read(m));
    EXPECT_STREQ(song.song_name, "header");
    EXPECT_EQ(song.is_xm, 1);
    EXPECT_EQ(song.song_length, 3);
    EXPECT_EQ(song.channel_count, 6);
    EXPECT_EQ(song.frequency_mode, freq_xm_linear);
    EXPECT_EQ(song.speed, 5);
    EXPECT_EQ(song.start_bpm, 140);
    EXPECT_EQ(song.instrument_count, 0);
    EXPECT_EQ(song.wave_count, 0);
    EXPECT_EQ(song.machine_count, 7);
    EXPECT_EQ(song.tracks_per_generator, 1);

    settings.dotsplit = 0;
    ASSERT_TRUE(read_first_pass("in.xm"));
    EXPECT_EQ(song.machine_count, 2);
    EXPECT_EQ(song.tracks_per_generator, 6);
}

TEST_F(XmReaderTest, PackedCells)
{
    settings.dolist = 1;
    XmModule m;
    m.channels = 2;
    m.patterns = {empty_pattern(32), empty_pattern(2)};
    // Pattern 1, row 0: a mask cell with note and instrument, a full cell; row 1: empty mask
    // cells.
    m.patterns[1].packed.u8(0x83).u8(49).u8(1).u8(50).u8(1).u8(0x20).u8(0x0F).u8(0x03);
    m.patterns[1].packed.u8(0x80).u8(0x80);
    LogCapture log;
    ASSERT_TRUE(read(m));
    EXPECT_EQ(song.pattern_table[0].lines, 32) << "packed size 0 keeps the rows";
    EXPECT_EQ(song.pattern_table[1].lines, 2);
    std::string text = log.text();
    EXPECT_EQ(count_of(text, "->"), 4u) << "no cell of the empty pattern is handed on";
    EXPECT_NE(text.find("31  1  0  0  0  ->"), std::string::npos);
    EXPECT_NE(text.find("32  1 20  f  3  ->"), std::string::npos);
    // The cells reach the channels' machines (one per channel).
    EXPECT_EQ(song.machine_table[1].track_patterns[1].data[0], 0x41);
    EXPECT_EQ(song.machine_table[2].track_patterns[1].data[0], 0x42);
    EXPECT_EQ(song.machine_table[1].track_patterns[0].data[0], 0);
}

TEST_F(XmReaderTest, OrderEntriesAndSongLength)
{
    XmModule m;
    for (int p = 0; p < 16; ++p) m.patterns.push_back(empty_pattern(1));
    m.song_length = 10;
    m.order = {0x20, 3, 15, 16};
    LogCapture log;
    ASSERT_TRUE(read_first_pass((xm_file(m).write("in.xm"), "in.xm")));
    EXPECT_EQ(song.order_list[0].pattern, 15);
    EXPECT_EQ(song.order_list[1].pattern, 3);
    EXPECT_EQ(song.order_list[3].pattern, 15);
    EXPECT_NE(log.text().find("!"), std::string::npos);
    EXPECT_EQ(song.song_length, 10);

    settings.dosminus = 1;
    ASSERT_TRUE(read_first_pass("in.xm"));
    EXPECT_EQ(song.song_length, 9);

    // Only 256 entries exist.
    m.song_length = 300;
    settings.dosminus = 0;
    xm_file(m).write("in.xm");
    ASSERT_TRUE(read_first_pass("in.xm"));
    EXPECT_EQ(song.song_length, 256);
}

TEST_F(XmReaderTest, PatternsBeyondTheLimitAreReadButNotTranslated)
{
    settings.dolist = 1;
    XmModule m;
    m.channels = 2;
    for (int p = 0; p < 130; ++p) {
        XmPattern pat = empty_pattern(1);
        pat.packed.u8(0x81).u8(13).u8(0x81).u8(14);
        m.patterns.push_back(pat);
    }
    m.instruments = {one_sample("after", {10})};
    LogCapture log;
    ASSERT_TRUE(read(m));
    EXPECT_EQ(song.pattern_count, 112);
    std::string text = log.text();
    EXPECT_NE(text.find("restricted pattern number to 112"), std::string::npos);
    EXPECT_EQ(count_of(text, "->"), 112u * 2);
    EXPECT_STREQ(song.instrument_table[0].name, "after");
    EXPECT_EQ(temp().waves.at(0).values, (std::vector<int16_t>{2560}));
}

TEST_F(XmReaderTest, EmptyInstrumentIsSkippedOrBecomesAPlaceholder)
{
    XmModule m;
    m.patterns = {empty_pattern(4)};
    XmInstrument empty;
    empty.name = "empty";
    empty.header_size = 263;
    m.instruments = {empty, one_sample("real", {10, 250})};
    settings.dowave = 0;
    ASSERT_TRUE(read(m));
    EXPECT_EQ(song.instrument_table[0].wave_number, 0);
    EXPECT_EQ(song.instrument_table[0].sample_count, 0);
    EXPECT_STREQ(song.instrument_table[1].name, "real");
    EXPECT_EQ(song.instrument_table[1].wave_number, 1);
    EXPECT_EQ(song.wave_map[2], 1);
    EXPECT_EQ(song.wave_count, 1);
    EXPECT_FALSE(fs::exists("kestrix.tmp"));

    settings.dowave = 2;
    ASSERT_TRUE(read(m));
    const InstrumentRecord& e = song.instrument_table[0];
    EXPECT_EQ(e.is_empty, 1);
    EXPECT_EQ(e.sample_count, 1);
    EXPECT_EQ(e.samples[0].root_note, 49);
    EXPECT_EQ(e.samples[0].length, 1);
    EXPECT_EQ(song.instrument_table[1].wave_number, 2);
    EXPECT_EQ(song.wave_count, 2);
    TempFile t = temp();
    ASSERT_TRUE(t.well_formed);
    EXPECT_EQ(t.waves[0].values, (std::vector<int16_t>{0}));
    EXPECT_EQ(t.waves[1].index, 1u);
    EXPECT_EQ(t.waves[1].values, (std::vector<int16_t>{2560, 1024}));
}

TEST_F(XmReaderTest, ShortEmptyInstrumentEndsTheJob)
{
    XmModule m;
    m.patterns = {empty_pattern(4)};
    XmInstrument empty;
    empty.header_size = 20;
    m.instruments = {empty};
    EXPECT_FALSE(read(m));
}

TEST_F(XmReaderTest, BmwExportWritesEveryInstrumentAsXi)
{
    settings.dowave = 1;
    std::snprintf(song.converter_input, sizeof song.converter_input, "longname.xm");
    XmModule m;
    m.patterns = {empty_pattern(4)};
    XmInstrument full = one_sample("full", {1, 2, 3});
    full.key_map[10] = 0;
    full.volume_env = {0, 64, 5, 0};
    full.volume_points = 2;
    full.fadeout = 77;
    XmInstrument empty;
    m.instruments = {empty, full};
    ASSERT_TRUE(read(m));
    EXPECT_EQ(kxtest::read_file("longna00.xi").size(), 64u);
    EXPECT_EQ(kxtest::read_file("longna01.xi"), xi_file(full).data);
    EXPECT_FALSE(fs::exists("kestrix.tmp"));
}

TEST_F(XmReaderTest, HostileHeaderValuesEndTheJobCleanly)
{
    LogCapture log;
    XmModule m;
    m.patterns = {empty_pattern(4)};
    m.channels = 0;
    EXPECT_FALSE(read(m));
    m.channels = 65535;
    EXPECT_FALSE(read(m));
    EXPECT_NE(log.text().find("XM-file has 65535 channels"), std::string::npos);

    m.channels = 4;
    m.instruments_override = 65535;
    EXPECT_FALSE(read(m));
    m.instruments_override = -1;

    m.patterns = {empty_pattern(60000)};
    EXPECT_FALSE(read(m));

    // The last cell runs past the packed size.
    m.patterns = {empty_pattern(1)};
    m.patterns[0].packed.u8(0x83).u8(49).u8(1);
    m.patterns[0].size_override = 2;
    EXPECT_FALSE(read(m));
}

TEST_F(XmReaderTest, MissingInstrumentsEndTheSecondPass)
{
    XmModule m;
    m.patterns = {empty_pattern(4)};
    m.instruments = {one_sample("only", {1})};
    m.instruments_override = 3;
    xm_file(m).write("in.xm");
    ASSERT_TRUE(read_first_pass("in.xm"));
    EXPECT_EQ(song.instrument_count, 0);
    LogCapture log;
    EXPECT_FALSE(read_module_passes("in.xm"));
    EXPECT_NE(log.text().find("Incorrect Input File"), std::string::npos);
}

TEST_F(XmReaderTest, MidiConverterModuleCarriesItsChannelLimit)
{
    song.is_midi = 1;
    std::snprintf(song.converter_input, sizeof song.converter_input, "tune.mid");
    XmModule m;
    m.name = "08 from midi";
    m.channels = 10;
    m.patterns = {empty_pattern(1)};
    for (int c = 0; c < 10; ++c) m.patterns[0].packed.u8(0x81).u8(40);
    settings.dolist = 1;
    LogCapture log;
    ASSERT_TRUE(read(m));
    EXPECT_EQ(song.channel_limit, 8);
    EXPECT_EQ(song.tpb_factor, 4);
    EXPECT_EQ(song.machine_count, 9);
    std::string text = log.text();
    EXPECT_NE(text.find("Midifile tune.mid,Input restricted to 8 tracks"), std::string::npos);
    EXPECT_EQ(count_of(text, "->"), 8u);
}

// Independent decoding of every instrument's sample frames of an XM file, by the sizes the file
// declares.
std::vector<std::vector<int16_t>> decode_xm_waves(const std::vector<uint8_t>& d, bool& saw8,
                                                  bool& saw16)
{
    auto le = [&](size_t p, int n) {
        uint32_t v = 0;
        for (int k = 0; k < n; ++k) v |= uint32_t(d[p + size_t(k)]) << (8 * k);
        return v;
    };
    size_t pos = 60 + le(60, 4);
    unsigned patterns = le(70, 2), instruments = le(72, 2);
    for (unsigned p = 0; p < patterns; ++p) pos += le(pos, 4) + le(pos + 7, 2);
    std::vector<std::vector<int16_t>> waves;
    for (unsigned i = 0; i < instruments; ++i) {
        uint32_t size = le(pos, 4);
        unsigned samples = le(pos + 27, 2);
        uint32_t sh = samples ? le(pos + 29, 4) : 0;
        pos += size;
        if (!samples) {
            waves.push_back({0}); // the placeholder wave of an empty instrument
            continue;
        }
        std::vector<uint32_t> len;
        std::vector<bool> wide;
        for (unsigned j = 0; j < samples; ++j) {
            len.push_back(le(pos, 4));
            wide.push_back((d[pos + 14] & 0x10) != 0);
            pos += sh;
        }
        std::vector<int16_t> w;
        for (unsigned j = 0; j < samples; ++j) {
            int16_t v = 0;
            if (len[j] == 0) w.push_back(0);
            if (len[j]) (wide[j] ? saw16 : saw8) = true;
            for (uint32_t k = 0; k < len[j]; k += wide[j] ? 2 : 1) {
                v = int16_t(v + (wide[j] ? int16_t(le(pos + k, 2)) : int16_t(int8_t(d[pos + k]) * 256)));
                w.push_back(v);
            }
            pos += len[j];
        }
        waves.push_back(w);
    }
    return waves;
}

TEST_F(XmReaderTest, CorpusModulesReadInBothPasses)
{
    auto files = kxtest::corpus_files({".xm", ".mod"});
    if (files.empty()) GTEST_SKIP() << "no corpus";
    bool saw8 = false, saw16 = false;
    for (const auto& path : files) {
        for (int dotsplit = 0; dotsplit < 2; ++dotsplit) {
            SCOPED_TRACE(path.string() + " dotsplit " + std::to_string(dotsplit));
            TearDown();
            SetUp();
            settings.dotsplit = dotsplit;
            settings.dolist = 1;
            std::snprintf(song.converter_input, sizeof song.converter_input, "%s",
                          path.string().c_str());
            ASSERT_TRUE(read_module_passes(path));
            TempFile t = temp();
            EXPECT_TRUE(t.well_formed);
            EXPECT_EQ(t.count, unsigned(song.wave_count));
            auto d = kxtest::read_file(path);
            if (song.is_xm) {
                auto expect = decode_xm_waves(d, saw8, saw16);
                ASSERT_EQ(t.waves.size(), expect.size());
                for (size_t k = 0; k < expect.size(); ++k) EXPECT_EQ(t.waves[k].values, expect[k]);
            }
        }
    }
    EXPECT_TRUE(saw8);
    EXPECT_TRUE(saw16);
}

} // namespace
