// The job runner: which phases run for each mode, what a failed phase logs and skips, the pool
// sweeps, the log file, and the one final message.
#include "support/test_support.h"

#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>

#include "buzz/bmx_reader.h"
#include "core/pool.h"
#include "jobs/job_files.h"
#include "jobs/job_runner.h"
#include "settings/settings.h"
#include "song/song.h"

namespace {

// The job as the front end and the stand-in phases saw it, in order.
std::string trace;
int merging = 0;

class FakeFrontEnd : public JobFrontEnd {
public:
    LogWindow* open_log_window(const char* title) override
    {
        trace += std::string("[") + title + "] ";
        return &win;
    }
    FILE* open_log_file() override { return std::fopen("job.log", "w"); }
    void report(const char* text, JobOutcome) override
    {
        EXPECT_EQ(job->log.log_stream, nullptr); // the log file is closed before the final text
        trace += text;
    }
    kxtest::FakeWindow win;
    const Job* job = nullptr;
};

int convert_ok(Conversion& c, const std::string& in, const std::string& out)
{
    trace += in + ">" + out + " ";
    pool_alloc(c.pool, 100);
    log_print(c.log, "converted\n");
    return 1;
}
int convert_fails(Conversion& c, const std::string& in, const std::string&)
{
    trace += in + " ";
    pool_alloc(c.pool, 100);
    c.song.wave_sources.push_back(open_file("gmc_01.xi", "wb"));
    job_abort("Cannot open input file!!");
}
int convert_throws(Conversion&, const std::string&, const std::string&) { throw std::runtime_error("unexpected"); }
int merge_ok(Job& job, const char* first, const char* second, const char* out)
{
    EXPECT_EQ(job.pool.count, 0); // the conversion's blocks were swept before
    trace += std::string(first) + "+" + (second ? second : "(none)") + ">" + out + " ";
    pool_alloc(job.pool, 10);
    return merging;
}

using JobRunner = kxtest::WorkDirTest;

TEST_F(JobRunner, EachModesPhasesAndFinalText)
{
    const char* const failed = "Error: Cannot open input file!!\n\nError during conversion";
    struct Case {
        JobMode mode;
        int (*convert)(Conversion&, const std::string&, const std::string&);
        int use_convout, merging;
        JobMode result;
        const char *trace, *text;
    };
    const Case cases[] = {
        {JobMode::convert, convert_ok, 2, 0, JobMode::convert, "[Conversion Log] tune.xm>kestrix.bmx Conversion finished!", "converted\n"},
        {JobMode::convert, convert_fails, 2, 0, JobMode::none, "[Conversion Log] tune.xm Error occured!", failed},
        {JobMode::convert, convert_throws, 2, 0, JobMode::none, "[Conversion Log] Error occured!", "Error: unexpected\n\nError during conversion"},
        {JobMode::convert_then_merge, convert_fails, 1, 0, JobMode::none, "[Conversion Log] tune.xm Error occured!", failed},
        {JobMode::convert_then_merge, convert_ok, 1, 0, JobMode::convert_then_merge,
         "[Conversion Log] tune.xm>kestrix.bmx mpx1.bmx+kestrix.bmx>morphix.bmx Conversion and merging finished!",
         "converted\n\nConversion terminated, now merging files:\n"},
        {JobMode::merge, convert_ok, 2, 0, JobMode::merge, "[Merging Log] mpx1.bmx+(none)>morphix.bmx Transformation finished!", ""},
        {JobMode::merge, convert_ok, 0, 1, JobMode::merge, "[Merging Log] mpx1.bmx+mpx2.bmx>morphix.bmx Merging finished!", ""},
        {JobMode::none, convert_ok, 2, 0, JobMode::none, "Error occured!", ""},
    };
    settings.input_file = "tune.xm";
    for (const Case& k : cases) {
        SCOPED_TRACE(k.trace);
        trace.clear();
        merging = k.merging;
        settings.use_convout = SecondSong(k.use_convout);
        std::filesystem::remove("job.log");
        FakeFrontEnd f;
        Job job(settings, f);
        f.job = &job;
        job.phases = JobPhases{k.convert, merge_ok};
        EXPECT_EQ(job.run(k.mode), k.result);
        EXPECT_EQ(trace, k.trace);
        EXPECT_EQ(f.win.text, k.text);
        EXPECT_EQ(kxtest::read_text("job.log"), k.text);
        EXPECT_EQ(std::tie(job.pool.count, job.pool.total), std::make_tuple(0, 0));
        EXPECT_EQ(job.log.window, nullptr); // the front end's window is forgotten
    }
}

// A front end of its own for each job of JobsOnTwoThreads: the window and the report of one job.
class QuietFrontEnd : public JobFrontEnd {
public:
    LogWindow* open_log_window(const char*) override { return &win; }
    void report(const char* text, JobOutcome) override { final_text = text; }
    kxtest::FakeWindow win;
    std::string final_text;
};

// Two conversions and a merge run at once on three threads write the bytes they write one after
// the other: each job has its own settings, log, pool, machine descriptions and reader state.
TEST_F(JobRunner, JobsOnThreadsWriteTheBytesOfJobsInTurn)
{
    kxtest::install_machines_ini();
    std::filesystem::copy_file(kxtest::source_dir() / "examples" / "demo.xm", "demo.xm");
    struct Run {
        Settings settings;
        JobMode mode;
        const char* output;
        std::vector<uint8_t> bytes;
        std::string final_text;
    };
    Settings split = settings, plain = settings, merge = settings;
    for (Settings* s : {&split, &plain, &merge}) s->replace_files = 1;
    split.input_file = "demo.xm";
    split.dotsplit = Split::by_track;
    split.dowave = Waves::bmw;
    plain = split;
    plain.dotsplit = Split::one_machine;
    plain.dowave = Waves::none;
    merge.merge_input1 = "first.bmx";
    merge.merge_input2 = "second.bmx";
    merge.use_convout = SecondSong::merge_input2;
    merge.do_mscale1 = merge.do_mscale2 = 1;
    merge.blow_up = merge.song_repeat = 2;
    std::vector<Run> runs = {{split, JobMode::convert, "split.bmx", {}, {}}, {plain, JobMode::convert, "plain.bmx", {}, {}}, {merge, JobMode::merge, "merged.bmx", {}, {}}};
    auto run = [](Run& r, const std::string& output) {
        r.settings.output_file = output;
        r.settings.merge_output = output;
        QuietFrontEnd f;
        Job(r.settings, f).run(r.mode);
        r.final_text = f.final_text;
        r.bytes = kxtest::read_file(output);
    };

    // The merge's inputs, then every job in turn.
    run(runs[0], "first.bmx");
    run(runs[1], "second.bmx");
    for (Run& r : runs) run(r, r.output);
    for (int round = 0; round < 3; ++round) {
        std::vector<Run> at_once = runs;
        std::vector<std::thread> threads;
        for (Run& r : at_once) threads.emplace_back([&r, round, &run] { run(r, std::to_string(round) + r.output); });
        for (std::thread& t : threads) t.join();
        for (size_t i = 0; i < runs.size(); ++i) {
            SCOPED_TRACE(runs[i].output);
            EXPECT_EQ(at_once[i].final_text, runs[i].final_text);
            EXPECT_FALSE(at_once[i].bytes.empty());
            EXPECT_TRUE(at_once[i].bytes == runs[i].bytes);
        }
    }
    EXPECT_EQ(runs[0].final_text, "Conversion finished!");
    EXPECT_EQ(runs[2].final_text, "Merging finished!");
}

// Where a MIDI conversion's waves come from, decided before it runs.
TEST_F(JobRunner, MidiWaveSourceBeforeTheJob)
{
    std::filesystem::create_directory("xi");
    kxtest::Bytes().str("x").write("bank.sf2");
    settings.xi_dir = "xi/";
    struct Case {
        const char* soundfont;
        int dopchange, domidi_ext;
        bool xi_file; // xi/gmc_01.xi there
        MidiWaveSourceKind kind;
        const char* text;
    } cases[] = {
        {"bank.sf2", 0, 1, true, MidiWaveSourceKind::none, "easyxmid"},
        {"bank.sf2", 0, 0, true, MidiWaveSourceKind::soundfont, "(the 1 gmc_NN.xi files in xi/ win"},
        {"", 0, 0, true, MidiWaveSourceKind::xi_folder, "the 1 gmc_NN.xi files in xi/"},
        {"none", 1, 0, true, MidiWaveSourceKind::none, "no gmp_NN.xi files and the soundfont setting is none"},
        {"missing.sf2", 0, 0, false, MidiWaveSourceKind::soundfont, "the SoundFont missing.sf2"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.text);
        if (k.xi_file) kxtest::Bytes().str("x").write("xi/gmc_01.xi");
        else std::filesystem::remove("xi/gmc_01.xi");
        settings.soundfont = k.soundfont;
        settings.dopchange = k.dopchange;
        settings.domidi_ext = k.domidi_ext;
        const MidiWaveSource w = midi_wave_source(settings);
        EXPECT_EQ(int(w.kind), int(k.kind));
        EXPECT_NE(w.text.find(k.text), std::string::npos) << w.text;
        EXPECT_EQ(w.problem.empty(), std::string(k.soundfont) != "missing.sf2");
    }
    // Neither: a General MIDI SoundFont of this system, else how to get one.
    settings.soundfont = "";
    const MidiWaveSource w = midi_wave_source(settings);
    std::string system;
    for (const std::string& p : soundfont_places())
        if (system.empty() && std::filesystem::is_regular_file(p)) system = p;
    EXPECT_EQ(w.soundfont, system);
    EXPECT_EQ(w.found, !system.empty());
    EXPECT_EQ(w.text.find("timgm6mb-soundfont") != std::string::npos, system.empty()) << w.text;
    take_midi_wave_source(settings);
    EXPECT_EQ(settings.soundfont_found, system);
}

} // namespace
