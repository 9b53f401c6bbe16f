// The job runner: the body of the worker thread. Runs the phases a job mode names, catches every
// fatal error at its recovery point, sweeps the pool and reports the outcome once.
//
// run_job keeps everything it needs in the process-global job state and on its own stack, and
// talks to the front end only through JobFrontEnd, so the Win32 program can run it on its worker
// thread and the console edition on its main thread.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "core/log.h"

// What the front end supplies: the log window, the optional log file and the final report. The
// Win32 program shows a message box owned by its dialog; the console edition prints the text and
// sets its exit status.
class JobFrontEnd {
public:
    virtual ~JobFrontEnd() = default;
    // Called for "Conversion Log" / "Merging Log"; nullptr when there is no window to offer.
    virtual LogWindow* open_log_window(const char* title) = 0;
    // The log file of this job, opened by the front end for writing (the console edition's --log,
    // the dialog's "Log to file"). It becomes `log_stream` right after the runner has cleared that
    // at the start of the job, receives every shown message, and is handed to close_log_file at
    // the end of the job, before the report. nullptr: no log file.
    virtual FILE* open_log_file() { return nullptr; }
    // The log file after the job's last text: closed here, unless the front end keeps it for a
    // last line of its own.
    virtual void close_log_file(FILE* f) { std::fclose(f); }
    // The one final message ("Conversion finished!", "Error occured!", ...). The window opened
    // for the job stays valid until this returns.
    virtual void report(const char* text) = 0;
};

// job_mode bit 0: convert input_file into output_file; bit 1: merge/transform. Other bits are
// ignored. Returns the final mode copy: 0 when a phase failed.
int run_job(int job_mode, JobFrontEnd& front_end);

// One generator of a song, as the Machine page offers it as the source of a clone.
struct GeneratorEntry {
    int index = 0;      // the machine's number in the song: the value for clone_source
    char name[30] = {}; // its name (the first 29 characters)
};

// Lists the generators of `song` the way the dialog's "Get generators from Input I" does, on the
// calling thread with the job state (so never while a job runs): machines.ini is loaded, the
// song's machines are read with list_generators_only set, and a fatal error is caught (its
// message went to the log: the log window or stream set at the time, none for the dialog). The
// pool is swept and list_generators_only cleared before it returns. False when the song could not
// be read; `out` then holds nothing.
bool list_generators(const char* song, std::vector<GeneratorEntry>& out);
// A generator as the list shows it: "%2d: %s" with its number and name.
std::string generator_line(const GeneratorEntry& g);

// Closes every stream the job's global state holds (the wave temp file, the conversion's output)
// and forgets the stream pointers that only borrow streams owned elsewhere. Streams owned by the
// functions a JobAbort abandoned were closed while it unwound.
void close_all_job_streams();

// The two phases a job runs. Both null: the conversion driver and the merge. Tests put their own
// phases here to run every path of the runner.
struct JobPhases {
    int (*convert)(const char* input, const char* output) = nullptr;
    void (*merge)(const char* first, const char* second, const char* output) = nullptr;
    int (*is_merging)() = nullptr;
};

extern JobPhases job_phases;

// Runs fn the way the runner runs a phase: a JobAbort is caught and reported as false.
template <class Fn>
bool run_guarded(Fn&& fn)
{
    try {
        fn();
        return true;
    } catch (const JobAbort&) {
        return false;
    }
}
