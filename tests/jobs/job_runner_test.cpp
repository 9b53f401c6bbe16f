// The job runner: which phases run for each mode, what a failed phase logs and skips, the pool
// sweeps, the log file, and the one final message.
#include "support/test_support.h"

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "buzz/bmx_reader.h"
#include "core/pool.h"
#include "jobs/job_runner.h"
#include "settings/settings.h"
#include "song/song.h"

namespace {

class FakeFrontEnd : public JobFrontEnd {
public:
    LogWindow* open_log_window(const char* title) override
    {
        titles += title;
        return &win;
    }
    FILE* open_log_file() override { return std::fopen("job.log", "w"); }
    void report(const char* text) override
    {
        reports += text;
        stream_at_report = log_state.log_stream;
    }
    kxtest::FakeWindow win;
    std::string titles, reports;
    FILE* stream_at_report = reinterpret_cast<FILE*>(1);
};

// What the stand-in phases saw.
struct Calls {
    std::string converted, merged;
    int pool_count_at_merge = -1;
    int merging = 0;
};
Calls calls;

int convert_ok(const char* in, const char* out)
{
    calls.converted += std::string(in) + ">" + out;
    pool_alloc(100);
    log_print("converted\n");
    return 1;
}
int convert_fails(const char* in, const char*)
{
    calls.converted += in;
    pool_alloc(100);
    song.wave_sources.push_back(open_file("gmc_01.xi", "wb"));
    job_abort("Cannot open input file!!");
}
int convert_throws(const char*, const char*) { throw std::runtime_error("unexpected"); }
void merge_ok(const char* first, const char* second, const char* out)
{
    calls.merged += std::string(first) + "+" + (second ? second : "(none)") + ">" + out;
    calls.pool_count_at_merge = pool.count;
    pool_alloc(10);
}
int is_merging() { return calls.merging; }

class JobRunner : public kxtest::WorkDirTest {
protected:
    void SetUp() override
    {
        WorkDirTest::SetUp();
        calls = Calls();
        job_phases = JobPhases{convert_ok, merge_ok, is_merging};
        settings_set_text(settings.input_file, "tune.xm");
    }
    void TearDown() override
    {
        job_phases = JobPhases();
        reader_state.list_generators_only = 0;
        WorkDirTest::TearDown();
    }
    FakeFrontEnd fe;
};

TEST_F(JobRunner, EachModesPhasesAndFinalText)
{
    struct Case {
        int mode;
        int (*convert)(const char*, const char*);
        int use_convout, merging, result;
        const char *converted, *merged, *title, *text, *report;
    };
    const Case cases[] = {
        {1, convert_ok, 2, 0, 1, "tune.xm>kestrix.bmx", "", "Conversion Log", "converted\n",
         "Conversion finished!"},
        {1, convert_fails, 2, 0, 0, "tune.xm", "", "Conversion Log",
         "Error: Cannot open input file!!\n\nError during conversion", "Error occured!"},
        {1, convert_throws, 2, 0, 0, "", "", "Conversion Log",
         "Error: unexpected\n\nError during conversion", "Error occured!"},
        {3, convert_fails, 1, 0, 0, "tune.xm", "", "Conversion Log",
         "Error: Cannot open input file!!\n\nError during conversion", "Error occured!"},
        {3, convert_ok, 1, 0, 3, "tune.xm>kestrix.bmx", "mpx1.bmx+kestrix.bmx>morphix.bmx",
         "Conversion Log", "converted\n\nConversion terminated, now merging files:\n",
         "Conversion and merging finished!"},
        {2, convert_ok, 2, 0, 2, "", "mpx1.bmx+(none)>morphix.bmx", "Merging Log", "",
         "Transformation finished!"},
        {2, convert_ok, 0, 1, 2, "", "mpx1.bmx+mpx2.bmx>morphix.bmx", "Merging Log", "",
         "Merging finished!"},
        {2, convert_ok, 1, 1, 2, "", "mpx1.bmx+kestrix.bmx>morphix.bmx", "Merging Log", "",
         "Merging finished!"},
        {0, convert_ok, 2, 0, 0, "", "", "", "", "Error occured!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << " " << c.report);
        calls = Calls();
        calls.merging = c.merging;
        job_phases.convert = c.convert;
        settings.use_convout = c.use_convout;
        reader_state.list_generators_only = 1;
        std::filesystem::remove("job.log");
        FakeFrontEnd f;
        EXPECT_EQ(run_job(c.mode, f), c.result);
        EXPECT_EQ(calls.converted, c.converted);
        EXPECT_EQ(calls.merged, c.merged);
        EXPECT_EQ(calls.pool_count_at_merge, calls.merged.empty() ? -1 : 0); // swept in between
        EXPECT_EQ(f.titles, c.title);
        EXPECT_EQ(f.win.text, c.text);
        EXPECT_EQ(kxtest::read_text("job.log"), c.text);
        EXPECT_EQ(f.stream_at_report, nullptr); // the log file is closed before the final text
        EXPECT_EQ(f.reports, c.report);
        EXPECT_TRUE(song.wave_sources.empty()); // every stream of the job is closed
        EXPECT_EQ(pool.count, 0);
        EXPECT_EQ(pool.total, 0);
        EXPECT_EQ(reader_state.list_generators_only, 0);
        EXPECT_EQ(log_state.window, nullptr); // the front end's window is forgotten
    }
}

// The program's own merge in an empty directory fails and says so.
TEST_F(JobRunner, RealMergeFailsCleanly)
{
    job_phases = JobPhases();
    EXPECT_EQ(run_job(2, fe), 0); // there is no mpx1.bmx
    EXPECT_TRUE(fe.win.text.starts_with("\n Could not open first Inputfile: mpx1.bmx")) << fe.win.text;
    EXPECT_TRUE(fe.win.text.ends_with("\nError during merging"));
    EXPECT_EQ(fe.reports, "Error occured!");
}

} // namespace
