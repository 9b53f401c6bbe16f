// The console edition run the way scripts run it: many conversions at once in one folder, from a
// folder it may not write to, and stopped while a converter program runs. Nothing of one run may
// reach another, no scratch file may stay behind, and an existing song stays as it was.
#include "e2e/e2e_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <set>
#include <thread>

namespace fs = std::filesystem;

namespace {

std::string kestrix() { return std::string(KESTRIX_BINARY_DIR) + "/kestrix"; }

using kxe2e::files_in;
using kxe2e::wait_for;
pid_t start(const fs::path& dir, const std::vector<std::string>& args, bool unwritable = false,
            const std::string& program = "")
{
    return kxe2e::start_kestrix(dir, args, unwritable, program);
}

bool have_converters() { return fs::exists(fs::path(KESTRIX_BINARY_DIR) / "mod2xm") && fs::exists(fs::path(KESTRIX_BINARY_DIR) / "it2xm"); }

class SideBySide : public kxtest::WorkDirTest {};

// A copy of the program beside a stand-in it2xm (where the program looks first) that notes its
// process id in converters.pid and sleeps; the folder is removed by the caller.
fs::path program_with_sleeping_converter(const fs::path& dir)
{
    const fs::path app = dir.parent_path() / (dir.filename().string() + "-app");
    fs::create_directory(app);
    fs::copy_file(kestrix(), app / "kestrix");
    std::ofstream(app / "it2xm") << "#!/bin/sh\necho $$ >> converters.pid\nexec sleep 30\n";
    fs::permissions(app / "it2xm", fs::perms::owner_all);
    return app;
}

// Eight different modules (S3M and IT through the converter programs when they are built)
// converted at once into one folder, three times over: each song equals the one a run alone
// made, and every run ends with 0.
TEST_F(SideBySide, EightConversionsAtOnceGiveTheSongsOfSerialRuns)
{
    std::vector<std::string> exts = {".xm", ".mod"};
    if (have_converters()) exts.insert(exts.end(), {".s3m", ".it"});
    // Taken by turns from each kind; an XM beside a module of its name is a converter's output.
    std::vector<std::vector<fs::path>> kinds;
    for (const std::string& ext : exts) {
        kinds.emplace_back();
        for (const fs::path& p : kxtest::corpus_files({ext})) {
            bool left_by_converter = false;
            for (const char* m : {".it", ".s3m", ".mod"})
                if (ext == ".xm" && fs::exists(fs::path(p).replace_extension(m))) left_by_converter = true;
            if (!left_by_converter) kinds.back().push_back(p);
        }
    }
    std::vector<fs::path> inputs;
    for (size_t round = 0; inputs.size() < 8 && round < 8; ++round)
        for (const auto& kind : kinds)
            if (round < kind.size() && inputs.size() < 8) inputs.push_back(kind[round]);
    if (inputs.size() < 8) GTEST_SKIP() << "fewer than 8 corpus modules";
    kxtest::install_machines_ini();

    std::vector<std::vector<uint8_t>> serial;
    for (size_t k = 0; k < inputs.size(); ++k) {
        const std::string out = "serial" + std::to_string(k) + ".bmx";
        const int st = wait_for(start(dir, {"-q", inputs[k].string(), out}));
        ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << inputs[k];
        serial.push_back(kxtest::read_file(out));
    }
    const std::set<std::string> before = files_in(dir);
    for (int round = 0; round < 3; ++round) {
        std::vector<pid_t> runs;
        for (size_t k = 0; k < inputs.size(); ++k)
            runs.push_back(start(dir, {"-q", "-y", inputs[k].string(), "side" + std::to_string(k) + ".bmx"}));
        for (size_t k = 0; k < runs.size(); ++k) {
            const int st = wait_for(runs[k]);
            EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << inputs[k] << " round " << round;
            EXPECT_EQ(kxtest::read_file("side" + std::to_string(k) + ".bmx"), serial[k]) << inputs[k];
        }
        std::set<std::string> after = files_in(dir);
        for (size_t k = 0; k < inputs.size(); ++k) after.erase("side" + std::to_string(k) + ".bmx");
        EXPECT_EQ(after, before) << "round " << round; // no scratch file left
    }
}

// The current folder cannot be written: the song goes elsewhere, and so do the scratch files of
// a conversion through mod2xm. (Root may write into a read-only folder; it then runs in one that
// no longer exists.)
TEST_F(SideBySide, ReadOnlyCurrentFolderWithTheOutputElsewhere)
{
    fs::create_directory("songs");
    std::vector<std::string> inputs = {kxe2e::demo_xm().string()};
    const auto s3m = kxtest::corpus_files({".s3m"});
    if (have_converters() && !s3m.empty()) inputs.push_back(s3m.front().string());
    const bool root = ::geteuid() == 0;
    for (size_t k = 0; k < inputs.size(); ++k) {
        fs::create_directory("here");
        ::chmod("here", 0555);
        const fs::path out = dir / "songs" / ("out" + std::to_string(k) + ".bmx");
        const int st = wait_for(start(dir / "here", {inputs[k], out.string()}, root));
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << inputs[k];
        EXPECT_GT(kxtest::read_file(out).size(), 380u) << inputs[k];
        if (fs::exists("here")) {
            EXPECT_TRUE(fs::is_empty("here"));
            ::chmod("here", 0755);
            fs::remove("here");
        }
    }
    EXPECT_EQ(files_in("songs"), (inputs.size() == 2 ? std::set<std::string>{"out0.bmx", "out1.bmx"}
                                                     : std::set<std::string>{"out0.bmx"}));
}

// Stopped while an outside converter runs: the converter is ended too and its scratch files
// (the module's copy, the reserved XM) are removed. The converter is a stand-in beside a copy of
// the program, where it looks first.
TEST_F(SideBySide, InterruptDuringAnOutsideConverter)
{
    kxtest::install_machines_ini();
    const fs::path app = program_with_sleeping_converter(dir);
    kxtest::Bytes().fill(64, 0).write("song.it");
    const std::set<std::string> before = files_in(dir);
    const pid_t pid = start(dir, {"-q", "song.it", "song.bmx"}, false, (app / "kestrix").string());
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((!fs::exists("converters.pid") || kxtest::read_text("converters.pid").empty()) &&
           std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(fs::exists("converters.pid")) << "the stand-in converter never ran";
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ::kill(pid, SIGTERM);
    const int status = wait_for(pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    const pid_t converter = std::stoi(kxtest::read_text("converters.pid"));
    EXPECT_NE(::kill(converter, 0), 0); // ended and reaped
    fs::remove("converters.pid");
    fs::remove_all(app);
    EXPECT_EQ(files_in(dir), before);
}

// Ten corpus files in one call, four at once, beside a broken one: each song equals the one a run
// of its own makes, the broken file fails alone (its line names it, the status is 1), and the
// summary counts both. The log file holds every file's log whole, in the order of the files.
TEST_F(SideBySide, OneCallConvertsManyFilesAtOnce)
{
    std::vector<std::string> exts = {".xm", ".mod", ".xi"};
    if (have_converters()) exts.insert(exts.end(), {".s3m", ".it"});
    std::vector<std::string> names; // taken by turns from each kind
    for (size_t round = 0; round < 10; ++round)
        for (const std::string& ext : exts) {
            const auto kind = kxtest::corpus_files({ext});
            if (round >= kind.size() || names.size() == 10) continue;
            names.push_back("in" + std::to_string(names.size()) + ext);
            fs::copy_file(kind[round], names.back());
        }
    if (names.size() < 10) GTEST_SKIP() << "fewer than 10 corpus files";
    kxtest::install_machines_ini();
    std::vector<std::vector<uint8_t>> alone;
    for (const std::string& n : names) {
        const auto r = kxe2e::run_kestrix("-q " + n + " alone.bmx -y");
        ASSERT_EQ(r.status, 0) << n << r.err;
        alone.push_back(kxtest::read_file("alone.bmx"));
    }
    fs::remove("alone.bmx");
    // With the converters the broken file is a cut IT: what it2xm says of it is its failure's
    // reason, naming the file; a converter's notes stand under their file's line, never loose
    // between the files' lines.
    const std::string broken = have_converters() ? "broken.it" : "broken.xm";
    if (have_converters()) {
        kxtest::Bytes cut;
        cut.data = kxtest::read_file(kxtest::corpus_files({".it"}).front());
        cut.data.resize(2000);
        cut.write(broken);
    } else {
        std::ofstream(broken) << "no module at all";
    }
    std::string args = "-j 4 -O songs --log all.log";
    for (size_t k = 0; k < names.size(); ++k) args += " " + names[k] + (k == 4 ? " " + broken : "");
    const auto r = kxe2e::run_kestrix(args);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(r.err.ends_with("\n10 converted, 1 failed\n")) << r.err;
    const std::string reason = have_converters() ? "it2xm: cannot read broken.it: " : "";
    EXPECT_NE(r.err.find("\nfailed  " + broken + ": " + reason), std::string::npos) << r.err;
    std::istringstream lines(r.err);
    for (std::string line; std::getline(lines, line);) {
        const bool converter = line.find("2xm: ") != std::string::npos;
        EXPECT_TRUE(!converter || line.starts_with("    ") || line.starts_with("failed  ")) << line;
    }
    const std::string log = kxtest::read_text("all.log");
    EXPECT_NE(log.find("\nfailed  " + broken + ": " + reason), std::string::npos) << log;
    size_t at = 0;
    for (size_t k = 0; k < names.size(); ++k) {
        const std::string song = "songs/in" + std::to_string(k) + ".bmx";
        EXPECT_EQ(kxtest::read_file(song), alone[k]) << names[k];
        EXPECT_NE(r.err.find("ok  " + names[k] + " -> " + song + "  "), std::string::npos) << r.err;
        const size_t next = log.find("== " + names[k] + "\n", at);
        EXPECT_NE(next, std::string::npos) << names[k] << " out of order in the log";
        at = next == std::string::npos ? at : next;
    }
    EXPECT_EQ(files_in("songs").size(), names.size());
}

// Ctrl-C while a batch waits for its converters: every job ends, each converter with it, and no
// scratch file stays. The converter is a stand-in beside a copy of the program, where it looks
// first.
TEST_F(SideBySide, InterruptedBatchLeavesNoScratch)
{
    kxtest::install_machines_ini();
    const fs::path app = program_with_sleeping_converter(dir);
    std::vector<std::string> args = {"-j", "3"};
    for (int k = 0; k < 5; ++k) {
        const std::string name = "song" + std::to_string(k) + ".it";
        kxtest::Bytes().fill(64, 0).write(name);
        args.push_back(name);
    }
    const std::set<std::string> before = files_in(dir);
    const pid_t pid = start(dir, args, false, (app / "kestrix").string());
    auto started = [] {
        std::ifstream in("converters.pid");
        return int(std::count(std::istreambuf_iterator<char>(in), {}, '\n'));
    };
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (started() < 3 && std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(started(), 3) << "the batch did not run three converters at once";
    ::kill(pid, SIGINT);
    const int status = wait_for(pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
    std::ifstream in("converters.pid");
    for (int converter; in >> converter;) EXPECT_NE(::kill(converter, 0), 0) << converter; // ended and reaped
    in.close();
    fs::remove("converters.pid");
    fs::remove_all(app);
    EXPECT_EQ(files_in(dir), before);
}

} // namespace
