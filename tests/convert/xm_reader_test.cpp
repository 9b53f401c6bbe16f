// The XM reader over synthetic modules: header values, packed cells, order clamping, the pattern
// limit, empty instruments, the BMW export, and broken files.
#include <gtest/gtest.h>

#include "convert/module_fixtures.h"

namespace {

using namespace kxfix;
namespace fs = std::filesystem;

class XmReaderTest : public ModuleReaderTest {};

XmPattern pattern(unsigned rows, const Bytes& packed = {})
{
    XmPattern p;
    p.rows = rows;
    p.packed = packed;
    return p;
}

XmInstrument one_sample(std::string name, std::vector<uint8_t> data)
{
    XmInstrument ins;
    ins.name = std::move(name);
    ins.samples = {XmSample{}};
    ins.samples[0].length = uint32_t(data.size());
    ins.samples[0].data = std::move(data);
    return ins;
}

TEST_F(XmReaderTest, HeaderAndPackedCells)
{
    settings.dolist = 1;
    XmModule m;
    m.name = "header";
    m.song_length = 3;
    m.channels = 2;
    m.tempo = 5;
    m.bpm = 140;
    // Pattern 0 has packed size 0. Pattern 1, row 0: a mask cell with note and instrument, a full
    // cell; row 1: empty mask cells.
    m.patterns = {pattern(32), pattern(2, Bytes{}.u8(0x83).u8(49).u8(1).u8(50).u8(1).u8(0x20).u8(10).u8(3).u8(0x80).u8(0x80))};
    LogCapture log;
    ASSERT_TRUE(read(m));
    EXPECT_STREQ(song.song_name, "header");
    EXPECT_EQ(song.song_length, 3);
    EXPECT_EQ(song.speed, 5);
    EXPECT_EQ(song.start_bpm, 140);
    EXPECT_EQ(song.machine_count, 3); // one machine per channel
    EXPECT_EQ(song.pattern_table[0].lines, 32) << "packed size 0 keeps the rows";
    EXPECT_EQ(song.pattern_table[1].lines, 2);
    std::string text = log.text();
    EXPECT_EQ(count_of(text, "->"), 4u) << "no cell of the empty pattern is handed on";
    EXPECT_NE(text.find("31  1  0  0  0  ->"), std::string::npos);
    EXPECT_NE(text.find("32  1 20  a  3  ->"), std::string::npos);
    EXPECT_EQ(song.machine_table[1].track_patterns[1].data[0], 0x41);
    EXPECT_EQ(song.machine_table[2].track_patterns[1].data[0], 0x42);

    settings.dotsplit = 0;
    ASSERT_TRUE(read(m));
    EXPECT_EQ(song.machine_count, 2);
    EXPECT_EQ(song.tracks_per_generator, 2);
}

TEST_F(XmReaderTest, OrderEntriesAndSongLength)
{
    XmModule m;
    for (int p = 0; p < 16; ++p) m.patterns.push_back(pattern(1));
    m.song_length = 10;
    m.order = {0x20, 3, 15, 16}; // entries beyond the patterns become the last one
    LogCapture log;
    ASSERT_TRUE(read(m));
    EXPECT_EQ(song.order_list[0].pattern, 15);
    EXPECT_EQ(song.order_list[1].pattern, 3);
    EXPECT_EQ(song.order_list[3].pattern, 15);
    EXPECT_NE(log.text().find("!"), std::string::npos);
    EXPECT_EQ(song.song_length, 10);
    settings.dosminus = 1;
    ASSERT_TRUE(read(m));
    EXPECT_EQ(song.song_length, 9);
    m.song_length = 300; // only 256 entries exist, the last one dropped
    ASSERT_TRUE(read(m));
    EXPECT_EQ(song.song_length, 255);
}

TEST_F(XmReaderTest, PatternsBeyondTheLimitAreReadButNotTranslated)
{
    settings.dolist = 1;
    XmModule m;
    m.channels = 2;
    for (int p = 0; p < 130; ++p) m.patterns.push_back(pattern(1, Bytes{}.u8(0x81).u8(13).u8(0x81).u8(14)));
    m.instruments = {one_sample("after", {10})};
    LogCapture log;
    ASSERT_TRUE(read(m));
    EXPECT_EQ(song.pattern_count, 112);
    EXPECT_NE(log.text().find("restricted pattern number to 112"), std::string::npos);
    EXPECT_EQ(count_of(log.text(), "->"), 112u * 2);
    EXPECT_STREQ(song.instrument_table[0].name, "after");
    EXPECT_EQ(temp().waves.at(0).values, (std::vector<int16_t>{2560}));
}

TEST_F(XmReaderTest, EmptyInstrumentIsSkippedOrBecomesAPlaceholder)
{
    XmModule m;
    m.patterns = {pattern(4)};
    m.instruments = {XmInstrument{}, one_sample("real", {10, 250})}; // 234 bytes after the empty header
    settings.dowave = 0;
    ASSERT_TRUE(read(m));
    EXPECT_EQ(song.instrument_table[0].wave_number, 0);
    EXPECT_STREQ(song.instrument_table[1].name, "real");
    EXPECT_EQ(song.wave_map[2], 1);

    settings.dowave = 2;
    ASSERT_TRUE(read(m));
    EXPECT_EQ(song.instrument_table[0].is_empty, 1);
    EXPECT_EQ(song.instrument_table[1].wave_number, 2);
    TempFile t = temp();
    ASSERT_TRUE(t.well_formed);
    EXPECT_EQ(t.waves[0].values, (std::vector<int16_t>{0}));
    EXPECT_EQ(t.waves[1].values, (std::vector<int16_t>{2560, 1024})); // delta bytes 10, 250
}

TEST_F(XmReaderTest, FirstMappedNotesFromTheKeyMap)
{
    XmInstrument halves = one_sample("keys", {1});
    halves.samples.push_back(halves.samples[0]);
    XmInstrument alternating = halves;
    for (size_t n = 0; n < 96; ++n) {
        halves.key_map[n] = n >= 48;          // keys 1..48, 49..96
        alternating.key_map[n] = n % 2 == 0; // 1, 0, 1, 0 ...
    }
    XmModule m;
    m.patterns = {pattern(1)};
    m.instruments = {halves, alternating};
    ASSERT_TRUE(read(m));
    EXPECT_EQ(song.instrument_table[0].samples[0].root_note, 1);
    EXPECT_EQ(song.instrument_table[0].samples[1].root_note, 49);
    EXPECT_EQ(song.instrument_table[1].samples[1].root_note, 1);
    EXPECT_EQ(song.instrument_table[1].samples[0].root_note, 97); // first met after sample 1: never mapped
}

TEST_F(XmReaderTest, BmwExportWritesEveryInstrumentAsXi)
{
    settings.dowave = 1;
    std::snprintf(song.converter_input, sizeof song.converter_input, "longname.xm");
    XmModule m;
    m.patterns = {pattern(4)};
    XmInstrument full = one_sample("full", {1, 2, 3});
    full.volume_env = {0, 64, 5, 0};
    full.volume_points = 2;
    full.fadeout = 77;
    m.instruments = {XmInstrument{}, full};
    ASSERT_TRUE(read(m));
    EXPECT_EQ(kxtest::read_file("longna00.xi").size(), 64u);
    EXPECT_EQ(kxtest::read_file("longna01.xi"), xi_file(full).data);
    EXPECT_FALSE(fs::exists("kestrix.tmp"));
}

TEST_F(XmReaderTest, BrokenFilesEndTheJob)
{
    auto with = [](auto change) {
        XmModule m;
        m.patterns = {pattern(4)};
        change(m);
        return xm_file(m);
    };
    XmPattern overrun = pattern(1, Bytes{}.u8(0x83).u8(49).u8(1)); // the cell runs past the packed size
    overrun.size_override = 2;
    struct Case { const char* what; Bytes file; const char* message; };
    const Case cases[] = {
        {"no channels", with([](XmModule& m) { m.channels = 0; }), ""},
        {"65535 channels", with([](XmModule& m) { m.channels = 65535; }), "XM-file has 65535 channels"},
        {"65535 instruments", with([](XmModule& m) { m.instruments_override = 65535; }), ""},
        {"60000 rows", with([](XmModule& m) { m.patterns = {pattern(60000)}; }), ""},
        {"packed overrun", with([&](XmModule& m) { m.patterns = {overrun}; }), ""},
        {"short empty instrument", with([](XmModule& m) { m.instruments = {XmInstrument{}}; m.instruments[0].header_size = 20; }), ""},
        {"missing instruments", with([](XmModule& m) { m.instruments = {one_sample("only", {1})}; m.instruments_override = 3; }),
         "Incorrect Input File"},
        {"cut in the name", Bytes{}.str("Extended Module: ").str("name"), "Badly formed file: cant read name"},
        {"cut in the tag", Bytes{}.str("Extended Module: ").fixed("name", 20).u8(0x1A).str("Fast"),
         "Badly formed XM file: cant read tag"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        c.file.write("in.xm");
        LogCapture log;
        EXPECT_FALSE(read_module_passes("in.xm"));
        EXPECT_NE(log.text().find(c.message), std::string::npos);
    }
}

} // namespace
