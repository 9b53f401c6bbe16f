// Files a job writes: scratch files under names of this process's own, committed under their final
// names or removed, the files a job made until it is done, and exclusive creation and renaming.
#include "platform/interrupts.h"
#include "platform/names.h"
#include "platform/platform.h"

#include <atomic>
#include <cerrno>
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
#include <stdio.h>
#include <unistd.h>
#endif

namespace platform {

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

bool create_scratch_copy(const char* from, const char* to)
{
    InterruptGuard guard;
#ifdef _WIN32
    bool linked = CreateHardLinkW(widen(to).c_str(), widen(from).c_str(), nullptr) != 0;
    if (!linked && GetLastError() == ERROR_ALREADY_EXISTS) return false;
#else
    bool linked = ::link(from, to) == 0;
    if (!linked && errno == EEXIST) return false;
#endif
    if (!linked && !copy_into_new_file(from, to)) return false;
    if (!register_scratch(to)) {
        remove_file(to);
        return false;
    }
    return true;
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

int rename_new(const char* from, const char* to)
{
#ifdef _WIN32
    if (MoveFileExW(to_path(from).c_str(), to_path(to).c_str(), 0)) return 0;
    const DWORD e = GetLastError();
    if (e == ERROR_ALREADY_EXISTS || e == ERROR_FILE_EXISTS) return EEXIST;
    // A folder of that name.
    if (e == ERROR_ACCESS_DENIED && name_taken(to)) return EEXIST;
    return e == ERROR_ACCESS_DENIED ? EACCES : e == ERROR_PATH_NOT_FOUND ? ENOENT : EIO;
#else
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP && errno != EOPNOTSUPP) return errno;
#endif
    // A file system without the no-replace rename: a hard link takes the name only while it is
    // free, then the scratch name goes.
    if (::link(from, to) == 0) {
        ::unlink(from);
        return 0;
    }
    if (errno == EEXIST) return EEXIST;
    if (errno != EPERM && errno != ENOSYS && errno != ENOTSUP && errno != EOPNOTSUPP && errno != EMLINK)
        return errno;
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

} // namespace platform
