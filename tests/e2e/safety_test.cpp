// What a user's files must survive: a full disk (seen by the program as writes past a file-size
// limit), names planted in a shared folder, two runs writing one name at once, a job stopped by a
// signal, songs of similar names sharing an XI folder, and a MOD asked for a BMW song. Grouped by
// what is protected: outputs, XI files, settings.
#include "e2e/e2e_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <set>
#include <thread>

#include "convert/fixtures.h"
#include "songwriter/xi_file.h"
#include "transform/buzz_song_builder.h"

namespace fs = std::filesystem;

namespace {

using kxe2e::RunResult;

// The console edition in the current folder with every file it writes limited to `blocks` blocks
// of 512 bytes: a write past that fails as on a full disk (the program itself turns the signal the
// system sends then into a write error).
RunResult run_limited(int blocks, const std::string& args)
{
    const std::string cmd = "sh -c \"ulimit -f " + std::to_string(blocks) + "; exec '" +
                            KESTRIX_BINARY_DIR + "/kestrix' " + args + "\" >/dev/null 2>cli-err.txt </dev/null";
    const int st = std::system(cmd.c_str());
    RunResult r;
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.err = kxtest::read_text("cli-err.txt");
    fs::remove("cli-err.txt");
    return r;
}

int scratch_files_in(const fs::path& dir)
{
    int n = 0;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename().string().find("-kx") != std::string::npos) ++n;
    return n;
}

using kxe2e::files_in;
using kxe2e::wait_for;
pid_t start(const std::vector<std::string>& args) { return kxe2e::start_kestrix(".", args); }

// A module of about 160 MB of 16-bit sample data in 8 instruments: its conversion writes long
// enough to be stopped while the song or its XI files are being written.
void write_big_xm(const fs::path& path)
{
    constexpr uint32_t sample_bytes = 20u << 20;
    kxtest::Bytes b;
    b.str("Extended Module: ").fixed("big", 20).u8(0x1A).fixed("kestrix", 20).le16(0x0104);
    b.le32(276).le16(1).le16(0).le16(4).le16(1).le16(8).le16(1).le16(6).le16(125).fill(256, 0);
    b.le32(9).u8(0).le16(64).le16(0);
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(b.data.data()), std::streamsize(b.size()));
    std::vector<char> data(sample_bytes, 3);
    for (int i = 0; i < 8; ++i) {
        kxtest::Bytes ins;
        ins.le32(263).fixed("big", 22).u8(0).le16(1).le32(40).fill(230, 0);
        ins.le32(sample_bytes).le32(0).le32(0).u8(64).u8(0).u8(0x10).u8(128).u8(0).u8(0).fixed("s", 22);
        f.write(reinterpret_cast<const char*>(ins.data.data()), std::streamsize(ins.size()));
        f.write(data.data(), std::streamsize(data.size()));
    }
}

// A Buzz song of a Master and one wave of `bytes` bytes (one level at 22050 Hz).
void write_wave_song(const fs::path& path, uint32_t bytes)
{
    using namespace kxsong;
    const Bytes wavt = Bytes().le16(1).le16(0).str("w.wav").u8(0).str("W").u8(0).le32(0).u8(0).u8(1)
                           .le32(bytes / 2).le32(0).le32(0).le32(22050).u8(0x41);
    // The WAVE section comes last: its wave's bytes follow the song as it is built here.
    Bytes b = kxsong::song({{"MACH", Bytes().le16(1).append(master())}, {"CONN", Bytes().le16(0)}, {"WAVT", wavt},
                    {"PATT", Bytes().le16(0).le16(0)}, {"SEQU", sequ(16, {})}, {"BLAH", blah("big")},
                    {"WAVE", Bytes().le16(1).le16(0).u8(0).le32(bytes)}});
    const size_t wave_entry = 8 + 12 * 6;
    const uint32_t length = dword_le(b.data, wave_entry + 8) + bytes;
    for (int k = 0; k < 4; ++k) b.data[wave_entry + 8 + size_t(k)] = uint8_t(length >> (8 * k));
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(b.data.data()), std::streamsize(b.size()));
    const std::vector<char> data(1u << 20, 5);
    for (uint32_t left = bytes; left;) {
        const uint32_t n = std::min<uint32_t>(left, uint32_t(data.size()));
        f.write(data.data(), n);
        left -= n;
    }
}

std::vector<std::string> xi_names(const fs::path& dir)
{
    std::vector<std::string> names;
    if (fs::exists(dir))
        for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class Safety : public kxtest::WorkDirTest {
protected:
    void SetUp() override
    {
        WorkDirTest::SetUp();
        fs::copy_file(kxe2e::demo_xm(), "demo.xm");
        fs::create_directory("xi");
    }
};

// Outputs and settings: a write that fails leaves the previous file as it was, no scratch file,
// no XI file, and status 1.
TEST_F(Safety, FullDiskFailsAndKeepsThePreviousFile)
{
    write_wave_song("w.bmx", 4096);
    struct Case { const char* what; const char* args; const char* kept; };
    const Case cases[] = {
        {"song with waves", "-y demo.xm out.bmx", "out.bmx"},
        {"BMW and its XI files", "-y demo.xm out.bmw --waves bmw --set xi_dir=xi/", "out.bmw"},
        {"settings", "--save-settings --split none", "kestrix.ini"},
        {"a ripped wave", "-y --list w.bmx --rip 1", "kxrip01.wav"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::ofstream(c.kept) << "previous";
        RunResult r = run_limited(2, c.args);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(kxtest::read_text(c.kept), "previous");
        EXPECT_EQ(scratch_files_in("."), 0);
        EXPECT_EQ(xi_names("xi"), std::vector<std::string>{});
        RunResult ok = run_limited(100000, c.args);
        EXPECT_EQ(ok.status, 0) << ok.err;
        EXPECT_NE(kxtest::read_text(c.kept), "previous");
        fs::remove(c.kept);
        for (const std::string& n : xi_names("xi")) fs::remove(fs::path("xi") / n);
    }
    // Standard input spooled into a full temporary folder: the reason is the system's.
    EXPECT_NE(run_limited(2, "-q - x.bmx <demo.xm").err.find(": File too large\n"), std::string::npos);
}

// Outputs: two runs that write one name at once never both succeed, many times over: the name is
// taken only while it is free, the run that finds it taken fails (status 1) and leaves no scratch
// file, and the file of that name is the song of the run that succeeded, whole. Conversions
// (the two songs differ) and merges.
TEST_F(Safety, TwoRunsForOneNameNeverBothSucceed)
{
    kxtest::install_machines_ini();
    ASSERT_EQ(kxe2e::run_kestrix("-q demo.xm a.bmx").status, 0);
    fs::copy_file("demo.xm", "b.xm");
    struct Case { const char* what; std::vector<std::string> first, second; };
    const Case cases[] = {
        {"conversions", {"-q", "demo.xm", "out.bmx"}, {"-q", "b.xm", "out.bmx", "--transpose", "1"}},
        {"merges", {"-q", "--merge", "a.bmx", "-o", "out.bmx"}, {"-q", "--merge", "a.bmx", "a.bmx", "-o", "out.bmx"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // Each run's song, made alone.
        std::vector<uint8_t> song[2];
        for (int i = 0; i < 2; ++i) {
            fs::remove("out.bmx");
            ASSERT_EQ(WEXITSTATUS(wait_for(start(i ? c.second : c.first))), 0);
            song[i] = kxtest::read_file("out.bmx");
        }
        ASSERT_NE(song[0], song[1]);
        for (int round = 0; round < 20; ++round) {
            fs::remove("out.bmx");
            const pid_t a = start(c.first), b = start(c.second);
            const int sa = wait_for(a), sb = wait_for(b);
            ASSERT_TRUE(WIFEXITED(sa) && WIFEXITED(sb)) << round;
            const int succeeded = int(WEXITSTATUS(sa) == 0) + int(WEXITSTATUS(sb) == 0);
            ASSERT_EQ(succeeded, 1) << "round " << round << ": " << WEXITSTATUS(sa) << " " << WEXITSTATUS(sb);
            EXPECT_EQ(kxtest::read_file("out.bmx"), song[WEXITSTATUS(sa) == 0 ? 0 : 1]) << "round " << round;
            EXPECT_EQ(scratch_files_in("."), 0);
        }
    }
}

// Outputs and XI files: a job stopped by SIGINT, SIGTERM or SIGHUP (the terminal closed) while it
// writes ends by the signal and leaves the folder and xi_dir as they were: no scratch file, no XI
// file of the unfinished BMW, and the song of that name from before untouched.
TEST_F(Safety, InterruptedJobsLeaveNothingBehind)
{
    write_big_xm("big.xm");
    write_wave_song("big.bmx", 64u << 20);
    kxtest::install_machines_ini();
    struct Case { const char* what; std::vector<std::string> args; const char* kept; int sig; bool on_xi; };
    const Case cases[] = {
        {"conversion", {"-q", "-y", "big.xm", "old.bmx"}, "old.bmx", SIGINT, false},
        {"conversion", {"-q", "-y", "big.xm", "old.bmx"}, "old.bmx", SIGTERM, false},
        {"conversion", {"-q", "-y", "big.xm", "old.bmx"}, "old.bmx", SIGHUP, false},
        // Stopped once the first XI file has its name.
        {"BMW", {"-q", "-y", "big.xm", "old.bmw", "--waves", "bmw", "--set", "xi_dir=xi/"}, "old.bmw", SIGINT, true},
        // The big wave is not the merge's last copy: a rip takes it through the program, or the
        // second song's follows it.
        {"merge", {"-q", "-y", "--merge", "big.bmx", "-o", "old.bmx", "--blow-up", "2", "--rip", "1"}, "old.bmx", SIGINT, false},
        {"merge", {"-q", "-y", "--merge", "big.bmx", "big.bmx", "-o", "old.bmx"}, "old.bmx", SIGTERM, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.what) + " " + std::to_string(c.sig));
        std::ofstream(c.kept) << "the song from before";
        const std::set<std::string> before = files_in("."), before_xi = files_in("xi");
        bool stopped = false;
        for (int attempt = 0; attempt < 5 && !stopped; ++attempt) {
            const pid_t pid = start(c.args);
            const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            int status = 0;
            bool ended = false;
            while (!ended && std::chrono::steady_clock::now() < give_up) {
                bool writing = false;
                for (const std::string& name : files_in(c.on_xi ? "xi" : ".")) {
                    const bool scratch = name.find("-kx") != std::string::npos;
                    std::error_code ec;
                    if (c.on_xi ? !scratch : scratch && fs::file_size(name, ec) > (8u << 20) && !ec) writing = true;
                }
                if (writing) {
                    ::kill(pid, c.sig);
                    break;
                }
                ended = ::waitpid(pid, &status, WNOHANG) == pid;
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            if (!ended) status = wait_for(pid);
            stopped = WIFSIGNALED(status) && WTERMSIG(status) == c.sig;
            if (!stopped) { // it finished first
                std::ofstream(c.kept) << "the song from before";
                fs::remove("kxrip01.wav");
                for (const std::string& n : files_in("xi")) fs::remove(fs::path("xi") / n);
            }
        }
        ASSERT_TRUE(stopped) << "the job was never caught while writing";
        EXPECT_EQ(files_in("."), before);
        EXPECT_EQ(files_in("xi"), before_xi);
        EXPECT_EQ(kxtest::read_text(c.kept), "the song from before");
    }
}

// Standard streams the caller closed: the program first opens them on the null device, so no
// file it opens takes their numbers. The song is what it is with them open (the log, a listing
// here, goes nowhere), and a song meant for a closed standard output fails.
TEST_F(Safety, ClosedStandardStreamsReachNoFile)
{
    ASSERT_EQ(kxe2e::run_kestrix("-q demo.xm song.bmx").status, 0);
    for (const std::string args : {"+L demo.xm", "--merge song.bmx --blow-up 2 -o"}) {
        SCOPED_TRACE(args);
        const std::string run = std::string(KESTRIX_BINARY_DIR) + "/kestrix " + args + " ";
        ASSERT_EQ(std::system((run + "open.bmx >/dev/null 2>&1").c_str()), 0);
        EXPECT_EQ(std::system(("sh -c 'exec " + run + "closed.bmx >&- 2>&-'").c_str()), 0);
        EXPECT_EQ(kxtest::read_file("closed.bmx"), kxtest::read_file("open.bmx"));
        fs::remove("open.bmx");
        fs::remove("closed.bmx");
    }
    const std::string to_closed = "sh -c 'exec " + std::string(KESTRIX_BINARY_DIR) + "/kestrix -q demo.xm - >&-'";
    EXPECT_EQ(WEXITSTATUS(std::system((to_closed + " 2>cli-err.txt").c_str())), 1);
    EXPECT_EQ(kxtest::read_text("cli-err.txt"), "kestrix: standard output: Bad file descriptor\n");
}

// Outputs: symbolic links planted under the scratch names a run will try are never written
// through; the run takes the next free name.
TEST_F(Safety, PlantedLinksAreNotFollowed)
{
    std::ofstream("victim") << "victim";
    const pid_t pid = ::fork();
    if (pid == 0) {
        const std::string stem = "out_bmx-kx" + std::to_string(::getpid()) + "-";
        for (int n = 1; n <= 3; ++n) {
            if (::symlink("victim", (stem + std::to_string(n) + ".part").c_str()) != 0) ::_exit(125);
            if (::symlink("nowhere", (stem + std::to_string(n) + ".xm").c_str()) != 0) ::_exit(125);
        }
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 1);
        ::dup2(null, 2);
        const std::string bin = std::string(KESTRIX_BINARY_DIR) + "/kestrix";
        ::execl(bin.c_str(), "kestrix", "demo.xm", "out.bmx", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(kxtest::read_text("victim"), "victim");
    EXPECT_FALSE(fs::exists("nowhere"));
    EXPECT_GT(fs::file_size("out.bmx"), 1000u);
    // A log file planted as a link: refused without -y; with it the link itself is replaced.
    fs::create_symlink("victim", "run.log");
    EXPECT_EQ(kxe2e::run_kestrix("-q demo.xm log.bmx --log run.log").status, 1);
    EXPECT_EQ(kxe2e::run_kestrix("-q -y demo.xm log.bmx --log run.log").status, 0);
    EXPECT_FALSE(fs::is_symlink("run.log"));
    EXPECT_NE(kxtest::read_text("run.log").find("Conversion finished!"), std::string::npos);
    EXPECT_EQ(kxtest::read_text("victim"), "victim");
    // A FIFO under the song's name is never replaced, also by a job that no check of the console
    // came before (the dialog's).
    ASSERT_EQ(::mkfifo("pipe.bmx", 0644), 0);
    kxtest::install_machines_ini();
    const auto r = kxe2e::convert_file(settings, "demo.xm", "pipe.bmx");
    EXPECT_NE(r.log.find("Can't write pipe.bmx: not a regular file"), std::string::npos) << r.log;
    EXPECT_TRUE(!r.ok && fs::is_fifo("pipe.bmx"));
}

// XI files: a song whose name shares its first six letters with another's never overwrites the
// other's instruments; it names its own files, the first song keeps the usual names, and converting
// a song again adds nothing.
TEST_F(Safety, SongsOfSimilarNamesKeepTheirOwnXiFiles)
{
    fs::copy_file("demo.xm", "samename_a.xm");
    std::string b = kxtest::read_text("demo.xm");
    b[b.size() - 1] = char(b[b.size() - 1] + 1); // the last instrument's last sample byte
    std::ofstream("samename_b.xm", std::ios::binary) << b;
    const std::string opts = " -y --waves bmw --set xi_dir=xi/";
    ASSERT_EQ(kxe2e::run_kestrix("samename_a.xm a.bmw" + opts).status, 0);
    const auto first = xi_names("xi");
    ASSERT_FALSE(first.empty());
    for (const std::string& n : first) EXPECT_EQ(n.rfind("samena", 0), 0u) << n;
    ASSERT_EQ(kxe2e::run_kestrix("samename_b.xm b.bmw" + opts).status, 0);
    const auto both = xi_names("xi");
    ASSERT_EQ(both.size(), first.size() + 1) << "only the instrument that differs gets a file";
    const std::string own = both.front().find('~') != std::string::npos ? both.front() : both.back();
    EXPECT_EQ(own.substr(0, 6), "same~1");
    EXPECT_NE(kxtest::read_text("b.bmw").find(own), std::string::npos);
    EXPECT_EQ(kxtest::read_text("a.bmw").find(own), std::string::npos);
    ASSERT_EQ(kxe2e::run_kestrix("samename_a.xm a.bmw" + opts).status, 0);
    EXPECT_EQ(xi_names("xi"), both);
}

// XI files: a job never takes another running job's instrument for its own. Two BMW songs of one
// game (their first instrument the same) at once: the one made while the other is stopped halfway
// names a file of its own, and the other, interrupted or failing, removes only its own files. Round
// after round, stopped and failing in turn.
TEST_F(Safety, RunningJobsNeverShareAnXiFile)
{
    kxfix::XmModule game;
    game.channels = 1;
    game.patterns = {kxfix::pattern(4, 1, {{0, 0, 49, 1, 0, 0, 0}})};
    game.instruments = {kxfix::XmInstrument{"drum", {kxfix::XmSample{{1, 2, 3, 4}}}}};
    kxfix::xm_file(game).write("gamesong2.xm");
    game.instruments.push_back({"long", {kxfix::XmSample{std::vector<uint8_t>(32u << 20, 1)}}});
    kxfix::xm_file(game).write("gamesong1.xm");
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        for (const char* f : {"xi", "a.bmw", "b.bmw"}) fs::remove_all(f);
        const pid_t a = start({"-q", "gamesong1.xm", "a.bmw", "--waves", "bmw", "--set", "xi_dir=xi/"});
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!fs::exists("xi/gameso00.xi") && std::chrono::steady_clock::now() < give_up) {
        }
        ::kill(a, SIGSTOP); // its first instrument is there, its song is not
        ASSERT_EQ(kxe2e::run_kestrix("-q gamesong2.xm b.bmw --waves bmw --set xi_dir=xi/").status, 0);
        if (round % 2) std::ofstream("a.bmw") << "taken meanwhile"; // its song cannot have its name
        ::kill(a, round % 2 ? SIGCONT : SIGINT);
        ::kill(a, SIGCONT);
        const int status = wait_for(a);
        EXPECT_TRUE(round % 2 ? WIFEXITED(status) && WEXITSTATUS(status) == 1 : WIFSIGNALED(status)) << status;
        const std::string named = kxtest::read_text("b.bmw").find("gameso00.xi") != std::string::npos ? "gameso00.xi" : "game~100.xi";
        EXPECT_EQ(xi_names("xi"), std::vector<std::string>{named});
        EXPECT_EQ(xi_instrument_problem(("xi/" + named).c_str()), "");
    }
}

// XI files: a name taken by anything (a link to nowhere, a folder, the song itself) moves on to the
// next free name, which the song names; an instrument without samples gets no XI file.
TEST_F(Safety, TakenXiNamesMoveOnAndEmptyInstrumentsGetNone)
{
    kxfix::XmModule m;
    m.channels = 1;
    m.patterns = {kxfix::pattern(4, 1, {{0, 0, 49, 1, 0, 0, 0}})};
    const kxfix::XmInstrument played{"ins", {kxfix::XmSample{{1, 2, 3, 4}}}};
    m.instruments = {played, kxfix::XmInstrument{}, played, played};
    kxfix::xm_file(m).write("x.xm");
    fs::create_directory_symlink("nowhere", "xi/x02.xi");
    fs::create_directory("xi/x03.xi");
    // The song takes the usual name of its own first XI file.
    RunResult r = kxe2e::run_kestrix("x.xm -o xi/x00.xi --waves bmw --set xi_dir=xi/");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(xi_names("xi"), (std::vector<std::string>{"x00.xi", "x02.xi", "x03.xi", "x~100.xi", "x~102.xi", "x~103.xi"}));
    const std::string song = kxtest::read_text("xi/x00.xi");
    EXPECT_EQ(song.substr(0, 4), "Buzz");
    for (const char* named : {"x~100.xi", "x~102.xi", "x~103.xi"}) EXPECT_NE(song.find(named), std::string::npos) << named;
    EXPECT_EQ(kxtest::read_text("xi/x~102.xi").substr(0, 21), "Extended Instrument: ");
}

// XI files: a MOD read by the program itself and asked for a BMW song exports its samples as XI
// files the song names, and the wave setting stays what the user gave (a saved kestrix.ini holds
// it).
TEST_F(Safety, NativeModMakesABmwWithItsSamples)
{
    kxfix::ModModule m;
    m.samples = {kxfix::ModSample{{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}}};
    kxfix::mod_file(m).write("tune.mod");
    RunResult r = kxe2e::run_kestrix("tune.mod tune.bmw --waves bmw --set xi_dir=xi/ --save-settings");
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(xi_names("xi"), std::vector<std::string>{"tune00.xi"});
    const std::string xi = kxtest::read_text("xi/tune00.xi");
    ASSERT_EQ(xi.size(), 298u + 40 + 16);
    EXPECT_EQ(xi.substr(0, 21), "Extended Instrument: ");
    EXPECT_EQ(uint8_t(xi[298 + 40 + 1]), 1u) << "delta-coded";
    EXPECT_NE(kxtest::read_text("tune.bmw").find("tune00.xi"), std::string::npos);
    EXPECT_NE(kxtest::read_text("kestrix.ini").find("dowave= 1"), std::string::npos);
}

} // namespace

namespace {

// Input files: a module cut inside its sample data converts what it has, and says so also under -q.
TEST_F(Safety, CutModuleWarnsEvenWhenQuiet)
{
    const std::string whole = kxtest::read_text("demo.xm");
    std::ofstream("cut.xm", std::ios::binary) << whole.substr(0, whole.size() - 100);
    RunResult r = kxe2e::run_kestrix("-q cut.xm cut.bmx");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE((r.out + r.err).find("Warning: cut.xm ends early"), std::string::npos) << r.out << r.err;
}

// Song timing: a pattern entered at or below its own break row plays from the entry row to its
// end, so the next sequence event comes that many rows later, never at the same position.
TEST_F(Safety, PatternEnteredBelowItsOwnBreakPlaysToItsEnd)
{
    kxtest::install_machines_ini();
    struct Case { unsigned entry; std::vector<uint32_t> positions; };
    for (const Case& c : {Case{50, {0, 1, 15}}, Case{32, {0, 1, 33}}, Case{16, {0, 1, 17}}}) {
        SCOPED_TRACE(c.entry);
        kxfix::XmModule m;
        m.channels = 1;
        m.order = {0, 1, 0};
        m.patterns = {kxfix::pattern(64, 1, {{0, 0, 49, 0, 0, 13, c.entry}}),   // break into pattern 1
                      kxfix::pattern(64, 1, {{0, 0, 50, 0, 0, 0, 0}, {31, 0, 0, 0, 0, 13, 0}})}; // its own break on row 31
        kxfix::xm_file(m).write("break.xm");
        settings = Settings();
        settings.dotsplit = Split::one_machine;
        ASSERT_TRUE(kxe2e::convert_file(settings, "break.xm", "break.bmx").ok);
        const std::vector<uint8_t> b = kxtest::read_file("break.bmx");
        size_t sequ = 0;
        for (size_t e = 8; e + 12 <= b.size() && b[e]; e += 12)
            if (std::string(b.begin() + long(e), b.begin() + long(e) + 4) == "SEQU") sequ = kxfix::dword_at(b, e + 4);
        ASSERT_NE(sequ, 0u);
        const size_t events = sequ + 14 + 2 + 4 + 2; // song head, the generator's machine, count, sizes
        std::vector<uint32_t> got;
        for (uint32_t k = 0; k < kxfix::dword_at(b, sequ + 14 + 2); ++k) got.push_back(b.at(events + 3 * k) | b.at(events + 3 * k + 1) << 8);
        EXPECT_EQ(got, c.positions);
    }
}

// XI files: a name of non-ASCII letters is never cut inside a character.
TEST(XiNames, UsualNameKeepsWholeCharacters)
{
    struct Case { const char* input; const char* name; };
    for (const Case k : {Case{"añññ.xm", "añ\xc3\xb1" "05.xi"}, Case{"ññññ.xm", "ñññ05.xi"}, Case{"ab", "ab05.xi"}}) {
        const Settings settings;
        Log log;
        Pool pool(log);
        MachineTable machines;
        Conversion c(settings, log, pool, machines);
        c.song.current_input = k.input;
        EXPECT_EQ(xi_export_name(c, 5), k.name);
    }
}

} // namespace

namespace {

// Input files: an IT or S3M module goes through its converter without touching the user's own
// XM of the same name beside it.
TEST_F(Safety, ConverterLeavesTheUsersXmAlone)
{
    const fs::path corpus = kxtest::corpus_dir();
    if (!kxtest::have_corpus() || !fs::exists(fs::path(KESTRIX_BINARY_DIR) / "it2xm")) GTEST_SKIP() << "no corpus or converters";
    for (const char* module : {"it/pingus-2.it", "s3m/pachi-credits.s3m"}) {
        const std::string ext = fs::path(module).extension().string();
        fs::copy_file(corpus / module, "song" + ext);
        std::ofstream("song.xm") << "mine";
        RunResult r = kxe2e::run_kestrix("-y song" + ext + " out.bmx");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(kxtest::read_text("song.xm"), "mine");
        EXPECT_EQ(scratch_files_in("."), 0);
        fs::remove("song" + ext);
    }
}

} // namespace
