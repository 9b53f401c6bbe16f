// The job runner: which phases run for each mode, what a failed phase logs and skips, the pool
// sweeps, the log file, and the one final message.
#include "support/test_support.h"

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "convert/song.h"
#include "core/job_runner.h"
#include "core/pool.h"
#include "settings/settings.h"
#include "transform/bmx_reader.h"

namespace {

class FakeFrontEnd : public JobFrontEnd {
public:
    LogWindow* open_log_window(const char* title) override
    {
        titles.push_back(title);
        return &win;
    }
    FILE* open_log_file() override { return log_name ? std::fopen(log_name, "w") : nullptr; }
    void report(const char* text) override
    {
        reports.push_back(text);
        stream_at_report = log_state.log_stream;
    }
    kxtest::FakeWindow win;
    std::vector<std::string> titles;
    std::vector<std::string> reports;
    const char* log_name = nullptr;
    FILE* stream_at_report = reinterpret_cast<FILE*>(1);
};

// What the stand-in phases saw.
struct Calls {
    std::vector<std::string> converted;
    std::vector<std::string> merged;
    int pool_count_at_merge = -1;
    int merging = 0;
};
Calls calls;

int convert_ok(const char* in, const char* out)
{
    calls.converted.push_back(std::string(in) + ">" + out);
    pool_alloc(100);
    log_print("converted\n");
    return 1;
}
int convert_fails(const char* in, const char*)
{
    calls.converted.push_back(in);
    pool_alloc(100);
    song.wave_temp = open_file("kestrix.tmp", "wb");
    job_abort("Cannot open input file!!");
}
int convert_throws(const char*, const char*) { throw std::runtime_error("unexpected"); }
void merge_ok(const char* first, const char* second, const char* out)
{
    calls.merged.push_back(std::string(first) + "+" + (second ? second : "(none)") + ">" + out);
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

TEST_F(JobRunner, ConversionSucceeds)
{
    reader_state.list_generators_only = 1;
    log_state.log_enabled = 0;
    EXPECT_EQ(run_job(1, fe), 1);
    EXPECT_EQ(calls.converted, (std::vector<std::string>{"tune.xm>kestrix.bmx"}));
    EXPECT_TRUE(calls.merged.empty());
    EXPECT_EQ(fe.titles, (std::vector<std::string>{"Conversion Log"}));
    EXPECT_EQ(fe.reports, (std::vector<std::string>{"Conversion finished!"}));
    EXPECT_EQ(fe.win.text, "converted\n");
    EXPECT_EQ(reader_state.list_generators_only, 0);
    EXPECT_EQ(pool.count, 0);
    EXPECT_EQ(log_state.window, nullptr); // the front end's window is forgotten after the job
}

TEST_F(JobRunner, ConversionFails)
{
    job_phases.convert = convert_fails;
    EXPECT_EQ(run_job(1, fe), 0);
    EXPECT_EQ(fe.reports, (std::vector<std::string>{"Error occured!"}));
    EXPECT_EQ(fe.win.text, "Error: Cannot open input file!!\n\nError during conversion");
    EXPECT_FALSE(song.wave_temp); // every stream of the job is closed
    EXPECT_EQ(pool.count, 0);
    EXPECT_EQ(pool.total, 0);
}

TEST_F(JobRunner, FailedConversionSkipsTheMerge)
{
    job_phases.convert = convert_fails;
    EXPECT_EQ(run_job(3, fe), 0);
    EXPECT_TRUE(calls.merged.empty());
    EXPECT_EQ(fe.reports, (std::vector<std::string>{"Error occured!"}));
    EXPECT_EQ(fe.win.text.find("now merging"), std::string::npos);
}

TEST_F(JobRunner, ConvertThenMergeWithTheConversionsOutput)
{
    settings.use_convout = 1;
    settings_set_text(settings.output_file, "song.bmx");
    EXPECT_EQ(run_job(3, fe), 3);
    EXPECT_EQ(calls.merged, (std::vector<std::string>{"mpx1.bmx+song.bmx>morphix.bmx"}));
    EXPECT_EQ(calls.pool_count_at_merge, 0); // swept between the phases
    EXPECT_EQ(fe.titles, (std::vector<std::string>{"Conversion Log"}));
    EXPECT_EQ(fe.win.text, "converted\n\nConversion terminated, now merging files:\n");
    EXPECT_EQ(fe.reports, (std::vector<std::string>{"Conversion and merging finished!"}));
    EXPECT_EQ(pool.count, 0);
}

TEST_F(JobRunner, MergeAloneChoosesTheSecondInput)
{
    struct Case {
        int use_convout;
        int merging;
        const char* call;
        const char* text;
    };
    for (const Case& c : {Case{2, 0, "mpx1.bmx+(none)>morphix.bmx", "Transformation finished!"},
                          Case{0, 1, "mpx1.bmx+mpx2.bmx>morphix.bmx", "Merging finished!"},
                          Case{1, 1, "mpx1.bmx+kestrix.bmx>morphix.bmx", "Merging finished!"},
                          Case{7, 0, "mpx1.bmx+(none)>morphix.bmx", "Transformation finished!"}}) {
        calls = Calls();
        calls.merging = c.merging;
        FakeFrontEnd f;
        settings.use_convout = c.use_convout;
        EXPECT_EQ(run_job(2, f), 2);
        EXPECT_TRUE(calls.converted.empty());
        EXPECT_EQ(calls.merged, (std::vector<std::string>{c.call}));
        EXPECT_EQ(f.titles, (std::vector<std::string>{"Merging Log"}));
        EXPECT_EQ(f.reports, (std::vector<std::string>{c.text}));
    }
}

// With the program's own merge (not yet available) and driver, in an empty directory: both
// phases fail and say so.
TEST_F(JobRunner, RealPhasesFailCleanly)
{
    job_phases = JobPhases();
    EXPECT_EQ(run_job(2, fe), 0);
    EXPECT_NE(fe.win.text.find("Error: "), std::string::npos);
    EXPECT_EQ(fe.win.text.substr(fe.win.text.size() - 21), "\nError during merging");
    EXPECT_EQ(fe.reports, (std::vector<std::string>{"Error occured!"}));

    FakeFrontEnd g;
    settings_set_text(settings.input_file, "missing.xm");
    EXPECT_EQ(run_job(1, g), 0);
    EXPECT_EQ(g.win.text.substr(g.win.text.size() - 24), "\nError during conversion");
    EXPECT_EQ(g.reports, (std::vector<std::string>{"Error occured!"}));
}

TEST_F(JobRunner, OtherExceptionsEndThePhaseLikeAnError)
{
    job_phases.convert = convert_throws;
    EXPECT_EQ(run_job(1, fe), 0);
    EXPECT_EQ(fe.win.text, "Error: unexpected\n\nError during conversion");
    EXPECT_EQ(fe.reports, (std::vector<std::string>{"Error occured!"}));
}

TEST_F(JobRunner, LogFileGetsTheTextAndIsClosed)
{
    fe.log_name = "job.log";
    job_phases.convert = convert_fails;
    run_job(1, fe);
    EXPECT_EQ(fe.stream_at_report, nullptr); // closed before the final message
    EXPECT_EQ(log_state.log_stream, nullptr);
    EXPECT_EQ(kxtest::read_text("job.log"),
              "Error: Cannot open input file!!\n\nError during conversion");
}

TEST_F(JobRunner, ModeWithoutPhases)
{
    EXPECT_EQ(run_job(0, fe), 0);
    EXPECT_TRUE(fe.titles.empty());
    EXPECT_EQ(fe.reports, (std::vector<std::string>{"Error occured!"}));
}

} // namespace
