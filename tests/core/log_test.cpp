// Log sink: filtering and forcing, progress dots, the window's line logic, the log file copy and
// job_abort.
#include "support/test_support.h"

#include <cstdio>
#include <string>

#include "jobs/job_runner.h"
#include "settings/settings.h"

namespace {

class LogSink : public kxtest::WorkDirTest {
protected:
    void SetUp() override
    {
        WorkDirTest::SetUp();
        // A 100-pixel window scrolls once y reaches 55; the new line is then at y 40.
        log_state.open_window = [this](const char*) { return &win; };
        log_window_open("Conversion Log", 100);
    }
    kxtest::FakeWindow win;
};

// A forced message shows while the log is off; the count goes down on every call, shown or not.
TEST_F(LogSink, ForcingCountsDown)
{
    log_state.log_force = 2;
    log_print("a");
    EXPECT_EQ(log_state.log_force, 1);
    log_state.log_enabled = 0;
    EXPECT_EQ(log_print("b"), 1);
    EXPECT_EQ(log_print("hidden"), -1);
    log_state.log_force = 2; // a warning and its detail line
    log_print("warn ");
    log_print("detail");
    log_print("not this");
    EXPECT_EQ(log_state.log_force, 0);
    EXPECT_EQ(win.text, "abwarn detail");
}

TEST_F(LogSink, DotsWhileSuppressed)
{
    log_state.log_enabled = 0;
    log_state.log_dot_interval = 100;
    for (int i = 0; i < 99; ++i) log_print("x");
    EXPECT_EQ(win.text, "");
    log_print("x");
    EXPECT_EQ(win.text, ".");
    for (int i = 0; i < 100; ++i) log_print("x");
    EXPECT_EQ(win.text, "..");
    log_state.log_enabled = 1; // shown text does not count towards a dot
    log_print("y");
    EXPECT_EQ(log_state.log_dot_count, 0u);
}

// Only a leading and a trailing newline of the format start lines; other newlines are drawn.
// The window scrolls by a line once the next line would reach lwind_dy - 45.
TEST_F(LogSink, NewlineRulesAndScrolling)
{
    log_print("one");
    log_print("\ntwo\n");
    log_print("a\nb");
    log_print("%s\n", "arg\n"); // the argument's newline is text; the format's ends the line
    log_print("\n");
    EXPECT_EQ(win.text, "one\ntwo\na\nbarg\n\n^\n");
    EXPECT_EQ(win.ys, (std::vector<int>{15, 30, 45, 40}));
    EXPECT_EQ(win.scrolls, 15);
}

// One call's text is cut to 255 bytes and never overflows the buffer, in the window and in the
// log file alike.
TEST_F(LogSink, LongTextIsCut)
{
    std::string big(1000, 'z');
    std::FILE* f = std::fopen("log.txt", "w");
    ASSERT_NE(f, nullptr);
    log_state.log_stream = f;
    EXPECT_EQ(log_print("%s", big.c_str()), 255);
    log_print("\nLine %d\n", 2);
    std::fclose(f);
    log_state.log_stream = nullptr;
    EXPECT_EQ(win.text, std::string(255, 'z') + "\nLine 2\n");
    EXPECT_EQ(kxtest::read_text("log.txt"), std::string(255, 'z') + "\nLine 2\n");
}

TEST_F(LogSink, AbortLogsAndUnwinds)
{
    EXPECT_FALSE(run_guarded([] { job_abort("boom"); }));
    log_state.log_enabled = 0;
    EXPECT_FALSE(run_guarded([] { job_abort("quiet"); })); // forced through
    EXPECT_FALSE(run_guarded([] { job_abort(" "); }));     // not echoed
    EXPECT_EQ(win.text, "Error: boom\nError: quiet\n");
    EXPECT_TRUE(run_guarded([] {}));
}

} // namespace
