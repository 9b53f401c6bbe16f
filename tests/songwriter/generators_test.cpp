// Generator records in MACH, the cell writer for the Tracker and for alternate targets, and the
// generators' names.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "convert/song.h"
#include "convert/song_layout_helper.h"
#include "core/byteio.h"
#include "core/job_runner.h"
#include "midi/midi_state.h"
#include "settings/settings.h"
#include "songwriter/generators.h"
#include "songwriter/write_primitives.h"
#include "support/test_support.h"
#include "transform/machines_ini.h"

namespace {

class GeneratorTest : public kxtest::WorkDirTest {
protected:
    void SetUp() override
    {
        WorkDirTest::SetUp();
        machine_table_state = MachineTable();
        log_state.window = &fake;
        kxtest::install_machines_ini();
        ASSERT_TRUE(load_machine_descriptions());
    }
    void TearDown() override
    {
        writer = Writer();
        machine_descriptions_reset();
        WorkDirTest::TearDown();
    }
    // Bytes of one generator record as written in the writing pass.
    std::vector<uint8_t> record_bytes(int record, int tracks, const char* name, int tick)
    {
        {
            File out = open_file("mach.bin", "wb");
            writer.output_stream = out.get();
            writer.writer_pass = 1;
            writer.write_count = 0;
            write_generator_machine(record, tracks, 0.5f, -0.25f, name, tick);
            writer.output_stream = nullptr;
        }
        auto b = kxtest::read_file("mach.bin");
        EXPECT_EQ(int64_t(b.size()), writer.write_count);
        return b;
    }
    static std::vector<uint8_t> tail(const std::vector<uint8_t>& b, size_t n)
    {
        return std::vector<uint8_t>(b.end() - long(n), b.end());
    }
    static size_t find(const std::vector<uint8_t>& b, const std::string& s)
    {
        auto it = std::search(b.begin(), b.end(), s.begin(), s.end());
        return it == b.end() ? std::string::npos : size_t(it - b.begin());
    }
    kxtest::FakeWindow fake;
};

TEST_F(GeneratorTest, TrackerRecordLayout)
{
    auto b = record_bytes(role_tracker, 4, "Tracker 01", 6);
    const MachineDescription& d = *machine_description(role_tracker);
    kxtest::Bytes want;
    want.str("Tracker 01").u8(0).u8(1).str(d.dll_name).u8(0);
    want.le32(0x3F000000).le32(0xBE800000); // 0.5, -0.25
    want.le32(0);                           // no machine data
    want.le16(3);
    want.str("Ramp Time (ms)").u8(0).le32(1);
    want.str("Interpolation").u8(0).le32(1);
    want.str("Envelope Length").u8(0).le32(324);
    want.u8(6).le16(4);
    for (int t = 0; t < 4; ++t) want.u8(0).u8(0).u8(0xFF).u8(0).u8(0);
    EXPECT_EQ(b, want.data);
}

TEST_F(GeneratorTest, SizingPassCountsTheSameAndWritesNothing)
{
    auto written = record_bytes(role_primifun, 3, "PrimiFun", 6);
    File out = open_file("size.bin", "wb");
    writer.output_stream = out.get();
    writer.writer_pass = 0;
    writer.write_count = 0;
    write_generator_machine(role_primifun, 3, 0.5f, -0.25f, "PrimiFun", 6);
    out.reset();
    EXPECT_EQ(writer.write_count, int64_t(written.size()));
    EXPECT_TRUE(kxtest::read_file("size.bin").empty());
}

TEST_F(GeneratorTest, PrimiFunAttributesAndInitialState)
{
    auto b = record_bytes(role_primifun, 2, "PrimiFun", 6);
    size_t a = find(b, std::string("Dynamic Channels\0", 17));
    size_t v = find(b, std::string("Default Volume\0", 15));
    size_t t = find(b, std::string("Track available at (dB)\0", 24));
    ASSERT_NE(a, std::string::npos);
    EXPECT_LT(a, v);
    EXPECT_LT(v, t);
    EXPECT_EQ(b[a - 2], 3);
    EXPECT_EQ(b[a - 1], 0);
    std::vector<uint8_t> minus40(b.begin() + long(t + 24), b.begin() + long(t + 28));
    EXPECT_EQ(minus40, (std::vector<uint8_t>{0xD8, 0xFF, 0xFF, 0xFF}));
    // Then the global state, the track count and each track's state from init_bytes.
    const MachineDescription& d = *machine_description(role_primifun);
    std::vector<uint8_t> want(d.init_bytes, d.init_bytes + d.global_bytes);
    want.push_back(2);
    want.push_back(0);
    for (int i = 0; i < 2; ++i)
        want.insert(want.end(), d.init_bytes + d.global_bytes, d.init_bytes + d.global_bytes + d.track_bytes);
    EXPECT_EQ(tail(b, want.size()), want);
}

TEST_F(GeneratorTest, VMidiOutAttributesCarryTheDevice)
{
    settings.midi_device = 3;
    auto b = record_bytes(role_vmidiout, 1, "vMidiOut", 6);
    size_t dev = find(b, std::string("MIDI device\0", 12));
    ASSERT_NE(dev, std::string::npos);
    EXPECT_EQ(b[dev - 2], 2);
    EXPECT_EQ(b[dev + 12], 3);
    size_t method = find(b, std::string("Method\0", 7));
    ASSERT_NE(method, std::string::npos);
    EXPECT_EQ(b[method + 7], 0);
}

TEST_F(GeneratorTest, Es9NeedsItsDataFile)
{
    File out = open_file("mach.bin", "wb");
    writer.output_stream = out.get();
    EXPECT_FALSE(run_guarded([] { write_generator_machine(role_es9, 1, 0, 0, "ES-9", 6); }));
    EXPECT_NE(fake.text.find("No data file for ES-9 (es-9.dat), rip data from any file with ES-9 first!"),
              std::string::npos);
    out.reset();

    kxtest::Bytes data;
    for (int i = 0; i < 5000; ++i) data.u8(unsigned(i * 7));
    data.write("es-9.dat");
    auto b = record_bytes(role_es9, 1, "ES-9", 6);
    const MachineDescription& d = *machine_description(role_es9);
    size_t at = std::strlen("ES-9") + 1 + 1 + std::strlen(d.dll_name) + 1 + 8;
    EXPECT_EQ(b[at] | b[at + 1] << 8 | b[at + 2] << 16, 5000);
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + long(at + 4), b.begin() + long(at + 4 + 5000)), data.data);
}

TEST_F(GeneratorTest, UnknownRecordEndsTheJob)
{
    EXPECT_FALSE(run_guarded([] { write_generator_machine(99, 1, 0, 0, "X", 6); }));
}

// --- cell writer ---

TEST_F(GeneratorTest, TrackerCellGoesToItsRowOnly)
{
    kxtest::layout_song({2, 1}, 2, 16);
    song.cur_machine = 1;
    song.cur_pattern = 1;
    song.cur_track = 1;
    song.cur_row = 5;
    write_cell(0x31, 2, 0x40, 4, 0x20);
    EXPECT_EQ(std::vector<uint8_t>(kxtest::track_row(1, 1, 1, 5), kxtest::track_row(1, 1, 1, 5) + 5),
              (std::vector<uint8_t>{0x31, 2, 0x40, 4, 0x20}));
    // The neighbours still hold the empty cell.
    for (auto [t, r] : {std::pair{1, 4}, {1, 6}, {0, 5}}) {
        uint8_t* row = kxtest::track_row(1, 1, t, r);
        EXPECT_EQ(std::vector<uint8_t>(row, row + 5), (std::vector<uint8_t>{0, 0, 0xFF, 0, 0}));
    }
}

TEST_F(GeneratorTest, CellOutsideTheTablesIsDropped)
{
    kxtest::layout_song({2}, 2, 4);
    std::vector<uint8_t> before(kxtest::track_row(1, 0, 0, 0), kxtest::track_row(1, 0, 0, 0) + 2 * 4 * 5);
    std::vector<uint8_t> master(song.machine_table[0].track_patterns[0].data,
                                song.machine_table[0].track_patterns[0].data + 4 * 4);
    struct Pos { int m, p, t, r; };
    for (Pos pos : {Pos{0, 0, 0, 0}, Pos{2, 0, 0, 0}, Pos{-1, 0, 0, 0}, Pos{1, 2, 0, 0}, Pos{1, -1, 0, 0},
                    Pos{1, 0, 2, 0}, Pos{1, 0, -1, 0}, Pos{1, 0, 0, 4}, Pos{1, 0, 0, -1}}) {
        song.cur_machine = pos.m;
        song.cur_pattern = pos.p;
        song.cur_track = pos.t;
        song.cur_row = pos.r;
        write_cell(0x11, 1, 1, 1, 1);
    }
    EXPECT_EQ(std::vector<uint8_t>(kxtest::track_row(1, 0, 0, 0), kxtest::track_row(1, 0, 0, 0) + 40), before);
    EXPECT_EQ(std::vector<uint8_t>(song.machine_table[0].track_patterns[0].data,
                                   song.machine_table[0].track_patterns[0].data + 16),
              master);
}

TEST_F(GeneratorTest, AlternateTargetFillsEmptyRowThenNoteWaveVolume)
{
    settings.dopfun = 5; // Bass: note 1, waveform 2, volume 3, slide 4
    kxtest::layout_song({1}, 1, 4);
    const MachineDescription& d = *machine_description(role_bass);
    uint8_t* row = kxtest::track_row(1, 0, 0, 2);
    // The empty cell the layout wrote: note 0, wave 0, volume 255, the slide's empty value.
    EXPECT_EQ(std::vector<uint8_t>(row, row + 4),
              (std::vector<uint8_t>{0, 0, 0xFF, d.empty_bytes[d.global_bytes + 3]}));
    song.cur_machine = 1;
    song.cur_row = 2;
    write_cell(0x41, 3, 0x40, 4, 0x20); // effect and value are not stored
    EXPECT_EQ(std::vector<uint8_t>(row, row + 4), (std::vector<uint8_t>{0x41, 3, 0x40, 0xFF}));
    // A cell without a note still writes 0 at the note position.
    write_cell(0, 0, 255, 0, 0);
    EXPECT_EQ(std::vector<uint8_t>(row, row + 4), (std::vector<uint8_t>{0, 0, 0xFF, 0xFF}));
    // Machine 1's global rows start as the record's empty global row.
    EXPECT_EQ(std::vector<uint8_t>(kxtest::global_row(1, 0, 3), kxtest::global_row(1, 0, 3) + d.global_bytes),
              std::vector<uint8_t>(d.empty_bytes, d.empty_bytes + d.global_bytes));
}

TEST_F(GeneratorTest, LaterPositionsOverrideEarlierOnes)
{
    // A machine whose note, wave and volume share positions: volume wins over wave over note,
    // and all three win over the MIDI channel and program of vMidiOut.
    std::ofstream("machines.ini") << "version=2.5\n\"Master\" 0 5 0\n"
                                     "\"T\" 1 1 5 1 2 3 8 0 T\n: 0 : 0 0 0 0 0 : 0 : 0 0 FF 0 0\n"
                                     "\"a\" 2 0 0\n\"b\" 2 0 0\n\"c\" 2 0 0\n\"d\" 2 0 0\n\"e\" 2 0 0\n"
                                     "\"f\" 2 0 0\n\"g\" 2 0 0\n"
                                     "\"V\" 1 0 6 4 5 5 8 0 V\n: : AA BB CC DD EE FF : : A1 B1 C1 D1 E1 F1\n";
    ASSERT_TRUE(load_machine_descriptions());
    settings.dopfun = 8;
    song.is_midi = 1;
    midi_state.midi_out_channel = 7;
    midi_state.midi_out_program = 9;
    kxtest::layout_song({1}, 1, 2);
    song.cur_machine = 1;
    song.cur_row = 1;
    write_cell(0x25, 6, 200, 0, 0);
    uint8_t* row = kxtest::track_row(1, 0, 0, 1);
    EXPECT_EQ(std::vector<uint8_t>(row, row + 6), (std::vector<uint8_t>{0xA1, 0xB1, 0xC1, 0x25, 100, 0xF1}));
}

TEST_F(GeneratorTest, VMidiOutHalvesVolumesAndTakesChannelAndProgram)
{
    settings.dopfun = 8;
    kxtest::layout_song({1}, 1, 4);
    const MachineDescription& d = *machine_description(role_vmidiout);
    uint8_t* row = kxtest::track_row(1, 0, 0, 0);
    song.cur_machine = 1;
    write_cell(0x41, 1, 200, 0, 0);
    EXPECT_EQ(row[d.volume_byte - 1], 100);
    write_cell(0x41, 1, 255, 0, 0);
    EXPECT_EQ(row[d.volume_byte - 1], 255);
    // Module input: channel and program keep their empty values.
    EXPECT_EQ(row[3], d.empty_bytes[d.global_bytes + 3]);
    EXPECT_EQ(row[4], d.empty_bytes[d.global_bytes + 4]);
    // Native MIDI: the note placement's channel and program.
    song.is_midi = 1;
    midi_state.midi_out_channel = 10;
    midi_state.midi_out_program = 33;
    write_cell(0x41, 1, 127, 0, 0);
    EXPECT_EQ(row[3], 10);
    EXPECT_EQ(row[4], 33);
    EXPECT_EQ(row[d.volume_byte - 1], 63);
    // MIDI through the outside converter is module input.
    settings.domidi_ext = 1;
    write_cell(0x41, 1, 127, 0, 0);
    EXPECT_EQ(row[3], d.empty_bytes[d.global_bytes + 3]);
}

// --- names ---

TEST_F(GeneratorTest, NamesOfGenerators)
{
    char name[32];
    kxtest::layout_song({4}, 1, 4);
    generator_name(1, name, sizeof name);
    EXPECT_STREQ(name, "Tracker");

    kxtest::layout_song({1, 1, 1}, 1, 4);
    generator_name(2, name, sizeof name);
    EXPECT_STREQ(name, "Tracker 02");
    settings.do_0track = 1;
    generator_name(2, name, sizeof name);
    EXPECT_STREQ(name, "Tracker 01");
    settings.do_0track = 0;
    settings.dopfun = 1;
    generator_name(3, name, sizeof name);
    EXPECT_STREQ(name, "PrimiFun 03");
}

TEST_F(GeneratorTest, InstrumentSplitNamesCarryInstrumentNumbers)
{
    settings.dotsplit = 2;
    kxtest::allocate_instruments(8, 2, 1);
    song.instrument_table[2].track_map[0] = 1; // instrument 3
    song.instrument_table[6].track_map[1] = 1; // instrument 7
    auto tracks = kxtest::number_instrument_machines();
    ASSERT_EQ(tracks.size(), 2u);
    kxtest::layout_song(tracks, 1, 4);
    char name[32];
    generator_name(1, name, sizeof name);
    EXPECT_STREQ(name, "Tracker 03");
    generator_name(2, name, sizeof name);
    EXPECT_STREQ(name, "Tracker 07");
    settings.do_0track = 1;
    generator_name(1, name, sizeof name);
    EXPECT_STREQ(name, "Tracker 02");
    generator_name(2, name, sizeof name);
    EXPECT_STREQ(name, "Tracker 06");
    // MIDI input numbers machines plainly.
    song.is_midi = 1;
    generator_name(2, name, sizeof name);
    EXPECT_STREQ(name, "Tracker 01");
}

} // namespace
