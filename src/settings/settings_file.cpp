// kestrix.ini: the persistent settings as a text file people read and edit.
//
// The file is a list of "key=value" lines with comment lines (";...") between them. One table
// below holds every line the program writes, in order; the lines that carry a value also name
// the field, and the loader takes its list of keys from the same table, so the two can never
// disagree about a key, its type or its field.
//
// Reading rules, as files in the wild rely on them:
// - a line is looked at up to its 499th character and the rest of a longer line is skipped (it is
//   never taken for a line of its own); a text that does not end within them is refused, never
//   cut, and its field keeps its value;
// - a line whose first byte is not in 'A'..'z' is skipped (comments, blank lines, indented keys);
// - a key counts only at the very start of the line and directly followed by "=", so a line
//   "mtranspo=..." never sets `transpo`; the first key that matches is taken;
// - numbers may have blanks after "="; a value that does not parse (or does not fit the field)
//   leaves the field as it was; reals must be finite;
// - a text runs to the end of its line: blanks after "=" and at the end of the line are not part
//   of it, blanks inside are ("buzz_path=C:\Program Files\Buzz\"). A text in double quotes (as
//   some files have them) is read without them.
//
// The saver writes a text as stored, in double quotes when it begins or ends with a blank or is
// itself quoted, so that it reads back as it was. A text the file cannot hold (a line break in it,
// or a line longer than the 499 characters a reader looks at) is refused: nothing is saved and
// the reason names the key.
#include "settings/settings.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/byteio.h"
#include "platform/platform.h"

namespace {

constexpr const char* settings_file_name = "kestrix.ini";
constexpr size_t ini_line_max = 499; // characters of one line that are looked at

// The field behind a key.
struct FieldRef {
    enum Kind { none, integer, real, text };
    Kind kind = none;
    int Settings::*i = nullptr;
    IntField code = {};     // a code, when `i` is null
    float Settings::*r = nullptr;
    std::string Settings::*t = nullptr;

    constexpr FieldRef() = default;
    constexpr FieldRef(int Settings::*p) : kind(integer), i(p) {}
    constexpr FieldRef(IntField f) : kind(integer), code(f) {}
    // An integer field's number.
    int get(const Settings& s) const { return i ? s.*i : code.get(s); }
    void set(Settings& s, int v) const { i ? void(s.*i = v) : code.set(s, v); }
    constexpr FieldRef(float Settings::*p) : kind(real), r(p) {}
    constexpr FieldRef(std::string Settings::*p) : kind(text), t(p) {}
};

// One line of the file as the saver writes it. For a value line the text is the key, "=", one
// conversion ("%d", "%2d", "%3d", "%f" or "%s") and what follows the value (trailing blanks and
// comments are part of the line).
struct IniLine {
    const char* text;
    FieldRef field = {};
};

constexpr IniLine ini_lines[] = {
    {";Basic options:  (cl: corresponding commandline option for non-GUI version)"},
    {";splitting to several machines; 0:none  (cl: -s) 1: by track (cl: +s) 2: by instrument (cl: +S)"},
    {"dotsplit=%2d  ", int_field<&Settings::dotsplit>},
    {";target machine; 0:tracker (cl: -p) 1: PrimiFun (cl +p) >1: look into machines.ini (cl: +p...) "},
    {"dopfun=%2d    ", &Settings::dopfun},
    {";Wave handling; 0:none (cl: -w) 1: try to make BMW (cl: +w) 2: BMX with waves (cl: +W)"},
    {"dowave=%2d    ", int_field<&Settings::dowave>},
    {";MIDI Device for vMidiOut"},
    {"midi_device=%d                 ", &Settings::midi_device},
    {""},
    {";Extended options:"},
    {";transpose the whole song (cl: +/-nn)"},
    {"transpo=%3d   ", &Settings::transpo},
    {";remove duplicate patterns"},
    {"remove_2pat=%2d  ;       --", &Settings::remove_2pat},
    {";shorten song length by one"},
    {"dosminus=%2d  ;       --", &Settings::dosminus},
    {";convert XI/XM envelopes"},
    {"do_envs=%2d    ", &Settings::do_envs},
    {"do_0loops=%2d  ", &Settings::do_0loops},
    {"do_0track=%2d  ", &Settings::do_0track},
    {"do_lnvol=%2d  ", &Settings::do_lnvol},
    {";use mod2xm not only for S3M, but also for MOD"},
    {"domod_ext=%2d          ", &Settings::domod_ext},
    {";amount of information output, only useful for DOS (cl:+l,+L)"},
    {"dolist=%2d    ;       l", &Settings::dolist},
    {"verbose=%2d   ;       v", &Settings::verbose},
    {";coordinates of output window"},
    {"lwind_x=%2d   ", &Settings::lwind_x},
    {"lwind_y=%2d   ", &Settings::lwind_y},
    {"lwind_dx=%2d   ", &Settings::lwind_dx},
    {"lwind_dy=%2d   ", &Settings::lwind_dy},
    {";directory of buzz.exe (with final \\)"},
    {"buzz_path=%s", &Settings::buzz_path},
    {""},
    {";MIDI options:"},
    {";MIDI Ticks per beat"},
    {"midi_tpb=%d                 ", &Settings::midi_tpb},
    {";MIDI resolution   (cl: +m...)"},
    {"midi_res=%f                 ", &Settings::midi_res},
    {";MIDI time scaling (cl: +x*...)"},
    {"midi_scale=%f               ", &Settings::midi_scale},
    {";MIDI time shift (in BUZZ rows) (cl: +x+...)"},
    {"midi_shift=%f               ", &Settings::midi_shift},
    {";number of lines/pattern"},
    {"blines=%d               ", &Settings::blines},
    {";start time/patterns with first note event"},
    {"do_firstnote0=%2d       ", &Settings::do_firstnote0},
    {";use note-delay command (for better timing, but not for note-off :("},
    {"use_notedels=%2d        ", &Settings::use_notedels},
    {";follow the tempo changes of the file: 0 first tempo only, 1 all (cl: --midi-tempos)"},
    {"midi_tempos=%2d         ", &Settings::midi_tempos},
    {";use EasyXMid as extern converter (no samples!) (cl: -m)"},
    {"domidi_ext=%2d          ", &Settings::domidi_ext},
    {";0: use one sample for every channel (cl:+m) or 1: every MIDI patch (cl:+M)"},
    {"dopchange=%2d           ", &Settings::dopchange},
    {";0: drums are gmp_81.xi...gmp_ff.xi  1: use single multi-sampled drumset gmp_00.xi "},
    {"drkit=%2d  ", &Settings::drkit},
    {";0: drums use C-4 +transp+drtranspo  1:pitch+...  "},
    {"drfollow=%2d  ", &Settings::drfollow},
    {"ptranspo=%3d  ", &Settings::ptranspo},
    {"drtranspo=%3d  ", &Settings::drtranspo},
    {";remove loop-flag from drum-patches"},
    {"drloopno=%2d  ", &Settings::drloopno},
    {";Directory for/with XI-instruments"},
    {"xi_dir=%s", &Settings::xi_dir},
    {";SoundFont for the waves no XI-file gives; empty: a General MIDI one of this system, none: no SoundFont"},
    {"soundfont=%s", &Settings::soundfont},
    {""},
    {";Merging/Transformation options:"},
    {";position scaling for first and second input"},
    {"do_mscale1=%2d  ", &Settings::do_mscale1},
    {"do_mscale2=%2d  ", &Settings::do_mscale2},
    {";shift wave instruments for second file"},
    {"do_mishift2=%2d ", &Settings::do_mishift2},
    {";0: use second input 1: converter output 2: no second file"},
    {"use_convout=%2d ", int_field<&Settings::use_convout>},
    {";start merge inmediatedly after conversion"},
    {"merge_after=%2d ", &Settings::merge_after},
    {";0,1: nothing, >1: multiply BPM rate, pattern sizes...by adding empty lines"},
    {"blow_up=%2d  ", &Settings::blow_up},
    {";0,1: nothing, >1: repeat all sequences"},
    {"song_repeat=%2d  ", &Settings::song_repeat},
    {""},
    {";Machine Transformation options:"},
    {"mtranspo=%3d  ", &Settings::mtranspo},
    {"clone_trans=%3d  ", &Settings::clone_trans},
    {"clone_wave=%3d  ", &Settings::clone_wave},
    {"clone2=%3d  ", &Settings::clone2},
    {"rip_es9=%2d    ", &Settings::rip_es9},
};

// Fields that are not saved: the merge's file names and the tool pages' fields. Only the console
// edition's --set reads them; kestrix.ini never sets them.
constexpr IniLine transient_lines[] = {
    {"merge_input1=%s", &Settings::merge_input1}, {"merge_input2=%s", &Settings::merge_input2},
    {"merge_output=%s", &Settings::merge_output}, {"clone_source=%d", &Settings::clone_source},
    {"tune_wave=%d", &Settings::tune_wave},       {"tune_level=%d", &Settings::tune_level},
    {"tune_rate=%d", &Settings::tune_rate},       {"rip_wave=%d", &Settings::rip_wave},
};

// The values each key takes and what it means. A number outside its range is refused with a
// message; the ranges are what the conversion and the tools can use (a Buzz note spans ten
// octaves, so a transposition beyond 120 semitones has nothing left to play; Buzz patterns hold
// at most 65535 lines; a wave number is a byte).
struct KeyRange {
    const char* key;
    double low, high;
    const char* meaning;
};
constexpr double any_int = 2147483648.0;
constexpr KeyRange key_ranges[] = {
    {"dotsplit", 0, 2, "machines: 0 one, 1 one per track, 2 one per instrument"},
    {"dopfun", 0, 255, "target: 0 Tracker, N machines.ini record N+1 (1 PrimiFun ... 9 Bass-3)"},
    {"dowave", 0, 2, "waves: 0 none, 1 BMW with XI files, 2 BMX with waves"},
    {"midi_device", 0, 255, "output device number written into vMidiOut machines"},
    {"transpo", -120, 120, "transposition of the whole song, semitones"},
    {"remove_2pat", 0, 1, "1: remove duplicate patterns"},
    {"dosminus", 0, 1, "1: song length minus one"},
    {"do_envs", 0, 1, "1: convert XI/XM envelopes"},
    {"do_0loops", 0, 1, "1: add zero loops to waves"},
    {"do_0track", 0, 1, "1: number machines from zero"},
    {"do_lnvol", 0, 1, "1: logarithmic volume"},
    {"domod_ext", 0, 1, "1: MOD files through mod2xm too"},
    {"dolist", 0, 1, "1: detailed listing in the log"},
    {"verbose", -any_int, any_int - 1, "1: extra diagnostics; other than 0 and 1: 1 and the memory trace"},
    {"lwind_x", -32768, 32767, "log window position, pixels"},
    {"lwind_y", -32768, 32767, "log window position, pixels"},
    {"lwind_dx", 0, 32767, "log window width, pixels"},
    {"lwind_dy", 0, 32767, "log window height, pixels"},
    {"buzz_path", 0, 0, "directory of buzz.exe, with a final separator"},
    {"midi_tpb", 1, 255, "MIDI: ticks per beat of the song"},
    {"midi_res", 0.001, 1000, "MIDI: BPM resolution"},
    {"midi_scale", 0.001, 1000, "MIDI: time scaling factor"},
    {"midi_shift", -65535, 65535, "MIDI: time shift in rows"},
    {"blines", 1, 65535, "lines per pattern (MIDI and XI songs)"},
    {"do_firstnote0", 0, 1, "MIDI: 1 start with the first note"},
    {"use_notedels", 0, 1, "MIDI: 1 use note delays"},
    {"midi_tempos", 0, 1, "MIDI: 1 follow the file's tempo changes (BPM changes on the Master)"},
    {"domidi_ext", 0, 1, "MIDI: 1 convert with easyxmid"},
    {"dopchange", 0, 1, "MIDI: 0 one wave per channel, 1 one per program"},
    {"drkit", 0, 1, "MIDI: 0 drums gmp_81.xi..gmp_ff.xi, 1 one drum set gmp_00.xi"},
    {"drfollow", 0, 1, "MIDI: 1 drums follow the pitch"},
    {"ptranspo", -120, 120, "MIDI: pitch correction of instruments, semitones"},
    {"drtranspo", -120, 120, "MIDI: drum correction, semitones"},
    {"drloopno", 0, 1, "MIDI: 1 remove the loop flag of drum patches"},
    {"xi_dir", 0, 0, "directory for and with XI instruments"},
    {"soundfont", 0, 0, "MIDI: SoundFont (.sf2) for the waves no XI file in xi_dir gives; empty: a General MIDI "
                        "SoundFont found on this system; none: no SoundFont"},
    {"do_mscale1", 0, 1, "merge: 1 rescale the first song's machine positions"},
    {"do_mscale2", 0, 1, "merge: 1 rescale the second song's machine positions"},
    {"do_mishift2", 0, 1, "merge: 1 shift the second song's wave numbers in its patterns"},
    {"use_convout", 0, 2, "merge: second input 0 merge_input2, 1 the conversion's output, 2 none"},
    {"merge_after", 0, 1, "1: merge right after the conversion"},
    {"blow_up", 0, 256, "merge: above 1 multiply tempo and pattern lengths"},
    {"song_repeat", 0, 256, "merge: above 1 play the song that many times"},
    {"mtranspo", -120, 120, "clone: transposition of the source machine"},
    {"clone_trans", -120, 120, "clone: transposition of the clone"},
    {"clone_wave", 0, 255, "clone: wave number of its notes, 0 the source's"},
    {"clone2", 0, 256, "clone: 0 none, 1 Tracker, 2..10 PrimiFun..Bass-3, N machines.ini record N-1"},
    {"rip_es9", 0, 1, "1: save an ES-9 source's data as es-9.dat"},
    {"merge_input1", 0, 0, "merge: first song"},
    {"merge_input2", 0, 0, "merge: second song"},
    {"merge_output", 0, 0, "merge: the new song"},
    {"clone_source", 0, 65535, "clone: the source machine's number"},
    {"tune_wave", 0, 65535, "wave tool: wave table entry (from 1)"},
    {"tune_level", 0, 65535, "wave tool: level (from 1)"},
    {"tune_rate", 0, any_int - 1, "wave tool: sample rate, Hz"},
    {"rip_wave", 0, 65535, "wave tool: wave to rip (its index + 1)"},
};

const KeyRange* range_of(const char* key, size_t key_len)
{
    for (const KeyRange& r : key_ranges)
        if (std::strlen(r.key) == key_len && std::strncmp(r.key, key, key_len) == 0) return &r;
    return nullptr;
}

std::string number_text(double v)
{
    char buf[32];
    if (v <= -any_int) return "any";
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

// Length of "key=" of a value line.
size_t key_length(const IniLine& l) { return size_t(std::strchr(l.text, '=') - l.text) + 1; }

bool is_blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// A text value: what follows the blanks after "=", up to the end of the line without its
// trailing blanks; one pair of double quotes around it is taken away ("" is an empty text).
bool scan_text(const char* s, std::string& out)
{
    while (is_blank(*s)) ++s;
    if (!*s) return false;
    const char* begin = s;
    const char* end = s + std::strlen(s);
    while (end > begin && is_blank(end[-1])) --end;
    if (end - begin >= 2 && *begin == '"' && end[-1] == '"') {
        ++begin;
        --end;
    }
    out.assign(begin, end);
    return true;
}

// xi_dir always ends in a directory separator. A backslash or a slash already there is kept;
// otherwise the separator of the system the program runs on is added ('\' on Windows, '/'
// elsewhere).
void keep_final_separator(std::string& dir)
{
    if (dir.empty() || dir.back() == '\\' || dir.back() == '/') return;
    dir += platform::path_separator;
}

// The line of `lines` whose key the text begins with, or nullptr.
template <size_t N>
const IniLine* line_for_key(const IniLine (&lines)[N], const char* text)
{
    for (const IniLine& l : lines)
        if (l.field.kind != FieldRef::none && std::strncmp(text, l.text, key_length(l)) == 0) return &l;
    return nullptr;
}

std::string range_text(const KeyRange* r, FieldRef::Kind kind)
{
    if (kind == FieldRef::text) return "a text";
    if (!r || (r->low <= -any_int)) return "any integer";
    return number_text(r->low) + " to " + number_text(r->high);
}

// Parses one line (without its line break) into `settings`. `transient`: the fields that are not
// saved may be set too. `checked`: a number outside its key's range is refused. `cut`: the line
// went on beyond what the loader looks at, so a text on it is refused. On a refusal the field is
// as it was and `message` says why.
SettingResult apply_line(Settings& settings, const char* line, bool transient, bool checked, std::string& message,
                         bool cut = false)
{
    unsigned char first = static_cast<unsigned char>(line[0]);
    const IniLine* found = first < 'A' || first > 'z' ? nullptr : line_for_key(ini_lines, line);
    if (!found && transient && first >= 'A' && first <= 'z') found = line_for_key(transient_lines, line);
    if (!found) {
        const char* eq = std::strchr(line, '=');
        message = "unknown key \"" + std::string(line, eq ? size_t(eq - line) : std::strlen(line)) + "\"";
        return SettingResult::unknown_key;
    }
    const IniLine& l = *found;
    const size_t klen = key_length(l);
    const char* value = line + klen;
    const KeyRange* range = range_of(l.text, klen - 1);
    const std::string key(l.text, klen - 1);
    auto refuse = [&](SettingResult why) {
        std::string v = value;
        while (!v.empty() && is_blank(v.front())) v.erase(v.begin());
        message = key + "=" + v + ": " + key + " takes " + range_text(range, l.field.kind) +
                  (why == SettingResult::bad_value ? "" : ", not " + v);
        return why;
    };
    switch (l.field.kind) {
    case FieldRef::integer: {
        int v = 0;
        if (!settings_scan_int(value, v)) return refuse(SettingResult::bad_value);
        if (checked && range && (v < range->low || v > range->high)) return refuse(SettingResult::out_of_range);
        l.field.set(settings, v);
        // verbose above 1 (taken as unsigned, so negative values too) means 1 plus the
        // pool's memory trace; the trace itself is never saved.
        if (l.field.i == &Settings::verbose && unsigned(settings.verbose) > 1) {
            settings.verbose = 1;
            settings.mem_trace = true;
        }
        return SettingResult::ok;
    }
    case FieldRef::real: {
        float v = 0;
        if (!settings_scan_real(value, v)) return refuse(SettingResult::bad_value);
        if (checked && range && (v < range->low || v > range->high)) return refuse(SettingResult::out_of_range);
        settings.*l.field.r = v;
        return SettingResult::ok;
    }
    case FieldRef::text: {
        if (cut) {
            message = key + ": a text longer than the " + std::to_string(ini_line_max) +
                      " characters a kestrix.ini line holds";
            return SettingResult::bad_value;
        }
        std::string v;
        if (!scan_text(value, v)) return refuse(SettingResult::bad_value);
        settings.*l.field.t = std::move(v);
        if (l.field.t == &Settings::xi_dir) keep_final_separator(settings.xi_dir);
        return SettingResult::ok;
    }
    case FieldRef::none: break;
    }
    return SettingResult::unknown_key;
}

// Reads one line of at most ini_line_max characters into line, skipping the rest of a longer
// line (`cut` tells) and dropping the line break. False at the end of the file.
bool read_line(FILE* f, char (&line)[ini_line_max + 1], bool& cut)
{
    size_t n = 0;
    cut = false;
    int c = std::getc(f);
    if (c == EOF) return false;
    while (c != EOF && c != '\n') {
        if (n < ini_line_max)
            line[n++] = char(c);
        else if (c != '\r')
            cut = true;
        c = std::getc(f);
    }
    if (n > 0 && line[n - 1] == '\r') --n; // a file written on Windows, read elsewhere
    line[n] = 0;
    return true;
}

// A text as the saver writes it: in double quotes where the reader would otherwise take blanks
// at its ends or quotes around it away.
std::string stored_text(const std::string& text)
{
    const bool quote = !text.empty() && (is_blank(text.front()) || is_blank(text.back()) ||
                                         (text.size() >= 2 && text.front() == '"' && text.back() == '"'));
    return quote ? '"' + text + '"' : text;
}

// Why a text field cannot be saved whole, "" when it can.
std::string unstorable(const IniLine& l, const Settings& from)
{
    const std::string& text = from.*l.field.t;
    const std::string key(l.text, key_length(l) - 1);
    if (text.find_first_of("\r\n") != std::string::npos) return key + " holds a line break, which kestrix.ini cannot hold";
    if (key.size() + 1 + stored_text(text).size() > ini_line_max)
        return key + " is " + std::to_string(text.size()) + " characters long; a kestrix.ini line holds " +
               std::to_string(ini_line_max - key.size() - 1) + " after \"" + key + "=\"";
    return {};
}

// Writes one value line: "key=", the value by the line's conversion, the rest of the line.
void write_value_line(FILE* f, const IniLine& l, const Settings& from)
{
    size_t klen = key_length(l);
    std::fwrite(l.text, 1, klen, f);
    const char* conv = l.text + klen;
    const char* rest = conv + 1;
    while (*rest && !std::isalpha(static_cast<unsigned char>(*rest))) ++rest;
    ++rest; // past the conversion letter
    switch (l.field.kind) {
    case FieldRef::integer: {
        const int v = l.field.get(from);
        if (std::strncmp(conv, "%2d", 3) == 0)
            std::fprintf(f, "%2d", v);
        else if (std::strncmp(conv, "%3d", 3) == 0)
            std::fprintf(f, "%3d", v);
        else
            std::fprintf(f, "%d", v);
        break;
    }
    case FieldRef::real: std::fprintf(f, "%f", double(from.*l.field.r)); break;
    case FieldRef::text: std::fputs(stored_text(from.*l.field.t).c_str(), f); break;
    case FieldRef::none: break;
    }
    std::fputs(rest, f);
}

} // namespace

bool settings_scan_int(const char* s, int& out, const char** rest)
{
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(s, &end, 10);
    if (end == s || errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
    out = int(v);
    if (rest) *rest = end;
    return true;
}

bool settings_scan_real(const char* s, float& out)
{
    errno = 0;
    char* end = nullptr;
    float v = std::strtof(s, &end);
    if (end == s || !std::isfinite(v)) return false;
    out = v;
    return true;
}

bool load_settings(Settings& settings)
{
    File f = open_file(settings_file_name, "r");
    if (!f) return false;
    char line[ini_line_max + 1];
    bool cut = false;
    std::string unused;
    while (read_line(f.get(), line, cut)) apply_line(settings, line, false, false, unused, cut);
    return true;
}

bool load_settings(Settings& settings, std::vector<std::string>& warnings)
{
    File f = open_file(settings_file_name, "r");
    if (!f) return false;
    char line[ini_line_max + 1];
    bool cut = false;
    std::string message;
    for (int number = 1; read_line(f.get(), line, cut); ++number) {
        unsigned char first = static_cast<unsigned char>(line[0]);
        if (first < 'A' || first > 'z') continue; // comments, blank and indented lines
        if (apply_line(settings, line, false, true, message, cut) == SettingResult::ok) continue;
        warnings.push_back(std::string(settings_file_name) + " line " + std::to_string(number) + ": " + message +
                           " (kept as it was)");
    }
    return true;
}

bool save_settings(const Settings& from, std::string* problem)
{
    for (const IniLine& l : ini_lines)
        if (l.field.kind == FieldRef::text)
            if (std::string why = unstorable(l, from); !why.empty()) {
                if (problem) *problem = why;
                return false;
            }
    // Written under a scratch name beside it and renamed when complete: a full disk or an
    // interruption leaves the previous settings as they were. Saving replaces the file: that is
    // what a save is for.
    platform::ScratchFile part;
    if (!part.create(settings_file_name, ".part", "w")) { // text: the system's line ends
        if (problem) *problem = std::strerror(errno);
        return false;
    }
    for (const IniLine& l : ini_lines) {
        if (l.field.kind == FieldRef::none)
            std::fputs(l.text, part.get());
        else
            write_value_line(part.get(), l, from);
        std::fputc('\n', part.get());
    }
    const int e = part.commit(settings_file_name, true);
    if (e != 0 && problem) *problem = std::strerror(e);
    return e == 0;
}

bool settings_apply_line(Settings& settings, const char* line)
{
    std::string unused;
    return line && apply_line(settings, line, true, false, unused) == SettingResult::ok;
}

SettingResult settings_apply_checked(Settings& settings, const char* line, std::string& message)
{
    return apply_line(settings, line ? line : "", true, true, message);
}

std::string settings_check_int(const char* key, long long value)
{
    const KeyRange* r = range_of(key, std::strlen(key));
    if (!r || (value >= r->low && value <= r->high)) return {};
    return std::string(key) + "=" + std::to_string(value) + ": " + key + " takes " +
           range_text(r, FieldRef::integer) + ", not " + std::to_string(value);
}

std::vector<SettingKeyInfo> settings_key_list()
{
    std::vector<SettingKeyInfo> keys;
    const Settings defaults;
    auto add = [&](const IniLine& l, bool saved) {
        if (l.field.kind == FieldRef::none) return;
        SettingKeyInfo k;
        const size_t klen = key_length(l);
        k.name.assign(l.text, klen - 1);
        const KeyRange* r = range_of(l.text, klen - 1);
        k.type = l.field.kind == FieldRef::integer ? "integer" : l.field.kind == FieldRef::real ? "real" : "text";
        k.range = range_text(r, l.field.kind);
        if (l.field.kind == FieldRef::real && r) k.range = "a real, " + k.range;
        char buf[64];
        if (l.field.kind == FieldRef::integer) std::snprintf(buf, sizeof buf, "%d", l.field.get(defaults));
        if (l.field.kind == FieldRef::real) std::snprintf(buf, sizeof buf, "%f", double(defaults.*l.field.r));
        k.fallback = l.field.kind == FieldRef::text ? '"' + defaults.*l.field.t + '"' : std::string(buf);
        k.meaning = r ? r->meaning : "";
        k.saved = saved;
        keys.push_back(k);
    };
    for (const IniLine& l : ini_lines) add(l, true);
    for (const IniLine& l : transient_lines) add(l, false);
    return keys;
}
