// Checks of the files a console job names, and the one-line explanation of a failed job.
#include "cli/preflight.h"

#include <cerrno>
#include <cstring>

#include "buzz/machines_ini.h"
#include "convert/driver.h"
#include "core/byteio.h"
#include "core/pool.h"
#include "jobs/job_runner.h"
#include "jobs/job_files.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "song/song.h"

namespace {

std::string folder_of(const std::string& path)
{
    size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos) return ".";
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

std::string reason_of(int error) { return std::strerror(error); }

// The bytes at the start of a file (fewer when it is shorter).
std::vector<unsigned char> head_of(const std::string& path, size_t n)
{
    std::vector<unsigned char> b(n);
    File f = open_file(path.c_str(), "rb");
    if (!f) return {};
    b.resize(std::fread(b.data(), 1, n, f.get()));
    return b;
}

// A module the program reads itself: an XM by its magic, a MOD by its tag, or a 15-sample MOD
// whose sample headers and order list hold values such a module can hold (volumes up to 64,
// finetunes up to 15, 1 to 128 orders of patterns below 128).
bool looks_like_native_module(const std::vector<unsigned char>& b)
{
    if (b.size() >= 17 && std::memcmp(b.data(), "Extended Module: ", 17) == 0) return true;
    if (b.size() >= 1084) {
        static const char* const tags[] = {"M.K.", "FLT4", "M!K!", "4CHN", "M&K!", "6CHN", "8CHN", "OCTA", "FLT8"};
        for (const char* t : tags)
            if (std::memcmp(b.data() + 1080, t, 4) == 0) return true;
    }
    if (b.size() < 600) return false;
    for (int i = 0; i < 15; ++i) {
        const unsigned char* h = b.data() + 20 + 30 * i;
        if (h[24] > 15 || h[25] > 64) return false;
    }
    if (b[470] == 0 || b[470] > 128) return false;
    for (int i = 0; i < 128; ++i)
        if (b[472 + i] >= 128) return false;
    return true;
}

// The input kind as the converter decides it from the name; true when it reads the file itself
// as an XM or MOD module.
bool read_as_module(const std::string& input)
{
    bool native = false;
    const int dowave = settings.dowave;
    run_guarded([&] {
        detect_input_kind(input.c_str());
        const Song& s = song;
        native = !s.is_midi && !s.is_s3m && !s.is_it && !(s.is_mod && settings.domod_ext) &&
                 !driver_state.other_module && !s.is_xi && !s.song_kind;
    });
    settings.dowave = dowave;
    job_state_reset();
    song = Song();
    driver_state.other_module = 0;
    return native;
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

const char* const not_a_module = "not a module of any known kind (XM, MOD, S3M, IT or another format mod2xm "
                                 "reads, MIDI, XI, Buzz song)";

} // namespace

std::string check_input(const std::string& input)
{
    const int status = platform::readable_file_status(input.c_str());
    if (status) return reason_of(status);
    if (read_as_module(input) && !looks_like_native_module(head_of(input, 1084))) return not_a_module;
    return "";
}

std::string check_output(const std::string& output, const std::string& input, bool force)
{
    const std::string folder = folder_of(output);
    if (!platform::is_directory(folder.c_str()))
        return reason_of(ENOENT) + std::string(" (no folder ") + folder + ")";
    if (platform::is_directory(output.c_str())) return reason_of(EISDIR);
    const platform::FileIdentity out = platform::file_identity(output.c_str());
    if (out.valid && out == platform::file_identity(input.c_str()))
        return "is the input file itself; name another output";
    if (!force && (out.valid || platform::file_exists(output.c_str())))
        return "exists; -y (--force) replaces it";
    return "";
}

std::string check_machines_ini(const std::string& path)
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
    run_guarded([&] {
        if (!load_machine_descriptions()) return;
        count = machine_table_state.machine_description_count;
        if (const MachineDescription* d = machine_description(record)) {
            type = d->type;
            dll = d->dll_name;
        }
    });
    machine_descriptions_reset();
    pool_free_all();
    if (type < 0)
        return path + ": no machine record " + std::to_string(record) + " for target " +
               std::to_string(settings.dopfun) + " (the file has records 0 to " + std::to_string(count - 1) + ")";
    if (type != 1)
        return path + ": machine record " + std::to_string(record) + " (" + dll + ") is no generator";
    return "";
}

FailureLine explain_failure(const std::string& abort_message, const std::string& input, const std::string& output,
                            const std::string& machines_ini)
{
    std::string m = abort_message;
    while (!m.empty() && (m.front() == '\n' || m.front() == ' ')) m.erase(m.begin());
    while (!m.empty() && (m.back() == '\n' || m.back() == ' ')) m.pop_back();
    if (m.find("machines.ini") != std::string::npos || m == "Alternate Machine is no generator!") {
        std::string why = check_machines_ini(machines_ini);
        if (!why.empty()) return {"", why};
    }
    if (m.rfind("Can't open inputfile", 0) == 0 && !input.empty()) {
        const int status = platform::readable_file_status(input.c_str());
        if (status) return {input, reason_of(status)};
    }
    if (m.rfind("Can't write outputfile", 0) == 0 || m.rfind("Can't open outputfile", 0) == 0) {
        const std::string folder = folder_of(output);
        if (!platform::is_directory(folder.c_str())) return {output, reason_of(ENOENT)};
        return {output, m};
    }
    if (m.empty()) m = "the conversion failed (see the line above)";
    return {input, m};
}
