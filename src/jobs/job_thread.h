// One job at a time on a worker thread: the dialog program's hand-off to the job runner.
//
// The dialog starts a job here, may ask it to end early ("Kill running process"), and learns of
// its end through a callback the worker makes as its very last step; it then takes the thread
// back with finish(). Between start and finish the job counts as running, also while its final
// message is shown, so a second job is refused until the user has closed that message.
#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include "jobs/job_runner.h"
#include "platform/platform.h"

enum class JobStart { started, already_running, cannot_create };

// Requested stack of the worker (committed on Windows; the stack grows to the executable's
// reserve).
constexpr unsigned job_thread_stack_size = 8192;

class JobThread {
public:
    JobThread() = default;
    JobThread(const JobThread&) = delete;
    JobThread& operator=(const JobThread&) = delete;
    ~JobThread();

    // Starts Job(settings, front_end).run(mode) on a new thread unless a job runs. The job gets
    // its own copy of `settings`. `on_end(context)` is called on the worker once the job has
    // reported (the front end posts itself a message there). `phases`: a test's own phases.
    JobStart start(const Settings& settings, JobMode mode, JobFrontEnd& front_end, void (*on_end)(void*),
                   void* context, const JobPhases& phases = JobPhases());

    // Runs `task` on the worker instead of one job (the dialog's batch of jobs); kill() then calls
    // `kill`. The rest as for start().
    JobStart start_task(std::function<void()> task, std::function<void()> kill, void (*on_end)(void*),
                        void* context);

    bool running() const { return running_; }

    // Asks the running job to end at its next check, and ends an outside converter it waits for:
    // it stops like a failed job (its streams closed, its scratch files removed, the pool swept)
    // and reports "Error occured!". False when no job runs.
    bool kill();

    // True when the running (or last) job was asked to end.
    bool kill_requested() const { return job_ && job_->kill_requested(); }

    // Takes the worker back after its on_end (waits for the thread to exit); a new job may start
    // afterwards. Does nothing when no job was started. With a timeout in milliseconds it gives up
    // after that long (false: the worker still runs and stays held).
    bool finish(int timeout_ms = -1);

private:
    static void worker_main(void* self);

    platform::Thread worker_;          // held from the start until finish
    std::atomic<bool> running_{false}; // a job was started and not yet taken back
    std::unique_ptr<Job> job_;
    std::function<void()> task_, kill_task_; // a task instead of a job
    JobMode mode_ = JobMode::none;
    void (*on_end_)(void* context) = nullptr;
    void* context_ = nullptr;
};
