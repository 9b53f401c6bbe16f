// The conversion driver's own decisions: input kinds from names, the machine layout after the
// first pass with its limits, and the machine numbering of split-by-instrument.
#include "support/test_support.h"

#include <cstring>

#include "convert/driver.h"
#include "convert/song.h"
#include "core/job_runner.h"
#include "core/pool.h"
#include "settings/settings.h"
#include "transform/machines_ini.h"

namespace {

class DriverInputKind : public kxtest::WorkDirTest {};

TEST_F(DriverInputKind, ExtensionsAreFoundInTheFileNameOnly)
{
    detect_input_kind("songs.it/tune.xm");
    EXPECT_EQ(song.is_it, 0);
    EXPECT_STREQ(song.current_input, "songs.it/tune.xm");
    EXPECT_STREQ(song.converter_input, "");

    song_reset_defaults();
    detect_input_kind("music\\tune.it");
    EXPECT_EQ(song.is_it, 1);
    EXPECT_STREQ(song.converter_input, "music\\tune.it");
}

TEST_F(DriverInputKind, MidiNameIsTheConverterInput)
{
    detect_input_kind("x.mid");
    EXPECT_EQ(song.is_midi, 1);
    EXPECT_STREQ(song.converter_input, "x.mid");
    EXPECT_STREQ(song.current_input, "");
}

TEST_F(DriverInputKind, NativeModMakesNoBmwForGood)
{
    settings.dowave = 1;
    detect_input_kind("a.mod");
    EXPECT_EQ(song.is_mod, 1);
    EXPECT_EQ(settings.dowave, 0);
    EXPECT_EQ(song.write_xi, 0);
    EXPECT_STREQ(song.converter_input, "");

    song_reset_defaults();
    settings.dowave = 1;
    settings.domod_ext = 1;
    detect_input_kind("a.mod");
    EXPECT_EQ(settings.dowave, 1);
    EXPECT_EQ(song.write_xi, 1);
    EXPECT_STREQ(song.converter_input, "a.mod");
}

TEST_F(DriverInputKind, SongAndInstrumentFiles)
{
    detect_input_kind("s.bmw");
    EXPECT_EQ(song.song_kind, 1);
    song_reset_defaults();
    detect_input_kind("s.bmx");
    EXPECT_EQ(song.song_kind, 2);
    song_reset_defaults();
    detect_input_kind("piano.xi");
    EXPECT_EQ(song.is_xi, 1);
    EXPECT_EQ(song.song_kind, 0);
}

// A machine table with the records the layout reads: the Master, the Tracker, PrimiFun and an
// effect in the place of Organ.
class DriverLayout : public kxtest::WorkDirTest {
protected:
    void SetUp() override
    {
        WorkDirTest::SetUp();
        auto* t = pool_array<MachineDescription>(4);
        std::strcpy(t[0].dll_name, "Master");
        t[0].global_bytes = 5;
        std::strcpy(t[1].dll_name, "Jeskola Tracker");
        t[1].type = 1;
        t[1].global_bytes = 1;
        t[1].track_bytes = 5;
        t[1].note_byte = 1;
        t[1].wave_byte = 2;
        t[1].volume_byte = 3;
        t[1].max_tracks = 32;
        std::strcpy(t[2].dll_name, "PrimiFun");
        t[2].type = 1;
        t[2].global_bytes = 2;
        t[2].track_bytes = 4;
        t[2].note_byte = 1;
        t[2].wave_byte = 2;
        t[2].volume_byte = 3;
        t[2].max_tracks = 16;
        const uint8_t empty[] = {0xAA, 0xBB, 0x11, 0x22, 0x33, 0x44};
        std::memcpy(t[2].empty_bytes, empty, sizeof empty);
        std::strcpy(t[3].dll_name, "Jeskola Delay");
        t[3].type = 2;
        machine_table_state.machine_descriptions = t;
        machine_table_state.machine_description_count = 4;
        log_state.window = &window;
    }
    void TearDown() override
    {
        log_state.window = nullptr;
        machine_descriptions_reset();
        WorkDirTest::TearDown();
    }
    bool have_lookup() { return machine_description(1) != nullptr; }

    // A module of `channels` channels and patterns of the given lines.
    void module(int channels, std::initializer_list<int> lines)
    {
        song.channel_count = channels;
        song.pattern_count = int(lines.size());
        song.pattern_table = pool_array<PatternInfo>(lines.size());
        int p = 0;
        for (int l : lines) song.pattern_table[p++].lines = l;
    }
    bool layout() { return run_guarded([] { lay_out_machines(); }); }

    kxtest::FakeWindow window;
};

TEST_F(DriverLayout, OneTrackerPlaysEveryChannel)
{
    if (!have_lookup()) GTEST_SKIP() << "machine table lookup not available";
    settings.dotsplit = 0;
    module(4, {4, 3});
    song.machine_count = 2;
    song.tracks_per_generator = 4;
    song.pattern_table[1].play_lines = 1;
    ASSERT_TRUE(layout()) << window.text;

    const MachineRecord& master = song.machine_table[0];
    EXPECT_EQ(master.kind, 0);
    EXPECT_EQ(master.track_count, 1);
    EXPECT_EQ(master.track_row_bytes, 4);
    EXPECT_EQ(master.global_row_bytes, 5);
    for (int i = 0; i < 3 * 4; ++i) EXPECT_EQ(master.track_patterns[1].data[i], 255);
    for (int i = 0; i < 3 * 5; ++i) EXPECT_EQ(master.global_patterns[1].data[i], 255);
    EXPECT_EQ(song.pattern_table[1].play_lines, 3);

    const MachineRecord& tracker = song.machine_table[1];
    EXPECT_EQ(tracker.kind, 1);
    EXPECT_EQ(tracker.track_count, 4);
    EXPECT_EQ(tracker.track_row_bytes, 5);
    EXPECT_EQ(tracker.global_row_bytes, 1);
    ASSERT_NE(tracker.global_patterns, nullptr);
    for (int r = 0; r < 4; ++r) EXPECT_EQ(tracker.global_patterns[0].data[r], 0);
    // Track 3, row 2 of pattern 0: the empty Tracker cell.
    const uint8_t* cell = tracker.track_patterns[0].data + (3 * 4 + 2) * 5;
    const uint8_t empty[5] = {0, 0, 255, 0, 0};
    EXPECT_EQ(std::memcmp(cell, empty, 5), 0);
    EXPECT_EQ(tracker.track_patterns[0].number, 0);
}

TEST_F(DriverLayout, ChannelLimitOfTheTargetEndsTheJob)
{
    if (!have_lookup()) GTEST_SKIP() << "machine table lookup not available";
    settings.dotsplit = 0;
    module(40, {64});
    song.machine_count = 2;
    song.tracks_per_generator = 40;
    EXPECT_FALSE(layout());
    EXPECT_EQ(window.text, "Jeskola Tracker allows ony 32 channels,sorry!");
    EXPECT_EQ(song.machine_table, nullptr);
}

TEST_F(DriverLayout, AbsurdCountsEndTheJobBeforeAnythingIsAllocated)
{
    if (!have_lookup()) GTEST_SKIP() << "machine table lookup not available";
    settings.dotsplit = 1;
    module(300, {64});
    song.machine_count = 301;
    song.tracks_per_generator = 1;
    EXPECT_FALSE(layout());
    EXPECT_EQ(song.machine_table, nullptr);

    // 64 machines of 1 track with 112 patterns of 65535 lines: far more pattern data than a song
    // can hold.
    song_reset_defaults();
    module(64, {});
    song.pattern_count = 112;
    song.pattern_table = pool_array<PatternInfo>(112);
    for (int p = 0; p < 112; ++p) song.pattern_table[p].lines = 65535;
    song.machine_count = 65;
    song.tracks_per_generator = 1;
    uint16_t chunks = pool.count;
    window.text.clear();
    EXPECT_FALSE(layout());
    EXPECT_NE(window.text.find("Patterns need"), std::string::npos) << window.text;
    EXPECT_EQ(pool.count, chunks);
}

TEST_F(DriverLayout, AlternateTargetTakesItsRowsFromTheDescription)
{
    if (!have_lookup()) GTEST_SKIP() << "machine table lookup not available";
    settings.dotsplit = 1;
    settings.dopfun = 1;
    module(2, {2});
    song.machine_count = 3;
    song.tracks_per_generator = 1;
    ASSERT_TRUE(layout()) << window.text;
    const MachineRecord& m1 = song.machine_table[1];
    const MachineRecord& m2 = song.machine_table[2];
    EXPECT_EQ(m1.track_row_bytes, 4);
    EXPECT_EQ(m1.global_row_bytes, 2);
    ASSERT_NE(m1.global_patterns, nullptr);
    EXPECT_EQ(m2.global_patterns, nullptr);
    const uint8_t globals[4] = {0xAA, 0xBB, 0xAA, 0xBB};
    EXPECT_EQ(std::memcmp(m1.global_patterns[0].data, globals, 4), 0);
    // Note, wave and volume written over the empty row; the fourth byte keeps its empty value.
    const uint8_t row[4] = {0, 0, 255, 0x44};
    EXPECT_EQ(std::memcmp(m2.track_patterns[0].data + 4, row, 4), 0);
}

TEST_F(DriverLayout, SplitByInstrumentNumbersMachinesOfPlayedInstruments)
{
    if (!have_lookup()) GTEST_SKIP() << "machine table lookup not available";
    settings.dotsplit = 2;
    module(4, {8});
    song.instrument_count = 3;
    song.machine_count = 4;
    song.instrument_table = pool_array<InstrumentRecord>(3);
    const uint8_t played[3][4] = {{1, 0, 1, 0}, {0, 0, 0, 0}, {0, 1, 0, 0}};
    for (int j = 0; j < 3; ++j) {
        song.instrument_table[j].track_map = pool_array<uint8_t>(4);
        std::memcpy(song.instrument_table[j].track_map, played[j], 4);
    }
    song.counting_pass = 1;
    ASSERT_TRUE(run_guarded([] { assign_instrument_machines(); }));
    EXPECT_EQ(song.counting_pass, 0);
    EXPECT_EQ(song.machine_count, 3);
    const InstrumentRecord* ins = song.instrument_table;
    EXPECT_EQ(ins[0].machine, 1);
    EXPECT_EQ(ins[0].track_count, 2);
    EXPECT_EQ(ins[0].track_map[2], 2);
    EXPECT_EQ(ins[1].machine, 0);
    EXPECT_EQ(ins[2].machine, 2);
    EXPECT_EQ(ins[0].machine_instrument, 0);
    EXPECT_EQ(ins[1].machine_instrument, 2);
    EXPECT_EQ(window.text, "\ninstr:0->mach:1, tracks: 2\ninstr:1->mach:0, tracks: 0\ninstr:2->mach:2, tracks: 1");

    ASSERT_TRUE(layout()) << window.text;
    EXPECT_EQ(song.machine_table[1].track_count, 2);
    EXPECT_EQ(song.machine_table[2].track_count, 1);
    EXPECT_EQ(song.machine_table[0].track_count, 2);
}

TEST_F(DriverLayout, MissingTargetRecordEndsTheJob)
{
    if (!have_lookup()) GTEST_SKIP() << "machine table lookup not available";
    settings.dopfun = 7; // record 8: not in this table
    module(4, {64});
    song.machine_count = 2;
    song.tracks_per_generator = 4;
    EXPECT_FALSE(layout());
    EXPECT_EQ(song.machine_table, nullptr);
}

} // namespace
