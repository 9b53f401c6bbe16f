// The programs as the conversion driver runs them: the arguments it passes, the names it then
// opens, the exit codes, and the one-line reasons on failure.
#include <gtest/gtest.h>

#include <filesystem>

#include "convert/module_formats.h"
#include "support/test_support.h"
#include "xmconv_test_util.h"

namespace fs = std::filesystem;

namespace {

class XmconvProgramTest : public kxtest::WorkDirTest {
protected:
    // A corpus file copied into the test directory under `name`; false when the corpus lacks it.
    bool corpus_copy(const char* ext, const std::string& name)
    {
        auto files = kxtest::corpus_files({ext});
        if (files.empty()) return false;
        fs::copy_file(files.front(), name);
        return true;
    }
    static bool one_line(const std::string& s)
    {
        return !s.empty() && s.back() == '\n' && s.find('\n') == s.size() - 1;
    }
};

TEST_F(XmconvProgramTest, OutputNamesAreTheOnesTheDriverOpens)
{
    EXPECT_EQ(it2xm_output_name("tune.it"), "tune.xm");
    EXPECT_EQ(it2xm_output_name("tune.it.old"), "tune.xm.old");
    EXPECT_EQ(it2xm_output_name("dir.it/tune.it"), "dir.it/tune.xm");
    EXPECT_EQ(it2xm_output_name("TUNE.IT"), "TUNE.xm");
    EXPECT_EQ(mod2xm_output_name("tune.s3m.bak"), "tune.xm");
    EXPECT_EQ(mod2xm_output_name("a.mod.s3m"), "a.mod.xm");
    EXPECT_EQ(mod2xm_output_name("c:\\music\\tune.mod"), "c:\\music\\tune.xm");
    EXPECT_EQ(mod2xm_output_name("x.s3m/tune.MTM"), "x.s3m/tune.xm");
    EXPECT_EQ(mod2xm_output_name("noext"), "noext.xm");

    EXPECT_TRUE(is_other_module_format("tune.mtm"));
    EXPECT_TRUE(is_other_module_format("dir/TUNE.669"));
    EXPECT_TRUE(is_other_module_format("a.b\\tune.Okt"));
    EXPECT_FALSE(is_other_module_format("tune.xm"));
    EXPECT_FALSE(is_other_module_format("tune.mod"));
    EXPECT_FALSE(is_other_module_format("tune.s3m"));
    EXPECT_FALSE(is_other_module_format("tune.it"));
    EXPECT_FALSE(is_other_module_format("mtm"));
    EXPECT_FALSE(is_other_module_format("dir.mtm/tune"));
}

TEST_F(XmconvProgramTest, ProgramsWriteUnderThoseNames)
{
    if (!corpus_copy(".it", "tune.it.old") || !corpus_copy(".s3m", "song.s3m.bak") ||
        !corpus_copy(".mod", "other.wow"))
        GTEST_SKIP() << "corpus not available";
    RunResult r = run_converter("it2xm", "tune.it.old", "/WC");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(fs::exists("tune.xm.old"));
    // Switches may come first; a further one is ignored.
    r = run_converter_args("mod2xm", {"/o", "song.s3m.bak", "/x"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(fs::exists("song.xm"));
    // Any format libxmp reads, by content: a MOD named as a Mod's Grave file.
    r = run_converter("mod2xm", "other.wow", "/o");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(fs::exists(mod2xm_output_name("other.wow")));
    // An absolute path is an input, not a switch.
    r = run_converter("it2xm", (dir / "tune.it.old").string(), "/WC");
    EXPECT_EQ(r.exit_code, 0) << r.err;
}

TEST_F(XmconvProgramTest, FailuresExitNonZeroWithOneLineAndNoFile)
{
    RunResult r = run_converter_args("mod2xm", {});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_TRUE(one_line(r.err)) << r.err;
    EXPECT_EQ(r.err.rfind("mod2xm: usage", 0), 0u) << r.err;

    r = run_converter("it2xm", "missing.it", "/WC");
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_TRUE(one_line(r.err)) << r.err;
    EXPECT_NE(r.err.find("missing.it"), std::string::npos);

    kxtest::Bytes().str("SCRM but nothing a tracker wrote").fill(500, 0x41).write("bad.s3m");
    r = run_converter("mod2xm", "bad.s3m", "/o");
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_TRUE(one_line(r.err)) << r.err;
    EXPECT_FALSE(fs::exists("bad.xm"));
    EXPECT_FALSE(fs::exists("bad.xm.part"));

    // An IT cut short after its header: unreadable, and an XM left by an earlier run stays.
    if (corpus_copy(".it", "whole.it")) {
        auto bytes = kxtest::read_file("whole.it");
        bytes.resize(0x100);
        kxtest::Bytes cut;
        cut.data = bytes;
        cut.write("short.it");
        kxtest::Bytes().str("earlier").write("short.xm");
        r = run_converter("it2xm", "short.it", "/WC");
        EXPECT_NE(r.exit_code, 0);
        EXPECT_TRUE(one_line(r.err)) << r.err;
        EXPECT_EQ(kxtest::read_text("short.xm"), "earlier");
    }

    // A name whose XM name is the name itself is refused rather than overwritten.
    kxtest::Bytes().str("Extended Module: ").write("already.xm");
    r = run_converter("mod2xm", "already.xm", "/o");
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(kxtest::read_text("already.xm"), "Extended Module: ");
}

} // namespace
