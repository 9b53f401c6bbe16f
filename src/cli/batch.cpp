// A batch: a pool of worker threads takes the files in order; the calling thread shows each
// file's line as its job ends, writes the logs in the order of the files as soon as all earlier
// files are done, and on a terminal keeps a progress bar of the files below the lines.
#include "cli/batch.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>

#include "cli/console_log.h"
#include "platform/platform.h"

namespace {

struct Shared {
    Shared(const std::vector<BatchFile>& f, const ConvertOne& c) : files(f), convert(c) {}
    const std::vector<BatchFile>& files;
    const ConvertOne& convert;
    std::atomic<size_t> next{0};
    std::mutex lock;
    std::condition_variable changed;
    std::vector<BatchResult> results;
    std::vector<char> done;      // per file: its result is in `results`
    std::vector<size_t> finished; // files in the order their jobs ended, not yet shown
};

void worker(void* arg)
{
    Shared& s = *static_cast<Shared*>(arg);
    for (;;) {
        const size_t i = s.next++;
        if (i >= s.files.size()) return;
        const auto start = std::chrono::steady_clock::now();
        BatchResult r = s.convert(s.files[i]);
        r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::lock_guard<std::mutex> hold(s.lock);
        s.results[i] = std::move(r);
        s.done[i] = 1;
        s.finished.push_back(i);
        s.changed.notify_one();
    }
}

// The stack of a thread that runs jobs: what the main thread has on Linux, room for any module.
constexpr unsigned job_stack_size = 8u << 20;

void put_line(FILE* out, const std::string& line)
{
    std::fwrite(line.data(), 1, line.size(), out);
    std::fputc('\n', out);
}

} // namespace

std::string batch_ok_line(const BatchFile& f, double seconds)
{
    char time[32];
    std::snprintf(time, sizeof time, "%.2f s", seconds);
    return "ok  " + f.input + " -> " + f.output + "  " + time;
}

std::string batch_failed_line(const BatchFile& f, const std::string& reason) { return "failed  " + f.input + ": " + reason; }

std::string batch_summary(int converted, int failed)
{
    std::string s = std::to_string(converted) + " converted";
    if (failed) s += ", " + std::to_string(failed) + " failed";
    return s;
}

int run_batch(const std::vector<BatchFile>& files, int jobs, const ConvertOne& convert, const BatchConsole& console)
{
    Shared s(files, convert);
    s.results.resize(files.size());
    s.done.assign(files.size(), 0);
    const size_t threads = std::min(files.size(), size_t(std::max(jobs, 1)));
    std::vector<platform::Thread> pool(threads);
    size_t started = 0;
    for (platform::Thread& t : pool)
        if (platform::start_thread(t, worker, &s, job_stack_size)) ++started;
    if (!started) worker(&s); // no thread to be had: one file after the other, here

    int converted = 0, failed = 0;
    size_t logged = 0; // files whose log is written
    bool bar_shown = false;
    auto clear_bar = [&] {
        if (bar_shown) std::fprintf(console.out, "\r%*s\r", progress_bar_columns, "");
        bar_shown = false;
    };
    std::unique_lock<std::mutex> hold(s.lock);
    while (size_t(converted + failed) < files.size()) {
        if (s.finished.empty()) {
            if (console.terminal) {
                // The bar moves with the files only: no need to look at the clock often.
                s.changed.wait_for(hold, std::chrono::milliseconds(250));
            } else {
                s.changed.wait(hold);
            }
        }
        std::vector<size_t> now;
        now.swap(s.finished);
        hold.unlock();
        for (size_t i : now) {
            const BatchResult& r = s.results[i];
            r.ok ? ++converted : ++failed;
            const bool show = !r.ok || !console.quiet || !r.warnings.empty();
            if (!show) continue;
            clear_bar();
            put_line(console.out, r.ok ? batch_ok_line(files[i], r.seconds) : batch_failed_line(files[i], r.reason));
            for (const std::string& w : r.warnings) put_line(console.out, "    " + w);
        }
        if (console.log) {
            for (; logged < files.size(); ++logged) {
                hold.lock();
                const bool ready = s.done[logged] != 0;
                hold.unlock();
                if (!ready) break;
                const BatchResult& r = s.results[logged];
                const BatchFile& f = files[logged];
                std::fprintf(console.log, "== %s\n%s%s%s\n\n", f.input.c_str(), r.log.c_str(),
                             r.log.empty() || r.log.back() == '\n' ? "" : "\n",
                             (r.ok ? batch_ok_line(f, r.seconds) : batch_failed_line(f, r.reason)).c_str());
            }
        }
        if (console.terminal && size_t(converted + failed) < files.size()) {
            const double part = double(converted + failed) / double(files.size());
            std::fprintf(console.out, "\r%s %zu/%zu files", progress_bar(part).c_str(), size_t(converted + failed),
                         files.size());
            bar_shown = true;
        }
        std::fflush(console.out);
        hold.lock();
    }
    hold.unlock();
    for (platform::Thread& t : pool)
        if (t.started) platform::join_thread(t);
    clear_bar();
    if (!console.quiet || failed) put_line(console.out, batch_summary(converted, failed));
    std::fflush(console.out);
    return failed;
}

