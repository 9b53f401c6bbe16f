// The conversion driver's own decisions: input kinds from names, the alternate machine check, the
// machine layout after the first pass with its limits, and the machine numbering of
// split-by-instrument.
#include "support/test_support.h"

#include <cstring>
#include <filesystem>

#include "convert/driver.h"
#include "convert/song.h"
#include "core/job_runner.h"
#include "core/pool.h"
#include "settings/settings.h"
#include "transform/machines_ini.h"

namespace {

class DriverInputKind : public kxtest::WorkDirTest {};

TEST_F(DriverInputKind, KindsFromTheFileName)
{
    struct Case {
        const char* name;
        int domod_ext;
        const char* kind;
        const char *converter_input, *current_input;
        int dowave;
    };
    const Case cases[] = {
        {"songs.it/tune.xm", 0, "", "", "songs.it/tune.xm", 1}, // only the base name counts
        {"music\\tune.it", 0, "it", "music\\tune.it", "music\\tune.it", 1},
        {"x.mid", 0, "midi", "x.mid", "", 1},
        {"a.mod", 0, "mod", "", "a.mod", 0}, // read here: no XI instruments, so no BMW, for good
        {"a.mod", 1, "mod", "a.mod", "a.mod", 1},
        {"s.bmw", 0, "bmw", "", "s.bmw", 1},
        {"s.bmx", 0, "bmx", "", "s.bmx", 1},
        {"piano.xi", 0, "xi", "", "piano.xi", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        song_reset_defaults();
        settings.dowave = 1;
        settings.domod_ext = c.domod_ext;
        detect_input_kind(c.name);
        const char* kind = song.is_it ? "it" : song.is_midi ? "midi" : song.is_mod ? "mod" : song.is_xi ? "xi"
                         : song.song_kind == 1 ? "bmw" : song.song_kind == 2 ? "bmx" : "";
        EXPECT_STREQ(kind, c.kind);
        EXPECT_STREQ(song.converter_input, c.converter_input);
        EXPECT_STREQ(song.current_input, c.current_input);
        EXPECT_EQ(settings.dowave, c.dowave);
        EXPECT_EQ(song.write_xi, c.dowave);
    }
}

TEST_F(DriverInputKind, AlternateMachineThatIsNoGeneratorEndsTheJobFirst)
{
    kxtest::install_machines_ini();
    kxtest::Bytes{}.str("Extended Module: ").write("in.xm");
    settings.dopfun = 10; // record 11: Jeskola Delay, an effect
    kxtest::FakeWindow window;
    log_state.window = &window;
    EXPECT_FALSE(run_guarded([] { convert("in.xm", "out.bmx"); }));
    log_state.window = nullptr;
    EXPECT_NE(window.text.find("Error: Alternate Machine is no generator!"), std::string::npos) << window.text;
    EXPECT_EQ(window.text.find("First pass"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists("out.bmx"));
}

// A machine table with the records the layout reads: the Master, the Tracker and PrimiFun.
class DriverLayout : public kxtest::WorkDirTest {
protected:
    void SetUp() override
    {
        WorkDirTest::SetUp();
        auto* t = pool_array<MachineDescription>(3);
        std::strcpy(t[1].dll_name, "Jeskola Tracker");
        t[1].type = 1;
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
        machine_table_state.machine_descriptions = t;
        machine_table_state.machine_description_count = 3;
        log_state.window = &window;
    }
    void TearDown() override
    {
        log_state.window = nullptr;
        machine_descriptions_reset();
        WorkDirTest::TearDown();
    }
    // A module of `channels` channels, patterns of the given lines, and `generators` generators
    // of `tracks` tracks each.
    void module(int channels, std::initializer_list<int> lines, int generators, int tracks)
    {
        song.channel_count = channels;
        song.pattern_count = int(lines.size());
        song.pattern_table = pool_array<PatternInfo>(lines.size());
        int p = 0;
        for (int l : lines) song.pattern_table[p++].lines = l;
        song.machine_count = generators + 1;
        song.tracks_per_generator = tracks;
    }
    bool layout() { return run_guarded([] { lay_out_machines(); }); }
    std::vector<uint8_t> bytes(const uint8_t* p, size_t n) { return std::vector<uint8_t>(p, p + n); }

    kxtest::FakeWindow window;
};

TEST_F(DriverLayout, OneTrackerPlaysEveryChannel)
{
    module(4, {4, 3}, 1, 4);
    song.pattern_table[1].play_lines = 1;
    ASSERT_TRUE(layout()) << window.text;
    const MachineRecord& master = song.machine_table[0];
    EXPECT_EQ(master.track_count, 1);
    EXPECT_EQ(bytes(master.track_patterns[1].data, 3 * 4), std::vector<uint8_t>(3 * 4, 255));
    EXPECT_EQ(bytes(master.global_patterns[1].data, 3 * 5), std::vector<uint8_t>(3 * 5, 255));
    EXPECT_EQ(song.pattern_table[1].play_lines, 3);
    const MachineRecord& tracker = song.machine_table[1];
    EXPECT_EQ(tracker.track_count, 4);
    EXPECT_EQ(tracker.track_row_bytes, 5);
    ASSERT_NE(tracker.global_patterns, nullptr);
    EXPECT_EQ(bytes(tracker.global_patterns[0].data, 4), std::vector<uint8_t>(4, 0));
    // Track 3, row 2 of pattern 0: the empty Tracker cell.
    EXPECT_EQ(bytes(tracker.track_patterns[0].data + (3 * 4 + 2) * 5, 5), (std::vector<uint8_t>{0, 0, 255, 0, 0}));
}

TEST_F(DriverLayout, AlternateTargetTakesItsRowsFromTheDescription)
{
    settings.dotsplit = 1;
    settings.dopfun = 1;
    module(2, {2}, 2, 1);
    ASSERT_TRUE(layout()) << window.text;
    const MachineRecord& m1 = song.machine_table[1];
    EXPECT_EQ(m1.track_row_bytes, 4);
    ASSERT_NE(m1.global_patterns, nullptr);
    EXPECT_EQ(song.machine_table[2].global_patterns, nullptr);
    EXPECT_EQ(bytes(m1.global_patterns[0].data, 4), (std::vector<uint8_t>{0xAA, 0xBB, 0xAA, 0xBB}));
    // Note, wave and volume written over the empty row; the fourth byte keeps its empty value.
    EXPECT_EQ(bytes(song.machine_table[2].track_patterns[0].data + 4, 4), (std::vector<uint8_t>{0, 0, 255, 0x44}));
}

TEST_F(DriverLayout, LimitsEndTheJobBeforeAnythingIsAllocated)
{
    // More channels than the Tracker takes.
    module(40, {64}, 1, 40);
    EXPECT_FALSE(layout());
    EXPECT_EQ(window.text, "Jeskola Tracker allows ony 32 channels,sorry!");
    EXPECT_EQ(song.machine_table, nullptr);
    // 301 machines.
    module(300, {64}, 300, 1);
    EXPECT_FALSE(layout());
    // 64 machines of 1 track with 112 patterns of 65535 lines: far more than a song holds.
    module(64, {}, 64, 1);
    song.pattern_count = 112;
    song.pattern_table = pool_array<PatternInfo>(112);
    for (int p = 0; p < 112; ++p) song.pattern_table[p].lines = 65535;
    const uint16_t chunks = pool.count;
    EXPECT_FALSE(layout());
    EXPECT_NE(window.text.find("Patterns need"), std::string::npos) << window.text;
    EXPECT_EQ(pool.count, chunks);
    // An alternate machine the table does not hold.
    settings.dopfun = 7;
    module(4, {64}, 1, 4);
    EXPECT_FALSE(layout());
    EXPECT_EQ(song.machine_table, nullptr);
}

TEST_F(DriverLayout, SplitByInstrumentGivesNoMachineToAnUnplayedInstrument)
{
    settings.dotsplit = 2;
    module(4, {8}, 3, 0);
    song.instrument_count = 3;
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
    EXPECT_EQ(ins[0].track_map[2], 2);
    EXPECT_EQ(ins[1].machine_instrument, 2);
    EXPECT_EQ(window.text, "\ninstr:0->mach:1, tracks: 2\ninstr:1->mach:0, tracks: 0\ninstr:2->mach:2, tracks: 1");
    ASSERT_TRUE(layout()) << window.text;
    EXPECT_EQ(song.machine_table[1].track_count, 2);
    EXPECT_EQ(song.machine_table[2].track_count, 1);
    EXPECT_EQ(song.machine_table[0].track_count, 2);
}

} // namespace
