// The song summary of `kestrix --list`: the song is read once more with every detail of the
// listing switched on into a buffer, and the facts a person or a script asks for first (format,
// sections, sequence length, waves) are taken from that text; the machines are named from the
// song's own sections, which needs no machines.ini.
#include "jobs/song_facts.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>

#include "buzz/song_machines.h"
#include "core/byteio.h"
#include "jobs/job_runner.h"
#include "jobs/song_text.h"
#include "settings/settings.h"

namespace {

class CaptureFrontEnd : public JobFrontEnd {
public:
    LogWindow* open_log_window(const char*) override { return &log_; }
    void report(const char*, JobOutcome) override {}
    LogText log_;
};

bool capture(const Settings& base, const std::string& song, std::string& text)
{
    Settings settings = base;
    settings.dolist = 1;
    settings.verbose = 1;
    settings.do_mscale1 = 0; // the sections are listed whole; the machines are named apart
    settings.rip_wave = 0;
    settings.input_file = song;
    settings.output_file = "";
    CaptureFrontEnd fe;
    const JobMode mode = run_job(settings, JobMode::convert, fe);
    text = fe.log_.text;
    return mode != JobMode::none;
}

// The machines as the song names them; machines.ini (when it can be read) says which it describes.
void name_machines(const Settings& settings, const std::string& song, SongFacts& f)
{
    const File in = open_file(song.c_str(), "rb");
    if (!in) return;
    Log log;
    Pool pool(log);
    MachineTable table;
    table.machines_ini_path = settings.machines_ini;
    if (!run_guarded(log, [&] { load_machine_descriptions(table, pool, log); })) table = MachineTable();
    const SongMachines scan = scan_song_machines(in.get(), table);
    if (scan.read) f.machine_count = scan.count;
    f.machines_problem = scan.problem;
    for (const SongMachine& m : scan.machines)
        f.machines.push_back({m.index, m.name, m.type, m.type ? m.library : "", m.description >= 0, m.patterns,
                              machines_ini_line(m), m.global_bytes >= 0});
    pool_free_all(pool);
}

// The song's texts as the summary shows them.
std::string shown(const std::string& s, bool utf8) { return utf8 ? utf8_from_windows1252(s) : s; }

// A text from the song (Windows-1252) as a JSON string.
std::string json_text(const std::string& s) { return json_string(utf8_from_windows1252(s)); }

// A text from the song in a column `width` characters wide.
std::string column(const std::string& s, size_t width, bool utf8)
{
    std::string o = shown(s, utf8);
    const size_t n = utf8 ? utf8_length(o) : o.size();
    if (n < width) o.append(width - n, ' ');
    return o;
}

const char* type_name(int t) { return t == 0 ? "master" : t == 1 ? "generator" : t == 2 ? "effect" : "?"; }

std::string format_of(const SongFacts& f)
{
    bool wave = false, wavt = false, cwav = false;
    for (const std::string& s : f.sections) {
        wave |= s == "WAVE";
        wavt |= s == "WAVT";
        cwav |= s == "CWAV";
    }
    if (wave) return "BMX";
    if (cwav) return "BMX (compressed waves)";
    return wavt ? "BMW" : "Buzz song without waves";
}

} // namespace

SongFacts facts_from_listing(const std::string& text)
{
    SongFacts f;
    std::istringstream in(text);
    std::string line, current;
    while (std::getline(in, line)) {
        const char* l = line.c_str();
        if (line.rfind("compressed waves:", 0) == 0) {
            current = "CWAV (read)"; // the section's entries, read after the directory
            continue;
        }
        if (line.rfind("section:", 0) == 0 && line.size() >= 12) {
            current = line.substr(8, 4);
            f.sections.push_back(current);
            const size_t m = line.find(" machines: ");
            if (current == "MACH" && m != std::string::npos) f.machine_count = std::atoi(l + m + 11);
            continue;
        }
        int b = 0;
        unsigned c = 0, d = 0;
        unsigned long long x = 0, y = 0, z = 0;
        if (current == "SEQU" && std::sscanf(l, "song_end:%llx(loop:%llx->%llx) sequences:%x", &x, &y, &z, &c) == 4) {
            f.song_end = static_cast<long long>(x);
            f.loop_start = static_cast<long long>(y);
            f.loop_end = static_cast<long long>(z);
            f.sequences = int(c);
        } else if (current == "WAVT" && std::sscanf(l, "%x:(%n", &c, &b) >= 1 && b > 0) {
            // "I:(FILE,NAME) vol:..."
            const size_t end_at = line.rfind(") vol:");
            const size_t comma = line.find(',', size_t(b));
            if (end_at == std::string::npos || comma == std::string::npos || comma > end_at) continue;
            SongFacts::Wave w;
            w.index = int(c);
            w.file = line.substr(size_t(b), comma - size_t(b));
            w.name = line.substr(comma + 1, end_at - comma - 1);
            f.waves.push_back(w);
        } else if (current == "WAVE" && std::sscanf(l, "%x: typ:%x len:%llx", &c, &d, &x) == 3) {
            // The data follow the table's order.
            const size_t k = size_t(std::count_if(f.waves.begin(), f.waves.end(),
                                                  [](const SongFacts::Wave& w) { return w.bytes >= 0; }));
            if (k < f.waves.size()) f.waves[k].bytes = f.waves[k].raw_bytes = static_cast<long long>(x);
        } else if (current == "CWAV (read)" && std::sscanf(l, "%x: typ:%x len:%llx raw:%llx", &c, &d, &x, &y) == 4) {
            // The table's entry of the same index.
            for (SongFacts::Wave& w : f.waves) {
                if (w.index != int(c) || w.bytes >= 0) continue;
                w.bytes = static_cast<long long>(x);
                w.raw_bytes = static_cast<long long>(y);
                w.compressed = d != 0;
                break;
            }
        }
    }
    return f;
}

SongFacts gather_song_facts(const Settings& settings, const std::string& song)
{
    std::string text;
    const bool ok = capture(settings, song, text);
    SongFacts f = facts_from_listing(text);
    f.read = ok;
    name_machines(settings, song, f);
    return f;
}

std::string facts_summary(const std::string& song, const SongFacts& f, bool utf8)
{
    std::ostringstream o;
    o << song << ": " << format_of(f) << ", sections";
    for (const std::string& s : f.sections) o << ' ' << shown(s, utf8);
    o << '\n';
    int patterns = 0, counted = 0;
    o << "machines: " << (f.machine_count < 0 ? 0 : f.machine_count) << '\n';
    for (const SongFacts::Machine& m : f.machines) {
        char number[16];
        std::snprintf(number, sizeof number, "  %3d  ", m.index);
        o << number << column(m.name, 24, utf8) << ' ' << column(type_name(m.type), 9, utf8) << ' ' << shown(m.dll, utf8);
        if (m.type != 0 && !m.described) o << "  (not in machines.ini)";
        o << '\n';
        if (m.patterns >= 0 && counted == m.index) {
            patterns += m.patterns;
            ++counted;
        }
    }
    if (!f.machines_problem.empty()) o << "  (the others are not named: " << shown(f.machines_problem, utf8) << ")\n";
    if (counted > 0 && counted == f.machine_count) {
        o << "patterns: " << patterns << '\n';
    } else if (counted > 0) {
        o << "patterns: " << patterns << " in machines 0 to " << counted - 1 << " (the layout of machine " << counted
          << " is not known)\n";
    }
    if (f.song_end >= 0)
        o << "sequence length: " << f.song_end << " rows (loop " << f.loop_start << " to " << f.loop_end << "), "
          << f.sequences << " sequences\n";
    o << "waves: " << f.waves.size() << '\n';
    for (const SongFacts::Wave& w : f.waves) {
        char number[16];
        std::snprintf(number, sizeof number, "  %3d  ", w.index + 1);
        o << number << column(w.name, 24, utf8) << ' ';
        if (w.bytes >= 0 && w.compressed)
            o << w.bytes << " bytes, compressed (" << w.raw_bytes << " raw)\n";
        else if (w.bytes >= 0)
            o << w.bytes << " bytes, raw\n";
        else
            o << shown(w.file, utf8) << '\n';
    }
    o << "listing (counts, positions and lengths in hexadecimal):\n";
    return o.str();
}

std::string facts_libraries(const SongFacts& f, bool utf8)
{
    std::ostringstream o;
    std::set<std::string> seen;
    for (const SongFacts::Machine& m : f.machines) {
        if (m.type == 0 || !seen.insert(m.dll).second) continue;
        o << shown(m.ini_line, utf8);
        if (m.described) {
            o << "    ; machines.ini has it";
        } else {
            o << "    ; not in machines.ini";
            if (!m.layout_known) o << ", and the song does not tell its byte counts";
            if (m.type == 1) o << " (a generator's line goes on: note wave volume max_tracks attributes short_name)";
        }
        o << '\n';
    }
    return o.str();
}

std::string facts_json(const std::string& song, const SongFacts& f)
{
    std::ostringstream o;
    o << "{\n  \"file\": " << json_string(valid_utf8(song)) << ",\n  \"format\": " << json_text(format_of(f))
      << ",\n  \"sections\": [";
    for (size_t i = 0; i < f.sections.size(); ++i) o << (i ? ", " : "") << json_text(f.sections[i]);
    o << "],\n  \"machine_count\": " << (f.machine_count < 0 ? 0 : f.machine_count) << ",\n  \"machines\": [";
    int patterns = 0;
    bool patterns_known = !f.machines.empty() && int(f.machines.size()) == f.machine_count;
    for (size_t i = 0; i < f.machines.size(); ++i) {
        const SongFacts::Machine& m = f.machines[i];
        o << (i ? "," : "") << "\n    {\"index\": " << m.index << ", \"name\": " << json_text(m.name)
          << ", \"type\": \"" << type_name(m.type) << "\", \"dll\": " << json_text(m.dll)
          << ", \"in_machines_ini\": " << (m.type == 0 || m.described ? "true" : "false")
          << ", \"patterns\": " << m.patterns << "}";
        if (m.patterns < 0) patterns_known = false;
        patterns += m.patterns < 0 ? 0 : m.patterns;
    }
    o << (f.machines.empty() ? "" : "\n  ") << "],\n  \"patterns\": ";
    if (patterns_known)
        o << patterns;
    else
        o << "null";
    o << ",\n  \"sequence_length\": " << f.song_end << ",\n  \"loop_start\": " << f.loop_start
      << ",\n  \"loop_end\": " << f.loop_end << ",\n  \"sequences\": " << f.sequences << ",\n  \"waves\": [";
    for (size_t i = 0; i < f.waves.size(); ++i) {
        const SongFacts::Wave& w = f.waves[i];
        o << (i ? "," : "") << "\n    {\"number\": " << w.index + 1 << ", \"name\": " << json_text(w.name)
          << ", \"file\": " << json_text(w.file) << ", \"bytes\": ";
        if (w.bytes >= 0)
            o << w.bytes << ", \"storage\": \"" << (w.compressed ? "compressed" : "raw") << "\", \"raw_bytes\": " << w.raw_bytes;
        else
            o << "null, \"storage\": null, \"raw_bytes\": null";
        o << "}";
    }
    o << (f.waves.empty() ? "" : "\n  ") << "]\n}\n";
    return o.str();
}
