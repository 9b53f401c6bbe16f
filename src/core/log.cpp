// Log sink: filtering, the log file copy, the window's line logic and progress dots.
#include "core/log.h"

#include <cstdarg>
#include <cstring>

#include "core/pool.h"

LogState log_state;
JobCancel job_cancel;

void log_new_line()
{
    LogState& ls = log_state;
    int y = ls.text_y + log_line_height;
    if (y >= ls.window_height - 45) {
        ls.window->scroll_up(log_line_height);
        y = ls.window_height - 60;
    }
    ls.text_y = y;
    ls.window->move_to_line(y);
}

int log_print(const char* fmt, ...)
{
    job_check_cancel();
    LogState& ls = log_state;
    int result = -1;
    if (ls.log_enabled || ls.log_force > 0) {
        char buf[log_buffer_size]; // vsnprintf cuts the text to 255 bytes; it never overflows
        if (ls.log_stream) {
            va_list ap;
            va_start(ap, fmt);
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
                log_new_line();
                ++f;
            }
            bool trailing = *f && f[std::strlen(f) - 1] == '\n';
            va_list ap;
            va_start(ap, fmt);
            int n = std::vsnprintf(buf, sizeof buf, f, ap);
            va_end(ap);
            if (n >= 0) {
                size_t len = n < log_buffer_size ? size_t(n) : size_t(log_buffer_size - 1);
                // The format's own trailing newline is the last byte unless the text was cut.
                if (trailing && len == size_t(n) && len > 0 && buf[len - 1] == '\n') --len;
                if (len) ls.window->draw_text(std::string_view(buf, len));
                if (result < 0) result = int(len);
                if (len) ls.at_line_start = false;
            }
            if (trailing) log_new_line();
            if (trailing || (*fmt == '\n' && !*f)) ls.at_line_start = true;
        }
    } else if (ls.log_dot_interval && ls.window) {
        if (++ls.log_dot_count >= ls.log_dot_interval) {
            ls.window->draw_text(".");
            ls.log_dot_count = 0;
            ls.at_line_start = false;
        }
    }
    if (ls.log_force > 0) --ls.log_force;
    if (ls.window) ls.window->repaint();
    return result;
}

void log_repaint()
{
    if (log_state.window) log_state.window->repaint();
}

void log_window_open(const char* title, int window_height)
{
    LogState& ls = log_state;
    if (!title || !ls.open_window) {
        ls.window = nullptr;
        return;
    }
    ls.window = ls.open_window(title);
    ls.window_height = window_height;
    ls.text_y = 0;
    ls.at_line_start = true;
}

void job_abort(const char* msg)
{
    if (!msg) msg = "";
    log_state.log_force = 1;
    // The error takes a line of its own, also after text that did not end its line.
    if (msg[0] != ' ') log_print(log_state.at_line_start ? "Error: %s\n" : "\nError: %s\n", msg);
    throw JobAbort(msg);
}

void job_state_reset()
{
    pool.head = nullptr;
    pool.total = 0;
    pool.count = 0;
    log_state.log_enabled = 1;
    log_state.log_force = 0;
    log_state.log_dot_count = 0;
    log_state.log_dot_interval = 0;
    log_state.at_line_start = true;
}
