// The console edition as users run it: the built binary started in a fresh directory, its exit
// statuses, what it writes to kestrix.ini, its option letters, its log and its listings.
#include "e2e/e2e_support.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <thread>

#include "cli/batch.h"
#include "cli/console_log.h"
#include "cli/option_table.h"
#include "cli/preflight.h"
#include "convert/fixtures.h"
#include "core/version.h"
#include "jobs/batch.h"
#include "midi/smf_builder.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "transform/buzz_song_builder.h"

namespace fs = std::filesystem;
using kxe2e::run_kestrix;
using kxtest::Bytes;

namespace {

class Cli : public kxtest::WorkDirTest {};

TEST_F(Cli, HelpVersionAndUsageErrors)
{
    auto h = run_kestrix("--help");
    EXPECT_EQ(h.status, 0);
    EXPECT_TRUE(h.out.starts_with("usage: kestrix")) << h.out;
    // The version, then the libxmp of the converter programs when they were built beside it.
    auto v = run_kestrix("x.xm --version");
    EXPECT_EQ(v.status, 0);
    const std::string first = std::string("kestrix ") + program_version() + "\n";
    EXPECT_TRUE(v.out.starts_with(first)) << v.out;
    const bool converters = fs::exists(fs::path(KESTRIX_BINARY_DIR) / "it2xm");
    const std::string rest = v.out.substr(std::min(v.out.size(), first.size()));
    if (converters)
        EXPECT_TRUE(rest.starts_with("it2xm, mod2xm: libxmp 4.") && rest.ends_with("\n")) << rest;
    else
        EXPECT_EQ(rest, "");
    for (const char* args : {"", "+Q x.xm", "--split diagonal x.xm", "--target zither x.xm", "--waves wav x.xm",
                             "--transpose up x.xm", "+99999999999 x.xm", "--set nokey=1 x.xm", "--set dotsplit x.xm",
                             "a.xm b.bmx c.bmx", "--list a.xm", "x.xm --log", "+pX x.xm", "+m2x x.xm",
                             "song.bmx out.bmx", "--set", "-j 0 a.xm", "-j", "- a.xm b.xm", "-O out a.bmx b.xm",
                             "--log - a.xm", "--list", "--list a.bmx b.bmx", "--quiet=1 a.xm", "a.xm b.xm --merge-after c.bmx",
                             "-O out --merge a.bmx -o b.bmx", "a.xm b.xm -o c.bmx", "--list a.bmx -o x.bmx",
                             "a.xm - --merge-after b.bmx -o -"}) {
        auto r = run_kestrix(args);
        EXPECT_EQ(r.status, 2) << "kestrix " << args << "\n" << r.err;
        EXPECT_FALSE(r.err.empty()) << "kestrix " << args;
    }
    EXPECT_FALSE(fs::exists("kestrix.ini"));
}

// The manual page and the bash completion spell the options of the table, escaped for roff.
TEST_F(Cli, HelpManualAndCompletionNameTheSameOptions)
{
    const std::string manual = manual_page("1.0"), completion = bash_completion({"dotsplit"});
    EXPECT_NE(manual.find("\n\\fB\\-O\\fR, \\fB\\-\\-output\\-dir\\fR \\fIDIR\\fR\n"), std::string::npos);
    EXPECT_NE(completion.find("--split) COMPREPLY=($(compgen -W \"none track instrument\""), std::string::npos);
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
             s.dotsplit = Split::by_instrument; s.dopfun = 3; s.dowave = Waves::none; s.transpo = -12;
             s.dopchange = 1; s.dolist = 1; s.verbose = 1; s.midi_res = 0.5f; s.midi_scale = 1.5f; s.midi_shift = -2.0f; s.blines = 32;
         }},
        {nullptr, "+L -l -s -w +p -p +7 -m", [](Settings& s) {
             s.verbose = 1; s.dotsplit = Split::one_machine; s.dowave = Waves::none; s.transpo = 7; s.domidi_ext = 1;
         }},
        {nullptr, "+S +s +w +M +m +l", [](Settings& s) { s.dowave = Waves::bmw; s.dolist = 1; }},
        {"dotsplit=0\ntranspo=5\nxi_dir=/tmp/xi\n", "--split instrument --waves bmw --transpose=-3",
         [](Settings& s) { s.dotsplit = Split::by_instrument; s.dowave = Waves::bmw; s.transpo = -3; }},
        {"transpo=5\n", "--target bass3 +W --midi-tempos",
         [](Settings& s) { s.dopfun = 9; s.dowave = Waves::none; s.midi_tempos = 1; }},
        {nullptr, "--clone 1:5", [](Settings& s) { s.clone2 = 5; }},
        {nullptr, "--set 'buzz_path=C:\\Program Files\\Buzz\\' -V --set 'xi_dir=my xi/'", [](Settings& s) {
             s.buzz_path = "C:\\Program Files\\Buzz\\";
             s.xi_dir = "my xi/";
             s.verbose = 1;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        if (c.ini) std::ofstream("kestrix.ini") << c.ini;
        settings = Settings();
        if (!load_settings(settings)) settings.xi_dir = platform::current_directory() + "/xi/";
        c.change(settings);
        auto r = run_kestrix(std::string(c.args) + " --save-settings");
        EXPECT_EQ(r.status, 0) << r.err;
        const std::string written = kxtest::read_text("kestrix.ini");
        EXPECT_TRUE(save_settings(settings));
        EXPECT_EQ(written, kxtest::read_text("kestrix.ini"));
        fs::remove("kestrix.ini");
    }
}

// Jobs through the job runner: the final report decides the status; -q shows only warnings,
// errors (with the line before an error that explains it) and a failure's report; --log gets
// everything.
TEST_F(Cli, ConvertListAndFail)
{
    fs::copy_file(kxe2e::demo_xm(), "demo.xm");
    auto r = run_kestrix("demo.xm"); // no machines.ini here: the copy beside the executable is used
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("\nWriting BUZZ output demo.bmx"), std::string::npos) << r.err;
    EXPECT_TRUE(r.err.ends_with("\nConversion finished!\n")) << r.err;
    EXPECT_TRUE(fs::exists("demo.bmx"));
    EXPECT_FALSE(fs::exists("xi")); // only a BMW needs the XI directory

    r = run_kestrix("--list demo.bmx");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.starts_with("demo.bmx: BMX, sections MACH CONN WAVT PATT SEQU BLAH WAVE\nmachines: 5\n"
                                  "    0  Master                   master    \n")) << r.out;
    EXPECT_NE(r.out.find("\npatterns: 9\nsequence length: 320 rows (loop 0 to 320), 5 sequences\nwaves: 5\n"
                         "    1  bass                     64 bytes, raw\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nsection:WAVE"), std::string::npos) << r.out;
    EXPECT_TRUE(r.out.ends_with(")\n\n")) << r.out; // the listing's own end, no report
    EXPECT_EQ(r.err, "");
    r = run_kestrix("--format json --list demo.bmx");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"machines\": [\n    {\"index\": 0, \"name\": \"Master\", \"type\": \"master\", \"dll\": \"\", "
                         "\"in_machines_ini\": true, \"patterns\": 1},"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"sequence_length\": 320,"), std::string::npos) << r.out;

    r = run_kestrix("+w demo.xm");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists("demo.bmw"));
    EXPECT_TRUE(fs::is_directory("xi"));

    r = run_kestrix("-q demo.xm quiet.bmx");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(fs::exists("quiet.bmx"));
    r = run_kestrix("-q -y demo.xm quiet.bmx");
    EXPECT_EQ(r.status, 0) << r.err;
    // A folder of 249 characters: the songs' names are whole, for one input and for a batch.
    const std::string deep(249, 'd');
    r = run_kestrix("-q demo.xm -O " + deep);
    EXPECT_EQ(r.status, 0) << r.err;
    fs::copy_file("demo.xm", "demo2.xm");
    r = run_kestrix("-q -y demo.xm demo2.xm -O " + deep);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(kxtest::read_text(deep + "/demo.bmx"), kxtest::read_text("demo.bmx"));
    EXPECT_EQ(std::distance(fs::directory_iterator(deep), fs::directory_iterator()), 2);

    // The song goes beside its input, named as its kind: a MOD read by the converter itself makes
    // a BMW like any module. An OUTPUT's extension decides the kind, and the log says so.
    fs::create_directory("sub");
    kxtest::Bytes().fixed("tiny", 20).fill(31 * 30, 0).u8(1).u8(0).fill(128, 0).str("M.K.").fill(1024, 0)
        .write("sub/tiny.mod");
    r = run_kestrix("+w sub/tiny.mod");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists("sub/tiny.bmw"));
    r = run_kestrix("+w demo.xm named.bmx");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("named.bmx: a BMX song"), std::string::npos) << r.err;
    EXPECT_TRUE(kxtest::read_text("named.bmx").find("WAVE") != std::string::npos);

    // "-": standard input and standard output, the song only once it is complete.
    r = run_kestrix("-q - piped.bmx <demo.xm");
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string piped = kxtest::read_text("piped.bmx");
    EXPECT_TRUE(piped.starts_with("Buzz")) << piped.size();
    r = run_kestrix("-q - - <demo.xm");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.size(), piped.size());
    r = run_kestrix("-q --merge piped.bmx -o -"); // a merge's too
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.starts_with("Buzz") && !fs::exists("-")) << r.out.size();
    // A merge may replace its second song, or the song the conversion before it made.
    r = run_kestrix("-q -y --merge piped.bmx quiet.bmx -o quiet.bmx");
    EXPECT_EQ(r.status, 0) << r.err;
    r = run_kestrix("-q -y demo.xm quiet.bmx --merge-after piped.bmx -o quiet.bmx");
    EXPECT_EQ(r.status, 0) << r.err;
    // A character device named as the song or the log is written into, -y or not, and stays one
    // (a node made here when the system lets us, else /dev/null itself).
    const std::string null = ::mknod("null", S_IFCHR | 0666, makedev(1, 3)) == 0 ? "null" : "/dev/null";
    for (const std::string args : {"-q demo.xm -o ", "-q -y --merge piped.bmx -o ", "-q -y demo.xm nul.bmx --log "}) {
        EXPECT_EQ(run_kestrix(args + null).status, 0) << args;
        EXPECT_EQ(fs::status(null).type(), fs::file_type::character) << args;
    }

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
    // A MIDI file whose XI folder holds none of its instruments: one warning, also under -q.
    kxtest::smf(0, 96, {kxtest::SmfTrack().on(0, 0, 60).off(96, 0, 60)}).write("tune.mid");
    fs::create_directory("empty");
    r = run_kestrix("-q --set xi_dir=empty/ --soundfont none tune.mid");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Warning: empty/ holds none of the XI files this song's waves come from (the first: "
                     "empty/gmc_01.xi); the song has no waves\n");
    // One that holds some of them: no warning.
    fs::create_directory("some");
    kxfix::xi_file(kxfix::XmInstrument{.samples = {kxfix::XmSample{.data = {1, 2, 3, 4}}}}).write("some/gmc_01.xi");
    r = run_kestrix("-q -y --set xi_dir=some/ --soundfont none tune.mid");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    r = run_kestrix("-q -s wide.xm");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "order: 0Jeskola Tracker allows ony 32 channels,sorry!\n"
                     "kestrix: wide.xm: the conversion failed (see the line above)\n");
    EXPECT_FALSE(fs::exists("wide.bmx"));
    // A batch shows under a file's line what -q shows of its log.
    fs::copy_file("warn.xm", "warn2.xm");
    r = run_kestrix("-q -y +S warn.xm warn2.xm");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find(" s\n    Warning: No instrument mapped (31 1 0 0 0)\n    (pattern: 0 track: 0 line: 0)\n"),
              std::string::npos) << r.err;
    r = run_kestrix("-q -s wide.xm warn.xm");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("failed  wide.xm: the conversion failed (see the line above)\n"
                         "    order: 0Jeskola Tracker allows ony 32 channels,sorry!\n"), std::string::npos) << r.err;
    // So does the dialog's batch.
    kxtest::install_machines_ini();
    Settings s;
    s.dotsplit = Split::by_instrument;
    BatchJobs running;
    EXPECT_EQ(convert_batch_file(s, {"warn.xm", "dialog.bmx"}, running).warnings,
              (std::vector<std::string>{"Warning: No instrument mapped (31 1 0 0 0)", "(pattern: 0 track: 0 line: 0)",
                                        "Warning: No instrument mapped (31 2 0 0 0)", "(pattern: 0 track: 1 line: 0)"}));
    s.dotsplit = Split::one_machine;
    const BatchResult wide = convert_batch_file(s, {"wide.xm", "dialog.bmx"}, running);
    EXPECT_EQ(wide.reason, "the conversion failed (see the log)");
    EXPECT_EQ(wide.warnings, std::vector<std::string>{"order: 0Jeskola Tracker allows ony 32 channels,sorry!"});
    // A batch refuses the later of two inputs that make one song, however far apart; an XI
    // instrument needs no machines.ini, a module does.
    r = run_kestrix("-q -y warn.xm wide.xm warn.mod");
    EXPECT_NE(r.err.find("failed  warn.mod: warn.bmx is also the song of warn.xm\n"), std::string::npos) << r.err;
    kxfix::xi_file(kxfix::XmInstrument{.samples = {kxfix::XmSample{.data = {1, 2, 3, 4}}}}).write("one.xi");
    std::ofstream("machines.ini") << "garbage\n";
    r = run_kestrix("-q -y one.xi warn.xm");
    EXPECT_EQ(r.err, "failed  warn.xm: machines.ini: unsupported machines.ini version \"\" (kestrix reads "
                     "version 2.5)\n1 converted, 1 failed\n");
    fs::remove("machines.ini");
}

// Every way a job can be refused or fail: one line naming the file and the reason, and the status.
// Names in songs are Windows-1252: the listing shows them, and its JSON holds them, as UTF-8.
TEST_F(Cli, SongTextsAreListedAsUtf8)
{
    const std::string name = "Gur\xfa 2\x01\x81";
    Bytes wavt = Bytes().le16(1).le16(0).str("\x80.wav").u8(0).str("Kl\xe4ng").u8(0).le32(0).u8(0).u8(1);
    wavt.le32(2).le32(0).le32(0).le32(8000).u8(0x41);
    kxsong::song({{"MACH", Bytes().le16(2).append(kxsong::master()).append(kxsong::tracker(name, 1))},
                  {"WAVT", wavt},
                  {"WAVE", Bytes().le16(1).le16(0).u8(0).le32(4).fill(4, 1)}})
        .write("g.bmx");
    auto r = run_kestrix("--list g.bmx --json");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"name\": \"Gur\xc3\xba 2\\u0001\\u0081\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"name\": \"Kl\xc3\xa4ng\", \"file\": \"\xe2\x82\xac.wav\""), std::string::npos) << r.out;
    r = run_kestrix("--list g.bmx");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("    1  Gur\xc3\xba 2\x01\xc2\x81                 generator Jeskola Tracker\n"), std::string::npos) << r.out;
    r = run_kestrix("--list g.bmx +v");
    EXPECT_NE(r.out.find("\n0:(\xe2\x82\xac.wav,Kl\xc3\xa4ng)"), std::string::npos) << r.out; // the contents too

    // A file name is bytes: what is not UTF-8 in it becomes U+FFFD.
    fs::copy_file("g.bmx", "g\xff.bmx");
    r = run_kestrix("--list 'g\xff.bmx' --json");
    EXPECT_TRUE(r.out.starts_with("{\n  \"file\": \"g\xef\xbf\xbd.bmx\",")) << r.out;
}

// A machine machines.ini does not describe is named with its library, its layout taken from the
// next machine's record, so that the machines after it are named and the patterns counted too;
// --libraries gives its line as machines.ini takes it.
TEST_F(Cli, UnknownMachinesAreNamed)
{
    const Bytes foo = kxsong::machine("Foo 1", "Foo Synth", Bytes().u8(1).u8(2).u8(3), 2, Bytes().fill(4, 7));
    const Bytes patt = Bytes().le16(0).le16(0).le16(1).le16(1).append(kxsong::pattern("p", 2, {}, Bytes().fill(2, 6), {kxsong::tracker_rows(2, 0x41)}))
                           .le16(1).le16(2).append(kxsong::pattern("f", 2, {}, Bytes().fill(6, 1), {Bytes().fill(8, 2), Bytes().fill(8, 3)}))
                           .le16(0).le16(1);
    kxsong::song({{"MACH", Bytes().le16(4).append(kxsong::master()).append(kxsong::tracker("Tracker 01", 1)).append(foo)
                               .append(kxsong::tracker("Tracker 02", 1))},
                  {"CONN", Bytes().le16(0)},
                  {"PATT", patt}})
        .write("u.bmx");
    auto r = run_kestrix("--list u.bmx");
    EXPECT_NE(r.out.find("machines: 4\n    0  Master                   master    \n"
                         "    1  Tracker 01               generator Jeskola Tracker\n"
                         "    2  Foo 1                    generator Foo Synth  (not in machines.ini)\n"
                         "    3  Tracker 02               generator Jeskola Tracker\npatterns: 2\n"), std::string::npos) << r.out;
    r = run_kestrix("--list u.bmx --json");
    EXPECT_NE(r.out.find("\"dll\": \"Foo Synth\", \"in_machines_ini\": false, \"patterns\": 1}"), std::string::npos) << r.out;
    r = run_kestrix("--libraries u.bmx");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "\"Jeskola Tracker\" 1 1 5    ; machines.ini has it\n\"Foo Synth\" 1 3 4    ; not in machines.ini (a "
                     "generator's line goes on: note wave volume max_tracks attributes short_name)\n");
}

TEST_F(Cli, OneLineForEachFailure)
{
    fs::copy_file(kxe2e::demo_xm(), "demo.xm");
    fs::create_directory("dir.xm");
    std::ofstream("text.xm") << "hello, this is text\n";
    std::ofstream("old.bmx") << "edited in Buzz";
    fs::create_hard_link("demo.xm", "link.bmx");
    fs::create_directory("nomachines");
    fs::copy_file("demo.xm", "nomachines/demo.xm");
    ASSERT_EQ(run_kestrix("-q demo.xm song.bmx").status, 0); // 5 waves of one level each
    std::ofstream("notes.txt") << "mine";
    std::ofstream("kxrip01.wav") << "mine";
    std::ofstream("text.xi") << "hello, this is text\n";
    ASSERT_EQ(::mkfifo("fifo", 0644), 0);
    fs::create_symlink("fifo", "fifo.bmx");
    std::ofstream("stub.xi") << "Extended Instrument: ";
    kxtest::Bytes().str("Extended Instrument: ").fill(43, ' ').le16(0x0102).fill(230, 0).le16(3).write("cut.xi");
    std::ofstream("stub.xm") << "Extended Module: ";
    Bytes mute{kxtest::read_file("demo.xm")};
    mute.data[68] = mute.data[69] = 0; // no channels
    mute.write("mute.xm");
    const std::string exe = std::string(KESTRIX_BINARY_DIR) + "/machines.ini";
    const std::string long_text = "--save-settings --set buzz_path=" + std::string(490, 'b');
    const struct {
        const char *ini, *args;
        int status;
        const char* line;
    } cases[] = {
        {nullptr, "missing.xm", 1, "kestrix: missing.xm: No such file or directory"},
        {nullptr, "dir.xm", 1, "kestrix: dir.xm: Is a directory"},
        {nullptr, "text.xm", 1, "kestrix: text.xm: not a module of any known kind (XM, MOD, S3M, IT or another "
                               "format mod2xm reads, MIDI, XI, Buzz song)"},
        {nullptr, "demo.xm nodir/out.bmx", 1, "kestrix: nodir/out.bmx: No such file or directory (no folder nodir)"},
        {nullptr, "demo.xm old.bmx", 1, "kestrix: old.bmx: exists; -y (--force) replaces it"},
        {nullptr, "-y demo.xm ./link.bmx", 1, "kestrix: ./link.bmx: is the input file itself; name another output"},
        {"garbage\n", "demo.xm", 1, "kestrix: machines.ini: unsupported machines.ini version \"\" (kestrix reads version 2.5)"},
        {nullptr, "--log nodir/x.log demo.xm", 2, "kestrix: nodir/x.log: No such file or directory"},
        {nullptr, "--set dotsplit=7 demo.xm", 2,
         "kestrix: --set dotsplit=7: dotsplit takes 0 to 2, not 7 (kestrix --keys lists every key)"},
        {nullptr, "--set blines=0 demo.xm", 2,
         "kestrix: --set blines=0: blines takes 1 to 65535, not 0 (kestrix --keys lists every key)"},
        {nullptr, "--transpose 1000 demo.xm", 2,
         "kestrix: transpo=1000: transpo takes -120 to 120, not 1000 (kestrix --keys lists every key)"},
        {nullptr, "--merge missing.bmx -o x.bmx", 1, "kestrix: missing.bmx: No such file or directory"},
        {nullptr, "--merge song.bmx missing.bmx -o x.bmx", 1, "kestrix: missing.bmx: No such file or directory"},
        {nullptr, "--merge old.bmx -o link.bmx", 1, "kestrix: link.bmx: exists; -y (--force) replaces it"},
        {nullptr, "--set foo=1 demo.xm", 2, "kestrix: --set: unknown key \"foo\" (kestrix --keys lists the keys)"},
        {nullptr, "- out.bmx", 1, "kestrix: standard input: nothing to read"},
        {nullptr, "- out.bmx </dev/zero", 1, "kestrix: standard input: not a module of any known kind (XM, MOD, "
                                             "S3M, IT or another format mod2xm reads, MIDI, XI, Buzz song)"},
        {nullptr, long_text.c_str(), 1, "kestrix: kestrix.ini: not saved: buzz_path is 490 characters long; a "
                                        "kestrix.ini line holds 489 after \"buzz_path=\""},
        // No output is a file the job reads or another of its outputs, -y or not; the log file
        // and a WAV obey the same rules as the song.
        {nullptr, "-y -q demo.xm out.bmx --log demo.xm", 1, "kestrix: demo.xm: is the input file itself; name another log file"},
        {nullptr, "--merge old.bmx -o m.bmx --log old.bmx", 1, "kestrix: old.bmx: is the merge's first song; name another log file"},
        {nullptr, "demo.xm out.bmx --log notes.txt", 1, "kestrix: notes.txt: exists; -y (--force) replaces it"},
        {nullptr, "-y demo.xm out.bmx --log out.bmx", 1, "kestrix: out.bmx: is also the job's song; name another log file"},
        // A batch's log is none of the files any of its jobs reads or writes.
        {nullptr, "-y demo.xm nomachines/demo.xm --log demo.xm", 1, "kestrix: demo.xm: is the input file itself; name another log file"},
        {nullptr, "-y demo.xm nomachines/demo.xm --log nomachines/demo.bmx", 1,
         "kestrix: nomachines/demo.bmx: is the song of nomachines/demo.xm; name another log file"},
        {"version=2.5\n", "-y demo.xm nomachines/demo.xm --log machines.ini", 1,
         "kestrix: machines.ini: is machines.ini, which the job reads; name another log file"},
        {nullptr, "-y demo.xm new.bmx --merge-after song.bmx -o link.bmx", 1,
         "kestrix: link.bmx: is the input file itself; name another merged song"},
        {nullptr, "--list song.bmx --rip 1", 1, "kestrix: kxrip01.wav: exists; -y (--force) replaces it"},
        // A wave tool that finds nothing to work on fails rather than writing an unchanged copy.
        {nullptr, "-q --list song.bmx --rip 99", 1, "kestrix: song.bmx: no wave 99 (the song has waves 1 to 5)"},
        {nullptr, "-q --merge song.bmx -o t.bmx --tune 99:1:22050", 1,
         "kestrix: the transformation failed: song.bmx: no wave 99 (the song has waves 1 to 5)"},
        {nullptr, "-q --merge song.bmx -o t.bmx --tune 1:5:22050", 1,
         "kestrix: the transformation failed: song.bmx: wave 1 has no level 5 (it has level 1)"},
        // Standard output: written whole or the run fails with the system's reason, and never
        // a file the job reads.
        {nullptr, "--list song.bmx >/dev/full", 1, "kestrix: standard output: No space left on device"},
        {nullptr, "-q --generators song.bmx >/dev/full", 1, "kestrix: standard output: No space left on device"},
        {nullptr, "-q demo.xm - >/dev/full", 1, "kestrix: standard output: No space left on device"},
        {nullptr, "-q demo.xm - 1<>demo.xm", 1, "kestrix: standard output: is the input file itself"},
        {nullptr, "-q demo.xm full.bmx --log /dev/full", 1,
         "kestrix: /dev/full: could not be written: No space left on device"},
        {nullptr, "--list song.bmx >>song.bmx", 1, "kestrix: standard output: is the input file itself"},
        {nullptr, "--merge song.bmx -o - 1<>song.bmx", 1, "kestrix: standard output: is the merge's first song"},
        // -y replaces regular files only: never a FIFO, nor through a link to one.
        {nullptr, "-y demo.xm -o fifo", 1, "kestrix: fifo: not a regular file"},
        {nullptr, "-y -O . demo.xm nomachines/demo.xm --log fifo.bmx", 1, "kestrix: fifo.bmx: not a regular file"},
        {nullptr, "-y --merge song.bmx -o fifo.bmx", 1, "kestrix: fifo.bmx: not a regular file"},
        // The WAV of a merge sent to a device goes into the current folder.
        {nullptr, "--merge song.bmx -o /dev/null --rip 1", 1, "kestrix: kxrip01.wav: exists; -y (--force) replaces it"},
        // An XI input is checked like every other kind.
        {nullptr, "text.xi", 1, "kestrix: text.xi: not an XI instrument (no \"Extended Instrument: \" tag)"},
        {nullptr, "stub.xi", 1, "kestrix: stub.xi: not an XI instrument (cut at 21 bytes, an XI header takes 298)"},
        {nullptr, "cut.xi", 1, "kestrix: cut.xi: not an XI instrument (its 3 sample headers reach past its end at 298 bytes)"},
        // So is an XM: its header as the module reader checks it.
        {nullptr, "stub.xm", 1, "kestrix: stub.xm: not an XM module (it is cut at 17 bytes, an XM header takes 80)"},
        {nullptr, "-q mute.xm", 1, "kestrix: mute.xm: not an XM module (it has 0 channels, only 1 to 128 possible)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        if (c.ini) std::ofstream("machines.ini") << c.ini;
        const auto r = run_kestrix(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err.substr(0, r.err.find('\n')), c.line) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        fs::remove("machines.ini");
    }
    EXPECT_EQ(kxtest::read_text("old.bmx"), "edited in Buzz");
    EXPECT_TRUE(fs::is_fifo("fifo") && fs::is_symlink("fifo.bmx"));
    EXPECT_EQ(kxtest::read_text("notes.txt"), "mine");
    EXPECT_EQ(kxtest::read_file("demo.xm"), kxtest::read_file(kxe2e::demo_xm()));
    for (const char* never : {"kestrix.ini", "demo.bmx", "nomachines/demo.bmx", "out.bmx", "new.bmx", "m.bmx", "t.bmx", "text.bmx", "stub.bmx"})
        EXPECT_FALSE(fs::exists(never)) << never;
    const auto t = run_kestrix("--target 25 demo.xm");
    EXPECT_EQ(t.status, 1);
    EXPECT_EQ(t.err, "kestrix: " + exe + ": no machine record 26 for target 25 (the file has records 0 to 18)\n");
}

// kestrix.ini: one line says it was read, one warning for each line that could not be used; the
// field keeps its value. --keys lists every key.
TEST_F(Cli, SettingsFileWarningsAndKeys)
{
    std::ofstream("kestrix.ini") << ";comment\ndotsplit=7\nfoo=1\nblines=x\ntranspo=5\n";
    const auto r = run_kestrix("--save-settings");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Settings from " + fs::current_path().string() + "/kestrix.ini\n"
                     "kestrix: warning: kestrix.ini line 2: dotsplit=7: dotsplit takes 0 to 2, not 7 (kept as it was)\n"
                     "kestrix: warning: kestrix.ini line 3: unknown key \"foo\" (kept as it was)\n"
                     "kestrix: warning: kestrix.ini line 4: blines=x: blines takes 1 to 65535 (kept as it was)\n");
    const std::string saved = kxtest::read_text("kestrix.ini");
    EXPECT_NE(saved.find("\ndotsplit= 1  \n"), std::string::npos);
    EXPECT_NE(saved.find("\ntranspo=  5   \n"), std::string::npos);
    const auto k = run_kestrix("--keys");
    EXPECT_EQ(k.status, 0);
    EXPECT_NE(k.out.find("\ndotsplit       integer  0 to 2                     1            machines:"), std::string::npos)
        << k.out;
    EXPECT_EQ(std::count(k.out.begin(), k.out.end(), '\n'), 1 + 48 + 8) << k.out;
}

// Standard input is spooled up to a limit: the first bytes (already read) count.
TEST(StandardInput, SpooledUpToTheLimit)
{
    for (uint64_t limit : {9, 10}) {
        FILE* in = std::tmpfile();
        FILE* out = std::tmpfile();
        ASSERT_TRUE(in && out);
        std::fputs("3456789", in);
        std::rewind(in);
        const uint8_t head[] = {'0', '1', '2'};
        EXPECT_EQ(spool_input(in, head, 3, out, "spool", limit),
                  limit < 10 ? "more than the 9 bytes kestrix takes from standard input; name the file instead" : "");
        EXPECT_EQ(kxtest::text_of(out), limit < 10 ? "012" : "0123456789");
        std::fclose(in);
        std::fclose(out);
    }
}

// On a terminal a bar stands below the lines: a job's progress once it has run half a second, a
// batch's count of files; each is gone before the next line and at the end. Off a terminal no
// bar at all.
TEST(ConsoleProgress, ABarOnATerminalOnly)
{
    const auto text_of = [](FILE* f) {
        const std::string t = kxtest::text_of(f);
        std::fclose(f);
        return t;
    };
    const std::string cleared = "\r" + std::string(progress_bar_columns, ' ') + "\r";
    for (bool terminal : {true, false}) {
        SCOPED_TRACE(terminal);
        FILE* f = std::tmpfile();
        ASSERT_NE(f, nullptr);
        {
            ConsoleLog log(f, false, terminal);
            log.set_progress([] { return 0.25; });
            log.draw_text("Reading");
            log.move_to_line(1);
            // The bar waits half a second (so short jobs show none), then comes with a repaint.
            const auto start = std::chrono::steady_clock::now(), give_up = start + std::chrono::milliseconds(terminal ? 5000 : 700);
            while (std::ftell(f) == 8 && std::chrono::steady_clock::now() < give_up) {
                log.repaint();
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(terminal ? 450 : 700));
            log.draw_text("Writing");
            log.move_to_line(2);
            log.finish();
        }
        const std::string bar = "\r" + progress_bar(0.25) + "  25%";
        EXPECT_EQ(text_of(f), terminal ? "Reading\n" + bar + cleared + "Writing\n" : std::string("Reading\nWriting\n"));

        f = std::tmpfile();
        ASSERT_NE(f, nullptr);
        const std::vector<BatchFile> files = {{"a.xm", "a.bmx"}, {"b.xm", "b.bmx"}};
        const int failed = run_batch(files, 1, [](const BatchFile& b) {
            std::this_thread::sleep_for(std::chrono::milliseconds(b.input == "b.xm" ? 400 : 0));
            BatchResult r;
            r.ok = true;
            return r;
        }, BatchConsole{f, false, terminal, nullptr});
        EXPECT_EQ(failed, 0);
        const std::string t = text_of(f);
        const std::string half = "\r" + progress_bar(0.5) + " 1/2 files";
        EXPECT_EQ(t.find('['), terminal ? t.find(half) + 1 : std::string::npos) << t;
        EXPECT_EQ(t.find(half + cleared + "ok  b.xm -> b.bmx  ") != std::string::npos, terminal) << t;
        EXPECT_TRUE(t.starts_with("ok  a.xm -> a.bmx  ") && t.ends_with(" s\n2 converted\n")) << t;
    }
}

// A batch: each file's line with its warnings under it (also under -q, which leaves out the files
// that only converted), the summary, and the --log file with each job's whole log in the order of
// the files, each ending with its line.
TEST(BatchConsole, LinesWarningsAndLog)
{
    const std::vector<BatchFile> files = {{"a.xm", "a.bmx"}, {"b.xm", "b.bmx"}, {"c.xm", "c.bmx"}};
    const ConvertOne convert = [](const BatchFile& f) {
        BatchResult r;
        r.ok = f.input != "b.xm";
        if (f.input == "a.xm") r.log = "A log", r.warnings = {"Warning: w", "(pattern: 0)"};
        if (f.input == "b.xm") r.log = "B log\n", r.reason = "bad";
        return r;
    };
    const auto no_times = [](std::string t) { return std::regex_replace(t, std::regex("  [0-9.]+ s\n"), "\n"); };
    for (bool quiet : {false, true}) {
        FILE* out = std::tmpfile();
        FILE* log = std::tmpfile();
        ASSERT_TRUE(out && log);
        EXPECT_EQ(run_batch(files, 1, convert, BatchConsole{out, quiet, false, log}), 1);
        EXPECT_EQ(no_times(kxtest::text_of(out)), std::string("ok  a.xm -> a.bmx\n    Warning: w\n    (pattern: 0)\n"
                                                              "failed  b.xm: bad\n") +
                                                      (quiet ? "" : "ok  c.xm -> c.bmx\n") + "2 converted, 1 failed\n");
        EXPECT_EQ(no_times(kxtest::text_of(log)), "== a.xm\nA log\nok  a.xm -> a.bmx\n\n== b.xm\nB log\n"
                                                  "failed  b.xm: bad\n\n== c.xm\nok  c.xm -> c.bmx\n\n");
        std::fclose(out);
        std::fclose(log);
    }
}

} // namespace
