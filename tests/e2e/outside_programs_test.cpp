// The outside converters, played by shell scripts the tests write into the working directory
// (where the driver looks first): their arguments, exit codes and the driver's messages.
#include "e2e/e2e_support.h"

#include <cstdlib>
#include <fstream>

#include "settings/settings.h"

namespace fs = std::filesystem;
using kxe2e::convert_file;
using kxe2e::write_script;

namespace {

// PATH pointing at an empty directory while it lives, so that no installed converter is found.
class EmptyPath {
public:
    EmptyPath()
    {
        const char* p = std::getenv("PATH");
        old_ = p ? p : "";
        fs::create_directories("empty-bin");
        ::setenv("PATH", (fs::current_path() / "empty-bin").c_str(), 1);
    }
    ~EmptyPath() { ::setenv("PATH", old_.c_str(), 1); }
    EmptyPath(const EmptyPath&) = delete;
    EmptyPath& operator=(const EmptyPath&) = delete;

private:
    std::string old_;
};

class OutsideConverters : public kxtest::WorkDirTest {
protected:
    void SetUp() override
    {
        WorkDirTest::SetUp();
        kxtest::install_machines_ini();
        fs::copy_file(kxe2e::demo_xm(), "prepared.xm");
    }
    // A stand-in converter: records its arguments in args.txt, then runs `action`.
    void stand_in(const char* name, const std::string& action)
    {
        write_script(name, "for a in \"$@\"; do echo \"$a\"; done > args.txt\n" + action);
    }
    std::string args() { return kxtest::read_text("args.txt"); }
};

TEST_F(OutsideConverters, MissingIt2xm)
{
    kxtest::Bytes().str("IMPM").write("song.it");
    EmptyPath no_path;
    auto r = convert_file("song.it", "out.bmx");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.log, "Error: Error running it2xm!\n");
    EXPECT_FALSE(fs::exists("out.bmx"));
}

TEST_F(OutsideConverters, It2xmFailingWithCode3)
{
    kxtest::Bytes().str("IMPM").write("song.it");
    stand_in("it2xm", "exit 3\n");
    auto r = convert_file("song.it", "out.bmx");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(args(), "song.it\n/WC\n");
    EXPECT_EQ(r.log, "\nit2xm returned with errorcode: 3"
                     "Error: \nProbably wrong IT-format, try to save as v2.xx, not 2.14+\n");
}

TEST_F(OutsideConverters, It2xmWritingTheXm)
{
    kxtest::Bytes().str("IMPM").write("song.it");
    stand_in("it2xm", "cat prepared.xm > song.xm\nexit 0\n");
    auto r = convert_file("song.it", "out.bmx");
    EXPECT_EQ(args(), "song.it\n/WC\n");
    EXPECT_EQ(r.log.find("Can't open inputfile"), std::string::npos) << r.log;
    if (kxe2e::placeholder_in(r.log) || !kxe2e::have_machine_table())
        GTEST_SKIP() << "reading or writing not available: " << r.log;
    EXPECT_TRUE(r.ok) << r.log;
    EXPECT_TRUE(fs::exists("out.bmx"));
}

TEST_F(OutsideConverters, Mod2xmForS3mCutsTheNameAfterXm)
{
    kxtest::Bytes().fill(64, 0).write("tune.s3m.old");
    stand_in("mod2xm", "cat prepared.xm > tune.xm\nexit 0\n");
    auto r = convert_file("tune.s3m.old", "out.bmx");
    EXPECT_EQ(args(), "tune.s3m.old\n/o\n");
    EXPECT_EQ(r.log.find("Can't open inputfile"), std::string::npos) << r.log;
}

TEST_F(OutsideConverters, OtherModuleFormatsGoThroughMod2xm)
{
    kxtest::Bytes().fill(64, 0).write("tune.MTM");
    stand_in("mod2xm", "cat prepared.xm > tune.xm\nexit 0\n");
    auto r = convert_file("tune.MTM", "out.bmx");
    EXPECT_EQ(args(), "tune.MTM\n/o\n");
    EXPECT_EQ(r.log.find("Can't open inputfile"), std::string::npos) << r.log;
}

TEST_F(OutsideConverters, Mod2xmFailingForAModWithDomodExt)
{
    settings.domod_ext = 1;
    kxtest::Bytes().fill(1084, 0).write("tune.mod");
    stand_in("mod2xm", "exit 3\n");
    auto r = convert_file("tune.mod", "out.bmx");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(args(), "tune.mod\n/o\n");
    EXPECT_EQ(r.log, "\nmod2xm returned with errorcode: 3Error: \nProbably wrong MOD/S3M-format\n");
}

TEST_F(OutsideConverters, MissingMod2xm)
{
    kxtest::Bytes().fill(64, 0).write("tune.s3m");
    EmptyPath no_path;
    auto r = convert_file("tune.s3m", "out.bmx");
    EXPECT_EQ(r.log, "Error: Error running mod2xm!\n");
}

TEST_F(OutsideConverters, EasyxmidGetsItsArgumentsAndAStaleXmIsNotRead)
{
    settings.domidi_ext = 1;
    kxtest::Bytes().str("MThd").write("x.mid");
    fs::copy_file("prepared.xm", "midrix.xm"); // left by an earlier run
    stand_in("easyxmid", "exit 0\n");          // writes nothing
    auto r = convert_file("x.mid", "out.bmx");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(args(), "x.mid\nmidrix.xm\n4\n10\n");
    EXPECT_EQ(r.log, "Error: Can't open inputfile\n");
}

TEST_F(OutsideConverters, MissingEasyxmid)
{
    settings.domidi_ext = 1;
    kxtest::Bytes().str("MThd").write("x.mid");
    EmptyPath no_path;
    auto r = convert_file("x.mid", "out.bmx");
    EXPECT_EQ(r.log, "Error: Error running EasyXMid\n");
}

TEST_F(OutsideConverters, NativeMidiSaysItIsNotAvailable)
{
    kxtest::Bytes().str("MThd").write("x.mid");
    auto r = convert_file("x.mid", "out.bmx");
    EXPECT_FALSE(r.ok);
    if (!kxe2e::have_machine_table()) GTEST_SKIP() << "machines.ini not available: " << r.log;
    EXPECT_NE(r.log.find("MIDI conversion is not available yet"), std::string::npos) << r.log;
    EXPECT_FALSE(fs::exists("out.bmx"));
    EXPECT_FALSE(fs::exists("out.bmx.part"));
}

// What a failed conversion leaves: an existing song of the output's name stays as it was, and
// nothing half-written remains.
class FailedConversion : public kxtest::WorkDirTest {
protected:
    void SetUp() override
    {
        WorkDirTest::SetUp();
        kxtest::install_machines_ini();
        std::ofstream("out.bmx") << "an older song";
    }
};

TEST_F(FailedConversion, MissingInput)
{
    auto r = convert_file("missing.xm", "out.bmx");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.log, "Error: Can't open inputfile\n");
    EXPECT_EQ(kxtest::read_text("out.bmx"), "an older song");
}

TEST_F(FailedConversion, BrokenModuleKeepsTheOldSong)
{
    kxtest::Bytes().str("Extended Module: ").str("broken").write("broken.xm");
    auto r = convert_file("broken.xm", "out.bmx");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(kxtest::read_text("out.bmx"), "an older song");
    EXPECT_FALSE(fs::exists("out.bmx.part"));
}

TEST_F(FailedConversion, OutputThatCannotBeCreatedIsAnError)
{
    fs::copy_file(kxe2e::demo_xm(), "demo.xm");
    auto r = convert_file("demo.xm", "no-such-dir/out.bmx");
    EXPECT_FALSE(r.ok);
    if (!kxe2e::have_machine_table()) GTEST_SKIP() << "machines.ini not available: " << r.log;
    EXPECT_NE(r.log.find("Error: Can't open outputfile"), std::string::npos) << r.log;
}

TEST_F(FailedConversion, SuccessReplacesTheOldSong)
{
    fs::copy_file(kxe2e::demo_xm(), "demo.xm");
    auto r = convert_file("demo.xm", "out.bmx");
    if (kxe2e::placeholder_in(r.log) || !kxe2e::have_machine_table())
        GTEST_SKIP() << "reading or writing not available: " << r.log;
    ASSERT_TRUE(r.ok) << r.log;
    EXPECT_EQ(kxtest::read_text("out.bmx").substr(0, 4), "Buzz");
    EXPECT_FALSE(fs::exists("out.bmx.part"));
}

} // namespace
