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
        if (!beside.empty()) fs::remove(beside);
        WorkDirTest::TearDown();
    }
    // A shell script that writes its arguments to args.out and exits with `code`.
    static void make_script(const fs::path& p, int code)
    {
        std::ofstream(p) << "#!/bin/sh\nprintf '%s|' \"$@\" > args.out\nexit " << code << "\n";
        fs::permissions(p, fs::perms::owner_all);
    }
    fs::path beside;
};

TEST_F(Platform, RunProgramGivesTheExitCode)
{
    make_script("three.sh", 3);
    const std::string script = (dir / "three.sh").string();
    EXPECT_EQ(platform::run_program(script, {"three.sh", "a b", "", "c\"d"}), 3);
    EXPECT_EQ(kxtest::read_text("args.out"), "a b||c\"d|"); // arguments arrive unchanged
    EXPECT_EQ(platform::run_program((dir / "missing").string(), {"missing"}), -1);
    std::ofstream("plain.txt") << "not a program\n";
    EXPECT_EQ(platform::run_program((dir / "plain.txt").string(), {"plain.txt"}), -1);
}

// The current directory first, then beside the running program, then PATH.
TEST_F(Platform, FindProgramOrder)
{
    const std::string name = "kxfind-" + std::to_string(::getpid());
    const std::string old_path = std::getenv("PATH") ? std::getenv("PATH") : "";
    fs::create_directory("bin");
    make_script(dir / "bin" / name, 0);
    setenv("PATH", (dir / "bin").string().c_str(), 1);
    std::string in_path = platform::find_program(name);
    beside = fs::path(platform::executable_directory()) / name;
    make_script(beside, 0);
    std::string found_beside = platform::find_program(name);
    make_script(dir / name, 0);
    std::string here = platform::find_program(name);
    std::string none = platform::find_program("kxfind-no-such-program");
    setenv("PATH", old_path.c_str(), 1);
    EXPECT_EQ(in_path, (dir / "bin" / name).string());
    EXPECT_EQ(found_beside, beside.string());
    EXPECT_EQ(here, (dir / name).string());
    EXPECT_EQ(none, "");
}

TEST_F(Platform, FileQueries)
{
    std::ofstream("f.bin", std::ios::binary) << "12345";
    EXPECT_EQ(platform::file_length("f.bin"), 5);
    EXPECT_EQ(platform::file_length("nope"), -1);
    EXPECT_FALSE(platform::file_exists(".")); // a directory is not a file
    EXPECT_TRUE(platform::make_directories("a/b/c"));
    EXPECT_TRUE(fs::is_directory("a/b/c"));
}

} // namespace
