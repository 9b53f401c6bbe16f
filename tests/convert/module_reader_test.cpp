// The XM and MOD readers where whole conversions do not go: more patterns than an order table names, the
// MOD tags, files cut short or damaged. Ordinary modules are converted byte for byte in
// tests/e2e/golden_test.cpp.
#include "convert/fixtures.h"

namespace {

using namespace kxfix;

size_t count_of(const std::string& hay, const std::string& needle)
{
    size_t n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
    return n;
}

class ModuleReaderTest : public kxtest::WorkDirTest {
protected:
    void SetUp() override
    {
        WorkDirTest::SetUp();
        settings.dowave = 2;
        settings.dotsplit = 1;
    }
    bool read(const Bytes& file)
    {
        file.write("in.mod");
        return read_module_passes(c, "in.mod", &waves);
    }
    WaveData waves; // of the last read that got through
};

// Every pattern is kept (130 of a MOD); those an XM's order table cannot name (beyond 256) are
// read past with a warning, and the instruments after them are read from the right place.
TEST_F(ModuleReaderTest, EveryPatternTheOrderTableNamesIsKept)
{
    settings.dolist = 1;
    XmModule xm;
    xm.channels = 2;
    xm.patterns.assign(258, pattern(1, 2, {{0, 0, 13, 0, 0, 0, 0}, {0, 1, 14, 0, 0, 0, 0}}));
    xm.instruments = {{"after", {{{10}}}}};
    ModModule mod;
    mod.order.clear();
    for (int i = 0; i < 128; ++i) mod.order.push_back(uint8_t(i + 2));
    mod.patterns = Bytes().fill(130 * 1024, 0);
    mod.samples = {{{1, 2, 3, 4}}};
    for (const Bytes& file : {xm_file(xm), mod_file(mod)}) {
        LogCapture captured(log);
        ASSERT_TRUE(read(file));
        const bool is_xm = song.module_format == InputKind::xm;
        EXPECT_EQ(song.pattern_count, is_xm ? 256 : 130);
        EXPECT_EQ(captured.has("\nWarning: the module has 258 patterns, its order table names the first 256: 2 left out"), is_xm);
        EXPECT_EQ(count_of(captured.text(), "->"), is_xm ? 256u * 2 : 130u * 64 * 4); // every cell of the patterns kept
        EXPECT_EQ(waves.waves.at(0), is_xm ? Frames{2560} : (Frames{0x100, 0x200, 0x300, 0x400}));
    }
}

TEST_F(ModuleReaderTest, ModTagsGiveTheChannels)
{
    for (auto [tag, channels] : {std::pair<const char*, int>{"M.K.", 4}, {"FLT4", 4}, {"M!K!", 4}, {"4CHN", 4},
                                 {"M&K!", 4}, {"6CHN", 6}, {"OCTA", 8}, {"8CHN", 8}, {"FLT8", 8}, {"", 4}}) {
        SCOPED_TRACE(tag);
        ModModule m;
        m.tag = tag; // none: 15 samples
        m.order = {0, 1, 0};
        m.patterns = Bytes().fill(size_t(2 * 64 * 4 * channels), 0);
        m.samples = {{{0x80, 0x7F, 1, 1}}, {{5, 6, 7, 8}}};
        ASSERT_TRUE(read(mod_file(m)));
        EXPECT_EQ(std::tie(song.channel_count, song.instrument_count, song.song_length, song.pattern_count),
                  std::make_tuple(channels, *tag ? 31 : 15, 3, 2));
        // The sample data follows the patterns of that many channels.
        const WaveData& t = waves;
        ASSERT_TRUE(t.well_formed);
        ASSERT_EQ(t.waves.size(), *tag ? 31u : 15u);
        EXPECT_EQ(t.waves[0], (Frames{-32768, 0x7F00, 0x100, 0x100}));
        EXPECT_EQ(t.waves[1], (Frames{0x500, 0x600, 0x700, 0x800}));
    }
}

TEST_F(ModuleReaderTest, ModCutShort)
{
    ModModule m;
    m.samples = {{{1, 1, 1, 1}}, {{2, 2, 2, 2}, 0, 1, 2}, {{3, 3, 3, 3}}};
    Bytes b = mod_file(m);
    b.data.resize(b.size() - 6); // two bytes of the second sample remain
    settings.dowave = 0;
    LogCapture captured(log);
    ASSERT_TRUE(read(b));
    EXPECT_TRUE(captured.has("EOF!!! reading sample 1 byte 2"));
    const WaveData& t = waves;
    ASSERT_TRUE(t.well_formed) << "every wave keeps an entry that matches its byte count";
    ASSERT_EQ(t.waves.size(), 3u);
    EXPECT_EQ(t.waves[1], (Frames{0x200, 0x200}));
    EXPECT_EQ(t.waves[2], (Frames{0}));
    EXPECT_EQ(song.instrument_table[1].samples[0].is_looping, 0); // its loop was cut off
    for (size_t size : {size_t(10), size_t(36), size_t(1081)}) { // files that end before the patterns
        b.data.resize(size);
        EXPECT_FALSE(read(b)) << size;
    }
    EXPECT_TRUE(captured.has("cannot read tag"));
}

TEST_F(ModuleReaderTest, BrokenXmFilesEndTheJob)
{
    auto with = [](auto change) {
        XmModule m;
        m.patterns = {pattern(4, 4)};
        change(m);
        return xm_file(m);
    };
    XmPattern overrun = pattern(1, 4, {{0, 0, 49, 1, 0, 0, 0}}); // the cell runs past the packed size
    overrun.size_override = 2;
    struct Case { const char* what; Bytes file; const char* message; };
    const Case cases[] = {
        {"no channels", with([](XmModule& m) { m.channels = 0; }), "XM-file has 0 channels"},
        {"65535 channels", with([](XmModule& m) { m.channels = 65535; }), "XM-file has 65535 channels"},
        {"256 instruments", with([](XmModule& m) { m.instruments_override = 256; }), "XM-file has 256 instruments"},
        {"no patterns", with([](XmModule& m) { m.patterns.clear(); }), "XM-file has no patterns!!"},
        {"60000 rows (128 channels and 255 instruments pass)", with([](XmModule& m) {
             m.patterns = {pattern(60000, 4)}, m.channels = 128, m.instruments_override = 255; }),
         "XM-pattern has too many lines!"},
        {"packed overrun", with([&](XmModule& m) { m.patterns = {overrun}; }), "Wrong XM-pattern size!"},
        {"short empty instrument", with([](XmModule& m) { m.instruments = {{"e", {}, {}, {}, 0, 0, 0, 20}}; }), ""},
        {"missing instruments", with([](XmModule& m) { m.instruments = {{"a", {{{1}}}}}, m.instruments_override = 3; }),
         "Incorrect Input File"},
        {"cut in the name", Bytes{}.str("Extended Module: ").str("name"), "Badly formed file: cant read name"},
        {"cut in the tag", Bytes{}.str("Extended Module: ").fixed("name", 20).u8(0x1A).str("Fast"),
         "Badly formed XM file: cant read tag"},
        {"cut in the header", Bytes{}.str("Extended Module: ").fixed("name", 20).u8(0x1A).fixed("t", 20).le16(0x104).le16(7),
         "XM-file is cut at 62 bytes, an XM header takes 80!!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        LogCapture captured(log);
        EXPECT_FALSE(read(c.file));
        EXPECT_TRUE(captured.has(c.message));
    }
}

} // namespace
