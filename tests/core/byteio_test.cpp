// Byte-order helpers: both byte orders, the 0xFF fill past the end with its EOF flag, block reads
// and the length queries that readers use to check counts from a file.
#include "support/test_support.h"

#include "core/byteio.h"

namespace {

class ByteIo : public kxtest::WorkDirTest {
protected:
    File open_bytes(const kxtest::Bytes& b)
    {
        b.write("in.bin");
        return open_file("in.bin", "rb");
    }
};

TEST_F(ByteIo, ReadsInBothOrdersThenFF)
{
    File f = open_bytes(kxtest::Bytes().u8(0x34).u8(0x12).u8(0x34).u8(0x12).u8(0x01).u8(0x02));
    ASSERT_TRUE(f);
    EXPECT_EQ(read_word_le(f.get()), 0x1234);
    EXPECT_EQ(read_word_be(f.get()), 0x3412);
    EXPECT_FALSE(stream_eof(f.get()));
    EXPECT_EQ(read_dword_le(f.get()), 0xFFFF0201u);
    EXPECT_TRUE(stream_eof(f.get()));
    EXPECT_EQ(read_word_be(f.get()), 0xFFFF);
    EXPECT_FALSE(open_file("nothere.bin", "rb"));
}

TEST_F(ByteIo, WriteOrder)
{
    {
        File f = open_file("out.bin", "wb");
        ASSERT_TRUE(f);
        write_dword_le(f.get(), 0x11223344);
        write_word_le(f.get(), 0x12345); // low 16 bits only
        write_byte(f.get(), 0x1FF);      // low 8 bits only
    }
    EXPECT_EQ(kxtest::read_file("out.bin"),
              (std::vector<uint8_t>{0x44, 0x33, 0x22, 0x11, 0x45, 0x23, 0xFF}));
}

// Block reads fill like single bytes; asking for the length keeps the position and the EOF flag.
TEST_F(ByteIo, BlockReadsAndLengthQueries)
{
    File f = open_bytes(kxtest::Bytes().str("abcde"));
    ASSERT_TRUE(f);
    uint8_t buf[8];
    EXPECT_EQ(read_bytes(f.get(), buf, 3), 3u);
    EXPECT_EQ(stream_length(f.get()), 5u);
    EXPECT_EQ(stream_tell(f.get()), 3);
    EXPECT_EQ(bytes_remaining(f.get()), 2u);
    EXPECT_FALSE(stream_eof(f.get()));
    EXPECT_EQ(read_bytes(f.get(), buf, 8), 2u);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 8),
              (std::vector<uint8_t>{'d', 'e', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    ASSERT_TRUE(stream_eof(f.get()));
    EXPECT_EQ(stream_length(f.get()), 5u);
    EXPECT_EQ(bytes_remaining(f.get()), 0u);
    EXPECT_TRUE(stream_eof(f.get()));
    EXPECT_EQ(read_byte(f.get()), 0xFF);
}

} // namespace
