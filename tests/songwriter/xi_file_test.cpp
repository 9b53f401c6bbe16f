// The instrument reader on XI files: key maps, delta decoding into the WAVE data, odd 16-bit
// lengths, generator targets, early ends of file, hostile counts; the XI export name.
#include "convert/module_fixtures.h"
#include "songwriter/xi_file.h"

namespace {

using namespace kxfix;

class XiFileTest : public kxtest::WorkDirTest {
protected:
    void SetUp() override
    {
        WorkDirTest::SetUp();
        settings.dowave = 2;
        song.wave_map = pool_array<int>(wave_map_size);
        for (int i = 0; i < wave_map_size; ++i) song.wave_map[i] = i;
    }
    // Both passes of an XI conversion's loading over the file.
    bool read_xi(const Bytes& file)
    {
        file.write("in.xi");
        song.is_xi = song.instrument_count = song.wave_count = 1;
        song.instrument_table = nullptr;
        File f = open_file("in.xi", "rb");
        const bool ok = run_guarded([&] {
            for (song.pass_number = 0; song.pass_number < 2; ++song.pass_number) read_instruments(f.get(), 0);
        });
        last_wave_data = wave_data(f.get());
        return ok;
    }
    std::vector<std::vector<int16_t>> waves()
    {
        TempFile t = parse_temp(last_wave_data);
        EXPECT_TRUE(t.well_formed);
        std::vector<std::vector<int16_t>> w;
        for (const TempWave& tw : t.waves) w.push_back(tw.values);
        return w;
    }
    SampleRecord& sample(int j) { return song.instrument_table[0].samples[j]; }
};

XmSample sample8(const std::vector<uint8_t>& data, uint8_t type = 0)
{
    return {.length = uint32_t(data.size()), .type = type, .data = data};
}

TEST_F(XiFileTest, FirstMappedNotes)
{
    XmInstrument ins;
    ins.key_map.fill(200); // beyond the samples: names nothing
    ins.key_map[0] = 1;
    ins.key_map[1] = 0;  // first occurs after a higher-numbered sample: never mapped
    ins.key_map[50] = 2;
    ins.samples = {sample8({1}), sample8({2}), sample8({3})};
    ASSERT_TRUE(read_xi(xi_file(ins)));
    EXPECT_EQ(sample(0).root_note, 97);
    EXPECT_EQ(sample(1).root_note, 1);
    EXPECT_EQ(sample(2).root_note, 51);
}

TEST_F(XiFileTest, DeltaBytesBecomeSixteenBitFrames)
{
    XmInstrument ins;
    ins.name = "delta";
    ins.volume_env = {0, 32, 10, 64, 20, 32};
    ins.volume_points = 3;
    ins.fadeout = 256;
    ins.samples = {sample8({10, 250})};
    ASSERT_TRUE(read_xi(xi_file(ins)));
    const InstrumentRecord& r = song.instrument_table[0];
    EXPECT_STREQ(r.name, " delta                 ");
    EXPECT_EQ(r.envelope_points, 3);
    EXPECT_EQ(r.envelope_y[1], 64);
    EXPECT_EQ(r.fadeout, 256);
    // word count, word index, byte format, dword bytes, frames
    EXPECT_EQ(last_wave_data, (std::vector<uint8_t>{1, 0, 0, 0, 0, 4, 0, 0, 0, 0x00, 0x0A, 0x00, 0x04}));
    EXPECT_EQ(sample(0).length, 2);
}

TEST_F(XiFileTest, OddSixteenBitLengthKeepsTheNextSampleInPlace)
{
    XmInstrument ins;
    ins.samples = {sample8({0x10, 0x00, 0x77}, 0x10), sample8({5, 1})}; // one word, then a lone byte
    ASSERT_TRUE(read_xi(xi_file(ins)));
    EXPECT_EQ(waves(), (std::vector<std::vector<int16_t>>{{0x0010, 0x0500, 0x0600}}));
    EXPECT_EQ(sample(0).length, 3);
    EXPECT_EQ(sample(0).odd_length, 1);
}

TEST_F(XiFileTest, GeneratorTargetGetsOneZeroFramePerSample)
{
    settings.dopfun = 2;
    XmInstrument ins;
    ins.samples = {sample8({1, 2, 3}), sample8({}), sample8({1, 2, 3, 4}, 0x10)};
    ASSERT_TRUE(read_xi(xi_file(ins)));
    EXPECT_EQ(waves(), (std::vector<std::vector<int16_t>>{{0, 0, 0}}));
    EXPECT_EQ(sample(1).length, 1);
    EXPECT_EQ(sample(2).length, 2) << "one 16-bit frame is two bytes";
}

TEST_F(XiFileTest, EndOfFileInsideTheDataKeepsWhatWasRead)
{
    XmInstrument ins;
    ins.samples = {sample8({1, 1, 1, 1}), sample8({2, 2})};
    Bytes b = xi_file(ins);
    b.data.resize(b.size() - 4); // two bytes of the first sample remain
    LogCapture log;
    ASSERT_TRUE(read_xi(b));
    for (const char* eof : {"EOF!!! ", "EOF!2! ", "EOF!3! "}) EXPECT_NE(log.text().find(eof), std::string::npos);
    EXPECT_EQ(waves(), (std::vector<std::vector<int16_t>>{{0x0100, 0x0200, 0}}));
    EXPECT_EQ(sample(0).length, 2);
    EXPECT_EQ(sample(1).length, 1);
}

TEST_F(XiFileTest, HostileCountsAndShortFiles)
{
    XmInstrument huge; // a sample claiming 4 GB and a loop beyond it
    huge.samples = {sample8({7, 7, 7}, 1)};
    huge.samples[0].length = 0xFFFFFFFFu;
    huge.samples[0].loop_start = 0xFFFFFF00u;
    huge.samples[0].loop_length = 0x1000;
    ASSERT_TRUE(read_xi(xi_file(huge)));
    EXPECT_EQ(sample(0).length, 3);
    EXPECT_EQ(sample(0).is_looping, 0);
    EXPECT_LE(sample(0).loop_start + sample(0).loop_length, 3);

    XmInstrument one;
    one.samples = {sample8({1})};
    Bytes many = xi_file(one);
    many.data[296] = many.data[297] = 0xFF; // 65535 samples declared, one header present
    ASSERT_TRUE(read_xi(many));
    EXPECT_EQ(song.instrument_table[0].sample_count, 1);

    EXPECT_FALSE(read_xi(xi_file(XmInstrument()))); // no samples: no wave to make
    Bytes cut = xi_file(XmInstrument());
    cut.data.resize(64); // cut before the version word: no instrument at all
    cut.write("short.xi");
    File f = open_file("short.xi", "rb");
    song.pass_number = 0;
    EXPECT_TRUE(run_guarded([&] { read_instruments(f.get(), 0); }));
    EXPECT_EQ(song.instrument_count, 0);
}

TEST_F(XiFileTest, ExportName)
{
    settings_set_text(settings.xi_dir, "C:\\xi\\");
    char out[300];
    for (auto [input, want] : {std::pair{"D:\\mods\\longname.xm", "C:\\xi\\longna05.xi"}, {"dir/ab", "C:\\xi\\ab05.xi"}}) {
        std::snprintf(song.converter_input, sizeof song.converter_input, "%s", input);
        xi_export_name(5, out, int(sizeof out));
        EXPECT_STREQ(out, want);
    }
}

} // namespace
