// kestrix, the console edition: converts a module into a Buzz song, lists a Buzz song, or saves
// the settings, from the command line. The job runs as in the dialog program, its log goes to
// stderr and its final report decides the exit status.
#include <cstdio>
#include <string>
#include <vector>

#include "buzz/machines_ini.h"
#include "cli/console_log.h"
#include "cli/options.h"
#include "core/byteio.h"
#include "core/log.h"
#include "jobs/job_files.h"
#include "jobs/job_runner.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "songwriter/bmx_writer.h"

namespace {

constexpr int exit_ok = 0;
constexpr int exit_failed = 1;
constexpr int exit_usage = 2;

class ConsoleFrontEnd : public JobFrontEnd {
public:
    ConsoleFrontEnd(bool quiet, bool terminal) : log_(stderr, quiet, terminal), quiet_(quiet) {}

    LogWindow* open_log_window(const char*) override { return &log_; }

    // The --log file, opened before the job so that a bad name is reported at once; the runner
    // takes it over and closes it.
    FILE* open_log_file() override { return pending_log_.release(); }

    void report(const char* text) override
    {
        log_.finish();
        reported_ = text;
        failed_ = reported_ == "Error occured!";
        if (!quiet_ || failed_) std::fprintf(stderr, "%s\n", text);
        std::fflush(stderr);
    }

    ConsoleLog& log() { return log_; }
    File pending_log_;
    std::string reported_;
    bool failed_ = false;

private:
    ConsoleLog log_;
    bool quiet_;
};

std::string version_text()
{
    std::string v = program_version_text;
    while (!v.empty() && v.back() == ' ') v.pop_back();
    return v;
}

// --generators SONG: the generators a clone may take its notes from, one "%2d: %s" line each on
// stdout; the log (and an error) on stderr.
int list_song_generators(const CliRequest& req)
{
    ConsoleLog log(stderr, req.quiet, false);
    log_state.window = &log;
    std::vector<GeneratorEntry> generators;
    const bool ok = list_generators(req.input.c_str(), generators);
    log.finish();
    log_state.window = nullptr;
    if (!ok) {
        std::fprintf(stderr, "Error occured!\n");
        return exit_failed;
    }
    for (const GeneratorEntry& g : generators) std::printf("%s\n", generator_line(g).c_str());
    return exit_ok;
}

int usage_error(const std::string& message)
{
    std::fprintf(stderr, "kestrix: %s\n(kestrix --help shows the options)\n", message.c_str());
    return exit_usage;
}

} // namespace

int main(int argc, char** argv)
{
    platform::set_program_path(argc > 0 ? argv[0] : nullptr);
    std::vector<std::string> args(argv + (argc > 0 ? 1 : argc), argv + argc);

    CliRequest req;
    if (wants_help_or_version(args, req)) {
        if (req.help)
            std::fputs(usage_text, stdout);
        else
            std::printf("%s\n", version_text().c_str());
        return exit_ok;
    }
    if (args.empty()) {
        std::fputs(usage_text, stderr);
        return exit_usage;
    }

    // Settings as the dialog has them: kestrix.ini, or the defaults with the XI directory in the
    // current directory; then the command line.
    if (!load_settings()) {
        std::string xi = platform::current_directory() + platform::path_separator + "xi" +
                         platform::path_separator;
        settings_set_text(settings.xi_dir, xi.c_str());
    }
    std::string error;
    if (!parse_command_line(args, req, error)) return usage_error(error);

    if (req.save) {
        if (!save_settings()) {
            std::fprintf(stderr, "kestrix: could not write kestrix.ini\n");
            return exit_failed;
        }
        if (req.input.empty() && !req.merge) return exit_ok;
    }
    if (req.list) settings.dolist = 1;

    choose_machines_ini();
    if (req.generators) return list_song_generators(req);

    const bool listing = is_song_name(req.input) && !req.merge;
    std::string output = req.output.empty() ? default_output_name(req.input) : req.output;
    if (!req.merge) {
        settings_set_text(settings.input_file, req.input.c_str());
        settings_set_text(settings.output_file, listing ? "" : output.c_str());
    }

    // A BMW song refers to XI files in xi_dir: have the directory ready for them.
    if (!listing && !req.merge) prepare_xi_dir();

    ConsoleFrontEnd front_end(req.quiet, platform::is_terminal(2));
    if (!req.log_file.empty()) {
        front_end.pending_log_ = open_file(req.log_file.c_str(), "w");
        if (!front_end.pending_log_) {
            std::fprintf(stderr, "kestrix: cannot write the log file %s\n", req.log_file.c_str());
            return exit_failed;
        }
        settings_set_text(settings.log_file, req.log_file.c_str());
    }

    // Ctrl-C or a SIGTERM ends the job without leaving its scratch files behind; an
    // existing song of the output's name stays as it was.
    platform::remove_scratch_on_interrupt();
    int mode = run_job(job_mode_of(req), front_end);
    front_end.log().finish();
    return mode == 0 || front_end.failed_ ? exit_failed : exit_ok;
}
