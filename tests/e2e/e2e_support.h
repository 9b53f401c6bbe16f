// Helpers for whole-job tests: a conversion run the way the job runner runs it, the console
// edition started as a process.
#pragma once

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "settings/settings.h"
#include "support/test_support.h"

namespace kxe2e {

struct ConvertResult {
    bool ok = false;        // the conversion ended without job_abort
    std::string log;        // what the log window showed
    std::string stream;     // the log as a log file gets it
    int machine_count = 0;  // the song's machines (Master included)
};

// Runs convert(input, output) as a job of its own with `settings`: a fake log window, its own log,
// pool and machine descriptions, the fatal error caught as the runner catches it. The song
// replaces a file of its name (replace_files).
ConvertResult convert_file(const Settings& settings, const std::string& input, const std::string& output);

struct ReadResult {
    bool ok = false;
    std::string log;
    int machines = 0, instruments = 0, waves = 0;
    std::vector<std::string> names; // of the machines
    std::vector<unsigned> connections; // source, destination of each
};

// Reads a written song with full_parse and the machine descriptions of machines.ini in the
// current directory, as the merge would.
ReadResult reread_song(const std::string& path);

// The demo tune of the repository.
std::filesystem::path demo_xm();

struct RunResult {
    int status = -1;
    std::string out, err;
};
// Runs the built console edition in the current directory with the arguments (shell-quoted here;
// standard input is empty and the outputs are kept unless they redirect them).
RunResult run_kestrix(const std::string& args);

// Starts the built console edition (or `program`) as a process in folder `dir` with `args`, its
// input and output on /dev/null and the signals as a terminal gives them (a test run in the
// background has SIGINT ignored, which the program keeps); returns the process id. With
// `unwritable`, nothing can be created in that folder, not even by root: the folder is removed
// once the process stands in it.
int start_kestrix(const std::filesystem::path& dir, const std::vector<std::string>& args,
                  bool unwritable = false, const std::string& program = "");
// Waits for the process and returns its wait status.
int wait_for(int pid);
// The names in a folder.
std::set<std::string> files_in(const std::filesystem::path& dir);

} // namespace kxe2e
