// The job runner: the body of the worker thread. Runs the phases a job mode names, catches every
// fatal error at its recovery point, sweeps the pool and reports the outcome once.
#pragma once

#include "core/log.h"

// What the front end supplies: the log window and the final report. The Win32 program shows a
// message box owned by its dialog; the console edition prints the text and sets its exit status.
class JobFrontEnd {
public:
    virtual ~JobFrontEnd() = default;
    virtual LogWindow* open_log_window(const char* title) = 0;
    virtual void report(const char* text) = 0;
};

// job_mode bit 0: convert input_file into output_file; bit 1: merge/transform.
// Returns the final mode copy: 0 when a phase failed.
int run_job(int job_mode, JobFrontEnd& front_end);

// Closes every stream the job's global state holds.
void close_all_job_streams();

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
