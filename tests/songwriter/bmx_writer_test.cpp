// Whole songs from the writer, compared byte for byte with songs put together by hand.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>

#include "buzz/machines_ini.h"
#include "songwriter/bmx_writer.h"
#include "song_builder.h"

namespace {

namespace fs = std::filesystem;
using kxtest::Bytes;
using kxtest::dword_at;

// Header and directory (MACH, CONN, WAVT, PATT, SEQU, BLAH, WAVE from offset 380), then the bodies.
std::vector<uint8_t> song_file(const std::vector<Bytes>& bodies)
{
    static const char* tags[] = {"MACH", "CONN", "WAVT", "PATT", "SEQU", "BLAH", "WAVE"};
    Bytes f = Bytes().str("Buzz").le32(uint32_t(bodies.size()));
    uint32_t at = 380;
    for (size_t i = 0; i < bodies.size(); at += uint32_t(bodies[i].size()), ++i)
        f.str(tags[i]).le32(at).le32(uint32_t(bodies[i].size()));
    f.fill(12 * (31 - bodies.size()), 0);
    for (const Bytes& b : bodies) f.append(b);
    return f.data;
}

Bytes master_record(unsigned machines)
{
    return Bytes().le16(machines).str("Master").u8(0).u8(0).le32(0).le32(0).le32(0).le16(0).le16(3003).le16(125).u8(4).le16(0);
}

Bytes blah(const std::string& tail)
{
    std::string t = "This song was translated by kestrix v3e (WinGUI) - the kestrix authors "
                    "(kestrix@example.org) \r\n\r\n" + tail;
    return Bytes().le32(uint32_t(t.size())).str(t);
}

class BmxWriterTest : public kxtest::WorkDirTest {
protected:
    // Writes the song to "out.bmx" and reads it back into `out`; false when the job ended.
    bool write(FILE* input = nullptr)
    {
        File f = open_file("out.bmx", "wb");
        writer.output_stream = f.get();
        bool ok = run_guarded([&] { write_song(input); });
        writer.output_stream = nullptr;
        f.reset();
        out = kxtest::read_file("out.bmx");
        return ok;
    }
    // The directory entries in use are back to back from 380, the last ends with the file and
    // the unused ones are zero.
    void check_directory()
    {
        uint32_t n = dword_at(out, 4), at = 380;
        for (uint32_t i = 0; i < n; at += dword_at(out, 8 + 12 * i + 8), ++i)
            EXPECT_EQ(dword_at(out, 8 + 12 * i + 4), at) << "section " << i;
        EXPECT_EQ(at, out.size());
        EXPECT_EQ(std::count(out.begin() + 8 + 12 * n, out.begin() + 380, 0), long(380 - 8 - 12 * n));
    }
    // A song of the Master alone, as an XI conversion lays it out.
    void master_only_song(int dowave)
    {
        kxtest::build_song(1, 0, 0, 0);
        song.song_length = song.is_xi = 1;
        std::strcpy(song.current_input, "bell.xi");
        settings.dowave = dowave;
        settings.blines = 64;
    }
    // A module's song of the Master and Tracker generators.
    void generator_song(int machines, int patterns, int lines)
    {
        kxtest::install_machines_ini();
        ASSERT_TRUE(load_machine_descriptions());
        kxtest::build_song(machines, patterns, lines, 1);
        settings.dowave = 0;
        std::strcpy(song.current_input, "tiny.xm");
        std::strcpy(song.song_name, "tiny");
        song.is_xm = 1;
    }
    std::vector<uint8_t> out;
};

TEST_F(BmxWriterTest, XiSongCarriesTheInstrumentAsItsWave)
{
    master_only_song(2);
    Bytes xi;
    xi.data = kxtest::xi_file("Bell", {10, 250, 0, 0});
    xi.write("bell.xi");
    ASSERT_TRUE(write());
    Bytes wavt = Bytes().le16(1).le16(0).str("bell.xi").u8(0).str(" Bell").fill(18, ' ').u8(0);
    wavt.le32(0x3F800000).u8(0x80).le16(1).le16(2000).le16(3000).le16(60000).le16(10000).u8(10).u8(0x10);
    wavt.le16(0x8002).le16(0).le16(0xFFFF).u8(0).le16(0xFFFF).le16(0).u8(0);
    wavt.u8(1).le32(4).le32(0).le32(0).le32(8363).u8(0x41);
    // One wave, index 0, 16-bit, four values from the deltas 10, -6, 0, 0.
    Bytes wave = Bytes().le16(1).le16(0).u8(0).le32(8).le16(2560).le16(1024).le16(1024).le16(1024);
    EXPECT_EQ(out, song_file({master_record(1), Bytes().le16(0), wavt, Bytes().le32(0),
                              Bytes().le32(64).le32(0).le32(64).le16(0),
                              blah("original xi-File: bell.xi      \"\" \r\n"), wave}));
}

TEST_F(BmxWriterTest, BmwHasSixSectionsAndEndsWithTheInfoText)
{
    master_only_song(1);
    song.is_xi = 0;
    std::strcpy(song.current_input, "x.xm");
    ASSERT_TRUE(write());
    check_directory();
    EXPECT_EQ(dword_at(out, 4), 6u);
    const std::string tail = "original module: x.xm      \"\" \r\n";
    EXPECT_EQ(std::string(out.end() - long(tail.size()), out.end()), tail);
}

TEST_F(BmxWriterTest, MasterTempoAndTicksPerBeat)
{
    struct Case { int start_speed, bpm, tpb_factor, is_midi, midi_tpb; uint8_t tempo, tpb; } cases[] = {
        {4, 125, 1, 0, 0, 187, 4}, // from the starting speed, not from the last speed effect
        {0, 140, 1, 0, 0, 140, 4}, // no starting speed: the BPM
        {3, 125, 4, 0, 0, 250, 16}, {6, 125, 1, 1, 0x118, 125, 0x18}, // native MIDI: its ticks per beat
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tempo);
        master_only_song(0);
        song.is_xi = 0;
        song.start_speed = c.start_speed;
        song.speed = 2;
        song.bpm = c.bpm;
        song.tpb_factor = c.tpb_factor;
        song.is_midi = c.is_midi;
        settings.midi_tpb = c.midi_tpb;
        ASSERT_TRUE(write());
        EXPECT_EQ(std::vector<uint8_t>(out.begin() + 406, out.begin() + 409), (std::vector<uint8_t>{c.tempo, 0, c.tpb}));
    }
}

TEST_F(BmxWriterTest, IncompleteSongModelEndsTheJobInsteadOfCrashing)
{
    master_only_song(0);
    song.is_xi = 0;
    song.pattern_count = 2; // patterns without a pattern table
    song.pattern_table = nullptr;
    EXPECT_FALSE(write());
    song.pattern_count = 0;
    song.machine_table = nullptr;
    EXPECT_FALSE(write());
}

// The WAVE data is decoded from the input where the reading passes found it, with a progress
// dot per 100000 bytes written.
TEST_F(BmxWriterTest, WaveDataIsDecodedFromTheInput)
{
    master_only_song(2);
    song.is_xi = 0;
    Bytes in = Bytes().str("head");
    Bytes wave = Bytes().le16(1).le16(3).u8(0).le32(300002);
    uint8_t v = 0;
    for (int i = 0; i < 150000; ++i) {
        in.u8(uint8_t(i * 7));
        wave.u8(0).u8(v = uint8_t(v + i * 7));
    }
    wave.le16(0);
    in.write("in.bin");
    song.instrument_count = 1;
    song.wave_data_count = 1;
    song.instrument_table = pool_array<InstrumentRecord>(1);
    InstrumentRecord& ins = song.instrument_table[0];
    ins.sample_count = 2;
    ins.samples = pool_array<SampleRecord>(2);
    ins.wave_entry = 1;
    ins.wave_index = 3;
    ins.wave_entry_bytes = 300002;
    ins.samples[0].data_offset = 4;
    ins.samples[0].data_values = 150000;
    ins.samples[1].data_zero = 1;
    kxtest::FakeWindow fake;
    log_state.window = &fake;
    log_state.log_enabled = 0;
    File f = open_file("in.bin", "rb");
    ASSERT_TRUE(write(f.get()));
    check_directory();
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + dword_at(out, 8 + 12 * 6 + 4), out.end()), wave.data);
    EXPECT_EQ(fake.text, "...");
    ins.samples[0].data_offset = 5; // one value more than the file holds: it changed meanwhile
    EXPECT_FALSE(write(f.get()));
    log_state.window = nullptr;
}

TEST_F(BmxWriterTest, OneGeneratorSongIsByteExact)
{
    generator_song(2, 1, 2);
    kxtest::use_pattern(1, 0);
    kxtest::put_note(1, 0, 0, 1, 0x41);
    kxtest::set_order({0});
    ASSERT_TRUE(write());

    const MachineDescription* d = machine_description(role_tracker);
    Bytes mach = master_record(2).str(d->short_name).u8(0).u8(1).str(d->dll_name).u8(0);
    mach.le32(0xBF4CCCCDu).le32(0x80000000u).le32(0); // x -0.8 in single precision, y -0.0
    mach.le16(3).str("Ramp Time (ms)").u8(0).le32(1).str("Interpolation").u8(0).le32(1);
    mach.str("Envelope Length").u8(0).le32(324).u8(6).le16(1).u8(0).u8(0).u8(0xFF).u8(0).u8(0);
    Bytes conn = Bytes().le16(1).le16(1).le16(0).le16(0x4000).le16(0x4000); // machine 1 -> 0
    Bytes patt = Bytes().le32(0).le16(1).le16(1).str("00").u8(0).le16(2).u8(0).u8(0); // the Master plays nothing
    patt.u8(0).u8(0).u8(0xFF).u8(0).u8(0).u8(0x41).u8(0).u8(0xFF).u8(0).u8(0);
    Bytes sequ = Bytes().le32(2).le32(0).le32(2).le16(1).le16(1).le32(1).u8(2).u8(1).le16(0).u8(0x10);
    EXPECT_EQ(out, song_file({mach, conn, Bytes().le16(0), patt, sequ,
                              blah("original module: tiny.xm      \"tiny\" \r\n"), Bytes().le16(0)}));
}

TEST_F(BmxWriterTest, DuplicatesFoundInTheSizingPassAreCountedOnce)
{
    generator_song(2, 3, 4);
    for (int p = 0; p < 3; ++p) kxtest::use_pattern(1, p);
    kxtest::put_note(1, 1, 0, 0, 0x30);
    kxtest::set_order({0, 1, 2, 1});
    settings.remove_2pat = 1;
    ASSERT_TRUE(write());
    check_directory();
    EXPECT_EQ(song.duplicates_removed, 1); // pattern 2 repeats pattern 0
    EXPECT_EQ(song.machine_table[1].patterns_written, 2);
}

} // namespace
