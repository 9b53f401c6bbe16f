// Helpers for whole-job tests.
#include "e2e/e2e_support.h"

#include <sys/wait.h>

#include <cstdlib>

#include "convert/driver.h"
#include "core/pool.h"
#include "jobs/job_runner.h"
#include "song/song.h"

namespace fs = std::filesystem;

namespace kxe2e {

ConvertResult convert_file(const std::string& input, const std::string& output)
{
    ConvertResult r;
    kxtest::FakeWindow w;
    log_state.window = &w;
    r.ok = run_guarded([&] { convert(input.c_str(), output.c_str()); });
    if (!r.ok) driver_forget_output();
    r.machine_count = song.machine_count;
    log_state.window = nullptr;
    r.log = w.text;
    pool_free_all();
    close_wave_sources();
    return r;
}

fs::path demo_xm() { return kxtest::source_dir() / "examples" / "demo.xm"; }

RunResult run_kestrix(const std::string& args)
{
    RunResult r;
    std::string cmd = std::string("'") + KESTRIX_BINARY_DIR + "/kestrix' " + args +
                      " >cli-out.txt 2>cli-err.txt </dev/null";
    int st = std::system(cmd.c_str());
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.out = kxtest::read_text("cli-out.txt");
    r.err = kxtest::read_text("cli-err.txt");
    fs::remove("cli-out.txt");
    fs::remove("cli-err.txt");
    return r;
}

} // namespace kxe2e
