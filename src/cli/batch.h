// Many files in one call: each file is converted by a job of its own, several jobs at once. The
// console shows one line per file as it finishes and a summary; the log of each job stays whole
// and goes, in the order of the files, to the --log file.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

// One file of a batch.
struct BatchFile {
    std::string input;
    std::string output;
};

// How the conversion of one file ended.
struct BatchResult {
    bool ok = false;
    std::string reason;                // a failure: why, as the console's failure line says it
    std::string log;                   // the job's whole log
    std::vector<std::string> warnings; // the lines of its log that -q shows, shown under its line
    double seconds = 0;
};

// Converts one file; called on several threads at once.
using ConvertOne = std::function<BatchResult(const BatchFile&)>;

struct BatchConsole {
    FILE* out = stderr;    // the lines of the files and the summary
    bool quiet = false;    // only failures, files with warnings, and a summary when one failed
    bool terminal = false; // `out` is a terminal: a progress bar counts the files
    FILE* log = nullptr;   // --log: every job's log, whole, in the order of the files
};

// Converts every file, `jobs` at once (at least one), and shows the lines as they finish.
// Returns the number of files that failed.
int run_batch(const std::vector<BatchFile>& files, int jobs, const ConvertOne& convert, const BatchConsole& console);

// "ok  song.xm -> song.bmx  0.12 s"
std::string batch_ok_line(const BatchFile& f, double seconds);
// "failed  x.it: <reason>"
std::string batch_failed_line(const BatchFile& f, const std::string& reason);
// "12 converted, 1 failed"; "12 converted" when none failed.
std::string batch_summary(int converted, int failed);
