// Operating-system calls for Linux and Windows.
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include <atomic>
#include <chrono>
#include <random>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <time.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace fs = std::filesystem;

namespace platform {

namespace {
std::string g_argv0;

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
} // namespace

FILE* open_stream(const char* path, const char* mode)
{
    if (!path || !mode) return nullptr;
#ifdef _WIN32
    std::wstring wpath = widen(path);
    std::wstring wmode = widen(mode);
    if (wpath.empty()) return nullptr;
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

std::string executable_directory()
{
#ifdef _WIN32
    wchar_t buf[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return {};
    return from_path(fs::path(buf).parent_path());
#else
    std::error_code ec;
    auto p = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) return from_path(p.parent_path());
    if (!g_argv0.empty()) return from_path(fs::absolute(to_path(g_argv0), ec).parent_path());
    return {};
#endif
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

int run_program(const std::string& program_path, const std::vector<std::string>& args)
{
    std::fflush(nullptr);
#ifdef _WIN32
    std::wstring cmd;
    for (size_t i = 0; i < args.size(); ++i) {
        if (i) cmd += L' ';
        cmd += quote_arg(widen(args[i].c_str()));
    }
    if (args.empty()) cmd = quote_arg(widen(program_path.c_str()));
    std::wstring exe = to_path(program_path).wstring();
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::vector<wchar_t> line(cmd.begin(), cmd.end());
    line.push_back(0);
    if (!CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi))
        return -1;
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return int(code);
#else
    // A program that is missing or not executable cannot be started: say so as -1 rather than
    // as the exit status 127 that some C libraries report for a failed exec in the child.
    if (::access(program_path.c_str(), X_OK) != 0) return -1;
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    if (argv.empty()) argv.push_back(const_cast<char*>(program_path.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawn(&pid, program_path.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(status)) {
        // posix_spawn reports an exec failure as exit status 127 of the child.
        return WEXITSTATUS(status);
    }
    return -1;
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
    std::error_code ec;
    fs::path here = fs::current_path(ec) / n;
    if (is_executable(here)) return from_path(here);
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
        if (!dir.empty()) {
            fs::path cand = to_path(dir) / n;
            if (is_executable(cand)) return from_path(cand);
        }
        start = end + 1;
    }
    return {};
}

size_t copy_stream_data(FILE* in, FILE* out, size_t n)
{
#if defined(__linux__)
    // copy_file_range moves the bytes between the two descriptors without passing them through
    // user space. The input must not have been read through stdio; the output is flushed first
    // and moved to its (new) end afterwards. When the kernel refuses at once (another file
    // system, an old kernel) the copy goes through a buffer instead.
    if (std::fflush(out) == 0) {
        size_t done = 0;
        while (done < n) {
            ssize_t r = ::copy_file_range(fileno(in), nullptr, fileno(out), nullptr, n - done, 0);
            if (r < 0 && done == 0) break;
            if (r <= 0) {
                std::fseek(out, 0, SEEK_END);
                return done;
            }
            done += size_t(r);
        }
        if (done == n) {
            std::fseek(out, 0, SEEK_END);
            return done;
        }
    }
#endif
    std::vector<char> buf(std::min<size_t>(n, size_t(1) << 20));
    size_t done = 0;
    while (done < n) {
        size_t got = std::fread(buf.data(), 1, std::min(n - done, buf.size()), in);
        if (got == 0) break;
        std::fwrite(buf.data(), 1, got, out);
        done += got;
    }
    return done;
}

uint64_t copy_file_region(FILE* in, uint64_t offset, FILE* out, uint64_t n)
{
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
        const size_t put = std::fwrite(buf.data(), 1, got, out);
        done += put;
        if (put < got) break;
    }
    return done;
}

FILE* create_unique_file(const std::string& prefix, const char* suffix, std::string& name)
{
    // The random part only makes a clash unlikely; the exclusive creation makes it harmless.
    static std::atomic<unsigned> counter{0};
    std::seed_seq seed{unsigned(std::chrono::steady_clock::now().time_since_epoch().count()),
#ifdef _WIN32
                       unsigned(GetCurrentProcessId()),
#else
                       unsigned(::getpid()),
#endif
                       counter.fetch_add(1), unsigned(reinterpret_cast<uintptr_t>(&name))};
    std::mt19937 rng(seed);
    for (int attempt = 0; attempt < 100; ++attempt) {
        char part[16];
        std::snprintf(part, sizeof part, "%08x", unsigned(rng()));
        name = prefix + part + (suffix ? suffix : "");
#ifdef _WIN32
        std::wstring w = widen(name.c_str());
        if (w.empty()) break;
        int fd = ::_wopen(w.c_str(), _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            break;
        }
        FILE* f = ::_fdopen(fd, "w+b");
        if (!f) {
            ::_close(fd);
            ::_wunlink(w.c_str());
            break;
        }
        return f;
#else
        int fd = ::open(name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            break;
        }
        FILE* f = ::fdopen(fd, "w+b");
        if (!f) {
            ::close(fd);
            ::unlink(name.c_str());
            break;
        }
        return f;
#endif
    }
    name.clear();
    return nullptr;
}

int64_t stream_position(FILE* f)
{
#ifdef _WIN32
    return int64_t(_ftelli64(f));
#else
    return int64_t(ftello(f));
#endif
}

bool is_terminal(int fd)
{
#ifdef _WIN32
    return _isatty(fd) != 0;
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
