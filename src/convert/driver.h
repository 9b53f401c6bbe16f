// Conversion driver: input kind, outside converters, reading passes, machine layout, writing.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/byteio.h"
#include "platform/platform.h"

// What the driver keeps for the running conversion. The streams are owned here, so a job that
// ends with job_abort closes them while it unwinds.
struct DriverState {
    File input;                // the file being read (the module, the XM a converter made, ...)
    platform::ScratchFile output; // the song being written, under its scratch name
    std::string output_name;   // the name the finished song gets
    std::vector<std::string> scratch_files; // an outside converter's XM and input, removed at the end
    unsigned scratch_counter = 0;           // numbers scratch names (never reset: names stay unique)
    char converted_name[256] = {}; // the XM an outside converter makes, as its naming rule names it
    int64_t input_length = 0;  // bytes of the input file, for the progress
    int native_midi = 0;       // a MIDI file read by the program itself
    // Progress of the running conversion for front ends: phase 0 idle, 1 first pass, 2 counting
    // pass, 3 second pass, 4 writing.
    int phase = 0;
    int phase_total = 0;       // phases this conversion runs (3 or 4)
    int phases_done = 0;
};

extern DriverState driver_state;

// Converts `input` into the song `output`. Returns 1 when a song was converted, 0 when the input
// was a song file that was only listed. Fatal errors end the job through job_abort.
int convert(const char* input, const char* output);

// Closes the conversion's streams and forgets them; a song that was not finished is removed, so
// an existing file of the output's name stays as it was. The runner calls it after a failed
// conversion; convert calls it on every way out.
void driver_forget_output();

// The open input stream of the running conversion (an XI conversion's writer reads it), or null.
FILE* driver_input_stream();

// Decides the input kind by the recognisers of input_formats.h (the name, overruled by a content
// that clearly says another kind) and sets the song's input_kind, converter_input and
// current_input.
void detect_input_kind(const char* input);

// Starts an outside converter ("it2xm", "mod2xm", "easyxmid"; the platform's suffix is added),
// looked for in the current directory, beside the running executable, then on PATH, with the
// program name as its first argument, and waits for it. Its exit code, or -1 when it cannot be
// started.
int run_outside_converter(const char* program, const char* const* args, int arg_count);

// dotsplit 2, after the counting pass: numbers each instrument's channels as tracks, gives every
// instrument that is played a machine and drops the others from machine_count.
void assign_instrument_machines();

// The layout after the first pass: checks the machine and track counts against the target
// machine and sane bounds, then builds machine_table and clears every pattern of every machine.
// Needs machine_descriptions loaded (record dopfun + 1), machine_count, pattern_count and the
// pattern lines set.
void lay_out_machines();

// Overall progress of the running conversion, 0..1, or -1 when none runs.
double driver_progress();
