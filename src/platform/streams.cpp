// Streams: opening, positions, copying a region, devices, terminals and the standard descriptors.
#include "platform/names.h"
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace platform {

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

void set_binary_mode(FILE* stream)
{
#ifdef _WIN32
    _setmode(_fileno(stream), _O_BINARY);
#else
    (void)stream;
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

bool stream_is_terminal(FILE* stream)
{
#ifdef _WIN32
    return is_terminal(_fileno(stream));
#else
    return is_terminal(::fileno(stream));
#endif
}

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

} // namespace platform
