// The only interface to the operating system: files, directories, processes. Everything else in
// the program is portable C++; this layer has a POSIX and a Win32 implementation.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#ifndef _WIN32
#include <signal.h>
#endif

namespace platform {

#ifdef _WIN32
constexpr char path_separator = '\\';
constexpr const char* exe_suffix = ".exe";
#else
constexpr char path_separator = '/';
constexpr const char* exe_suffix = "";
#endif

// Opens a stream like fopen; the name is taken as this program's file names are everywhere (on
// Windows UTF-8, or the ANSI code page when the bytes are not UTF-8). nullptr when it fails.
FILE* open_stream(const char* path, const char* mode);

// Deletes a file; false when it could not be deleted.
bool remove_file(const char* path);
// Gives file `from` the name `to`, replacing a file of that name; false when it fails.
bool replace_file(const char* from, const char* to);
// True when a regular file of that name exists.
bool file_exists(const char* path);
// True when anything has that name: a file, a folder, a symbolic link (also one to nowhere).
bool name_taken(const char* path);
// What a name is, with the reason the system gives when it is no readable file: 0 for a regular
// file that opens for reading, EISDIR for a directory, otherwise the errno of the failed open
// (ENOENT, EACCES, ...).
int readable_file_status(const char* path);
// True when the name is an existing directory.
bool is_directory(const char* path);
// What a name leads to, as an output sees it: nothing (also a link to nothing), a regular file
// (also through a link), a folder, a character device named as itself (/dev/null, NUL; not through
// a link), or anything else (a FIFO, a socket, a block device, a link to a device).
enum class NameKind { none, regular, directory, device, other };
NameKind name_kind(const char* path);
// The error of a name that -y may not replace, as ScratchFile::commit and create_file give it: a
// FIFO, a device, a link to one. error_text says it as "not a regular file".
constexpr int not_regular_file = -2;
// The text of an error: the system's, or "not a regular file".
std::string error_text(int error);
// Opens the character device `path`, named as itself (never through a link), for writing ("w" or
// "wb"); nullptr with errno set when it fails.
FILE* open_device(const char* path, const char* mode);
// The files (not the folders) directly in a directory, their paths sorted; none when it cannot be
// read.
std::vector<std::string> files_in_directory(const std::string& path);
// The file behind a name: device and inode (on Windows the volume serial number and the file
// index), so that two spellings of one file, or two hard links to it, compare equal. `valid` is
// false when the name does not lead to an existing file.
struct FileIdentity {
    bool valid = false;
    uint64_t device = 0;
    uint64_t index = 0;
    bool operator==(const FileIdentity&) const = default;
};
FileIdentity file_identity(const char* path);
// The file behind standard output (not valid when it is closed).
FileIdentity standard_output_identity();
// Length of a file in bytes, or -1 when it cannot be examined.
int64_t file_length(const char* path);
// The current working directory, without a final separator.
std::string current_directory();
bool change_directory(const char* path);
// The folder for temporary files (TMPDIR, TEMP, ...), without a final separator.
std::string temp_directory();
// Makes a standard stream binary (Windows turns "\n" into "\r\n" on text streams).
void set_binary_mode(FILE* stream);
// Directory of the running executable, without a final separator ("" when unknown).
std::string executable_directory();
// The running executable's own path ("" when unknown).
std::string executable_path();
// Records argv[0] for executable_directory on systems that need it.
void set_program_path(const char* argv0);
// First thing in every program: a standard descriptor (0, 1, 2) that the caller left closed is
// opened on the null device, so that no file the program opens takes its number (log text would
// go into a song). Opened for reading only: a write to a closed standard output or error still
// fails as it would have (EBADF), a read of a closed standard input meets its end.
void open_closed_standard_descriptors();
// Creates a directory (and its parents); true when it exists afterwards.
bool make_directories(const char* path);

// Outside programs the process runs at once: one for each job of the largest batch (each job
// waits for its converter before it starts another). A start beyond them waits until one ends.
constexpr int max_programs_at_once = 256;

// The outside program one job waits for, so that ending that job ends its program and no other
// job's. run_program fills it on the job's thread; end_running_program may be called from any
// other. Its fields belong to those two functions.
struct RunningProgram {
    std::mutex mutex;
    bool ended = false;  // end_running_program was called: a program started later ends at once
    intptr_t child = 0;  // the program while run_program waits for it (a process id or handle)
};

// Starts a program with the given arguments (args[0] is the program name as passed to it) and
// waits for it; with `running` the program is kept there while it runs. Returns its exit code, or
// -1 when it cannot be started. With `errors` what the program writes to its standard error is
// kept there (its first 64 KiB) instead of shown, so that programs run side by side do not mix
// their lines on the console and a job can show them as its own (the dialog has no console).
int run_program(const std::string& program_path, const std::vector<std::string>& args,
                std::string* errors = nullptr, RunningProgram* running = nullptr);
// True for an exit code by which the system says the program never ran its own code: a library
// it needs is missing or unusable (Windows: DLL not found, bad image, missing entry point; POSIX:
// the loader's 127).
bool program_did_not_start(int exit_code);
// Finds a program the user installed: beside the running executable, then in the folders of
// PATH that are absolute. Never in the current folder (a folder of unpacked modules may hold
// anything with any name), also not through an empty or relative PATH entry. "" when not found.
std::string find_program(const std::string& name);

// --- Files a job writes ----------------------------------------------------------------------
// Every file the program writes (a song, an XI file, a WAV, es-9.dat, kestrix.ini, the data of a
// merge on its way) is first a scratch file: created exclusively under a name of this process's
// own beside the file it becomes, never through a link, and registered. A registered file is
// removed by the interrupt handler (remove_scratch_on_interrupt) and by every way out of the
// code that made it, unless it is committed under its final name.
//
// The registry is process-wide on purpose: a signal or a console event can only reach it
// through a global, and it must see the files of every job the process runs.

// Keeps the interrupt handler out while files and their registrations change together.
class InterruptGuard {
public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

private:
#ifndef _WIN32
    sigset_t saved_; // the signal mask before
#endif
};

// Files a job gave names that were free, kept until the job is done: while it runs they stay
// registered, so that an interrupted or failed job leaves the folder as it was (the XI files of a
// BMW, the WAV of a merge, es-9.dat). keep_all once the job succeeded; otherwise they go.
class NewFiles {
public:
    NewFiles() = default;
    ~NewFiles() { remove_all(); }
    NewFiles(const NewFiles&) = delete;
    NewFiles& operator=(const NewFiles&) = delete;
    // The job succeeded: files that wait under scratch names take their names (over the empty
    // files that kept the names for them), and every file stays, forgotten by the registry. 0, or
    // the error of a name that could not be given (then no file is kept: remove_all removes them).
    int keep_all();
    // The job failed: the files are removed.
    void remove_all();
    bool holds(const char* path) const;
    // Takes over the registered file `path` (ScratchFile::commit does this).
    void adopt(const std::string& path) { names_.push_back(path); }
    // Takes over the registered scratch file `scratch`, which keep_all gives the name `path` (a
    // file of this list; ScratchFile::commit_later does this).
    void adopt_waiting(const std::string& scratch, const std::string& path) { waiting_.push_back({scratch, path}); }

private:
    struct Waiting {
        std::string scratch, path;
    };
    std::vector<std::string> names_;
    std::vector<Waiting> waiting_;
};

class ScratchFile {
public:
    ScratchFile() = default;
    ~ScratchFile() { discard(); }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    // Creates a new file beside `beside`: its folder, at most 16 bytes of its name with dots made
    // '_', "-kx", this process's id, a number of this process's own and `suffix` (scratch_stem).
    // A name that is taken, by anything (a file, a folder, a planted link), moves on to the next
    // number. `mode` is "wb", "w+b" (written and read back) or "w" (text). False when no name
    // could be created; errno says why.
    bool create(const std::string& beside, const char* suffix = ".part", const char* mode = "wb");
    // The same under exactly `path`; false when the name is taken.
    bool create_exactly(const std::string& path, const char* mode = "wb");

    FILE* get() const { return file_; }
    const std::string& name() const { return name_; }
    // Flushes the file; false when a write has failed (a full disk, a file-size limit).
    bool flush_ok();
    // Closes the file (every write checked) and gives it the name `final_name`. Without `replace`
    // the name must still be free at this very moment (a file another run made meanwhile is never
    // replaced); with it, an existing regular file of that name (or a link to one) is replaced now
    // that the new one is complete, and anything else is not (not_regular_file, EISDIR). A file that took a free name is handed to `made` when one is given (it then stays
    // registered until the job is done); otherwise it is the user's from now on. Returns 0, or the
    // error: EEXIST when the name is taken (the scratch file then stays, closed, for another name
    // or discard), the error of a failed write, close or rename (the scratch file is removed).
    int commit(const char* final_name, bool replace, NewFiles* made = nullptr);
    // Closes the file (every write checked) and keeps the free name `final_name` for it until the
    // job is done: an empty file takes the name now, exclusively, and the file itself waits under
    // its scratch name, both handed to `made`; keep_all gives it the name. So no other job ever
    // finds the file complete under that name while this job may still remove it. Returns 0, or
    // as commit does EEXIST (the scratch file stays) or the error of a failed write.
    int commit_later(const char* final_name, NewFiles& made);
    // Closes and removes the file; nothing when there is none.
    void discard();

private:
    // Closes the file: 0, or the error of a write, the flush or the close.
    int close_checked();
    FILE* file_ = nullptr;
    std::string name_;
};

// Scratch files that an outside program writes (the XM a converter makes, the input it reads).
// Creates an empty file `path` exclusively, registered (a name reserved for an outside program to
// write); false when the name is taken or it cannot be created.
bool create_scratch_file(const char* path);
// Creates `to` exclusively as a hard link to `from`, or else (another file system) as a copy of
// it, registered; false when `to` exists or the copy fails. `link_first` false copies at once.
bool create_scratch_copy(const char* from, const char* to, bool link_first = true);
// Registers a name that an outside program may create (its own unfinished file).
void watch_scratch(const char* path);
// Removes a registered file and forgets it.
void remove_scratch(const char* path);
// From now on SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGPIPE (on Windows Ctrl-C, Ctrl-Break and
// closing the console) end a running outside program, remove every registered file, and then
// end the process as the signal would have. A file-size limit (SIGXFSZ) no longer ends the
// process: the write fails, and the job ends like on a full disk.
void remove_scratch_on_interrupt();
// This process's id (for names no other run uses).
unsigned long process_id();
// A scratch name stem beside `path`: its folder, at most 16 bytes of its file name (never cut
// inside a UTF-8 sequence, dots made '_' so that a converter's naming rule sees only the extension
// added to it), "-kx", this process's id and a number of this process's own. However long the
// name of `path`, the stem stays short enough for every file system's name limit.
std::string scratch_stem(const char* path);
// The ways rename_new takes a name, in the order it tries them: a file system without the
// no-replace rename goes on with a hard link, one without hard links either (some network and FAT
// file systems) with a check of the name and a plain rename. Windows has one way of its own.
enum class NewNameWay { no_replace_rename, hard_link, check_then_rename };
// Gives the file `from` the name `to` only while no file of that name exists (never replacing
// one, also not one another process creates at the same moment, short of the last way). 0,
// EEXIST when the name is taken, or the error of the rename. `first`: the way to begin with.
int rename_new(const char* from, const char* to, NewNameWay first = NewNameWay::no_replace_rename);

// Creates the file `path` for writing in text mode, never through a link: without `replace` only
// when the name is free; with it, an existing regular file or a link to one (or to nothing) is
// removed first, never a folder, a FIFO or a device (not_regular_file). A character device named
// as itself (/dev/null) is opened and written into: nothing is replaced. nullptr with errno set
// when it fails (EEXIST: the name is taken). For files that are written as they go (a log).
FILE* create_file(const char* path, bool replace);
// Whether two file names may name one file as the system compares names: equal bytes, or with
// `ignore_case` (Windows) equal but for the case of ASCII letters; names with other letters, whose
// case only the system knows, may always match (same_file then asks the system).
bool names_may_match(std::string_view a, std::string_view b, bool ignore_case);
#ifdef _WIN32
constexpr bool names_ignore_case = true;
#else
constexpr bool names_ignore_case = false;
#endif
// True when the two names lead to one file: the same file by identity when both exist (two
// spellings, a link, a hard link), else the same absolute path once the existing folders on the
// way are resolved.
bool same_file(const char* a, const char* b);

// Asks the system to back n bytes at p (best from a 2 MiB boundary) with large pages where it
// can: a large block that is filled at once then costs a few page faults instead of thousands.
void prefer_large_pages(void* p, size_t n);

// Copies n bytes that start at byte `offset` of `in` to the end of `out`, in the kernel where the
// system offers it. `in` may have been read through stdio: its own position is left to the caller
// (seek it afterwards). Returns the bytes copied: fewer than n only at the end of `in` or when a
// write fails (a full disk); `write_error` then says which: the write's errno, or 0 when `in` ended.
uint64_t copy_file_region(FILE* in, uint64_t offset, FILE* out, uint64_t n, int* write_error = nullptr);

// Byte position of a stream, 64 bits wide on every system; -1 when unknown. A seek to a 64-bit
// position from the start; false when it fails.
int64_t stream_position(FILE* f);
bool seek_stream(FILE* f, int64_t offset);

// The next byte of a stream, or EOF. A stream belongs to one job on one thread: no stdio lock per
// byte where the library lets the caller skip it.
inline int get_byte(FILE* f)
{
#if defined(_POSIX_C_SOURCE) || defined(__GLIBC__)
    return getc_unlocked(f);
#else
    return std::getc(f);
#endif
}

// True when the stream is an interactive terminal.
bool is_terminal(int fd);
bool stream_is_terminal(FILE* stream);

// Threads: one worker at a time runs a job beside the dialog.
struct Thread {
    void* handle = nullptr; // the system's thread handle (Windows) or a pthread_t (POSIX)
    bool started = false;
};
// Starts fn(arg) on a new thread. On Windows `stack_size` bytes are committed for its stack
// (the reserve is the executable's); elsewhere the stack gets at least 1 MiB. False when no
// thread could be started.
bool start_thread(Thread& t, void (*fn)(void*), void* arg, unsigned stack_size);
// Waits until the thread has ended and releases it; with a timeout in milliseconds it gives up
// after that long (false: the thread still runs and stays held).
bool join_thread(Thread& t, int timeout_ms = -1);

// Ends the outside program `running` holds, if there is one, and any that is started with it
// later (a killed job must not wait for its converter); run_program then returns that program's
// failure.
void end_running_program(RunningProgram& running);

// Starts a program and does not wait for it: `command_line` is the whole command line (program
// name first, quoted as needed), `program` the program's path or empty to have the system search
// the command line's first word, `directory` its current directory or empty for ours. False
// when it could not be started.
bool start_program(const std::string& program, const std::string& command_line,
                   const std::string& directory);

} // namespace platform
