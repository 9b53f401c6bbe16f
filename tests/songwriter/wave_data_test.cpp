// The sample decoders of the WAVE data: the vector versions give the plain loops' bytes for
// every length (whole vectors, tails, blocks that carry the running value on) and value.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "songwriter/wave_data.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(WaveDecoders, VectorAndPlainGiveTheSameBytes)
{
    std::mt19937 rng(11);
    for (size_t n : {size_t(0), size_t(1), size_t(7), size_t(8), size_t(15), size_t(16), size_t(17),
                     size_t(33), size_t(1000), size_t(4099)}) {
        SCOPED_TRACE(n);
        Bytes in(2 * n);
        for (uint8_t& b : in) b = uint8_t(rng());
        // Two blocks of one sample: the running value goes on from the first into the second.
        const size_t half = n / 2;
        Bytes fast(2 * n), plain(2 * n);
        uint16_t v16 = 0x1234, w16 = 0x1234;
        decode_delta16(in.data(), half, v16, fast.data());
        decode_delta16(in.data() + 2 * half, n - half, v16, fast.data() + 2 * half);
        decode_delta16_plain(in.data(), n, w16, plain.data());
        EXPECT_EQ(fast, plain);
        EXPECT_EQ(v16, w16);

        uint8_t v8 = 0x80, w8 = 0x80;
        decode_delta8(in.data(), half, v8, fast.data());
        decode_delta8(in.data() + half, n - half, v8, fast.data() + 2 * half);
        decode_delta8_plain(in.data(), n, w8, plain.data());
        EXPECT_EQ(fast, plain);
        EXPECT_EQ(v8, w8);

        widen_signed8(in.data(), n, fast.data());
        widen_signed8_plain(in.data(), n, plain.data());
        EXPECT_EQ(fast, plain);
    }
}

} // namespace
