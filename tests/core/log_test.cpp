// Log sink: the window's line logic and the log file copy.
#include "support/test_support.h"

#include <cstdio>

#include "jobs/job_runner.h"

namespace {

using LogSink = kxtest::LogWindowTest;

// Only a leading and a trailing newline of the format start lines; other newlines are drawn, and
// the log file gets the text unchanged. The window scrolls by a line once the next line would
// reach lwind_dy - 45. One call's text is cut to 255 bytes, never overflowing the buffer; a cut
// text loses its trailing newline, but the line still ends.
TEST_F(LogSink, LinesScrollingAndTheLogFile)
{
    std::FILE* f = std::fopen("log.txt", "w");
    ASSERT_NE(f, nullptr);
    log.log_stream = f;
    log.window_height = 105; // scrolls once y reaches 60; the new line is then at y 45
    log_print(log, "one");
    log_print(log, "\ntwo\n");
    log_print(log, "a\nb");
    log_print(log, "%s\n", "arg\n"); // the argument's newline is text; the format's ends the line
    log_print(log, "\n");
    log_print(log, "%s", "c\n");
    const std::string z255(255, 'z');
    EXPECT_EQ(log_print(log, "%s\n", z255.c_str()), 255);
    std::fclose(f);
    log.log_stream = nullptr;
    EXPECT_EQ(win.text, "one\ntwo\na\nbarg\n\n^\nc\n" + z255 + "^\n");
    EXPECT_EQ(win.ys, (std::vector<int>{15, 30, 45, 45, 45}));
    EXPECT_EQ(win.scrolls, 30);
    EXPECT_EQ(kxtest::read_text("log.txt"), "one\ntwo\na\nbarg\n\n\nc\n" + z255);
}

} // namespace
