// The conversion driver's own decisions: the alternate machine check, a module without
// instruments, and the limits of the machine layout after the first pass. Input kinds from names
// are in the golden songs of tests/e2e/golden_test.cpp and the outside converter tests.
#include <filesystem>

#include "convert/fixtures.h"

namespace {

class DriverTest : public kxtest::WorkDirTest {
protected:
    void TearDown() override
    {
        log.window = nullptr;
        machine_descriptions_reset(machines);
        WorkDirTest::TearDown();
    }
    kxtest::FakeWindow window;
};

TEST_F(DriverTest, AlternateMachineThatIsNoGeneratorEndsTheJobFirst)
{
    kxtest::install_machines_ini();
    kxfix::XmModule m;
    m.patterns = {kxfix::pattern(4, 4, {{0, 0, 49, 0, 0, 0, 0}})};
    kxfix::xm_file(m).write("in.xm");
    settings.dopfun = 10; // record 11: Jeskola Delay, an effect
    log.window = &window;
    EXPECT_FALSE(run_guarded(log, [&] { convert(c, "in.xm", "out.bmx"); }));
    EXPECT_NE(window.text.find("Error: Alternate Machine is no generator!"), std::string::npos) << window.text;
    EXPECT_EQ(window.text.find("First pass"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists("out.bmx"));
    // Without the alternate machine the module converts, also split by instrument without instruments.
    pool_free_all(pool); // the end of that job, as the job runner ends it
    settings.dopfun = 0;
    settings.dotsplit = Split::by_instrument;
    EXPECT_TRUE(run_guarded(log, [&] { convert(c, "in.xm", "out.bmx"); })) << window.text;
    EXPECT_EQ(song.machine_count, 1);
}

TEST_F(DriverTest, LayoutLimitsEndTheJobBeforeAnythingIsAllocated)
{
    kxtest::install_machines_ini();
    ASSERT_TRUE(load_machine_descriptions(machines, pool, log));
    log.window = &window;
    // channels, patterns of `lines` rows, generators of `tracks` tracks, target; the log
    struct Case { int channels, patterns, lines, generators, tracks, dopfun; const char* log; };
    const Case cases[] = {
        {40, 1, 64, 1, 40, 0, "Jeskola Tracker allows ony 32 channels,sorry!"},
        {32, 1, 64, 1, 32, 0, nullptr},
        {255, 1, 64, 256, 1, 0, nullptr},
        {255, 1, 64, 257, 1, 0, "\n258 machines needed, 257 allowed"},
        {256, 1, 64, 1, 1, 0, "Error: Too many channels!!\n"},
        {4, 1000, 64, 1, 4, 0, nullptr},
        {64, 112, 65535, 64, 1, 0, "\nPatterns need 4271833440 bytes, 268435456 allowed"},
        {4, 1, 65536, 1, 4, 0, "Error: Wrong pattern length!!\n"},
        {4, 1, 64, 1, 4, 70, "Error: Target machine not found, check machines.ini!!\n"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.log ? k.log : "passes");
        window.text.clear();
        log.at_line_start = true; // as in a fresh window
        const uint16_t chunks = pool.count;
        song.channel_count = k.channels;
        song.pattern_count = k.patterns;
        song.pattern_table = pool_array<PatternInfo>(pool, size_t(k.patterns));
        for (int p = 0; p < k.patterns; ++p) song.pattern_table[p].lines = k.lines;
        song.machine_count = k.generators + 1;
        song.tracks_per_generator = k.tracks;
        song.machine_table = nullptr;
        settings.dopfun = k.dopfun;
        EXPECT_EQ(run_guarded(log, [&] { lay_out_machines(c); }), k.log == nullptr) << window.text;
        if (!k.log) continue;
        EXPECT_EQ(window.text, k.log);
        EXPECT_EQ(song.machine_table, nullptr);
        EXPECT_EQ(pool.count, chunks + 1); // the pattern table alone
    }
}

// The kind comes from the name's last extension in any case; where the content clearly says
// another kind, the content decides and the log says so. A MOD read here keeps `dowave`.
TEST_F(DriverTest, InputKindFromTheLastExtensionAndTheContent)
{
    struct Case { const char* name; size_t at; const char* magic; const char* kind; bool logged; };
    const Case cases[] = {
        {"tune", 0, "Extended Module: ", "", false}, // no extension: the native reader, quietly
        {"my.middle.xm", 0, "Extended Module: ", "", false},
        {"beat.it.remix.xm", 0, "Extended Module: ", "", false},
        {"old.bmx.song.xm", 0, "Extended Module: ", "", false},
        {"TUNE.IT", 0, "IMPM", "it", false},
        {"Song.Mod", 1080, "M.K.", "mod", false},
        {"xm.mid", 0, "Extended Module: ", "", true},
        {"xm.mod", 0, "Extended Module: ", "", true},
        {"real.xm", 0, "MThd", "midi", true},
        {"impulse.xm", 0, "IMPM", "it", true},
        {"wide.xm", 1080, "16CH", "mod", true},
        {"song.it", 0, "Buzz", "it", false}, // a song is listed only by its name
    };
    for (const Case& t : cases) {
        SCOPED_TRACE(t.name);
        kxtest::Bytes{}.fill(t.at, 0).str(t.magic).fill(1200, 0).write(t.name);
        song = Song();
        settings.dowave = Waves::bmw;
        window.text.clear();
        log.window = &window;
        detect_input_kind(c, t.name);
        log.window = nullptr;
        const InputKind got = song.input_kind;
        const char* kind = got == InputKind::it ? "it" : got == InputKind::midi ? "midi" : got == InputKind::mod ? "mod" : "";
        EXPECT_STREQ(kind, t.kind);
        EXPECT_EQ(settings.dowave, Waves::bmw);
        EXPECT_EQ(window.text.find("by its content") != std::string::npos, t.logged) << window.text;
    }
}

} // namespace
