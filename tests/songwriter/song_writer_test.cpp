// The song writer where whole conversions do not reach: the XI files of a MIDI song (one per
// channel), the ES-9's data file, WAVE data from an input that changed, XI files cut short or with
// hostile counts. Whole songs are compared byte for byte in tests/e2e/golden_test.cpp.
#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>
#include <filesystem>

#include "convert/fixtures.h"
#include "songwriter/bmx_writer.h"
#include "songwriter/patt_sequ.h"
#include "songwriter/wave_table.h"
#include "convert/instrument_reader.h"
#include "songwriter/xi_file.h"

namespace {

using namespace kxfix;

// Generator positions: the axes exact (zeros written as -0.0), every other point the float the C
// library's sine and cosine give here (so only the axes changed when the series replaced them).
TEST(GeneratorPositions, AxesExactOthersAsTheLibraryRoundsThem)
{
    auto bits = [](float v) { return std::bit_cast<uint32_t>(v); };
    const uint32_t neg_zero = 0x80000000u, minus_08 = bits(-0.8f), plus_08 = bits(0.8f);
    const struct { int k, n; uint32_t x, y; } axes[] = {
        {1, 1, minus_08, neg_zero}, {2, 2, plus_08, neg_zero}, {2, 4, neg_zero, minus_08},
        {3, 4, plus_08, neg_zero},  {4, 4, neg_zero, plus_08}, {7, 12, plus_08, neg_zero}};
    for (const auto& a : axes) {
        const GeneratorPosition p = generator_position(a.k, a.n);
        EXPECT_EQ(bits(p.x), a.x) << a.k << " of " << a.n;
        EXPECT_EQ(bits(p.y), a.y) << a.k << " of " << a.n;
    }
    for (int n = 1; n <= 256; ++n)
        for (int k = 1; k <= n; ++k) {
            if (4 * (k - 1) % n == 0) continue;
            const double a = 2.0 * std::numbers::pi * (k - 1) / n;
            const GeneratorPosition p = generator_position(k, n);
            ASSERT_EQ(bits(p.x), bits(float(-0.8 * std::cos(a)))) << k << " of " << n;
            ASSERT_EQ(bits(p.y), bits(float(-0.8 * std::sin(a)))) << k << " of " << n;
        }
}

class SongWriterTest : public kxtest::WorkDirTest {
protected:
    void SetUp() override
    {
        WorkDirTest::SetUp();
        kxtest::install_machines_ini();
        ASSERT_TRUE(load_machine_descriptions(machines, pool, log));
        log.window = &fake;
    }
    void TearDown() override
    {
        log.window = nullptr;
        machine_descriptions_reset(machines);
        WorkDirTest::TearDown();
    }
    // Writes the song to "out.bmx"; false when the job ended.
    bool write(FILE* input = nullptr)
    {
        File f = open_file("out.bmx", "wb");
        c.writer.output_stream = f.get();
        const bool ok = run_guarded(log, [&] { write_song(c, input); });
        c.writer.output_stream = nullptr;
        return ok;
    }
    bool logged(const char* text) const { return fake.text.find(text) != std::string::npos; }
    kxtest::FakeWindow fake;
};

TEST_F(SongWriterTest, Es9DataFile)
{
    settings.dowave = Waves::none;
    settings.dopfun = role_es9 - 1;
    layout_song(c, 1, 1, 1, 4);
    EXPECT_FALSE(write());
    EXPECT_TRUE(logged("No data file for ES-9 (es-9.dat), rip data from any file with ES-9 first!"));
    Bytes data;
    for (int i = 0; i < 5000; ++i) data.u8(unsigned(i * 7));
    data.write("es-9.dat");
    ASSERT_TRUE(write());
    const std::vector<uint8_t> out = kxtest::read_file("out.bmx");
    const auto at = std::search(out.begin(), out.end(), data.data.begin(), data.data.end());
    ASSERT_NE(at, out.end()) << "the data block after its size";
    EXPECT_EQ(dword_at(out, size_t(at - out.begin()) - 4), 5000u);
}

// A machine of 112 patterns keeps one-byte sequence values; of the 32753 patterns of another, the
// last is left out with a warning, as no sequence value names it.
TEST_F(SongWriterTest, SequenceValuesNameEveryPatternTheyCan)
{
    settings.dowave = Waves::none;
    settings.remove_2pat = 0; // every pattern of the empty song is written
    for (int patterns : {112, 32753}) {
        song = Song(); // its tables stay in the pool, beside machines.ini's
        layout_song(c, 1, 1, patterns, 1);
        for (int p = 0; p < patterns; ++p) song.machine_table[1].track_patterns[p].number = p + 1;
        ASSERT_TRUE(write());
        const kxtest::SongSequence s = kxtest::song_sequences(kxtest::read_file("out.bmx")).at(0);
        EXPECT_EQ(std::make_pair(s.position_width, s.value_width), std::make_pair(2, patterns > 112 ? 2 : 1));
        EXPECT_EQ(s.events.back(), std::make_pair(uint32_t(std::min(patterns, 32752) - 1), std::min(patterns, 32752) + 15u));
    }
    EXPECT_TRUE(logged("\nWarning: machine 1 has 32753 patterns, its sequence names at most 32752: 1 left out"));
}

// The WAVE data is decoded from the input where the reading passes found it (8-bit deltas here,
// 300002 bytes with the zero value of a sample without data: three progress dots); an input that
// no longer holds the data ends the job.
TEST_F(SongWriterTest, WaveDataDecodedFromTheInput)
{
    Bytes in = Bytes().str("head");
    Frames want;
    uint8_t v = 0;
    for (int i = 0; i < 150000; ++i) {
        in.u8(unsigned(i * 7));
        want.push_back(int16_t((v = uint8_t(v + i * 7)) << 8));
    }
    want.push_back(0);
    in.write("in.bin");
    song.instrument_count = song.wave_data_count = 1;
    song.instrument_table = pool_array<InstrumentRecord>(pool, 1);
    InstrumentRecord& ins = song.instrument_table[0];
    ins.samples = pool_array<SampleRecord>(pool, size_t(ins.sample_count = 2));
    ins.wave_entry = 1;
    ins.wave_entry_bytes = 300002;
    ins.samples[0].data_offset = 4;
    ins.samples[0].data_values = 150000;
    ins.samples[1].data_zero = 1;
    log.log_enabled = 0;
    File f = open_file("in.bin", "rb");
    EXPECT_EQ(wave_data(c, f.get()).waves, std::vector<Frames>{want});
    EXPECT_EQ(fake.text, "...");
    ins.samples[0].data_offset = 5; // one value more than the file holds
    EXPECT_FALSE(wave_data(c, f.get()).well_formed);
    EXPECT_TRUE(logged("Input file changed during conversion!!"));
}

TEST_F(SongWriterTest, MidiWavesFromXiFilesPerChannel)
{
    // One XI file per MIDI channel: only channels 1 and 3 have one, and channel 1's is cut short.
    song.input_kind = InputKind::midi;
    settings.xi_dir = "xi/";
    std::filesystem::create_directory("xi");
    XmInstrument piano{"Piano", {{{1, 2, 3, 4}}}}, strings{"Strings", {{{3, 4, 5, 6}}}};
    Bytes cut = xi_file(piano);
    cut.data.resize(cut.size() - 2);
    cut.write("xi/gmc_01.xi");
    xi_file(strings).write("xi/gmc_03.xi");
    load_xi_instruments(c, nullptr);
    EXPECT_EQ(song.wave_count, 2);
    const std::string missing = "Can't open XI-file xi/gmc_02.xi";
    EXPECT_NE(fake.text.find(missing), std::string::npos);
    EXPECT_EQ(fake.text.find(missing), fake.text.rfind(missing)) << "tried once";
    const WaveData t = wave_data(c, nullptr); // read from the XI files, kept open
    EXPECT_TRUE(t.well_formed);
    EXPECT_EQ(t.waves, (std::vector<Frames>{{0x100, 0x300}, {0x300, 0x700, 0xC00, 0x1200}}));
    const std::vector<uint8_t> wavt = written(c, [&] { write_wavt_section(c); });
    const std::string names(wavt.begin(), wavt.end());
    EXPECT_NE(names.find(std::string("xi/gmc_01.xi\0 Piano", 19)), std::string::npos);
    EXPECT_EQ(wavt[2 + (wavt.size() - 2) / 2], 2) << "the second entry is channel 3's";
}

TEST_F(SongWriterTest, XiFilesCutShortOrWithHostileCounts)
{
    WaveData waves;
    auto read_xi = [&](const Bytes& file) {
        file.write("in.xi");
        song.input_kind = InputKind::xi;
        song.instrument_count = song.wave_count = 1;
        song.instrument_table = nullptr;
        File f = open_file("in.xi", "rb");
        const bool ok = run_guarded(log, [&] {
            for (song.pass_number = 0; song.pass_number < 2; ++song.pass_number) read_instruments(c, f.get(), 0);
        });
        waves = wave_data(c, f.get());
        return ok;
    };
    settings.dowave = Waves::bmx;
    // A sample claiming 4 GB and a loop beyond it; 65535 samples declared, one header present.
    XmInstrument huge{"huge", {{{7, 7, 7}, 1, 0xFFFFFF00u, 0x1000, 0, 0, 0xFFFFFFFFu}}};
    Bytes many = xi_file(huge);
    many.data[296] = many.data[297] = 0xFF;
    many.data[258] = 13; // volume envelope points: one more than an envelope holds, so none is kept
    ASSERT_TRUE(read_xi(many));
    const SampleRecord& s = song.instrument_table[0].samples[0];
    EXPECT_EQ(song.instrument_table[0].sample_count, 1);
    EXPECT_EQ((std::vector<int>{s.length, s.is_looping, s.loop_start + s.loop_length, song.instrument_table[0].envelope_points}),
              (std::vector<int>{3, 0, 3, 0}));
    // The file ends inside the first of two samples: the values read are kept, the second gets one.
    XmInstrument two{"two", {{{1, 1, 1, 1}}, {{2, 2}}}};
    Bytes cut = xi_file(two);
    cut.data.resize(cut.size() - 4);
    LogCapture captured(log);
    ASSERT_TRUE(read_xi(cut));
    for (const char* eof : {"EOF!!! ", "EOF!2! ", "EOF!3! "}) EXPECT_TRUE(captured.has(eof));
    EXPECT_EQ(waves.waves, (std::vector<Frames>{{0x100, 0x200, 0}}));
    EXPECT_EQ(song.instrument_table[0].samples[0].length, 2);
    // A generator target gets one zero value per sample.
    settings.dopfun = 2;
    ASSERT_TRUE(read_xi(xi_file(two)));
    EXPECT_EQ(waves.waves, (std::vector<Frames>{{0, 0}}));

    EXPECT_FALSE(read_xi(xi_file(XmInstrument()))); // no samples: no wave to make
    cut = xi_file(XmInstrument());
    cut.data.resize(64); // cut before the version word: no instrument at all
    cut.write("short.xi");
    File f = open_file("short.xi", "rb");
    song.pass_number = 0;
    EXPECT_TRUE(run_guarded(log, [&] { read_instruments(c, f.get(), 0); }));
    EXPECT_EQ(song.instrument_count, 0);
}

} // namespace
