// The XM writer: layout details checked byte by byte, the whole file read back by libopenmpt, and
// modules XM cannot hold refused without leaving a file behind.
#include <gtest/gtest.h>

#include <libopenmpt/libopenmpt.hpp>

#include <filesystem>

#include "support/test_support.h"
#include "xmconv/xm_writer.h"
#include "xmconv_test_util.h"

using namespace xmconv;
namespace fs = std::filesystem;

namespace {

uint32_t le32(const std::vector<uint8_t>& b, size_t at)
{
    return uint32_t(b.at(at)) | uint32_t(b.at(at + 1)) << 8 | uint32_t(b.at(at + 2)) << 16 |
           uint32_t(b.at(at + 3)) << 24;
}
unsigned le16(const std::vector<uint8_t>& b, size_t at) { return unsigned(b.at(at) | b.at(at + 1) << 8); }

class XmWriterTest : public kxtest::WorkDirTest {
protected:
    // Two channels, patterns of 1 and 256 rows and an empty one, an instrument with an 8-bit
    // looped sample and a 16-bit ping-pong sample, and an empty instrument.
    XmModule sample_module()
    {
        XmModule m;
        m.name = "writer test";
        m.channels = 2;
        m.linear_frequencies = false;
        m.speed = 3;
        m.bpm = 150;
        m.orders = {1, 0, 2, 1};
        m.restart = 1;
        m.patterns.resize(3);
        m.patterns[0].rows = 1;
        m.patterns[0].cells.resize(2);
        m.patterns[0].cells[1] = {49, 1, 0x30, 0xE, 0xB3};
        m.patterns[1].rows = 256;
        m.patterns[1].cells.resize(512);
        m.patterns[1].cells[255 * 2] = {xm_key_off, 0, 0, 0, 0};
        m.patterns[1].cells[3] = {60, 1, 0, 0xF, 0x80};
        m.patterns[2].rows = 64;
        m.patterns[2].cells.resize(128);

        XmInstrument in;
        in.name = "two samples";
        for (int n = 48; n < 96; ++n) in.note_map[size_t(n)] = 1;
        in.volume_envelope.points[0] = {0, 64};
        in.volume_envelope.points[1] = {10, 32};
        in.volume_envelope.points[2] = {20, 0};
        in.volume_envelope.count = 3;
        in.volume_envelope.sustain = 1;
        in.volume_envelope.loop_start = 0;
        in.volume_envelope.loop_end = 1;
        in.volume_envelope.flags = xm_env_on | xm_env_sustain | xm_env_loop;
        in.fadeout = 0x123;
        XmSample s8;
        s8.name = "eight";
        s8.frames = {10, 4, -128, 127};
        s8.loop_start = 1;
        s8.loop_length = 3;
        s8.loop_type = xm_loop_forward;
        s8.volume = 40;
        s8.finetune = -16;
        s8.relative_note = 12;
        s8.panning = 200;
        XmSample s16;
        s16.name = "sixteen";
        s16.is_16bit = true;
        s16.frames = {1000, -1000, 32767, -32768};
        s16.loop_start = 0;
        s16.loop_length = 4;
        s16.loop_type = xm_loop_pingpong;
        in.samples = {s8, s16};
        m.instruments.push_back(in);
        XmInstrument empty;
        empty.name = "nothing";
        m.instruments.push_back(empty);
        return m;
    }

    // Offset of the first instrument: after the header and the patterns.
    static size_t first_instrument(const std::vector<uint8_t>& b)
    {
        size_t pos = 60 + le32(b, 60);
        for (unsigned p = 0; p < le16(b, 70); ++p) pos += le32(b, pos) + le16(b, pos + 7);
        return pos;
    }
};

TEST_F(XmWriterTest, LayoutIsFt2s)
{
    std::vector<uint8_t> b = xm_encode(sample_module());
    EXPECT_EQ(std::string(b.begin(), b.begin() + 17), "Extended Module: ");
    EXPECT_EQ(b[37], 0x1A);
    EXPECT_EQ(le16(b, 58), 0x0104u);
    EXPECT_EQ(le32(b, 60), 276u);
    EXPECT_EQ(le16(b, 64), 4u);   // song length
    EXPECT_EQ(le16(b, 66), 1u);   // restart
    EXPECT_EQ(le16(b, 68), 2u);   // channels
    EXPECT_EQ(le16(b, 70), 3u);   // patterns
    EXPECT_EQ(le16(b, 72), 2u);   // instruments
    EXPECT_EQ(le16(b, 74), 0u);   // Amiga frequency table
    EXPECT_EQ(le16(b, 76), 3u);
    EXPECT_EQ(le16(b, 78), 150u);
    EXPECT_EQ(b[80], 1);
    EXPECT_EQ(b[83], 1);

    // Pattern 0: one row; an empty cell is the mask byte alone, a full cell is unpacked.
    size_t p0 = 336;
    EXPECT_EQ(le32(b, p0), 9u);
    EXPECT_EQ(le16(b, p0 + 5), 1u);
    ASSERT_EQ(le16(b, p0 + 7), 6u);
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + long(p0) + 9, b.begin() + long(p0) + 15),
              (std::vector<uint8_t>{0x80, 49, 1, 0x30, 0xE, 0xB3}));
    // The empty pattern has no packed data.
    size_t p1 = p0 + 9 + 6;
    size_t p2 = p1 + 9 + le16(b, p1 + 7);
    EXPECT_EQ(le16(b, p1 + 5), 256u);
    EXPECT_EQ(le16(b, p2 + 5), 64u);
    EXPECT_EQ(le16(b, p2 + 7), 0u);

    size_t in = first_instrument(b);
    EXPECT_EQ(le32(b, in), 263u);
    EXPECT_EQ(le16(b, in + 27), 2u);
    EXPECT_EQ(le32(b, in + 29), 40u);
    EXPECT_EQ(b[in + 33 + 47], 0);   // note 48 plays the first sample
    EXPECT_EQ(b[in + 33 + 48], 1);   // note 49 the second
    EXPECT_EQ(b[in + 225], 3);       // volume points
    EXPECT_EQ(b[in + 227], 1);       // sustain point
    EXPECT_EQ(b[in + 233], 7);       // on, sustain, loop
    EXPECT_EQ(le16(b, in + 239), 0x123u);
    size_t sh = in + 263;
    EXPECT_EQ(le32(b, sh), 4u);       // 8-bit: 4 bytes
    EXPECT_EQ(le32(b, sh + 4), 1u);
    EXPECT_EQ(le32(b, sh + 8), 3u);
    EXPECT_EQ(b[sh + 12], 40);
    EXPECT_EQ(int8_t(b[sh + 13]), -16);
    EXPECT_EQ(b[sh + 14], 0x01);
    EXPECT_EQ(b[sh + 15], 200);
    EXPECT_EQ(b[sh + 16], 12);
    sh += 40;
    EXPECT_EQ(le32(b, sh), 8u);       // 16-bit: lengths in bytes
    EXPECT_EQ(le32(b, sh + 8), 8u);
    EXPECT_EQ(b[sh + 14], 0x12);      // 16-bit, ping-pong
    // Delta-coded data: 10, 4-10, -128-4, 127+128 as bytes; then words.
    size_t data = sh + 40;
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + long(data), b.begin() + long(data) + 4),
              (std::vector<uint8_t>{10, 0xFA, 0x7C, 0xFF}));
    EXPECT_EQ(le16(b, data + 4), 1000u);
    EXPECT_EQ(le16(b, data + 6), uint16_t(-2000));
    EXPECT_EQ(le16(b, data + 8), uint16_t(32767 + 1000));
    EXPECT_EQ(le16(b, data + 10), 1u);  // -32768 - 32767 wraps to 1
    // The empty instrument still has the full 263-byte header, and the file ends there.
    size_t empty = data + 12;
    EXPECT_EQ(le32(b, empty), 263u);
    EXPECT_EQ(le16(b, empty + 27), 0u);
    EXPECT_EQ(b.size(), empty + 263);
}

TEST_F(XmWriterTest, LibopenmptReadsTheModuleBack)
{
    XmModule m = sample_module();
    std::vector<uint8_t> b = xm_encode(m);
    openmpt::module mod(b);
    EXPECT_EQ(mod.get_num_channels(), 2);
    ASSERT_EQ(mod.get_num_orders(), 4);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(mod.get_order_pattern(i), m.orders[size_t(i)]);
    ASSERT_EQ(mod.get_num_patterns(), 3);
    EXPECT_EQ(mod.get_pattern_num_rows(0), 1);
    EXPECT_EQ(mod.get_pattern_num_rows(1), 256);
    EXPECT_EQ(mod.get_pattern_num_rows(2), 64);
    EXPECT_EQ(mod.get_num_instruments(), 2);
    EXPECT_EQ(mod.get_num_samples(), 2);
    EXPECT_EQ(mod.get_instrument_names()[0], "two samples");
    EXPECT_EQ(mod.get_sample_names()[1], "sixteen");
    EXPECT_EQ(mod.get_current_speed(), 3);
    EXPECT_EQ(mod.get_current_tempo(), 150);
    // Cells: XM note 49 is libopenmpt's 61; key off is 255.
    EXPECT_EQ(mod.get_pattern_row_channel_command(0, 0, 1, openmpt::module::command_note), 61);
    EXPECT_EQ(mod.get_pattern_row_channel_command(0, 0, 1, openmpt::module::command_instrument), 1);
    EXPECT_EQ(mod.get_pattern_row_channel_command(1, 255, 0, openmpt::module::command_note), 255);
    EXPECT_EQ(mod.get_pattern_row_channel_command(1, 1, 1, openmpt::module::command_note), 72);
    EXPECT_EQ(mod.get_pattern_row_channel_command(1, 1, 1, openmpt::module::command_parameter), 0x80);
    EXPECT_GT(mod.get_duration_seconds(), 0.0);
}

TEST_F(XmWriterTest, ModulesXmCannotHoldAreRefusedWithoutAFile)
{
    struct Case { const char* what; void (*spoil)(XmModule&); const char* reason; };
    const Case cases[] = {
        {"33 channels", [](XmModule& m) {
             m.channels = 33;
             for (auto& p : m.patterns) p.cells.resize(size_t(p.rows) * 33);
         }, "at most 32"},
        {"257 rows", [](XmModule& m) {
             m.patterns[1].rows = 257;
             m.patterns[1].cells.resize(514);
         }, "1 to 256"},
        {"missing pattern", [](XmModule& m) { m.orders.push_back(7); }, "does not exist"},
        {"empty order list", [](XmModule& m) { m.orders.clear(); m.restart = 0; }, "empty order list"},
        {"falling envelope", [](XmModule& m) { m.instruments[0].volume_envelope.points[2][0] = 5; }, "envelope"},
        {"loop past the end", [](XmModule& m) { m.instruments[0].samples[0].loop_length = 9; }, "loop"},
        {"17 samples", [](XmModule& m) { m.instruments[0].samples.resize(17); }, "16 samples"},
        {"129 instruments", [](XmModule& m) { m.instruments.resize(129); }, "at most 128"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        XmModule m = sample_module();
        c.spoil(m);
        std::string error;
        EXPECT_FALSE(xm_write_file(m, "out.xm", error));
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_FALSE(fs::exists("out.xm"));
        EXPECT_FALSE(fs::exists("out.xm.part"));
    }
}

TEST_F(XmWriterTest, WritingReplacesAnOldFileWhole)
{
    kxtest::Bytes().str("old contents").write("out.xm");
    std::string error;
    ASSERT_TRUE(xm_write_file(sample_module(), "out.xm", error)) << error;
    EXPECT_EQ(kxtest::read_file("out.xm"), xm_encode(sample_module()));
    EXPECT_FALSE(fs::exists("out.xm.part"));
    auto lengths = xm_sample_lengths(kxtest::read_file("out.xm"));
    ASSERT_EQ(lengths.size(), 2u);
    EXPECT_EQ(lengths[0], (std::multiset<uint32_t>{4, 4}));
    EXPECT_TRUE(lengths[1].empty());
}

} // namespace
