// The worker thread: one job at a time, a kill that ends the job like a failure at its next log
// call, and the hand-back that lets the next job start.
#include "support/test_support.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "core/pool.h"
#include "jobs/job_thread.h"

namespace {

std::atomic<bool> converting{false};

int convert_until_killed(Conversion& c, const std::string&, const std::string&)
{
    converting = true;
    for (;;) {
        pool_alloc(c.pool, 16);
        log_print(c.log, "row\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

int convert_done(Conversion& c, const std::string&, const std::string&) { return log_print(c.log, "done\n"); }

class Recorder : public JobFrontEnd {
public:
    LogWindow* open_log_window(const char*) override { return &win; }
    void report(const char* text, JobOutcome outcome) override
    {
        reports += text;
        if (outcome == JobOutcome::killed) reports += " (killed)";
    }
    kxtest::FakeWindow win;
    std::string reports;
};

std::atomic<int> ended{0};
void note_end(void*) { ++ended; }

class JobThreadTest : public kxtest::WorkDirTest {
protected:
    void wait_for_end(int count)
    {
        for (int i = 0; i < 5000 && ended < count; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_EQ(ended, count);
        jobs.finish();
    }
    JobThread jobs;
};

TEST_F(JobThreadTest, KillEndsTheJobAndTheNextOneStarts)
{
    Recorder front;
    ended = 0;
    EXPECT_FALSE(jobs.kill()); // "No thread running"
    ASSERT_EQ(jobs.start(settings, JobMode::convert, front, &note_end, nullptr, JobPhases{convert_until_killed}), JobStart::started);
    while (!converting) std::this_thread::yield();
    EXPECT_EQ(jobs.start(settings, JobMode::convert, front, &note_end, nullptr), JobStart::already_running);
    EXPECT_TRUE(jobs.kill());
    wait_for_end(1);
    EXPECT_EQ(front.reports, "Error occured! (killed)");
    EXPECT_NE(front.win.text.find("Error: Job killed by the user!!"), std::string::npos);
    EXPECT_FALSE(jobs.running());

    // The next job is a new one: it runs to its end.
    ASSERT_EQ(jobs.start(settings, JobMode::convert, front, &note_end, nullptr, JobPhases{convert_done}), JobStart::started);
    wait_for_end(2);
    EXPECT_EQ(front.reports, "Error occured! (killed)Conversion finished!");
    EXPECT_FALSE(jobs.kill_requested());
}

} // namespace
