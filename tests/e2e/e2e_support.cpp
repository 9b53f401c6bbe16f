// Helpers for whole-job tests.
#include "e2e/e2e_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "buzz/bmx_reader.h"
#include "buzz/machines_ini.h"
#include "convert/driver.h"
#include "core/pool.h"
#include "jobs/job_runner.h"
#include "settings/settings.h"
#include "song/song.h"

namespace fs = std::filesystem;

namespace kxe2e {

ConvertResult convert_file(const Settings& given, const std::string& input, const std::string& output)
{
    Settings settings = given;
    settings.replace_files = 1; // the tests write their songs again and again
    ConvertResult r;
    kxtest::FakeWindow w;
    Log log;
    log.window = &w;
    FILE* stream = std::tmpfile();
    log.log_stream = stream;
    Pool pool(log);
    MachineTable machines;
    {
        Conversion c(settings, log, pool, machines);
        r.ok = run_guarded(log, [&] { convert(c, input, output); });
        r.machine_count = c.song.machine_count;
    }
    pool_free_all(pool);
    r.log = w.text;
    r.stream = kxtest::text_of(stream);
    std::fclose(stream);
    return r;
}

ReadResult reread_song(const std::string& path)
{
    ReadResult r;
    kxtest::FakeWindow w;
    const Settings settings;
    Log log;
    log.window = &w;
    Pool pool(log);
    MachineTable machines;
    ReaderState reader_state(log, pool, machines);
    reader_state.options.list_level = settings.dolist;
    reader_state.options.verbose = settings.verbose;
    ReaderHooks hooks;
    hooks.user = &r.connections;
    hooks.connection = [](void* user, uint16_t* source, uint16_t* destination, uint16_t*, uint16_t*) {
        static_cast<std::vector<unsigned>*>(user)->insert(static_cast<std::vector<unsigned>*>(user)->end(), {*source, *destination});
        return true;
    };
    reader_state.hooks = &hooks;
    File f = open_file(path.c_str(), "rb");
    r.ok = f && run_guarded(log, [&] {
        if (!load_machine_descriptions(machines, pool, log)) job_abort("machines.ini missing");
        reader_state.full_parse = 1;
        reader_state.input_summaries[0].stream = f.get();
        read_buzz_song(reader_state, f.get(), 0);
    });
    const InputSummary& s = reader_state.input_summaries[0];
    r.machines = s.machines;
    for (int m = 0; s.machine_list && m < s.machines; ++m) r.names.emplace_back(s.machine_list[m].name);
    r.instruments = s.instruments;
    r.waves = s.waves;
    pool_free_all(pool);
    r.log = w.text;
    return r;
}

fs::path demo_xm() { return kxtest::source_dir() / "examples" / "demo.xm"; }

RunResult run_kestrix(const std::string& args)
{
    RunResult r;
    // Standard input is empty unless the arguments redirect it; a redirection among them wins.
    std::string cmd = std::string("'") + KESTRIX_BINARY_DIR + "/kestrix' >cli-out.txt 2>cli-err.txt </dev/null " + args;
    int st = std::system(cmd.c_str());
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.out = kxtest::read_text("cli-out.txt");
    r.err = kxtest::read_text("cli-err.txt");
    fs::remove("cli-out.txt");
    fs::remove("cli-err.txt");
    return r;
}

int start_kestrix(const fs::path& dir, const std::vector<std::string>& args, bool unwritable,
                  const std::string& program)
{
    const std::string exe = program.empty() ? std::string(KESTRIX_BINARY_DIR) + "/kestrix" : program;
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(dir.c_str()) != 0) ::_exit(126);
        if (unwritable && ::rmdir(dir.c_str()) != 0) ::_exit(126);
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) ::signal(sig, SIG_DFL);
        const int null = ::open("/dev/null", O_RDWR);
        for (int fd : {0, 1, 2}) ::dup2(null, fd);
        std::vector<char*> argv{const_cast<char*>("kestrix")};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(exe.c_str(), argv.data());
        ::_exit(127);
    }
    return pid;
}

int wait_for(int pid)
{
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

std::set<std::string> files_in(const fs::path& dir)
{
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}

} // namespace kxe2e
