// The XM writer: the whole file of a small module checked byte by byte, and modules XM cannot
// hold refused without leaving a file behind.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_support.h"
#include "xmconv/xm_writer.h"

using namespace xmconv;
namespace fs = std::filesystem;

namespace {

class XmWriterTest : public kxtest::WorkDirTest {
protected:
    // Two channels; a 2-row pattern with an empty, a full and a partly filled cell, and an empty
    // 256-row pattern; an instrument with an 8-bit looped and a 16-bit ping-pong sample; an empty
    // instrument.
    static XmModule sample_module()
    {
        XmModule m;
        m.name = "writer test";
        m.channels = 2;
        m.linear_frequencies = false;
        m.speed = 3;
        m.bpm = 150;
        m.orders = {1, 0, 1};
        m.restart = 1;
        m.patterns.resize(2);
        m.patterns[0].rows = 2;
        m.patterns[0].cells = {{}, {49, 1, 0x30, 0xE, 0xB3}, {xm_key_off, 0, 0, 0, 0}, {60, 0, 0, 0xF, 0x80}};
        m.patterns[1].rows = 256;
        m.patterns[1].cells.resize(512);

        XmInstrument in;
        in.name = "two samples";
        for (int n = 48; n < 96; ++n) in.note_map[size_t(n)] = 1;
        XmEnvelope& v = in.volume_envelope;
        v.points[0] = {0, 64};
        v.points[1] = {10, 32};
        v.points[2] = {20, 0};
        v.count = 3;
        v.sustain = 1;
        v.loop_end = 1;
        v.flags = xm_env_on | xm_env_sustain | xm_env_loop;
        in.fadeout = 0x123;
        XmSample s8{"eight", false, {10, 4, -128, 127}, 1, 3, xm_loop_forward, 40, -16, 200, 12};
        XmSample s16{"sixteen", true, {1000, -1000, 32767, -32768}, 0, 4, xm_loop_pingpong};
        in.samples = {s8, s16};
        XmInstrument empty;
        empty.name = "nothing";
        m.instruments = {in, empty};
        return m;
    }
};

TEST_F(XmWriterTest, LayoutIsFt2s)
{
    kxtest::Bytes x;
    x.str("Extended Module: ").fixed("writer test", 20).u8(0x1A).fixed("kestrix xmconv", 20, ' ');
    x.le16(0x104).le32(276).le16(3).le16(1).le16(2).le16(2).le16(2).le16(0).le16(3).le16(150);
    x.u8(1).u8(0).u8(1).fill(253, 0);
    // Packed cells: the mask byte alone, all five bytes unpacked, mask and the fields present.
    x.le32(9).u8(0).le16(2).le16(12).u8(0x80).u8(49).u8(1).u8(0x30).u8(0xE).u8(0xB3);
    x.u8(0x81).u8(97).u8(0x99).u8(60).u8(0xF).u8(0x80);
    x.le32(9).u8(0).le16(256).le16(0);  // an empty pattern has no packed data
    x.le32(263).fixed("two samples", 22).u8(0).le16(2).le32(40).fill(48, 0).fill(48, 1);
    x.le16(0).le16(64).le16(10).le16(32).le16(20).le16(0).fill(36 + 48, 0);
    x.u8(3).u8(0).u8(1).u8(0).u8(1).u8(0).u8(0).u8(0).u8(7).u8(0).fill(4, 0).le16(0x123).fill(22, 0);
    // Sample lengths and loops in bytes, type 0x10 for 16 bits.
    x.le32(4).le32(1).le32(3).u8(40).u8(0xF0).u8(0x01).u8(200).u8(12).u8(0).fixed("eight", 22);
    x.le32(8).le32(0).le32(8).u8(64).u8(0).u8(0x12).u8(128).u8(0).u8(0).fixed("sixteen", 22);
    // Delta-coded data: 10, 4-10, -128-4, 127+128 as bytes; then words, -32768-32767 wrapping to 1.
    x.u8(10).u8(0xFA).u8(0x7C).u8(0xFF).le16(1000).le16(uint16_t(-2000)).le16(32767 + 1000).le16(1);
    x.le32(263).fixed("nothing", 22).u8(0).le16(0).fill(234, 0);
    EXPECT_EQ(xm_encode(sample_module()), x.data);

    // Writing replaces an old file whole.
    kxtest::Bytes().str("old contents").write("out.xm");
    std::string error;
    ASSERT_TRUE(xm_write_file(sample_module(), "out.xm", error)) << error;
    EXPECT_EQ(kxtest::read_file("out.xm"), x.data);
    EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), 1);  // no scratch file left
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
        EXPECT_TRUE(fs::is_empty("."));
    }
}

} // namespace
