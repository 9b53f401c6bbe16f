// Song write primitives: counting in the sizing pass, little-endian output, the three text counts.
#include "songwriter/song_builder.h"

namespace {

using Primitives = kxtest::WorkDirTest;

TEST_F(Primitives, SizingPassCountsWithoutWriting)
{
    FILE* f = std::tmpfile();
    writer = Writer{0, 0, f};
    const uint8_t block[3] = {1, 2, 3};
    put_dword(7);
    put_text("Master", 0);
    put_block(block, 3);
    put_section_entry("MACH", 1, 2);
    EXPECT_EQ(writer.write_count, 4 + 7 + 3 + 12);
    EXPECT_EQ(std::ftell(f), 0);
    std::fclose(f);
    writer.output_stream = nullptr;
}

TEST_F(Primitives, NumbersAndTheThreeTextCounts)
{
    static const char gap[8] = {'a', 'b', 0, 'x', 'y', 0, 0, 0};
    struct Case {
        std::function<void()> put;
        std::vector<uint8_t> want;
    } cases[] = {
        {[] { put_word(0xFFFF1); put_dword(0xA1B2C3D4u); }, {0xF1, 0xFF, 0xD4, 0xC3, 0xB2, 0xA1}},
        {[] { put_text("Master", 0); }, {'M', 'a', 's', 't', 'e', 'r', 0}},
        {[] { put_text("Master", -1); }, {'M', 'a', 's', 't', 'e', 'r'}},
        {[] { put_text("Master", 4); }, {'M', 'a', 's', 't'}},
        {[] { put_text(gap, 6); }, {'a', 'b', 0, 'x', 'y', 0}}, // a count past the NUL takes what follows
        {[] { put_text("", 0); }, {0}},
        {[] { put_text("", -1); }, {}},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(kxtest::two_passes(cases[i].put), cases[i].want);
    }
}

} // namespace
