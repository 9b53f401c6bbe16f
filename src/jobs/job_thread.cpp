// The worker thread of the dialog program: start, kill request, end.
#include "jobs/job_thread.h"

JobThread::~JobThread() { finish(); }

void JobThread::worker_main(void* self)
{
    JobThread& t = *static_cast<JobThread*>(self);
    if (t.task_)
        t.task_();
    else
        t.job_->run(t.mode_);
    if (t.on_end_) t.on_end_(t.context_);
}

JobStart JobThread::start(const Settings& settings, JobMode mode, JobFrontEnd& front_end, void (*on_end)(void*),
                          void* context, const JobPhases& phases)
{
    if (running_) return JobStart::already_running;
    task_ = nullptr;
    kill_task_ = nullptr;
    job_ = std::make_unique<Job>(settings, front_end);
    job_->phases = phases;
    mode_ = mode;
    on_end_ = on_end;
    context_ = context;
    running_ = true;
    if (!platform::start_thread(worker_, &worker_main, this, job_thread_stack_size)) {
        running_ = false;
        job_.reset();
        return JobStart::cannot_create;
    }
    return JobStart::started;
}

JobStart JobThread::start_task(std::function<void()> task, std::function<void()> kill, void (*on_end)(void*),
                               void* context)
{
    if (running_) return JobStart::already_running;
    job_.reset();
    task_ = std::move(task);
    kill_task_ = std::move(kill);
    on_end_ = on_end;
    context_ = context;
    running_ = true;
    if (!platform::start_thread(worker_, &worker_main, this, job_thread_stack_size)) {
        running_ = false;
        task_ = nullptr;
        return JobStart::cannot_create;
    }
    return JobStart::started;
}

bool JobThread::kill()
{
    if (!running_) return false;
    if (task_) {
        if (kill_task_) kill_task_();
        return true;
    }
    if (!job_) return false;
    job_->kill();
    return true;
}

bool JobThread::finish(int timeout_ms)
{
    if (!running_) return true;
    if (!platform::join_thread(worker_, timeout_ms)) return false;
    running_ = false;
    return true;
}
