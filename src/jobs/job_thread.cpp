// The worker thread of the dialog program: start, kill request, end.
#include "jobs/job_thread.h"

#include "core/log.h"

JobThreadState job_thread;

namespace {

void worker_main(void*)
{
    JobThreadState& j = job_thread;
    run_job(j.job_mode, *j.front_end);
    if (j.on_end) j.on_end(j.context);
}

} // namespace

JobStart job_thread_start(int mode, JobFrontEnd& front_end, void (*on_end)(void*), void* context)
{
    JobThreadState& j = job_thread;
    if (j.running) return JobStart::already_running;
    j.job_mode = mode;
    j.front_end = &front_end;
    j.on_end = on_end;
    j.context = context;
    job_cancel.requested = false;
    j.running = true;
    if (!platform::start_thread(j.worker_thread, &worker_main, nullptr, job_thread_stack_size)) {
        j.running = false;
        return JobStart::cannot_create;
    }
    return JobStart::started;
}

bool job_thread_running() { return job_thread.running; }

bool job_thread_kill()
{
    if (!job_thread.running) return false;
    job_cancel.requested = true;
    platform::end_running_program(); // a converter it waits for ends at once
    return true;
}

bool job_thread_kill_requested() { return job_cancel.requested; }

void job_thread_finish()
{
    JobThreadState& j = job_thread;
    if (!j.running) return;
    platform::join_thread(j.worker_thread);
    job_cancel.requested = false;
    j.running = false;
}
