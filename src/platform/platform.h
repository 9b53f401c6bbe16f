// The only interface to the operating system: files, directories, processes. Everything else in
// the program is portable C++; this layer has a POSIX and a Win32 implementation.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

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
// Length of a file in bytes, or -1 when it cannot be examined.
int64_t file_length(const char* path);
// The current working directory, without a final separator.
std::string current_directory();
bool change_directory(const char* path);
// Directory of the running executable, without a final separator ("" when unknown).
std::string executable_directory();
// Records argv[0] for executable_directory on systems that need it.
void set_program_path(const char* argv0);
// Creates a directory (and its parents); true when it exists afterwards.
bool make_directories(const char* path);

// Starts a program with the given arguments (args[0] is the program name as passed to it) and
// waits for it. Returns its exit code, or -1 when it cannot be started.
int run_program(const std::string& program_path, const std::vector<std::string>& args);
// Finds a program: the current directory, then beside the running executable, then on PATH.
// Returns "" when not found.
std::string find_program(const std::string& name);

// Copies up to n bytes from in's position to out's end (both binary streams; in not yet read
// through stdio, out written sequentially), in the kernel where the system offers it. Returns
// the bytes copied: fewer than n only at the end of in or on an error.
size_t copy_stream_data(FILE* in, FILE* out, size_t n);

// Copies n bytes that start at byte `offset` of `in` to the end of `out`, in the kernel where the
// system offers it. `in` may have been read through stdio: its own position is left to the caller
// (seek it afterwards). Returns the bytes copied: fewer than n only at the end of `in` or when a
// write fails (a full disk).
uint64_t copy_file_region(FILE* in, uint64_t offset, FILE* out, uint64_t n);

// Creates a new file named `prefix`, a random part and `suffix`, exclusively (never an existing
// file, also not one another process creates at the same moment), opened for reading and writing
// in binary mode. The name is returned in `name`; nullptr when no such file could be created.
FILE* create_unique_file(const std::string& prefix, const char* suffix, std::string& name);

// Byte position of a stream, 64 bits wide on every system; -1 when unknown.
int64_t stream_position(FILE* f);

// True when the stream is an interactive terminal.
bool is_terminal(int fd);

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

// Starts a program and does not wait for it: `command_line` is the whole command line (program
// name first, quoted as needed), `program` the program's path or empty to have the system search
// the command line's first word, `directory` its current directory or empty for ours. False
// when it could not be started.
bool start_program(const std::string& program, const std::string& command_line,
                   const std::string& directory);

} // namespace platform
