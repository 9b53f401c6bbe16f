// The outside converters a conversion runs before it reads its input (easyxmid, it2xm, mod2xm).
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"
#include "song/conversion.h"

// The scratch files of one converter run (the module's copy, the XM, the XM's unfinished name).
struct ConverterScratch {
    std::vector<std::string> files;
    ~ConverterScratch() { remove_all(); }
    void remove_all();
};

// Starts an outside converter ("it2xm", "mod2xm", "easyxmid"; the platform's suffix is added),
// looked for in the current directory, beside the running executable, then on PATH, with the
// program name as its first argument, and waits for it. Its exit code, or -1 when it cannot be
// started. With `errors` what it writes to its standard error is kept there instead of shown; with
// `running` (the job's) the program is kept there while it runs, so that killing the job ends it.
int run_outside_converter(const char* program, const char* const* args, int arg_count, std::string* errors = nullptr,
                          platform::RunningProgram* running = nullptr);

// Runs the converter the input's kind calls for (converter_program), if any, with its XM
// reserved under a scratch name beside `output` (its files kept in `scratch`), and names the
// song's current_input as the converter's own naming rule names its XM ("midrix.xm", "song.xm"
// for "song.it"). Returns the file to read: the converter's XM, or `input` itself. A converter
// that cannot start or fails ends the job with its lines in the log.
std::string run_input_converter(Conversion& c, ConverterScratch& scratch, const char* input, const char* output);
