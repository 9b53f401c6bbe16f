// The song summary of `kestrix --list`: the song is read once more with every detail of the
// listing switched on into a buffer, and the facts a person or a script asks for first (format,
// machines, patterns, sequence length, waves) are taken from that text.
#include "cli/listing.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "cli/song_text.h"
#include "jobs/job_runner.h"
#include "settings/settings.h"

namespace {

class CaptureLog : public LogWindow {
public:
    void draw_text(std::string_view text) override { text_.append(text); }
    void move_to_line(int) override { text_ += '\n'; }
    void scroll_up(int) override {}
    std::string text_;
};

class CaptureFrontEnd : public JobFrontEnd {
public:
    LogWindow* open_log_window(const char*) override { return &log_; }
    void report(const char*, JobOutcome) override {}
    CaptureLog log_;
};

bool capture(const Settings& base, const std::string& song, bool machines, std::string& text)
{
    Settings settings = base;
    settings.dolist = 1;
    settings.verbose = 1;
    settings.do_mscale1 = machines ? 1 : 0;
    settings.rip_wave = 0;
    settings.input_file = song;
    settings.output_file = "";
    CaptureFrontEnd fe;
    const int mode = run_job(settings, 1, fe);
    text = fe.log_.text_;
    return mode != 0;
}

// A text from the song (Windows-1252) as a JSON string.
std::string json_text(const std::string& s) { return json_string(utf8_from_windows1252(s)); }

// A text from the song in a column `width` characters wide, as UTF-8.
std::string column(const std::string& s, size_t width)
{
    std::string o = utf8_from_windows1252(s);
    const size_t n = utf8_length(o);
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
        int a = 0, b = 0;
        unsigned c = 0, d = 0;
        unsigned long long x = 0, y = 0, z = 0;
        if (current == "MACH" && std::sscanf(l, "%d: %n", &a, &b) >= 1 && b > 0) {
            // "N: NAME typ: T (DLL) ..."
            const size_t t = line.find(" typ: ", size_t(b));
            if (t == std::string::npos) continue;
            SongFacts::Machine mc;
            mc.index = a;
            mc.name = line.substr(size_t(b), t - size_t(b));
            mc.type = std::atoi(l + t + 6);
            const size_t open = line.find(" (", t + 6);
            const size_t close = open == std::string::npos ? open : line.find(')', open);
            if (close != std::string::npos) mc.dll = line.substr(open + 2, close - open - 2);
            if (mc.dll == "Master") mc.dll.clear();
            f.machines.push_back(mc);
        } else if (current == "PATT" && std::sscanf(l, "machine: %d", &a) == 1) {
            const size_t p = line.find(" patts:");
            if (p != std::string::npos && a >= 0 && size_t(a) < f.machines.size())
                f.machines[size_t(a)].patterns = std::atoi(l + p + 7);
        } else if (current == "SEQU" && std::sscanf(l, "song_end:%llx(loop:%llx->%llx) sequences:%x", &x, &y, &z, &c) == 4) {
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
    if (f.machine_count >= 0 && int(f.machines.size()) != f.machine_count) f.machines.clear();
    return f;
}

SongFacts gather_song_facts(const Settings& settings, const std::string& song)
{
    std::string text;
    // Machines one by one need every machine in machines.ini; without that, the rest.
    bool ok = capture(settings, song, true, text);
    if (!ok) ok = capture(settings, song, false, text);
    SongFacts f = facts_from_listing(text);
    f.read = ok;
    return f;
}

std::string facts_summary(const std::string& song, const SongFacts& f)
{
    std::ostringstream o;
    o << song << ": " << format_of(f) << ", sections";
    for (const std::string& s : f.sections) o << ' ' << utf8_from_windows1252(s);
    o << '\n';
    int patterns = 0;
    bool patterns_known = !f.machines.empty();
    o << "machines: " << (f.machine_count < 0 ? 0 : f.machine_count) << '\n';
    for (const SongFacts::Machine& m : f.machines) {
        char number[16];
        std::snprintf(number, sizeof number, "  %3d  ", m.index);
        o << number << column(m.name, 24) << ' ' << column(type_name(m.type), 9) << ' '
          << utf8_from_windows1252(m.dll) << '\n';
        if (m.patterns < 0) patterns_known = false;
        patterns += m.patterns < 0 ? 0 : m.patterns;
    }
    if (f.machine_count > 0 && f.machines.empty())
        o << "  (names and patterns need every machine of the song in machines.ini)\n";
    if (patterns_known) o << "patterns: " << patterns << '\n';
    if (f.song_end >= 0)
        o << "sequence length: " << f.song_end << " rows (loop " << f.loop_start << " to " << f.loop_end << "), "
          << f.sequences << " sequences\n";
    o << "waves: " << f.waves.size() << '\n';
    for (const SongFacts::Wave& w : f.waves) {
        char number[16];
        std::snprintf(number, sizeof number, "  %3d  ", w.index + 1);
        o << number << column(w.name, 24) << ' ';
        if (w.bytes >= 0 && w.compressed)
            o << w.bytes << " bytes, compressed (" << w.raw_bytes << " raw)\n";
        else if (w.bytes >= 0)
            o << w.bytes << " bytes, raw\n";
        else
            o << utf8_from_windows1252(w.file) << '\n';
    }
    o << "listing (counts, positions and lengths in hexadecimal):\n";
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
    bool patterns_known = !f.machines.empty();
    for (size_t i = 0; i < f.machines.size(); ++i) {
        const SongFacts::Machine& m = f.machines[i];
        o << (i ? "," : "") << "\n    {\"index\": " << m.index << ", \"name\": " << json_text(m.name)
          << ", \"type\": \"" << type_name(m.type) << "\", \"dll\": " << json_text(m.dll)
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
