// Log sink: filtering and forcing, progress dots, the window's line logic, the log file copy and
// job_abort.
#include "support/test_support.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "jobs/job_runner.h"

namespace {

using LogSink = kxtest::LogWindowTest;

// A forced or warning call shows while the log is off; a plain one does not.
// Suppressed calls, made or skipped after log_shows, make a dot every log_dot_interval;
// job_abort's message is forced through.
TEST_F(LogSink, ForcingDotsAndAbort)
{
    log_forced(log, "a");
    log.log_enabled = 0;
    EXPECT_EQ(log_warning(log, "b"), 1);
    EXPECT_EQ(log_print(log, "hidden"), -1);
    log.log_dot_interval = 3;
    // A caller that asks log_shows first and skips the call counts it towards a dot all the same.
    for (int i = 0; i < 7; ++i)
        if (i % 2 || log_shows(log)) log_print(log, "x");
    EXPECT_FALSE(run_guarded(log, [&] { job_abort("quiet"); }));
    EXPECT_FALSE(run_guarded(log, [&] { job_abort(" "); })); // not echoed
    log.log_enabled = 1;
    EXPECT_TRUE(log_shows(log));
    // A failure the reader knows by its text concerns the file its caller reads; one that names
    // its own file keeps it. A window that does not show failures gets none of their lines.
    Failure f;
    EXPECT_FALSE(run_guarded(log, [&] { about_file(FailedFile::first_song, "a.bmx", [] { job_abort("\nboom"); }); }, &f));
    EXPECT_EQ(f.what, FailedFile::first_song);
    EXPECT_EQ(f.file + ": " + f.reason, "a.bmx: boom");
    log.window_shows_failure = false;
    EXPECT_FALSE(run_guarded(log, [&] {
        about_file(FailedFile::input, "in.xm", [] { job_abort(file_failure(FailedFile::output, "o.bmx", ENOSPC, "full")); });
    }, &f));
    log.window_shows_failure = true;
    EXPECT_EQ(f.file + ": " + f.reason + " / " + f.text, "o.bmx: " + std::string(std::strerror(ENOSPC)) + " / full");
    EXPECT_EQ(win.text, "ab..\nError: quiet\nError: boom\n"); // an error starts its own line
    EXPECT_EQ(log.log_dot_count, 1u); // shown text does not count towards a dot
    EXPECT_TRUE(run_guarded(log, [&] {}));
    // A kill reaches a loop that only asks log_shows within a round of suppressed calls.
    log.log_enabled = 0;
    cancel.armed = cancel.requested = true;
    EXPECT_FALSE(run_guarded(log, [&] { for (unsigned i = 0; i < log_quiet_round; ++i) log_shows(log); }));
}

// Only a leading and a trailing newline of the format start lines; other newlines are drawn, and
// the log file gets the text unchanged. The window scrolls by a line once the next line would
// reach lwind_dy - 45. A text longer than the usual buffer (a long path) is written whole.
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
    const std::string z300(300, 'z');
    EXPECT_EQ(log_print(log, "%s\n", z300.c_str()), 301);
    std::fclose(f);
    log.log_stream = nullptr;
    EXPECT_EQ(win.text, "one\ntwo\na\nbarg\n\n^\nc\n" + z300 + "^\n");
    EXPECT_EQ(win.ys, (std::vector<int>{15, 30, 45, 45, 45}));
    EXPECT_EQ(win.scrolls, 30);
    EXPECT_EQ(kxtest::read_text("log.txt"), "one\ntwo\na\nbarg\n\n\nc\n" + z300 + "\n");
}

} // namespace
