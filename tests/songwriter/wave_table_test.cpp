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
    static InstrumentRecord& add_instrument(int samples)
    {
        InstrumentRecord& ins = song.instrument_table[song.instrument_count++];
        std::strcpy(ins.name, "Lead");
        ins.sample_count = samples;
        ins.wave_number = ++song.wave_count;
        ins.samples = pool_array<SampleRecord>(size_t(samples));
        for (int j = 0; j < samples; ++j) ins.samples[j].length = 1000;
        for (int j = 0; j < samples; ++j) ins.samples[j].volume = 64;
        return ins;
    }
    static Data wavt() { return kxtest::two_passes([] { write_wavt_section(); }); }
    static Data slice(const Data& b, size_t at, size_t n) { return Data(b.begin() + long(at), b.begin() + long(at + n)); }
    static std::string text_at(const Data& b, size_t at) { return reinterpret_cast<const char*>(&b[at]); }
    // The last level: sample count, loop start, loop end, rate, root note.
    static std::vector<uint32_t> level(const Data& b)
    {
        size_t at = b.size() - 17;
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

    Bytes want = Bytes().le16(1).le16(0).str("song00.xi").u8(0).str("Lead").u8(0);
    want.le32(0x3F800000).u8(0x81).le16(1); // volume 1.0, envelope + loop, one envelope
    want.le16(2016).le16(256).le16(65535).le16(768).u8(10).u8(0x30).le16(5); // attack, decay, sustain, release
    want.le16(0).le16(32767).u8(0).le16(2016).le16(65535).u8(1).le16(4032).le16(32767).u8(0);
    want.le16(4288).le16(0).u8(0).le16(65535).le16(0).u8(0);
    want.u8(1).le32(1000).le32(100).le32(300).le32(8363).u8(0x41);
    EXPECT_EQ(wavt(), want.data);
}

TEST_F(WaveTableTest, EnvelopeOffAndEnvelopesAtTheEdges)
{
    settings.do_envs = 0; // the defaults and two points, whatever the instrument has
    InstrumentRecord& a = add_instrument(1);
    a.envelope_points = 3;
    a.envelope_type = 3;
    a.envelope_y[0] = 32;
    Bytes off = Bytes().le16(2000).le16(3000).le16(60000).le16(10000).u8(10).u8(0x10);
    off.le16(0x8002).le16(0).le16(0xFFFF).u8(0).le16(0xFFFF).le16(0).u8(0);
    EXPECT_EQ(slice(wavt(), envelope_at, off.size()), off.data);

    settings.do_envs = 1;
    a.envelope_points = 2; // first point y 0: the walk stops there; envelope off, no sustain
    a.envelope_x[1] = 5;
    a.envelope_y[0] = 0;
    a.envelope_y[1] = 64;
    a.envelope_type = 0;
    InstrumentRecord& b = add_instrument(1);
    b.envelope_points = 1;
    b.envelope_x[0] = 400; // beyond 324 ticks
    b.envelope_y[0] = 64;
    b.envelope_type = 1;
    Data t = wavt();
    Bytes want_a = Bytes().le16(0).le16(4096).le16(0).le16(0).u8(10).u8(0x10).le16(0x8004);
    EXPECT_EQ(slice(t, envelope_at, want_a.size()), want_a.data);
    // The attack held at 65535 instead of wrapping, no room left for a release.
    Bytes want_b = Bytes().le16(65535).le16(4096).le16(65535).le16(0).u8(10).u8(0x10).le16(3).le16(65535).le16(65535).u8(0);
    EXPECT_EQ(slice(t, envelope_at + (envelope_at - 2) + 10 + 2 + 4 * 5 + 1 + 17, want_b.size()), want_b.data);
}

TEST_F(WaveTableTest, LevelLengthsAndLoops)
{
    struct Case {
        int dowave, length, loop_start, loop_length, zero_loops;
        std::vector<uint32_t> want; // length, loop start, loop end
        uint8_t flags;
    } cases[] = {
        {2, 1000, 200, 400, 0, {500, 100, 300}, 0x81},  // BMX: 16-bit frames
        {1, 1000, 200, 400, 0, {1000, 200, 600}, 0x81}, // BMW: bytes
        {2, 1, 0, 0, 0, {1, 0, 0}, 0x80},               // the reader's one-frame replacement
        {2, 2000, 0, 0, 1, {1000, 999, 1000}, 0x81},    // do_0loops: a loop over the last frame
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length * 10 + c.dowave);
        settings.dowave = c.dowave;
        settings.do_0loops = c.zero_loops;
        song.instrument_count = song.wave_count = 0;
        SampleRecord& s = add_instrument(1).samples[0];
        s.is_16bit = 1;
        s.length = c.length;
        s.is_looping = uint8_t(c.loop_length > 0);
        s.loop_start = c.loop_start;
        s.loop_length = c.loop_length;
        Data b = wavt();
        auto l = level(b);
        l.resize(3);
        EXPECT_EQ(l, c.want);
        EXPECT_EQ(b[envelope_at - 3], c.flags);
    }
}

TEST_F(WaveTableTest, RatesAndRootNotes)
{
    // The last of two samples: its level sits at the first note the key map gives it, the rate
    // moving with it.
    InstrumentRecord& ins = add_instrument(2);
    ins.samples[0].root_note = 1;
    SampleRecord& s = ins.samples[1];
    struct Case { int relative, finetune, root_note, is_mod, mod_ext; uint32_t rate, root; } cases[] = {
        {12, 0, 49, 0, 0, 16726, 0x41}, {12, -128, 49, 0, 0, 15787, 0x41},
        {0, 0, 1, 0, 0, 522, 0x01}, {-48, 0, 97, 0, 0, 8363, 0x81}, // 4 octaves down; 97: never mapped
        {0, 0, 49, 1, 0, 8287, 0x41}, // a MOD read without the outside converter
        {0, 0, 49, 1, 1, 8363, 0x41},
    };
    for (const Case& c : cases) {
        s.relative_note = c.relative;
        s.finetune = c.finetune;
        s.root_note = c.root_note;
        song.is_mod = c.is_mod;
        settings.domod_ext = c.mod_ext;
        EXPECT_EQ(level(wavt()), (std::vector<uint32_t>{1000, 0, 0, c.rate, c.root}));
    }
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
    EXPECT_EQ(text_at(b, 4 + entry), "song02.xi");
}

TEST_F(WaveTableTest, PatchModeNamesAndDrumLoops)
{
    song.is_xm = 0;
    song.is_midi = settings.dopchange = settings.drloopno = 1;
    std::strcpy(settings.xi_dir, "xi/");
    add_instrument(1).wave_number = 0;    // drum kit record, unused
    add_instrument(1).wave_number = 0x2A; // program 41
    add_instrument(1).wave_number = 0xA4; // drum key 36
    for (int i = 0; i < 3; ++i) song.instrument_table[i].samples[0].is_looping = 1;
    Data b = wavt();
    const size_t entry = 2 + 13 + 5 + 4 + 1 + 2 + 10 + 2 + 10 + 1 + 17;
    EXPECT_EQ(slice(b, 0, 3), (Data{2, 0, 1})); // wave_count - 1 + wave_number of record 0; index: the record
    EXPECT_EQ(text_at(b, 4) + text_at(b, 4 + entry), "xi/gmp_2a.xixi/gmp_a4.xi");
    EXPECT_EQ(b[4 + 13 + 5 + 4], 0x81);
    EXPECT_EQ(b[4 + 13 + 5 + 4 + entry], 0x80); // drum patch: no loop
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

    Data b = wavt();
    const size_t entry = 2 + 13 + 24 + 4 + 1 + 2 + 10 + 2 + 10 + 1 + 17;
    ASSERT_EQ(b.size(), 2 + 2 * entry);
    EXPECT_EQ(b[2 + entry], 2);
    EXPECT_EQ(text_at(b, 4) + text_at(b, 4 + entry), "xi/gmc_01.xixi/gmc_03.xi");
    // The wave data of both slots, under their slot numbers.
    Bytes want = Bytes().le16(2).le16(0).u8(0).le32(4).le16(0x100).le16(0x300);
    want.le16(2).u8(0).le32(8).le16(0x300).le16(0x700).le16(0xC00).le16(0x1200);
    EXPECT_EQ(kxfix::wave_data(nullptr), want.data);
}

} // namespace
