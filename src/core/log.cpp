// Log sink: filtering, the log file copy, the window's line logic and progress dots.
#include "core/log.h"

#include <cstdarg>
#include <cstring>
#include <string>

void log_new_line(Log& ls)
{
    int y = ls.text_y + log_line_height;
    if (y >= ls.window_height - 45) {
        ls.window->scroll_up(log_line_height);
        y = ls.window_height - 60;
    }
    ls.text_y = y;
    ls.window->move_to_line(y);
}

int log_print(Log& ls, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    const int result = log_vprint(ls, LogLevel::detail, fmt, ap);
    va_end(ap);
    return result;
}

int log_forced(Log& ls, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    const int result = log_vprint(ls, LogLevel::forced, fmt, ap);
    va_end(ap);
    return result;
}

int log_warning(Log& ls, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    const int result = log_vprint(ls, LogLevel::warning, fmt, ap);
    va_end(ap);
    return result;
}

namespace {
// `fmt` with `args`, whole: in `buf` (log_buffer_size bytes) when it fits, else in `big` (a line
// that names a long path is written out, never cut). The text's length, or -1 on a format error.
int format_whole(char* buf, std::string& big, const char* fmt, va_list args, const char*& text)
{
    va_list ap;
    va_copy(ap, args);
    const int n = std::vsnprintf(buf, log_buffer_size, fmt, ap);
    va_end(ap);
    text = buf;
    if (n >= log_buffer_size) {
        big.resize(size_t(n) + 1);
        va_copy(ap, args);
        std::vsnprintf(big.data(), big.size(), fmt, ap);
        va_end(ap);
        text = big.data();
    }
    return n;
}
} // namespace

int log_vprint(Log& ls, LogLevel level, const char* fmt, va_list args)
{
    job_check_cancel(ls.cancel);
    if (level == LogLevel::detail && !log_shows(ls)) return -1; // counted there: a dot, the repaint
    int result = -1;
    {
        char buf[log_buffer_size];
        std::string big;
        const char* text = buf;
        if (ls.log_stream) {
            const int n = format_whole(buf, big, fmt, args, text);
            if (n >= 0) {
                // Written by length: a listed byte may be 0 ("Byte: %d:.%c.").
                result = n;
                std::fwrite(text, 1, size_t(n), ls.log_stream);
                if (n > 0) ls.at_line_start = text[n - 1] == '\n';
            }
        }
        if (ls.window) {
            // Only a leading and a trailing newline of the format count; a newline anywhere else
            // (also one that an argument brings) is drawn like any other character.
            const char* f = fmt;
            if (*f == '\n') {
                log_new_line(ls);
                ++f;
            }
            bool trailing = *f && f[std::strlen(f) - 1] == '\n';
            const int n = format_whole(buf, big, f, args, text);
            if (n >= 0) {
                size_t len = size_t(n);
                if (trailing && len > 0 && text[len - 1] == '\n') --len; // the format's own
                if (len) ls.window->draw_text(std::string_view(text, len), level);
                if (result < 0) result = int(len);
                if (len) ls.at_line_start = false;
            }
            if (trailing) log_new_line(ls);
            if (trailing || (*fmt == '\n' && !*f)) ls.at_line_start = true;
        }
    }
    if (ls.window) ls.window->repaint();
    return result;
}

void log_dot(Log& ls)
{
    ls.window->draw_text(".", LogLevel::detail);
    ls.log_dot_count = 0;
    ls.at_line_start = false;
}

void log_quiet_turn(Log& log, bool dot)
{
    log.quiet_calls = 0;
    job_check_cancel(log.cancel);
    if (!log.window) return;
    if (dot) log_dot(log);
    log.window->repaint();
}

void log_repaint(Log& log)
{
    if (log.window) log.window->repaint();
}

void log_window_open(Log& ls, const char* title, int window_height)
{
    if (!title || !ls.open_window) {
        ls.window = nullptr;
        return;
    }
    ls.window = ls.open_window(title);
    ls.window_height = window_height;
    ls.text_y = 0;
    ls.at_line_start = true;
}

Failure failure_of_text(const char* text)
{
    Failure f;
    f.text = text ? text : "";
    size_t from = f.text.find_first_not_of("\n ");
    size_t to = f.text.find_last_not_of("\n ");
    if (from != std::string::npos) f.reason = f.text.substr(from, to + 1 - from);
    return f;
}

Failure file_failure(FailedFile what, std::string file, int error, const char* text)
{
    Failure f = failure_of_text(text);
    f.what = what;
    f.file = std::move(file);
    f.error = error;
    if (error) f.reason = std::strerror(error);
    return f;
}

Failure write_refused(FailedFile what, std::string file, std::string reason)
{
    Failure f;
    f.what = what;
    f.text = "Can't write " + file + ": " + reason;
    f.file = std::move(file);
    f.reason = std::move(reason);
    return f;
}

void job_abort(Failure failure) { throw JobAbort(std::move(failure)); }

void job_abort(const char* msg) { throw JobAbort(failure_of_text(msg)); }

namespace {
void failure_vprint(Log& log, const char* fmt, va_list args) KX_PRINTF(2, 0);
void failure_vprint(Log& log, const char* fmt, va_list args)
{
    LogWindow* const window = log.window;
    if (!log.window_shows_failure) log.window = nullptr;
    log_vprint(log, LogLevel::failure, fmt, args);
    log.window = window;
}
} // namespace

void log_failure_line(Log& log, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    failure_vprint(log, fmt, ap);
    va_end(ap);
}

void log_abort(Log& log, const Failure& failure)
{
    // The error takes a line of its own, also after text that did not end its line; a message
    // that begins with a line break of its own needs no other (a window draws only the format's).
    const char* msg = failure.text.c_str();
    while (msg[0] == '\n') ++msg;
    if (msg[0] != ' ') log_failure_line(log, log.at_line_start ? "Error: %s\n" : "\nError: %s\n", msg);
}

bool QuietFilter::line_end(std::string& shown)
{
    std::string line;
    line.swap(line_);
    const LogLevel level = level_;
    level_ = LogLevel::detail;
    if (level == LogLevel::warning) {
        shown = std::move(line);
        return true;
    }
    if (level == LogLevel::failure) return false;
    if (!line.empty()) {
        held_ = std::move(line);
        held_forced_ = level == LogLevel::forced;
    }
    return false;
}

bool QuietFilter::finish(bool failed, std::string& shown)
{
    const bool explains = failed && held_forced_ && !held_.empty();
    if (explains) shown = held_;
    held_.clear();
    held_forced_ = false;
    return explains;
}
