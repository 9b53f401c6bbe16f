// The conversion driver's own decisions: input kinds from names, the alternate machine check, the
// machine layout after the first pass with its limits, and the machine numbering of
// split-by-instrument.
#include "support/test_support.h"

#include <cstring>
#include <filesystem>

#include "buzz/machines_ini.h"
#include "convert/driver.h"
#include "core/pool.h"
#include "jobs/job_runner.h"
#include "settings/settings.h"
#include "song/song.h"

namespace {

class DriverInputKind : public kxtest::WorkDirTest {};

TEST_F(DriverInputKind, KindsFromTheFileName)
{
    struct Case { const char* name; int domod_ext; const char *kind, *converter_input, *current_input; int dowave; };
    const Case cases[] = {
        {"songs.it/tune.xm", 0, "", "", "songs.it/tune.xm", 1}, // only the base name counts
        {"music\\tune.it", 0, "it", "music\\tune.it", "music\\tune.it", 1},
        {"x.mid", 0, "midi", "x.mid", "", 1},
        {"a.mod", 0, "mod", "", "a.mod", 1}, // read here, its samples exported as XI files
        // The last extension alone, in any case.
        {"my.middle.xm", 0, "", "", "my.middle.xm", 1},
        {"beat.it.remix.xm", 0, "", "", "beat.it.remix.xm", 1},
        {"old.bmx.song.xm", 0, "", "", "old.bmx.song.xm", 1},
        {"TUNE.IT", 0, "it", "TUNE.IT", "TUNE.IT", 1},
        {"Song.Mod", 0, "mod", "", "Song.Mod", 1},
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

// Where the content clearly says another kind than the name, the content decides, and the log
// says so.
TEST_F(DriverInputKind, ContentOverrulesTheName)
{
    struct Case { const char* name; size_t at; const char* magic; const char* kind; };
    const Case cases[] = {
        {"xm.mid", 0, "Extended Module: ", ""},
        {"xm.mod", 0, "Extended Module: ", ""},
        {"real.xm", 0, "MThd", "midi"},
        {"impulse.xm", 0, "IMPM", "it"},
        {"tracker.mod", 1080, "M.K.", "mod"}, // agrees: no log line
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kxtest::Bytes b;
        b.fill(c.at, 0).str(c.magic).fill(1200, 0).write(c.name);
        song_reset_defaults();
        kxtest::FakeWindow window;
        log_state.window = &window;
        detect_input_kind(c.name);
        log_state.window = nullptr;
        const char* kind = song.is_it ? "it" : song.is_midi ? "midi" : song.is_mod ? "mod" : "";
        EXPECT_STREQ(kind, c.kind);
        EXPECT_EQ(window.text.find("by its content") != std::string::npos, std::strcmp(c.kind, "mod") != 0) << window.text;
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

// The shipped machine table, and a module of `channels` channels, patterns of the given lines and
// `generators` generators of `tracks` tracks each, as the first pass leaves them.
class DriverLayout : public kxtest::WorkDirTest {
protected:
    void SetUp() override
    {
        WorkDirTest::SetUp();
        kxtest::install_machines_ini();
        ASSERT_TRUE(load_machine_descriptions());
        log_state.window = &window;
    }
    void TearDown() override
    {
        log_state.window = nullptr;
        machine_descriptions_reset();
        WorkDirTest::TearDown();
    }
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

    kxtest::FakeWindow window;
};

TEST_F(DriverLayout, LimitsEndTheJobBeforeAnythingIsAllocated)
{
    module(40, {64}, 1, 40); // more channels than the Tracker takes
    EXPECT_FALSE(layout());
    EXPECT_EQ(window.text, "Jeskola Tracker allows ony 32 channels,sorry!");
    EXPECT_EQ(song.machine_table, nullptr);
    module(300, {64}, 300, 1); // 301 machines
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
    settings.dopfun = 70; // an alternate machine the table does not hold
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
    assign_instrument_machines();
    EXPECT_EQ(song.counting_pass, 0);
    EXPECT_EQ(song.machine_count, 3);
    EXPECT_EQ(song.instrument_table[0].track_map[2], 2);
    EXPECT_EQ(song.instrument_table[1].machine_instrument, 2);
    EXPECT_EQ(window.text, "\ninstr:0->mach:1, tracks: 2\ninstr:1->mach:0, tracks: 0\ninstr:2->mach:2, tracks: 1");
    ASSERT_TRUE(layout()) << window.text;
    EXPECT_EQ(song.machine_table[0].track_count, 2);
    EXPECT_EQ(song.machine_table[1].track_count, 2);
    EXPECT_EQ(song.machine_table[2].track_count, 1);
    const uint8_t* master = song.machine_table[0].track_patterns[0].data;
    EXPECT_EQ(std::vector<uint8_t>(master, master + 2 * 8 * 4), std::vector<uint8_t>(2 * 8 * 4, 255));
}

} // namespace
