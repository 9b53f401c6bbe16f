// The converter programs run on the real modules of the corpus: the XM they write must read back
// in libopenmpt with the source's order list, pattern rows, notes and instruments, and carry the
// source's sample lengths.
#include <gtest/gtest.h>

#include <libopenmpt/libopenmpt.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "xmconv_test_util.h"

namespace fs = std::filesystem;

namespace {

uint32_t le32(const std::vector<uint8_t>& b, size_t at)
{
    if (at + 4 > b.size()) return 0;
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}
unsigned le16(const std::vector<uint8_t>& b, size_t at)
{
    return at + 2 <= b.size() ? unsigned(b[at] | b[at + 1] << 8) : 0u;
}

// Sample lengths (frames) each source instrument should carry into the XM, read from the
// source's own headers.
std::vector<std::multiset<uint32_t>> s3m_sample_lengths(const std::vector<uint8_t>& b)
{
    std::vector<std::multiset<uint32_t>> out;
    unsigned orders = le16(b, 0x20), instruments = le16(b, 0x22);
    for (unsigned i = 0; i < instruments; ++i) {
        size_t at = size_t(le16(b, 0x60 + orders + i * 2)) * 16;
        std::multiset<uint32_t> lengths;
        uint32_t len = le32(b, at + 0x10);
        if (b.at(at) == 1 && len > 0) lengths.insert(len);
        out.push_back(lengths);
    }
    return out;
}

std::vector<std::multiset<uint32_t>> it_sample_lengths(const std::vector<uint8_t>& b)
{
    std::vector<std::multiset<uint32_t>> out;
    unsigned orders = le16(b, 0x20), instruments = le16(b, 0x22), samples = le16(b, 0x24);
    bool instrument_mode = le16(b, 0x2C) & 4;
    size_t table = 0xC0 + orders;
    auto sample_length = [&](unsigned s) -> uint32_t {  // s is 0-based
        size_t at = le32(b, table + instruments * 4 + s * 4);
        uint32_t len = le32(b, at + 0x30);
        return (b.at(at + 0x12) & 1) && len > 1 ? len : 0;
    };
    if (!instrument_mode) {
        for (unsigned s = 0; s < samples; ++s) {
            std::multiset<uint32_t> lengths;
            if (le32(b, le32(b, table + instruments * 4 + s * 4) + 0x30)) lengths.insert(sample_length(s));
            out.push_back(lengths);
        }
        return out;
    }
    for (unsigned i = 0; i < instruments; ++i) {
        size_t at = le32(b, table + i * 4);
        std::set<unsigned> used;
        for (unsigned key = 12; key < 108; ++key) {  // the keys of XM's notes C-0..B-7
            unsigned s = b.at(at + 0x40 + key * 2 + 1);
            if (s >= 1 && s <= samples) used.insert(s - 1);
        }
        std::multiset<uint32_t> lengths;
        for (unsigned s : used) lengths.insert(sample_length(s));
        out.push_back(lengths);
    }
    return out;
}

// The order list as it plays: skip markers (+++) left out, ending at the first end marker (---).
std::vector<int> playing_orders(openmpt::module& m)
{
    std::vector<int> out;
    for (int i = 0; i < m.get_num_orders(); ++i) {
        int p = m.get_order_pattern(i);
        if (p == 0xFFFF || (p == 0xFF && p >= m.get_num_patterns())) break;
        if (p == 0xFFFE || (p == 0xFE && p >= m.get_num_patterns())) continue;
        out.push_back(p);
    }
    return out;
}

// The note an XM can hold for a source note (libopenmpt's numbering: 1 = C-0, 253 fade,
// 254 cut, 255 off): notes outside XM's range and IT's note cuts leave the note column empty.
int expected_xm_note(int note, bool s3m)
{
    if (note == 255 || note == 253) return 255;
    if (note == 254 && s3m) return 255;  // Scream Tracker's ^^^ is a key off that cuts
    if (note >= 13 && note <= 108) return note;
    return 0;
}

class XmconvCorpusTest : public kxtest::WorkDirTest {
protected:
    // Converts the corpus file with the program and compares the result with the source.
    void check(const fs::path& source, const char* program, const char* flag)
    {
        SCOPED_TRACE(source.filename().string());
        fs::path input = dir / source.filename();
        fs::copy_file(source, input);
        RunResult run = run_converter(program, input.string(), flag);
        ASSERT_EQ(run.exit_code, 0) << run.err;
        fs::path xm = input;
        xm.replace_extension(".xm");
        ASSERT_TRUE(fs::exists(xm));

        std::vector<uint8_t> src_bytes = kxtest::read_file(source);
        std::vector<uint8_t> xm_bytes = kxtest::read_file(xm);
        openmpt::module src(src_bytes);
        openmpt::module out(xm_bytes);
        EXPECT_EQ(out.get_metadata("type"), "xm");

        EXPECT_EQ(playing_orders(src), playing_orders(out));
        int channels = src.get_num_channels();
        ASSERT_LE(channels, out.get_num_channels());
        int mismatches = 0;
        for (int p = 0; p < src.get_num_patterns(); ++p) {
            ASSERT_LT(p, out.get_num_patterns());
            int rows = src.get_pattern_num_rows(p);
            ASSERT_EQ(rows, out.get_pattern_num_rows(p)) << "pattern " << p;
            for (int r = 0; r < rows; ++r)
                for (int c = 0; c < channels; ++c) {
                    int sn = src.get_pattern_row_channel_command(p, r, c, openmpt::module::command_note);
                    int si = src.get_pattern_row_channel_command(p, r, c, openmpt::module::command_instrument);
                    int xn = out.get_pattern_row_channel_command(p, r, c, openmpt::module::command_note);
                    int xi = out.get_pattern_row_channel_command(p, r, c, openmpt::module::command_instrument);
                    if (xn != expected_xm_note(sn, source.extension() == ".s3m") || xi != si) {
                        if (++mismatches <= 5)
                            ADD_FAILURE() << "pattern " << p << " row " << r << " channel " << c << ": note "
                                          << sn << " -> " << xn << ", instrument " << si << " -> " << xi;
                    }
                }
            for (int c = channels; c < out.get_num_channels(); ++c)
                for (int r = 0; r < rows; ++r)
                    EXPECT_EQ(out.get_pattern_row_channel_command(p, r, c, openmpt::module::command_note), 0);
        }
        EXPECT_EQ(mismatches, 0);

        bool is_it = source.extension() == ".it";
        auto expected = is_it ? it_sample_lengths(src_bytes) : s3m_sample_lengths(src_bytes);
        auto written = xm_sample_lengths(xm_bytes);
        ASSERT_EQ(expected.size(), written.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            std::set<uint32_t> want(expected[i].begin(), expected[i].end());
            std::set<uint32_t> got(written[i].begin(), written[i].end());
            EXPECT_EQ(want, got) << "instrument " << i + 1;
        }
        EXPECT_EQ(out.get_num_instruments(), int(expected.size()));
    }
};

TEST_F(XmconvCorpusTest, EveryS3mConvertsFaithfully)
{
    auto files = kxtest::corpus_files({".s3m"});
    if (files.empty()) GTEST_SKIP() << "no S3M files in the corpus";
    for (const auto& f : files) check(f, "mod2xm", "/o");
}

TEST_F(XmconvCorpusTest, EveryItConvertsFaithfully)
{
    auto files = kxtest::corpus_files({".it"});
    if (files.empty()) GTEST_SKIP() << "no IT files in the corpus";
    for (const auto& f : files) check(f, "it2xm", "/WC");
}

} // namespace
