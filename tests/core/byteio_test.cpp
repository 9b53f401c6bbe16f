// Byte-order helpers: both byte orders, the 0xFF fill past the end with its EOF flag, block reads,
// skips and the length queries that readers use to check counts from a file.
#include "support/test_support.h"

#include "core/byteio.h"

namespace {

using ByteIo = kxtest::WorkDirTest;

TEST_F(ByteIo, ReadsThenFillsPastTheEnd)
{
    kxtest::Bytes().u8(0x34).u8(0x12).u8(0x34).u8(0x12).le32(0x12345678).str("abcdefgh").write("in.bin");
    File f = open_file("in.bin", "rb");
    ASSERT_TRUE(f);
    EXPECT_EQ(bytes_remaining(f.get()), 16u);
    EXPECT_EQ(read_word_le(f.get()), 0x1234);
    EXPECT_EQ(read_word_be(f.get()), 0x3412);
    EXPECT_EQ(read_dword_le(f.get()), 0x12345678u);
    uint8_t buf[6];
    EXPECT_EQ(read_bytes(f.get(), buf, 3), 3u);
    skip_bytes(f.get(), 3);
    EXPECT_EQ(stream_tell(f.get()), 14);
    EXPECT_EQ(stream_length(f.get()), 16u); // the position stays
    EXPECT_EQ(bytes_remaining(f.get()), 2u);
    EXPECT_FALSE(stream_eof(f.get()));
    EXPECT_EQ(read_bytes(f.get(), buf + 3, 3), 2u);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 6), (std::vector<uint8_t>{'a', 'b', 'c', 'g', 'h', 0xFF}));
    EXPECT_TRUE(stream_eof(f.get()));
    EXPECT_EQ(stream_length(f.get()), 16u); // the EOF flag stays
    EXPECT_EQ(bytes_remaining(f.get()), 0u);
    EXPECT_EQ(read_word_be(f.get()), 0xFFFF);
}

TEST_F(ByteIo, WritesLittleEndianAndSkipsPastTheEnd)
{
    File f = open_file("out.bin", "wb");
    write_dword_le(f.get(), 0x11223344);
    write_word_le(f.get(), 0x12345); // low 16 bits only
    write_byte(f.get(), 0x1FF);      // low 8 bits only
    f.reset();
    EXPECT_EQ(kxtest::read_file("out.bin"), (std::vector<uint8_t>{0x44, 0x33, 0x22, 0x11, 0x45, 0x23, 0xFF}));
    f = open_file("out.bin", "rb");
    skip_bytes(f.get(), 8);
    EXPECT_TRUE(stream_eof(f.get()));
    EXPECT_EQ(read_byte(f.get()), 0xFF);
}

} // namespace
