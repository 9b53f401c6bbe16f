// Operating-system calls for Linux and Windows.
#include "platform/platform.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <condition_variable>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <time.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace fs = std::filesystem;

namespace platform {

namespace {
// Process-wide by nature: the path the program was started by, set once at start; it names the
// program's folder where /proc does not.
std::string g_argv0;

// The outside programs running now, for the interrupt handler to end them: a batch runs several
// jobs at once, and each may wait for a converter. A slot is free while its handle is null / 0.
// Process-wide because the handler reaches no job; ending one job goes through that job's own
// RunningProgram instead. One slot for each program that may run at once; a start that finds
// them all taken waits for one to be freed (g_child_freed).
#ifdef _WIN32
using ChildHandle = HANDLE;
#else
using ChildHandle = pid_t;
#endif
std::atomic<ChildHandle> g_children[max_programs_at_once];
std::mutex g_child_wait;
std::condition_variable g_child_freed;
// Guarded sections (InterruptGuard) under way on any thread, and the interrupt handler's word that
// the process ends: the handler waits until no guarded section is under way, and a thread that
// then enters one waits there for the end. So every file and program made before the handler
// looks is registered, and none is made after it (the jobs of a batch run on several threads).
std::atomic<int> g_guarded{0};
std::atomic<bool> g_stopping{false};
#ifndef _WIN32
thread_local int g_guard_depth = 0; // guarded sections of this thread, one inside the other
#endif

// Registered files. The interrupt handler reads this registry: on POSIX it runs in the middle of
// whatever the program does, so it only follows pointers that are already there and calls unlink.
// Every change of a registration (with its file) happens inside an InterruptGuard, which the
// handler waits for (POSIX) or takes itself (Windows), so it never sees a change half made.
// A job registers its scratch files and, until it is done, the XI files and rips it gave new
// names (a BMW of 128 instruments: 128 of them), and a batch runs many jobs at once: the slots
// come in blocks, and a block is chained on when all are taken. A block stays for the process's
// life, so the chain the handler walks only ever grows. The first block is part of the program
// (zero pages until a file is registered).
constexpr int scratch_block_slots = 256;
struct ScratchBlock {
    std::atomic<char*> paths[scratch_block_slots] = {}; // a registered name (its own copy); null: free
    std::atomic<ScratchBlock*> next{nullptr};
};
constinit ScratchBlock g_scratch;
// What only the registering threads use, under g_scratch_change: the free slots below the
// highest ever used, every block in order, and where each registered name is.
struct ScratchIndex {
    std::vector<std::atomic<char*>*> free;
    std::vector<ScratchBlock*> blocks{&g_scratch};
    size_t used = 0; // slots handed out at least once, from the first block on
    std::unordered_multimap<std::string, std::atomic<char*>*> where;
};
std::mutex g_scratch_change;
ScratchIndex& scratch_index()
{
    static ScratchIndex index;
    return index;
}

// The signals that end the process after the registered files are removed.
#ifndef _WIN32
constexpr int interrupt_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};
#endif

// Keeps the interrupt handler out while a registration and its file change together: on POSIX
// by blocking the signals, on Windows (where the handler runs on a thread of its own) by a lock
// the handler takes too.
#ifdef _WIN32
std::recursive_mutex g_scratch_lock;
#endif

// Registers `path` (inside an InterruptGuard); false when no memory is left for it: the file
// must then not be made.
bool register_scratch(const char* path)
{
    std::lock_guard<std::mutex> lock(g_scratch_change);
    ScratchIndex& x = scratch_index();
    const size_t n = std::strlen(path);
    char* copy = new (std::nothrow) char[n + 1];
    if (!copy) return false;
    std::memcpy(copy, path, n + 1);
    std::atomic<char*>* slot = nullptr;
    if (!x.free.empty()) {
        slot = x.free.back();
        x.free.pop_back();
    } else {
        if (x.used == x.blocks.size() * scratch_block_slots) {
            ScratchBlock* block = new (std::nothrow) ScratchBlock;
            if (!block) {
                delete[] copy;
                return false;
            }
            x.blocks.push_back(block);
            x.blocks[x.blocks.size() - 2]->next.store(block); // now the handler walks it too
        }
        slot = &x.blocks[x.used / scratch_block_slots]->paths[x.used % scratch_block_slots];
        ++x.used;
    }
    slot->store(copy);
    x.where.emplace(std::string(path, n), slot);
    return true;
}

// Forgets one registration of `path` (inside an InterruptGuard).
void forget_scratch(const char* path)
{
    std::lock_guard<std::mutex> lock(g_scratch_change);
    ScratchIndex& x = scratch_index();
    const auto at = x.where.find(path);
    if (at == x.where.end()) return;
    std::atomic<char*>* slot = at->second;
    x.where.erase(at);
    delete[] slot->exchange(nullptr);
    x.free.push_back(slot);
}

#ifdef _WIN32
// File names are byte strings in the rest of the program: UTF-8 (what the console edition and the
// file dialogs hand over), or, when the bytes are not valid UTF-8, the ANSI code page that the
// Windows "A" functions and old kestrix.ini files use. Never throws.
std::wstring widen(const char* s)
{
    for (UINT cp : {UINT(CP_UTF8), UINT(CP_ACP)}) {
        DWORD flags = cp == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
        int n = MultiByteToWideChar(cp, flags, s, -1, nullptr, 0);
        if (n <= 0) continue;
        std::wstring w(size_t(n), L'\0');
        if (MultiByteToWideChar(cp, flags, s, -1, w.data(), n) != n) continue;
        w.pop_back(); // the terminating zero
        return w;
    }
    return std::wstring();
}
fs::path to_path(const std::string& s) { return fs::path(widen(s.c_str())); }
#else
fs::path to_path(const std::string& s) { return fs::path(s); }
#endif
std::string from_path(const fs::path& p)
{
#ifdef _WIN32
    auto u = p.u8string();
    return std::string(u.begin(), u.end());
#else
    return p.string();
#endif
}

// Removes every registered scratch file (the interrupt handler; async-signal-safe on POSIX).
void remove_registered_scratch()
{
    for (ScratchBlock* block = &g_scratch; block; block = block->next.load())
        for (std::atomic<char*>& slot : block->paths) {
            const char* path = slot.load();
            if (!path) continue;
#ifdef _WIN32
            DeleteFileW(widen(path).c_str());
#else
            ::unlink(path);
#endif
        }
}

// Ends every registered program and waits for its end (the interrupt handler; async-signal-safe
// on POSIX, where it first lets the guarded sections of other threads finish).
void end_registered_programs()
{
#ifndef _WIN32
    g_stopping = true;
    while (g_guarded.load() > 0) {
        const timespec ms{0, 1000000};
        ::nanosleep(&ms, nullptr);
    }
#endif
    for (std::atomic<ChildHandle>& slot : g_children) {
        const ChildHandle child = slot.load();
#ifdef _WIN32
        if (!child || child == INVALID_HANDLE_VALUE) continue;
        TerminateProcess(child, 1);
        WaitForSingleObject(child, 2000);
#else
        if (child <= 0) continue;
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
#endif
    }
}

#ifdef _WIN32
BOOL WINAPI on_console_event(DWORD)
{
    // Held until the process ends: no other thread makes a file or starts a program from now on.
    g_scratch_lock.lock();
    end_registered_programs();
    remove_registered_scratch();
    return FALSE; // the default handler ends the process
}
#else
void on_interrupt(int sig)
{
    end_registered_programs();
    remove_registered_scratch();
    ::raise(sig); // the handler was reset: the signal ends the process once this returns
}
#endif
} // namespace

FILE* open_stream(const char* path, const char* mode)
{
    if (!path || !mode) return nullptr;
#ifdef _WIN32
    std::wstring wpath = widen(path);
    std::wstring wmode = widen(mode);
    if (wpath.empty()) return nullptr;
    if (std::strcmp(mode, "rb") == 0) {
        // Read with every sharing right: a scratch file being read (an outside converter's XM)
        // can still be removed by the console's interrupt handler.
        HANDLE h = CreateFileW(wpath.c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) return nullptr;
        int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY);
        if (fd < 0) {
            CloseHandle(h);
            return nullptr;
        }
        FILE* f = ::_fdopen(fd, "rb");
        if (!f) ::_close(fd);
        return f;
    }
    return ::_wfopen(wpath.c_str(), wmode.c_str());
#else
    return std::fopen(path, mode);
#endif
}

bool remove_file(const char* path)
{
    std::error_code ec;
    return fs::remove(to_path(path), ec);
}

bool replace_file(const char* from, const char* to)
{
#ifdef _WIN32
    return MoveFileExW(to_path(from).c_str(), to_path(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) != 0;
#else
    return ::rename(from, to) == 0;
#endif
}

bool file_exists(const char* path)
{
    std::error_code ec;
    return fs::is_regular_file(to_path(path), ec);
}

bool name_taken(const char* path)
{
    std::error_code ec;
    return fs::exists(fs::symlink_status(to_path(path), ec));
}

int64_t file_length(const char* path)
{
    std::error_code ec;
    auto n = fs::file_size(to_path(path), ec);
    return ec ? -1 : int64_t(n);
}

std::string current_directory()
{
    std::error_code ec;
    auto p = fs::current_path(ec);
    return ec ? std::string() : from_path(p);
}

bool change_directory(const char* path)
{
    std::error_code ec;
    fs::current_path(to_path(path), ec);
    return !ec;
}

void set_program_path(const char* argv0) { g_argv0 = argv0 ? argv0 : ""; }

void open_closed_standard_descriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
#ifdef _WIN32
        errno = 0;
        if (_get_osfhandle(fd) != -1 || errno != EBADF) continue; // -2: a program without a console
        const int null = _open("NUL", _O_RDONLY | _O_BINARY);
        if (null >= 0 && null != fd) {
            _dup2(null, fd);
            _close(null);
        }
#else
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number: this one, as the lower ones are open.
        const int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0 && null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
#endif
    }
}

std::string temp_directory()
{
    std::error_code ec;
    std::string t = from_path(fs::temp_directory_path(ec));
    if (ec || t.empty()) return current_directory();
    while (t.size() > 1 && (t.back() == '/' || t.back() == '\\')) t.pop_back();
    return t;
}

void set_binary_mode(FILE* stream)
{
#ifdef _WIN32
    _setmode(_fileno(stream), _O_BINARY);
#else
    (void)stream;
#endif
}

std::string executable_path()
{
#ifdef _WIN32
    wchar_t buf[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return {};
    return from_path(fs::path(buf));
#else
    std::error_code ec;
    auto p = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) return from_path(p);
    if (!g_argv0.empty()) return from_path(fs::absolute(to_path(g_argv0), ec));
    return {};
#endif
}

std::string executable_directory()
{
    const std::string path = executable_path();
    return path.empty() ? path : from_path(to_path(path).parent_path());
}

bool make_directories(const char* path)
{
    std::error_code ec;
    fs::create_directories(to_path(path), ec);
    return fs::is_directory(to_path(path), ec);
}

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
// A free child slot, taken with `marker` until the program's handle is known (inside an
// InterruptGuard); -1 when every slot is taken.
int take_child_slot(ChildHandle marker)
{
    for (int i = 0; i < max_programs_at_once; ++i) {
        ChildHandle free_slot{};
        if (g_children[i].compare_exchange_strong(free_slot, marker)) return i;
    }
    return -1;
}

// Gives a slot back (its program ended, or never started) and wakes a start that waits for one.
void free_child_slot(int slot)
{
    g_children[slot] = ChildHandle{};
    { std::lock_guard<std::mutex> lock(g_child_wait); }
    g_child_freed.notify_one();
}

// Every slot is taken: waits a while for one to be freed. False when the job that starts the
// program has been ended meanwhile (its program is then not started at all).
bool wait_for_child_slot(RunningProgram* running)
{
    {
        std::unique_lock<std::mutex> lock(g_child_wait);
        g_child_freed.wait_for(lock, std::chrono::milliseconds(100)); // also when the word was missed
    }
    if (!running) return true;
    std::lock_guard<std::mutex> lock(running->mutex);
    return !running->ended;
}

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
                    g_children[slot] = pid;
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
                    g_children[slot] = process;
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

InterruptGuard::InterruptGuard()
{
#ifdef _WIN32
    g_scratch_lock.lock();
#else
    sigset_t block;
    sigemptyset(&block);
    for (int sig : interrupt_signals) sigaddset(&block, sig);
    pthread_sigmask(SIG_BLOCK, &block, &saved_);
    ++g_guarded;
    if (g_guard_depth++ == 0 && g_stopping) {
        // The interrupt handler runs on another thread: this one waits for the end.
        --g_guarded;
        for (;;) ::pause();
    }
#endif
}

InterruptGuard::~InterruptGuard()
{
#ifdef _WIN32
    g_scratch_lock.unlock();
#else
    --g_guard_depth;
    --g_guarded;
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
#endif
}

namespace {
// Opens a new file exclusively for writing, never through a link; mode "wb", "w+b" or "w". On
// Windows the file may be deleted while it is open (the console's interrupt handler runs beside
// the thread that writes it).
FILE* create_new_stream(const char* path, const char* mode = "wb")
{
    const bool read_back = std::strchr(mode, '+') != nullptr;
    const bool text = std::strchr(mode, 'b') == nullptr;
#ifdef _WIN32
    std::wstring w = widen(path);
    if (w.empty()) {
        errno = ENOENT;
        return nullptr;
    }
    HANDLE h = CreateFileW(w.c_str(), GENERIC_WRITE | (read_back ? GENERIC_READ : 0),
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        errno = e == ERROR_FILE_EXISTS || e == ERROR_ALREADY_EXISTS ? EEXIST
                : e == ERROR_ACCESS_DENIED                          ? EACCES
                : e == ERROR_DISK_FULL                              ? ENOSPC
                                                                    : ENOENT;
        return nullptr;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), (read_back ? _O_RDWR : _O_WRONLY) | (text ? _O_TEXT : _O_BINARY));
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    FILE* f = ::_fdopen(fd, mode);
    if (!f) ::_close(fd);
#else
    (void)text;
    int fd = ::open(path, (read_back ? O_RDWR : O_WRONLY) | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    FILE* f = ::fdopen(fd, mode);
    if (!f) ::close(fd);
#endif
    return f;
}

// Copies file `from` into the new file `to`; false (and `to` removed) when it fails.
bool copy_into_new_file(const char* from, const char* to)
{
    FILE* out = create_new_stream(to);
    if (!out) return false;
    FILE* in = open_stream(from, "rb");
    bool ok = in != nullptr;
    std::vector<char> buf(size_t(1) << 20);
    while (ok) {
        size_t got = std::fread(buf.data(), 1, buf.size(), in);
        if (got && std::fwrite(buf.data(), 1, got, out) != got) ok = false;
        if (got < buf.size()) {
            ok = ok && !std::ferror(in);
            break;
        }
    }
    if (in) std::fclose(in);
    ok = std::fclose(out) == 0 && ok;
    if (!ok) remove_file(to);
    return ok;
}

// Creates `path` exclusively and registers it; the stream, or nullptr (errno set).
FILE* create_registered(const char* path, const char* mode)
{
    InterruptGuard guard;
    FILE* f = create_new_stream(path, mode);
    if (f && !register_scratch(path)) {
        std::fclose(f);
        remove_file(path);
        errno = EMFILE;
        return nullptr;
    }
    return f;
}

// How many numbers a scratch name tries while the names are taken (planted or another run's).
constexpr int scratch_attempts = 1000;
} // namespace

bool ScratchFile::create(const std::string& beside, const char* suffix, const char* mode)
{
    discard();
    for (int attempt = 0; attempt < scratch_attempts; ++attempt) {
        std::string name = scratch_stem(beside.c_str()) + (suffix ? suffix : "");
        file_ = create_registered(name.c_str(), mode);
        if (file_) {
            name_ = name;
            return true;
        }
        if (errno != EEXIST && !name_taken(name.c_str())) return false; // the folder refuses it
    }
    errno = EEXIST;
    return false;
}

bool ScratchFile::create_exactly(const std::string& path, const char* mode)
{
    discard();
    file_ = create_registered(path.c_str(), mode);
    if (file_) name_ = path;
    return file_ != nullptr;
}

bool ScratchFile::flush_ok() { return file_ && std::fflush(file_) == 0 && !std::ferror(file_); }

int ScratchFile::close_checked()
{
    int error = 0;
    if (file_) {
        errno = 0;
        if (!flush_ok()) error = errno ? errno : EIO;
        FILE* f = file_;
        file_ = nullptr;
        errno = 0;
        if (std::fclose(f) != 0 && !error) error = errno ? errno : EIO;
    }
    return error;
}

int ScratchFile::commit_later(const char* final_name, NewFiles& made)
{
    if (name_.empty()) return ENOENT;
    int error = close_checked();
    if (!error) {
        InterruptGuard guard;
        errno = 0;
        FILE* keeper = create_registered(final_name, "wb");
        error = keeper ? 0 : errno ? errno : EEXIST;
        if (keeper && std::fclose(keeper) != 0) {
            error = errno ? errno : EIO;
            remove_scratch(final_name);
        }
        if (!error) {
            made.adopt(final_name);
            made.adopt_waiting(name_, final_name);
            name_.clear();
            return 0;
        }
        if (error == EEXIST) return EEXIST; // the caller may try another name
    }
    discard();
    return error;
}

int ScratchFile::commit(const char* final_name, bool replace, NewFiles* made)
{
    if (name_.empty()) return ENOENT;
    int error = close_checked();
    if (!error) {
        InterruptGuard guard;
        error = rename_new(name_.c_str(), final_name);
        if (!error) {
            forget_scratch(name_.c_str());
            // Until the job is done the new file is the job's: it stays registered.
            if (made && register_scratch(final_name)) made->adopt(final_name);
            name_.clear();
            return 0;
        }
        if (error == EEXIST && !replace) return EEXIST; // the caller may try another name
        const NameKind kind = error == EEXIST ? name_kind(final_name) : NameKind::none;
        if (kind == NameKind::directory) error = EISDIR;
        if (kind == NameKind::device || kind == NameKind::other) error = not_regular_file;
        if (error == EEXIST) {
            errno = 0;
            if (replace_file(name_.c_str(), final_name)) {
                forget_scratch(name_.c_str());
                name_.clear();
                return 0;
            }
            error = errno ? errno : EACCES;
        }
    }
    discard();
    return error;
}

void ScratchFile::discard()
{
    if (file_) std::fclose(file_);
    file_ = nullptr;
    if (!name_.empty()) remove_scratch(name_.c_str());
    name_.clear();
}

int NewFiles::keep_all()
{
    InterruptGuard guard;
    int error = 0;
    for (const Waiting& w : waiting_) {
        errno = 0;
        if (error || !replace_file(w.scratch.c_str(), w.path.c_str())) {
            if (!error) error = errno ? errno : EIO;
            continue;
        }
        forget_scratch(w.scratch.c_str());
    }
    if (error) return error;
    waiting_.clear();
    for (const std::string& n : names_) forget_scratch(n.c_str());
    names_.clear();
    return 0;
}

void NewFiles::remove_all()
{
    for (const Waiting& w : waiting_) remove_scratch(w.scratch.c_str());
    waiting_.clear();
    for (const std::string& n : names_) remove_scratch(n.c_str());
    names_.clear();
}

bool NewFiles::holds(const char* path) const
{
    for (const std::string& n : names_)
        if (n == path) return true;
    return false;
}

bool create_scratch_file(const char* path)
{
    FILE* f = create_registered(path, "wb");
    if (!f) return false;
    if (std::fclose(f) != 0) {
        remove_scratch(path);
        return false;
    }
    return true;
}

bool create_scratch_copy(const char* from, const char* to, bool link_first)
{
    InterruptGuard guard;
    bool linked = false;
    if (link_first) {
#ifdef _WIN32
        linked = CreateHardLinkW(widen(to).c_str(), widen(from).c_str(), nullptr) != 0;
        if (!linked && GetLastError() == ERROR_ALREADY_EXISTS) return false;
#else
        linked = ::link(from, to) == 0;
        if (!linked && errno == EEXIST) return false;
#endif
    }
    if (!linked && !copy_into_new_file(from, to)) return false;
    if (!register_scratch(to)) {
        remove_file(to);
        return false;
    }
    return true;
}

void watch_scratch(const char* path)
{
    InterruptGuard guard;
    register_scratch(path);
}

void remove_scratch(const char* path)
{
    InterruptGuard guard;
    remove_file(path);
    forget_scratch(path);
}

void remove_scratch_on_interrupt()
{
#ifdef _WIN32
    SetConsoleCtrlHandler(on_console_event, TRUE);
#else
    struct sigaction sa {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    for (int sig : interrupt_signals) sigaddset(&sa.sa_mask, sig);
    sa.sa_flags = SA_RESETHAND;
    for (int sig : interrupt_signals) {
        // A signal the caller's shell set to be ignored (nohup) stays ignored.
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(sig, &sa, nullptr);
    }
    // Past a file-size limit a write fails (EFBIG) instead of ending the process.
    ::signal(SIGXFSZ, SIG_IGN);
#endif
}

unsigned long process_id()
{
#ifdef _WIN32
    return static_cast<unsigned long>(GetCurrentProcessId());
#else
    return static_cast<unsigned long>(::getpid());
#endif
}

std::string scratch_stem(const char* path)
{
    static std::atomic<unsigned> counter{0};
    const char* base = path;
    for (const char* p = path; *p; ++p)
        if (*p == '/' || *p == '\\') base = p + 1;
    size_t n = std::strlen(base);
    constexpr size_t label_max = 16;
    if (n > label_max) {
        n = label_max;
        while (n > 0 && (static_cast<unsigned char>(base[n]) & 0xC0) == 0x80) --n;
    }
    std::string stem(path, size_t(base - path));
    for (size_t i = 0; i < n; ++i) stem += base[i] == '.' ? '_' : base[i];
    return stem + "-kx" + std::to_string(process_id()) + "-" + std::to_string(++counter);
}

int rename_new(const char* from, const char* to, NewNameWay first)
{
#ifdef _WIN32
    (void)first;
    if (MoveFileExW(to_path(from).c_str(), to_path(to).c_str(), 0)) return 0;
    const DWORD e = GetLastError();
    if (e == ERROR_ALREADY_EXISTS || e == ERROR_FILE_EXISTS) return EEXIST;
    // A folder of that name.
    if (e == ERROR_ACCESS_DENIED && name_taken(to)) return EEXIST;
    return e == ERROR_ACCESS_DENIED ? EACCES : e == ERROR_PATH_NOT_FOUND ? ENOENT : EIO;
#else
#ifdef RENAME_NOREPLACE
    if (first == NewNameWay::no_replace_rename) {
        if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
        if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP && errno != EOPNOTSUPP) return errno;
    }
#endif
    // A file system without the no-replace rename: a hard link takes the name only while it is
    // free, then the scratch name goes.
    if (first != NewNameWay::check_then_rename) {
        if (::link(from, to) == 0) {
            ::unlink(from);
            return 0;
        }
        if (errno == EEXIST) return EEXIST;
        if (errno != EPERM && errno != ENOSYS && errno != ENOTSUP && errno != EOPNOTSUPP && errno != EMLINK)
            return errno;
    }
    // Neither (some network and FAT file systems): the name is checked, then taken.
    if (name_taken(to)) return EEXIST;
    return ::rename(from, to) == 0 ? 0 : errno;
#endif
}

FILE* create_file(const char* path, bool replace)
{
    const NameKind kind = name_kind(path);
    if (kind == NameKind::device) return open_device(path, "w");
    if (replace && kind == NameKind::other) {
        errno = not_regular_file;
        return nullptr;
    }
    if (replace && name_taken(path) && kind != NameKind::directory) {
        // The file or link that has the name now goes; a new file takes it, exclusively.
#ifdef _WIN32
        DeleteFileW(widen(path).c_str());
#else
        ::unlink(path);
#endif
    }
    return create_new_stream(path, "w");
}

bool names_may_match(std::string_view a, std::string_view b, bool ignore_case)
{
    if (a == b) return true;
    if (!ignore_case) return false;
    const auto other_letters = [](std::string_view s) {
        return std::any_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    };
    if (other_letters(a) || other_letters(b)) return true;
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

bool same_file(const char* a, const char* b)
{
    const FileIdentity ia = file_identity(a), ib = file_identity(b);
    if (ia.valid && ib.valid) return ia == ib;
    if (ia.valid || ib.valid) return false;
    std::error_code ea, eb;
    const fs::path pa = fs::weakly_canonical(fs::absolute(to_path(a), ea), ea);
    const fs::path pb = fs::weakly_canonical(fs::absolute(to_path(b), eb), eb);
    if (ea || eb) return false;
#ifdef _WIN32
    // Names on Windows are compared without regard to case.
    return CompareStringOrdinal(pa.c_str(), -1, pb.c_str(), -1, TRUE) == CSTR_EQUAL;
#else
    return pa == pb;
#endif
}

void prefer_large_pages(void* p, size_t n)
{
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t large = uintptr_t(2) << 20;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + large - 1) & ~(large - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + n) & ~(large - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)p;
    (void)n;
#endif
}

uint64_t copy_file_region(FILE* in, uint64_t offset, FILE* out, uint64_t n, int* write_error)
{
    if (write_error) *write_error = 0;
    uint64_t done = 0;
    if (n == 0) return 0;
#if defined(__linux__)
    // copy_file_range with an explicit input offset leaves the input descriptor's position alone,
    // so the bytes stdio has buffered for `in` do not matter. The output is flushed first and
    // moved to its new end afterwards. When the kernel refuses (another file system, an old
    // kernel) the rest goes through a buffer.
    if (std::fflush(out) == 0) {
        loff_t in_off = loff_t(offset);
        while (done < n) {
            const size_t want = size_t(std::min<uint64_t>(n - done, uint64_t(1) << 30));
            ssize_t r = ::copy_file_range(fileno(in), &in_off, fileno(out), nullptr, want, 0);
            if (r <= 0) break;
            done += uint64_t(r);
        }
        std::fseek(out, 0, SEEK_END);
        if (done == n) return done;
    }
#endif
#ifdef _WIN32
    if (_fseeki64(in, int64_t(offset + done), SEEK_SET) != 0) return done;
#else
    if (fseeko(in, off_t(offset + done), SEEK_SET) != 0) return done;
#endif
    std::vector<char> buf(size_t(std::min<uint64_t>(n - done, uint64_t(1) << 20)));
    while (done < n) {
        const size_t want = size_t(std::min<uint64_t>(n - done, buf.size()));
        const size_t got = std::fread(buf.data(), 1, want, in);
        if (got == 0) break;
        errno = 0;
        const size_t put = std::fwrite(buf.data(), 1, got, out);
        done += put;
        if (put < got) {
            if (write_error) *write_error = errno ? errno : EIO;
            break;
        }
    }
    return done;
}

int64_t stream_position(FILE* f)
{
#ifdef _WIN32
    return int64_t(_ftelli64(f));
#else
    return int64_t(ftello(f));
#endif
}

bool seek_stream(FILE* f, int64_t offset)
{
    if (offset < 0) return false;
#ifdef _WIN32
    return _fseeki64(f, offset, SEEK_SET) == 0;
#else
    return fseeko(f, off_t(offset), SEEK_SET) == 0;
#endif
}

bool is_terminal(int fd)
{
#ifdef _WIN32
    // A console: _isatty says yes to every character device, NUL too.
    DWORD mode = 0;
    const HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    return h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0;
#else
    return ::isatty(fd) != 0;
#endif
}

namespace {
struct ThreadStart {
    void (*fn)(void*);
    void* arg;
};
#ifdef _WIN32
unsigned __stdcall thread_entry(void* p)
#else
void* thread_entry(void* p)
#endif
{
    ThreadStart start = *static_cast<ThreadStart*>(p);
    delete static_cast<ThreadStart*>(p);
    start.fn(start.arg);
#ifdef _WIN32
    return 0;
#else
    return nullptr;
#endif
}
} // namespace

bool start_thread(Thread& t, void (*fn)(void*), void* arg, unsigned stack_size)
{
    t = Thread{};
    auto* start = new ThreadStart{fn, arg};
#ifdef _WIN32
    uintptr_t h = _beginthreadex(nullptr, stack_size, &thread_entry, start, 0, nullptr);
    if (h == 0) {
        delete start;
        return false;
    }
    t.handle = reinterpret_cast<void*>(h);
#else
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, std::max<size_t>(stack_size, size_t(1) << 20));
    auto* id = new pthread_t;
    const int rc = pthread_create(id, &attr, &thread_entry, start);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete id;
        delete start;
        return false;
    }
    t.handle = id;
#endif
    t.started = true;
    return true;
}

bool join_thread(Thread& t, int timeout_ms)
{
    if (!t.started) return true;
#ifdef _WIN32
    HANDLE h = static_cast<HANDLE>(t.handle);
    if (WaitForSingleObject(h, timeout_ms < 0 ? INFINITE : DWORD(timeout_ms)) != WAIT_OBJECT_0)
        return false;
    CloseHandle(h);
#else
    auto* id = static_cast<pthread_t*>(t.handle);
    if (timeout_ms < 0) {
        pthread_join(*id, nullptr);
    } else {
        timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_sec += timeout_ms / 1000;
        until.tv_nsec += long(timeout_ms % 1000) * 1000000L;
        if (until.tv_nsec >= 1000000000L) {
            until.tv_sec += 1;
            until.tv_nsec -= 1000000000L;
        }
        if (pthread_timedjoin_np(*id, nullptr, &until) != 0) return false;
    }
    delete id;
#endif
    t = Thread{};
    return true;
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

int readable_file_status(const char* path)
{
    if (is_directory(path)) return EISDIR;
    errno = 0;
    FILE* f = open_stream(path, "rb");
    if (!f) return errno ? errno : ENOENT;
    std::fclose(f);
    return 0;
}

bool is_directory(const char* path)
{
    std::error_code ec;
    return fs::is_directory(to_path(path), ec);
}

NameKind name_kind(const char* path)
{
#ifdef _WIN32
    // The system's own names (NUL, CON) are devices; links are followed.
    const std::wstring w = widen(path);
    if (w.empty()) return NameKind::none;
    const HANDLE h = CreateFileW(w.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const DWORD attributes = GetFileAttributesW(w.c_str());
    if (h == INVALID_HANDLE_VALUE) {
        if (attributes == INVALID_FILE_ATTRIBUTES) return NameKind::none;
        return attributes & FILE_ATTRIBUTE_DIRECTORY ? NameKind::directory : NameKind::regular;
    }
    const DWORD type = GetFileType(h);
    CloseHandle(h);
    if (type == FILE_TYPE_CHAR) return NameKind::device;
    if (type != FILE_TYPE_DISK) return NameKind::other;
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) ? NameKind::directory
                                                                                           : NameKind::regular;
#else
    struct stat st;
    if (::lstat(path, &st) != 0) return NameKind::none;
    const bool link = S_ISLNK(st.st_mode);
    if (link && ::stat(path, &st) != 0) return NameKind::none; // a link to nothing
    if (S_ISREG(st.st_mode)) return NameKind::regular;
    if (S_ISDIR(st.st_mode)) return NameKind::directory;
    return S_ISCHR(st.st_mode) && !link ? NameKind::device : NameKind::other;
#endif
}

bool stream_is_terminal(FILE* stream)
{
#ifdef _WIN32
    return is_terminal(_fileno(stream));
#else
    return is_terminal(::fileno(stream));
#endif
}

std::string error_text(int error) { return error == not_regular_file ? "not a regular file" : std::strerror(error); }

FILE* open_device(const char* path, const char* mode)
{
#ifdef _WIN32
    return ::_wfopen(widen(path).c_str(), widen(mode).c_str());
#else
    const int fd = ::open(path, O_WRONLY | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return nullptr;
    FILE* f = ::fdopen(fd, mode);
    if (!f) ::close(fd);
    return f;
#endif
}

std::vector<std::string> files_in_directory(const std::string& path)
{
    std::vector<std::string> files;
    std::error_code ec;
    for (fs::directory_iterator it(to_path(path), ec), end; !ec && it != end; it.increment(ec))
        if (it->is_regular_file(ec)) files.push_back(from_path(it->path()));
    std::sort(files.begin(), files.end());
    return files;
}

FileIdentity standard_output_identity()
{
    FileIdentity id;
#ifdef _WIN32
    BY_HANDLE_FILE_INFORMATION info;
    const HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
    if (h && h != INVALID_HANDLE_VALUE && GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info)) {
        id.valid = true;
        id.device = info.dwVolumeSerialNumber;
        id.index = (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    }
#else
    struct stat st;
    if (::fstat(1, &st) != 0) return id;
    id.valid = true;
    id.device = uint64_t(st.st_dev);
    id.index = uint64_t(st.st_ino);
#endif
    return id;
}

FileIdentity file_identity(const char* path)
{
    FileIdentity id;
#ifdef _WIN32
    HANDLE h = CreateFileW(widen(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return id;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(h, &info)) {
        id.valid = true;
        id.device = info.dwVolumeSerialNumber;
        id.index = (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    }
    CloseHandle(h);
#else
    struct stat st;
    if (::stat(path, &st) != 0) return id;
    id.valid = true;
    id.device = uint64_t(st.st_dev);
    id.index = uint64_t(st.st_ino);
#endif
    return id;
}

} // namespace platform
