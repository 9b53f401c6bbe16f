// Generator records in MACH, the cell writer for the Tracker and for alternate targets, and the
// generators' names.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>

#include "convert/song_layout_helper.h"
#include "midi/midi_state.h"
#include "songwriter/generators.h"
#include "transform/machines_ini.h"
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
    static std::vector<uint8_t> record(int role, int tracks, const char* name)
    {
        return kxtest::two_passes([&] { write_generator_machine(role, tracks, 0.5f, -0.25f, name, 6); });
    }
    static size_t find(const std::vector<uint8_t>& b, const std::string& s)
    {
        return size_t(std::search(b.begin(), b.end(), s.begin(), s.end()) - b.begin());
    }
    static Row row(int m, int p, int t, int r, int n) { return Row(kxtest::track_row(m, p, t, r), kxtest::track_row(m, p, t, r) + n); }
    static void at(int m, int r)
    {
        song.cur_machine = m;
        song.cur_row = r;
    }
    kxtest::FakeWindow fake;
};

TEST_F(GeneratorTest, TrackerRecordLayout)
{
    const MachineDescription& d = *machine_description(role_tracker);
    kxtest::Bytes want;
    want.str("Tracker 01").u8(0).u8(1).str(d.dll_name).u8(0);
    want.le32(0x3F000000).le32(0xBE800000).le32(0); // 0.5, -0.25, no machine data
    want.le16(3).str("Ramp Time (ms)").u8(0).le32(1).str("Interpolation").u8(0).le32(1);
    want.str("Envelope Length").u8(0).le32(324);
    want.u8(6).le16(4);
    for (int t = 0; t < 4; ++t) want.u8(0).u8(0).u8(0xFF).u8(0).u8(0);
    EXPECT_EQ(record(role_tracker, 4, "Tracker 01"), want.data);
    EXPECT_FALSE(run_guarded([] { write_generator_machine(99, 1, 0, 0, "X", 6); })); // no such record
}

TEST_F(GeneratorTest, PrimiFunAttributesAndInitialState)
{
    auto b = record(role_primifun, 2, "PrimiFun");
    size_t a = find(b, std::string("Dynamic Channels\0", 17));
    size_t v = find(b, std::string("Default Volume\0", 15));
    size_t t = find(b, std::string("Track available at (dB)\0", 24));
    ASSERT_LT(a, v);
    ASSERT_LT(v, t);
    ASSERT_LT(t, b.size());
    EXPECT_EQ(Row(b.begin() + long(a - 2), b.begin() + long(a)), (Row{3, 0})); // three attributes
    EXPECT_EQ(Row(b.begin() + long(t + 24), b.begin() + long(t + 28)), (Row{0xD8, 0xFF, 0xFF, 0xFF})); // -40
    // The global state, the track count and each track's state from the initial bytes.
    const MachineDescription& d = *machine_description(role_primifun);
    Row want(d.init_bytes, d.init_bytes + d.global_bytes);
    want.insert(want.end(), {2, 0});
    for (int i = 0; i < 2; ++i)
        want.insert(want.end(), d.init_bytes + d.global_bytes, d.init_bytes + d.global_bytes + d.track_bytes);
    EXPECT_EQ(Row(b.end() - long(want.size()), b.end()), want);
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
    auto b = record(role_es9, 1, "ES-9");
    size_t at = std::strlen("ES-9") + 3 + std::strlen(machine_description(role_es9)->dll_name) + 8;
    EXPECT_EQ(kxtest::dword_at(b, at), 5000u);
    EXPECT_EQ(Row(b.begin() + long(at + 4), b.begin() + long(at + 4 + 5000)), data.data);
}

TEST_F(GeneratorTest, TrackerCellGoesToItsRowOnly)
{
    kxtest::layout_song({2, 2}, 2, 4);
    std::vector<Row> before;
    for (int m = 0; m < 3; ++m)
        for (int p = 0; p < 2; ++p) before.push_back(row(m, p, 0, 0, m == 0 ? 2 * 4 * 4 : 2 * 4 * 5));
    struct Pos { int m, p, t, r; };
    for (Pos pos : {Pos{2, 1, 1, 3}, Pos{0, 0, 0, 0}, Pos{3, 0, 0, 0}, Pos{-1, 0, 0, 0}, Pos{1, 2, 0, 0},
                    Pos{1, -1, 0, 0}, Pos{1, 0, 2, 0}, Pos{1, 0, -1, 0}, Pos{1, 0, 0, 4}, Pos{1, 0, 0, -1}}) {
        song.cur_machine = pos.m;
        song.cur_pattern = pos.p;
        song.cur_track = pos.t;
        song.cur_row = pos.r;
        write_cell(0x31, 2, 0x40, 4, 0x20); // only the first position is inside the tables
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
    at(1, 2);
    write_cell(0x41, 3, 0x40, 4, 0x20); // effect and value are not stored
    EXPECT_EQ(row(1, 0, 0, 2, 4), (Row{0x41, 3, 0x40, slide}));
    write_cell(0, 0, 255, 0, 0); // a cell without a note still writes 0 at the note position
    EXPECT_EQ(row(1, 0, 0, 2, 4), (Row{0, 0, 0xFF, slide}));
    EXPECT_EQ(Row(kxtest::global_row(1, 0, 3), kxtest::global_row(1, 0, 3) + d.global_bytes),
              Row(d.empty_bytes, d.empty_bytes + d.global_bytes));
}

TEST_F(GeneratorTest, LaterPositionsOverrideEarlierOnes)
{
    // Note, wave and volume share a position: volume wins over wave over note, and all three
    // win over vMidiOut's MIDI channel and program.
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
    at(1, 1);
    write_cell(0x25, 6, 200, 0, 0);
    EXPECT_EQ(row(1, 0, 0, 1, 6), (Row{0xA1, 0xB1, 0xC1, 0x25, 100, 0xF1}));
}

TEST_F(GeneratorTest, VMidiOutHalvesVolumesAndTakesChannelAndProgram)
{
    settings.dopfun = 8;
    kxtest::layout_song({1}, 1, 4);
    const MachineDescription& d = *machine_description(role_vmidiout);
    const uint8_t* empty = d.empty_bytes + d.global_bytes;
    uint8_t* r = kxtest::track_row(1, 0, 0, 0);
    at(1, 0);
    struct Case {
        int is_midi, ext;
        uint8_t volume, want_volume, channel, program;
    } cases[] = {
        {0, 0, 200, 100, empty[3], empty[4]}, // module input: channel and program stay empty
        {0, 0, 255, 255, empty[3], empty[4]}, // 255: no volume
        {1, 0, 127, 63, 10, 33},              // native MIDI: the note placement's
        {1, 1, 127, 63, empty[3], empty[4]},  // MIDI through the outside converter is module input
    };
    midi_state.midi_out_channel = 10;
    midi_state.midi_out_program = 33;
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.volume));
        song.is_midi = c.is_midi;
        settings.domidi_ext = c.ext;
        write_cell(0x41, 1, c.volume, 0, 0);
        EXPECT_EQ(r[d.volume_byte - 1], c.want_volume);
        EXPECT_EQ(r[3], c.channel);
        EXPECT_EQ(r[4], c.program);
    }
}

TEST_F(GeneratorTest, NamesOfGenerators)
{
    char name[32];
    auto name_of = [&](int k) {
        generator_name(k, name, sizeof name);
        return std::string(name);
    };
    kxtest::layout_song({4}, 1, 4);
    EXPECT_EQ(name_of(1), "Tracker");
    kxtest::layout_song({1, 1, 1}, 1, 4);
    EXPECT_EQ(name_of(2), "Tracker 02");
    settings.do_0track = 1;
    EXPECT_EQ(name_of(2), "Tracker 01");
    settings.do_0track = 0;
    settings.dopfun = 1;
    EXPECT_EQ(name_of(3), "PrimiFun 03");

    // Split by instrument: the machines carry the instrument numbers.
    settings = Settings();
    settings.dotsplit = 2;
    kxtest::allocate_instruments(8, 2, 1);
    song.instrument_table[2].track_map[0] = 1; // instrument 3
    song.instrument_table[6].track_map[1] = 1; // instrument 7
    kxtest::layout_song(kxtest::number_instrument_machines(), 1, 4);
    EXPECT_EQ(name_of(1) + "," + name_of(2), "Tracker 03,Tracker 07");
    settings.do_0track = 1;
    EXPECT_EQ(name_of(1) + "," + name_of(2), "Tracker 02,Tracker 06");
    song.is_midi = 1; // MIDI input numbers machines plainly
    EXPECT_EQ(name_of(2), "Tracker 01");
}

} // namespace
