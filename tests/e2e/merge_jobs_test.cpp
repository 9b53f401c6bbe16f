// Whole merge jobs through the console edition: the corpus's real Buzz song and the songs the
// converter writes from the corpus modules, merged and transformed and re-read with the program's
// own reader; the generator list; a conversion followed by a merge; usage errors.
#include "e2e/e2e_support.h"

#include <algorithm>

#include "buzz/bmx_reader.h"
#include "settings/settings.h"
#include "transform/buzz_song_builder.h"

namespace fs = std::filesystem;
using kxe2e::run_kestrix;

namespace {

// The machines of a written song, listed with a full parse (machines.ini of the current folder),
// each of which Buzz plays (it reaches the master, its name is its own).
int machines_of(const std::string& path)
{
    const auto r = kxe2e::reread_song(path);
    EXPECT_TRUE(r.ok) << path << r.log;
    EXPECT_EQ(kxsong::wiring_fault(r.names, r.connections), "") << path;
    return r.machines;
}

class MergeJobs : public kxtest::WorkDirTest {};

TEST_F(MergeJobs, RealBuzzSongMergedAndTransformed)
{
    const fs::path dir = kxtest::corpus_dir() / "bmx";
    if (!fs::exists(dir / "buzztrax-buzz2.bmx")) GTEST_SKIP() << "no corpus at " << kxtest::corpus_dir();
    fs::copy_file(dir / "buzztrax-buzz2.bmx", "real.bmx");
    // The shipped machines.ini has none of its machines: their layouts come from the song's PARA.
    const auto l = run_kestrix("--libraries real.bmx");
    EXPECT_EQ(l.out.substr(0, l.out.find('\n')), "\"ErsKick\" 1 0 12    ; not in machines.ini (a generator's line goes on: "
                                                "note wave volume max_tracks attributes short_name)") << l.out;
    fs::copy_file(dir / "machines.ini", "machines.ini");
    const auto g = run_kestrix("--generators real.bmx");
    EXPECT_EQ(g.status, 0) << g.err;
    EXPECT_EQ(g.out, " 1: ErsKick\n 2: ErsSnare\n 3: ErsHihat\n");

    const struct {
        const char* args;
        int machines;
        const char* report;
    } cases[] = {
        {"--merge real.bmx real.bmx -o out.bmx --scale --shift-waves", 7, "\nMerging finished!\n"},
        {"--merge real.bmx -o out.bmx --blow-up 2 --repeat 3 --clone 2:primifun --source-transpose 1", 5,
         "\nTransformation finished!\n"},
        {"--merge real.bmx real.bmx -o real.bmx --blow-up 2 --clone 1:tracker", 8, "\nMerging finished!\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const auto r = run_kestrix(c.args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(r.err.ends_with(c.report)) << r.err;
        EXPECT_EQ(machines_of(fs::exists("out.bmx") ? "out.bmx" : "real.bmx"), c.machines);
        fs::remove("out.bmx");
    }

    // With a song whose machines have the same names (a copy with a clone), both ways round; a
    // converted module merged after the real song.
    fs::copy_file(dir / "buzztrax-buzz2.bmx", "real.bmx", fs::copy_options::overwrite_existing);
    ASSERT_EQ(run_kestrix("--merge real.bmx -o ers.bmx --clone 1:tracker").status, 0);
    fs::copy_file(kxe2e::demo_xm(), "demo.xm");
    for (const char* args : {"--merge real.bmx ers.bmx", "--merge ers.bmx real.bmx", "demo.xm new.bmx --merge-after real.bmx"}) {
        SCOPED_TRACE(args);
        EXPECT_EQ(run_kestrix(std::string("-y ") + args + " -o m.bmx").status, 0);
        EXPECT_EQ(machines_of("m.bmx"), 8); // 4 and 5 machines, one master
    }
}

// Every real song keeps its sections beyond the seven through a transformation, byte for byte and
// in their places; merged with itself, its parameter descriptions cover every machine.
TEST_F(MergeJobs, RealSongsKeepEverySection)
{
    const auto songs = kxtest::corpus_files({".bmx"});
    if (songs.empty()) GTEST_SKIP() << "no corpus at " << kxtest::corpus_dir();
    fs::copy_file(kxtest::corpus_dir() / "bmx" / "machines.ini", "machines.ini");
    for (const fs::path& song : songs) {
        SCOPED_TRACE(song.filename().string());
        fs::copy_file(song, "real.bmx", fs::copy_options::overwrite_existing);
        const auto in_bytes = kxtest::read_file("real.bmx");
        const auto in = kxsong::sections_of(in_bytes);
        auto r = run_kestrix("-y --merge real.bmx -o t.bmx --blow-up 2 --repeat 3");
        ASSERT_EQ(r.status, 0) << r.err;
        const auto out_bytes = kxtest::read_file("t.bmx");
        const auto out = kxsong::sections_of(out_bytes);
        // The seven in their order where MACH stood, the others before or after them as they were.
        const std::vector<std::string> seven = {"MACH", "CONN", "WAVT", "PATT", "SEQU", "BLAH", "WAVE"};
        std::vector<std::string> before, after;
        bool past_mach = false;
        for (const std::string& name : kxsong::directory_of(in_bytes)) {
            past_mach |= name == "MACH";
            if (std::find(seven.begin(), seven.end(), name) != seven.end()) continue;
            EXPECT_TRUE(out.count(name) && out.at(name) == in.at(name)) << name;
            (past_mach ? after : before).push_back(name);
        }
        std::vector<std::string> want = before;
        want.insert(want.end(), seven.begin(), seven.end());
        want.insert(want.end(), after.begin(), after.end());
        EXPECT_EQ(kxsong::directory_of(out_bytes), want);

        r = run_kestrix("-y --merge real.bmx real.bmx -o m.bmx");
        ASSERT_EQ(r.status, 0) << r.err;
        const auto merged = kxsong::sections_of(kxtest::read_file("m.bmx"));
        if (in.count("PARA")) {
            const auto& para = merged.at("PARA");
            const uint32_t machines = kxsong::dword_le(in.at("MACH"), 0) & 0xFFFF;
            EXPECT_EQ(kxsong::dword_le(para, 0), 2 * machines - 1);
            EXPECT_TRUE(std::equal(in.at("PARA").begin() + 4, in.at("PARA").end(), para.begin() + 4));
        }
    }
}

TEST_F(MergeJobs, ConvertedCorpusModulesMergedPairwiseAndTransformed)
{
    const auto modules = kxtest::corpus_files({".xm", ".mod"});
    if (modules.empty()) GTEST_SKIP() << "no corpus at " << kxtest::corpus_dir();
    kxtest::install_machines_ini();
    std::vector<int> machines;
    for (size_t i = 0; i < modules.size(); ++i) {
        settings = Settings();
        const auto r = kxe2e::convert_file(settings, modules[i].string(), "s" + std::to_string(i) + ".bmx");
        ASSERT_TRUE(r.ok) << modules[i] << r.log;
        machines.push_back(r.machine_count);
    }
    for (size_t i = 0; i < modules.size(); ++i) {
        const size_t j = (i + 1) % modules.size();
        SCOPED_TRACE(modules[i].filename().string() + " + " + modules[j].filename().string());
        const auto r = run_kestrix("-q -y --merge s" + std::to_string(i) + ".bmx s" + std::to_string(j) +
                                   ".bmx -o m.bmx --scale --shift-waves --blow-up 2 --repeat 2 --clone 1:primifun");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(machines_of("m.bmx"), machines[i] + machines[j]); // one master less, the clone more
    }
}

TEST_F(MergeJobs, ConversionThenMergeAndUsageErrors)
{
    kxtest::install_machines_ini();
    fs::copy_file(kxe2e::demo_xm(), "demo.xm");
    ASSERT_EQ(run_kestrix("demo.xm base.bmx -q").status, 0);
    const auto r = run_kestrix("demo.xm new.bmx --merge-after base.bmx -o both.bmx --rip 2");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.err.ends_with("\nConversion and merging finished!\n")) << r.err;
    EXPECT_EQ(machines_of("both.bmx"), 9);
    EXPECT_TRUE(fs::exists("kxrip02.wav"));
    // Behind a shorter song the new song still plays to its end.
    kxsong::song({{"MACH", kxtest::Bytes().le16(1).append(kxsong::master())}, {"SEQU", kxsong::sequ(16, {})}}).write("short.bmx");
    ASSERT_EQ(run_kestrix("-q demo.xm long.bmx --merge-after short.bmx -o all.bmx").status, 0);
    const auto end_of = [](const char* song) { return kxsong::dword_le(kxsong::sections_of(kxtest::read_file(song)).at("SEQU"), 0); };
    EXPECT_GT(end_of("long.bmx"), 16u);
    EXPECT_EQ(end_of("all.bmx"), end_of("long.bmx"));
    EXPECT_EQ(run_kestrix("--list base.bmx --rip 1 --tune 1:1:8000").status, 0); // a listed song
    EXPECT_EQ(kxtest::read_file("kxrip01.wav").at(24), 8000 & 0xFF);
    EXPECT_EQ(run_kestrix("--merge base.bmx --set merge_output=set.bmx --set clone_source=1").status, 0);
    EXPECT_TRUE(fs::exists("set.bmx"));

    const char* const bad[] = {
        "--merge",           "--merge a.bmx b.bmx c.bmx", "--merge a.bmx --blow-up 0", "--merge a.bmx --clone 2",
        "--merge a.bmx --clone 1:zither", "--merge a.bmx --tune 1:2", "demo.xm a.bmx -o x.bmx", "--merge a.bmx --rip x",
        "--generators",      "--list base.bmx --merge base.bmx",  "--merge a.bmx --clone-wave 256",
    };
    for (const char* args : bad) {
        const auto u = run_kestrix(args);
        EXPECT_EQ(u.status, 2) << "kestrix " << args << "\n" << u.err;
    }
    const auto missing = run_kestrix("--generators missing.bmx");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "kestrix: missing.bmx: No such file or directory\n");

    // A failed merge names the job, the file it concerns and the cause; in the log the error has
    // a line of its own.
    kxtest::Bytes().str("just notes").write("notes.bmx");
    const struct {
        const char *args, *line;
    } failures[] = {
        {"--merge notes.bmx base.bmx -o m.bmx", "kestrix: the merge failed: notes.bmx: No correct BUZZ file!!\n"},
        {"--merge base.bmx notes.bmx -o m.bmx", "kestrix: the merge failed: notes.bmx: No correct BUZZ file!!\n"},
        {"--merge base.bmx -o sub2/m.bmx", "kestrix: the transformation failed: sub2/: no such folder\n"},
        {"--merge base.bmx base.bmx -o sub2/m.bmx", "kestrix: the merge failed: sub2/: no such folder\n"},
        {"demo.xm n.bmx --merge-after notes.bmx -o m.bmx", "kestrix: the merge failed: notes.bmx: No correct BUZZ file!!\n"},
    };
    for (const auto& f : failures) {
        const auto r = run_kestrix(std::string("-q -y --log merge.log ") + f.args);
        EXPECT_EQ(r.status, 1) << f.args;
        EXPECT_EQ(r.err, f.line) << f.args;
    }
    EXPECT_NE(kxtest::read_text("merge.log").find("Reading first file: notes.bmx\nError: No correct BUZZ file!!\n"),
              std::string::npos);
}

} // namespace
