// The job runner: a job is a value. A Job holds everything one job runs with and builds: its own
// copy of the settings, its log, its pool and kill request, the machine descriptions it loads,
// and the conversion while one runs. It runs the phases a job mode names, catches every fatal
// error at its recovery point, sweeps the pool and reports the outcome once. Two jobs share
// nothing, so two may run at once on two threads.
//
// Jobs talk to their front end only through JobFrontEnd, so the Win32 program runs them on its
// worker thread and the console edition on its main thread.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "buzz/machines_ini.h"
#include "core/log.h"
#include "core/pool.h"
#include "settings/settings.h"
#include "song/conversion.h"
#include "transform/merge.h"
#include "transform/wave_tools.h"

// How a job ended, for the front end's report.
enum class JobOutcome {
    finished, // every phase ran
    failed,   // a phase ended with a fatal error
    killed,   // the front end asked the job to end ("Kill running process")
};

// What the front end supplies: the log window, the optional log file and the final report. The
// Win32 program shows a message box owned by its dialog; the console edition prints the text and
// sets its exit status.
class JobFrontEnd {
public:
    virtual ~JobFrontEnd() = default;
    // Called for "Conversion Log" / "Merging Log"; nullptr when there is no window to offer.
    virtual LogWindow* open_log_window(const char* title) = 0;
    // The log file of this job, opened by the front end for writing (the console edition's --log,
    // the dialog's "Log to file"). It becomes the job's `log_stream` at the start of the job,
    // receives every shown message, and is handed to close_log_file at the end of the job, before
    // the report. nullptr: no log file.
    virtual FILE* open_log_file() { return nullptr; }
    // The log file after the job's last text: closed here, unless the front end keeps it for a
    // last line of its own.
    virtual void close_log_file(FILE* f) { std::fclose(f); }
    // A Buzz song given to the conversion is listed; true: its summary heads the listing in the
    // job's log (the dialog; the console prints it itself).
    virtual bool lists_song_summary() const { return false; }
    // False: the window gets no "Error: ..." lines, the front end reports the job's `failure` in
    // a line of its own (the console); the log file gets them all the same.
    virtual bool shows_failure_in_log() const { return true; }
    // The one final message ("Conversion finished!", "Error occured!", ...) and how the job ended.
    // The window opened for the job stays valid until this returns.
    virtual void report(const char* text, JobOutcome outcome) = 0;
};

class Job;

// A log window that keeps the job's text (a job whose log is shown once it is done, or read).
class LogText : public LogWindow {
public:
    void draw_text(std::string_view t) override { text.append(t); }
    void move_to_line(int) override { text += '\n'; }
    void scroll_up(int) override {}
    std::string text;
};

// The two phases a job runs. Empty: the conversion driver and the merge. Tests put their own
// phases here to run every path of the runner.
struct JobPhases {
    int (*convert)(Conversion& c, const std::string& input, const std::string& output) = nullptr;
    // Returns non-zero when a second song was merged in (else the job transformed one song).
    int (*merge)(Job& job, const char* first, const char* second, const char* output) = nullptr;
};

class Job {
public:
    // The job runs with its own copy of `settings`: a front end may change its record while the
    // job runs.
    Job(const Settings& settings, JobFrontEnd& front_end);
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

    // Runs the phases `job_mode` names and reports the outcome once. Returns the final mode:
    // JobMode::none when a phase failed.
    JobMode run(JobMode job_mode);

    // Asks the job to end at its next log call or pool allocation inside a phase (from any
    // thread); an outside converter it waits for ends at once.
    void kill();
    bool kill_requested() const { return cancel.requested.load(); }

    // Progress of the running conversion or merge, 0..1, or -1 when none runs. For the log
    // window's repaint, on the job's own thread.
    double progress() const;

    const Settings settings; // the options this job runs with
    Failure failure;         // the fatal error of the phase that failed (text "" while none has)
    JobCancel cancel;
    Log log;
    Pool pool{log};
    MachineTable machines;   // machines.ini as this job loaded it (pool memory)
    WaveTools tools{settings, log}; // tuning and ripping, of a listed song or in the merge
    std::unique_ptr<Merge> merge; // the merge or transformation, once it has begun (kept after it)
    JobPhases phases;

private:
    JobFrontEnd& front_end_;
    Conversion* conversion_ = nullptr; // the conversion while it runs
};

// Runs one job with `settings` and the front end: Job(settings, front_end).run(job_mode).
JobMode run_job(const Settings& settings, JobMode job_mode, JobFrontEnd& front_end);

// One generator of a song, as the Machine page offers it as the source of a clone.
struct GeneratorEntry {
    int index = 0;      // the machine's number in the song: the value for clone_source
    char name[30] = {}; // its name (the first 29 characters)
};

// Lists the generators of `song` the way the dialog's "Get generators from Input I" does, on the
// calling thread as a job of its own (machines.ini from settings.machines_ini). Its log goes to
// `window` (none: nowhere); a fatal error is caught and logged there, or, given `failure`, kept
// there for a line of the caller's own. False when the song could not be read; `out` then holds
// nothing.
bool list_generators(const Settings& settings, const char* song, std::vector<GeneratorEntry>& out,
                     LogWindow* window = nullptr, Failure* failure = nullptr);
// A generator as the list shows it: "%2d: %s" with its number and name.
std::string generator_line(const GeneratorEntry& g);
