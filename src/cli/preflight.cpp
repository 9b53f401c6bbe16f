// Checks of the files a console job names, and the one-line explanation of a failed job.
#include "cli/preflight.h"

#include <cerrno>
#include <cstring>

#include "buzz/machines_ini.h"
#include "convert/input_formats.h"
#include "core/byteio.h"
#include "core/pool.h"
#include "jobs/job_runner.h"
#include "jobs/job_files.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "songwriter/xi_file.h"

namespace {

std::string folder_of(const std::string& path)
{
    size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos) return ".";
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

std::string reason_of(int error) { return std::strerror(error); }

// First bytes that no module the program reads itself can begin with: neither an XM or MOD by
// its signature, nor a 15-sample MOD whose header holds what such a module can hold.
bool no_module_head(const uint8_t* head, size_t n)
{
    for (InputKind k : {InputKind::xm, InputKind::mod})
        if (input_format(k)->probe(head, n) != Probe::no) return false;
    return true;
}

const char* const not_a_module = "not a module of any known kind (XM, MOD, S3M, IT or another format mod2xm "
                                 "reads, MIDI, XI, Buzz song)";

// An input the program reads itself as a module (a name without a known kind, an XM, or a MOD
// not handed to mod2xm) must look like one, and an XM by its signature must have a header the
// module reader takes: why not, or "".
std::string module_problem(const Settings& settings, const std::string& input)
{
    uint8_t head[probe_bytes] = {};
    size_t n = 0;
    if (File f = open_file(input.c_str(), "rb")) n = std::fread(head, 1, sizeof head, f.get());
    const InputKind kind = decide_input_kind(input, head, n).kind;
    const bool read_here = kind == InputKind::none || kind == InputKind::xm ||
                           (kind == InputKind::mod && !converter_program(kind, settings));
    if (!read_here) return "";
    if (no_module_head(head, n)) return not_a_module;
    if (!is_xm_module(head, n)) return "";
    const std::string problem = xm_header_problem(head, n);
    return problem.empty() ? "" : "not an XM module (it " + problem + ")";
}

// The version a machines.ini names ("version=2.5"), or "" when it names none.
std::string ini_version(const std::string& path)
{
    File f = open_file(path.c_str(), "r");
    char line[512];
    while (f && std::fgets(line, sizeof line, f.get())) {
        if (std::strncmp(line, "version=", 8) != 0) continue;
        std::string v = line + 8;
        while (!v.empty() && (v.back() == '\n' || v.back() == '\r' || v.back() == ' ')) v.pop_back();
        return v;
    }
    return "";
}

} // namespace

std::string check_input(const Settings& settings, const std::string& input)
{
    const int status = platform::readable_file_status(input.c_str());
    if (status) return reason_of(status);
    if (std::string problem = module_problem(settings, input); !problem.empty()) return problem;
    if (decide_input_kind(input).kind == InputKind::xi) {
        const std::string problem = xi_instrument_problem(input.c_str());
        if (!problem.empty()) return "not an XI instrument (" + problem + ")";
    }
    return "";
}

std::string check_input_head(const uint8_t* head, size_t n)
{
    const InputKind kind = kind_by_content(head, n);
    if (kind == InputKind::buzz_song) return "a Buzz song is listed (kestrix --list SONG), not converted";
    if (kind == InputKind::none && no_module_head(head, n)) return not_a_module;
    return "";
}

std::string spool_input(FILE* in, const uint8_t* head, size_t n, FILE* out, const std::string& out_name, uint64_t limit)
{
    auto failed = [&] { return out_name + ": " + std::strerror(errno ? errno : EIO); };
    errno = 0;
    if (std::fwrite(head, 1, n, out) != n) return failed();
    uint64_t total = n;
    char block[65536];
    size_t got;
    while ((got = std::fread(block, 1, sizeof block, in)) > 0) {
        total += got;
        if (total > limit) {
            const bool gib = limit % (uint64_t(1) << 30) == 0;
            return "more than the " + std::to_string(gib ? limit >> 30 : limit) + (gib ? " GiB" : " bytes") +
                   " kestrix takes from standard input; name the file instead";
        }
        if (std::fwrite(block, 1, got, out) != got) return failed();
    }
    if (std::ferror(in)) return std::strerror(errno ? errno : EIO);
    errno = 0;
    return std::fflush(out) == 0 ? "" : failed();
}

std::string check_output(const std::string& output, const std::string& input, bool force)
{
    const std::string folder = folder_of(output);
    if (!platform::is_directory(folder.c_str()))
        return reason_of(ENOENT) + std::string(" (no folder ") + folder + ")";
    if (platform::is_directory(output.c_str())) return reason_of(EISDIR);
    const platform::NameKind kind = platform::name_kind(output.c_str());
    if (kind != platform::NameKind::none && kind != platform::NameKind::regular)
        return platform::error_text(platform::not_regular_file);
    const platform::FileIdentity out = platform::file_identity(output.c_str());
    if (out.valid && out == platform::file_identity(input.c_str()))
        return "is the input file itself; name another output";
    if (!force && (out.valid || platform::file_exists(output.c_str())))
        return "exists; -y (--force) replaces it";
    return "";
}

FailureLine check_job_files(const std::vector<ReadFile>& reads, const std::vector<WrittenFile>& writes, bool force)
{
    auto allowed = [](const WrittenFile& w, const std::string& name) {
        for (const std::string& m : w.may_be)
            if (platform::same_file(m.c_str(), name.c_str())) return true;
        return false;
    };
    for (size_t i = 0; i < writes.size(); ++i) {
        const WrittenFile& w = writes[i];
        const char* name = w.name.c_str();
        if (platform::is_directory(name)) return {w.name, reason_of(EISDIR)};
        const platform::NameKind kind = platform::name_kind(name);
        if (kind == platform::NameKind::device && w.opened) continue; // written into, nothing replaced
        if (kind == platform::NameKind::device || kind == platform::NameKind::other)
            return {w.name, platform::error_text(platform::not_regular_file)};
        for (const ReadFile& r : reads)
            if (platform::same_file(name, r.name.c_str()) && !allowed(w, r.name))
                return {w.name, "is " + r.what + "; name another " + w.what};
        for (size_t j = 0; j < i; ++j)
            if (platform::same_file(name, writes[j].name.c_str()) && !allowed(w, writes[j].name))
                return {w.name, "is also the job's " + writes[j].what + "; name another " + w.what};
        if (!force && w.must_be_new && platform::name_taken(name) && !allowed(w, w.name))
            return {w.name, "exists; -y (--force) replaces it"};
    }
    return {};
}

FailureLine check_standard_output(const std::vector<ReadFile>& reads)
{
    const platform::FileIdentity out = platform::standard_output_identity();
    if (!out.valid) return {};
    for (const ReadFile& r : reads)
        if (platform::file_identity(r.name.c_str()) == out) return {"standard output", "is " + r.what};
    return {};
}

std::string check_machines_ini(const Settings& settings, const std::string& path)
{
    if (path.empty()) {
        std::string where;
        for (const std::string& p : machines_ini_places()) where += (where.empty() ? "" : ", ") + p;
        return "machines.ini not found (looked in " + where + ")";
    }
    const std::string version = ini_version(path);
    if (version != "2.5")
        return path + ": unsupported machines.ini version \"" + version + "\" (kestrix reads version 2.5)";
    int count = 0;
    int type = -1;
    std::string dll;
    const int record = settings.dopfun + 1;
    Log log;
    Pool pool(log);
    MachineTable machines;
    machines.machines_ini_path = path;
    run_guarded(log, [&] {
        if (!load_machine_descriptions(machines, pool, log)) return;
        count = machines.machine_description_count;
        if (const MachineDescription* d = machine_description(machines, record)) {
            type = d->type;
            dll = d->dll_name;
        }
    });
    if (type < 0)
        return path + ": no machine record " + std::to_string(record) + " for target " +
               std::to_string(settings.dopfun) + " (the file has records 0 to " + std::to_string(count - 1) + ")";
    if (type != 1)
        return path + ": machine record " + std::to_string(record) + " (" + dll + ") is no generator";
    return "";
}

FailureLine conversion_failure_line(const Settings& settings, const Failure& f, const std::string& input,
                                    const std::string& machines_ini)
{
    if (f.what == FailedFile::machines_ini) {
        if (machines_ini.empty()) return {"", check_machines_ini(settings, "")};
        return {f.file, f.reason};
    }
    return {f.file.empty() ? input : f.file, f.reason.empty() ? "the conversion failed (see the line above)" : f.reason};
}

FailureLine merge_failure_line(const Settings& settings, const Failure& f, const char* job, const std::string& machines_ini)
{
    if (f.what == FailedFile::machines_ini) return conversion_failure_line(settings, f, "", machines_ini);
    const std::string failed = std::string("the ") + job + " failed";
    if (f.reason.empty()) return {"", failed + " (see the line above)"};
    return {"", failed + ": " + (f.file.empty() ? f.reason : f.file + ": " + f.reason)};
}
