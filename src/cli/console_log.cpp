// The console edition's log window.
//
// The window's line logic stays in the log sink: each new window line arrives here as
// move_to_line and becomes a line break. On a pipe the text is written as it comes. On a
// terminal a line is written once it is complete, and a progress bar of the running conversion
// takes the line below it (in place of the progress dots); suppressed log calls still reach
// repaint(), which is what keeps the bar moving while no text is shown.
//
// Quiet mode shows what QuietFilter keeps: the warnings, and the line that explains a failure. A
// failure's own lines never come here: the console reports it in a line of its own.
#include "cli/console_log.h"

#include <cerrno>

#include "jobs/song_text.h"

namespace {
constexpr int bar_width = 40;
constexpr auto bar_interval = std::chrono::milliseconds(100); // redraws at most this often
constexpr int bar_delay = 5; // intervals before the first bar: short jobs get none

} // namespace

Ticker::Ticker(std::chrono::milliseconds period) : period_(period)
{
    platform::start_thread(thread_, run, this, 0); // without a thread it is never due: no bar
}

Ticker::~Ticker()
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        stop_ = true;
    }
    wake_.notify_one();
    platform::join_thread(thread_);
}

void Ticker::run(void* self)
{
    Ticker& t = *static_cast<Ticker*>(self);
    std::unique_lock<std::mutex> hold(t.lock_);
    while (!t.wake_.wait_for(hold, t.period_, [&t] { return t.stop_; })) {
        t.ticks_.fetch_add(1, std::memory_order_relaxed);
        t.raised_.store(true, std::memory_order_relaxed);
    }
}

ConsoleLog::ConsoleLog(FILE* out, bool quiet, bool terminal)
    : out_(out), quiet_(quiet), terminal_(terminal), streaming_(!quiet && !terminal)
{
    if (terminal_) ticker_ = std::make_unique<Ticker>(bar_interval);
}

ConsoleLog::ConsoleLog(std::string& capture, bool quiet)
    : out_(nullptr), capture_(&capture), quiet_(quiet), terminal_(false), streaming_(!quiet)
{
}

void ConsoleLog::put(std::string_view text, FILE* to)
{
    if (capture_)
        capture_->append(text);
    else if (std::fwrite(text.data(), 1, text.size(), to) != text.size() && !write_error_)
        write_error_ = errno ? errno : EIO;
}

void ConsoleLog::draw_text(std::string_view text) { draw_text(text, LogLevel::detail); }

void ConsoleLog::draw_text(std::string_view text, LogLevel level)
{
    std::string converted;
    if (song_text_) {
        converted = utf8_from_windows1252(text);
        text = converted;
    }
    if (level == LogLevel::warning) line_warning_ = true;
    if (streaming_) {
        put(text, out_);
        if (!text.empty()) at_line_start_ = text.back() == '\n';
        return;
    }
    // On a terminal the progress bar stands for the progress dots.
    if (terminal_ && text == ".") return;
    if (quiet_)
        quiet_lines_.text(text, level);
    else
        line_.append(text);
}

void ConsoleLog::move_to_line(int) { end_line(); }

void ConsoleLog::end_line()
{
    const bool warning = line_warning_;
    line_warning_ = false;
    if (streaming_) {
        put("\n", out_);
        at_line_start_ = true;
        return;
    }
    std::string line;
    if (!quiet_) {
        line.swap(line_);
        emit(line, warning);
    } else if (quiet_lines_.line_end(line)) {
        emit(line, true);
    }
}

void ConsoleLog::emit(const std::string& line, bool warning)
{
    clear_bar();
    FILE* to = warn_ && warning ? warn_ : out_;
    put(line, to);
    put("\n", to);
}

void ConsoleLog::clear_bar()
{
    if (!bar_shown_) return;
    std::fprintf(out_, "\r%*s\r", progress_bar_columns, "");
    bar_shown_ = false;
}

void ConsoleLog::repaint()
{
    if (!terminal_) return;
    if (!ticker_->due() || ticker_->ticks() < bar_delay) return;
    double p = progress_ ? progress_() : -1;
    if (p < 0) {
        clear_bar();
        return;
    }
    std::fprintf(out_, "\r%s %3d%%", progress_bar(p).c_str(), int(p * 100 + 0.5));
    std::fflush(out_);
    bar_shown_ = true;
}

void ConsoleLog::finish(bool failed)
{
    if (streaming_) {
        if (!at_line_start_) put("\n", out_);
        at_line_start_ = true;
        if (out_) std::fflush(out_);
        return;
    }
    if (!line_.empty() || quiet_lines_.pending()) end_line();
    std::string cause;
    if (quiet_ && quiet_lines_.finish(failed, cause)) emit(cause, false);
    clear_bar();
    if (out_) std::fflush(out_);
}

std::string progress_bar(double fraction)
{
    const double p = fraction < 0 ? 0 : fraction > 1 ? 1 : fraction;
    const int filled = int(p * bar_width + 0.5);
    char bar[bar_width + 3];
    bar[0] = '[';
    for (int i = 0; i < bar_width; ++i) bar[i + 1] = i < filled ? '#' : '-';
    bar[bar_width + 1] = ']';
    bar[bar_width + 2] = 0;
    return bar;
}
