// Command line of the console edition.
//
// Long options for the common settings, --set for any kestrix.ini key, and the short letters that
// kestrix.ini's comments name ("cl:"):
//   -s +s +S       dotsplit 0 / 1 / 2            -p +p +pN    dopfun 0 / 1 / N
//   -w +w +W       dowave 0 / 1 / 2              +NN -NN      transpo (semitones)
//   +l -l          dolist on / off               +L -L        dolist and verbose on / off
//   +v -v          verbose on / off
//   +m +M -m       MIDI: one wave per channel / per program / through easyxmid (domidi_ext)
//   +m<res>        midi_res                      +x*<scale>   midi_scale    +x+<shift>  midi_shift
// Options apply in the order given, after kestrix.ini; a later one wins. Every named option is
// looked up in the option table (option_table.h), which also makes --help: an option the table
// does not list is unknown.
#include "cli/options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cli/option_table.h"
#include "convert/input_formats.h"
#include "platform/platform.h"

namespace {

bool parse_int(const std::string& s, int& out)
{
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(s.c_str(), &end, 10);
    if (errno || *end || v < -2147483647L || v > 2147483647L) return false;
    out = int(v);
    return true;
}

bool parse_float(const std::string& s, float& out)
{
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (errno || *end) return false;
    out = float(v);
    return true;
}

bool all_digits(const std::string& s)
{
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

int name_index(const std::string& v, const char* const* names, int count)
{
    for (int i = 0; i < count; ++i)
        if (v == names[i]) return i;
    return -1;
}

// False with `error` set when integer setting `key` may not take `value`.
bool in_range(const char* key, long long value, std::string& error)
{
    error = settings_check_int(key, value);
    if (!error.empty()) error += " (kestrix --keys lists every key)";
    return error.empty();
}

// "key=value" through the settings' own parser and range check; the refusal in `message`.
SettingResult apply_setting(Settings& s, const std::string& line, std::string& message)
{
    return settings_apply_checked(s, line.c_str(), message);
}

bool set_checked(Settings& s, const std::string& line, std::string& error)
{
    return apply_setting(s, line, error) == SettingResult::ok;
}

// The short letters of kestrix.ini's comments. Returns false when `a` is none of them.
bool apply_letter(Settings& s, const std::string& a, std::string& error)
{
    float f = 0;
    if (a == "-s") {
        s.dotsplit = Split::one_machine;
    } else if (a == "+s") {
        s.dotsplit = Split::by_track;
    } else if (a == "+S") {
        s.dotsplit = Split::by_instrument;
    } else if (a == "-p") {
        s.dopfun = 0;
    } else if (a == "+p") {
        s.dopfun = 1;
    } else if (a.size() > 2 && a.compare(0, 2, "+p") == 0 && all_digits(a.substr(2))) {
        return parse_int(a.substr(2), s.dopfun) && in_range("dopfun", s.dopfun, error);
    } else if (a == "-w") {
        s.dowave = Waves::none;
    } else if (a == "+w") {
        s.dowave = Waves::bmw;
    } else if (a == "+W") {
        s.dowave = Waves::bmx;
    } else if (a.size() > 1 && (a[0] == '+' || a[0] == '-') && all_digits(a.substr(1))) {
        return parse_int(a, s.transpo) && in_range("transpo", s.transpo, error);
    } else if (a == "+l") {
        s.dolist = 1;
    } else if (a == "-l") {
        s.dolist = 0;
    } else if (a == "+L") {
        s.dolist = 1;
        s.verbose = 1;
    } else if (a == "-L") {
        s.dolist = 0;
        s.verbose = 0;
    } else if (a == "+v") {
        s.verbose = 1;
    } else if (a == "-v") {
        s.verbose = 0;
    } else if (a == "+m") {
        s.domidi_ext = 0;
        s.dopchange = 0;
    } else if (a == "+M") {
        s.domidi_ext = 0;
        s.dopchange = 1;
    } else if (a == "-m") {
        s.domidi_ext = 1;
        s.dopchange = 0;
    } else if (a.size() > 2 && a.compare(0, 2, "+m") == 0) {
        return parse_float(a.substr(2), f) && set_checked(s, "midi_res=" + a.substr(2), error);
    } else if (a.size() > 3 && a.compare(0, 3, "+x*") == 0) {
        return parse_float(a.substr(3), f) && set_checked(s, "midi_scale=" + a.substr(3), error);
    } else if (a.size() > 3 && a.compare(0, 3, "+x+") == 0) {
        return parse_float(a.substr(3), f) && set_checked(s, "midi_shift=" + a.substr(3), error);
    } else {
        return false;
    }
    return true;
}

// "A:B" or "A:B:C": numbers separated by colons.
bool parse_int_list(const std::string& v, int* out, int count)
{
    size_t start = 0;
    for (int i = 0; i < count; ++i) {
        size_t colon = i + 1 < count ? v.find(':', start) : std::string::npos;
        if (i + 1 < count && colon == std::string::npos) return false;
        if (!parse_int(v.substr(start, colon == std::string::npos ? std::string::npos : colon - start), out[i]))
            return false;
        start = colon + 1;
    }
    return true;
}

const char* const split_names[] = {"none", "track", "instrument"};
const char* const target_names[] = {"tracker", "primifun", "organ", "omega1", "plucked",
                                     "bass",    "bass2",    "es9",   "vmidiout", "bass3"};
const char* const wave_names[] = {"none", "bmw", "bmx"};

// Applies one option of the table with its value `v` (empty for an option without one). False
// with `error` set on a bad value.
bool apply_option(Settings& s, OptionId id, const std::string& name, const std::string& v, CliRequest& req,
                  std::string& error)
{
    int n[3];
    auto bad = [&](const std::string& what) {
        error = name + " takes " + what + ", not \"" + v + "\"";
        return false;
    };
    // --transpose, --source-transpose and --clone-transpose: semitones within the key's range.
    auto semitones = [&](const char* key, int& field) {
        if (!parse_int(v, n[0])) return bad("a number of semitones");
        if (!in_range(key, n[0], error)) return false;
        field = n[0];
        return true;
    };
    switch (id) {
    case OptionId::help: req.help = true; break;
    case OptionId::version: req.version = true; break;
    case OptionId::save: req.save = true; break;
    case OptionId::quiet: req.quiet = true; break;
    case OptionId::verbose: s.verbose = 1; break;
    case OptionId::force: req.force = true; break;
    case OptionId::keys: req.keys = true; break;
    case OptionId::json: req.json = true; break;
    case OptionId::format:
        if (v != "json" && v != "text") return bad("json or text");
        req.json = v == "json";
        break;
    case OptionId::midi_tempos: s.midi_tempos = 1; break;
    case OptionId::split: {
        const int k = name_index(v, split_names, 3);
        if (k < 0) return bad("none, track or instrument");
        s.dotsplit = Split(k);
        break;
    }
    case OptionId::target: {
        int k = name_index(v, target_names, 10);
        if (k < 0 && (!all_digits(v) || !parse_int(v, k))) return bad("a machine name or a number");
        if (!in_range("dopfun", k, error)) return false;
        s.dopfun = k;
        break;
    }
    case OptionId::waves: {
        const int k = name_index(v, wave_names, 3);
        if (k < 0) return bad("none, bmw or bmx");
        s.dowave = Waves(k);
        break;
    }
    case OptionId::transpose:
        if (!semitones("transpo", s.transpo)) return false;
        break;
    case OptionId::set: {
        // The value is the whole argument: a text may hold blanks ("xi_dir=my xi/").
        const size_t eq = v.find('=');
        if (eq == std::string::npos || eq == 0 || v.find(' ') < eq) {
            error = "--set takes KEY=VALUE, not \"" + v + "\" (kestrix --keys lists the keys)";
            return false;
        }
        std::string message;
        const SettingResult r = apply_setting(s, v, message);
        if (r == SettingResult::ok) break;
        error = r == SettingResult::unknown_key ? "--set: " + message + " (kestrix --keys lists the keys)"
                                                : "--set " + message + " (kestrix --keys lists every key)";
        return false;
    }
    case OptionId::log:
        if (v.empty()) return bad("a file name");
        if (v == "-") {
            error = "--log takes a file name; the log goes to stderr anyway";
            return false;
        }
        req.log_file = v;
        break;
    case OptionId::list: req.list = true; break;
    case OptionId::generators: req.generators = true; break;
    case OptionId::libraries: req.libraries = true; break;
    case OptionId::export_xi: req.export_xi = true; break;
    case OptionId::soundfont:
        if (v.empty()) return bad("a SoundFont file (.sf2) or none");
        s.soundfont = v;
        break;
    case OptionId::jobs:
        // Each job runs one converter at a time: the jobs never wait for a converter's slot.
        if (!parse_int(v, n[0]) || n[0] < 1 || n[0] > platform::max_programs_at_once)
            return bad("a number of jobs from 1 to " + std::to_string(platform::max_programs_at_once));
        req.jobs = n[0];
        break;
    case OptionId::output_dir:
        if (v.empty()) return bad("a folder");
        req.output_dir = v;
        break;
    case OptionId::merge: req.merge = true; break;
    case OptionId::output:
        if (v.empty()) return bad("a file name");
        req.merge_output = v;
        break;
    case OptionId::scale: s.do_mscale1 = s.do_mscale2 = 1; break;
    case OptionId::shift_waves: s.do_mishift2 = 1; break;
    case OptionId::rip_es9: s.rip_es9 = 1; break;
    case OptionId::blow_up:
        if (!parse_int(v, n[0]) || n[0] < 1) return bad("a factor of 1 or more");
        if (!in_range("blow_up", n[0], error)) return false;
        s.blow_up = n[0];
        break;
    case OptionId::repeat:
        if (!parse_int(v, n[0]) || n[0] < 1) return bad("a count of 1 or more");
        if (!in_range("song_repeat", n[0], error)) return false;
        s.song_repeat = n[0];
        break;
    case OptionId::clone: {
        const size_t colon = v.find(':');
        int target = colon == std::string::npos ? -1 : name_index(v.substr(colon + 1), target_names, 10);
        if (colon != std::string::npos && target < 0) {
            if (all_digits(v.substr(colon + 1)) && parse_int(v.substr(colon + 1), target))
                --target; // a record number
            else
                target = -1;
        }
        if (colon == std::string::npos || !parse_int(v.substr(0, colon), n[0]) || n[0] < 1 || target < 0)
            return bad("SOURCE:TARGET (a machine number and a machine name or record)");
        s.clone_source = n[0];
        s.clone2 = target + 1;
        break;
    }
    case OptionId::source_transpose:
        if (!semitones("mtranspo", s.mtranspo)) return false;
        break;
    case OptionId::clone_transpose:
        if (!semitones("clone_trans", s.clone_trans)) return false;
        break;
    case OptionId::clone_wave:
        if (!parse_int(v, n[0]) || n[0] < 0 || n[0] > 255) return bad("a wave number 0 to 255");
        s.clone_wave = n[0];
        break;
    case OptionId::tune:
        if (!parse_int_list(v, n, 3) || n[0] < 1 || n[1] < 1 || n[2] < 1)
            return bad("WAVE:LEVEL:RATE (three numbers of 1 or more)");
        s.tune_wave = n[0];
        s.tune_level = n[1];
        s.tune_rate = n[2];
        break;
    case OptionId::rip:
        if (!parse_int(v, n[0]) || n[0] < 1 || n[0] > 0xFFFF) return bad("a wave number of 1 or more");
        s.rip_wave = n[0];
        break;
    case OptionId::merge_after:
        if (v.empty()) return bad("a Buzz song");
        s.merge_after = 1;
        s.use_convout = SecondSong::converted_song;
        s.merge_input1 = v;
        break;
    }
    return true;
}

// Options that belong to the call as a whole rather than to each job of a batch.
bool call_option(OptionId id)
{
    return id == OptionId::jobs || id == OptionId::output_dir || id == OptionId::log || id == OptionId::quiet ||
           id == OptionId::save;
}

} // namespace

// The same kind the conversion sees in the name (its last extension, in any case).
bool is_song_name(const std::string& name) { return kind_by_name(name) == InputKind::buzz_song; }

bool second_name_is_output(const std::string& name)
{
    if (name == "-" || is_song_name(name)) return true;
    if (platform::name_taken(name.c_str())) return false;
    return kind_by_name(name) == InputKind::none;
}

std::string default_output_name(const Settings& s, const std::string& input, const std::string& output_dir)
{
    const size_t slash = input.find_last_of("/\\");
    std::string base = slash == std::string::npos ? input : input.substr(slash + 1);
    const size_t dot = base.rfind('.');
    if (dot != std::string::npos && dot > 0) base.resize(dot);
    if (base.empty() || input == "-") base = "kestrix";
    const bool bmw = s.dopfun == 0 && s.dowave == Waves::bmw;
    std::string folder;
    if (!output_dir.empty()) {
        folder = output_dir;
        if (folder.back() != '/' && folder.back() != '\\') folder += platform::path_separator;
    } else if (slash != std::string::npos) {
        folder = input.substr(0, slash + 1);
    }
    return folder + base + (bmw ? ".bmw" : ".bmx");
}

bool wants_help_or_version(const std::vector<std::string>& args, CliRequest& req)
{
    for (const auto& a : args) {
        if (a == "--") break;
        if (a == "--help" || a == "-h") req.help = true;
        if (a == "--version") req.version = true;
    }
    return req.help || req.version;
}

bool parse_command_line(Settings& s, const std::vector<std::string>& args, CliRequest& req, std::string& error)
{
    std::vector<std::string> names;
    bool options_done = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (options_done || a.empty() || (a[0] != '-' && a[0] != '+') || a == "-") {
            names.push_back(a);
            continue;
        }
        if (a == "--") {
            options_done = true;
            continue;
        }
        // "--name value", "--name=value", "-j 4", "-j4"
        const size_t eq = a.starts_with("--") ? a.find('=') : std::string::npos;
        std::string name = a.substr(0, eq);
        const OptionDoc* o = find_option(name);
        std::string value;
        bool inline_value = eq != std::string::npos;
        if (inline_value) value = a.substr(eq + 1);
        if (!o && !a.starts_with("--") && a.size() > 2 && a[0] == '-') {
            // A short option with its value attached: -j4, -Osongs
            const OptionDoc* shortened = find_option(a.substr(0, 2));
            if (shortened && shortened->value) {
                o = shortened;
                name = a.substr(0, 2);
                value = a.substr(2);
                inline_value = true;
            }
        }
        if (!o) {
            if (apply_letter(s, a, error)) continue;
            if (error.empty()) error = "unknown option \"" + a + "\"";
            return false;
        }
        if (o->value && !inline_value) {
            if (i + 1 >= args.size()) {
                error = name + " needs a value";
                return false;
            }
            value = args[++i];
        } else if (!o->value && inline_value) {
            // --list=SONG, --generators=SONG and --libraries=SONG name their song
            if (o->id != OptionId::list && o->id != OptionId::generators && o->id != OptionId::libraries) {
                error = name + " takes no value";
                return false;
            }
            names.push_back(value);
        }
        if (!apply_option(s, o->id, name, value, req, error)) return false;
        if (!call_option(o->id)) {
            req.job_options.push_back(name);
            if (o->value) req.job_options.push_back(value);
        }
    }

    if (req.help || req.version || req.keys) return true;
    if (req.json && !req.list) {
        error = "--json goes with --list SONG";
        return false;
    }
    if (int(req.list) + int(req.merge) + int(req.generators) + int(req.libraries) + int(req.export_xi) > 1) {
        error = "--list, --merge, --generators, --libraries and --export-xi exclude each other";
        return false;
    }
    // Without a merge, -o names the song of the one input: any name, also one an input could have.
    std::string named_output;
    if (!req.merge && !s.merge_after) named_output.swap(req.merge_output);
    const bool single = req.merge || req.generators || req.list || req.libraries;
    if (single && (!req.output_dir.empty() || !named_output.empty())) {
        error = std::string(named_output.empty() ? "-O" : "-o") + " goes with conversions and merges";
        return false;
    }
    for (const std::string& n : names)
        if (n == "-" && (single || names.size() > 2 || !req.output_dir.empty())) {
            error = "\"-\" (standard input or output) goes with one conversion only";
            return false;
        }
    if (req.merge) {
        if (names.empty() || names.size() > 2) {
            error = "--merge takes one or two Buzz songs";
            return false;
        }
        s.merge_input1 = names[0];
        s.merge_input2 = names.size() == 2 ? names[1] : "";
        s.use_convout = names.size() == 2 ? SecondSong::merge_input2 : SecondSong::none;
        s.merge_after = 0;
    }
    if (!req.merge_output.empty()) s.merge_output = req.merge_output;
    if (req.merge) return true;
    if (req.export_xi) {
        if (names.size() != 2 || !named_output.empty() || !req.output_dir.empty()) {
            error = "--export-xi takes a SoundFont and a folder: kestrix --export-xi FILE.sf2 DIR";
            return false;
        }
        req.inputs = names;
        req.input = names[0];
        req.output = names[1];
        return true;
    }
    if (req.generators || req.list || req.libraries) {
        const char* option = req.list ? "--list" : req.libraries ? "--libraries" : "--generators";
        if (names.size() != 1) {
            error = std::string(option) + (names.empty() ? " needs a song" : " takes one song and no other file");
            return false;
        }
        if ((req.list || req.libraries) && !is_song_name(names[0])) {
            error = std::string(option) + " takes a Buzz song (.bmx or .bmw), not \"" + names[0] + "\"";
            return false;
        }
        req.inputs = names;
        req.input = names[0];
        if (req.list) s.dolist = 1;
        return true;
    }

    // Conversions: INPUT OUTPUT, INPUT -o OUTPUT, or inputs only.
    if (!named_output.empty()) {
        if (names.size() != 1 || !req.output_dir.empty()) {
            error = "-o names the song of one input (or of a merge)";
            return false;
        }
        req.output = named_output;
    } else if (names.size() == 2 && req.output_dir.empty() && second_name_is_output(names[1])) {
        req.output = names[1];
        names.pop_back();
    }
    req.inputs = names;
    if (!names.empty()) req.input = names[0];
    if (req.input.empty() && !req.save) {
        error = "no input file";
        return false;
    }
    if (!req.output.empty() && is_song_name(req.input)) {
        error = "a Buzz song as input is listed, not converted: no OUTPUT";
        return false;
    }
    if (req.batch() || !req.output_dir.empty()) {
        for (const std::string& n : names)
            if (is_song_name(n)) {
                error = n + ": a Buzz song is listed (--list SONG), not converted";
                return false;
            }
        if (s.merge_after) {
            error = "--merge-after goes with one conversion";
            return false;
        }
    }
    // As on the dialog's pages: any target but the Tracker makes a song without waves.
    if (s.dopfun != 0) s.dowave = Waves::none;
    return true;
}

JobMode job_mode_of(const Settings& s, const CliRequest& req)
{
    if (req.merge) return JobMode::merge;
    return s.merge_after ? JobMode::convert_then_merge : JobMode::convert;
}
