// Many files at once: each file is converted by a job of its own, several jobs at once on threads
// of their own, and the front end hears of each file as its job ends. The console shows a line
// per file and a progress bar; the dialog shows the lines in its log window. Both show a file's
// warnings and its converter's notes under its line, and a summary at the end.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

class Job;
struct Failure;

// One file of a batch.
struct BatchFile {
    std::string input;
    std::string output;
};

// How the conversion of one file ended.
struct BatchResult {
    bool ok = false;
    std::string reason;                // a failure: why, as the file's line says it
    std::string log;                   // the job's whole log
    std::vector<std::string> warnings; // what -q shows of its log (QuietFilter), shown under its line
    double seconds = 0;
};

// Converts one file; called on several threads at once.
using ConvertOne = std::function<BatchResult(const BatchFile&)>;
// A file's job ended: its index in the batch and how it ended (on the thread that runs the batch).
using BatchFinished = std::function<void(size_t file, BatchResult& result)>;

// Converts the files, `jobs` at once (at least one; on the calling thread, one after the other,
// when no thread can be had), and calls `finished` for each on the calling thread, in the order the
// jobs end. While none ends, `waiting` (when given) is called every `tick`. Once `stop` says so no
// further file begins; the files never begun are not reported. Returns the files reported.
size_t run_batch_jobs(const std::vector<BatchFile>& files, int jobs, const ConvertOne& convert,
                      const BatchFinished& finished, const std::function<bool()>& stop = {},
                      const std::function<void()>& waiting = {},
                      std::chrono::milliseconds tick = std::chrono::milliseconds(250));

// The jobs of a batch running at the moment, so that one request ("Kill running process") ends
// them all and no further file begins.
class BatchJobs {
public:
    // A job begins / has ended. A job that begins after kill() is asked to end at once.
    void started(Job& job);
    void ended(Job& job);
    // Asks every running job to end; later ones end as they begin.
    void kill();
    bool killed() const { return killed_.load(); }

private:
    std::mutex lock_;
    std::vector<Job*> running_;
    std::atomic<bool> killed_{false};
};

struct Settings;

// One file of the dialog's batch: a job of its own with `settings` and the file's input and
// output, its log kept whole in the result, the reason of a failure from the job itself; while it
// runs it is one of `running`.
BatchResult convert_batch_file(const Settings& settings, const BatchFile& f, BatchJobs& running);

// What a file's line says of its failure: the reason, after the name of the file it concerns when
// that is another than the `input` (a song that exists, machines.ini); `unexplained` when the
// log's lines above it say why.
std::string batch_failure_reason(const Failure& f, const std::string& input, const char* unexplained);
// "ok  song.xm -> song.bmx  0.12 s"
std::string batch_ok_line(const BatchFile& f, double seconds);
// "failed  x.it: <reason>"
std::string batch_failed_line(const BatchFile& f, const std::string& reason);
// "12 converted, 1 failed"; "12 converted" when none failed; with files left out (a batch that
// was stopped, songs kept), ", 3 not converted".
std::string batch_summary(int converted, int failed, int left_out = 0);
