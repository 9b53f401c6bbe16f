// File names and what they lead to: existence, kind, identity, folders, the program's own path.
#include "platform/names.h"
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;

namespace platform {

namespace {
// Process-wide by nature: the path the program was started by, set once at start; it names the
// program's folder where /proc does not.
std::string g_argv0;
} // namespace

#ifdef _WIN32
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

std::string temp_directory()
{
    std::error_code ec;
    std::string t = from_path(fs::temp_directory_path(ec));
    if (ec || t.empty()) return current_directory();
    while (t.size() > 1 && (t.back() == '/' || t.back() == '\\')) t.pop_back();
    return t;
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

std::string error_text(int error) { return error == not_regular_file ? "not a regular file" : std::strerror(error); }

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
