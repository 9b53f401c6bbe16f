// The instrument reader on XI files: key maps, delta decoding into "kestrix.tmp", odd 16-bit
// lengths, generator targets, early ends of file; the XI export name. Real XI files from the
// corpus are checked against an independent decoding.
#include <gtest/gtest.h>

#include "convert/module_fixtures.h"
#include "songwriter/xi_file.h"

namespace {

using namespace kxfix;
namespace fs = std::filesystem;

class XiFileTest : public kxtest::WorkDirTest {
protected:
    void SetUp() override
    {
        WorkDirTest::SetUp();
        song.is_xi = 1;
        song.instrument_count = 1;
        song.wave_count = 1;
        settings.dowave = 2;
        song.wave_map = pool_array<int>(wave_map_size);
        for (int i = 0; i < wave_map_size; ++i) song.wave_map[i] = i;
    }

    // Both passes of an XI conversion's loading over one file.
    bool read_xi(const fs::path& path)
    {
        File f = open_file(path.string().c_str(), "rb");
        if (!f) return false;
        return run_guarded([&] {
            song.pass_number = 0;
            read_instruments(f.get(), 0);
            song.pass_number = 1;
            read_instruments(f.get(), 0);
        });
    }

    bool read_xi(const XmInstrument& ins)
    {
        xi_file(ins).write("in.xi");
        return read_xi("in.xi");
    }

    TempFile temp() { return parse_temp(kxtest::read_file("kestrix.tmp")); }
    InstrumentRecord& rec() { return song.instrument_table[0]; }
};

XmSample sample8(std::vector<uint8_t> data)
{
    XmSample s;
    s.length = uint32_t(data.size());
    s.data = std::move(data);
    return s;
}

TEST_F(XiFileTest, FirstMappedNotes)
{
    XmInstrument two;
    for (int n = 48; n < 96; ++n) two.key_map[size_t(n)] = 1;
    two.samples = {sample8({1}), sample8({2})};
    ASSERT_TRUE(read_xi(two));
    EXPECT_EQ(rec().samples[0].root_note, 1);
    EXPECT_EQ(rec().samples[1].root_note, 49);

    // A sample that first occurs below a higher-numbered one is never mapped.
    XmInstrument alternating;
    for (int n = 0; n < 96; ++n) alternating.key_map[size_t(n)] = n % 2 == 0 ? 1 : 0;
    alternating.samples = {sample8({1}), sample8({2})};
    song.instrument_table = nullptr;
    ASSERT_TRUE(read_xi(alternating));
    EXPECT_EQ(rec().samples[1].root_note, 1);
    EXPECT_EQ(rec().samples[0].root_note, 97);

    // Key-map entries beyond the samples name nothing.
    XmInstrument wild;
    wild.key_map.fill(200);
    wild.key_map[5] = 0;
    wild.samples = {sample8({1})};
    song.instrument_table = nullptr;
    ASSERT_TRUE(read_xi(wild));
    EXPECT_EQ(rec().samples[0].root_note, 6);
}

TEST_F(XiFileTest, DeltaBytesBecomeSixteenBitFrames)
{
    XmInstrument ins;
    ins.name = "delta";
    ins.volume_env = {0, 32, 10, 64, 20, 32};
    ins.volume_points = 3;
    ins.volume_sustain = 1;
    ins.volume_type = 3;
    ins.fadeout = 256;
    ins.samples = {sample8({10, 250})};
    ASSERT_TRUE(read_xi(ins));
    EXPECT_STREQ(rec().name, " delta                 ");
    EXPECT_EQ(rec().envelope_points, 3);
    EXPECT_EQ(rec().envelope_sustain, 1);
    EXPECT_EQ(rec().envelope_type, 3);
    EXPECT_EQ(rec().envelope_y[1], 64);
    EXPECT_EQ(rec().fadeout, 256);
    EXPECT_EQ(rec().wave_number, 1);
    EXPECT_EQ(song.wave_map[1], 1) << "identity kept: an XI conversion does not map";
    // word count, word index, byte format, dword bytes, frames
    std::vector<uint8_t> expect = {1, 0, 0, 0, 0, 4, 0, 0, 0, 0x00, 0x0A, 0x00, 0x04};
    EXPECT_EQ(kxtest::read_file("kestrix.tmp"), expect);
    EXPECT_EQ(rec().samples[0].length, 2);
}

TEST_F(XiFileTest, OddSixteenBitLengthKeepsTheNextSampleInPlace)
{
    XmInstrument ins;
    XmSample wide;
    wide.type = 0x10;
    wide.length = 3;
    wide.data = {0x10, 0x00, 0x77}; // one word 0x0010, then a lone byte
    ins.samples = {wide, sample8({5, 1})};
    ASSERT_TRUE(read_xi(ins));
    TempFile t = temp();
    ASSERT_TRUE(t.well_formed);
    ASSERT_EQ(t.waves.size(), 1u);
    EXPECT_EQ(t.waves[0].values, (std::vector<int16_t>{0x0010, 0x0500, 0x0600}));
    EXPECT_EQ(rec().samples[0].length, 3);
    EXPECT_EQ(rec().samples[0].odd_length, 1);
}

TEST_F(XiFileTest, GeneratorTargetGetsOneZeroFramePerSample)
{
    settings.dopfun = 2;
    XmInstrument ins;
    XmSample wide;
    wide.type = 0x10;
    wide.length = 4;
    wide.data = {1, 2, 3, 4};
    ins.samples = {sample8({1, 2, 3}), sample8({}), wide};
    ASSERT_TRUE(read_xi(ins));
    TempFile t = temp();
    ASSERT_TRUE(t.well_formed);
    EXPECT_EQ(t.waves[0].values, (std::vector<int16_t>{0, 0, 0}));
    EXPECT_EQ(rec().samples[0].length, 1);
    EXPECT_EQ(rec().samples[1].length, 1);
    EXPECT_EQ(rec().samples[2].length, 2) << "one 16-bit frame is two bytes";
}

TEST_F(XiFileTest, EndOfFileInsideTheDataKeepsWhatWasRead)
{
    XmInstrument ins;
    ins.samples = {sample8({1, 1, 1, 1}), sample8({2, 2})};
    Bytes b = xi_file(ins);
    b.data.resize(b.size() - 4); // two bytes of the first sample remain
    b.write("cut.xi");
    LogCapture log;
    ASSERT_TRUE(read_xi("cut.xi"));
    std::string text = log.text();
    EXPECT_NE(text.find("EOF!!! "), std::string::npos);
    EXPECT_NE(text.find("EOF!2! "), std::string::npos);
    EXPECT_NE(text.find("EOF!3! "), std::string::npos);
    TempFile t = temp();
    ASSERT_TRUE(t.well_formed) << "the byte count of the wave matches its data";
    EXPECT_EQ(t.waves[0].values, (std::vector<int16_t>{0x0100, 0x0200, 0}));
    EXPECT_EQ(rec().samples[0].length, 2);
    EXPECT_EQ(rec().samples[1].length, 1);
}

TEST_F(XiFileTest, HostileCountsAndSizes)
{
    // A sample claiming 4 GB and a loop beyond it.
    XmInstrument huge;
    XmSample s = sample8({7, 7, 7});
    s.length = 0xFFFFFFFFu;
    s.loop_start = 0xFFFFFF00u;
    s.loop_length = 0x1000;
    s.type = 1;
    huge.samples = {s};
    ASSERT_TRUE(read_xi(huge));
    EXPECT_EQ(rec().samples[0].length, 3);
    EXPECT_LE(rec().samples[0].loop_start + rec().samples[0].loop_length, 3);
    EXPECT_EQ(rec().samples[0].is_looping, 0);

    // 65535 samples declared, one header present.
    XmInstrument many;
    many.samples = {sample8({1})};
    Bytes b = xi_file(many);
    b.data[296] = 0xFF;
    b.data[297] = 0xFF;
    b.write("many.xi");
    song.instrument_table = nullptr;
    ASSERT_TRUE(read_xi("many.xi"));
    EXPECT_EQ(rec().sample_count, 1);
}

TEST_F(XiFileTest, FilesThatHoldNoInstrument)
{
    // Without samples there is no wave to make.
    XmInstrument none;
    xi_file(none).write("none.xi");
    EXPECT_FALSE(read_xi("none.xi"));

    // Cut before the version word: the count of instruments becomes 0.
    Bytes b = xi_file(none);
    b.data.resize(64);
    b.write("short.xi");
    song.instrument_table = nullptr;
    song.instrument_count = 1;
    File f = open_file("short.xi", "rb");
    song.pass_number = 0;
    EXPECT_TRUE(run_guarded([&] { read_instruments(f.get(), 0); }));
    EXPECT_EQ(song.instrument_count, 0);
}

TEST_F(XiFileTest, ExportName)
{
    settings_set_text(settings.xi_dir, "C:\\xi\\");
    std::snprintf(song.converter_input, sizeof song.converter_input, "D:\\mods\\longname.xm");
    char out[300];
    xi_export_name(5, out, int(sizeof out));
    EXPECT_STREQ(out, "C:\\xi\\longna05.xi");
    std::snprintf(song.converter_input, sizeof song.converter_input, "dir/ab");
    xi_export_name(5, out, int(sizeof out));
    EXPECT_STREQ(out, "C:\\xi\\ab05.xi");
}

// Independent decoding of a whole XI file: the frames every sample should give.
std::vector<int16_t> decode_xi(const std::vector<uint8_t>& d, std::vector<bool>* widths)
{
    auto le = [&](size_t p, int n) {
        uint32_t v = 0;
        for (int k = 0; k < n; ++k) v |= uint32_t(d[p + size_t(k)]) << (8 * k);
        return v;
    };
    unsigned count = le(296, 2);
    size_t data = 298 + 40 * size_t(count);
    std::vector<int16_t> out;
    for (unsigned j = 0; j < count; ++j) {
        size_t h = 298 + 40 * size_t(j);
        uint32_t len = le(h, 4);
        bool wide = (d[h + 14] & 0x10) != 0;
        if (widths) widths->push_back(wide);
        int16_t v = 0;
        if (len == 0) out.push_back(0);
        for (uint32_t k = 0; k < len; k += wide ? 2 : 1) {
            if (wide) {
                v = int16_t(v + int16_t(le(data + k, 2)));
                out.push_back(v);
            } else {
                v = int16_t(v + int16_t(int8_t(d[data + k]) * 256));
                out.push_back(v);
            }
        }
        data += len;
    }
    return out;
}

TEST_F(XiFileTest, CorpusInstrumentsDecodeLikeAnIndependentReader)
{
    auto files = kxtest::corpus_files({".xi"});
    if (files.empty()) GTEST_SKIP() << "no corpus";
    bool saw8 = false, saw16 = false;
    for (const auto& path : files) {
        SCOPED_TRACE(path.string());
        song.instrument_table = nullptr;
        song.instrument_count = 1;
        ASSERT_TRUE(read_xi(path));
        auto d = kxtest::read_file(path);
        std::vector<bool> widths;
        std::vector<int16_t> expect = decode_xi(d, &widths);
        for (bool w : widths) (w ? saw16 : saw8) = true;
        TempFile t = temp();
        ASSERT_TRUE(t.well_formed);
        ASSERT_EQ(t.waves.size(), 1u);
        EXPECT_EQ(t.waves[0].values, expect);
    }
    EXPECT_TRUE(saw8 && saw16);
}

} // namespace
