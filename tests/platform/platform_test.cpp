// Operating-system layer: running outside programs and finding them, file and stream helpers.
#include "support/test_support.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <set>
#include <thread>

#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

using Platform = kxtest::WorkDirTest;

// A shell script that writes its arguments to args.out and exits with `code`.
void make_script(const fs::path& p, int code)
{
    std::ofstream(p) << "#!/bin/sh\nprintf '%s|' \"$@\" > args.out\nexit " << code << "\n";
    fs::permissions(p, fs::perms::owner_all);
}

TEST_F(Platform, RunProgramGivesTheExitCode)
{
    make_script("three.sh", 3);
    EXPECT_EQ(platform::run_program((dir / "three.sh").string(), {"three.sh", "a b", "", "c\"d"}), 3);
    EXPECT_EQ(kxtest::read_text("args.out"), "a b||c\"d|"); // arguments arrive unchanged
    EXPECT_EQ(platform::run_program((dir / "missing").string(), {"missing"}), -1);
    std::ofstream("plain.txt") << "not a program\n";
    EXPECT_EQ(platform::run_program((dir / "plain.txt").string(), {"plain.txt"}), -1);

    // Ending one job's program ends that one alone, and one started after the end at once.
    std::ofstream("slow.sh") << "#!/bin/sh\n[ \"$1\" = long ] && exec sleep 30\nsleep 1\nexit 4\n";
    fs::permissions("slow.sh", fs::perms::owner_all);
    auto slow = [&](platform::RunningProgram& r, const char* how) {
        return platform::run_program((dir / "slow.sh").string(), {"slow.sh", how}, nullptr, &r);
    };
    platform::RunningProgram mine, other;
    int mine_code = 0, other_code = 0;
    std::thread a([&] { mine_code = slow(mine, "long"); }), b([&] { other_code = slow(other, "short"); });
    for (int i = 0; i < 500 && [&] { std::lock_guard<std::mutex> l(mine.mutex); return !mine.child; }(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    platform::end_running_program(mine);
    a.join();
    b.join();
    EXPECT_EQ(mine_code, -1);
    EXPECT_EQ(other_code, 4);
    EXPECT_EQ(slow(mine, "long"), -1);

    // More programs at once than there are slots for (a batch of the largest -j, and more): all
    // run, the later ones once a slot is free; never more than the slots at once.
    std::ofstream("held.sh") << "#!/bin/sh\n: > started.$$\nwhile [ ! -f go ]; do sleep 0.2; done\n";
    fs::permissions("held.sh", fs::perms::owner_all);
    const int many = platform::max_programs_at_once + 8;
    std::atomic<int> ok{0};
    std::vector<std::thread> runs;
    for (int i = 0; i < many; ++i)
        runs.emplace_back([&] { ok += platform::run_program((dir / "held.sh").string(), {"held.sh"}) == 0; });
    auto started = [] {
        return std::count_if(fs::directory_iterator("."), fs::directory_iterator(),
                             [](const auto& e) { return e.path().filename().string().starts_with("started."); });
    };
    for (int i = 0; i < 3000 && started() < platform::max_programs_at_once; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(started(), platform::max_programs_at_once);
    std::ofstream("go");
    for (std::thread& t : runs) t.join();
    EXPECT_EQ(ok, many);
    EXPECT_EQ(started(), many);
}

// An interrupt removes every registered file, however many a process holds (a batch of BMW
// jobs keeps every XI file registered until its song is written), and none it has forgotten.
TEST_F(Platform, InterruptRemovesEveryRegisteredFile)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        platform::remove_scratch_on_interrupt();
        platform::ScratchFile kept;
        bool made = kept.create("kept") && kept.commit("kept.txt", false) == 0;
        for (int i = 0; i < 1000 && made; ++i) made = platform::create_scratch_file(("s" + std::to_string(i)).c_str());
        for (int i = 0; i < 1000 && made; i += 3) platform::remove_scratch(("s" + std::to_string(i)).c_str());
        for (int i = 1000; i < 1300 && made; ++i) made = platform::create_scratch_file(("s" + std::to_string(i)).c_str());
        std::ofstream(made ? "ready" : "failed");
        for (;;) ::pause();
    }
    for (int i = 0; i < 3000 && !fs::exists("ready") && !fs::exists("failed"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    std::set<std::string> left;
    for (const auto& e : fs::directory_iterator(".")) left.insert(e.path().filename().string());
    EXPECT_EQ(left, (std::set<std::string>{"kept.txt", "ready"}));
}

// Beside the running program, then the absolute folders of PATH; never the current folder, also
// not through an empty or relative PATH entry.
TEST_F(Platform, FindProgramOrder)
{
    const std::string name = "kxfind-" + std::to_string(::getpid()), old_path = std::getenv("PATH");
    const fs::path in_path = dir / "bin" / name, beside = fs::path(platform::executable_directory()) / name;
    fs::create_directory("bin");
    setenv("PATH", ("/nonexistent::.:bin:" + in_path.parent_path().string()).c_str(), 1);
    std::vector<std::string> found;
    for (const fs::path& p : {dir / name, in_path, beside}) {
        make_script(p, 0);
        found.push_back(platform::find_program(name));
    }
    found.push_back(platform::find_program("kxfind-no-such-program"));
    setenv("PATH", old_path.c_str(), 1);
    fs::remove(beside);
    EXPECT_EQ(found, (std::vector<std::string>{"", in_path.string(), beside.string(), ""}));
}

// Copies go after what the output had, and the output goes on at its new end; a copy asked for
// more than the input holds stops at its end.
TEST_F(Platform, FilesAndStreams)
{
    std::ofstream("in.bin", std::ios::binary) << "12345";
    std::FILE* in = platform::open_stream("in.bin", "rb");
    std::FILE* out = platform::open_stream("out.bin", "wb");
    ASSERT_TRUE(in && out);
    EXPECT_FALSE(platform::is_terminal(fileno(in)));
    std::fputs("ab", out);
    EXPECT_EQ(platform::copy_file_region(in, 0, out, 3), 3u);
    int write_error = -1;
    EXPECT_EQ(platform::copy_file_region(in, 3, out, 10, &write_error), 2u);
    EXPECT_EQ(write_error, 0); // the input ended, no write failed
    std::fputs("c", out);
    std::FILE* full = std::fopen("/dev/full", "wb");
    std::setvbuf(full, nullptr, _IONBF, 0);
    EXPECT_EQ(platform::copy_file_region(in, 0, full, 5, &write_error), 0u);
    EXPECT_EQ(write_error, ENOSPC);
    std::fclose(full);
    std::fclose(in);
    std::fclose(out);
    EXPECT_TRUE(platform::replace_file("out.bin", "in.bin"));
    EXPECT_EQ(kxtest::read_text("in.bin"), "ab12345c");
    EXPECT_EQ(platform::file_length("in.bin"), 8);
    EXPECT_EQ(platform::file_length("nope"), -1);
    EXPECT_FALSE(platform::file_exists(".")); // a directory is not a file
    // Names as the system compares them: on Windows regardless of the case of ASCII letters;
    // other letters are left to the system.
    for (bool windows : {false, true}) {
        EXPECT_TRUE(platform::names_may_match("a.bmx", "a.bmx", windows));
        EXPECT_EQ(platform::names_may_match("Song.BMX", "song.bmx", windows), windows);
        EXPECT_EQ(platform::names_may_match("\xc3\x84.bmx", "\xc3\xa4.bmx", windows), windows);
        EXPECT_EQ(platform::names_may_match("\xc3\x84.bmx", "a.bmx", windows), windows);
        EXPECT_FALSE(platform::names_may_match("song.bmx", "song.bmw", windows));
        EXPECT_FALSE(platform::names_may_match("song.bmx", "song.bmxx", windows));
    }
}

// Where the file system has no no-replace rename (or no hard links either) a name is still taken
// only while it is free; where no hard link reaches (another file system) the copy is whole,
// however many blocks it takes, and never replaces a file.
TEST_F(Platform, NewNamesWithoutTheFileSystemsCalls)
{
    for (platform::NewNameWay way : {platform::NewNameWay::hard_link, platform::NewNameWay::check_then_rename}) {
        std::ofstream("taken") << "mine";
        std::ofstream("new") << "song";
        EXPECT_EQ(platform::rename_new("new", "taken", way), EEXIST);
        EXPECT_EQ(platform::rename_new("new", "free", way), 0);
        EXPECT_EQ(kxtest::read_text("taken") + kxtest::read_text("free"), "minesong");
        EXPECT_FALSE(fs::exists("new"));
        fs::remove("free");
    }
    std::string big((size_t(1) << 20) * 2 + 5, 'x'); // two blocks of the copy and a bit
    for (size_t i = 0; i < big.size(); i += 4099) big[i] = char(i);
    for (size_t size : {size_t(0), size_t(1) << 20, big.size()}) {
        std::ofstream("module", std::ios::binary) << big.substr(0, size);
        ASSERT_TRUE(platform::create_scratch_copy("module", "copy", false)) << size;
        EXPECT_FALSE(platform::create_scratch_copy("module", "copy"));
        EXPECT_EQ(kxtest::read_text("copy"), big.substr(0, size));
        platform::remove_scratch("copy");
    }
    EXPECT_FALSE(platform::create_scratch_copy("missing", "copy", false));
    EXPECT_FALSE(fs::exists("copy"));
    // A scratch name keeps 16 bytes of the file's name, dots made '_', never cut inside a UTF-8
    // sequence.
    const std::string own = "-kx" + std::to_string(platform::process_id()) + "-";
    EXPECT_TRUE(platform::scratch_stem("d/song.of.a.long.name.xm").starts_with("d/song_of_a_long_n" + own));
    EXPECT_TRUE(platform::scratch_stem("d/0123456789abcde\xc3\xa4.xm").starts_with("d/0123456789abcde" + own));
}

} // namespace
