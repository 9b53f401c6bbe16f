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

int convert_until_killed(const char*, const char*)
{
    converting = true;
    for (;;) {
        pool_alloc(16);
        log_print("row\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

class Recorder : public JobFrontEnd {
public:
    LogWindow* open_log_window(const char*) override { return &win; }
    void report(const char* text) override { reports += text; }
    kxtest::FakeWindow win;
    std::string reports;
};

std::atomic<int> ended{0};
void note_end(void*) { ++ended; }

class JobThreadTest : public kxtest::WorkDirTest {
protected:
    void TearDown() override
    {
        job_phases = JobPhases();
        kxtest::WorkDirTest::TearDown();
    }
    void wait_for_end(int count)
    {
        for (int i = 0; i < 5000 && ended < count; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_EQ(ended, count);
        job_thread_finish();
    }
};

TEST_F(JobThreadTest, KillEndsTheJobAndTheNextOneStarts)
{
    Recorder front;
    ended = 0;
    job_phases.convert = &convert_until_killed;
    EXPECT_FALSE(job_thread_kill()); // "No thread running"
    ASSERT_EQ(job_thread_start(1, front, &note_end, nullptr), JobStart::started);
    while (!converting) std::this_thread::yield();
    EXPECT_EQ(job_thread_start(1, front, &note_end, nullptr), JobStart::already_running);
    EXPECT_TRUE(job_thread_kill());
    wait_for_end(1);
    EXPECT_EQ(front.reports, "Error occured!");
    EXPECT_NE(front.win.text.find("Error: Job killed by the user!!"), std::string::npos);
    EXPECT_EQ(pool.count, 0); // swept
    EXPECT_FALSE(job_thread_running());
    EXPECT_FALSE(job_thread_kill_requested());

    // The kill request is gone: the next job runs to its end.
    job_phases.convert = [](const char*, const char*) { return log_print("done\n"); };
    ASSERT_EQ(job_thread_start(1, front, &note_end, nullptr), JobStart::started);
    wait_for_end(2);
    EXPECT_EQ(front.reports, "Error occured!Conversion finished!");
}

} // namespace
