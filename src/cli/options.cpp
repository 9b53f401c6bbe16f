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
// Options apply in the order given, after kestrix.ini; a later one wins. --merge FIRST [SECOND]
// -o OUTPUT merges or transforms Buzz songs with the merge options (--scale, --blow-up, --repeat,
// --clone, --tune, --rip, ...); --generators SONG prints the generators a clone may copy.
#include "cli/options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "convert/input_formats.h"
#include "settings/settings.h"

const char* const usage_text =
    "usage: kestrix [options] INPUT [OUTPUT]     convert a module into a Buzz song\n"
    "       kestrix [options] --merge FIRST [SECOND] -o OUTPUT\n"
    "                                            merge two Buzz songs, or transform FIRST alone\n"
    "       kestrix [options] --generators SONG  list a song's generators (sources for --clone)\n"
    "       kestrix [options] --list SONG        list a Buzz song (.bmx, .bmw)\n"
    "       kestrix [options] --save-settings    write the options into kestrix.ini\n"
    "\n"
    "INPUT: an XM or MOD module (S3M and IT through mod2xm and it2xm), a Standard MIDI File\n"
    "(.mid; waves from the XI files gmc_01..gmc_10.xi, or with dopchange=1 gmp_NN.xi, in\n"
    "xi_dir; through easyxmid with domidi_ext=1), an XI instrument, or a Buzz song (listed).\n"
    "OUTPUT defaults to the input's name with .bmx (.bmw with --waves bmw) in the current\n"
    "directory.\n"
    "Settings come from kestrix.ini in the current directory, then from the options in order.\n"
    "\n"
    "  --split none|track|instrument      machines: one, one per channel, one per instrument\n"
    "  --target tracker|primifun|organ|omega1|plucked|bass|bass2|es9|vmidiout|bass3|N\n"
    "                                     target generator (N: machines.ini record N + 1);\n"
    "                                     any target but the Tracker writes no waves\n"
    "  --waves none|bmw|bmx               no waves, BMW with XI files in xi_dir, BMX with waves\n"
    "  --transpose N                      transpose the whole song by N semitones\n"
    "  --midi-tempos                      MIDI: follow the file's tempo changes (midi_tempos=1;\n"
    "                                     without it the first tempo holds throughout)\n"
    "  --set KEY=VALUE                    any kestrix.ini key (repeatable); also merge_input1,\n"
    "                                     merge_input2, merge_output, clone_source, tune_wave,\n"
    "                                     tune_level, tune_rate and rip_wave (never saved)\n"
    "  --list SONG                        list a Buzz song's sections; +v adds their contents,\n"
    "                                     --set do_mscale1=1 machines and patterns one by one\n"
    "  --save-settings                    save the settings as kestrix.ini (like the dialog's\n"
    "                                     Save); with INPUT also converts\n"
    "  --json, --format json              with --list: the song's facts as JSON on stdout\n"
    "  -y, --force                        replace an existing OUTPUT (without it kestrix\n"
    "                                     refuses to write over a file)\n"
    "  --keys, --help-keys                every settings key with its values, default, meaning\n"
    "  --log FILE                         also write the log text to FILE\n"
    "  -q, --quiet                        show only warnings, errors (with the line before an\n"
    "                                     error that explains it) and a failure's report\n"
    "  --help, --version\n"
    "  --                                 end of options (for names that begin with - or +)\n"
    "\n"
    "Merging and transforming Buzz songs (--merge; machines.ini must describe their machines\n"
    "for every option that walks machines or patterns):\n"
    "  -o, --output OUTPUT                the new song (merge_output, default morphix.bmx); it\n"
    "                                     may name an input, which is replaced only when done\n"
    "  --scale                            move the first song's machines into the left half of\n"
    "                                     the machine view, the second song's into the right\n"
    "  --shift-waves                      the second song's Tracker patterns play its waves\n"
    "                                     under their new numbers (do_mishift2)\n"
    "  --blow-up N                        tempo and pattern lengths times N (empty rows between)\n"
    "  --repeat N                         play the first song N times in a row\n"
    "  --clone SRC:TARGET                 a new TARGET machine playing generator SRC's notes\n"
    "                                     (SRC from --generators; TARGET tracker, primifun,\n"
    "                                     organ, omega1, plucked, bass, bass2, es9, vmidiout,\n"
    "                                     bass3 or a machines.ini record number)\n"
    "  --source-transpose N               transpose generator SRC itself by N semitones\n"
    "  --clone-transpose N                transpose the clone by N semitones\n"
    "  --clone-wave N                     wave number of the clone's notes (0: the source's)\n"
    "  --rip-es9                          save an ES-9 source's data as es-9.dat (for ES-9\n"
    "                                     clones and conversions)\n"
    "  --tune WAVE:LEVEL:RATE             sample rate RATE for level LEVEL of the WAVE-th wave\n"
    "                                     table entry (both counted from 1)\n"
    "  --rip WAVE                         copy wave WAVE (its index + 1) of the first song into\n"
    "                                     kxrip<WAVE, 2 hex digits>.wav beside OUTPUT (also\n"
    "                                     with --list, into the current directory)\n"
    "  --merge-after FIRST                with a conversion: then merge FIRST and the new song\n"
    "                                     into -o OUTPUT (merge_after, use_convout=1)\n"
    "\n"
    "Short letters (as in kestrix.ini's comments):\n"
    "  -s +s +S   split: none / by track / by instrument     -p +p +pN  target: Tracker /\n"
    "  -w +w +W   waves: none / BMW / BMX                               PrimiFun / record N+1\n"
    "  +NN -NN    transpose by NN semitones                   +l -l      listing on / off\n"
    "  +L -L      listing and verbose on / off                +v -v      verbose on / off\n"
    "  +m +M -m   MIDI: wave per channel / per program / convert with easyxmid\n"
    "  +m<res>    midi_res     +x*<scale>  midi_scale     +x+<shift>  midi_shift\n"
    "\n"
    "The log goes to stderr (a --list listing to stdout); on a terminal a progress bar shows\n"
    "while a conversion runs. machines.ini is read from the current directory, else beside\n"
    "the program, else from ../share/kestrix/ next to it.\n"
    "Exit status: 0 success, 1 the job failed or a file was refused (one line names the file\n"
    "and the reason), 2 usage error or a setting out of its range.\n";

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

// "key=value" through the settings' own parser and range check.
bool set_checked(Settings& settings, const std::string& line, std::string& error)
{
    std::string message;
    switch (settings_apply_checked(settings, line.c_str(), message)) {
    case SettingResult::ok: return true;
    case SettingResult::unknown_key: error = message; return false;
    case SettingResult::bad_value:
    case SettingResult::out_of_range: error = message; return false;
    }
    return false;
}

// The short letters of kestrix.ini's comments. Returns false when `a` is none of them.
bool apply_letter(Settings& settings, const std::string& a, CliRequest& req, std::string& error)
{
    float f = 0;
    Settings& s = settings;
    if (a == "-q") {
        req.quiet = true;
    } else if (a == "-s") {
        s.dotsplit = 0;
    } else if (a == "+s") {
        s.dotsplit = 1;
    } else if (a == "+S") {
        s.dotsplit = 2;
    } else if (a == "-p") {
        s.dopfun = 0;
    } else if (a == "+p") {
        s.dopfun = 1;
    } else if (a.size() > 2 && a.compare(0, 2, "+p") == 0 && all_digits(a.substr(2))) {
        return parse_int(a.substr(2), s.dopfun) && in_range("dopfun", s.dopfun, error);
    } else if (a == "-w") {
        s.dowave = 0;
    } else if (a == "+w") {
        s.dowave = 1;
    } else if (a == "+W") {
        s.dowave = 2;
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
        return parse_float(a.substr(2), f) && set_checked(settings, "midi_res=" + a.substr(2), error);
    } else if (a.size() > 3 && a.compare(0, 3, "+x*") == 0) {
        return parse_float(a.substr(3), f) && set_checked(settings, "midi_scale=" + a.substr(3), error);
    } else if (a.size() > 3 && a.compare(0, 3, "+x+") == 0) {
        return parse_float(a.substr(3), f) && set_checked(settings, "midi_shift=" + a.substr(3), error);
    } else {
        return false;
    }
    return true;
}

// "--name value" or "--name=value".
bool long_value(const std::vector<std::string>& args, size_t& i, const char* name, std::string& value,
                bool& matched, std::string& error)
{
    const std::string& a = args[i];
    size_t n = std::strlen(name);
    if (a.compare(0, n, name) != 0) return true;
    if (a.size() == n) {
        matched = true;
        if (i + 1 >= args.size()) {
            error = std::string(name) + " needs a value";
            return false;
        }
        value = args[++i];
        return true;
    }
    if (a[n] == '=') {
        matched = true;
        value = a.substr(n + 1);
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

// The options of the merge and the machine and wave tools. Returns false with `error` set on a
// bad value; `matched` tells whether `args[i]` was one of them.
bool apply_merge_option(Settings& settings, const std::vector<std::string>& args, size_t& i, CliRequest& req, bool& matched,
                        std::string& error)
{
    static const char* const clone_names[] = {"tracker", "primifun", "organ", "omega1", "plucked",
                                              "bass",    "bass2",    "es9",   "vmidiout", "bass3"};
    Settings& s = settings;
    const std::string& a = args[i];
    matched = true;
    if (a == "--merge") {
        req.merge = true;
        return true;
    }
    if (a == "--scale") {
        s.do_mscale1 = s.do_mscale2 = 1;
        return true;
    }
    if (a == "--shift-waves") {
        s.do_mishift2 = 1;
        return true;
    }
    if (a == "--rip-es9") {
        s.rip_es9 = 1;
        return true;
    }
    if (a == "-o") {
        if (i + 1 >= args.size()) {
            error = "-o needs a file name";
            return false;
        }
        req.merge_output = args[++i];
        return true;
    }
    std::string v;
    auto option = [&](const char* name) {
        matched = false;
        if (!long_value(args, i, name, v, matched, error)) return false;
        return matched;
    };
    auto bad = [&](const char* what) {
        error = std::string(a.substr(0, a.find('='))) + " takes " + what + ", not \"" + v + "\"";
        return false;
    };
    int n[3];
    if (option("--output")) {
        if (v.empty()) return bad("a file name");
        req.merge_output = v;
    } else if (option("--generators")) {
        req.generators = true;
        req.input = v;
    } else if (option("--blow-up")) {
        if (!parse_int(v, n[0]) || n[0] < 1) return bad("a factor of 1 or more");
        if (!in_range("blow_up", n[0], error)) return false;
        s.blow_up = n[0];
    } else if (option("--repeat")) {
        if (!parse_int(v, n[0]) || n[0] < 1) return bad("a count of 1 or more");
        if (!in_range("song_repeat", n[0], error)) return false;
        s.song_repeat = n[0];
    } else if (option("--clone")) {
        const size_t colon = v.find(':');
        int target = colon == std::string::npos ? -1 : name_index(v.substr(colon + 1), clone_names, 10);
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
    } else if (option("--source-transpose")) {
        if (!parse_int(v, n[0])) return bad("a number of semitones");
        if (!in_range("mtranspo", n[0], error)) return false;
        s.mtranspo = n[0];
    } else if (option("--clone-transpose")) {
        if (!parse_int(v, n[0])) return bad("a number of semitones");
        if (!in_range("clone_trans", n[0], error)) return false;
        s.clone_trans = n[0];
    } else if (option("--clone-wave")) {
        if (!parse_int(v, n[0]) || n[0] < 0 || n[0] > 255) return bad("a wave number 0 to 255");
        s.clone_wave = n[0];
    } else if (option("--tune")) {
        if (!parse_int_list(v, n, 3) || n[0] < 1 || n[1] < 1 || n[2] < 1)
            return bad("WAVE:LEVEL:RATE (three numbers of 1 or more)");
        s.tune_wave = n[0];
        s.tune_level = n[1];
        s.tune_rate = n[2];
    } else if (option("--rip")) {
        if (!parse_int(v, n[0]) || n[0] < 1 || n[0] > 0xFFFF) return bad("a wave number of 1 or more");
        s.rip_wave = n[0];
    } else if (option("--merge-after")) {
        if (v.empty() || v.size() >= settings_text_size) return bad("a Buzz song");
        s.merge_after = 1;
        s.use_convout = 1;
        settings_set_text(s.merge_input1, v.c_str());
    } else {
        matched = false;
    }
    return error.empty();
}

} // namespace

// The same kind the conversion sees in the name (its last extension, in any case).
bool is_song_name(const std::string& name) { return kind_by_name(name) == InputKind::buzz_song; }

std::string default_output_name(const Settings& settings, const std::string& input)
{
    size_t slash = input.find_last_of("/\\");
    std::string base = slash == std::string::npos ? input : input.substr(slash + 1);
    size_t dot = base.rfind('.');
    if (dot != std::string::npos && dot > 0) base.resize(dot);
    if (base.empty()) base = "kestrix";
    // A MOD read by the converter itself makes a BMX even when a BMW is asked for.
    const bool native_mod = input.find(".mod", slash == std::string::npos ? 0 : slash + 1) != std::string::npos &&
                            !settings.domod_ext;
    const bool bmw = settings.dopfun == 0 && settings.dowave == 1 && !native_mod;
    return base + (bmw ? ".bmw" : ".bmx");
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

bool parse_command_line(Settings& settings, const std::vector<std::string>& args, CliRequest& req, std::string& error)
{
    static const char* const split_names[] = {"none", "track", "instrument"};
    static const char* const target_names[] = {"tracker", "primifun", "organ", "omega1", "plucked",
                                               "bass", "bass2", "es9", "vmidiout", "bass3"};
    static const char* const wave_names[] = {"none", "bmw", "bmx"};
    std::vector<std::string> positional;
    bool options_done = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (options_done || a.empty() || (a[0] != '-' && a[0] != '+') || a == "-" ) {
            positional.push_back(a);
            continue;
        }
        if (a == "--") {
            options_done = true;
            continue;
        }
        if (a == "--help" || a == "-h") {
            req.help = true;
            continue;
        }
        if (a == "--version") {
            req.version = true;
            continue;
        }
        if (a == "--save-settings") {
            req.save = true;
            continue;
        }
        if (a == "--quiet") {
            req.quiet = true;
            continue;
        }
        if (a == "-y" || a == "--force") {
            req.force = true;
            continue;
        }
        if (a == "--keys" || a == "--help-keys") {
            req.keys = true;
            continue;
        }
        if (a == "--json" || a == "--format=json") {
            req.json = true;
            continue;
        }
        if (a == "--midi-tempos") {
            settings.midi_tempos = 1;
            continue;
        }
        if (a == "--format") {
            if (i + 1 >= args.size() || (args[i + 1] != "json" && args[i + 1] != "text")) {
                error = "--format takes json or text";
                return false;
            }
            req.json = args[++i] == "json";
            continue;
        }
        std::string v;
        bool matched = false;
        if (!long_value(args, i, "--split", v, matched, error)) return false;
        if (matched) {
            int k = name_index(v, split_names, 3);
            if (k < 0) {
                error = "--split takes none, track or instrument, not \"" + v + "\"";
                return false;
            }
            settings.dotsplit = k;
            continue;
        }
        if (!long_value(args, i, "--target", v, matched, error)) return false;
        if (matched) {
            int k = name_index(v, target_names, 10);
            if (k < 0 && (!all_digits(v) || !parse_int(v, k))) {
                error = "--target takes a machine name or a number, not \"" + v + "\"";
                return false;
            }
            if (!in_range("dopfun", k, error)) return false;
            settings.dopfun = k;
            continue;
        }
        if (!long_value(args, i, "--waves", v, matched, error)) return false;
        if (matched) {
            int k = name_index(v, wave_names, 3);
            if (k < 0) {
                error = "--waves takes none, bmw or bmx, not \"" + v + "\"";
                return false;
            }
            settings.dowave = k;
            continue;
        }
        if (!long_value(args, i, "--transpose", v, matched, error)) return false;
        if (matched) {
            int t = 0;
            if (!parse_int(v, t)) {
                error = "--transpose takes a number of semitones, not \"" + v + "\"";
                return false;
            }
            if (!in_range("transpo", t, error)) return false;
            settings.transpo = t;
            continue;
        }
        if (!long_value(args, i, "--set", v, matched, error)) return false;
        if (matched) {
            size_t eq = v.find('=');
            if (eq == std::string::npos || eq == 0 || v.find(' ') < eq) {
                error = "--set takes KEY=VALUE, not \"" + v + "\" (kestrix --keys lists the keys)";
                return false;
            }
            std::string message;
            SettingResult r = settings_apply_checked(settings, v.c_str(), message);
            if (r == SettingResult::unknown_key) {
                error = "--set: " + message + " (kestrix --keys lists the keys)";
                return false;
            }
            if (r != SettingResult::ok) {
                error = "--set " + message + " (kestrix --keys lists every key)";
                return false;
            }
            continue;
        }
        if (!long_value(args, i, "--log", v, matched, error)) return false;
        if (matched) {
            if (v.empty()) {
                error = "--log needs a file name";
                return false;
            }
            req.log_file = v;
            continue;
        }
        if (!long_value(args, i, "--list", v, matched, error)) return false;
        if (matched) {
            if (!is_song_name(v)) {
                error = "--list takes a Buzz song (.bmx or .bmw), not \"" + v + "\"";
                return false;
            }
            req.list = true;
            req.input = v;
            continue;
        }
        if (!apply_merge_option(settings, args, i, req, matched, error)) return false;
        if (matched) continue;
        if (apply_letter(settings, a, req, error)) continue;
        if (error.empty()) error = "unknown option \"" + a + "\"";
        return false;
    }

    if (req.help || req.version || req.keys) return true;
    if (req.json && !req.list) {
        error = "--json goes with --list SONG";
        return false;
    }
    if (int(req.list) + int(req.merge) + int(req.generators) > 1) {
        error = "--list, --merge and --generators exclude each other";
        return false;
    }
    if (!req.merge_output.empty() && !req.merge && !settings.merge_after) {
        error = "-o names the song of a merge: use --merge or --merge-after";
        return false;
    }
    if (req.merge_output.size() >= settings_text_size) {
        error = "file name too long";
        return false;
    }
    if (req.merge || req.generators) {
        const size_t most = req.merge ? 2 : 0;
        if (positional.size() > most || (req.merge && positional.empty())) {
            error = req.merge ? "--merge takes one or two Buzz songs" : "--generators takes one song and no other file";
            return false;
        }
        for (const auto& p : positional)
            if (p.size() >= settings_text_size) {
                error = "file name too long";
                return false;
            }
        if (req.merge) {
            settings_set_text(settings.merge_input1, positional[0].c_str());
            settings_set_text(settings.merge_input2, positional.size() == 2 ? positional[1].c_str() : "");
            settings.use_convout = positional.size() == 2 ? 0 : 2;
            settings.merge_after = 0;
        }
        if (!req.merge_output.empty()) settings_set_text(settings.merge_output, req.merge_output.c_str());
        if (req.generators && req.input.empty()) {
            error = "--generators needs a song";
            return false;
        }
        return true;
    }
    if (!req.merge_output.empty()) settings_set_text(settings.merge_output, req.merge_output.c_str());
    if (req.list) {
        if (!positional.empty()) {
            error = "--list takes one song and no other file";
            return false;
        }
    } else {
        if (positional.size() > 2) {
            error = "too many file names";
            return false;
        }
        if (!positional.empty()) req.input = positional[0];
        if (positional.size() == 2) req.output = positional[1];
        if (req.input.empty() && !req.save) {
            error = "no input file";
            return false;
        }
        if (!req.output.empty() && is_song_name(req.input)) {
            error = "a Buzz song as input is listed, not converted: no OUTPUT";
            return false;
        }
    }
    if (req.input.size() >= settings_text_size || req.output.size() >= settings_text_size) {
        error = "file name too long";
        return false;
    }
    // As on the dialog's pages: any target but the Tracker makes a song without waves.
    if (settings.dopfun != 0) settings.dowave = 0;
    if (req.list) settings.dolist = 1;
    return true;
}

int job_mode_of(const Settings& settings, const CliRequest& req)
{
    if (req.merge) return 2;
    return settings.merge_after ? 3 : 1;
}
