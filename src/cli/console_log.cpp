// The console edition's log window.
//
// The window's line logic stays in the log sink: each new window line arrives here as
// move_to_line and becomes a line break. On a pipe the text is written as it comes. On a
// terminal a line is written once it is complete, and a progress bar of the running conversion
// takes the line below it (in place of the progress dots); suppressed log calls still reach
// repaint(), which is what keeps the bar moving while no text is shown.
//
// Quiet mode keeps the lines that begin with "Warning" or "Error", the forced detail line right
// after a warning (the position of the fault), and, right before an error, the forced line that
// explains it (an outside converter's exit code, a channel-limit report).
#include "cli/console_log.h"

#include <algorithm>

#include "cli/song_text.h"

namespace {
constexpr int bar_width = 40;
constexpr auto bar_delay = std::chrono::milliseconds(500);   // jobs shorter than this get no bar
constexpr auto bar_interval = std::chrono::milliseconds(100); // redraws at most this often
// repaint comes with every suppressed log call, millions a second in a MIDI file's notes: it
// reads the clock only every look_stride_ calls, a stride that doubles (up to max_look_stride)
// while readings come less than look_soon apart and halves while they come more than look_late
// apart, so that a busy job reads the clock a few thousand times a second at most and a job
// that calls rarely still moves its bar.
constexpr int max_look_stride = 4096;
constexpr auto look_soon = std::chrono::milliseconds(1);
constexpr auto look_late = std::chrono::milliseconds(20);

bool starts_with(const std::string& s, const char* p) { return s.rfind(p, 0) == 0; }
} // namespace

ConsoleLog::ConsoleLog(FILE* out, bool quiet, bool terminal)
    : out_(out), quiet_(quiet), terminal_(terminal), streaming_(!quiet && !terminal),
      start_(std::chrono::steady_clock::now()), last_draw_(start_), last_look_(start_)
{
}

// A piece of text at the start of a line that begins an error line, or any piece of such a line:
// kept in error_ (the first "Error: " message) instead of being shown.
bool ConsoleLog::held_back(std::string_view text)
{
    const bool line_start = streaming_ ? at_line_start_ : line_.empty();
    if (line_start && (text.starts_with("Error: ") || text.starts_with("Error during "))) {
        error_line_ = true;
        if (error_.empty() && text.starts_with("Error: ")) {
            const std::string_view message = text.substr(7);
            error_.assign(message.empty() ? std::string_view(" ") : message);
        }
        return true;
    }
    return error_line_;
}

void ConsoleLog::draw_text(std::string_view text) { draw_text(text, false); }

void ConsoleLog::draw_text(std::string_view text, bool forced)
{
    std::string converted;
    if (song_text_) {
        converted = utf8_from_windows1252(text);
        text = converted;
    }
    if (forced) line_forced_ = true;
    if (held_back(text)) return;
    if (streaming_) {
        std::fwrite(text.data(), 1, text.size(), out_);
        if (!text.empty()) at_line_start_ = text.back() == '\n';
        return;
    }
    // On a terminal the progress bar stands for the progress dots.
    if (terminal_ && text == ".") return;
    line_.append(text);
}

void ConsoleLog::move_to_line(int) { end_line(); }

void ConsoleLog::end_line()
{
    if (error_line_) {
        error_line_ = false;
        line_forced_ = false;
        skip_break_ = streaming_;
        if (streaming_ || !quiet_) return;
        // Quiet: the line before the error explains it.
        if (held_forced_ && !held_.empty()) emit(held_);
        held_.clear();
        held_forced_ = false;
        after_warning_ = false;
        return;
    }
    if (streaming_) {
        if (skip_break_ && at_line_start_) {
            skip_break_ = false;
            return;
        }
        skip_break_ = false;
        std::fputc('\n', out_);
        at_line_start_ = true;
        line_forced_ = false;
        return;
    }
    std::string line;
    line.swap(line_);
    const bool forced = line_forced_;
    line_forced_ = false;
    if (!quiet_) {
        emit(line);
        return;
    }
    if (starts_with(line, "Error")) {
        if (held_forced_ && !held_.empty()) emit(held_);
        held_.clear();
        held_forced_ = false;
        emit(line);
        after_warning_ = false;
    } else if (starts_with(line, "Warning")) {
        emit(line);
        after_warning_ = true;
    } else if (after_warning_ && forced && !line.empty()) {
        emit(line);
        after_warning_ = false;
    } else {
        if (!line.empty()) {
            held_ = line;
            held_forced_ = forced;
        }
        after_warning_ = false;
    }
}

void ConsoleLog::emit(const std::string& line)
{
    clear_bar();
    FILE* to = warn_ && (starts_with(line, "Warning") || starts_with(line, "Error")) ? warn_ : out_;
    std::fwrite(line.data(), 1, line.size(), to);
    std::fputc('\n', to);
}

void ConsoleLog::clear_bar()
{
    if (!bar_shown_) return;
    std::fprintf(out_, "\r%*s\r", bar_width + 10, "");
    bar_shown_ = false;
}

void ConsoleLog::repaint()
{
    if (!terminal_ || --calls_to_look_ > 0) return;
    auto now = std::chrono::steady_clock::now();
    if (now - last_look_ < look_soon)
        look_stride_ = std::min(look_stride_ * 2, max_look_stride);
    else if (now - last_look_ > look_late)
        look_stride_ = std::max(look_stride_ / 2, 1);
    last_look_ = now;
    calls_to_look_ = look_stride_;
    if (now - start_ < bar_delay || now - last_draw_ < bar_interval) return;
    last_draw_ = now;
    double p = progress_ ? progress_() : -1;
    if (p < 0) {
        clear_bar();
        return;
    }
    int filled = int(p * bar_width + 0.5);
    char bar[bar_width + 1];
    for (int i = 0; i < bar_width; ++i) bar[i] = i < filled ? '#' : '-';
    bar[bar_width] = 0;
    std::fprintf(out_, "\r[%s] %3d%%", bar, int(p * 100 + 0.5));
    std::fflush(out_);
    bar_shown_ = true;
}

void ConsoleLog::finish()
{
    if (error_line_) end_line();
    if (streaming_) {
        if (!at_line_start_) std::fputc('\n', out_);
        at_line_start_ = true;
        std::fflush(out_);
        return;
    }
    if (!line_.empty()) end_line();
    clear_bar();
    std::fflush(out_);
}
