// One job at a time on a worker thread: the dialog program's hand-off to the job runner.
//
// The dialog starts a job here, may ask it to end early ("Kill running process"), and learns of
// its end through a callback the worker makes as its very last step; it then takes the thread
// back with job_thread_finish. Between start and finish the job counts as running, also while
// its final message is shown, so a second job is refused until the user has closed that message.
#pragma once

#include <atomic>

#include "jobs/job_runner.h"
#include "platform/platform.h"

enum class JobStart { started, already_running, cannot_create };

struct JobThreadState {
    platform::Thread worker_thread;    // held from the start until job_thread_finish
    std::atomic<bool> running{false};  // a job was started and not yet taken back
    int job_mode = 0;                  // the mode the worker passes to run_job
    JobFrontEnd* front_end = nullptr;
    void (*on_end)(void* context) = nullptr; // called on the worker after run_job returned
    void* context = nullptr;
};

extern JobThreadState job_thread;

// Requested stack of the worker (committed on Windows; the stack grows to the executable's
// reserve).
constexpr unsigned job_thread_stack_size = 8192;

// Starts run_job(mode, front_end) on a new thread unless a job runs. `on_end(context)` is called
// on the worker once run_job has returned (the front end posts itself a message there).
JobStart job_thread_start(int mode, JobFrontEnd& front_end, void (*on_end)(void*), void* context);

bool job_thread_running();

// Asks the running job to end at its next check, and ends an outside converter it waits for: it
// stops like a failed job (its streams closed, its scratch files removed, the pool swept) and
// reports "Error occured!". False when no job runs.
bool job_thread_kill();

// True when the running (or last) job was asked to end.
bool job_thread_kill_requested();

// Takes the worker back after its on_end (waits for the thread to exit) and clears the kill
// request; a new job may start afterwards. Does nothing when no job was started.
void job_thread_finish();
