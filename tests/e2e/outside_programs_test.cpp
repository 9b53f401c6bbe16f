// The outside converters, played by shell scripts the tests write into the working directory
// (where the driver looks first): their arguments, exit codes and the driver's messages.
#include "e2e/e2e_support.h"

#include <cstdlib>
#include <fstream>
#include <optional>
#include <regex>

#include "settings/settings.h"

namespace fs = std::filesystem;
using kxe2e::convert_file;

namespace {

// PATH pointing at an empty directory while it lives, so that no installed converter is found.
class EmptyPath {
public:
    EmptyPath() : old_(std::getenv("PATH") ? std::getenv("PATH") : "")
    {
        fs::create_directories("empty-bin");
        ::setenv("PATH", (fs::current_path() / "empty-bin").c_str(), 1);
    }
    ~EmptyPath() { ::setenv("PATH", old_.c_str(), 1); }
    EmptyPath(const EmptyPath&) = delete;
    EmptyPath& operator=(const EmptyPath&) = delete;

private:
    std::string old_;
};

class OutsideConverters : public kxtest::WorkDirTest {};

// True when a scratch file of the driver ("<output>-kx<pid>-<n>...") is left in the folder.
bool scratch_left()
{
    for (const auto& e : fs::directory_iterator("."))
        if (e.path().filename().string().find("-kx") != std::string::npos) return true;
    return false;
}

TEST_F(OutsideConverters, ArgumentsExitCodesAndMessages)
{
    struct Case {
        const char* input;
        int domod_ext, domidi_ext;
        const char* program;
        const char* script;  // what the stand-in does after noting its arguments; none: not found
        const char* args;    // the arguments it was given, one a line
        const char* log;     // the log of the failed job; none: the job converts the prepared XM
    };
    const Case cases[] = {
        {"song.it", 0, 0, "it2xm", nullptr, "", "Error: Error running it2xm!\n"},
        {"song.it", 0, 0, "it2xm", "exit 3", "@.it\n/WC\n@.xm\n",
         "\nit2xm returned with errorcode: 3Error: \nProbably wrong IT-format, try to save as v2.xx, not 2.14+\n"},
        // A converter gets its input as a scratch copy beside the output ("@" here) and writes
        // its XM under the name its naming rule gives for that.
        {"song.it", 0, 0, "it2xm", "cat prepared.xm > \"${1%.*}.xm\"", "@.it\n/WC\n@.xm\n", nullptr},
        {"tune.s3m", 0, 0, "mod2xm", nullptr, "", "Error: Error running mod2xm!\n"},
        {"tune.old.s3m", 0, 0, "mod2xm", "cat prepared.xm > \"${1%.*}.xm\"", "@.s3m\n/o\n@.xm\n", nullptr},
        {"tune.MTM", 0, 0, "mod2xm", "cat prepared.xm > \"${1%.*}.xm\"", "@.MTM\n/o\n@.xm\n", nullptr},
        {"tune.mod", 1, 0, "mod2xm", "exit 3", "@.mod\n/o\n@.xm\n",
         "\nmod2xm returned with errorcode: 3Error: \nProbably wrong MOD/S3M-format\n"},
        {"x.mid", 0, 1, "easyxmid", nullptr, "", "Error: Error running EasyXMid\n"},
        // Writing nothing: the midrix.xm of an earlier run is not read.
        {"x.mid", 0, 1, "easyxmid", "exit 0", "x.mid\n@.xm\n4\n10\n", "Error: Can't open inputfile\n"},
    };
    kxtest::install_machines_ini();
    fs::copy_file(kxe2e::demo_xm(), "prepared.xm");
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.input) + " " + (c.script ? c.script : "(none)"));
        settings = Settings();
        log_state = LogState();  // each job starts at the log window's top
        settings.domod_ext = c.domod_ext;
        settings.domidi_ext = c.domidi_ext;
        kxtest::Bytes().fill(1084, 0).write(c.input);
        fs::copy_file("prepared.xm", "midrix.xm", fs::copy_options::overwrite_existing);
        std::optional<EmptyPath> no_path;
        if (c.script) {
            std::ofstream(c.program) << "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > args.txt\n"
                                     << c.script << "\n";
            fs::permissions(c.program, fs::perms::owner_all);
        } else {
            no_path.emplace();
        }
        auto r = convert_file(c.input, "out.bmx");
        const std::regex scratch("out_bmx-kx[0-9]+-[0-9]+");
        EXPECT_EQ(c.script ? std::regex_replace(kxtest::read_text("args.txt"), scratch, "@") : "", c.args);
        EXPECT_EQ(r.ok, c.log == nullptr) << r.log;
        if (c.log) {
            EXPECT_EQ(r.log, c.log);
        }
        EXPECT_EQ(fs::exists("out.bmx"), c.log == nullptr);
        EXPECT_FALSE(scratch_left());
        for (const char* f : {c.program, c.input, "args.txt", "out.bmx", "song.xm", "tune.xm"}) fs::remove(f);
    }
}

// A failed conversion leaves an existing song of the output's name as it was, and nothing
// half-written; a successful one replaces it.
TEST_F(OutsideConverters, TheOldSongIsReplacedOnlyOnSuccess)
{
    kxtest::install_machines_ini();
    std::ofstream("out.bmx") << "an older song";
    kxtest::Bytes().str("Extended Module: ").str("broken").write("broken.xm");
    auto r = convert_file("broken.xm", "out.bmx");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(kxtest::read_text("out.bmx"), "an older song");
    EXPECT_FALSE(scratch_left());
    r = convert_file(kxe2e::demo_xm().string(), "no-such-dir/out.bmx");
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.log.find("Error: Can't open outputfile"), std::string::npos) << r.log;
    r = convert_file(kxe2e::demo_xm().string(), "out.bmx");
    ASSERT_TRUE(r.ok) << r.log;
    EXPECT_EQ(kxtest::read_text("out.bmx").substr(0, 4), "Buzz");
    EXPECT_FALSE(scratch_left());
}

} // namespace
