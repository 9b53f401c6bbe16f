// Operating-system layer: running outside programs and finding them, file helpers.
#include "support/test_support.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

class Platform : public kxtest::WorkDirTest {
protected:
    void TearDown() override
    {
        if (!old_path.empty()) setenv("PATH", old_path.c_str(), 1);
        if (!beside.empty()) fs::remove(beside);
        WorkDirTest::TearDown();
    }
    // A shell script that exits with `code`.
    static void make_script(const fs::path& p, int code)
    {
        std::ofstream(p) << "#!/bin/sh\nexit " << code << "\n";
        fs::permissions(p, fs::perms::owner_all);
    }
    void set_path(const std::string& value)
    {
        if (old_path.empty()) old_path = std::getenv("PATH") ? std::getenv("PATH") : "";
        setenv("PATH", value.c_str(), 1);
    }
    std::string old_path;
    fs::path beside;
};

TEST_F(Platform, RunProgramGivesTheExitCode)
{
    make_script("ok.sh", 0);
    make_script("three.sh", 3);
    EXPECT_EQ(platform::run_program((dir / "ok.sh").string(), {"ok.sh"}), 0);
    EXPECT_EQ(platform::run_program((dir / "three.sh").string(), {"three.sh", "a b", ""}), 3);
    EXPECT_EQ(platform::run_program((dir / "missing").string(), {"missing"}), -1);
    std::ofstream("plain.txt") << "not a program\n";
    EXPECT_EQ(platform::run_program((dir / "plain.txt").string(), {"plain.txt"}), -1);
}

TEST_F(Platform, ArgumentsArriveUnchanged)
{
    std::ofstream("args.sh") << "#!/bin/sh\nprintf '%s|' \"$@\" > args.out\n";
    fs::permissions("args.sh", fs::perms::owner_all);
    EXPECT_EQ(platform::run_program((dir / "args.sh").string(), {"args.sh", "a b", "", "c\"d"}), 0);
    EXPECT_EQ(kxtest::read_text("args.out"), "a b||c\"d|");
}

// The current directory first, then beside the running program, then PATH.
TEST_F(Platform, FindProgramOrder)
{
    const std::string name = "kxfind-" + std::to_string(::getpid());
    fs::create_directory("bin");
    make_script(dir / "bin" / name, 0);
    set_path((dir / "bin").string());
    EXPECT_EQ(platform::find_program(name), (dir / "bin" / name).string());

    std::string exe_dir = platform::executable_directory();
    ASSERT_FALSE(exe_dir.empty());
    beside = fs::path(exe_dir) / name;
    make_script(beside, 0);
    EXPECT_EQ(platform::find_program(name), beside.string());

    make_script(dir / name, 0);
    EXPECT_EQ(platform::find_program(name), (dir / name).string());

    EXPECT_EQ(platform::find_program("kxfind-no-such-program"), "");
}

TEST_F(Platform, Files)
{
    std::ofstream("f.bin", std::ios::binary) << "12345";
    EXPECT_TRUE(platform::file_exists("f.bin"));
    EXPECT_EQ(platform::file_length("f.bin"), 5);
    EXPECT_EQ(platform::file_length("nope"), -1);
    EXPECT_FALSE(platform::file_exists("."));
    EXPECT_EQ(fs::path(platform::current_directory()), fs::current_path());
    EXPECT_TRUE(platform::remove_file("f.bin"));
    EXPECT_FALSE(platform::remove_file("f.bin"));
    EXPECT_TRUE(platform::make_directories("a/b/c"));
    EXPECT_TRUE(fs::is_directory("a/b/c"));
    FILE* f = platform::open_stream("a/b/c/x.txt", "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_EQ(platform::open_stream("a/nothere/x.txt", "r"), nullptr);
}

} // namespace
