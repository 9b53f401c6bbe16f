// The job runner: conversion, merge/transformation, or a conversion followed by a merge, with
// the outcome reported in one message.
#include "jobs/job_runner.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>

#include "buzz/bmx_reader.h"
#include "convert/driver.h"
#include "convert/input_formats.h"
#include "jobs/song_facts.h"
#include "platform/platform.h"
#include "transform/merge.h"
#include "transform/wave_tools.h"

namespace {

// Arms the kill check for a phase's duration; disarmed again before a handler below runs.
struct ArmedForKill {
    explicit ArmedForKill(JobCancel& c) : cancel(c) { cancel.armed = true; }
    ~ArmedForKill() { cancel.armed = false; }
    ArmedForKill(const ArmedForKill&) = delete;
    ArmedForKill& operator=(const ArmedForKill&) = delete;
    JobCancel& cancel;
};

// A phase of the job with its recovery point: a fatal error (JobAbort) comes back here, is
// logged and reported as false. Any other exception that escapes a phase is a fatal error too:
// it is logged like one, so that it ends the job with "Error occured!" instead of tearing down
// the whole program from the worker thread.
template <class Fn>
bool run_phase(Log& log, JobCancel& cancel, Fn&& fn, Failure* failure = nullptr)
{
    try {
        ArmedForKill armed(cancel);
        fn();
        return true;
    } catch (const JobAbort& e) {
        log_abort(log, e.failure);
        if (failure) *failure = e.failure;
        return false;
    } catch (const std::exception& e) {
        const Failure f = failure_of_text(e.what());
        log_abort(log, f);
        if (failure) *failure = f;
        return false;
    }
}

// `silent`: a MIDI file converted with waves asked for, none of which was found.
const char* final_text(JobMode mode, bool merged, bool silent)
{
    switch (mode) {
    case JobMode::convert: return silent ? "Conversion finished without waves!" : "Conversion finished!";
    case JobMode::merge: return merged ? "Merging finished!" : "Transformation finished!";
    case JobMode::convert_then_merge: return "Conversion and merging finished!";
    case JobMode::none: break;
    }
    return "Error occured!";
}

// A Buzz song given to the conversion: its summary (as the console's --list shows it) and the
// library names of its machines as machines.ini takes them, forced into the log before the listing.
void log_song_summary(Log& log, const Settings& settings)
{
    const SongFacts facts = gather_song_facts(settings, settings.input_file);
    std::string text = facts_summary(settings.input_file, facts, false);
    // Before the summary's last line, which heads the listing.
    text.insert(text.rfind('\n', text.size() - 2) + 1,
                "machines.ini lines of its machines' libraries:\n" + facts_libraries(facts, false));
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        log_forced(log, "%.*s\n", int(std::min<size_t>(end - at, 250)), text.data() + at);
        at = end + 1;
    }
}

int merge_phase(Job& job, const char* first, const char* second, const char* output)
{
    merge_songs(*job.merge, first, second, output);
    return merge_is_merging(*job.merge);
}

} // namespace

Job::Job(const Settings& job_settings, JobFrontEnd& front_end) : settings(job_settings), front_end_(front_end)
{
    log.cancel = &cancel;
    pool.cancel = &cancel;
    pool.mem_trace = settings.mem_trace;
    machines.machines_ini_path = settings.machines_ini;
}

void Job::kill()
{
    cancel.requested = true;
    platform::end_running_program(cancel.program); // its converter ends at once, no other job's
}

double Job::progress() const
{
    if (conversion_) return conversion_progress(*conversion_);
    return merge ? merge_progress(*merge) : -1;
}

JobMode Job::run(JobMode job_mode)
{
    Log& ls = log;
    auto* convert_fn = phases.convert ? phases.convert : &convert;
    auto* merge_fn = phases.merge ? phases.merge : &merge_phase;

    JobMode mode = job_mode; // the working copy; none once a phase has failed
    int merged = 0;
    bool silent = false; // a MIDI song that was to have waves has none
    ls.open_window = [this](const char* title) { return front_end_.open_log_window(title); };

    // The log file is the front end's choice: the runner takes whatever it opens for this job
    // and closes it at the end.
    ls.log_enabled = 1;
    ls.log_stream = front_end_.open_log_file();
    ls.window_shows_failure = front_end_.shows_failure_in_log();

    if (converts(mode)) {
        // A Buzz song given to the conversion is listed; the wave tools work on it then too.
        wave_tools_start(tools);
        Conversion conversion(settings, log, pool, machines, &cancel);
        conversion.listing_hooks = wave_tools_listing_hooks(tools);
        conversion_ = &conversion;
        bool ok = run_phase(log, cancel, [&] {
            log_window_open(ls, "Conversion Log", settings.lwind_dy);
            if (front_end_.lists_song_summary() && decide_input_kind(settings.input_file).kind == InputKind::buzz_song)
                log_song_summary(ls, settings);
            // What goes wrong in the conversion without naming a file of its own concerns the input.
            const int converted = about_file(FailedFile::input, settings.input_file, [&] {
                return convert_fn(conversion, settings.input_file.c_str(), settings.output_file.c_str());
            });
            if (converted == 0) wave_tools_finish(tools); // a listed song's WAV
            silent = native_midi(conversion) && settings.dowave != Waves::none && settings.dopfun == 0 &&
                     conversion.song.waves_written == 0;
        }, &failure);
        conversion_ = nullptr;
        if (!ok) {
            mode = JobMode::none;
            log_failure_line(ls, "\nError during conversion");
            wave_tools_forget(tools); // a WAV ripped from a listed song that was not finished
        }
    }

    if (mode == JobMode::convert_then_merge) {
        // The conversion's window stays and receives the merge's text; the merge starts with an
        // empty pool.
        log_print(ls, "\nConversion terminated, now merging files:\n");
        pool_free_all(pool);
    }
    if (mode == JobMode::merge) log_window_open(ls, "Merging Log", settings.lwind_dy);

    if (merges(mode)) {
        bool ok = run_phase(log, cancel, [&] {
            // The song a conversion read is no output of the merge that follows it.
            if (converts(job_mode) && platform::same_file(settings.merge_output.c_str(), settings.input_file.c_str())) {
                Failure f{FailedFile::output, settings.merge_output, 0,
                          "is the conversion's input file; name another output", ""};
                f.text = "Can't write " + f.file + ": " + f.reason;
                job_abort(std::move(f));
            }
            load_machine_descriptions(machines, pool, log);
            merge = std::make_unique<Merge>(settings, log, pool, machines, tools);
            const char* second = nullptr; // none (or a code kestrix.ini does not know): transform alone
            if (settings.use_convout == SecondSong::merge_input2) second = settings.merge_input2.c_str();
            if (settings.use_convout == SecondSong::converted_song) second = settings.output_file.c_str();
            merged = merge_fn(*this, settings.merge_input1.c_str(), second, settings.merge_output.c_str());
        }, &failure);
        if (!ok) {
            mode = JobMode::none;
            log_failure_line(ls, "\nError during merging");
        }
    }

    pool_free_all(pool);
    if (ls.log_stream) front_end_.close_log_file(ls.log_stream);
    ls.log_stream = nullptr;

    const JobOutcome outcome = mode != JobMode::none ? JobOutcome::finished : kill_requested() ? JobOutcome::killed : JobOutcome::failed;
    front_end_.report(final_text(mode, mode == JobMode::merge && merged != 0, silent), outcome);

    // The window belongs to the front end and ends with the job.
    ls.window = nullptr;
    ls.open_window = nullptr;
    return mode;
}

JobMode run_job(const Settings& settings, JobMode job_mode, JobFrontEnd& front_end)
{
    Job job(settings, front_end);
    return job.run(job_mode);
}

bool list_generators(const Settings& settings, const char* song, std::vector<GeneratorEntry>& out,
                     LogWindow* window, Failure* failure)
{
    out.clear();
    JobCancel cancel;
    Log log;
    log.window = window;
    log.window_shows_failure = failure == nullptr;
    Pool pool(log);
    pool.cancel = &cancel;
    pool.mem_trace = settings.mem_trace;
    MachineTable machines;
    machines.machines_ini_path = settings.machines_ini;
    WaveTools tools(settings, log);
    Merge merge(settings, log, pool, machines, tools);
    ReaderState& rs = merge.reader;
    rs.options.list_generators_only = 1;
    const bool ok = run_phase(log, cancel, [&] {
        load_machine_descriptions(machines, pool, log);
        merge_songs(merge, song, nullptr, nullptr);
        const InputSummary& in = rs.input_summaries[1];
        const int machines_read = in.machine_list ? std::min(in.machines, in.machine_list_count) : 0;
        for (int m = 0; m < machines_read; ++m) {
            if (in.machine_list[m].kind != 1) continue;
            GeneratorEntry g;
            g.index = m;
            std::memcpy(g.name, in.machine_list[m].name, sizeof g.name);
            out.push_back(g);
        }
    }, failure);
    if (!ok) out.clear();
    pool_free_all(pool);
    return ok;
}

std::string generator_line(const GeneratorEntry& g)
{
    char line[48];
    std::snprintf(line, sizeof line, "%2d: %s", g.index, g.name);
    return line;
}
