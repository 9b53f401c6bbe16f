// The log window's text between the job and the window: the job's thread draws into it as a
// LogWindow, the dialog's thread paints from it. The job never waits for the window and never
// sends it anything: it appends under a short lock and marks the text changed; the window looks
// for changes on a timer, so a job that logs fast cannot flood the dialog's message queue.
#pragma once

#include <atomic>
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
    void draw_text(std::string_view text) override;
    void move_to_line(int y) override;
    void scroll_up(int) override {} // the window shows the newest lines itself
    void repaint() override { changed_ = true; }

    // The painter's side. True (once) when text was drawn since the last call.
    bool take_changes() { return changed_.exchange(false); }
    size_t line_count() const;
    // Up to n lines from line `first` on.
    std::vector<std::string> lines(size_t first, size_t n) const;

private:
    mutable std::mutex lock_;
    std::deque<std::string> lines_{std::string()};
    size_t max_lines_;
    std::atomic<bool> changed_{false};
};
