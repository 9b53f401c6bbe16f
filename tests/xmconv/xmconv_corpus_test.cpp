// The converter programs run on the real modules of the corpus: the XM they write must read back
// in libopenmpt with the source's order list, pattern rows, notes and instruments, and carry the
// source's sample lengths. libopenmpt tells no sample lengths, so those come from the files'
// own headers, walked here.
#include <gtest/gtest.h>

#include <libopenmpt/libopenmpt.hpp>

#include <filesystem>
#include <set>
#include <vector>

#include "support/test_support.h"
#include "xmconv_test_util.h"

namespace fs = std::filesystem;

namespace {

using Lengths = std::vector<std::set<uint32_t>>;  // sample lengths (frames) of each instrument

struct Reader {
    const std::vector<uint8_t>& b;
    uint32_t u16(size_t at) const { return at + 2 <= b.size() ? uint32_t(b[at] | b[at + 1] << 8) : 0; }
    uint32_t u32(size_t at) const { return u16(at) | u16(at + 2) << 16; }
    uint8_t u8(size_t at) const { return at < b.size() ? b[at] : 0; }
};

Lengths s3m_lengths(const Reader& r)
{
    Lengths out(r.u16(0x22));
    for (size_t i = 0; i < out.size(); ++i) {
        size_t at = size_t(r.u16(0x60 + r.u16(0x20) + i * 2)) * 16;
        if (r.u8(at) == 1 && r.u32(at + 0x10)) out[i].insert(r.u32(at + 0x10));
    }
    return out;
}

// Without instrument mode each sample is an instrument; with it, the samples the keys of XM's
// notes C-0..B-7 use.
Lengths it_lengths(const Reader& r)
{
    uint32_t instruments = r.u16(0x22), samples = r.u16(0x24);
    bool instrument_mode = r.u16(0x2C) & 4;
    size_t table = 0xC0 + r.u16(0x20);
    auto length = [&](uint32_t s) {  // s is 0-based
        size_t at = r.u32(table + instruments * 4 + s * 4);
        return (r.u8(at + 0x12) & 1) && r.u32(at + 0x30) > 1 ? r.u32(at + 0x30) : 0;
    };
    Lengths out(instrument_mode ? instruments : samples);
    for (uint32_t i = 0; i < out.size(); ++i) {
        if (!instrument_mode) {
            if (r.u32(r.u32(table + instruments * 4 + i * 4) + 0x30)) out[i].insert(length(i));
            continue;
        }
        size_t at = r.u32(table + i * 4);
        for (unsigned key = 12; key < 108; ++key) {
            uint32_t s = r.u8(at + 0x40 + key * 2 + 1);
            if (s >= 1 && s <= samples) out[i].insert(length(s - 1));
        }
    }
    return out;
}

Lengths xm_lengths(const Reader& r)
{
    Lengths out;
    size_t pos = 60 + r.u32(60);
    for (uint32_t p = 0; p < r.u16(70); ++p) pos += r.u32(pos) + r.u16(pos + 7);
    for (uint32_t i = 0; i < r.u16(72) && pos < r.b.size(); ++i) {
        uint32_t samples = r.u16(pos + 27), header = samples ? r.u32(pos + 29) : 0;
        pos += r.u32(pos);
        std::set<uint32_t>& lengths = out.emplace_back();
        size_t data = 0;
        for (uint32_t s = 0; s < samples; ++s, pos += header) {
            lengths.insert(r.u8(pos + 14) & 0x10 ? r.u32(pos) / 2 : r.u32(pos));
            data += r.u32(pos);
        }
        pos += data;
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
        if (p != 0xFFFE && !(p == 0xFE && p >= m.get_num_patterns())) out.push_back(p);
    }
    return out;
}

// The note an XM can hold for a source note (libopenmpt's numbering: 1 = C-0, 253 fade,
// 254 cut, 255 off): notes outside XM's range and IT's note cuts leave the note column empty.
int expected_xm_note(int note, bool s3m)
{
    if (note == 255 || note == 253 || (note == 254 && s3m)) return 255;  // S3M's ^^^ is a key off
    return note >= 13 && note <= 108 ? note : 0;
}

class XmconvCorpusTest : public kxtest::WorkDirTest {};

TEST_F(XmconvCorpusTest, EveryS3mAndItConvertsFaithfully)
{
    auto files = kxtest::corpus_files({".s3m", ".it"});
    if (files.empty()) GTEST_SKIP() << "no S3M or IT files in the corpus";
    for (const auto& source : files) {
        SCOPED_TRACE(source.filename().string());
        bool s3m = source.extension() == ".s3m";
        fs::path input = dir / source.filename();
        fs::copy_file(source, input);
        RunResult run = run_converter(s3m ? "mod2xm" : "it2xm", {input.string(), s3m ? "/o" : "/WC"});
        ASSERT_EQ(run.exit_code, 0) << run.err;
        std::vector<uint8_t> src_bytes = kxtest::read_file(source);
        std::vector<uint8_t> xm_bytes = kxtest::read_file(fs::path(input).replace_extension(".xm"));
        openmpt::module src(src_bytes), out(xm_bytes);
        EXPECT_EQ(out.get_metadata("type"), "xm");
        EXPECT_EQ(playing_orders(src), playing_orders(out));

        // Notes and instruments of every cell; channels the source lacks stay empty.
        int channels = src.get_num_channels(), mismatches = 0;
        ASSERT_LE(channels, out.get_num_channels());
        for (int p = 0; p < src.get_num_patterns(); ++p) {
            int rows = src.get_pattern_num_rows(p);
            ASSERT_EQ(rows, out.get_pattern_num_rows(p)) << "pattern " << p;
            for (int r = 0; r < rows; ++r)
                for (int c = 0; c < out.get_num_channels(); ++c) {
                    auto cell = [&](openmpt::module& m, int what) {
                        return c < channels || &m == &out ? m.get_pattern_row_channel_command(p, r, c, what) : 0;
                    };
                    int sn = cell(src, openmpt::module::command_note), xn = cell(out, openmpt::module::command_note);
                    int si = cell(src, openmpt::module::command_instrument);
                    int xi = cell(out, openmpt::module::command_instrument);
                    if ((xn != expected_xm_note(sn, s3m) || xi != si) && ++mismatches <= 5)
                        ADD_FAILURE() << "pattern " << p << " row " << r << " channel " << c << ": note " << sn
                                      << " -> " << xn << ", instrument " << si << " -> " << xi;
                }
        }
        EXPECT_EQ(mismatches, 0);
        Lengths want = s3m ? s3m_lengths({src_bytes}) : it_lengths({src_bytes});
        EXPECT_EQ(want, xm_lengths({xm_bytes}));
        EXPECT_EQ(out.get_num_instruments(), int(want.size()));
    }
}

} // namespace
