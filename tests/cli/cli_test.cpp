// The console edition as users run it: the built binary started in a fresh directory, its exit
// statuses, what it writes to kestrix.ini, its option letters, its log and its listings.
#include "e2e/e2e_support.h"

#include <fstream>

#include "jobs/job_runner.h"
#include "platform/platform.h"
#include "settings/settings.h"

namespace fs = std::filesystem;
using kxe2e::run_kestrix;

namespace {

class CliUsage : public kxtest::WorkDirTest {};

TEST_F(CliUsage, HelpAndVersion)
{
    auto h = run_kestrix("--help");
    EXPECT_EQ(h.status, 0);
    EXPECT_EQ(h.out.rfind("usage: kestrix", 0), 0u) << h.out;
    auto v = run_kestrix("--version");
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out, "kestrix v3e\n");
}

TEST_F(CliUsage, UsageErrorsExitWith2)
{
    const char* const bad[] = {
        "",                         "+Q x.xm",                 "--split diagonal x.xm",
        "--target zither x.xm",     "--waves wav x.xm",        "--transpose up x.xm",
        "--set nokey=1 x.xm",       "--set dotsplit x.xm",     "a.xm b.bmx c.bmx",
        "--list a.xm",              "x.xm --log",              "+pX x.xm",
        "+m2x x.xm",                "song.bmx out.bmx",        "--set",
    };
    for (const char* args : bad) {
        auto r = run_kestrix(args);
        EXPECT_EQ(r.status, 2) << "kestrix " << args << "\n" << r.err;
        EXPECT_FALSE(r.err.empty()) << "kestrix " << args;
    }
    EXPECT_FALSE(fs::exists("kestrix.ini"));
}

// kestrix.ini as the binary writes it, read back with the program's own loader.
class CliSettings : public kxtest::WorkDirTest {
protected:
    static Settings saved(const std::string& args)
    {
        auto r = run_kestrix(args + " --save-settings");
        EXPECT_EQ(r.status, 0) << "kestrix " << args << "\n" << r.err;
        settings = Settings();
        EXPECT_TRUE(load_settings());
        fs::remove("kestrix.ini");
        return settings;
    }
};

TEST_F(CliSettings, SaveWritesWhatTheDialogSaves)
{
    auto r = run_kestrix("--save-settings");
    ASSERT_EQ(r.status, 0) << r.err;
    std::string written = kxtest::read_text("kestrix.ini");
    fs::remove("kestrix.ini");
    // The dialog without kestrix.ini: the defaults, with the XI directory in the current one.
    settings = Settings();
    std::string xi = platform::current_directory() + "/xi/";
    settings_set_text(settings.xi_dir, xi.c_str());
    save_settings();
    EXPECT_EQ(written, kxtest::read_text("kestrix.ini"));
}

TEST_F(CliSettings, LettersSetTheKeysTheirCommentsName)
{
    Settings s = saved("+S +p3 -12 +M +L +m0.5 +x*1.5 +x+-2 --set blines=32");
    EXPECT_EQ(s.dotsplit, 2);
    EXPECT_EQ(s.dopfun, 3);
    EXPECT_EQ(s.dowave, 0); // any target but the Tracker makes no waves
    EXPECT_EQ(s.transpo, -12);
    EXPECT_EQ(s.dopchange, 1);
    EXPECT_EQ(s.domidi_ext, 0);
    EXPECT_EQ(s.dolist, 1);
    EXPECT_EQ(s.verbose, 1);
    EXPECT_FLOAT_EQ(s.midi_res, 0.5f);
    EXPECT_FLOAT_EQ(s.midi_scale, 1.5f);
    EXPECT_FLOAT_EQ(s.midi_shift, -2.0f);
    EXPECT_EQ(s.blines, 32);

    s = saved("-s -w -p +7 -m -l");
    EXPECT_EQ(s.dotsplit, 0);
    EXPECT_EQ(s.dowave, 0);
    EXPECT_EQ(s.dopfun, 0);
    EXPECT_EQ(s.transpo, 7);
    EXPECT_EQ(s.domidi_ext, 1);
    EXPECT_EQ(s.dolist, 0);

    s = saved("+s +w +p -p");
    EXPECT_EQ(s.dotsplit, 1);
    EXPECT_EQ(s.dowave, 1);
    EXPECT_EQ(s.dopfun, 0);
}

TEST_F(CliSettings, LongOptionsAndTheFileUnderThem)
{
    std::ofstream("kestrix.ini") << "dotsplit=0\ntranspo=5\nxi_dir=/tmp/xi\n";
    Settings s = saved("--split instrument --waves bmw --transpose=-3");
    EXPECT_EQ(s.dotsplit, 2);
    EXPECT_EQ(s.dowave, 1);
    EXPECT_EQ(s.transpo, -3);

    std::ofstream("kestrix.ini") << "transpo=5\n";
    s = saved("--target bass3 +W");
    EXPECT_EQ(s.dopfun, 9);
    EXPECT_EQ(s.dowave, 0);
    EXPECT_EQ(s.transpo, 5);
}

// Jobs through the job runner: the final report decides the status.
class CliJobs : public kxtest::WorkDirTest {};

TEST_F(CliJobs, BadInputFileFailsWithStatus1)
{
    auto r = run_kestrix("missing.xm");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Error: Can't open inputfile\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Error occured!\n"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists("missing.bmx"));

    // Quiet keeps the error, and the log file gets everything.
    r = run_kestrix("-q --log job.log missing.xm");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: Can't open inputfile\nError during conversion\nError occured!\n");
    EXPECT_NE(kxtest::read_text("job.log").find("Error: Can't open inputfile"), std::string::npos);
}

TEST_F(CliJobs, ConvertThenListTheSong)
{
    fs::copy_file(kxe2e::demo_xm(), "demo.xm");
    // No machines.ini here: the copy beside the executable is used.
    auto r = run_kestrix("demo.xm");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("Writing BUZZ output demo.bmx"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Conversion finished!"), std::string::npos) << r.err;
    ASSERT_TRUE(fs::exists("demo.bmx"));

    auto l = run_kestrix("--list demo.bmx");
    EXPECT_EQ(l.status, 0) << l.err;
    EXPECT_NE(l.err.find("section:MACH"), std::string::npos) << l.err;
    EXPECT_NE(l.err.find("section:WAVE"), std::string::npos) << l.err;

    auto w = run_kestrix("+w demo.xm");
    EXPECT_EQ(w.status, 0) << w.err;
    EXPECT_TRUE(fs::exists("demo.bmw"));
    EXPECT_TRUE(fs::is_directory("xi"));

    auto q = run_kestrix("-q demo.xm quiet.bmx");
    EXPECT_EQ(q.status, 0);
    EXPECT_EQ(q.err, "");
    EXPECT_TRUE(fs::exists("quiet.bmx"));
}

TEST_F(CliJobs, NativeModMakesABmxEvenWhenABmwIsAskedFor)
{
    kxtest::Bytes mod;
    mod.fixed("tiny", 20);
    for (int i = 0; i < 31; ++i) mod.fixed("", 22).be16(0).u8(0).u8(64).be16(0).be16(1);
    mod.u8(1).u8(0).fill(128, 0).str("M.K.").fill(64 * 4 * 4, 0);
    mod.write("tiny.mod");
    auto r = run_kestrix("+w tiny.mod");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists("tiny.bmx"));
    EXPECT_FALSE(fs::exists("tiny.bmw"));
}

TEST_F(CliJobs, QuietShowsTheReportThatExplainsAnError)
{
    // An XM of 40 channels with one empty pattern: too many tracks for one Tracker.
    kxtest::Bytes xm;
    xm.str("Extended Module: ").fixed("wide", 20).u8(0x1A).fixed("test", 20).le16(0x104).le32(276);
    xm.le16(1).le16(0).le16(40).le16(1).le16(0).le16(1).le16(6).le16(125).fill(256, 0);
    xm.le32(9).u8(0).le16(64).le16(0);
    xm.write("wide.xm");
    auto r = run_kestrix("-q -s wide.xm");
    EXPECT_EQ(r.status, 1);
    // The report continues the line before it, as in the log window; quiet mode shows that line.
    const std::string tail = "Jeskola Tracker allows ony 32 channels,sorry!\nError during conversion\nError occured!\n";
    ASSERT_GE(r.err.size(), tail.size()) << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - tail.size()), tail);
    EXPECT_EQ(r.err.find("First pass"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists("wide.bmx"));
}

} // namespace
