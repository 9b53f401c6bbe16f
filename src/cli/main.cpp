// kestrix, the console edition: converts modules into Buzz songs (one, or many at once), lists a
// Buzz song, merges songs or saves the settings, from the command line. A job runs as in the
// dialog program, its log goes to stderr and its final report decides the exit status.
#include <algorithm>
#include <cerrno>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "buzz/machines_ini.h"
#include "cli/batch.h"
#include "cli/console_log.h"
#include "jobs/song_facts.h"
#include "cli/option_table.h"
#include "cli/options.h"
#include "cli/preflight.h"
#include "convert/input_formats.h"
#include "convert/soundfont_waves.h"
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

// A log drawn into two windows at once.
class BothWindows : public LogWindow {
public:
    BothWindows(LogWindow& a, LogWindow& b) : a_(a), b_(b) {}
    void draw_text(std::string_view text) override { draw_text(text, LogLevel::detail); }
    void draw_text(std::string_view text, LogLevel level) override
    {
        a_.draw_text(text, level);
        b_.draw_text(text, level);
    }
    void move_to_line(int y) override
    {
        a_.move_to_line(y);
        b_.move_to_line(y);
    }
    void scroll_up(int pixels) override
    {
        a_.scroll_up(pixels);
        b_.scroll_up(pixels);
    }
    void repaint() override { a_.repaint(); }

private:
    LogWindow& a_;
    LogWindow& b_;
};

class ConsoleFrontEnd : public JobFrontEnd {
public:
    ConsoleFrontEnd(FILE* out, bool quiet, bool terminal) : log_(out, quiet, terminal), quiet_(quiet) {}
    // A job of a batch: its whole log, the final report too, kept in `capture`; what -q would show
    // of it is kept apart, for the lines under the file's line.
    explicit ConsoleFrontEnd(std::string& capture) : log_(capture, false), quiet_(false), capture_(&capture) {}

    LogWindow* open_log_window(const char*) override
    {
        if (!opening_.empty()) {
            log_.draw_text(opening_);
            log_.move_to_line(0);
            if (pending_log_) std::fprintf(pending_log_.get(), "%s\n", opening_.c_str());
            opening_.clear();
        }
        return capture_ ? static_cast<LogWindow*>(&both_) : &log_;
    }

    // A batch job's lines that -q would show, once the job is done.
    std::vector<std::string> quiet_lines()
    {
        quiet_log_.finish(failed_);
        std::vector<std::string> lines;
        for (size_t at = 0; at < quiet_text_.size();) {
            const size_t end = quiet_text_.find('\n', at);
            lines.push_back(quiet_text_.substr(at, end - at));
            at = end == std::string::npos ? quiet_text_.size() : end + 1;
        }
        return lines;
    }

    // The console's own word on the job, the first line of its log.
    std::string opening_;

    // The --log file, created before the job so that a bad name is reported at once; the runner
    // writes the job's text into it and hands it back at the end, for the report and a failure's
    // line.
    FILE* open_log_file() override { return pending_log_.get(); }
    void close_log_file(FILE*) override {}

    // A failure is reported by the console's own line after the job; a listing ends with its
    // last line.
    bool shows_failure_in_log() const override { return false; }
    void report(const char* text, JobOutcome outcome) override
    {
        reported_ = text;
        failed_ = outcome != JobOutcome::finished;
        log_.finish(failed_);
        if (capture_) {
            if (!failed_) *capture_ += std::string(text) + "\n";
            return;
        }
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
    std::string* capture_ = nullptr;
    std::string quiet_text_;
    ConsoleLog quiet_log_{quiet_text_, true};
    BothWindows both_{log_, quiet_log_};
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

// Flushes a stream that was written: "" or why it could not be written whole (a full disk, a
// closed stream). `error`: the errno of an earlier write to it that failed, 0 if none did (a failed
// write drops the stream's buffer: the flush afterwards no longer knows why).
std::string flush_stream(FILE* f, int error)
{
    errno = 0;
    if (std::fflush(f) != 0 && !error) error = errno ? errno : EIO;
    if (!error && std::ferror(f)) error = EIO;
    return error ? std::strerror(error) : "";
}

// Writes text to standard output and flushes it: "" or why it could not be written whole.
std::string put_standard_output(const std::string& text, int error = 0)
{
    errno = 0;
    if (!error && std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) error = errno ? errno : EIO;
    return flush_stream(stdout, error);
}

// The same as the program's exit status: 0, or 1 with the failure line.
int to_standard_output(const std::string& text)
{
    const std::string why = put_standard_output(text);
    return why.empty() ? exit_ok : fail("standard output", why);
}

// kestrix --keys: every key with its type, values, default and meaning.
int list_keys()
{
    std::string text;
    char line[1024];
    std::snprintf(line, sizeof line, "%-14s %-8s %-26s %-12s %s\n", "key", "type", "values", "default", "meaning");
    text += line;
    for (const SettingKeyInfo& k : settings_key_list()) {
        std::snprintf(line, sizeof line, "%-14s %-8s %-26s %-12s %s%s\n", k.name.c_str(), k.type.c_str(),
                      k.range.c_str(), k.fallback.c_str(), k.meaning.c_str(), k.saved ? "" : " (--set only, never saved)");
        text += line;
    }
    return to_standard_output(text);
}

// --export-xi FILE.sf2 DIR: the SoundFont's waves as the XI set a MIDI conversion looks up, written
// by a job of its own. Without -y a folder that holds such files already is refused before
// anything is written.
int export_xi_set(Settings settings, const CliRequest& req)
{
    const int status = platform::readable_file_status(req.input.c_str());
    if (status) return fail(req.input, std::strerror(status));
    // The set by program, unless the command line asks for the set by channel.
    bool by_channel = false;
    for (size_t k = 0; k < req.job_options.size(); ++k)
        by_channel = (by_channel || req.job_options[k] == "+m" || req.job_options[k] == "dopchange=0") &&
                     req.job_options[k] != "+M" && req.job_options[k] != "dopchange=1";
    settings.dopchange = by_channel ? 0 : 1;
    std::string folder = req.output;
    if (folder.back() != '/' && folder.back() != '\\') folder += platform::path_separator;
    if (!req.force) {
        const bool patch = settings.dopchange != 0;
        for (unsigned k = patch ? 0 : 1; k <= (patch ? 255u : 16u); ++k) {
            char tail[16];
            std::snprintf(tail, sizeof tail, "%s_%02x.xi", patch ? "gmp" : "gmc", k);
            if (platform::name_taken((folder + tail).c_str()))
                return fail(folder + tail, "exists; -y (--force) replaces the XI files of the set");
        }
    }
    settings.input_file = req.input;
    settings.output_file = req.output;
    settings.replace_files = req.force ? 1 : 0;
    ConsoleFrontEnd front_end(stderr, req.quiet, false);
    Job job(settings, front_end);
    job.phases.convert = [](Conversion& c, const std::string& bank, const std::string& dir) {
        return export_soundfont_xi(c, bank, dir);
    };
    const JobMode mode = job.run(JobMode::convert);
    front_end.log().finish();
    if (mode == JobMode::none || front_end.failed_) {
        const Failure& f = job.failure;
        return fail(f.file.empty() ? req.input : f.file, f.reason.empty() ? "the export failed" : f.reason);
    }
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
    Failure failure;
    const bool ok = list_generators(settings, req.input.c_str(), generators, &log, &failure);
    log.finish(!ok);
    if (!ok) return fail(failure.file.empty() ? req.input : failure.file, failure.reason.empty() ? "cannot be read" : failure.reason);
    std::string lines;
    for (const GeneratorEntry& g : generators) lines += generator_line(g) + "\n";
    return to_standard_output(lines);
}

// A native MIDI conversion's waves: the SoundFont found on this system goes to the job when the
// settings name none and xi_dir lacks the XI files; a SoundFont they name that cannot be read
// refuses the job before it starts.
FailureLine prepare_midi_waves(Settings& s, const std::string& input)
{
    s.soundfont_found.clear();
    if (decide_input_kind(input).kind != InputKind::midi || s.domidi_ext) return {};
    const MidiWaveSource w = midi_wave_source(s);
    if (!w.problem.empty()) return {w.soundfont, w.problem};
    if (w.found) s.soundfont_found = w.soundfont;
    return {};
}

// --libraries SONG: the library names of the song's machines as machines.ini takes them, on stdout.
int list_song_libraries(const Settings& settings, const CliRequest& req)
{
    const int status = platform::readable_file_status(req.input.c_str());
    if (status) return fail(req.input, std::strerror(status));
    const SongFacts facts = gather_song_facts(settings, req.input);
    if (facts.machine_count < 0) return fail(req.input, "cannot be read as a Buzz song");
    std::fputs(facts_libraries(facts).c_str(), stdout);
    if (!facts.machines_problem.empty())
        std::fprintf(stderr, "kestrix: %s: the later machines are not named: %s\n", req.input.c_str(),
                     facts.machines_problem.c_str());
    return std::fflush(stdout) == 0 ? exit_ok : exit_failed;
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
        if (s.use_convout == SecondSong::merge_input2) reads.push_back({s.merge_input2, "the merge's second song"});
    }
    if (!machines_ini.empty()) reads.push_back({machines_ini, "machines.ini, which the job reads"});
    if (ini_read) reads.push_back({"kestrix.ini", "kestrix.ini, which the job reads"});
    if ((!req.merge && s.dopfun == 7) || (merging && s.clone2 == 8 && !s.rip_es9))
        reads.push_back({"es-9.dat", "es-9.dat, which the job reads"});
    if (!req.merge && decide_input_kind(req.input).kind == InputKind::midi && !s.domidi_ext) {
        const MidiWaveSource w = midi_wave_source(s);
        if (w.kind == MidiWaveSourceKind::soundfont) reads.push_back({w.soundfont, "the SoundFont the job reads"});
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

// A song named "-" (standard output) or a character device (/dev/null) is sent there once it is
// complete, from a scratch file of the temporary folder: it replaces no file.
bool sent_when_complete(const std::string& name)
{
    return name == "-" || platform::name_kind(name.c_str()) == platform::NameKind::device;
}

// The files a job writes: the song, the merged song, the log, a ripped WAV, es-9.dat.
std::vector<WrittenFile> job_writes(const Settings& s, const CliRequest& req, bool listing, const std::string& output)
{
    const bool merging = req.merge || s.merge_after;
    std::vector<WrittenFile> writes;
    // The song's existence and folder were checked with the input.
    if (!req.merge && !listing) writes.push_back({output, "song", false, {}});
    if (merging && !sent_when_complete(s.merge_output)) {
        // A merge may name one of its inputs: it replaces that one once the new song is complete.
        WrittenFile m{s.merge_output, "merged song", true, {s.merge_input1}};
        if (s.use_convout == SecondSong::merge_input2) m.may_be.push_back(s.merge_input2);
        if (s.use_convout == SecondSong::converted_song) m.may_be.push_back(output);
        writes.push_back(m);
    }
    if (!req.log_file.empty()) writes.push_back({req.log_file, "log file", true, {}, true});
    if (s.rip_wave != 0 && (listing || merging)) {
        char wav[32];
        std::snprintf(wav, sizeof wav, "kxrip%02x.wav", unsigned(s.rip_wave));
        const std::string merged = s.merge_output;
        const size_t cut = merged.find_last_of("/\\");
        const bool here = listing || cut == std::string::npos || sent_when_complete(merged);
        const std::string folder = here ? "" : merged.substr(0, cut + 1);
        writes.push_back({folder + wav, "WAV file", true, {}});
    }
    // Only an ES-9 source is ripped: whether the file exists is seen when it is.
    if (merging && s.rip_es9 && s.clone_source) writes.push_back({"es-9.dat", "ES-9 data file", false, {}});
    return writes;
}

// Follows the extension of a named OUTPUT where it and the waves setting disagree; the line that
// says so, or "".
std::string song_kind_by_name(Settings& s, const std::string& output)
{
    if (output.empty() || output == "-" || s.dopfun != 0 || s.dowave == Waves::none) return "";
    std::string ext = output.substr(std::min(output.size(), output.find_last_of("./\\") + 1));
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (ext == "bmw" && s.dowave == Waves::bmx) {
        s.dowave = Waves::bmw;
        return output + ": a BMW song with its waves as XI files in xi_dir, as its name says (the waves setting "
                        "asked for BMX)";
    }
    if (ext == "bmx" && s.dowave == Waves::bmw) {
        s.dowave = Waves::bmx;
        return output + ": a BMX song with its waves inside, as its name says (the waves setting asked for BMW)";
    }
    return "";
}

// "-" on the command line: standard input spooled into a scratch file of the temporary folder (a
// conversion reads its input in passes, and knows its kind by its name), the song written under
// a scratch name there and sent to standard output once complete; a character device named as
// the song (/dev/null) gets it the same way. Both files are registered, so that an interruption
// removes them, and removed on every way out.
class StandardStreams {
public:
    // At most 4 GiB of standard input are spooled: a Buzz song counts its sections in 32 bits,
    // so no larger module becomes one, and no MIDI file or instrument in use comes near; a stream
    // that goes on (a device, a program that never stops) ends there instead of filling the
    // temporary folder.
    static constexpr uint64_t standard_input_limit = uint64_t(4) << 30;

    StandardStreams() = default;
    StandardStreams(const StandardStreams&) = delete;
    StandardStreams& operator=(const StandardStreams&) = delete;
    ~StandardStreams()
    {
        for (const std::string* name : {&input_, &song_})
            if (!name->empty()) platform::remove_scratch(name->c_str());
    }

    // Reads standard input into the scratch file; "" or why it could not.
    std::string read_input()
    {
        platform::set_binary_mode(stdin);
        uint8_t head[probe_bytes];
        const size_t n = std::fread(head, 1, sizeof head, stdin);
        if (n == 0) return std::ferror(stdin) ? std::strerror(errno ? errno : EIO) : "nothing to read";
        // Judged by its first bytes before anything is spooled: what can be no input (an endless
        // /dev/zero) is read no further.
        const std::string why = check_input_head(head, n);
        if (!why.empty()) return why;
        const InputKind kind = kind_by_content(head, n);
        // Without a signature the name has no extension: the file is read as a module.
        const char* extension = kind == InputKind::none ? "" : input_format(kind)->extensions[0];
        const std::string name = scratch_name("stdin") + extension;
        if (!platform::create_scratch_file(name.c_str())) return name + ": " + std::strerror(errno ? errno : EEXIST);
        input_ = name;
        File f = open_file(name.c_str(), "wb");
        if (!f) return name + ": " + std::strerror(errno ? errno : EIO);
        std::string spooled = spool_input(stdin, head, n, f.get(), name, standard_input_limit);
        errno = 0;
        if (std::fclose(f.release()) != 0 && spooled.empty()) spooled = name + ": " + std::strerror(errno ? errno : EIO);
        return spooled;
    }
    const std::string& input_name() const { return input_; }

    // Where the complete song goes: standard output ("-") or the character device `name`, opened
    // now. "" or why not; `usage` when the reason is the user's choice (a terminal gets no song).
    std::string open_target(const std::string& name, bool& usage)
    {
        usage = false;
        if (name == "-") {
            usage = platform::is_terminal(1);
            if (usage) return "the song would go to a terminal: name an OUTPUT, or redirect standard output";
            target_ = stdout;
            return "";
        }
        errno = 0;
        device_.reset(platform::open_device(name.c_str(), "wb"));
        if (!device_) return std::strerror(errno ? errno : EACCES);
        usage = platform::stream_is_terminal(device_.get());
        if (usage) return "is a terminal; name another output";
        target_ = device_.get();
        target_name_ = name;
        return "";
    }
    // The file a failure to send the song concerns.
    std::string target_label() const { return target_ == stdout ? "standard output" : target_name_; }
    bool to_standard_output() const { return target_ == stdout; }

    // The name the song is written under before it is sent: free, registered.
    std::string song_name(const Settings& s)
    {
        song_ = scratch_name("stdout") + (s.dopfun == 0 && s.dowave == Waves::bmw ? ".bmw" : ".bmx");
        platform::watch_scratch(song_.c_str());
        return song_;
    }
    bool sends_song() const { return !song_.empty(); }

    // Copies the complete song to where it goes; "" or why it could not.
    std::string send_song()
    {
        File f = open_file(song_.c_str(), "rb");
        if (!f) return std::strerror(errno ? errno : ENOENT);
        platform::set_binary_mode(target_);
        char block[65536];
        size_t got;
        int error = 0;
        while (!error && (got = std::fread(block, 1, sizeof block, f.get())) > 0) {
            errno = 0;
            if (std::fwrite(block, 1, got, target_) != got) error = errno ? errno : EIO;
        }
        if (!error && std::ferror(f.get())) error = EIO;
        std::string why = flush_stream(target_, error);
        errno = 0;
        if (device_ && std::fclose(device_.release()) != 0 && why.empty()) why = std::strerror(errno ? errno : EIO);
        return why;
    }

private:
    static std::string scratch_name(const char* label)
    {
        return platform::scratch_stem((platform::temp_directory() + platform::path_separator + label).c_str());
    }
    std::string input_, song_;
    FILE* target_ = nullptr; // standard output or device_
    File device_;
    std::string target_name_;
};

// The one line of a failure, as a batch shows it under the input's name: another file's name is
// kept, the input's own left out.
std::string reason_for(const FailureLine& f, const std::string& input)
{
    return f.file.empty() || f.file == input ? f.reason : f.file + ": " + f.reason;
}

// The checks of one conversion's files, the same for the one file of a run and for each file of a
// batch: the input; unless the song is only listed, the output, machines.ini (an XI instrument
// needs none) and a MIDI file's waves (`s` gets the SoundFont found on this system); then no file
// the job writes may be one it reads or another one it writes, -y or not, and an existing one only
// with -y (`req` names the others: the log file, a merge after the conversion). The line of the
// first that fails; its reason is empty when all pass.
FailureLine check_conversion(Settings& s, const CliRequest& req, const BatchFile& f, bool listing,
                             const std::string& machines_ini, bool ini_read)
{
    std::string why = check_input(s, f.input);
    if (!why.empty()) return {f.input, why};
    if (!listing) {
        why = check_output(f.output, f.input, req.force);
        if (!why.empty()) return {f.output, why};
        why = decide_input_kind(f.input).kind == InputKind::xi ? "" : check_machines_ini(s, machines_ini);
        if (!why.empty()) return {"", why};
        const FailureLine waves = prepare_midi_waves(s, f.input);
        if (!waves.reason.empty()) return waves;
    }
    return check_job_files(job_reads(s, req, machines_ini, ini_read), job_writes(s, req, listing, f.output), req.force);
}

// Runs the job and gives the line of its failure (an empty reason when it did not fail): a
// conversion's, or a merge's once the merge (of a conversion followed by one) had begun.
FailureLine run_console_job(Job& job, JobMode job_mode, ConsoleFrontEnd& front_end, const CliRequest& req,
                            const std::string& input, const std::string& machines_ini)
{
    front_end.log().set_progress([&job] { return job.progress(); });
    const JobMode mode = job.run(job_mode);
    front_end.log().finish();
    if (mode != JobMode::none && !front_end.failed_) return {};
    const Merge* m = job.merge.get();
    const bool merging = req.merge || (job.settings.merge_after && m && m->state.started);
    if (!merging) return conversion_failure_line(job.settings, job.failure, input, machines_ini);
    return merge_failure_line(job.settings, job.failure, m && merge_is_merging(*m) ? "merge" : "transformation",
                              machines_ini);
}

// One file of a batch, on a thread of the batch: the checks of its files, then a job of its own
// whose log is kept for the batch to show.
BatchResult convert_one(const Settings& base, const CliRequest& req, const std::string& machines_ini, bool ini_read,
                        const BatchFile& f)
{
    BatchResult r;
    Settings s = base;
    CliRequest one = req;
    one.input = f.input;
    one.inputs = {f.input};
    one.log_file.clear();
    const FailureLine refused = check_conversion(s, one, f, false, machines_ini, ini_read);
    if (!refused.reason.empty()) return r.reason = reason_for(refused, f.input), r;

    s.input_file = f.input;
    s.output_file = f.output;
    s.replace_files = req.force ? 1 : 0;
    prepare_xi_dir(s);
    ConsoleFrontEnd front_end(r.log);
    Job job(s, front_end);
    const FailureLine failed = run_console_job(job, JobMode::convert, front_end, one, f.input, machines_ini);
    r.warnings = front_end.quiet_lines();
    r.ok = failed.reason.empty();
    if (!r.ok) r.reason = reason_for(failed, f.input);
    return r;
}

// Several inputs: each file a job of its own, `-j` at once on threads; one line per file and a
// summary.
int convert_batch(const Settings& settings, const CliRequest& req, const std::string& machines_ini, bool ini_read)
{
    if (!req.output_dir.empty() && !platform::make_directories(req.output_dir.c_str()))
        return fail(req.output_dir, std::strerror(errno ? errno : ENOENT));
    std::vector<BatchFile> files;
    for (const std::string& in : req.inputs) files.push_back({in, default_output_name(settings, in, req.output_dir)});
    // Two inputs that would make one song (song.xm and song.it, or two folders' song.xm with -O):
    // the later one fails alone rather than write over the other's song. Names are compared as
    // the system compares them (on Windows SONG.bmx is song.bmx).
    std::vector<std::string> clash(files.size());
    for (size_t i = 1; i < files.size(); ++i)
        for (size_t j = 0; j < i && clash[i].empty(); ++j) {
            const std::string& a = files[i].output;
            const std::string& b = files[j].output;
            const auto base = [](const std::string& p) { return p.substr(p.find_last_of("/\\") + 1); };
            if (platform::names_may_match(base(a), base(b), platform::names_ignore_case) &&
                (a == b || platform::same_file(a.c_str(), b.c_str())))
                clash[i] = a + " is also the song of " + files[j].input;
        }

    File log;
    if (!req.log_file.empty()) {
        // The log is no file any job of the batch reads or writes, -y or not, and an existing
        // file only with -y: it is made before the first job starts, so no job's check sees it.
        std::vector<ReadFile> used;
        for (const BatchFile& f : files) {
            CliRequest one = req;
            one.input = f.input;
            for (ReadFile& r : job_reads(settings, one, machines_ini, ini_read)) used.push_back(std::move(r));
            used.push_back({f.output, "the song of " + f.input});
        }
        const FailureLine taken = check_job_files(used, {{req.log_file, "log file", true, {}, true}}, req.force);
        if (!taken.reason.empty()) return fail(taken.file, taken.reason);
        log.reset(platform::create_file(req.log_file.c_str(), req.force));
        if (!log) {
            const int e = errno ? errno : ENOENT;
            if (e == EEXIST) return fail(req.log_file, "exists; -y (--force) replaces it");
            return fail(req.log_file, platform::error_text(e), exit_usage);
        }
    }
    const ConvertOne convert = [&](const BatchFile& f) {
        const size_t i = size_t(&f - files.data());
        if (!clash[i].empty()) {
            BatchResult r;
            r.reason = clash[i];
            return r;
        }
        return convert_one(settings, req, machines_ini, ini_read, f);
    };
    BatchConsole console;
    console.quiet = req.quiet;
    console.terminal = platform::is_terminal(2);
    console.log = log.get();
    const unsigned cores = std::thread::hardware_concurrency();
    const int failed = run_batch(files, req.jobs ? req.jobs : int(cores ? cores : 1), convert, console);
    if (log) {
        errno = 0;
        bool ok = std::fflush(log.get()) == 0 && !std::ferror(log.get());
        const int e = errno ? errno : EIO;
        ok = std::fclose(log.release()) == 0 && ok;
        if (!ok) return fail(req.log_file, std::string("could not be written: ") + std::strerror(e));
    }
    return failed ? exit_failed : exit_ok;
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
    platform::open_closed_standard_descriptors();
    platform::set_program_path(argc > 0 ? argv[0] : nullptr);
    // Ctrl-C, SIGTERM or a closed terminal end the run without leaving its scratch files behind
    // (an existing file of an output's name stays as it was); past a file-size limit a write fails.
    platform::remove_scratch_on_interrupt();
    std::vector<std::string> args(argv + (argc > 0 ? 1 : argc), argv + argc);

    CliRequest req;
    if (wants_help_or_version(args, req)) return to_standard_output(req.help ? help_text() : version_text());
    if (args.empty()) {
        std::fputs(help_text().c_str(), stderr);
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
        settings.xi_dir = xi;
    }
    std::string error;
    if (!parse_command_line(settings, args, req, error)) return usage_error(error);
    if (ini_read && !req.quiet && !req.json)
        std::fprintf(stderr, "Settings from %s%ckestrix.ini\n", platform::current_directory().c_str(),
                     platform::path_separator);
    for (const std::string& w : ini_warnings) std::fprintf(stderr, "kestrix: warning: %s\n", w.c_str());

    if (req.save) {
        std::string why;
        if (!save_settings(settings, &why)) return fail("kestrix.ini", "not saved: " + why);
        if (req.input.empty() && !req.merge) return exit_ok;
    }
    const std::string machines_ini = choose_machines_ini(settings);
    if (req.generators || req.libraries) {
        const FailureLine same = check_standard_output(job_reads(settings, req, machines_ini, ini_read));
        if (!same.reason.empty()) return fail(same.file, same.reason);
        return req.generators ? list_song_generators(settings, req) : list_song_libraries(settings, req);
    }
    if (req.export_xi) return export_xi_set(settings, req);
    if (req.batch()) return convert_batch(settings, req, machines_ini, ini_read);

    // "-": the input from standard input, the song to standard output.
    StandardStreams streams;
    std::string output = req.output.empty() ? req.input == "-" ? "-" : default_output_name(settings, req.input, req.output_dir)
                                            : req.output;
    if (!req.output_dir.empty() && !platform::make_directories(req.output_dir.c_str()))
        return fail(req.output_dir, std::strerror(errno ? errno : ENOENT));
    // A song for standard output or a device, the converted one or the merged one ("-o -" of a
    // merge), is written in the temporary folder first.
    const bool merge_sent = (req.merge || settings.merge_after) && sent_when_complete(settings.merge_output);
    const bool song_sent = !req.merge && sent_when_complete(output);
    if (song_sent && merge_sent)
        return usage_error("one song is sent once complete (to \"-\" or a device): the converted one or the merged one");
    if (song_sent || merge_sent) {
        const std::string target = song_sent ? output : std::string(settings.merge_output);
        bool usage = false;
        const std::string why = streams.open_target(target, usage);
        if (!why.empty()) return fail(target == "-" ? "" : target, why, usage ? exit_usage : exit_failed);
        if (song_sent) output = streams.song_name(settings);
    }
    if (req.input == "-") {
        const std::string why = streams.read_input();
        if (!why.empty()) return fail("standard input", why);
        req.input = streams.input_name();
    }
    const bool listing = is_song_name(req.input) && !req.merge;
    // An OUTPUT named .bmw holds a BMW song, one named .bmx a BMX song, as in the dialog, where the
    // name follows the wave choice.
    const std::string opening = song_kind_by_name(settings, req.output);

    // The files, before anything is written: one line naming the file and the reason.
    if (!req.merge) {
        const FailureLine refused = check_conversion(settings, req, {req.input, output}, listing, machines_ini, ini_read);
        if (!refused.reason.empty()) return fail(refused.file, refused.reason);
    } else {
        const bool second = settings.use_convout == SecondSong::merge_input2;
        for (const std::string& song : {settings.merge_input1, second ? settings.merge_input2 : ""}) {
            const int status = song.empty() ? 0 : platform::readable_file_status(song.c_str());
            if (status) return fail(song, std::strerror(status));
        }
        // No file the job writes may be one it reads or another one it writes, -y or not; an
        // existing one only with -y.
        const FailureLine clash = check_job_files(job_reads(settings, req, machines_ini, ini_read),
                                                  job_writes(settings, req, listing, output), req.force);
        if (!clash.reason.empty()) return fail(clash.file, clash.reason);
    }
    // Nor is standard output, when it gets the song or the listing (kestrix song.xm - 1<>song.xm).
    if (listing || streams.to_standard_output()) {
        const FailureLine same = check_standard_output(job_reads(settings, req, machines_ini, ini_read));
        if (!same.reason.empty()) return fail(same.file, same.reason);
    }
    if (merge_sent) settings.merge_output = streams.song_name(settings);

    if (!req.merge) {
        settings.input_file = req.input;
        settings.output_file = listing ? "" : output;
    }

    // A BMW song refers to XI files in xi_dir: have the directory ready for them.
    if (!listing && !req.merge) prepare_xi_dir(settings);

    if (listing) {
        const SongFacts facts = gather_song_facts(settings, req.input);
        if (req.json) {
            if (!facts.read) return fail(req.input, "cannot be read as a Buzz song");
            return to_standard_output(facts_json(req.input, facts));
        }
        const std::string why = put_standard_output(facts.read ? facts_summary(req.input, facts) : "");
        if (!why.empty()) return fail("standard output", why);
    }

    ConsoleFrontEnd front_end(listing ? stdout : stderr, req.quiet, platform::is_terminal(listing ? 1 : 2));
    front_end.listing_ = listing;
    front_end.opening_ = opening;
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
            return fail(req.log_file, platform::error_text(e), exit_usage);
        }
        settings.log_file = req.log_file;
    }

    settings.replace_files = req.force ? 1 : 0;
    Job job(settings, front_end);
    // A WAV ripped in a merge sent to standard output or a device goes into the current folder.
    if (merge_sent) job.tools.rip_folder = std::string(".") + platform::path_separator;
    const FailureLine f = run_console_job(job, job_mode_of(settings, req), front_end, req, req.input, machines_ini);
    const bool failed = !f.reason.empty();
    std::string line;
    if (failed) {
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
    if (!failed && listing) {
        const std::string why = put_standard_output("", front_end.log().write_error());
        if (!why.empty()) return fail("standard output", why);
    }
    if (!failed && streams.sends_song()) {
        const std::string why = streams.send_song();
        if (!why.empty()) return fail(streams.target_label(), why);
    }
    return failed ? exit_failed : exit_ok;
}
