// The readers over the corpus: every XM and MOD read in both passes, its sample frames checked
// against an independent decoding; broken copies of every module (cut short, header fields
// overwritten with 0xFF as a file read past its end gives) read to a clean result or a clean
// job_abort, the sanitizer build catching any stray access.
#include <gtest/gtest.h>

#include "convert/module_fixtures.h"

namespace {

using namespace kxfix;
namespace fs = std::filesystem;
using Frames = std::vector<int16_t>;

class CorpusReaderTest : public kxtest::WorkDirTest {
protected:
    void reset()
    {
        pool_free_all();
        pool = Pool();
        song_reset_defaults();
        log_state = LogState();
        settings.dowave = 2;
    }
};

bool is_xm(const std::vector<uint8_t>& d) { return d.size() >= 17 && std::equal(d.begin(), d.begin() + 17, "Extended Module: "); }

uint32_t le(const std::vector<uint8_t>& d, size_t p, int n)
{
    uint32_t v = 0;
    for (int k = 0; k < n; ++k) v |= uint32_t(d[p + size_t(k)]) << (8 * k);
    return v;
}

// One wave per XM instrument (a single zero frame for an empty one), its samples' frames in a row.
std::vector<Frames> decode_xm_waves(const std::vector<uint8_t>& d, bool& saw8, bool& saw16)
{
    size_t pos = 60 + le(d, 60, 4);
    for (unsigned p = 0; p < le(d, 70, 2); ++p) pos += le(d, pos, 4) + le(d, pos + 7, 2);
    std::vector<Frames> waves;
    for (unsigned i = 0; i < le(d, 72, 2); ++i) {
        const unsigned samples = le(d, pos + 27, 2);
        const uint32_t header = samples ? le(d, pos + 29, 4) : 0;
        pos += le(d, pos, 4);
        std::vector<std::pair<uint32_t, bool>> lengths; // bytes, 16-bit
        for (unsigned j = 0; j < samples; ++j, pos += header)
            lengths.push_back({le(d, pos, 4), (d[pos + 14] & 0x10) != 0});
        Frames w;
        for (auto [len, wide] : lengths) {
            if (len == 0) w.push_back(0);
            if (len) (wide ? saw16 : saw8) = true;
            int16_t v = 0;
            for (uint32_t k = 0; k < len; k += wide ? 2 : 1)
                w.push_back(v = int16_t(v + (wide ? int16_t(le(d, pos + k, 2)) : int16_t(int8_t(d[pos + k]) * 256))));
            pos += len;
        }
        waves.push_back(samples ? w : Frames{0});
    }
    return waves;
}

// One wave per MOD sample: its bytes as the high bytes of the frames, a single zero frame for a
// sample of two bytes or less.
std::vector<Frames> decode_mod_waves(const std::vector<uint8_t>& d)
{
    int highest = 0;
    for (size_t i = 0; i < 128; ++i) highest = std::max<int>(highest, d[952 + i]);
    size_t pos = 1084 + size_t(highest + 1) * 1024;
    std::vector<Frames> waves;
    for (size_t i = 0; i < 31; ++i) {
        const size_t len = size_t(d[42 + 30 * i] << 8 | d[43 + 30 * i]) * 2;
        Frames w;
        for (size_t k = 0; k < len && pos + k < d.size(); ++k) w.push_back(int16_t(int8_t(d[pos + k]) * 256));
        waves.push_back(len <= 2 ? Frames{0} : w);
        pos += len;
    }
    return waves;
}

TEST_F(CorpusReaderTest, ModulesReadInBothPassesGiveTheirSampleFrames)
{
    auto files = kxtest::corpus_files({".xm", ".mod"});
    if (files.empty()) GTEST_SKIP() << "no corpus";
    bool saw8 = false, saw16 = false;
    for (const auto& path : files) {
        const auto d = kxtest::read_file(path);
        const auto expect = is_xm(d) ? decode_xm_waves(d, saw8, saw16) : decode_mod_waves(d);
        for (int dotsplit = 0; dotsplit < 2; ++dotsplit) {
            SCOPED_TRACE(path.string() + " dotsplit " + std::to_string(dotsplit));
            reset();
            settings.dotsplit = dotsplit;
            ASSERT_TRUE(read_module_passes(path));
            TempFile t = parse_temp(last_wave_data);
            EXPECT_TRUE(t.well_formed);
            ASSERT_EQ(t.waves.size(), expect.size());
            for (size_t k = 0; k < expect.size(); ++k) EXPECT_EQ(t.waves[k].values, expect[k]) << "wave " << k;
        }
    }
    EXPECT_TRUE(saw8);
    EXPECT_TRUE(saw16);
}

TEST_F(CorpusReaderTest, BrokenCopiesEndCleanly)
{
    auto files = kxtest::corpus_files({".xm", ".mod"});
    if (files.empty()) GTEST_SKIP() << "no corpus";
    for (const auto& path : files) {
        const auto full = kxtest::read_file(path);
        std::vector<std::pair<std::string, std::vector<uint8_t>>> copies;
        for (size_t cut : {size_t(0), size_t(40), size_t(400), size_t(1084), full.size() / 3, full.size() * 2 / 3, full.size() - 1})
            copies.push_back({"cut at " + std::to_string(cut), {full.begin(), full.begin() + long(cut)}});
        // XM: header size, channels, patterns, instruments, the first pattern's rows and packed
        // size, the first instrument's size, sample count and sample header size, the first sample's
        // length. MOD: the first sample's length, song length, the tag.
        std::vector<size_t> fields = {42, 950, 1080};
        if (is_xm(full)) {
            size_t ins = 60 + le(full, 60, 4);
            for (unsigned p = 0; p < le(full, 70, 2); ++p) ins += le(full, ins, 4) + le(full, ins + 7, 2);
            fields = {60, 68, 70, 72, 341, 343, ins, ins + 27, ins + 29, ins + 263};
        }
        for (size_t at : fields) {
            copies.push_back({"0xFFFF at " + std::to_string(at), full});
            copies.back().second[at] = copies.back().second[at + 1] = 0xFF;
        }
        for (const auto& [what, data] : copies) {
            SCOPED_TRACE(path.filename().string() + " " + what);
            reset();
            settings.dotsplit = int(data.size() % 2);
            Bytes{data}.write("broken.bin");
            if (read_module_passes("broken.bin")) {
                EXPECT_TRUE(parse_temp(last_wave_data).well_formed);
            }
        }
    }
}

} // namespace
