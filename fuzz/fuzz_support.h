// What every fuzz harness shares: a private scratch folder (in memory where the system has one)
// that holds the shipped machines.ini (without it every conversion and merge would stop at
// "Target machine not found" before its reader), the input written there under the name a
// reader expects, and a job run the way the console edition runs it, with the log going nowhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "jobs/job_runner.h"
#include "settings/settings.h"

namespace kxfuzz {

class QuietFrontEnd : public JobFrontEnd {
public:
    LogWindow* open_log_window(const char*) override { return nullptr; }
    void report(const char*, JobOutcome) override {}
};

// Enters a folder of this process's own once; every harness works inside it, and it goes when
// the run ends (a crash leaves it for a look).
inline void enter_work_folder()
{
    static bool entered = false;
    static char templ[] = "/dev/shm/kxfuzz-XXXXXX";
    static char fallback[] = "/tmp/kxfuzz-XXXXXX";
    static char* dir = nullptr;
    if (entered) return;
    dir = mkdtemp(templ);
    if (!dir) dir = mkdtemp(fallback);
    if (!dir || chdir(dir) != 0) std::abort();
    std::error_code copied;
    std::filesystem::copy_file(KESTRIX_SOURCE_DIR "/data/machines.ini", "machines.ini", copied);
    if (copied) std::abort();
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    });
    entered = true;
}

inline void write_file(const char* name, const uint8_t* data, size_t size)
{
    FILE* f = std::fopen(name, "wb");
    if (!f) std::abort();
    if (size && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
}

// Converts `input` into "out.bmx" (or lists it, for a Buzz song) as a job with `settings`.
inline void run_conversion(Settings settings, const char* input)
{
    settings.input_file = input;
    settings.output_file = "out.bmx";
    QuietFrontEnd fe;
    run_job(settings, JobMode::convert, fe);
    std::remove("out.bmx");
}

} // namespace kxfuzz
