// The outside converters, played by shell scripts the tests write into a folder on PATH (the test
// program has no converter beside it): their arguments, exit codes and the driver's messages.
#include "e2e/e2e_support.h"

#include <cstdlib>
#include <fstream>

#include "platform/platform.h"
#include "settings/settings.h"

namespace fs = std::filesystem;
using kxe2e::convert_file;

namespace {

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
        int machines;        // of the converted song
        const char* output = "out.bmx";
        const char* said = nullptr; // what the converter that succeeded said: a warning in the log
    };
    const char* xm = "cat prepared.xm > \"${1%.*}.xm\"";
    // Where the converters belong, as the messages say it ("%" for the test program's folder).
    const std::string belong = " belongs beside kestrix_tests (built there when libxmp-dev is installed; it runs "
                               "with libxmp's library)\n";
    const std::string it2xm_missing = "Error: Error running it2xm! No it2xm beside kestrix_tests (in %) nor in a "
                                      "folder of PATH: it2xm" + belong;
    const std::string it2xm_broken = "\nit2xm: error while loading shared libraries\nError: Error running it2xm! "
                                     "%/bin/it2xm could not start: it2xm" + belong;
    const std::string mod2xm_missing = "Error: Error running mod2xm! No mod2xm beside kestrix_tests (in %) nor in a "
                                       "folder of PATH: mod2xm" + belong;
    const Case cases[] = {
        {"song.it", 0, 0, "it2xm", nullptr, "", it2xm_missing.c_str(), 0},
        {"song.it", 0, 0, "it2xm", "echo 'it2xm: error while loading shared libraries' >&2; exit 127",
         "@.it\n/WC\n@.xm\n", it2xm_broken.c_str(), 0},
        // Without a reason of its own the converter's failure gets the old hint; with one (the
        // file named as the user's) that reason ends the job.
        {"song.it", 0, 0, "it2xm", "exit 3", "@.it\n/WC\n@.xm\n",
         "\nit2xm returned with errorcode: 3\nError: Probably wrong IT-format, try to save as v2.xx, not 2.14+\n", 0},
        {"song.it", 0, 0, "it2xm", "echo \"it2xm: cannot read $1: not a module format\" >&2; exit 3",
         "@.it\n/WC\n@.xm\n", "\nit2xm returned with errorcode: 3\nError: it2xm: cannot read song.it: not a module format\n", 0},
        // A converter gets its input as a scratch copy beside the output ("@" here) and writes
        // its XM under the name its naming rule gives for that (its name without the extension).
        {"song.it", 0, 0, "it2xm", xm, "@.it\n/WC\n@.xm\n", nullptr, 5},
        {"tune.s3m", 0, 0, "mod2xm", nullptr, "", mod2xm_missing.c_str(), 0},
        {"tune.old.s3m", 0, 0, "mod2xm", xm, "@.s3m\n/o\n@.xm\n", nullptr, 5},
        {"tune.MTM", 0, 0, "mod2xm", xm, "@.MTM\n/o\n@.xm\n", nullptr, 5},
        {"tune.mod", 1, 0, "mod2xm", "exit 3", "@.mod\n/o\n@.xm\n",
         "\nmod2xm returned with errorcode: 3\nError: Probably wrong MOD/S3M-format\n", 0},
        // Writing nothing: the midrix.xm of an earlier run is not read.
        {"x.mid", 0, 1, "easyxmid", "exit 0", "x.mid\n@.xm\n4\n10\n", "Error: Can't open inputfile\n", 0},
        // The module name easyxmid writes begins with the number of channels to keep: "03".
        {"x.mid", 0, 1, "easyxmid", "cat prepared.xm > \"$2\"; echo 'easyxmid: song cut at 256 patterns' >&2",
         "x.mid\n@.xm\n4\n10\n", nullptr, 4, "out.bmx", "\nWarning: easyxmid: song cut at 256 patterns"},
        // Names that begin with '-' reach a converter as "./-...", never as an option.
        {"-x.mid", 0, 1, "easyxmid", "cat prepared.xm > \"$2\"", "./-x.mid\n@.xm\n4\n10\n", nullptr, 4},
        {"-x.it", 0, 0, "it2xm", xm, "./@.it\n/WC\n./@.xm\n", nullptr, 5, "-x.bmx"},
    };
    kxtest::install_machines_ini();
    kxtest::Bytes prepared{kxtest::read_file(kxe2e::demo_xm())};
    std::copy_n("034 from midi", 13, prepared.data.begin() + 17);
    prepared.write("prepared.xm");
    const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    const std::string bin = (fs::current_path() / "bin").string();
    fs::create_directories(bin);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.input) + " " + (c.script ? c.script : "(none)"));
        settings = Settings();
        settings.domod_ext = c.domod_ext;
        settings.domidi_ext = c.domidi_ext;
        kxtest::Bytes().fill(1084, 0).write(c.input);
        fs::copy_file("prepared.xm", "midrix.xm", fs::copy_options::overwrite_existing);
        const fs::path program = fs::path(bin) / c.program;
        if (c.script) {
            std::ofstream(program) << "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > args.txt\n"
                                   << c.script << "\n";
            fs::permissions(program, fs::perms::owner_all);
        }
        // The stand-in's folder first on PATH; without a stand-in it alone: no installed
        // converter is found.
        ::setenv("PATH", (c.script ? bin + ":" + path : bin).c_str(), 1);
        auto r = convert_file(settings, c.input, c.output);
        ::setenv("PATH", path.c_str(), 1);
        // The scratch names ("out_bmx-kx<pid>-<n>") read as "@".
        std::string args = c.script ? kxtest::read_text("args.txt") : "";
        for (size_t at; (at = args.find("_bmx-kx")) != std::string::npos;) {
            const size_t from = args.find_last_of("/\n", at) == std::string::npos ? 0 : args.find_last_of("/\n", at) + 1;
            args.replace(from, args.find_first_not_of("0123456789-", at + 7) - from, "@");
        }
        EXPECT_EQ(args, c.args);
        EXPECT_EQ(r.ok, c.log == nullptr) << r.log;
        if (c.log) {
            for (const std::string& folder : {platform::executable_directory(), fs::current_path().string()})
                for (size_t at; (at = r.log.find(folder)) != std::string::npos;) r.log.replace(at, folder.size(), "%");
            EXPECT_EQ(r.log, c.log);
        } else {
            EXPECT_EQ(r.machine_count, c.machines);
            EXPECT_EQ(r.log.find("Warning"), c.said ? r.log.find(c.said) + 1 : std::string::npos) << r.log;
        }
        EXPECT_EQ(fs::exists(c.output), c.log == nullptr);
        EXPECT_FALSE(scratch_left());
        fs::remove(program);
        for (const char* f : {c.input, "args.txt", c.output, "song.xm", "tune.xm"}) fs::remove(f);
    }
}

} // namespace
