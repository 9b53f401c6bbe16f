// Outside programs: started and waited for (each registered for the interrupt handler and held by
// its job's RunningProgram), found beside the executable or on PATH, or started and left to run.
#include "platform/interrupts.h"
#include "platform/names.h"
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace fs = std::filesystem;

namespace platform {

#ifdef _WIN32
namespace {
// Quotes one argument by the rules of the Microsoft C runtime's command-line parser.
std::wstring quote_arg(const std::wstring& a)
{
    if (!a.empty() && a.find_first_of(L" \t\"") == std::wstring::npos) return a;
    std::wstring r = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : a) {
        if (c == L'\\') {
            ++backslashes;
        } else if (c == L'"') {
            r.append(backslashes * 2 + 1, L'\\');
            r += L'"';
            backslashes = 0;
        } else {
            r.append(backslashes, L'\\');
            r += c;
            backslashes = 0;
        }
    }
    r.append(backslashes * 2, L'\\');
    r += L'"';
    return r;
}
} // namespace
#endif

namespace {
#ifndef _WIN32
// Starts the program registered in a child slot before an interrupt can look, waiting for a
// slot while all are taken; 0 when it could not be started. The child starts with no signal
// blocked, and with `error_fd` as its standard error when that is not -1.
pid_t start_registered(const std::string& path, const std::vector<std::string>& args, int& slot, int error_fd,
                       RunningProgram* running)
{
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    if (argv.empty()) argv.push_back(const_cast<char*>(path.c_str()));
    argv.push_back(nullptr);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (error_fd >= 0) posix_spawn_file_actions_adddup2(&actions, error_fd, 2);
    pid_t pid = 0;
    slot = -1;
    for (;;) {
        {
            InterruptGuard guard;
            slot = take_child_slot(-1);
            if (slot >= 0) {
                if (posix_spawn(&pid, path.c_str(), &actions, &attr, argv.data(), environ) != 0) pid = 0;
                if (pid)
                    fill_child_slot(slot, pid);
                else
                    free_child_slot(slot);
                break;
            }
        }
        if (!wait_for_child_slot(running)) break;
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return pid;
}

// Waits for the program and frees its slot: its exit code, or -1 when it did not end by itself.
// The job's record of it is cleared before the process is reaped, so that ending the job never
// reaches a process that has taken its id since.
int wait_registered(pid_t pid, int slot, RunningProgram* running)
{
    siginfo_t info;
    while (waitid(P_PID, id_t(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
    if (running) {
        std::lock_guard<std::mutex> lock(running->mutex);
        running->child = 0;
    }
    int status = 0;
    int waited;
    while ((waited = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    free_child_slot(slot);
    if (waited < 0 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status); // posix_spawn reports an exec failure as exit status 127
}
#else
// A file for a program's standard error: in the temporary folder under a name of its own,
// removed by the system when the last handle closes (ours, and the program's when it ends), so
// nothing is left behind on any way out. Its handle is inheritable; nullptr when none can be made.
HANDLE create_error_file()
{
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = scratch_stem((temp_directory() + "\\kxerr").c_str()) + ".tmp";
        HANDLE h = CreateFileW(widen(name.c_str()).c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa, CREATE_NEW,
                               FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (h != INVALID_HANDLE_VALUE) return h;
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    return nullptr;
}

// Starts the program; with `error_file` as its standard error, which is then the one handle it
// inherits (other jobs' files, open at the same moment, are not passed on).
HANDLE start_registered(const std::string& program_path, const std::vector<std::string>& args, int& slot,
                        HANDLE error_file, RunningProgram* running)
{
    std::wstring cmd;
    for (size_t i = 0; i < args.size(); ++i) {
        if (i) cmd += L' ';
        cmd += quote_arg(widen(args[i].c_str()));
    }
    if (args.empty()) cmd = quote_arg(widen(program_path.c_str()));
    std::wstring exe = to_path(program_path).wstring();
    STARTUPINFOEXW si{};
    si.StartupInfo.cb = sizeof si.StartupInfo;
    DWORD flags = 0;
    std::vector<char> attributes;
    HANDLE inherited[] = {error_file};
    if (error_file) {
        // Its standard error is the file; no console window comes up for it (the dialog has none
        // to share).
        flags |= CREATE_NO_WINDOW;
        si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        si.StartupInfo.hStdError = error_file;
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        attributes.resize(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
        if (size && InitializeProcThreadAttributeList(list, 1, 0, &size)) {
            if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited, sizeof inherited,
                                          nullptr, nullptr)) {
                si.StartupInfo.cb = sizeof si;
                si.lpAttributeList = list;
                flags |= EXTENDED_STARTUPINFO_PRESENT;
            } else {
                DeleteProcThreadAttributeList(list);
            }
        }
    }
    PROCESS_INFORMATION pi{};
    std::vector<wchar_t> line(cmd.begin(), cmd.end());
    line.push_back(0);
    slot = -1;
    HANDLE process = nullptr;
    for (;;) {
        {
            InterruptGuard guard;
            slot = take_child_slot(INVALID_HANDLE_VALUE);
            if (slot >= 0) {
                if (CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, error_file ? TRUE : FALSE, flags,
                                   nullptr, nullptr, &si.StartupInfo, &pi)) {
                    CloseHandle(pi.hThread);
                    process = pi.hProcess;
                    fill_child_slot(slot, process);
                } else {
                    free_child_slot(slot);
                }
                break;
            }
        }
        if (!wait_for_child_slot(running)) break;
    }
    if (si.lpAttributeList) DeleteProcThreadAttributeList(si.lpAttributeList);
    return process;
}

int wait_registered(HANDLE process, int slot, RunningProgram* running)
{
    WaitForSingleObject(process, INFINITE);
    if (running) { // cleared before the handle is closed
        std::lock_guard<std::mutex> lock(running->mutex);
        running->child = 0;
    }
    free_child_slot(slot);
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return int(code);
}
#endif

// Ends one program: a process id, or on Windows a process handle.
void end_child(intptr_t child)
{
#ifdef _WIN32
    TerminateProcess(reinterpret_cast<HANDLE>(child), 1);
#else
    ::kill(pid_t(child), SIGKILL);
#endif
}
} // namespace

int run_program(const std::string& program_path, const std::vector<std::string>& args, std::string* errors,
                RunningProgram* running)
{
    std::fflush(nullptr);
    if (errors) errors->clear();
#ifdef _WIN32
    // Its standard error goes into a file of its own that the system removes (see
    // create_error_file); without one the program writes to ours.
    struct ErrorFile {
        HANDLE h = nullptr;
        ~ErrorFile()
        {
            if (h) CloseHandle(h);
        }
    } error_fd;
    if (errors) error_fd.h = create_error_file();
#else
    int error_fd = -1;
    // A program that is missing or not executable cannot be started: say so as -1 rather than
    // as the exit status 127 that some C libraries report for a failed exec in the child.
    if (::access(program_path.c_str(), X_OK) != 0) return -1;
    if (errors) {
        // Its standard error goes into a file of the temporary folder that has no name from the
        // start (removed before an interrupt can look): nothing to clean up on any way out.
        // Without one the program writes to ours.
        std::string name = temp_directory() + "/kxerr-XXXXXX";
        InterruptGuard guard;
        error_fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (error_fd >= 0) ::unlink(name.c_str());
    }
#endif
    int slot = -1;
#ifdef _WIN32
    const auto child = start_registered(program_path, args, slot, error_fd.h, running);
#else
    const auto child = start_registered(program_path, args, slot, error_fd, running);
#endif
    if (child && running) {
        std::lock_guard<std::mutex> lock(running->mutex);
        running->child = intptr_t(child);
        if (running->ended) end_child(running->child); // its job was ended while it started
    }
    const int status = child ? wait_registered(child, slot, running) : -1;
#ifdef _WIN32
    if (error_fd.h && child) {
        errors->resize(65536);
        DWORD got = 0;
        LARGE_INTEGER start{};
        if (!SetFilePointerEx(error_fd.h, start, nullptr, FILE_BEGIN) ||
            !ReadFile(error_fd.h, errors->data(), DWORD(errors->size()), &got, nullptr))
            got = 0;
        errors->resize(got);
    }
#else
    if (error_fd >= 0) {
        errors->resize(65536);
        size_t got = 0;
        while (got < errors->size()) {
            const ssize_t n = ::pread(error_fd, errors->data() + got, errors->size() - got, off_t(got));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += size_t(n);
        }
        errors->resize(got);
        ::close(error_fd);
    }
#endif
    return status;
}

bool program_did_not_start(int exit_code)
{
#ifdef _WIN32
    const auto code = static_cast<DWORD>(exit_code);
    return code == 0xC0000135u || code == 0xC000007Bu || code == 0xC0000139u;
#else
    return exit_code == 127;
#endif
}

namespace {
bool is_executable(const fs::path& p)
{
    std::error_code ec;
    if (!fs::is_regular_file(p, ec)) return false;
#ifdef _WIN32
    return true;
#else
    return ::access(p.c_str(), X_OK) == 0;
#endif
}
} // namespace

std::string find_program(const std::string& name)
{
    fs::path n = to_path(name);
    std::string exe_dir = executable_directory();
    if (!exe_dir.empty()) {
        fs::path beside = to_path(exe_dir) / n;
        if (is_executable(beside)) return from_path(beside);
    }
    const char* path = std::getenv("PATH");
    if (!path) return {};
#ifdef _WIN32
    const char sep = ';';
#else
    const char sep = ':';
#endif
    std::string p = path;
    size_t start = 0;
    while (start <= p.size()) {
        size_t end = p.find(sep, start);
        if (end == std::string::npos) end = p.size();
        std::string dir = p.substr(start, end - start);
        // An empty or relative entry would be looked up from the current folder.
        if (!dir.empty() && to_path(dir).is_absolute()) {
            fs::path cand = to_path(dir) / n;
            if (is_executable(cand)) return from_path(cand);
        }
        start = end + 1;
    }
    return {};
}

void end_running_program(RunningProgram& running)
{
    std::lock_guard<std::mutex> lock(running.mutex);
    running.ended = true;
    if (running.child) end_child(running.child);
}

bool start_program(const std::string& program, const std::string& command_line,
                   const std::string& directory)
{
#ifdef _WIN32
    std::wstring exe = program.empty() ? std::wstring() : widen(program.c_str());
    std::wstring dir = directory.empty() ? std::wstring() : widen(directory.c_str());
    std::wstring cmd = widen(command_line.c_str());
    std::vector<wchar_t> line(cmd.begin(), cmd.end());
    line.push_back(0);
    STARTUPINFOW si{};
    GetStartupInfoW(&si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(exe.empty() ? nullptr : exe.c_str(), line.data(), nullptr, nullptr, FALSE,
                        0, nullptr, dir.empty() ? nullptr : dir.c_str(), &si, &pi))
        return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
#else
    // The command line is split at blanks (no quoting rules are needed for the programs started
    // this way); the child is left to run and reaped by nobody but init once we end.
    std::vector<std::string> words;
    size_t i = 0;
    while (i < command_line.size()) {
        size_t j = command_line.find(' ', i);
        if (j == std::string::npos) j = command_line.size();
        if (j > i) words.push_back(command_line.substr(i, j - i));
        i = j + 1;
    }
    if (words.empty()) return false;
    std::string path = program.empty() ? find_program(words[0]) : program;
    if (path.empty() || ::access(path.c_str(), X_OK) != 0) return false;
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    pid_t pid;
    const int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0;
#endif
}

} // namespace platform
