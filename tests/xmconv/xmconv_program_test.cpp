// The programs as the conversion driver runs them: the arguments it passes, the names it then
// opens, the exit codes, and the one-line reasons on failure.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

// Runs build/<program> with the given arguments in the current directory: its exit code and what
// it wrote on stderr.
std::pair<int, std::string> run_converter(const std::string& program, const std::vector<std::string>& args)
{
    std::string cmd = "'" + std::string(KESTRIX_BINARY_DIR) + "/" + program + "'";
    for (const std::string& a : args) cmd += " '" + a + "'";  // the tests' names hold no quote
    int status = std::system((cmd + " 2>stderr.txt").c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, kxtest::read_text("stderr.txt")};
}

class XmconvProgramTest : public kxtest::WorkDirTest {
protected:
    // A corpus file copied into the test directory under `name`; false when the corpus lacks it.
    static bool corpus_copy(const char* ext, const std::string& name)
    {
        auto files = kxtest::corpus_files({ext});
        return !files.empty() && fs::copy_file(files.front(), name);
    }
};

TEST_F(XmconvProgramTest, ArgumentsExitCodesAndWrittenNames)
{
    bool corpus = corpus_copy(".it", "tune.it.old") && corpus_copy(".s3m", "song.s3m.bak") &&
                  corpus_copy(".mod", "other.wow");
    kxtest::Bytes().str("SCRM but nothing a tracker wrote").fill(500, 0x41).write("bad.s3m");
    kxtest::Bytes().str("Extended Module: ").write("already.xm");
    // An IT cut short after its header: unreadable, and an XM left by an earlier run stays.
    // Without a corpus it is a missing input, failing the same way.
    if (corpus_copy(".it", "short.it")) fs::resize_file("short.it", 0x100);
    kxtest::Bytes().str("earlier").write("short.xm");
    struct Case { const char* program; std::vector<std::string> args; int status; std::string what; };
    const Case cases[] = {  // what: the file written, or a part of the one-line reason
        {"it2xm", {"tune.it.old", "/WC"}, 0, "tune.xm.old"},
        {"mod2xm", {"/o", "song.s3m.bak", "/x"}, 0, "song.xm"},  // switches first, a further one ignored
        {"mod2xm", {"other.wow", "/o"}, 0, "other.xm"},  // by content: a MOD named as a Mod's Grave file
        {"it2xm", {(dir / "tune.it.old").string(), "/WC"}, 0, "tune.xm.old"},  // a path, not a switch
        {"mod2xm", {}, 2, "usage"},
        {"it2xm", {"missing.it", "/WC"}, 3, "missing.it"},
        {"mod2xm", {"bad.s3m", "/o"}, 3, "bad.s3m"},
        {"it2xm", {"short.it", "/WC"}, 3, "short.it"},
        // A name whose XM name is the name itself is refused rather than overwritten.
        {"mod2xm", {"already.xm", "/o"}, 2, "already.xm"},
    };
    for (const Case& c : cases) {
        if (c.status == 0 && !corpus) continue;
        SCOPED_TRACE(c.program + (c.args.empty() ? "" : " " + c.args[0]));
        auto [status, err] = run_converter(c.program, c.args);
        EXPECT_EQ(status, c.status) << err;
        if (c.status == 0) EXPECT_TRUE(fs::remove(c.what));
        else  // one line: "program: reason"
            EXPECT_TRUE(err.rfind(std::string(c.program) + ": ", 0) == 0 && err.find(c.what) != std::string::npos &&
                        err.find('\n') == err.size() - 1) << err;
    }
    EXPECT_FALSE(fs::exists("bad.xm"));
    for (const auto& e : fs::directory_iterator(".")) EXPECT_NE(e.path().extension(), ".part") << e.path();
    EXPECT_EQ(kxtest::read_text("already.xm"), "Extended Module: ");
    EXPECT_EQ(kxtest::read_text("short.xm"), "earlier");
}

} // namespace
