// The log window's text between the job and the window: the job's thread draws into it as a
// LogWindow, the dialog's thread paints from it. The job never waits for the window and never
// sends it anything: it collects its text on its own side and hands it over every few
// milliseconds, only when it gets the lock at once; the window looks for new text on a timer. So
// a job that logs as fast as it can neither floods the dialog's message queue nor keeps the
// painter from the lock.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "core/log.h"

class LogLines : public LogWindow {
public:
    // At most `max_lines` lines are kept; older ones are dropped.
    explicit LogLines(size_t max_lines) : max_lines_(max_lines > 0 ? max_lines : 1) {}

    // The job's side (LogWindow).
    void draw_text(std::string_view text) override { current_.append(text); }
    void move_to_line(int y) override;
    void scroll_up(int) override {} // the window shows the newest lines itself
    void repaint() override;
    // Hands everything over, waiting for the lock (the end of a job).
    void flush();

    // The painter's side. True (once) when text was handed over since the last call.
    bool take_changes() { return changed_.exchange(false); }
    size_t line_count() const;
    // Up to n lines from line `first` on (the last one may still be growing).
    std::vector<std::string> lines(size_t first, size_t n) const;
    // Characters of the longest line handed over so far (for the horizontal scroll bar).
    size_t widest_line() const;

    // How often the job hands its text over.
    static constexpr std::chrono::milliseconds hand_over_interval{20};

private:
    void hand_over(); // with lock_ held

    // The job's side, touched by the job's thread only.
    std::vector<std::string> finished_; // lines ended since the last hand-over
    std::string current_;               // the line being drawn
    std::chrono::steady_clock::time_point last_hand_over_{};

    // Shared.
    mutable std::mutex lock_;
    std::deque<std::string> lines_{std::string()}; // the last one is the line being drawn
    size_t max_lines_;
    size_t widest_ = 0;
    std::atomic<bool> changed_{false};
};
