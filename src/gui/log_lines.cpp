// Log text shared by the job's thread and the log window.
#include "gui/log_lines.h"

void LogLines::draw_text(std::string_view text)
{
    std::lock_guard<std::mutex> g(lock_);
    lines_.back().append(text);
}

void LogLines::move_to_line(int)
{
    std::lock_guard<std::mutex> g(lock_);
    lines_.emplace_back();
    if (lines_.size() > max_lines_) lines_.pop_front();
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
