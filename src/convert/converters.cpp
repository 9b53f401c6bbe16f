// The outside converters: easyxmid for a MIDI file on request, it2xm for IT modules, mod2xm for
// S3M, every other module format libxmp reads and on request MOD. Each writes an XM under a scratch
// name beside the output, from a scratch copy of the module there; their lines go into the job's
// log naming the user's file.
#include "convert/converters.h"

#include <cstring>
#include <string>
#include <vector>

#include "convert/input_formats.h"
#include "convert/module_formats.h"
#include "core/log.h"
#include "platform/platform.h"

namespace {

constexpr const char* midi_converter_output = "midrix.xm"; // as the song names easyxmid's XM
constexpr const char* unfinished_suffix = ".part";
constexpr int scratch_attempts = 1000; // scratch names tried before giving up

const char* base_name(const char* path)
{
    const char* b = path;
    for (const char* p = path; *p; ++p)
        if (*p == '/' || *p == '\\') b = p + 1;
    return b;
}

// A name beside the output that no other conversion uses (short, whatever the output's name).
std::string scratch_stem(const char* output) { return platform::scratch_stem(output); }

// Reserves the XM an outside converter writes beside the output: "<stem>.xm" created empty and
// exclusively. With a module to convert, the converter gets it as "<stem><ext>" (a link or copy
// beside the output), from which its naming rule gives "<stem>.xm". Returns the name to give
// the converter (the module's scratch name, or without one the XM's).
std::string reserve_converter_output(ConverterScratch& scratch, const char* output, const char* module, const std::string& ext)
{
    if (!output || !*output) job_abort("Can't open outputfile");
    if (module && !platform::file_exists(module)) job_abort("Can't open inputfile");
    for (int attempt = 0; attempt < scratch_attempts; ++attempt) {
        const std::string stem = scratch_stem(output);
        const std::string xm = stem + ".xm";
        if (!platform::create_scratch_file(xm.c_str())) {
            if (platform::name_taken(xm.c_str())) continue; // taken: the next number
            job_abort("Can't open outputfile");
        }
        scratch.files.push_back(xm);
        if (!module) return xm;
        const std::string copy = stem + ext;
        if (!platform::create_scratch_copy(module, copy.c_str())) {
            if (platform::name_taken(copy.c_str())) continue;
            job_abort("Can't open outputfile");
        }
        scratch.files.push_back(copy);
        // What the project's own converters write until their XM is complete.
        const std::string unfinished = xm + unfinished_suffix;
        platform::watch_scratch(unfinished.c_str());
        scratch.files.push_back(unfinished);
        return copy;
    }
    job_abort("Can't open outputfile");
}

// The extension the module gets for mod2xm: the one the conversion recognised it by.
std::string mod2xm_extension(const Song& s)
{
    if (s.input_kind == InputKind::s3m) return ".s3m";
    if (s.input_kind == InputKind::mod) return ".mod";
    const char* base = base_name(s.converter_input.c_str());
    const char* dot = std::strrchr(base, '.');
    return dot && dot != base ? std::string(dot) : std::string();
}

// A file name as a converter's argument: a relative name that begins with '-' (a module named
// "-x.it", or a scratch file beside an output of such a name) would be taken for an option;
// with "./" before it no converter can mistake it.
std::string converter_argument(const std::string& name)
{
    return name.starts_with('-') ? std::string(".") + platform::path_separator + name : name;
}

// Where the job keeps the converter it waits for, so that killing the job ends it.
platform::RunningProgram* job_program(Conversion& c) { return c.cancel ? &c.cancel->program : nullptr; }

// A converter's lines (its summary, or why it failed) go into the job's log, forced as the
// console showed them, each where it belongs among the job's lines; the scratch copy it read is
// named as the user's file. What a converter that succeeded says is what its XM could not hold (or
// what it changed to hold it): each line is a warning, shown in quiet mode too.
void log_converter_lines(Conversion& c, std::string text, const std::string& scratch, const char* input, bool succeeded)
{
    if (!scratch.empty())
        for (size_t at = text.find(scratch); at != std::string::npos; at = text.find(scratch, at + std::strlen(input)))
            text.replace(at, scratch.size(), input);
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const size_t length = end > start && text[end - 1] == '\r' ? end - start - 1 : end - start;
        if (length) {
            c.log.log_force = 1;
            log_print(c.log, "\n%s%.*s", succeeded ? "Warning: " : "", int(length), text.data() + start);
        }
        start = end + 1;
    }
}

} // namespace

void ConverterScratch::remove_all()
{
    for (const std::string& f : files) platform::remove_scratch(f.c_str());
    files.clear();
}

int run_outside_converter(const char* program, const char* const* args, int arg_count, std::string* errors,
                          platform::RunningProgram* running)
{
    std::string name = std::string(program) + platform::exe_suffix;
    std::string path = platform::find_program(name);
    if (path.empty()) return -1;
    std::vector<std::string> argv{name};
    for (int i = 0; i < arg_count; ++i) argv.emplace_back(args[i]);
    return platform::run_program(path, argv, errors, running);
}

std::string run_input_converter(Conversion& c, ConverterScratch& scratch, const char* input, const char* output)
{
    // The outside converters write their XM under a scratch name beside the output; the song
    // still names it as the converters' own naming rules do ("midrix.xm", "song.xm" for
    // "song.it"), which is also what the XI files of a BMW conversion are named after.
    Song& s = c.song;
    std::string current = input;
    const char* converter = converter_program(s.input_kind, c.settings);
    if (converter && s.input_kind == InputKind::midi) {
        // easyxmid's exit code says nothing: an XM it did not write is the empty scratch file.
        const std::string xm = reserve_converter_output(scratch, output, nullptr, "");
        const std::string in_arg = converter_argument(input), xm_arg = converter_argument(xm);
        const char* args[] = {in_arg.c_str(), xm_arg.c_str(), "4", "10"};
        std::string said;
        const int e = run_outside_converter(converter, args, 4, &said, job_program(c));
        if (e == -1) job_abort("Error running EasyXMid");
        log_converter_lines(c, said, in_arg == input ? "" : in_arg, input, e == 0);
        current = xm;
        s.current_input = midi_converter_output;
    } else if (converter && s.input_kind == InputKind::it) {
        const std::string it = converter_argument(reserve_converter_output(scratch, output, s.converter_input.c_str(), ".it"));
        const std::string xm = it2xm_output_name(it);
        const char* args[] = {it.c_str(), "/WC", xm.c_str()};
        std::string said;
        int e = run_outside_converter(converter, args, 3, &said, job_program(c));
        if (e == -1) job_abort("Error running it2xm!");
        if (e != 0) {
            c.log.log_force = 1;
            log_print(c.log, "\nit2xm returned with errorcode: %d", e);
            log_converter_lines(c, said, it, s.converter_input.c_str(), false); // last: the line that explains the failure
            job_abort("\nProbably wrong IT-format, try to save as v2.xx, not 2.14+");
        }
        log_converter_lines(c, said, it, s.converter_input.c_str(), true);
        current = it2xm_output_name(it);
        s.current_input = it2xm_output_name(s.converter_input);
    } else if (converter) {
        const std::string module =
            converter_argument(reserve_converter_output(scratch, output, s.converter_input.c_str(), mod2xm_extension(s)));
        const std::string xm = mod2xm_output_name(module);
        const char* args[] = {module.c_str(), "/o", xm.c_str()};
        std::string said;
        int e = run_outside_converter(converter, args, 3, &said, job_program(c));
        if (e == -1) job_abort("Error running mod2xm!");
        if (e != 0) {
            c.log.log_force = 1;
            log_print(c.log, "\nmod2xm returned with errorcode: %d", e);
            log_converter_lines(c, said, module, s.converter_input.c_str(), false);
            job_abort("\nProbably wrong MOD/S3M-format");
        }
        log_converter_lines(c, said, module, s.converter_input.c_str(), true);
        current = mod2xm_output_name(module);
        s.current_input = mod2xm_output_name(s.converter_input);
    }
    return current;
}
