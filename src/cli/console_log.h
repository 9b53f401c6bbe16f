// The console edition's log window: the job's log text on a text stream (stderr), line by line as
// the window would show it, with an optional quiet filter and a progress bar on a terminal.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "core/log.h"
#include "platform/platform.h"

// A flag raised a few times a second by a thread of its own: the progress bar's redraw, which the
// log offers with every log call, looks at the flag instead of asking the clock each time.
class Ticker {
public:
    explicit Ticker(std::chrono::milliseconds period);
    ~Ticker();
    Ticker(const Ticker&) = delete;
    Ticker& operator=(const Ticker&) = delete;
    // True once for every period that has passed since it was last true.
    bool due()
    {
        return raised_.load(std::memory_order_relaxed) && raised_.exchange(false, std::memory_order_relaxed);
    }
    // Periods since the start.
    int ticks() const { return ticks_.load(std::memory_order_relaxed); }

private:
    static void run(void* self);
    const std::chrono::milliseconds period_;
    std::atomic<bool> raised_{false};
    std::atomic<int> ticks_{0};
    std::mutex lock_;
    std::condition_variable wake_;
    bool stop_ = false;
    platform::Thread thread_;
};

class ConsoleLog : public LogWindow {
public:
    // quiet: keep only warnings and errors. terminal: the stream is an interactive terminal (the
    // text is then written a whole line at a time and a progress bar is drawn below it).
    ConsoleLog(FILE* out, bool quiet, bool terminal);
    // The text kept in `capture` instead (a job of a batch, whose log is shown once it is done).
    ConsoleLog(std::string& capture, bool quiet);

    void draw_text(std::string_view text) override;
    void draw_text(std::string_view text, LogLevel level) override;
    void move_to_line(int y) override;
    void scroll_up(int) override {}
    void repaint() override;

    // Where the progress bar's figure comes from (the running job's progress, -1 when none runs).
    void set_progress(std::function<double()> progress) { progress_ = std::move(progress); }

    // Ends the last line and removes the progress bar (before the final report). `failed`: the job
    // failed; quiet, the forced line shown last before the end explains the failure and is shown.
    void finish(bool failed = false);

    // Warnings go here instead (a listing on stdout keeps its warnings on stderr).
    void set_warning_stream(FILE* f)
    {
        warn_ = f;
        streaming_ = false;
    }
    // The text is a listing of a song, whose names are Windows-1252: it is shown as UTF-8.
    void set_song_text(bool on) { song_text_ = on; }
    // The errno of the first write to a stream that failed (a full disk), 0 when none did: a
    // failed write drops the stream's buffer, so a flush afterwards no longer says why.
    int write_error() const { return write_error_; }

private:
    void end_line();
    void emit(const std::string& line, bool warning);
    void clear_bar();

    // Writes to the stream, or to the capture.
    void put(std::string_view text, FILE* to);

    FILE* out_;
    int write_error_ = 0;
    std::string* capture_ = nullptr;
    FILE* warn_ = nullptr;
    bool quiet_;
    bool terminal_;
    bool song_text_ = false;
    bool streaming_;          // text written as it comes (a pipe or file, not quiet)
    bool at_line_start_ = true;
    std::string line_;        // the line being built
    bool line_warning_ = false; // a warning call wrote some of it
    QuietFilter quiet_lines_;   // quiet: what is shown
    bool bar_shown_ = false;
    std::unique_ptr<Ticker> ticker_; // on a terminal: when the bar may be drawn again
    std::function<double()> progress_;
};

// A progress bar of `fraction` (0..1): "[##########------------------------------]".
std::string progress_bar(double fraction);
// Columns a progress line takes at most (the bar and its figures): what clearing it overwrites.
constexpr int progress_bar_columns = 60;
