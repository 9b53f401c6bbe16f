// kestrix, the console edition: converts a module into a Buzz song, lists a Buzz song, or saves
// the settings, from the command line. The job runs as in the dialog program, its log goes to
// stderr and its final report decides the exit status.
#include <algorithm>
#include <cerrno>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "buzz/machines_ini.h"
#include "cli/console_log.h"
#include "cli/listing.h"
#include "cli/options.h"
#include "cli/preflight.h"
#include "convert/input_formats.h"
#include "core/byteio.h"
#include "core/log.h"
#include "core/version.h"
#include "jobs/job_files.h"
#include "jobs/job_runner.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "transform/merge.h"

namespace {

constexpr int exit_ok = 0;
constexpr int exit_failed = 1;
constexpr int exit_usage = 2;

class ConsoleFrontEnd : public JobFrontEnd {
public:
    ConsoleFrontEnd(FILE* out, bool quiet, bool terminal) : log_(out, quiet, terminal), quiet_(quiet) {}

    LogWindow* open_log_window(const char*) override { return &log_; }

    // The --log file, created before the job so that a bad name is reported at once; the runner
    // writes the job's text into it and hands it back at the end, for the report and a failure's
    // line.
    FILE* open_log_file() override { return pending_log_.get(); }
    void close_log_file(FILE*) override {}

    // A failure is reported by the console's own line after the job; a listing ends with its
    // last line.
    void report(const char* text, JobOutcome outcome) override
    {
        log_.finish();
        reported_ = text;
        failed_ = outcome != JobOutcome::finished;
        if (!quiet_ && !failed_ && !listing_) std::fprintf(stderr, "%s\n", text);
        std::fflush(stderr);
    }

    bool listing_ = false;

    ConsoleLog& log() { return log_; }
    File pending_log_;
    std::string reported_;
    bool failed_ = false;

private:
    ConsoleLog log_;
    bool quiet_;
};

// kestrix --version: the program's version and, when the converter programs are there to run,
// the libxmp they were built on.
std::string version_text()
{
    std::string v = std::string("kestrix ") + program_version() + "\n";
#ifdef KESTRIX_CONVERTERS_LIBXMP
    std::string found;
    for (const char* program : {"it2xm", "mod2xm"})
        if (!platform::find_program(std::string(program) + platform::exe_suffix).empty())
            found += (found.empty() ? "" : ", ") + std::string(program);
    if (!found.empty()) v += found + ": libxmp " KESTRIX_CONVERTERS_LIBXMP "\n";
#endif
    return v;
}

// The console's line for a failure: "kestrix: FILE: REASON".
int fail(const std::string& file, const std::string& reason, int status = 1)
{
    if (file.empty())
        std::fprintf(stderr, "kestrix: %s\n", reason.c_str());
    else
        std::fprintf(stderr, "kestrix: %s: %s\n", file.c_str(), reason.c_str());
    return status;
}

// kestrix --keys: every key with its type, values, default and meaning.
int list_keys()
{
    std::printf("%-14s %-8s %-26s %-12s %s\n", "key", "type", "values", "default", "meaning");
    for (const SettingKeyInfo& k : settings_key_list())
        std::printf("%-14s %-8s %-26s %-12s %s%s\n", k.name.c_str(), k.type.c_str(), k.range.c_str(),
                    k.fallback.c_str(), k.meaning.c_str(), k.saved ? "" : " (--set only, never saved)");
    return exit_ok;
}

// --generators SONG: the generators a clone may take its notes from, one "%2d: %s" line each on
// stdout; the log (and an error) on stderr.
int list_song_generators(const Settings& settings, const CliRequest& req)
{
    const int status = platform::readable_file_status(req.input.c_str());
    if (status) return fail(req.input, std::strerror(status));
    ConsoleLog log(stderr, req.quiet, false);
    std::vector<GeneratorEntry> generators;
    const bool ok = list_generators(settings, req.input.c_str(), generators, &log);
    log.finish();
    if (!ok) {
        std::string why = log.error();
        while (!why.empty() && (why.front() == '\n' || why.front() == ' ')) why.erase(why.begin());
        return fail(req.input, why.empty() ? "cannot be read" : why);
    }
    for (const GeneratorEntry& g : generators) std::printf("%s\n", generator_line(g).c_str());
    return exit_ok;
}

// The files a job reads: its input or songs, machines.ini, kestrix.ini, es-9.dat for an ES-9, and
// the XI instruments a MIDI file's waves come from.
std::vector<ReadFile> job_reads(const Settings& s, const CliRequest& req, const std::string& machines_ini,
                                bool ini_read)
{
    const bool merging = req.merge || s.merge_after;
    std::vector<ReadFile> reads;
    if (!req.merge) reads.push_back({req.input, "the input file itself"});
    if (merging) {
        reads.push_back({s.merge_input1, "the merge's first song"});
        if (s.use_convout == 0) reads.push_back({s.merge_input2, "the merge's second song"});
    }
    if (!machines_ini.empty()) reads.push_back({machines_ini, "machines.ini, which the job reads"});
    if (ini_read) reads.push_back({"kestrix.ini", "kestrix.ini, which the job reads"});
    if ((!req.merge && s.dopfun == 7) || (merging && s.clone2 == 8 && !s.rip_es9))
        reads.push_back({"es-9.dat", "es-9.dat, which the job reads"});
    if (!req.merge && decide_input_kind(req.input).kind == InputKind::midi && !s.domidi_ext) {
        for (const char* kind : {"gmc", "gmp"})
            for (unsigned k = 0; k < (kind[2] == 'c' ? 17u : 256u); ++k) {
                char number[16]; // "_%02x.xi" of any unsigned
                std::snprintf(number, sizeof number, "_%02x.xi", k);
                const std::string name = std::string(s.xi_dir) + kind + number;
                if (platform::file_exists(name.c_str())) reads.push_back({name, "an XI instrument the job reads"});
            }
    }
    return reads;
}

// The files a job writes: the song, the merged song, the log, a ripped WAV, es-9.dat.
std::vector<WrittenFile> job_writes(const Settings& s, const CliRequest& req, bool listing, const std::string& output)
{
    const bool merging = req.merge || s.merge_after;
    std::vector<WrittenFile> writes;
    // The song's existence and folder were checked with the input.
    if (!req.merge && !listing) writes.push_back({output, "song", false, {}});
    if (merging) {
        // A merge may name one of its inputs: it replaces that one once the new song is complete.
        WrittenFile m{s.merge_output, "merged song", true, {s.merge_input1}};
        if (s.use_convout == 0) m.may_be.push_back(s.merge_input2);
        if (s.use_convout == 1) m.may_be.push_back(output);
        writes.push_back(m);
    }
    if (!req.log_file.empty()) writes.push_back({req.log_file, "log file", true, {}});
    if (s.rip_wave != 0 && (listing || merging)) {
        char wav[32];
        std::snprintf(wav, sizeof wav, "kxrip%02x.wav", unsigned(s.rip_wave));
        const std::string merged = s.merge_output;
        const size_t cut = merged.find_last_of("/\\");
        const std::string folder = listing || cut == std::string::npos ? "" : merged.substr(0, cut + 1);
        writes.push_back({folder + wav, "WAV file", true, {}});
    }
    // Only an ES-9 source is ripped: whether the file exists is seen when it is.
    if (merging && s.rip_es9 && s.clone_source) writes.push_back({"es-9.dat", "ES-9 data file", false, {}});
    return writes;
}

int usage_error(const std::string& message)
{
    // A refused setting already points to --keys; other errors point to the options.
    const bool points = message.find("kestrix --keys") != std::string::npos;
    std::fprintf(stderr, "kestrix: %s\n%s", message.c_str(), points ? "" : "(kestrix --help shows the options)\n");
    return exit_usage;
}

} // namespace

int main(int argc, char** argv)
{
    platform::set_program_path(argc > 0 ? argv[0] : nullptr);
    // Ctrl-C, SIGTERM or a closed terminal end the run without leaving its scratch files behind
    // (an existing file of an output's name stays as it was); past a file-size limit a write fails.
    platform::remove_scratch_on_interrupt();
    std::vector<std::string> args(argv + (argc > 0 ? 1 : argc), argv + argc);

    CliRequest req;
    if (wants_help_or_version(args, req)) {
        if (req.help)
            std::fputs(usage_text, stdout);
        else
            std::fputs(version_text().c_str(), stdout);
        return exit_ok;
    }
    if (args.empty()) {
        std::fputs(usage_text, stderr);
        return exit_usage;
    }

    for (const std::string& a : args) {
        if (a == "--") break;
        if (a == "--keys" || a == "--help-keys") return list_keys();
    }

    // Settings as the dialog has them: kestrix.ini, or the defaults with the XI directory in the
    // current directory; then the command line.
    Settings settings;
    std::vector<std::string> ini_warnings;
    const bool ini_read = load_settings(settings, ini_warnings);
    if (!ini_read) {
        std::string xi = platform::current_directory() + platform::path_separator + "xi" +
                         platform::path_separator;
        settings_set_text(settings.xi_dir, xi.c_str());
    }
    std::string error;
    if (!parse_command_line(settings, args, req, error)) return usage_error(error);
    if (ini_read && !req.quiet && !req.json)
        std::fprintf(stderr, "Settings from %s%ckestrix.ini\n", platform::current_directory().c_str(),
                     platform::path_separator);
    for (const std::string& w : ini_warnings) std::fprintf(stderr, "kestrix: warning: %s\n", w.c_str());

    if (req.save) {
        if (!save_settings(settings)) return fail("kestrix.ini", "could not be written");
        if (req.input.empty() && !req.merge) return exit_ok;
    }
    if (req.list) settings.dolist = 1;

    const std::string machines_ini = choose_machines_ini(settings);
    if (req.generators) return list_song_generators(settings, req);

    const bool listing = is_song_name(req.input) && !req.merge;
    std::string output = req.output.empty() ? default_output_name(settings, req.input) : req.output;

    // The files, before anything is written: one line naming the file and the reason.
    if (!req.merge) {
        std::string why = check_input(settings, req.input);
        if (!why.empty()) return fail(req.input, why);
        if (!listing) {
            why = check_output(output, req.input, req.force);
            if (!why.empty()) return fail(output, why);
            // An XI instrument needs no machines.ini.
            const bool xi = decide_input_kind(req.input).kind == InputKind::xi;
            why = xi ? "" : check_machines_ini(settings, machines_ini);
            if (!why.empty()) return fail("", why);
        }
    }
    if (req.merge) {
        for (const char* song : {static_cast<const char*>(settings.merge_input1), settings.use_convout == 0 ? settings.merge_input2 : ""}) {
            const int status = *song ? platform::readable_file_status(song) : 0;
            if (status) return fail(song, std::strerror(status));
        }
    }
    // No file the job writes may be one it reads or another one it writes, -y or not; an
    // existing one only with -y.
    const FailureLine clash = check_job_files(job_reads(settings, req, machines_ini, ini_read),
                                              job_writes(settings, req, listing, output), req.force);
    if (!clash.reason.empty()) return fail(clash.file, clash.reason);

    if (!req.merge) {
        settings_set_text(settings.input_file, req.input.c_str());
        settings_set_text(settings.output_file, listing ? "" : output.c_str());
    }

    // A BMW song refers to XI files in xi_dir: have the directory ready for them.
    if (!listing && !req.merge) prepare_xi_dir(settings);

    if (listing) {
        const SongFacts facts = gather_song_facts(settings, req.input);
        if (req.json) {
            if (!facts.read) return fail(req.input, "cannot be read as a Buzz song");
            std::fputs(facts_json(req.input, facts).c_str(), stdout);
            return std::fflush(stdout) == 0 ? exit_ok : exit_failed;
        }
        if (facts.read) std::fputs(facts_summary(req.input, facts).c_str(), stdout);
        std::fflush(stdout);
    }

    ConsoleFrontEnd front_end(listing ? stdout : stderr, req.quiet, platform::is_terminal(listing ? 1 : 2));
    front_end.listing_ = listing;
    if (listing) {
        front_end.log().set_warning_stream(stderr);
        front_end.log().set_song_text(true);
    }
    if (!req.log_file.empty()) {
        // A new file, never through a link; with -y whatever had the name goes. A name that
        // cannot be created is a usage error: nothing has run yet.
        front_end.pending_log_.reset(platform::create_file(req.log_file.c_str(), req.force));
        if (!front_end.pending_log_) {
            const int e = errno ? errno : ENOENT;
            if (e == EEXIST) return fail(req.log_file, "exists; -y (--force) replaces it");
            return fail(req.log_file, std::strerror(e), exit_usage);
        }
        settings_set_text(settings.log_file, req.log_file.c_str());
    }

    settings.replace_files = req.force ? 1 : 0;
    Job job(settings, front_end);
    front_end.log().set_progress([&job] { return job.progress(); });
    int mode = job.run(job_mode_of(settings, req));
    front_end.log().finish();
    const bool failed = mode == 0 || front_end.failed_;
    std::string line;
    if (failed) {
        // A conversion followed by a merge failed in the merge when the merge had begun.
        const Merge* m = job.merge.get();
        const bool merging = req.merge || (settings.merge_after && m && m->state.running);
        const char* job_name = m && merge_is_merging(*m) ? "merge" : "transformation";
        const std::string in_hand = m ? m->state.file_in_hand : std::string();
        FailureLine f = merging ? explain_merge_failure(settings, front_end.log().error(), job_name, in_hand,
                                                        settings.merge_output, machines_ini)
                                : explain_failure(settings, front_end.log().error(), req.input, output, machines_ini);
        fail(f.file, f.reason);
        line = f.file.empty() ? f.reason : f.file + ": " + f.reason;
    }
    // The log file ends as the job did: the final report, and a failure's line. A log that could
    // not be written whole (a full disk) fails the run.
    if (FILE* f = front_end.pending_log_.get()) {
        std::fprintf(f, "\n%s\n%s%s", front_end.reported_.c_str(), line.c_str(), line.empty() ? "" : "\n");
        errno = 0;
        bool ok = std::fflush(f) == 0 && !std::ferror(f);
        const int e = errno ? errno : EIO;
        ok = std::fclose(front_end.pending_log_.release()) == 0 && ok;
        if (!ok) return fail(req.log_file, std::string("could not be written: ") + std::strerror(e));
    }
    return failed ? exit_failed : exit_ok;
}
