// The MIDI files of the shared corpus converted natively with the XI instruments of the corpus
// as the gmc_/gmp_ sets of xi_dir: per channel and per program, drums per key and as one kit, to
// BMX, BMW and no waves; every song read back by the program's own reader; and the console run.
#include "e2e/e2e_support.h"

#include "settings/settings.h"

namespace fs = std::filesystem;

namespace {

class MidiCorpus : public kxtest::WorkDirTest {
protected:
    void SetUp() override
    {
        WorkDirTest::SetUp();
        kxtest::install_machines_ini();
        xis = kxtest::corpus_files({".xi"});
        fs::create_directories("xi");
        // Every slot a file may ask for: the channels 01-10, the programs and drum keys 00-ff.
        for (int i = 0; i < 256 && !xis.empty(); ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "xi/gmp_%02x.xi", unsigned(i));
            fs::create_symlink(xis[size_t(i) % xis.size()], name);
            std::snprintf(name, sizeof name, "xi/gmc_%02x.xi", unsigned(i));
            if (i >= 1 && i <= 16) fs::create_symlink(xis[size_t(i) % xis.size()], name);
        }
    }
    std::vector<fs::path> xis;
};

TEST_F(MidiCorpus, EveryFileInEveryWaveModeReadsBack)
{
    auto files = kxtest::corpus_files({".mid"});
    if (files.empty() || xis.empty()) GTEST_SKIP() << "no MIDI files or XI instruments at " << kxtest::corpus_dir();
    struct Config { int dopchange, drkit; };
    for (const auto& f : files)
        for (Config c : {Config{0, 0}, Config{1, 0}, Config{1, 1}})
            for (int dowave : {2, 1, 0}) {
                SCOPED_TRACE(f.filename().string() + " dopchange " + std::to_string(c.dopchange) + " drkit " +
                             std::to_string(c.drkit) + " dowave " + std::to_string(dowave));
                settings = Settings();
                settings.dopchange = c.dopchange;
                settings.drkit = c.drkit;
                settings.dowave = dowave;
                settings.xi_dir = fs::current_path().string() + "/xi/";
                auto r = kxe2e::convert_file(settings, f.string(), "out.bmx");
                ASSERT_TRUE(r.ok) << r.log;
                EXPECT_GE(r.machine_count, 2);
                auto rr = kxe2e::reread_song("out.bmx");
                EXPECT_TRUE(rr.ok) << rr.log;
                EXPECT_EQ(rr.machines, r.machine_count);
                EXPECT_EQ(rr.instruments > 0, dowave != 0) << r.log; // WAVT entries (a BMW has no WAVE)
                EXPECT_EQ(rr.waves, dowave == 2 ? rr.instruments : 0);
                EXPECT_FALSE(fs::exists("kestrix.tmp"));
            }

    // The console run a user types.
    fs::copy_file(files.front(), "song.mid");
    auto r = kxe2e::run_kestrix("--set xi_dir=" + (fs::current_path() / "xi").string() + "/ --set dopchange=1 song.mid song.bmx");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("Conversion finished!"), std::string::npos) << r.err;
    EXPECT_GT(kxe2e::reread_song("song.bmx").waves, 0);
}

} // namespace
