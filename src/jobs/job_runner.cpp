// The job runner: conversion, merge/transformation, or a conversion followed by a merge, with
// the outcome reported in one message.
#include "jobs/job_runner.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>

#include "buzz/bmx_reader.h"
#include "buzz/machines_ini.h"
#include "buzz/write_primitives.h"
#include "convert/driver.h"
#include "core/log.h"
#include "core/pool.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "song/song.h"
#include "transform/merge.h"
#include "transform/wave_tools.h"

JobPhases job_phases;

namespace {

// A phase of the job with its recovery point: a fatal error (JobAbort, already logged by
// job_abort) comes back here as false. Any other exception that escapes a phase is a fatal error
// too: it is logged like one, so that it ends the job with "Error occured!" instead of tearing
// down the whole program from the worker thread.
// Arms the kill check for the phase's duration; disarmed again before a handler below runs.
struct ArmedForKill {
    ArmedForKill() { job_cancel.armed = true; }
    ~ArmedForKill() { job_cancel.armed = false; }
    ArmedForKill(const ArmedForKill&) = delete;
    ArmedForKill& operator=(const ArmedForKill&) = delete;
};

template <class Fn>
bool run_phase(Fn&& fn)
{
    try {
        ArmedForKill armed;
        fn();
        return true;
    } catch (const JobAbort&) {
        return false;
    } catch (const std::exception& e) {
        log_state.log_force = 1;
        log_print("Error: %s\n", e.what());
        return false;
    }
}

const char* final_text(int mode, bool merged)
{
    switch (mode) {
    case 1: return "Conversion finished!";
    case 2: return merged ? "Merging finished!" : "Transformation finished!";
    case 3: return "Conversion and merging finished!";
    default: return "Error occured!";
    }
}

} // namespace

void close_all_job_streams()
{
    close_wave_sources();   // instrument files the WAVE data is read from
    driver_forget_output(); // the song being written
    wave_tools_forget();    // a WAV ripped from a listed song, not finished
    // Borrowed pointers: their streams belong to the functions that opened them.
    writer.output_stream = nullptr;
    reader_state.merge_stream = nullptr;
    reader_state.in = SectionReader();
    reader_state.pending.clear();
    for (InputSummary& s : reader_state.input_summaries) s.stream = nullptr;
}

int run_job(int job_mode, JobFrontEnd& front_end)
{
    LogState& ls = log_state;
    auto* convert_fn = job_phases.convert ? job_phases.convert : &convert;
    auto* merge_fn = job_phases.merge ? job_phases.merge : &merge_songs;
    auto* merging_fn = job_phases.is_merging ? job_phases.is_merging : &merge_is_merging;

    int mode = job_mode & 3; // the working copy; 0 once a phase has failed
    ls.open_window = [&front_end](const char* title) { return front_end.open_log_window(title); };

    // The log file is the front end's choice: the runner takes whatever it opens for this job
    // and closes it at the end.
    ls.log_stream = nullptr;
    reader_state.list_generators_only = 0;
    ls.log_enabled = 1;
    ls.log_stream = front_end.open_log_file();

    if (mode & 1) {
        // A Buzz song given to the conversion is listed; the wave tools work on it then too.
        wave_tools_start();
        reader_state.hooks = wave_tools_listing_hooks();
        bool ok = run_phase([&] {
            log_window_open("Conversion Log", settings.lwind_dy);
            const int converted = convert_fn(settings.input_file, settings.output_file);
            reader_state.hooks = nullptr;
            if (converted == 0) wave_tools_finish(); // a listed song's WAV
        });
        reader_state.hooks = nullptr;
        if (!ok) {
            mode = 0;
            ls.log_force = 1;
            log_print("\nError during conversion");
            close_all_job_streams(); // this also forgets the conversion's output stream
        }
    }

    if (mode == 3) {
        // The conversion's window stays and receives the merge's text; the merge starts with an
        // empty pool.
        log_print("\nConversion terminated, now merging files:\n");
        pool_free_all();
    }
    if (mode == 2) log_window_open("Merging Log", settings.lwind_dy);

    if (mode & 2) {
        bool ok = run_phase([&] {
            ls.log_force = 1;
            // The song a conversion read is no output of the merge that follows it.
            if ((job_mode & 1) && platform::same_file(settings.merge_output, settings.input_file)) {
                std::string msg = std::string("Can't write ") + settings.merge_output +
                                  ": is the conversion's input file; name another output";
                job_abort(msg.c_str());
            }
            load_machine_descriptions();
            const char* second = nullptr; // use_convout other than 0 and 1: transform alone
            if (settings.use_convout == 0) second = settings.merge_input2;
            if (settings.use_convout == 1) second = settings.output_file;
            merge_fn(settings.merge_input1, second, settings.merge_output);
        });
        if (!ok) {
            mode = 0;
            ls.log_force = 1;
            log_print("\nError during merging");
            close_all_job_streams();
        }
    }

    pool_free_all();
    if (ls.log_stream) front_end.close_log_file(ls.log_stream);
    ls.log_stream = nullptr;

    front_end.report(final_text(mode, mode == 2 && merging_fn() != 0));

    // The window belongs to the front end and ends with the job.
    ls.window = nullptr;
    ls.open_window = nullptr;
    return mode;
}

bool list_generators(const char* song, std::vector<GeneratorEntry>& out)
{
    out.clear();
    ReaderState& rs = reader_state;
    rs.list_generators_only = 1;
    const bool ok = run_phase([&] {
        load_machine_descriptions();
        merge_songs(song, nullptr, nullptr);
        const InputSummary& in = rs.input_summaries[1];
        const int machines = in.machine_list ? std::min(in.machines, in.machine_list_count) : 0;
        for (int m = 0; m < machines; ++m) {
            if (in.machine_list[m].kind != 1) continue;
            GeneratorEntry g;
            g.index = m;
            std::memcpy(g.name, in.machine_list[m].name, sizeof g.name);
            out.push_back(g);
        }
    });
    if (!ok) {
        close_all_job_streams();
        out.clear();
    }
    pool_free_all();
    rs.list_generators_only = 0;
    return ok;
}

std::string generator_line(const GeneratorEntry& g)
{
    char line[48];
    std::snprintf(line, sizeof line, "%2d: %s", g.index, g.name);
    return line;
}
