// Log sink: filtering and forcing, progress dots, the window's line logic, the log file copy and
// job_abort.
#include "support/test_support.h"

#include <cstdio>
#include <string>

#include "core/job_runner.h"
#include "core/pool.h"
#include "settings/settings.h"

namespace {

class LogSink : public kxtest::WorkDirTest {
protected:
    void SetUp() override
    {
        WorkDirTest::SetUp();
        settings.lwind_dy = 400;
        log_state.open_window = [this](const char*) { return &win; };
        log_window_open("Conversion Log");
    }
    kxtest::FakeWindow win;
};

TEST_F(LogSink, ForceShowsOneMessageWhileTheLogIsOff)
{
    log_state.log_enabled = 0;
    EXPECT_EQ(log_print("hidden"), -1);
    log_state.log_force = 1;
    EXPECT_EQ(log_print("shown"), 5);
    EXPECT_EQ(log_state.log_force, 0);
    EXPECT_EQ(log_print("hidden again"), -1);
    log_state.log_force = 2; // a warning and its detail line
    log_print("warn ");
    log_print("detail");
    log_print("not this");
    EXPECT_EQ(win.text, "shownwarn detail");
}

TEST_F(LogSink, ForceCountsDownOnEveryCall)
{
    log_state.log_force = 3;
    log_print("a"); // shown anyway, still counts
    EXPECT_EQ(log_state.log_force, 2);
    log_state.log_enabled = 0;
    log_print("b");
    log_print("c");
    log_print("d");
    EXPECT_EQ(log_state.log_force, 0);
    EXPECT_EQ(win.text, "abc");
}

TEST_F(LogSink, DotsWhileSuppressed)
{
    log_state.log_enabled = 0;
    log_state.log_dot_interval = 100;
    for (int i = 0; i < 99; ++i) log_print("x");
    EXPECT_EQ(win.text, "");
    log_print("x");
    EXPECT_EQ(win.text, ".");
    EXPECT_EQ(log_state.log_dot_count, 0u);
    for (int i = 0; i < 100; ++i) log_print("x");
    EXPECT_EQ(win.text, "..");
    // Shown text does not count towards a dot.
    log_state.log_enabled = 1;
    log_print("y");
    EXPECT_EQ(log_state.log_dot_count, 0u);
}

// Only a leading and a trailing newline of the format start lines; other newlines are drawn.
TEST_F(LogSink, NewlineRules)
{
    log_print("one");
    log_print("\ntwo\n");
    EXPECT_EQ(win.text, "one\ntwo\n");
    EXPECT_EQ(win.ys, (std::vector<int>{15, 30}));
    log_print("a\nb");
    log_print("%s\n", "arg\n"); // the argument's newline is text; the format's ends the line
    log_print("\n");
    EXPECT_EQ(win.text, "one\ntwo\na\nbarg\n\n\n");
    EXPECT_EQ(win.ys, (std::vector<int>{15, 30, 45, 60}));
}

TEST_F(LogSink, ScrollsNearTheBottom)
{
    settings.lwind_dy = 100; // scroll once y reaches 55; the new line is at y 40
    log_window_open("Merging Log");
    log_print("\n");
    log_print("\n");
    log_print("\n");
    log_print("\n");
    EXPECT_EQ(win.ys, (std::vector<int>{15, 30, 45, 40}));
    EXPECT_EQ(win.text, "\n\n\n^\n");
    EXPECT_EQ(win.scrolls, 15);
}

// One call's text is cut to 255 bytes and never overflows the buffer, in the window and in the
// log file alike.
TEST_F(LogSink, LongTextIsCut)
{
    std::string big(1000, 'z');
    EXPECT_EQ(log_print("%s\n", big.c_str()), 255);
    EXPECT_EQ(win.text, std::string(255, 'z') + "\n");

    std::FILE* f = std::fopen("log.txt", "w");
    ASSERT_NE(f, nullptr);
    log_state.log_stream = f;
    log_print("%s", big.c_str());
    log_print("\nLine %d\n", 2);
    std::fclose(f);
    log_state.log_stream = nullptr;
    EXPECT_EQ(kxtest::read_text("log.txt"), std::string(255, 'z') + "\nLine 2\n");
}

TEST_F(LogSink, NothingToWriteTo)
{
    log_window_open(nullptr);
    EXPECT_EQ(log_state.window, nullptr);
    EXPECT_EQ(log_print("text"), -1);
}

TEST_F(LogSink, AbortLogsAndUnwinds)
{
    EXPECT_FALSE(run_guarded([] { job_abort("boom"); }));
    EXPECT_EQ(win.text, "Error: boom\n");
    log_state.log_enabled = 0;
    EXPECT_FALSE(run_guarded([] { job_abort("quiet"); })); // forced through
    EXPECT_FALSE(run_guarded([] { job_abort(" "); }));     // not echoed
    EXPECT_EQ(win.text, "Error: boom\nError: quiet\n");
    EXPECT_TRUE(run_guarded([] {}));
}

TEST_F(LogSink, StateReset)
{
    log_state.log_enabled = 0;
    log_state.log_force = 4;
    log_state.log_dot_count = 9;
    log_state.log_dot_interval = 40;
    pool_alloc(8);
    MemChunk* leftover = pool.head;
    job_state_reset();
    EXPECT_EQ(log_state.log_enabled, 1);
    EXPECT_EQ(log_state.log_force, 0);
    EXPECT_EQ(log_state.log_dot_count, 0u);
    EXPECT_EQ(log_state.log_dot_interval, 0u);
    EXPECT_EQ(pool.head, nullptr);
    EXPECT_EQ(pool.total, 0);
    EXPECT_EQ(pool.count, 0);
    pool.head = leftover; // give the chunk back so the sweep releases it
    pool.total = 24;
    pool.count = 1;
}

} // namespace
