// WAVT section: wave entries, envelope conversion, levels (lengths, loops, rates, root notes).
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "convert/song.h"
#include "core/pool.h"
#include "core/log.h"
#include "settings/settings.h"
#include "songwriter/wave_table.h"
#include "support/test_support.h"
#include "song_builder.h"

namespace {

using kxtest::Bytes;

class WaveTableTest : public kxtest::WorkDirTest {
protected:
    void SetUp() override
    {
        WorkDirTest::SetUp();
        settings.dowave = 2;
        std::strcpy(song.current_input, "tunes/song.xm");
        std::strcpy(song.converter_input, "tunes/song.xm");
        song.is_xm = 1;
    }
    // One instrument record per call, each with `samples` samples of 1000 bytes.
    InstrumentRecord& add_instrument(int samples)
    {
        if (!song.instrument_table) {
            song.instrument_table = pool_array<InstrumentRecord>(8);
            song.instrument_count = 0;
            song.wave_count = 0;
        }
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
    std::vector<uint8_t> wavt() { return kxtest::two_passes([] { write_wavt_section(); }); }
    // The last level of a one-wave table: sample count, loop start, loop end, rate, root note.
    struct Level {
        uint32_t length, loop_start, loop_end, rate;
        uint8_t root;
    };
    static uint32_t dword_at(const std::vector<uint8_t>& b, size_t at)
    {
        return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t(b[at + 3]) << 24);
    }
    Level level(const std::vector<uint8_t>& b, int from_end = 0)
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
    for (int i = 0; i < 3; ++i) {
        ins.envelope_x[i] = xs[i];
        ins.envelope_y[i] = ys[i];
    }
    ins.envelope_sustain = 1;
    ins.envelope_type = 3;
    ins.fadeout = 256;
    ins.samples[0].is_looping = 1;
    ins.samples[0].loop_start = 100;
    ins.samples[0].loop_length = 200;

    Bytes want;
    want.le16(1);                                  // wave count
    want.le16(0).str("song00.xi").u8(0).str("Lead").u8(0);
    want.le32(0x3F800000).u8(0x81).le16(1);        // volume 1.0, envelope + loop, one envelope
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

TEST_F(WaveTableTest, EnvelopeOffWritesTheDefaultsAndTwoPoints)
{
    settings.do_envs = 0;
    InstrumentRecord& ins = add_instrument(1);
    ins.envelope_points = 3;
    ins.envelope_type = 3;
    ins.envelope_y[0] = 32;
    auto b = wavt();
    // Envelope after index, names, volume, flags and the envelope count.
    size_t at = 2 + 2 + 10 + 5 + 4 + 1 + 2;
    Bytes want;
    want.le16(2000).le16(3000).le16(60000).le16(10000).u8(10).u8(0x10);
    want.le16(0x8002).le16(0).le16(0xFFFF).u8(0).le16(0xFFFF).le16(0).u8(0);
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + long(at), b.begin() + long(at + want.size())), want.data);
    EXPECT_EQ(b[at - 3], 0x80); // no loop flag
}

TEST_F(WaveTableTest, EnvelopeStartingAtZeroAndBeyondTheTrackerRange)
{
    settings.do_envs = 1;
    InstrumentRecord& a = add_instrument(1);
    a.envelope_points = 2;
    a.envelope_x[1] = 5;
    a.envelope_y[1] = 64; // first point y 0: the walk stops there
    a.envelope_type = 0;  // envelope off, no sustain
    InstrumentRecord& b = add_instrument(1);
    b.envelope_points = 1;
    b.envelope_x[0] = 400; // beyond 324 ticks
    b.envelope_y[0] = 64;
    b.envelope_type = 1;
    auto t = wavt();
    size_t at = 2 + 2 + 10 + 5 + 4 + 1 + 2;
    Bytes want_a;
    want_a.le16(0).le16(4096).le16(0).le16(0).u8(10).u8(0x10).le16(0x8004);
    EXPECT_EQ(std::vector<uint8_t>(t.begin() + long(at), t.begin() + long(at + want_a.size())), want_a.data);
    // Second entry: attack held at 65535 instead of wrapping, no room left for a release.
    size_t entry_a = 2 + 10 + 5 + 4 + 1 + 2 + 10 + 2 + 4 * 5 + 1 + 17;
    size_t at_b = 2 + entry_a + 2 + 10 + 5 + 4 + 1 + 2;
    Bytes want_b;
    want_b.le16(65535).le16(4096).le16(65535).le16(0).u8(10).u8(0x10).le16(3);
    want_b.le16(65535).le16(65535).u8(0);
    EXPECT_EQ(std::vector<uint8_t>(t.begin() + long(at_b), t.begin() + long(at_b + want_b.size())), want_b.data);
}

TEST_F(WaveTableTest, SixteenBitLevelsCountFramesInBmxAndBytesInBmw)
{
    InstrumentRecord& ins = add_instrument(1);
    ins.samples[0].is_16bit = 1;
    ins.samples[0].is_looping = 1;
    ins.samples[0].loop_start = 200;
    ins.samples[0].loop_length = 400;
    Level l = level(wavt());
    EXPECT_EQ(l.length, 500u);
    EXPECT_EQ(l.loop_start, 100u);
    EXPECT_EQ(l.loop_end, 300u);

    settings.dowave = 1;
    l = level(wavt());
    EXPECT_EQ(l.length, 1000u);
    EXPECT_EQ(l.loop_start, 200u);
    EXPECT_EQ(l.loop_end, 600u);
}

TEST_F(WaveTableTest, OneFrameReplacementOfA16BitSampleKeepsItsFrame)
{
    // The instrument reader replaces an empty sample by one zero value of length 1.
    InstrumentRecord& ins = add_instrument(1);
    ins.samples[0].is_16bit = 1;
    ins.samples[0].length = 1;
    EXPECT_EQ(level(wavt()).length, 1u);
}

TEST_F(WaveTableTest, ZeroLoopsAddALoopOverTheLastFrame)
{
    settings.do_0loops = 1;
    InstrumentRecord& ins = add_instrument(1);
    ins.samples[0].is_16bit = 1;
    ins.samples[0].length = 2000;
    auto b = wavt();
    Level l = level(b);
    EXPECT_EQ(l.loop_start, 999u);
    EXPECT_EQ(l.loop_end, 1000u);
    EXPECT_EQ(b[2 + 2 + 10 + 5 + 4], 0x81);
}

TEST_F(WaveTableTest, RatesFollowRelativeNoteAndFinetune)
{
    InstrumentRecord& ins = add_instrument(1);
    ins.samples[0].relative_note = 12;
    EXPECT_EQ(level(wavt()).rate, 16726u);
    ins.samples[0].finetune = -128;
    Level l = level(wavt());
    EXPECT_EQ(l.rate, 15787u);
    EXPECT_EQ(l.root, 0x41);
    // A MOD read without the outside converter tunes to 8287 Hz.
    ins.samples[0].relative_note = 0;
    ins.samples[0].finetune = 0;
    song.is_mod = 1;
    EXPECT_EQ(level(wavt()).rate, 8287u);
    settings.domod_ext = 1;
    EXPECT_EQ(level(wavt()).rate, 8363u);
}

TEST_F(WaveTableTest, MultiSampleLevelsUseTheirFirstMappedNotes)
{
    InstrumentRecord& ins = add_instrument(3);
    ins.samples[0].root_note = 1;
    ins.samples[1].root_note = 49;
    ins.samples[2].root_note = 97;
    ins.samples[2].relative_note = -48;
    auto b = wavt();
    EXPECT_EQ(b[b.size() - 3 * 17 - 1], 3); // level count
    Level first = level(b, 2), second = level(b, 1), never = level(b, 0);
    EXPECT_EQ(first.rate, 522u); // 4 octaves down
    EXPECT_EQ(first.root, 0x01);
    EXPECT_EQ(second.rate, 8363u);
    EXPECT_EQ(second.root, 0x41);
    EXPECT_EQ(never.rate, 8363u);
    EXPECT_EQ(never.root, 0x81);
}

TEST_F(WaveTableTest, NoWavesAndEmptyInstruments)
{
    add_instrument(1);
    InstrumentRecord& empty = add_instrument(1);
    empty.sample_count = 0;
    add_instrument(1).wave_number = 7;
    auto b = wavt();
    EXPECT_EQ(b[0], 3); // the wave count as the reader counted it
    EXPECT_EQ(b[2], 0); // first entry index 0
    // Two entries; the second is wave 7 with the file name of record 2.
    size_t entry = 2 + 10 + 5 + 4 + 1 + 2 + 10 + 2 + 10 + 1 + 17;
    EXPECT_EQ(b.size(), 2 + 2 * entry);
    EXPECT_EQ(b[2 + entry], 6);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[4 + entry])), "song02.xi");

    settings.dowave = 0;
    EXPECT_EQ(wavt(), (Bytes().le16(0).data));
}

TEST_F(WaveTableTest, PatchModeNamesAndDrumLoops)
{
    song.is_xm = 0;
    song.is_midi = 1;
    settings.dopchange = 1;
    settings.drloopno = 1;
    std::strcpy(settings.xi_dir, "xi/");
    add_instrument(1).wave_number = 0;     // drum kit record, unused
    add_instrument(1).wave_number = 0x2A;  // program 41
    add_instrument(1).wave_number = 0xA4;  // drum key 36
    for (int i = 0; i < 3; ++i) song.instrument_table[i].samples[0].is_looping = 1;
    song.wave_count = 3;
    auto b = wavt();
    EXPECT_EQ(b[0], 2); // wave_count - 1 + wave_number of record 0
    EXPECT_EQ(b[2], 1); // index: the record
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[4])), "xi/gmp_2a.xi");
    size_t flags1 = 4 + 13 + 5 + 4;
    EXPECT_EQ(b[flags1], 0x81);
    size_t entry = 2 + 13 + 5 + 4 + 1 + 2 + 10 + 2 + 10 + 1 + 17;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[4 + entry])), "xi/gmp_a4.xi");
    EXPECT_EQ(b[flags1 + entry], 0x80); // drum patch: no loop

    char name[64];
    wave_file_name(0, name, sizeof name);
    EXPECT_STREQ(name, "xi/gmp_00.xi");
    settings.dopchange = 0;
    wave_file_name(0, name, sizeof name);
    EXPECT_STREQ(name, "xi/gmc_01.xi");
}

TEST_F(WaveTableTest, MissingChannelSlotGetsNoWave)
{
    // A native MIDI conversion with one XI file per MIDI channel: only channels 1 and 3 have one.
    song.is_xm = 0;
    song.is_midi = 1;
    std::strcpy(settings.xi_dir, "xi/");
    std::filesystem::create_directory("xi");
    Bytes one, three;
    one.data = kxtest::xi_file("Piano", {1, 2});
    three.data = kxtest::xi_file("Strings", {3, 4, 5, 6});
    one.write("xi/gmc_01.xi");
    three.write("xi/gmc_03.xi");
    kxtest::FakeWindow fake;
    log_state.window = &fake;
    log_state.log_enabled = 0;
    writer.writer_pass = 0;
    load_xi_instruments(nullptr);
    log_state.window = nullptr;

    EXPECT_EQ(song.wave_count, 2);
    EXPECT_EQ(song.instrument_count, 16);
    size_t first = fake.text.find("Can't open XI-file xi/gmc_02.xi");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(fake.text.find("Can't open XI-file xi/gmc_02.xi", first + 1), std::string::npos) << "tried again";
    EXPECT_NE(fake.text.find("Instrument 2 (xi/gmc_03.xi)"), std::string::npos);
    EXPECT_EQ(song.instrument_table[0].wave_number, 1);
    EXPECT_EQ(song.instrument_table[1].wave_number, 0);
    EXPECT_EQ(song.instrument_table[2].wave_number, 3);

    auto b = wavt();
    EXPECT_EQ(b[0], 2);
    EXPECT_EQ(b[2], 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[4])), "xi/gmc_01.xi");
    size_t entry = 2 + 13 + 24 + 4 + 1 + 2 + 10 + 2 + 10 + 1 + 17;
    EXPECT_EQ(b.size(), 2 + 2 * entry);
    EXPECT_EQ(b[2 + entry], 2);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[4 + entry])), "xi/gmc_03.xi");

    // The wave data of both slots, under their slot numbers.
    auto temp = kxtest::read_file(wave_temp_name);
    Bytes want;
    want.le16(2).le16(0).u8(0).le32(4).le16(0x100).le16(0x300);
    want.le16(2).u8(0).le32(8).le16(0x300).le16(0x700).le16(0xC00).le16(0x1200);
    EXPECT_EQ(temp, want.data);
}

} // namespace
