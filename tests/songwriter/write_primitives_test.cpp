// Song write primitives: counting in the sizing pass, little-endian output, the three text counts.
#include <gtest/gtest.h>

#include <vector>

#include "core/byteio.h"
#include "songwriter/write_primitives.h"
#include "support/test_support.h"

namespace {

class WritePrimitivesTest : public kxtest::WorkDirTest {
protected:
    void TearDown() override
    {
        writer = Writer();
        WorkDirTest::TearDown();
    }
    // Runs fn with a fresh output file in the given pass; returns what reached the file.
    template <class Fn>
    std::vector<uint8_t> produce(int pass, Fn&& fn)
    {
        {
            File out = open_file("out.bin", "wb");
            writer.output_stream = out.get();
            writer.writer_pass = pass;
            writer.write_count = 0;
            fn();
            writer.output_stream = nullptr;
        }
        return kxtest::read_file("out.bin");
    }
};

TEST_F(WritePrimitivesTest, ProgramStartWrites)
{
    EXPECT_EQ(Writer().writer_pass, 1);
    File out = open_file("out.bin", "wb");
    writer.output_stream = out.get();
    put_byte(0x1AB); // only the low byte
    out.reset();
    writer.output_stream = nullptr;
    EXPECT_EQ(kxtest::read_file("out.bin"), (std::vector<uint8_t>{0xAB}));
    EXPECT_EQ(writer.write_count, 1);
}

TEST_F(WritePrimitivesTest, NumbersAreLittleEndian)
{
    auto b = produce(1, [] {
        put_word(0x1234);
        put_dword(0xA1B2C3D4u);
        put_word(0xFFFF1);
    });
    EXPECT_EQ(b, (std::vector<uint8_t>{0x34, 0x12, 0xD4, 0xC3, 0xB2, 0xA1, 0xF1, 0xFF}));
    EXPECT_EQ(writer.write_count, 8);
}

TEST_F(WritePrimitivesTest, SizingPassCountsOnly)
{
    auto b = produce(0, [] {
        put_dword(7);
        EXPECT_EQ(writer.write_count, 4);
        put_text("Master", 0);
        const uint8_t block[3] = {1, 2, 3};
        put_block(block, 3);
        put_section_entry("MACH", 1, 2);
    });
    EXPECT_TRUE(b.empty());
    EXPECT_EQ(writer.write_count, 4 + 7 + 3 + 12);
}

TEST_F(WritePrimitivesTest, TextCounts)
{
    EXPECT_EQ(produce(1, [] { put_text("Master", 0); }),
              (std::vector<uint8_t>{'M', 'a', 's', 't', 'e', 'r', 0}));
    EXPECT_EQ(produce(1, [] { put_text("Master", -1); }),
              (std::vector<uint8_t>{'M', 'a', 's', 't', 'e', 'r'}));
    EXPECT_EQ(produce(1, [] { put_text("Master", 4); }), (std::vector<uint8_t>{'M', 'a', 's', 't'}));
    // A count beyond the string takes the bytes after it, NUL included.
    const char buf[8] = {'a', 'b', 0, 'x', 'y', 0, 0, 0};
    EXPECT_EQ(produce(1, [&] { put_text(buf, 6); }), (std::vector<uint8_t>{'a', 'b', 0, 'x', 'y', 0}));
    EXPECT_EQ(produce(1, [] { put_text("", 0); }), (std::vector<uint8_t>{0}));
    EXPECT_TRUE(produce(1, [] { put_text("", -1); }).empty());
}

TEST_F(WritePrimitivesTest, SectionEntryIsTwelveBytes)
{
    auto b = produce(1, [] { put_section_entry("WAVE", 0x01020304u, 0x0A0B0C0Du); });
    EXPECT_EQ(b, (std::vector<uint8_t>{'W', 'A', 'V', 'E', 4, 3, 2, 1, 0x0D, 0x0C, 0x0B, 0x0A}));
}

TEST_F(WritePrimitivesTest, NoStreamOnlyCounts)
{
    writer.writer_pass = 1;
    writer.output_stream = nullptr;
    put_dword(1);
    put_text("abc", 0);
    const uint8_t block[2] = {1, 2};
    put_block(block, 2);
    EXPECT_EQ(writer.write_count, 10);
}

} // namespace
