// Whole conversions: the demo tune and every XM and MOD module of the shared corpus, converted
// with the settings users pick and re-read with the program's own song reader (full parse, the
// shipped machines.ini).
#include "e2e/e2e_support.h"

#include "settings/settings.h"

namespace fs = std::filesystem;
using kxe2e::convert_file;
using kxe2e::reread_song;

namespace {

struct Config {
    const char* name;
    int dotsplit, dowave, dopfun;
};

const Config configs[] = {
    {"Defaults", -1, -1, -1},
    {"NoSplitNoWaves", 0, 0, 0},         {"NoSplitBmw", 0, 1, 0},         {"NoSplitBmx", 0, 2, 0},
    {"TrackSplitNoWaves", 1, 0, 0},      {"TrackSplitBmw", 1, 1, 0},      {"TrackSplitBmx", 1, 2, 0},
    {"InstrumentSplitNoWaves", 2, 0, 0}, {"InstrumentSplitBmw", 2, 1, 0}, {"InstrumentSplitBmx", 2, 2, 0},
    {"PrimiFunByTrack", 1, 0, 1},        {"OrganByInstrument", 2, 0, 2},
};

// Names the parameter in test listings (ctest shows the parameter's printout).
void PrintTo(const Config& c, std::ostream* os) { *os << c.name; }

class Conversions : public kxtest::WorkDirTest {
protected:
    void SetUp() override
    {
        WorkDirTest::SetUp();
        kxtest::install_machines_ini();
        fs::create_directories("xi");
    }
    // Settings() with the config's choices (-1: the default) and the XI directory here.
    static void use(const Config& c)
    {
        settings = Settings();
        if (c.dotsplit >= 0) settings.dotsplit = c.dotsplit;
        if (c.dowave >= 0) settings.dowave = c.dowave;
        if (c.dopfun >= 0) settings.dopfun = c.dopfun;
        std::snprintf(settings.xi_dir, sizeof settings.xi_dir, "%s/xi/", fs::current_path().c_str());
    }
};

class CorpusConversions : public Conversions, public ::testing::WithParamInterface<Config> {};

TEST_P(CorpusConversions, EveryModuleConvertsAndReadsBack)
{
    auto files = kxtest::corpus_files({".xm", ".mod"});
    if (files.empty()) GTEST_SKIP() << "no corpus at " << kxtest::corpus_dir();
    for (const auto& f : files) {
        SCOPED_TRACE(f.filename().string());
        use(GetParam());
        auto r = convert_file(f.string(), "out.bmx");
        ASSERT_TRUE(r.ok) << r.log;
        auto rr = reread_song("out.bmx");
        EXPECT_TRUE(rr.ok) << rr.log;
        EXPECT_EQ(rr.machines, r.machine_count);
        fs::remove("out.bmx");
    }
}

INSTANTIATE_TEST_SUITE_P(Settings, CorpusConversions, ::testing::ValuesIn(configs),
                         [](const auto& info) { return std::string(info.param.name); });

class DemoConversion : public Conversions {};

TEST_F(DemoConversion, MachinesPerChannelOrInstrumentAndEveryWave)
{
    use(configs[0]);
    auto r = convert_file(kxe2e::demo_xm().string(), "demo.bmx");
    ASSERT_TRUE(r.ok) << r.log;
    EXPECT_EQ(r.machine_count, 5);
    auto rr = reread_song("demo.bmx");
    ASSERT_TRUE(rr.ok) << rr.log;
    EXPECT_EQ(rr.machines, 5);
    EXPECT_EQ(rr.instruments, 5);
    EXPECT_EQ(rr.waves, 5);
    EXPECT_FALSE(fs::exists("kestrix.tmp"));

    use(configs[9]);  // split by instrument
    r = convert_file(kxe2e::demo_xm().string(), "demo.bmx");
    ASSERT_TRUE(r.ok) << r.log;
    EXPECT_EQ(r.machine_count, 6);
    EXPECT_NE(r.log.find("Additional pass (to get number of tracks for instruments):"), std::string::npos);
}

TEST_F(DemoConversion, BmwExportsTheInstrumentsAndAnXiConvertsBack)
{
    use(configs[5]);
    auto r = convert_file(kxe2e::demo_xm().string(), "demo.bmw");
    ASSERT_TRUE(r.ok) << r.log;
    std::vector<fs::path> xis;
    for (const auto& e : fs::directory_iterator("xi"))
        if (e.path().extension() == ".xi") xis.push_back(e.path());
    ASSERT_EQ(xis.size(), 5u);

    // One exported instrument as the input: a song of the Master alone holding one wave.
    use(configs[0]);
    auto x = convert_file(xis.front().string(), "one.bmx");
    ASSERT_TRUE(x.ok) << x.log;
    EXPECT_EQ(x.machine_count, 1);
    EXPECT_NE(x.log.find("Converting XI file"), std::string::npos);
    auto rr = reread_song("one.bmx");
    ASSERT_TRUE(rr.ok) << rr.log;
    EXPECT_EQ(rr.machines, 1);
    EXPECT_EQ(rr.waves, 1);
}

} // namespace
