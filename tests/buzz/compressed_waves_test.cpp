// Compressed waves (CWAV): frames worked out by hand for each method, mono and stereo, and streams
// packed by the tests' own encoder (16-bit wrap, shifts, two levels, two waves), decoded and
// walked; entries that end early or late, or that the decoder cannot read, refused.
#include "buzz/compressed_waves.h"

#include "core/byteio.h"
#include "jobs/job_runner.h"
#include "transform/buzz_song_builder.h"

using namespace kxsong;

namespace {

struct Shape {
    unsigned index;
    std::vector<uint32_t> frames;
    bool stereo = false;
};

class CompressedWavesTest : public kxtest::WorkDirTest {
protected:
    // Decodes the CWAV section `body` for a wave table of `shapes`: each wave's bytes, and where
    // each entry ends, or the message that ends the job.
    std::string decode(const std::vector<Shape>& shapes, const Bytes& body)
    {
        InputSummary song;
        for (const Shape& s : shapes) {
            song.wave_shapes.push_back(WaveShape{uint16_t(s.index), s.stereo, uint32_t(song.level_frames.size()),
                                                 uint32_t(s.frames.size())});
            song.level_frames.insert(song.level_frames.end(), s.frames.begin(), s.frames.end());
        }
        body.write("cwav.bin");
        File f = open_file("cwav.bin", "rb");
        waves.clear();
        ends.clear();
        const WaveShapeIndex index(song);
        WaveSink sink{this, [](void* user, const uint8_t* d, size_t n) {
                          auto& w = static_cast<CompressedWavesTest*>(user)->waves.back();
                          w.insert(w.end(), d, d + n);
                      }};
        try {
            SectionReader in{f.get(), body.size(), 0, body.size()};
            std::vector<CompressedWave> walked;
            read_compressed_wave_list(in, index, walked);
            in.seek(2);
            for (const CompressedWave& w : walked) {
                waves.emplace_back();
                CompressedWave e;
                read_compressed_wave(in, index, e, &sink);
                EXPECT_EQ(e.end, w.end);
                EXPECT_EQ(e.raw_bytes, waves.back().size());
                ends.push_back(e.end);
            }
            return "";
        } catch (const JobAbort& e) {
            return e.what();
        }
    }
    std::vector<std::vector<uint8_t>> waves;
    std::vector<uint64_t> ends;
};

TEST_F(CompressedWavesTest, FramesWorkedOutByHand)
{
    const struct {
        Shape shape;
        std::vector<uint8_t> stream;
        std::vector<int16_t> samples;
    } cases[] = {
        // Blocks of 2: method 1 (v 3, -2), width 2; then method 2 (v 1), width 0, its a carried
        // over from the first block (-2): a -1, result 0.
        {{0, {3}}, {0x03, 0x12, 0xBD, 0x40}, {3, 1, 0}},
        // Method 3, width 1: v 1, 1 give b 1, 2, a 1, 3, result 1, 4.
        {{0, {2}}, {0x03, 0x0E, 0x12}, {1, 4}},
        // Stereo, result shift 2, "sum": left v 1 (sample 4), right v -1 plus the left result: 0.
        {{0, {1}, true}, {0x41, 0x02, 0x04, 0x04}, {4, 0}},
        // The same without "sum": the right sample is -1 << 2.
        {{0, {1}, true}, {0x41, 0x00, 0x04, 0x04}, {4, -4}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.samples.size());
        ASSERT_EQ(decode({c.shape}, Bytes().le16(1).append(packed_entry(0, Bytes{c.stream}))), "");
        EXPECT_EQ(waves[0], samples_le(c.samples).data);
    }
}

TEST_F(CompressedWavesTest, PackedStreamsDecode)
{
    const std::vector<int16_t> mono = {0, 7, -7, 32767, -32768, 30000, -30000, 12, 12, 0, -1};
    std::vector<int16_t> stereo;
    for (size_t i = 0; i < mono.size(); ++i) stereo.insert(stereo.end(), {mono[i], int16_t(mono[i] / 3 * 2)});
    std::vector<int16_t> shifted;
    for (int16_t s : mono) shifted.push_back(int16_t(s & ~7));
    for (int method = 0; method < 4; ++method) {
        SCOPED_TRACE(method);
        const struct {
            std::vector<int16_t> samples;
            bool stereo, sum;
            int width, block_shift, shift;
        } waves_in[] = {
            {mono, false, false, 3, 2, 0},    // blocks of 4: 11 frames end with a block of 3
            {stereo, true, false, 15, 0, 0},  // blocks of one frame
            {stereo, true, true, 6, 15, 0},   // one block for the whole level
            {shifted, false, false, 0, 3, 3}, // samples 8 times their results
        };
        for (const auto& w : waves_in) {
            SCOPED_TRACE(w.width);
            const Bytes stream = pack_wave({w.samples}, w.stereo, method, w.width, w.block_shift, w.shift, w.sum);
            ASSERT_EQ(decode({{0, {uint32_t(w.samples.size() / (w.stereo ? 2 : 1))}, w.stereo}},
                             Bytes().le16(1).append(packed_entry(0, stream))), "");
            EXPECT_EQ(waves[0], samples_le(w.samples).data);
        }
    }
    // Two levels in one stream, and two waves: the second begins at the next whole byte.
    const std::vector<int16_t> a = {1, 2, 3}, b = {-5, 5, -5, 5, 9};
    const Bytes two_levels = pack_wave({a, b}, false, 1, 2);
    const Bytes body = Bytes().le16(3).append(packed_entry(4, two_levels)).append(raw_entry(9, samples_le({6, 6})))
                           .append(packed_entry(2, pack_wave({b}, false, 3, 4)));
    ASSERT_EQ(decode({{2, {5}}, {4, {3, 5}}}, body), "");
    std::vector<int16_t> ab = a;
    ab.insert(ab.end(), b.begin(), b.end());
    EXPECT_EQ(waves, (std::vector<std::vector<uint8_t>>{samples_le(ab).data, samples_le({6, 6}).data, samples_le(b).data}));
    EXPECT_EQ(ends, (std::vector<uint64_t>{5 + two_levels.size(), 5 + two_levels.size() + 11, body.size()}));
}

// Entries that end before or after their section, or that cannot be decoded, are refused with one
// line; nothing is guessed.
TEST_F(CompressedWavesTest, UnreadableSectionsAreRefused)
{
    const Bytes stream = pack_wave({{1, 2, 3, 4, 5}}, false, 2, 1);
    Bytes short_stream = stream;
    short_stream.data.pop_back();
    const std::vector<Shape> table = {{0, {5}}};
    const struct {
        Bytes body;
        std::string message;
    } cases[] = {
        {Bytes().le16(1).append(packed_entry(0, short_stream)), "CWAV section unreadable: wave 0 runs past the section's end!!"},
        {Bytes().le16(1).append(packed_entry(0, stream)).u8(0), "CWAV section unreadable: its waves end before the section does (1 bytes left)!!"},
        {Bytes().le16(2).append(packed_entry(0, stream)), "CWAV section unreadable: an entry runs past the section's end!!"},
        {Bytes().le16(1).append(packed_entry(3, stream)), "CWAV section unreadable: wave 3 is not in the wave table!!"},
        {Bytes().le16(1).le16(0).u8(2), "CWAV section unreadable: wave 0 has the unknown format 2!!"},
        {Bytes().le16(1).le16(0).u8(1).u8(0x04), "CWAV section unreadable: wave 0 is packed by unknown method 2!!"},
        {Bytes().le16(1).le16(0).u8(0).le32(5).fill(4, 0), "CWAV section unreadable: wave 0 runs past the section's end!!"},
        {Bytes().u8(0), "CWAV section unreadable: it has no count of its waves!!"},
    };
    for (const auto& c : cases) EXPECT_EQ(decode(table, c.body), c.message);
    // A level whose frames cannot all fit in what is left is refused before it is decoded.
    EXPECT_EQ(decode({{0, {0x10000000u}}}, Bytes().le16(1).append(packed_entry(0, stream))),
              "CWAV section unreadable: wave 0 runs past the section's end!!");
}

} // namespace
