// WAVT section: wave entries, envelope conversion, levels (lengths, loops, rates, root notes).
#include <cstring>
#include <filesystem>
#include <string>

#include "songwriter/wave_table.h"
#include "song_builder.h"

namespace {

using kxtest::Bytes;
using kxtest::dword_at;
using Data = std::vector<uint8_t>;

// Bytes of a wave entry before its envelope: index, "songNN.xi", "Lead", volume, flags, count.
constexpr size_t envelope_at = 2 + 2 + 10 + 5 + 4 + 1 + 2;

class WaveTableTest : public kxtest::WorkDirTest {
protected:
    void SetUp() override
    {
        WorkDirTest::SetUp();
        settings.dowave = 2;
        std::strcpy(song.current_input, "tunes/song.xm");
        std::strcpy(song.converter_input, "tunes/song.xm");
        song.is_xm = 1;
        song.instrument_table = pool_array<InstrumentRecord>(8);
        song.instrument_count = song.wave_count = 0;
    }
    // One more instrument record of `samples` 8-bit samples of 1000 bytes, volume 64.
    InstrumentRecord& add_instrument(int samples)
    {
        InstrumentRecord& ins = song.instrument_table[song.instrument_count++];
        std::strcpy(ins.name, "Lead");
        ins.sample_count = samples;
        ins.wave_number = ++song.wave_count;
        ins.samples = pool_array<SampleRecord>(size_t(samples));
        for (int j = 0; j < samples; ++j) {
            ins.samples[j].length = 1000;
            ins.samples[j].volume = 64;
        }
        return ins;
    }
    static Data wavt() { return kxtest::two_passes([] { write_wavt_section(); }); }
    static Data slice(const Data& b, size_t at, size_t n) { return Data(b.begin() + long(at), b.begin() + long(at + n)); }
    // A level from the end of the table: sample count, loop start, loop end, rate, root note.
    static std::vector<uint32_t> level(const Data& b, int from_end = 0)
    {
        size_t at = b.size() - 17 * size_t(from_end + 1);
        return {dword_at(b, at), dword_at(b, at + 4), dword_at(b, at + 8), dword_at(b, at + 12), b[at + 16]};
    }
};

TEST_F(WaveTableTest, EnvelopeExampleIsConvertedByteForByte)
{
    settings.do_envs = 1;
    InstrumentRecord& ins = add_instrument(1);
    ins.envelope_points = 3;
    const uint16_t xs[] = {0, 10, 20}, ys[] = {32, 64, 32};
    std::copy(xs, xs + 3, ins.envelope_x);
    std::copy(ys, ys + 3, ins.envelope_y);
    ins.envelope_sustain = 1;
    ins.envelope_type = 3;
    ins.fadeout = 256;
    ins.samples[0].is_looping = 1;
    ins.samples[0].loop_start = 100;
    ins.samples[0].loop_length = 200;

    Bytes want;
    want.le16(1).le16(0).str("song00.xi").u8(0).str("Lead").u8(0);
    want.le32(0x3F800000).u8(0x81).le16(1); // volume 1.0, envelope + loop, one envelope
    want.le16(2016).le16(256).le16(65535).le16(768).u8(10).u8(0x30);
    want.le16(5);
    want.le16(0).le16(32767).u8(0);
    want.le16(2016).le16(65535).u8(1);
    want.le16(4032).le16(32767).u8(0);
    want.le16(4288).le16(0).u8(0);
    want.le16(65535).le16(0).u8(0);
    want.u8(1).le32(1000).le32(100).le32(300).le32(8363).u8(0x41);
    EXPECT_EQ(wavt(), want.data);
}

TEST_F(WaveTableTest, EnvelopeOffAndEnvelopesAtTheEdges)
{
    settings.do_envs = 0; // the defaults and two points, whatever the instrument has
    InstrumentRecord& off = add_instrument(1);
    off.envelope_points = 3;
    off.envelope_type = 3;
    off.envelope_y[0] = 32;
    Bytes want;
    want.le16(2000).le16(3000).le16(60000).le16(10000).u8(10).u8(0x10);
    want.le16(0x8002).le16(0).le16(0xFFFF).u8(0).le16(0xFFFF).le16(0).u8(0);
    Data b = wavt();
    EXPECT_EQ(slice(b, envelope_at, want.size()), want.data);
    EXPECT_EQ(b[envelope_at - 3], 0x80); // no loop flag

    settings.do_envs = 1;
    off.envelope_points = 2; // first point y 0: the walk stops there; envelope off, no sustain
    off.envelope_x[1] = 5;
    off.envelope_y[0] = 0;
    off.envelope_y[1] = 64;
    off.envelope_type = 0;
    InstrumentRecord& far = add_instrument(1);
    far.envelope_points = 1;
    far.envelope_x[0] = 400; // beyond 324 ticks
    far.envelope_y[0] = 64;
    far.envelope_type = 1;
    b = wavt();
    Bytes want_a = Bytes().le16(0).le16(4096).le16(0).le16(0).u8(10).u8(0x10).le16(0x8004);
    EXPECT_EQ(slice(b, envelope_at, want_a.size()), want_a.data);
    // The attack held at 65535 instead of wrapping, no room left for a release.
    const size_t at_b = envelope_at + (envelope_at - 2) + 10 + 2 + 4 * 5 + 1 + 17;
    Bytes want_b = Bytes().le16(65535).le16(4096).le16(65535).le16(0).u8(10).u8(0x10).le16(3);
    want_b.le16(65535).le16(65535).u8(0);
    EXPECT_EQ(slice(b, at_b, want_b.size()), want_b.data);
}

TEST_F(WaveTableTest, LevelLengthsAndLoops)
{
    struct Case {
        int dowave, is16, length, loop_start, loop_length, zero_loops;
        std::vector<uint32_t> want; // length, loop start, loop end
        uint8_t flags;
    } cases[] = {
        {2, 1, 1000, 200, 400, 0, {500, 100, 300}, 0x81},  // BMX: 16-bit frames
        {1, 1, 1000, 200, 400, 0, {1000, 200, 600}, 0x81}, // BMW: bytes
        {2, 1, 1, 0, 0, 0, {1, 0, 0}, 0x80},               // the reader's one-frame replacement
        {2, 1, 2000, 0, 0, 1, {1000, 999, 1000}, 0x81},    // do_0loops: a loop over the last frame
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length * 10 + c.dowave);
        settings.dowave = c.dowave;
        settings.do_0loops = c.zero_loops;
        song.instrument_count = song.wave_count = 0;
        SampleRecord& s = add_instrument(1).samples[0];
        s.is_16bit = c.is16;
        s.length = c.length;
        s.is_looping = uint8_t(c.loop_length > 0);
        s.loop_start = c.loop_start;
        s.loop_length = c.loop_length;
        Data b = wavt();
        auto l = level(b);
        EXPECT_EQ(std::vector<uint32_t>(l.begin(), l.begin() + 3), c.want);
        EXPECT_EQ(b[envelope_at - 3], c.flags);
    }
}

TEST_F(WaveTableTest, RatesAndRootNotes)
{
    SampleRecord& s = add_instrument(1).samples[0];
    struct Case {
        int relative, finetune, is_mod, mod_ext;
        uint32_t rate;
    } cases[] = {
        {12, 0, 0, 0, 16726}, {12, -128, 0, 0, 15787},
        {0, 0, 1, 0, 8287}, // a MOD read without the outside converter
        {0, 0, 1, 1, 8363},
    };
    for (const Case& c : cases) {
        s.relative_note = c.relative;
        s.finetune = c.finetune;
        song.is_mod = c.is_mod;
        settings.domod_ext = c.mod_ext;
        EXPECT_EQ(level(wavt()), (std::vector<uint32_t>{1000, 0, 0, c.rate, 0x41}));
    }

    // Several samples: each level at its first mapped note; one never mapped sits at 0x81.
    song.is_mod = 0;
    InstrumentRecord& ins = song.instrument_table[0];
    ins.sample_count = 3;
    ins.samples = pool_array<SampleRecord>(3);
    const int roots[] = {1, 49, 97};
    for (int j = 0; j < 3; ++j) {
        ins.samples[j].length = 1000;
        ins.samples[j].root_note = roots[j];
    }
    ins.samples[2].relative_note = -48;
    Data b = wavt();
    EXPECT_EQ(b[b.size() - 3 * 17 - 1], 3);
    EXPECT_EQ(level(b, 2), (std::vector<uint32_t>{1000, 0, 0, 522, 0x01})); // 4 octaves down
    EXPECT_EQ(level(b, 1), (std::vector<uint32_t>{1000, 0, 0, 8363, 0x41}));
    EXPECT_EQ(level(b, 0), (std::vector<uint32_t>{1000, 0, 0, 8363, 0x81}));
}

TEST_F(WaveTableTest, EmptyInstrumentsGetNoEntry)
{
    add_instrument(1);
    add_instrument(1).sample_count = 0;
    add_instrument(1).wave_number = 7;
    Data b = wavt();
    EXPECT_EQ(b[0], 3); // the wave count as the reader counted it
    const size_t entry = envelope_at - 2 + 10 + 2 + 10 + 1 + 17;
    ASSERT_EQ(b.size(), 2 + 2 * entry);
    EXPECT_EQ(b[2 + entry], 6); // wave 7 with the file name of record 2
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[4 + entry])), "song02.xi");
}

TEST_F(WaveTableTest, PatchModeNamesAndDrumLoops)
{
    song.is_xm = 0;
    song.is_midi = 1;
    settings.dopchange = 1;
    settings.drloopno = 1;
    std::strcpy(settings.xi_dir, "xi/");
    add_instrument(1).wave_number = 0;    // drum kit record, unused
    add_instrument(1).wave_number = 0x2A; // program 41
    add_instrument(1).wave_number = 0xA4; // drum key 36
    for (int i = 0; i < 3; ++i) song.instrument_table[i].samples[0].is_looping = 1;
    Data b = wavt();
    EXPECT_EQ(b[0], 2); // wave_count - 1 + wave_number of record 0
    EXPECT_EQ(b[2], 1); // index: the record
    const size_t flags = 4 + 13 + 5 + 4, entry = 2 + 13 + 5 + 4 + 1 + 2 + 10 + 2 + 10 + 1 + 17;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[4])), "xi/gmp_2a.xi");
    EXPECT_EQ(b[flags], 0x81);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[4 + entry])), "xi/gmp_a4.xi");
    EXPECT_EQ(b[flags + entry], 0x80); // drum patch: no loop
    settings.dopchange = 0;
    char name[64];
    wave_file_name(0, name, sizeof name);
    EXPECT_STREQ(name, "xi/gmc_01.xi");
}

TEST_F(WaveTableTest, MissingChannelSlotGetsNoWave)
{
    // Native MIDI with one XI file per MIDI channel: only channels 1 and 3 have one.
    song.is_xm = 0;
    song.is_midi = 1;
    song.instrument_table = nullptr;
    std::strcpy(settings.xi_dir, "xi/");
    std::filesystem::create_directory("xi");
    Bytes one, three;
    one.data = kxtest::xi_file("Piano", {1, 2});
    three.data = kxtest::xi_file("Strings", {3, 4, 5, 6});
    one.write("xi/gmc_01.xi");
    three.write("xi/gmc_03.xi");
    kxtest::FakeWindow fake;
    log_state.window = &fake;
    writer.writer_pass = 0;
    load_xi_instruments(nullptr);
    log_state.window = nullptr;

    EXPECT_EQ(song.wave_count, 2);
    EXPECT_EQ(kxfix::count_of(fake.text, "Can't open XI-file xi/gmc_02.xi"), 1u);
    EXPECT_NE(fake.text.find("Instrument 2 (xi/gmc_03.xi)"), std::string::npos);
    EXPECT_EQ(song.instrument_table[1].wave_number, 0);
    EXPECT_EQ(song.instrument_table[2].wave_number, 3);

    Data b = wavt();
    const size_t entry = 2 + 13 + 24 + 4 + 1 + 2 + 10 + 2 + 10 + 1 + 17;
    ASSERT_EQ(b.size(), 2 + 2 * entry);
    EXPECT_EQ(b[2], 0);
    EXPECT_EQ(b[2 + entry], 2);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[4 + entry])), "xi/gmc_03.xi");
    // The wave data of both slots, under their slot numbers.
    Bytes want;
    want.le16(2).le16(0).u8(0).le32(4).le16(0x100).le16(0x300);
    want.le16(2).u8(0).le32(8).le16(0x300).le16(0x700).le16(0xC00).le16(0x1200);
    EXPECT_EQ(kxtest::read_file(wave_temp_name), want.data);
}

} // namespace
