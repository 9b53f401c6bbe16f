// Generator records in MACH, the cell writer for the Tracker and for alternate targets, and the
// generators' names.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>

#include "buzz/machines_ini.h"
#include "convert/song_layout_helper.h"
#include "song/midi_state.h"
#include "songwriter/generators.h"
#include "song_builder.h"

namespace {

using Row = std::vector<uint8_t>;

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
        machine_descriptions_reset();
        WorkDirTest::TearDown();
    }
    // One generator record through both passes.
    static Row record(int role, int tracks, const char* name)
    {
        return kxtest::two_passes([&] { write_generator_machine(role, tracks, 0.5f, -0.25f, name, 6); });
    }
    // n bytes of `b` after the text s and its NUL.
    static Row after(const Row& b, const std::string& s, size_t n)
    {
        const std::string t = s + '\0';
        size_t at = size_t(std::search(b.begin(), b.end(), t.begin(), t.end()) - b.begin()) + t.size();
        return at + n <= b.size() ? Row(b.begin() + long(at), b.begin() + long(at + n)) : Row();
    }
    static Row row(int m, int p, int t, int r, int n) { return Row(kxtest::track_row(m, p, t, r), kxtest::track_row(m, p, t, r) + n); }
    // Writes a cell at row r of machine m's pattern 0, track 0.
    static void cell(int m, int r, uint8_t note, uint8_t wave, uint8_t volume)
    {
        song.cur_machine = m;
        song.cur_row = r;
        write_cell(note, wave, volume, 4, 0x20); // effect and value are not stored
    }
    kxtest::FakeWindow fake;
};

TEST_F(GeneratorTest, TrackerRecordLayout)
{
    const MachineDescription& d = *machine_description(role_tracker);
    kxtest::Bytes want = kxtest::Bytes().str("Tracker 01").u8(0).u8(1).str(d.dll_name).u8(0);
    want.le32(0x3F000000).le32(0xBE800000).le32(0); // 0.5, -0.25, no machine data
    want.le16(3).str("Ramp Time (ms)").u8(0).le32(1).str("Interpolation").u8(0).le32(1);
    want.str("Envelope Length").u8(0).le32(324).u8(6).le16(4);
    for (int t = 0; t < 4; ++t) want.u8(0).u8(0).u8(0xFF).u8(0).u8(0);
    EXPECT_EQ(record(role_tracker, 4, "Tracker 01"), want.data);
    EXPECT_FALSE(run_guarded([] { write_generator_machine(99, 1, 0, 0, "X", 6); })); // no such record
}

TEST_F(GeneratorTest, PrimiFunAttributesAndInitialState)
{
    auto b = record(role_primifun, 2, "P");
    auto pos = [&](const std::string& t) { return std::search(b.begin(), b.end(), t.begin(), t.end()) - b.begin(); };
    EXPECT_EQ(after(b, machine_description(role_primifun)->dll_name, 14),
              (Row{0, 0, 0, 0x3F, 0, 0, 0x80, 0xBE, 0, 0, 0, 0, 3, 0})); // x, y, no data, three attributes
    EXPECT_LT(pos("Dynamic Channels"), pos("Default Volume"));
    EXPECT_LT(pos("Default Volume"), pos("Track available at (dB)"));
    EXPECT_EQ(after(b, "Track available at (dB)", 4), (Row{0xD8, 0xFF, 0xFF, 0xFF})); // -40
    // The global state, the track count and each track's state from the initial bytes.
    const MachineDescription& d = *machine_description(role_primifun);
    Row want(d.init_bytes, d.init_bytes + d.global_bytes);
    want.insert(want.end(), {2, 0});
    for (int i = 0; i < 2; ++i) want.insert(want.end(), d.init_bytes + d.global_bytes, d.init_bytes + d.global_bytes + d.track_bytes);
    EXPECT_EQ(Row(b.end() - long(want.size()), b.end()), want);
}

TEST_F(GeneratorTest, Es9NeedsItsDataFile)
{
    EXPECT_FALSE(run_guarded([] { write_generator_machine(role_es9, 1, 0, 0, "ES-9", 6); }));
    EXPECT_NE(fake.text.find("No data file for ES-9 (es-9.dat), rip data from any file with ES-9 first!"), std::string::npos);
    kxtest::Bytes data;
    for (int i = 0; i < 5000; ++i) data.u8(unsigned(i * 7));
    data.write("es-9.dat");
    Row got = after(record(role_es9, 1, "ES-9"), machine_description(role_es9)->dll_name, 8 + 4 + 5000);
    ASSERT_EQ(got.size(), 5012u);
    EXPECT_EQ(kxtest::dword_at(got, 8), 5000u); // the data's size, then the data
    EXPECT_EQ(Row(got.begin() + 12, got.end()), data.data);
}

TEST_F(GeneratorTest, CellGoesToItsRowOnly)
{
    kxtest::layout_song({2, 2}, 2, 4);
    std::vector<Row> before;
    for (int m = 0; m < 3; ++m)
        for (int p = 0; p < 2; ++p) before.push_back(row(m, p, 0, 0, m == 0 ? 2 * 4 * 4 : 2 * 4 * 5));
    struct Pos { int m, p, t, r; };
    for (Pos pos : {Pos{2, 1, 1, 3}, Pos{0, 0, 0, 0}, Pos{3, 0, 0, 0}, Pos{-1, 0, 0, 0}, Pos{1, 2, 0, 0},
                    Pos{1, -1, 0, 0}, Pos{1, 0, 2, 0}, Pos{1, 0, -1, 0}, Pos{1, 0, 0, 4}, Pos{1, 0, 0, -1}}) {
        song.cur_pattern = pos.p;
        song.cur_track = pos.t;
        cell(pos.m, pos.r, 0x31, 2, 0x40); // only the first position is inside the tables
    }
    std::copy_n(Row{0x31, 2, 0x40, 4, 0x20}.begin(), 5, before[5].begin() + (4 + 3) * 5);
    for (int m = 0, i = 0; m < 3; ++m)
        for (int p = 0; p < 2; ++p, ++i) EXPECT_EQ(row(m, p, 0, 0, int(before[size_t(i)].size())), before[size_t(i)]) << m << p;
}

TEST_F(GeneratorTest, AlternateTargetFillsEmptyRowThenNoteWaveVolume)
{
    settings.dopfun = 5; // Bass: note 1, waveform 2, volume 3, slide 4
    kxtest::layout_song({1}, 1, 4);
    const MachineDescription& d = *machine_description(role_bass);
    const uint8_t slide = d.empty_bytes[d.global_bytes + 3];
    EXPECT_EQ(row(1, 0, 0, 2, 4), (Row{0, 0, 0xFF, slide})); // the empty cell of the layout
    EXPECT_EQ(Row(kxtest::global_row(1, 0, 3), kxtest::global_row(1, 0, 3) + d.global_bytes),
              Row(d.empty_bytes, d.empty_bytes + d.global_bytes));
    cell(1, 2, 0x41, 3, 0x40);
    EXPECT_EQ(row(1, 0, 0, 2, 4), (Row{0x41, 3, 0x40, slide}));
    cell(1, 2, 0, 0, 255); // a cell without a note still writes 0 at the note position
    EXPECT_EQ(row(1, 0, 0, 2, 4), (Row{0, 0, 0xFF, slide}));

    // Note, wave and volume at one position: volume wins over wave over note, and all three win
    // over vMidiOut's MIDI channel and program.
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
    cell(1, 1, 0x25, 6, 200);
    EXPECT_EQ(row(1, 0, 0, 1, 6), (Row{0xA1, 0xB1, 0xC1, 0x25, 100, 0xF1}));
}

TEST_F(GeneratorTest, VMidiOutHalvesVolumesAndTakesChannelAndProgram)
{
    settings.dopfun = 8;
    kxtest::layout_song({1}, 1, 4);
    const MachineDescription& d = *machine_description(role_vmidiout);
    const uint8_t* empty = d.empty_bytes + d.global_bytes;
    midi_state.midi_out_channel = 10;
    midi_state.midi_out_program = 33;
    struct Case { int is_midi, ext; uint8_t volume, want_volume, channel, program; } cases[] = {
        {0, 0, 200, 100, empty[3], empty[4]}, // module input: channel and program stay empty
        {0, 0, 255, 255, empty[3], empty[4]}, // 255: no volume
        {1, 0, 127, 63, 10, 33},              // native MIDI: the note placement's
        {1, 1, 127, 63, empty[3], empty[4]},  // MIDI through the outside converter is module input
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.volume));
        song.is_midi = c.is_midi;
        settings.domidi_ext = c.ext;
        cell(1, 0, 0x41, 1, c.volume);
        Row r = row(1, 0, 0, 0, d.track_bytes);
        EXPECT_EQ(Row({r[3], r[4], r[size_t(d.volume_byte - 1)]}), Row({c.channel, c.program, c.want_volume}));
    }
}

TEST_F(GeneratorTest, NamesOfGenerators)
{
    auto names = [] {
        std::string all;
        char name[32];
        for (int k = 1; k < song.machine_count; ++k) {
            generator_name(k, name, sizeof name);
            all += std::string(k > 1 ? "," : "") + name;
        }
        return all;
    };
    kxtest::layout_song({4}, 1, 4);
    EXPECT_EQ(names(), "Tracker");
    kxtest::layout_song({1, 1, 1}, 1, 4);
    EXPECT_EQ(names(), "Tracker 01,Tracker 02,Tracker 03");
    settings.do_0track = 1;
    EXPECT_EQ(names(), "Tracker 00,Tracker 01,Tracker 02");
    settings.do_0track = 0;
    settings.dopfun = 1;
    EXPECT_EQ(names(), "PrimiFun 01,PrimiFun 02,PrimiFun 03");

    settings = Settings(); // split by instrument: the machines carry the instrument numbers
    settings.dotsplit = 2;
    kxtest::allocate_instruments(8, 2, 1);
    song.instrument_table[2].track_map[0] = 1; // instrument 3
    song.instrument_table[6].track_map[1] = 1; // instrument 7
    kxtest::layout_song(kxtest::number_instrument_machines(), 1, 4);
    EXPECT_EQ(names(), "Tracker 03,Tracker 07");
    settings.do_0track = 1;
    EXPECT_EQ(names(), "Tracker 02,Tracker 06");
    song.is_midi = 1; // MIDI input numbers machines plainly
    EXPECT_EQ(names(), "Tracker 00,Tracker 01");
}

} // namespace
