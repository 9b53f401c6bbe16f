// The MOD reader: tags, 15-sample modules, the pattern limit, tiny samples with and without
// waves, cells, early ends of the sample data, and the corpus MODs against an independent
// decoding of their samples.
#include <gtest/gtest.h>

#include "convert/module_fixtures.h"

namespace {

using namespace kxfix;
namespace fs = std::filesystem;

class ModReaderTest : public kxtest::WorkDirTest {
protected:
    void SetUp() override
    {
        WorkDirTest::SetUp();
        settings.dowave = 2;
        settings.dotsplit = 1;
    }
    bool read(const ModModule& m)
    {
        mod_file(m).write("in.mod");
        return read_module_passes("in.mod");
    }
    TempFile temp() { return parse_temp(kxtest::read_file("kestrix.tmp")); }
};

ModSample sample(std::vector<uint8_t> data)
{
    ModSample s;
    s.length_words = unsigned(data.size() / 2);
    s.data = std::move(data);
    return s;
}

TEST_F(ModReaderTest, TagsGiveTheChannels)
{
    for (auto [tag, channels] : {std::pair<const char*, int>{"M.K.", 4}, {"FLT4", 4}, {"6CHN", 6},
                                 {"OCTA", 8}, {"8CHN", 8}, {"FLT8", 8}}) {
        SCOPED_TRACE(tag);
        ModModule m;
        m.tag = tag;
        m.channels = channels;
        m.samples = {sample({1, 2, 3, 4})};
        ASSERT_TRUE(read(m));
        EXPECT_EQ(song.is_mod, 1);
        EXPECT_EQ(song.channel_count, channels);
        EXPECT_EQ(song.instrument_count, 31);
        EXPECT_EQ(song.frequency_mode, freq_mod_period);
        // The sample data follows the patterns of that many channels.
        EXPECT_EQ(temp().waves.at(0).values, (std::vector<int16_t>{0x100, 0x200, 0x300, 0x400}));
    }
}

TEST_F(ModReaderTest, FifteenSampleModuleWithoutTag)
{
    ModModule m;
    m.tag = "";
    m.song_length = 3;
    m.order = {0, 1, 0};
    m.patterns = 2;
    m.samples = {sample({0x80, 0x7F}), sample({5, 6, 7, 8})};
    m.samples[0].length_words = 2;
    m.samples[0].data = {0x80, 0x7F, 1, 1};
    settings.dowave = 0;
    ASSERT_TRUE(read(m));
    EXPECT_EQ(song.instrument_count, 15);
    EXPECT_EQ(song.song_length, 3);
    EXPECT_EQ(song.pattern_count, 2);
    EXPECT_EQ(song.order_list[1].pattern, 1);
    EXPECT_EQ(song.wave_count, 2);
    for (int i = 15; i < 31; ++i) EXPECT_EQ(song.instrument_table[i].wave_number, 0) << i;
    TempFile t = temp();
    ASSERT_TRUE(t.well_formed);
    ASSERT_EQ(t.waves.size(), 2u);
    EXPECT_EQ(t.waves[0].values, (std::vector<int16_t>{-32768, 0x7F00, 0x100, 0x100}));
    EXPECT_EQ(t.waves[1].values, (std::vector<int16_t>{0x500, 0x600, 0x700, 0x800}));
}

TEST_F(ModReaderTest, TwoByteSamples)
{
    ModModule m;
    m.samples = {sample({9, 9}), sample({1, 2, 3, 4})};
    m.samples[0].finetune = 0x0F;
    m.samples[0].loop_start_words = 5;
    m.samples[0].loop_length_words = 8;

    settings.dowave = 0;
    ASSERT_TRUE(read(m));
    EXPECT_EQ(song.instrument_table[0].wave_number, 0);
    EXPECT_EQ(song.instrument_table[0].sample_count, 0);
    EXPECT_EQ(song.wave_map[1], 0);
    EXPECT_EQ(song.instrument_table[1].wave_number, 1);
    EXPECT_EQ(song.wave_count, 1);
    EXPECT_EQ(song.instrument_table[0].samples[0].finetune, -16);
    EXPECT_EQ(song.instrument_table[0].samples[0].is_looping, 0);
    TempFile t = temp();
    ASSERT_TRUE(t.well_formed);
    ASSERT_EQ(t.waves.size(), 1u);
    EXPECT_EQ(t.waves[0].index, 0u);
    // The wave-less sample's two bytes are passed over, not read as the next sample's.
    EXPECT_EQ(t.waves[0].values, (std::vector<int16_t>{0x100, 0x200, 0x300, 0x400}));

    settings.dowave = 2;
    ASSERT_TRUE(read(m));
    EXPECT_EQ(song.wave_count, 31);
    EXPECT_EQ(song.instrument_table[0].wave_number, 1);
    EXPECT_EQ(song.instrument_table[0].samples[0].length, 1);
    t = temp();
    ASSERT_TRUE(t.well_formed);
    ASSERT_EQ(t.waves.size(), 31u);
    EXPECT_EQ(t.waves[0].values, (std::vector<int16_t>{0}));
    EXPECT_EQ(t.waves[1].index, 1u);
    EXPECT_EQ(t.waves[1].values, (std::vector<int16_t>{0x100, 0x200, 0x300, 0x400}));
    EXPECT_EQ(t.waves[30].values, (std::vector<int16_t>{0}));
}

TEST_F(ModReaderTest, PatternLimitAndCells)
{
    settings.dolist = 1;
    ModModule m;
    for (int i = 0; i < 128; ++i) m.order.push_back(uint8_t(i + 2));
    m.patterns = 130;
    m.pattern_data.assign(size_t(130) * 64 * 16, 0);
    // Pattern 0, row 0, channel 0: period 428, instrument 0xF3 (beyond the table), effect C20.
    m.pattern_data[0] = 0xF1;
    m.pattern_data[1] = 0xAC;
    m.pattern_data[2] = 0x3C;
    m.pattern_data[3] = 0x20;
    m.samples = {sample({1, 2})};
    m.samples[0].length_words = 2;
    m.samples[0].data = {1, 2, 3, 4};
    LogCapture log;
    ASSERT_TRUE(read(m));
    EXPECT_EQ(song.pattern_count, 112);
    std::string text = log.text();
    EXPECT_NE(text.find("restricted pattern number to 112"), std::string::npos);
    EXPECT_NE(text.find("1ac f3  0  c 20  ->"), std::string::npos);
    EXPECT_EQ(count_of(text, "->"), 112u * 64 * 4);
    // Period 428 is C-4; the instrument beyond the table gives no wave.
    const uint8_t* cell = song.machine_table[1].track_patterns[0].data;
    EXPECT_EQ(cell[0], 0x41);
    EXPECT_EQ(cell[1], 0);
    EXPECT_EQ(temp().waves.at(0).values, (std::vector<int16_t>{0x100, 0x200, 0x300, 0x400}));
}

TEST_F(ModReaderTest, EndOfFileInsideTheSampleData)
{
    ModModule m;
    m.samples = {sample({1, 1, 1, 1}), sample({2, 2, 2, 2}), sample({3, 3, 3, 3})};
    m.samples[1].loop_start_words = 1;
    m.samples[1].loop_length_words = 2;
    Bytes b = mod_file(m);
    b.data.resize(b.size() - 6); // two bytes of the second sample remain
    b.write("cut.mod");
    settings.dowave = 0;
    LogCapture log;
    ASSERT_TRUE(read_module_passes("cut.mod"));
    EXPECT_NE(log.text().find("EOF!!! reading sample 1 byte 2"), std::string::npos);
    TempFile t = temp();
    ASSERT_TRUE(t.well_formed) << "every wave keeps an entry that matches its byte count";
    ASSERT_EQ(t.waves.size(), 3u);
    EXPECT_EQ(t.waves[1].values, (std::vector<int16_t>{0x200, 0x200}));
    EXPECT_EQ(t.waves[2].values, (std::vector<int16_t>{0}));
    EXPECT_EQ(song.instrument_table[1].samples[0].length, 2);
    EXPECT_EQ(song.instrument_table[1].samples[0].is_looping, 0);
    EXPECT_EQ(song.instrument_table[2].samples[0].length, 1);
}

TEST_F(ModReaderTest, TooShortFiles)
{
    Bytes{}.fill(10, 0).write("a.mod");
    EXPECT_FALSE(read_module_passes("a.mod"));
    Bytes{}.fill(19 + 17, 0).write("b.mod");
    EXPECT_FALSE(read_module_passes("b.mod"));
    ModModule m;
    Bytes c = mod_file(m);
    c.data.resize(1081);
    c.write("c.mod");
    LogCapture log;
    EXPECT_FALSE(read_module_passes("c.mod"));
    EXPECT_NE(log.text().find("cannot read tag"), std::string::npos);
}

TEST_F(ModReaderTest, CorpusSamplesDecodeLikeAnIndependentReader)
{
    auto files = kxtest::corpus_files({".mod"});
    size_t checked = 0;
    for (const auto& path : files) {
        auto d = kxtest::read_file(path);
        if (d.size() < 1084 || std::string(d.begin(), d.begin() + 17) == "Extended Module: ") continue;
        SCOPED_TRACE(path.string());
        TearDown();
        SetUp();
        ASSERT_TRUE(read_module_passes(path));
        int highest = 0;
        for (int i = 0; i < 128; ++i) highest = std::max<int>(highest, d[952 + size_t(i)]);
        size_t pos = 1084 + size_t(highest + 1) * 64 * 4 * 4;
        TempFile t = temp();
        ASSERT_TRUE(t.well_formed);
        for (int i = 0; i < 31; ++i) {
            size_t len = size_t((d[20 + 30 * size_t(i) + 22] << 8) | d[20 + 30 * size_t(i) + 23]) * 2;
            std::vector<int16_t> expect;
            for (size_t k = 0; k < len && pos + k < d.size(); ++k) expect.push_back(int16_t(int8_t(d[pos + k]) * 256));
            if (len <= 2) expect = {0};
            pos += len;
            ASSERT_LT(size_t(i), t.waves.size());
            EXPECT_EQ(t.waves[size_t(i)].values, expect) << "sample " << i;
            ++checked;
        }
    }
    if (!checked) GTEST_SKIP() << "no corpus MOD";
}

} // namespace
