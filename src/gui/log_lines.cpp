// Log text shared by the job's thread and the log window.
#include "gui/log_lines.h"

#include <cstddef>

void LogLines::move_to_line(int)
{
    finished_.push_back(std::move(current_));
    current_.clear();
    // Lines the window would drop anyway are not held while the painter keeps the lock.
    if (finished_.size() >= 2 * max_lines_)
        finished_.erase(finished_.begin(), finished_.begin() + std::ptrdiff_t(max_lines_));
}

void LogLines::repaint()
{
    const auto now = std::chrono::steady_clock::now();
    if (now - last_hand_over_ < hand_over_interval && finished_.size() < max_lines_) return;
    std::unique_lock<std::mutex> g(lock_, std::try_to_lock);
    if (!g.owns_lock()) return; // the painter reads: next time
    hand_over();
    last_hand_over_ = now;
}

void LogLines::flush()
{
    std::lock_guard<std::mutex> g(lock_);
    hand_over();
}

void LogLines::hand_over()
{
    for (std::string& l : finished_) {
        if (l.size() > widest_) widest_ = l.size();
        lines_.back() = std::move(l);
        lines_.emplace_back();
    }
    finished_.clear();
    lines_.back() = current_;
    if (current_.size() > widest_) widest_ = current_.size();
    while (lines_.size() > max_lines_) lines_.pop_front();
    changed_ = true;
}

size_t LogLines::line_count() const
{
    std::lock_guard<std::mutex> g(lock_);
    return lines_.size();
}

std::vector<std::string> LogLines::lines(size_t first, size_t n) const
{
    std::lock_guard<std::mutex> g(lock_);
    std::vector<std::string> r;
    for (size_t i = first; i < lines_.size() && r.size() < n; ++i) r.push_back(lines_[i]);
    return r;
}

size_t LogLines::widest_line() const
{
    std::lock_guard<std::mutex> g(lock_);
    return widest_;
}
