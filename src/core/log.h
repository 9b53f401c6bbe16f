// Log sink and fatal-error unwinding.
//
// Every progress line, listing, warning and error of a job goes through log_print into the job's
// own Log. Each call gives its line's level: log_print's text shows while the log is on
// (log_enabled: the listing switches of the readers), log_forced's and log_warning's whatever the
// switch. The text is optionally copied to log_stream, and drawn into a log window with its level,
// from which every front end decides what it shows by one rule (QuietFilter). The window's line logic (only a leading and a trailing newline of a
// format count, 15-pixel lines, scrolling near the bottom) is portable and lives here; the front
// end supplies the drawing through LogWindow (GDI in the Win32 program, the terminal in the
// console edition).
//
// Fatal errors call job_abort, which throws JobAbort with the job's Failure: what failed (one of
// the job's files, by its role), why, and the text the log shows. Whoever catches it (the job
// runner, the dialog's machine-list command, run_guarded) logs "Error: %s\n" with log_abort; the
// front ends take the failure's fields for their own lines.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/platform.h"

#if defined(__GNUC__)
#define KX_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define KX_PRINTF(fmt_index, first_arg)
#endif

// What a log call means, given at the call.
enum class LogLevel {
    detail,  // progress and listings: shown while the log is on (log_print)
    forced,  // shown whatever the switch: a title, a report that explains what follows (log_forced)
    warning, // something recoverable went wrong, or its position: shown, also by -q (log_warning)
    failure, // the job's fatal error ("Error: ...", "Error during conversion"; log_abort)
};

// The drawing surface behind the log. Positions are in pixels; the text position advances along
// the line with each draw_text, like GDI's TA_UPDATECP.
class LogWindow {
public:
    virtual ~LogWindow() = default;
    // Draws text at the current position and advances the position along the line.
    virtual void draw_text(std::string_view text) = 0;
    // The same, told the level of the call that wrote it.
    virtual void draw_text(std::string_view text, LogLevel level)
    {
        (void)level;
        draw_text(text);
    }
    // Moves the current position to x = 0 on pixel row y (a new line has begun).
    virtual void move_to_line(int y) = 0;
    // Scrolls the window's contents up by the given number of pixels.
    virtual void scroll_up(int pixels) = 0;
    // Makes what was drawn visible at once (the worker draws directly, nothing is stored).
    virtual void repaint() {}
};

// Opens a log window with a title; returns nullptr when the front end has no window to offer.
using LogWindowFactory = std::function<LogWindow*(const char* title)>;

constexpr int log_line_height = 15;  // pixels per log line
constexpr int log_buffer_size = 256; // bytes of the buffer most log calls are formatted in; a longer text is formatted whole on the heap

// A request to end a running job early (the dialog's "Kill running process"). The front end
// sets `requested` from its own thread; the job notices it at its next log call or pool
// allocation inside a phase (or within log_quiet_round calls of log_shows that show nothing)
// and ends there like any fatal error, so that its streams are closed,
// its unfinished files removed and the pool swept. Only the runner arms the check, around its
// phases: outside them a request waits.
struct JobCancel {
    std::atomic<bool> requested{false};
    bool armed = false; // set and read by the job's own thread only
    platform::RunningProgram program; // the outside converter the job waits for, ended by a kill
};

// The log of one job: its filter, its optional log file, its window and where the window's text
// stands. Each job has its own; nothing of it is shared between jobs.
struct Log {
    int log_enabled = 1;              // non-zero: log_print's text is shown
    unsigned log_dot_interval = 0;    // suppressed calls per progress dot; 0 = no dots
    unsigned log_dot_count = 0;       // suppressed calls counted towards the next dot
    FILE* log_stream = nullptr;       // optional copy of every shown message (owned by the job)
    LogWindow* window = nullptr;      // the job's log window, none until opened
    int text_y = 0;                   // pixel row of the current line in the window
    int window_height = 400;          // lwind_dy when the window was opened
    LogWindowFactory open_window;     // supplied by the front end
    JobCancel* cancel = nullptr;      // the job's kill request, checked at every call
    bool at_line_start = true;        // the text shown last ended a line (a fatal error's line
                                      // then needs no line break of its own)
    bool window_shows_failure = true; // the window gets the failure's lines too (the console
                                      // reports a failure in one line of its own instead; the
                                      // log file always gets them)
    unsigned quiet_calls = 0;         // suppressed calls since the last look at the kill request
                                      // and the window (log_shows)
};

// printf-style sink; returns the length of the formatted text, or -1 when nothing was formatted.
// Shown while the log is on (LogLevel::detail).
int log_print(Log& log, const char* fmt, ...) KX_PRINTF(2, 3);
// Shown whatever the switch (LogLevel::forced).
int log_forced(Log& log, const char* fmt, ...) KX_PRINTF(2, 3);
// A warning, or the line that says where it happened (LogLevel::warning): shown whatever the switch.
int log_warning(Log& log, const char* fmt, ...) KX_PRINTF(2, 3);
int log_vprint(Log& log, LogLevel level, const char* fmt, va_list args) KX_PRINTF(3, 0);

// What -q shows of a job's log: the one rule of every front end (the console's -q, and the lines a
// batch of the console or of the dialog shows under a file's line). It keeps the lines a warning
// call wrote (a warning and its position line), and, when the job fails, the line shown last
// before the failure when a forced call wrote it: that line explains the failure (an outside
// converter's exit code, a channel-limit report). The failure's own lines it leaves out: a front
// end says the failure in its own words. Fed what a window is drawn.
class QuietFilter {
public:
    void text(std::string_view piece, LogLevel level)
    {
        line_.append(piece);
        if (level > level_) level_ = level;
    }
    // The line is complete: true, with it in `shown`, when -q shows it.
    bool line_end(std::string& shown);
    // Some text of a line not yet ended.
    bool pending() const { return !line_.empty(); }
    // The job has ended, its last line too (`failed`: with a failure): true, with it in `shown`,
    // when the line held back explains the failure.
    bool finish(bool failed, std::string& shown);

private:
    std::string line_;
    LogLevel level_ = LogLevel::detail;
    std::string held_;        // the last line not shown
    bool held_forced_ = false; // a forced call wrote it
};

// True when a log_print call would now show its text or count a progress dot. Paths that run
// once per pattern cell test it first, so that a log that is off costs no call there.
inline bool log_active(const Log& log)
{
    return log.log_enabled || (log.log_dot_interval && log.window);
}

// Lets the log window redraw (the console's progress bar) while no text is shown; the readers
// call it once per pattern.
void log_repaint(Log& log);

// Opens the log window titled `title` through the front end's factory; a null title records that
// there is no log window. `window_height` is the window's height in pixels (the lwind_dy setting),
// which decides when the text scrolls.
void log_window_open(Log& log, const char* title, int window_height);

// Starts a new window line (y += 15, scrolling when the line would reach lwind_dy - 45).
void log_new_line(Log& log);

// Which of a job's files a failure concerns.
enum class FailedFile {
    none,         // no one file: a limit of the formats, a setting, the job itself
    input,        // the conversion's input (or the XM its converter made of it)
    first_song,   // the merge's first song
    second_song,  // the merge's second song
    output,       // the song the job writes (a merge's too)
    xi_file,      // an XI file the job reads or writes (xi_dir)
    wav_file,     // a WAV ripped from a song
    es9_data,     // es-9.dat
    soundfont,    // the SoundFont a MIDI conversion takes its waves from
    converter,    // an outside converter program
    machines_ini, // the machine descriptions
    scratch,      // a scratch file of the job
};

// A fatal error of a job, as a value: the front ends build their lines from its fields, never
// from the log's text.
struct Failure {
    FailedFile what = FailedFile::none; // the file it concerns, by its role
    std::string file;                   // that file's name ("" for none, or where the role says it)
    int error = 0;                      // the system's errno; 0 for a problem of the file's content
    std::string reason;                 // why, for a line that names the file: the system's reason
                                        // or the format problem; "": the log's lines above say it
    std::string text;                   // what the log shows after "Error: "; one that begins
                                        // with a blank is not shown (its thrower logged its own)
};

// A failure known only by its text (a format problem of the file being read): the reason is the
// text without its line breaks and blanks.
Failure failure_of_text(const char* text);

// A failure of the file `file` in the role `what`: the log shows `text`; the reason is the system's
// for `error` (an errno), with none the text's own words.
Failure file_failure(FailedFile what, std::string file, int error, const char* text);
// A file the job may not write, and why: the log shows "Can't write FILE: REASON".
Failure write_refused(FailedFile what, std::string file, std::string reason);

// The one fatal exception type. what() is the failure's text.
class JobAbort : public std::runtime_error {
public:
    explicit JobAbort(Failure f) : std::runtime_error(f.text), failure(std::move(f)) {}
    Failure failure;
};

// Unwinds the job with its failure; the catcher logs it with log_abort.
[[noreturn]] void job_abort(Failure failure);
// A problem of the content being read, known by its text (failure_of_text).
[[noreturn]] void job_abort(const char* msg);

// Runs fn; a failure it ends with that names no file concerns `file` in the role `what`: a reader
// knows what is wrong with the bytes, its caller which file they are.
template <class Fn>
decltype(auto) about_file(FailedFile what, const std::string& file, Fn&& fn)
{
    try {
        return fn();
    } catch (JobAbort& e) {
        if (e.failure.what == FailedFile::none) {
            e.failure.what = what;
            e.failure.file = file;
        }
        throw;
    }
}

// What a fatal error shows: "Error: %s\n" with its text, forced through the filter, unless the
// text begins with a blank (its thrower has logged its own report).
void log_abort(Log& log, const Failure& failure);

// A line that belongs to a failure ("Error during conversion"): forced through the filter into
// the log file, and into the window unless the front end reports failures in a line of its own.
void log_failure_line(Log& log, const char* fmt, ...) KX_PRINTF(2, 3);

// Runs fn the way the runner runs a phase: a JobAbort is logged and reported as false (its
// failure in `failure` when given).
template <class Fn>
bool run_guarded(Log& log, Fn&& fn, Failure* failure = nullptr)
{
    try {
        fn();
        return true;
    } catch (const JobAbort& e) {
        log_abort(log, e.failure);
        if (failure) *failure = e.failure;
        return false;
    }
}

// The fatal message of a killed job.
constexpr const char* job_killed_message = "Job killed by the user!!";

// Ends the job (job_abort with job_killed_message) when a kill was requested while armed.
inline void job_check_cancel(JobCancel* cancel)
{
    if (cancel && cancel->armed && cancel->requested.load(std::memory_order_relaxed)) {
        cancel->armed = false;
        job_abort(job_killed_message);
    }
}

// Draws one progress dot (the suppressed call that completes a dot interval).
void log_dot(Log& log);

// Suppressed calls between two looks at the kill request and the window's repaint: a few
// microseconds of the innermost loops, far below what a person notices.
constexpr unsigned log_quiet_round = 256;

// The kill request, then the dot (when one is due) and the window's repaint: what a suppressed
// call looks at once per log_quiet_round calls, and whenever it completes a dot.
void log_quiet_turn(Log& log, bool dot);

// Whether a log_print call made now would show its text. When it would not, the call is counted
// here exactly as log_print counts a suppressed call (the progress dots each call; the kill
// request and the window's repaint every log_quiet_round calls and at each dot), so that the
// innermost loops (a MIDI file's notes) skip the call and the formatting of its arguments at the
// cost of a few loads:
//     if (log_shows(log)) log_print(log, ...);
inline bool log_shows(Log& log)
{
    if (log.log_enabled) return true;
    const bool dot = log.window && log.log_dot_interval && ++log.log_dot_count >= log.log_dot_interval;
    if (dot || ++log.quiet_calls >= log_quiet_round) log_quiet_turn(log, dot);
    return false;
}
