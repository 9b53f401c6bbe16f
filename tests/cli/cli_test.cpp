// The console edition as users run it: the built binary started in a fresh directory, its exit
// statuses, what it writes to kestrix.ini, its option letters, its log and its listings.
#include "e2e/e2e_support.h"

#include <fstream>

#include "platform/platform.h"
#include "settings/settings.h"

namespace fs = std::filesystem;
using kxe2e::run_kestrix;

namespace {

class Cli : public kxtest::WorkDirTest {};

TEST_F(Cli, HelpVersionAndUsageErrors)
{
    auto h = run_kestrix("--help");
    EXPECT_EQ(h.status, 0);
    EXPECT_TRUE(h.out.starts_with("usage: kestrix")) << h.out;
    auto v = run_kestrix("x.xm --version");
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out, "kestrix v3e\n");
    for (const char* args : {"", "+Q x.xm", "--split diagonal x.xm", "--target zither x.xm", "--waves wav x.xm",
                             "--transpose up x.xm", "+99999999999 x.xm", "--set nokey=1 x.xm", "--set dotsplit x.xm",
                             "a.xm b.bmx c.bmx", "--list a.xm", "x.xm --log", "+pX x.xm", "+m2x x.xm",
                             "song.bmx out.bmx", "--set"}) {
        auto r = run_kestrix(args);
        EXPECT_EQ(r.status, 2) << "kestrix " << args << "\n" << r.err;
        EXPECT_FALSE(r.err.empty()) << "kestrix " << args;
    }
    EXPECT_FALSE(fs::exists("kestrix.ini"));
}

// kestrix.ini as the binary saves it equals what the program's own loader and saver give for the
// same kestrix.ini (without one: the dialog's defaults, with the XI directory in the current
// one) after the changes that the options name.
TEST_F(Cli, OptionsSaveTheSettingsTheyName)
{
    struct Case {
        const char *ini, *args;
        void (*change)(Settings&);
    };
    const Case cases[] = {
        {nullptr, "", [](Settings&) {}},
        {nullptr, "+S +p3 -12 +M +L +m0.5 +x*1.5 +x+-2 --set blines=32", [](Settings& s) {
             s.dotsplit = 2; s.dopfun = 3; s.dowave = 0; s.transpo = -12; s.dopchange = 1; s.dolist = 1;
             s.verbose = 1; s.midi_res = 0.5f; s.midi_scale = 1.5f; s.midi_shift = -2.0f; s.blines = 32;
         }},
        {nullptr, "+L -l -s -w +p -p +7 -m", [](Settings& s) {
             s.verbose = 1; s.dotsplit = 0; s.dowave = 0; s.transpo = 7; s.domidi_ext = 1;
         }},
        {nullptr, "+S +s +w +M +m +l", [](Settings& s) { s.dowave = 1; s.dolist = 1; }},
        {"dotsplit=0\ntranspo=5\nxi_dir=/tmp/xi\n", "--split instrument --waves bmw --transpose=-3",
         [](Settings& s) { s.dotsplit = 2; s.dowave = 1; s.transpo = -3; }},
        {"transpo=5\n", "--target bass3 +W", [](Settings& s) { s.dopfun = 9; s.dowave = 0; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        if (c.ini) std::ofstream("kestrix.ini") << c.ini;
        settings = Settings();
        if (!load_settings()) settings_set_text(settings.xi_dir, (platform::current_directory() + "/xi/").c_str());
        c.change(settings);
        auto r = run_kestrix(std::string(c.args) + " --save-settings");
        EXPECT_EQ(r.status, 0) << r.err;
        const std::string written = kxtest::read_text("kestrix.ini");
        EXPECT_TRUE(save_settings());
        EXPECT_EQ(written, kxtest::read_text("kestrix.ini"));
        fs::remove("kestrix.ini");
    }
}

// Jobs through the job runner: the final report decides the status; -q shows only warnings,
// errors (with the line before an error that explains it) and a failure's report; --log gets
// everything.
TEST_F(Cli, ConvertListAndFail)
{
    auto r = run_kestrix("missing.xm");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: Can't open inputfile\n\nError during conversion\nError occured!\n");
    r = run_kestrix("-q --log job.log missing.xm");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: Can't open inputfile\nError during conversion\nError occured!\n");
    EXPECT_EQ(kxtest::read_text("job.log"), "Error: Can't open inputfile\n\nError during conversion");
    EXPECT_FALSE(fs::exists("missing.bmx"));

    fs::copy_file(kxe2e::demo_xm(), "demo.xm");
    r = run_kestrix("demo.xm"); // no machines.ini here: the copy beside the executable is used
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("\nWriting BUZZ output demo.bmx"), std::string::npos) << r.err;
    EXPECT_TRUE(r.err.ends_with("\nConversion finished!\n")) << r.err;
    EXPECT_TRUE(fs::exists("demo.bmx"));
    EXPECT_FALSE(fs::exists("xi")); // only a BMW needs the XI directory

    r = run_kestrix("--list demo.bmx");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("\nsection:MACH"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\nsection:WAVE"), std::string::npos) << r.err;
    EXPECT_TRUE(r.err.ends_with(")\n\nConversion finished!\n")) << r.err; // one blank line, not two

    r = run_kestrix("+w demo.xm");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists("demo.bmw"));
    EXPECT_TRUE(fs::is_directory("xi"));

    r = run_kestrix("-q demo.xm quiet.bmx");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(fs::exists("quiet.bmx"));

    // A MOD that the converter reads itself makes a BMX even when a BMW is asked for.
    kxtest::Bytes().fixed("tiny", 20).fill(31 * 30, 0).u8(1).u8(0).fill(128, 0).str("M.K.").fill(1024, 0)
        .write("tiny.mod");
    r = run_kestrix("+w tiny.mod");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists("tiny.bmx"));
    EXPECT_FALSE(fs::exists("tiny.bmw"));

    // XMs of one pattern of one row. 40 channels are too many tracks for one Tracker: the report
    // continues the line before it, as in the log window, and quiet mode shows that line. Notes
    // naming instruments that the song lacks are warned about, each warning with its position;
    // quiet mode shows the two lines, and no other line that the log forces through.
    auto write_xm = [](const std::string& name, int channels, const kxtest::Bytes& row) {
        kxtest::Bytes xm;
        xm.str("Extended Module: ").fixed(name, 20).u8(0x1A).fixed("test", 20).le16(0x104).le32(276);
        xm.le16(1).le16(0).le16(channels).le16(1).le16(0).le16(1).le16(6).le16(125).fill(256, 0);
        xm.le32(9).u8(0).le16(1).le16(row.size()).append(row).write(name + ".xm");
    };
    write_xm("wide", 40, {});
    write_xm("warn", 2, kxtest::Bytes().u8(0x31).u8(1).fill(3, 0).u8(0x31).u8(2).fill(3, 0));
    r = run_kestrix("-q +S warn.xm");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Warning: No instrument mapped (31 1 0 0 0)\n(pattern: 0 track: 0 line: 0)\n"
                     "Warning: No instrument mapped (31 2 0 0 0)\n(pattern: 0 track: 1 line: 0)\n");
    r = run_kestrix("-q -s wide.xm");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "order: 0Jeskola Tracker allows ony 32 channels,sorry!\n"
                     "Error during conversion\nError occured!\n");
    EXPECT_FALSE(fs::exists("wide.bmx"));
}

} // namespace
