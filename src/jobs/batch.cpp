// A batch: a pool of worker threads takes the files in order; the calling thread hears of each
// file as its job ends.
#include "jobs/batch.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>

#include "jobs/job_files.h"
#include "jobs/job_runner.h"
#include "platform/platform.h"

namespace {

struct Shared {
    Shared(const std::vector<BatchFile>& f, const ConvertOne& c) : files(f), convert(c) {}
    const std::vector<BatchFile>& files;
    const ConvertOne& convert;
    std::atomic<size_t> next{0};
    std::atomic<bool> stopped{false};
    std::mutex lock;
    std::condition_variable changed;
    std::vector<BatchResult> results;
    std::vector<size_t> finished; // files in the order their jobs ended, not yet reported
    size_t begun = 0;             // files handed out (under the lock)
};

void worker(void* arg)
{
    Shared& s = *static_cast<Shared*>(arg);
    for (;;) {
        size_t i;
        {
            std::lock_guard<std::mutex> hold(s.lock);
            if (s.stopped || s.next >= s.files.size()) return;
            i = s.next++;
            ++s.begun;
        }
        const auto start = std::chrono::steady_clock::now();
        BatchResult r = s.convert(s.files[i]);
        r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::lock_guard<std::mutex> hold(s.lock);
        s.results[i] = std::move(r);
        s.finished.push_back(i);
        s.changed.notify_one();
    }
}

// The stack of a thread that runs jobs: what the main thread has on Linux, room for any module.
constexpr unsigned job_stack_size = 8u << 20;

} // namespace

size_t run_batch_jobs(const std::vector<BatchFile>& files, int jobs, const ConvertOne& convert,
                      const BatchFinished& finished, const std::function<bool()>& stop,
                      const std::function<void()>& waiting, std::chrono::milliseconds tick)
{
    Shared s(files, convert);
    s.results.resize(files.size());
    const size_t threads = std::min(files.size(), size_t(std::max(jobs, 1)));
    std::vector<platform::Thread> pool(threads);
    size_t started = 0;
    for (platform::Thread& t : pool)
        if (platform::start_thread(t, worker, &s, job_stack_size)) ++started;
    if (!started) worker(&s); // no thread to be had: one file after the other, here

    size_t reported = 0;
    std::unique_lock<std::mutex> hold(s.lock);
    while (reported < s.begun || (!s.stopped && s.next < files.size())) {
        if (s.finished.empty()) {
            if (waiting) {
                s.changed.wait_for(hold, tick);
            } else {
                s.changed.wait_for(hold, std::chrono::milliseconds(250)); // to look at `stop`
            }
        }
        std::vector<size_t> now;
        now.swap(s.finished);
        hold.unlock();
        for (size_t i : now) finished(i, s.results[i]);
        reported += now.size();
        if (now.empty() && waiting) waiting();
        const bool stopping = stop && stop();
        hold.lock();
        if (stopping) s.stopped = true;
    }
    hold.unlock();
    for (platform::Thread& t : pool)
        if (t.started) platform::join_thread(t);
    return reported;
}

void BatchJobs::started(Job& job)
{
    std::lock_guard<std::mutex> hold(lock_);
    running_.push_back(&job);
    if (killed_) job.kill();
}

void BatchJobs::ended(Job& job)
{
    std::lock_guard<std::mutex> hold(lock_);
    running_.erase(std::remove(running_.begin(), running_.end(), &job), running_.end());
}

void BatchJobs::kill()
{
    std::lock_guard<std::mutex> hold(lock_);
    killed_ = true;
    for (Job* job : running_) job->kill();
}

namespace {
// The job's whole log, and what -q would show of it: the lines under the file's line.
class BatchFileFrontEnd : public JobFrontEnd, LogWindow {
public:
    LogWindow* open_log_window(const char*) override { return this; }
    void report(const char* text, JobOutcome outcome) override
    {
        end_line();
        std::string cause;
        if (quiet.finish(outcome != JobOutcome::finished, cause)) shown.push_back(cause);
        log.text += text;
        log.text += '\n';
    }
    void draw_text(std::string_view t) override { draw_text(t, LogLevel::detail); }
    void draw_text(std::string_view t, LogLevel level) override
    {
        log.draw_text(t);
        quiet.text(t, level);
    }
    void move_to_line(int y) override
    {
        log.move_to_line(y);
        end_line();
    }
    void scroll_up(int) override {}
    void end_line()
    {
        std::string line;
        if (quiet.line_end(line)) shown.push_back(line);
    }
    LogText log;
    QuietFilter quiet;
    std::vector<std::string> shown;
};
} // namespace

BatchResult convert_batch_file(const Settings& settings, const BatchFile& f, BatchJobs& running)
{
    Settings s = settings;
    s.input_file = f.input;
    s.output_file = f.output;
    prepare_xi_dir(s);
    BatchFileFrontEnd front_end;
    Job job(s, front_end);
    running.started(job);
    const JobMode mode = job.run(JobMode::convert);
    running.ended(job);
    BatchResult r;
    r.ok = mode != JobMode::none;
    r.log = std::move(front_end.log.text);
    r.warnings = std::move(front_end.shown);
    if (!r.ok) r.reason = batch_failure_reason(job.failure, f.input, "the conversion failed (see the log)");
    return r;
}

std::string batch_failure_reason(const Failure& f, const std::string& input, const char* unexplained)
{
    if (f.reason.empty()) return unexplained;
    return f.file.empty() || f.file == input ? f.reason : f.file + ": " + f.reason;
}

std::string batch_ok_line(const BatchFile& f, double seconds)
{
    char time[32];
    std::snprintf(time, sizeof time, "%.2f s", seconds);
    return "ok  " + f.input + " -> " + f.output + "  " + time;
}

std::string batch_failed_line(const BatchFile& f, const std::string& reason) { return "failed  " + f.input + ": " + reason; }

std::string batch_summary(int converted, int failed, int left_out)
{
    std::string s = std::to_string(converted) + " converted";
    if (failed) s += ", " + std::to_string(failed) + " failed";
    if (left_out) s += ", " + std::to_string(left_out) + " not converted";
    return s;
}
