// What a user's files must survive: a full disk (seen by the program as writes past a file-size
// limit), names planted in a shared folder, songs of similar names sharing an XI folder, and a MOD
// asked for a BMW song. Grouped by what is protected: outputs, XI files, settings.
#include "e2e/e2e_support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "convert/fixtures.h"
#include "songwriter/xi_file.h"

namespace fs = std::filesystem;

namespace {

using kxe2e::RunResult;

// The console edition in the current folder with every file it writes limited to `blocks` blocks
// of 512 bytes: a write past that fails as on a full disk.
RunResult run_limited(int blocks, const std::string& args)
{
    const std::string cmd = "sh -c \"ulimit -f " + std::to_string(blocks) + "; trap '' XFSZ; exec '" +
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
// and a non-zero status.
TEST_F(Safety, FullDiskFailsAndKeepsThePreviousFile)
{
    struct Case { const char* what; const char* args; const char* kept; };
    const Case cases[] = {
        {"song with waves", "-y demo.xm out.bmx", "out.bmx"},
        {"BMW and its XI files", "-y demo.xm out.bmw --waves bmw --set xi_dir=xi/", "out.bmw"},
        {"settings", "--save-settings --split none", "kestrix.ini"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::ofstream(c.kept) << "previous";
        RunResult r = run_limited(2, c.args);
        EXPECT_NE(r.status, 0) << r.err;
        EXPECT_EQ(kxtest::read_text(c.kept), "previous");
        EXPECT_EQ(scratch_files_in("."), 0);
        EXPECT_EQ(scratch_files_in("xi"), 0);
        RunResult ok = run_limited(100000, c.args);
        EXPECT_EQ(ok.status, 0) << ok.err;
        EXPECT_NE(kxtest::read_text(c.kept), "previous");
        fs::remove(c.kept);
    }
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
        settings.dotsplit = 0;
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
        std::snprintf(c.song.current_input, sizeof c.song.current_input, "%s", k.input);
        char out[64];
        xi_export_name(c, 5, out, int(sizeof out));
        EXPECT_STREQ(out, k.name);
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
