// Log sink: filtering, the log file copy, the window's line logic and progress dots.
#include "core/log.h"

#include <cstdarg>
#include <cstring>

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
    const int result = log_vprint(ls, fmt, ap);
    va_end(ap);
    return result;
}

int log_vprint(Log& ls, const char* fmt, va_list args)
{
    job_check_cancel(ls.cancel);
    if (!log_shows(ls)) return -1; // counted there: a dot, the repaint
    int result = -1;
    {
        char buf[log_buffer_size]; // vsnprintf cuts the text to 255 bytes; it never overflows
        if (ls.log_stream) {
            va_list ap;
            va_copy(ap, args);
            int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
            va_end(ap);
            if (n >= 0) {
                // Written by length: a listed byte may be 0 ("Byte: %d:.%c.").
                result = n < log_buffer_size ? n : log_buffer_size - 1;
                std::fwrite(buf, 1, size_t(result), ls.log_stream);
                if (result > 0) ls.at_line_start = buf[result - 1] == '\n';
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
            va_list ap;
            va_copy(ap, args);
            int n = std::vsnprintf(buf, sizeof buf, f, ap);
            va_end(ap);
            if (n >= 0) {
                size_t len = n < log_buffer_size ? size_t(n) : size_t(log_buffer_size - 1);
                // The format's own trailing newline is the last byte unless the text was cut.
                if (trailing && len == size_t(n) && len > 0 && buf[len - 1] == '\n') --len;
                if (len) ls.window->draw_text(std::string_view(buf, len), ls.log_force > 0);
                if (result < 0) result = int(len);
                if (len) ls.at_line_start = false;
            }
            if (trailing) log_new_line(ls);
            if (trailing || (*fmt == '\n' && !*f)) ls.at_line_start = true;
        }
    }
    if (ls.log_force > 0) --ls.log_force;
    if (ls.window) ls.window->repaint();
    return result;
}

void log_dot(Log& ls)
{
    ls.window->draw_text(".", false);
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

void job_abort(const char* msg) { throw JobAbort(msg ? msg : ""); }

void log_abort(Log& log, const char* msg)
{
    log.log_force = 1;
    // The error takes a line of its own, also after text that did not end its line; a message
    // that begins with a line break of its own needs no other (a window draws only the format's).
    while (msg[0] == '\n') ++msg;
    if (msg[0] != ' ') log_print(log, log.at_line_start ? "Error: %s\n" : "\nError: %s\n", msg);
}
