// The console edition's log window: the job's log text on a text stream (stderr), line by line as
// the window would show it, with an optional quiet filter and a progress bar on a terminal.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "core/log.h"

class ConsoleLog : public LogWindow {
public:
    // quiet: keep only warnings and errors. terminal: the stream is an interactive terminal (the
    // text is then written a whole line at a time and a progress bar is drawn below it).
    ConsoleLog(FILE* out, bool quiet, bool terminal);

    void draw_text(std::string_view text) override;
    void draw_text(std::string_view text, bool forced) override;
    void move_to_line(int y) override;
    void scroll_up(int) override {}
    void repaint() override;

    // Where the progress bar's figure comes from (the running job's progress, -1 when none runs).
    void set_progress(std::function<double()> progress) { progress_ = std::move(progress); }

    // Ends the last line and removes the progress bar (before the final report).
    void finish();

    // The fatal error of the job ("Error: ..." without its label), "" when none was logged. The
    // error lines of a failed job ("Error: ...", "Error during ...") are held back: the console
    // reports a failure in one line of its own.
    const std::string& error() const { return error_; }
    // Lines that begin with "Warning" or "Error" go here instead (a listing on stdout keeps its
    // warnings on stderr).
    void set_warning_stream(FILE* f)
    {
        warn_ = f;
        streaming_ = false;
    }
    // The text is a listing of a song, whose names are Windows-1252: it is shown as UTF-8.
    void set_song_text(bool on) { song_text_ = on; }

private:
    void end_line();
    void emit(const std::string& line);
    void clear_bar();

    bool held_back(std::string_view text);

    FILE* out_;
    FILE* warn_ = nullptr;
    std::string error_;
    bool error_line_ = false;
    bool skip_break_ = false;  // the line break after a held-back line is not written  // the line being written is a held-back error line
    bool quiet_;
    bool terminal_;
    bool song_text_ = false;
    bool streaming_;          // text written as it comes (a pipe or file, not quiet)
    bool at_line_start_ = true;
    std::string line_;        // the line being built
    bool line_forced_ = false; // some of it was forced through the log filter
    std::string held_;        // quiet: the last line dropped, shown when an error follows it
    bool held_forced_ = false;
    bool after_warning_ = false;
    bool bar_shown_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_draw_;
    std::chrono::steady_clock::time_point last_look_; // the clock's last reading by repaint
    int look_stride_ = 1;   // repaint calls per reading of the clock
    int calls_to_look_ = 1; // repaint calls left before the next reading
    std::function<double()> progress_;
};
