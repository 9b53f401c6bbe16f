// The outside converters: easyxmid for a MIDI file on request, it2xm for IT modules, mod2xm for
// S3M, every other module format libxmp reads and on request MOD. Each writes an XM under a scratch
// name beside the output, from a scratch copy of the module there; their lines go into the job's
// log naming the user's file.
#include "convert/converters.h"

#include <cerrno>
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

// No scratch file could be made beside the output: the system's reason, in errno.
[[noreturn]] void output_refused(const char* output)
{
    job_abort(file_failure(FailedFile::output, output ? output : "", errno, "Can't open outputfile"));
}

// Reserves the XM an outside converter writes beside the output: "<stem>.xm" created empty and
// exclusively. With a module to convert, the converter gets it as "<stem><ext>" (a link or copy
// beside the output), from which its naming rule gives "<stem>.xm". Returns the name to give
// the converter (the module's scratch name, or without one the XM's).
std::string reserve_converter_output(ConverterScratch& scratch, const char* output, const char* module, const std::string& ext)
{
    if (!output || !*output) output_refused(output);
    if (module && !platform::file_exists(module))
        job_abort(file_failure(FailedFile::input, module, ENOENT, "Can't open inputfile"));
    for (int attempt = 0; attempt < scratch_attempts; ++attempt) {
        const std::string stem = scratch_stem(output);
        const std::string xm = stem + ".xm";
        errno = 0;
        if (!platform::create_scratch_file(xm.c_str())) {
            if (platform::name_taken(xm.c_str())) continue; // taken: the next number
            output_refused(output);
        }
        scratch.files.push_back(xm);
        if (!module) return xm;
        const std::string copy = stem + ext;
        errno = 0;
        if (!platform::create_scratch_copy(module, copy.c_str())) {
            if (platform::name_taken(copy.c_str())) continue;
            output_refused(output);
        }
        scratch.files.push_back(copy);
        // What the project's own converters write until their XM is complete.
        const std::string unfinished = xm + unfinished_suffix;
        platform::watch_scratch(unfinished.c_str());
        scratch.files.push_back(unfinished);
        return copy;
    }
    errno = EEXIST; // every scratch name tried was taken
    output_refused(output);
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

// A converter's lines (its summary, or why it failed), the scratch copy it read named as the
// user's file, without empty lines.
std::vector<std::string> converter_lines(std::string text, const std::string& scratch, const char* input)
{
    if (!scratch.empty())
        for (size_t at = text.find(scratch); at != std::string::npos; at = text.find(scratch, at + std::strlen(input)))
            text.replace(at, scratch.size(), input);
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const size_t length = end > start && text[end - 1] == '\r' ? end - start - 1 : end - start;
        if (length) lines.emplace_back(text, start, length);
        start = end + 1;
    }
    return lines;
}

// The converter's lines go into the job's log, forced as a console would have shown them, each
// where it belongs among the job's lines. What a converter that succeeded says is what its XM
// could not hold (or what it changed to hold it): each line is a warning, shown in quiet mode too.
void log_converter_lines(Conversion& c, const std::vector<std::string>& lines, size_t count, bool succeeded)
{
    for (size_t i = 0; i < count && i < lines.size(); ++i) {
        log_warning(c.log, "\n%s%s", succeeded ? "Warning: " : "", lines[i].c_str());
    }
}

// A converter that could not be run: where it was looked for, or that it was found and could not
// start (a library it needs is missing), and where the converters belong.
[[noreturn]] void converter_not_run(const char* message, const char* program, bool found)
{
    const std::string name = std::string(program) + platform::exe_suffix;
    const std::string self = platform::executable_path();
    const std::string self_name = self.substr(self.find_last_of("/\\") + 1);
    const bool libxmp = std::strcmp(program, "easyxmid") != 0;
    std::string why = std::string(message) + " ";
    if (found) {
        why += platform::find_program(name) + " could not start";
    } else {
        why += "No " + name + " beside " + self_name + " (in " + platform::executable_directory() +
               ") nor in a folder of PATH";
    }
#ifdef _WIN32
    why += std::string(": ") + name + (libxmp ? " and libxmp.dll belong" : " belongs") + " beside " + self_name;
#else
    why += std::string(": ") + name + " belongs beside " + self_name;
    if (libxmp) why += " (built there when libxmp-dev is installed; it runs with libxmp's library)";
#endif
    Failure f = failure_of_text(why.c_str());
    f.what = FailedFile::converter;
    job_abort(std::move(f));
}

// Runs a converter on the job's behalf and brings its lines into the job's log. One that cannot
// be run ends the job with `not_run` and the reason (converter_not_run). With a `hint`, an exit
// code other than 0 is a failure: the code is logged, and the job ends with the converter's own
// last line, which says why (a file that is no module is called that), or with the hint when it
// said nothing.
void run_converter(Conversion& c, const char* program, const char* const* args, int arg_count,
                   const std::string& scratch, const char* input, const char* not_run, const char* hint)
{
    std::string said;
    const int e = run_outside_converter(program, args, arg_count, &said, job_program(c));
    const std::vector<std::string> lines = converter_lines(said, scratch, input);
    if (e == -1) converter_not_run(not_run, program, false);
    if (platform::program_did_not_start(e)) {
        log_converter_lines(c, lines, lines.size(), false); // the system's reason, when it gave one
        converter_not_run(not_run, program, true);
    }
    if (!hint || e == 0) {
        log_converter_lines(c, lines, lines.size(), e == 0);
        return;
    }
    log_forced(c.log, "\n%s returned with errorcode: %d", program, e);
    log_converter_lines(c, lines, lines.empty() ? 0 : lines.size() - 1, false);
    Failure f = failure_of_text(lines.empty() ? hint : lines.back().c_str());
    f.what = FailedFile::converter;
    job_abort(std::move(f));
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
        run_converter(c, converter, args, 4, in_arg == input ? "" : in_arg, input, "Error running EasyXMid", nullptr);
        current = xm;
        s.current_input = midi_converter_output;
    } else if (converter && s.input_kind == InputKind::it) {
        const std::string it = converter_argument(reserve_converter_output(scratch, output, s.converter_input.c_str(), ".it"));
        const std::string xm = it2xm_output_name(it);
        const char* args[] = {it.c_str(), "/WC", xm.c_str()};
        run_converter(c, converter, args, 3, it, s.converter_input.c_str(), "Error running it2xm!",
                      "Probably wrong IT-format, try to save as v2.xx, not 2.14+");
        current = it2xm_output_name(it);
        s.current_input = it2xm_output_name(s.converter_input);
    } else if (converter) {
        const std::string module =
            converter_argument(reserve_converter_output(scratch, output, s.converter_input.c_str(), mod2xm_extension(s)));
        const std::string xm = mod2xm_output_name(module);
        const char* args[] = {module.c_str(), "/o", xm.c_str()};
        run_converter(c, converter, args, 3, module, s.converter_input.c_str(), "Error running mod2xm!",
                      "Probably wrong MOD/S3M-format");
        current = mod2xm_output_name(module);
        s.current_input = mod2xm_output_name(s.converter_input);
    }
    return current;
}
