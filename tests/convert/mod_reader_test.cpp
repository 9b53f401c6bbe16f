// The MOD reader: tags, 15-sample modules, the pattern limit and cells, tiny samples with and
// without waves, early ends of the file.
#include <gtest/gtest.h>

#include "convert/module_fixtures.h"

namespace {

using namespace kxfix;
using Frames = std::vector<int16_t>;

class ModReaderTest : public ModuleReaderTest {};

ModSample sample(std::vector<uint8_t> data)
{
    ModSample s;
    s.length_words = unsigned(data.size() / 2);
    s.data = std::move(data);
    return s;
}

TEST_F(ModReaderTest, TagsGiveTheChannels)
{
    for (auto [tag, channels] : {std::pair<const char*, int>{"M.K.", 4}, {"FLT4", 4}, {"6CHN", 6}, {"OCTA", 8},
                                 {"8CHN", 8}, {"FLT8", 8}, {"", 4}}) {
        SCOPED_TRACE(tag);
        ModModule m;
        m.tag = tag; // none: 15 samples
        m.song_length = 3;
        m.order = {0, 1, 0};
        m.pattern_bytes = size_t(2 * 64 * 4 * channels);
        m.samples = {sample({0x80, 0x7F, 1, 1}), sample({5, 6, 7, 8})};
        settings.dowave = 0;
        ASSERT_TRUE(read(m));
        EXPECT_EQ(song.channel_count, channels);
        EXPECT_EQ(song.instrument_count, *tag ? 31 : 15);
        EXPECT_EQ(song.song_length, 3);
        EXPECT_EQ(song.pattern_count, 2);
        // The sample data follows the patterns of that many channels.
        TempFile t = temp();
        ASSERT_TRUE(t.well_formed);
        ASSERT_EQ(t.waves.size(), 2u);
        EXPECT_EQ(t.waves[0].values, (Frames{-32768, 0x7F00, 0x100, 0x100}));
        EXPECT_EQ(t.waves[1].values, (Frames{0x500, 0x600, 0x700, 0x800}));
    }
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
    EXPECT_EQ(song.instrument_table[1].wave_number, 1);
    EXPECT_EQ(song.instrument_table[0].samples[0].finetune, -16);
    EXPECT_EQ(song.instrument_table[0].samples[0].is_looping, 0); // the loop lies beyond the sample
    TempFile t = temp();
    ASSERT_TRUE(t.well_formed);
    ASSERT_EQ(t.waves.size(), 1u);
    // The wave-less sample's two bytes are passed over, not read as the next sample's.
    EXPECT_EQ(t.waves[0].values, (Frames{0x100, 0x200, 0x300, 0x400}));

    settings.dowave = 2; // every sample gets a wave; a tiny one a single zero frame
    ASSERT_TRUE(read(m));
    t = temp();
    ASSERT_TRUE(t.well_formed);
    ASSERT_EQ(t.waves.size(), 31u);
    EXPECT_EQ(t.waves[0].values, (Frames{0}));
    EXPECT_EQ(t.waves[1].values, (Frames{0x100, 0x200, 0x300, 0x400}));
}

TEST_F(ModReaderTest, PatternLimitAndCells)
{
    settings.dolist = 1;
    ModModule m;
    for (int i = 0; i < 128; ++i) m.order.push_back(uint8_t(i + 2));
    m.pattern_bytes = 130 * 1024;
    m.samples = {sample({1, 2, 3, 4})};
    Bytes b = mod_file(m);
    // Pattern 0, row 0, channel 0: period 428, instrument 0xF3 (beyond the table), effect C20.
    const uint8_t cell[] = {0xF1, 0xAC, 0x3C, 0x20};
    std::copy(cell, cell + 4, b.data.begin() + 1084);
    b.write("in.mod");
    LogCapture log;
    ASSERT_TRUE(read_module_passes("in.mod"));
    EXPECT_EQ(song.pattern_count, 112);
    std::string text = log.text();
    EXPECT_NE(text.find("restricted pattern number to 112"), std::string::npos);
    EXPECT_NE(text.find("1ac f3  0  c 20  ->"), std::string::npos);
    EXPECT_EQ(count_of(text, "->"), 112u * 64 * 4);
    // Period 428 is C-4; the instrument beyond the table gives no wave.
    EXPECT_EQ(song.machine_table[1].track_patterns[0].data[0], 0x41);
    EXPECT_EQ(song.machine_table[1].track_patterns[0].data[1], 0);
}

TEST_F(ModReaderTest, EarlyEndsOfTheFile)
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
    EXPECT_EQ(t.waves[1].values, (Frames{0x200, 0x200}));
    EXPECT_EQ(t.waves[2].values, (Frames{0}));
    EXPECT_EQ(song.instrument_table[1].samples[0].is_looping, 0); // its loop was cut off

    // Files that end before the patterns.
    for (size_t size : {size_t(10), size_t(36), size_t(1081)}) {
        b.data.resize(size);
        b.write("short.mod");
        EXPECT_FALSE(read_module_passes("short.mod")) << size;
    }
    EXPECT_NE(log.text().find("cannot read tag"), std::string::npos);
}

} // namespace
