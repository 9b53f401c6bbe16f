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
// Options apply in the order given, after kestrix.ini; a later one wins.
#include "cli/options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "settings/settings.h"

const char* const usage_text =
    "usage: kestrix [options] INPUT [OUTPUT]     convert a module into a Buzz song\n"
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
    "  --set KEY=VALUE                    any kestrix.ini key (repeatable)\n"
    "  --list SONG                        list a Buzz song's sections; +v adds their contents,\n"
    "                                     --set do_mscale1=1 machines and patterns one by one\n"
    "  --save-settings                    save the settings as kestrix.ini (like the dialog's\n"
    "                                     Save); with INPUT also converts\n"
    "  --log FILE                         also write the log text to FILE\n"
    "  -q, --quiet                        show only warnings, errors (with the line before an\n"
    "                                     error that explains it) and a failure's report\n"
    "  --help, --version\n"
    "  --                                 end of options (for names that begin with - or +)\n"
    "\n"
    "Short letters (as in kestrix.ini's comments):\n"
    "  -s +s +S   split: none / by track / by instrument     -p +p +pN  target: Tracker /\n"
    "  -w +w +W   waves: none / BMW / BMX                               PrimiFun / record N+1\n"
    "  +NN -NN    transpose by NN semitones                   +l -l      listing on / off\n"
    "  +L -L      listing and verbose on / off                +v -v      verbose on / off\n"
    "  +m +M -m   MIDI: wave per channel / per program / convert with easyxmid\n"
    "  +m<res>    midi_res     +x*<scale>  midi_scale     +x+<shift>  midi_shift\n"
    "\n"
    "The log goes to stderr; on a terminal a progress bar shows while a conversion runs.\n"
    "Exit status: 0 success, 1 the job failed (\"Error occured!\"), 2 usage error.\n";

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

// The short letters of kestrix.ini's comments. Returns false when `a` is none of them.
bool apply_letter(const std::string& a, CliRequest& req)
{
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
        return parse_int(a.substr(2), s.dopfun);
    } else if (a == "-w") {
        s.dowave = 0;
    } else if (a == "+w") {
        s.dowave = 1;
    } else if (a == "+W") {
        s.dowave = 2;
    } else if (a.size() > 1 && (a[0] == '+' || a[0] == '-') && all_digits(a.substr(1))) {
        return parse_int(a, s.transpo);
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
        return parse_float(a.substr(2), s.midi_res);
    } else if (a.size() > 3 && a.compare(0, 3, "+x*") == 0) {
        return parse_float(a.substr(3), s.midi_scale);
    } else if (a.size() > 3 && a.compare(0, 3, "+x+") == 0) {
        return parse_float(a.substr(3), s.midi_shift);
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

} // namespace

namespace {
// The converter tells input kinds by a case-sensitive search of the file's name.
bool base_has(const std::string& name, const char* ext)
{
    size_t slash = name.find_last_of("/\\");
    std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    return base.find(ext) != std::string::npos;
}
} // namespace

bool is_song_name(const std::string& name) { return base_has(name, ".bmx") || base_has(name, ".bmw"); }

std::string default_output_name(const std::string& input)
{
    size_t slash = input.find_last_of("/\\");
    std::string base = slash == std::string::npos ? input : input.substr(slash + 1);
    size_t dot = base.rfind('.');
    if (dot != std::string::npos && dot > 0) base.resize(dot);
    if (base.empty()) base = "kestrix";
    // A MOD read by the converter itself makes a BMX even when a BMW is asked for.
    const bool native_mod = base_has(input, ".mod") && !settings.domod_ext;
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

bool parse_command_line(const std::vector<std::string>& args, CliRequest& req, std::string& error)
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
            if (!parse_int(v, settings.transpo)) {
                error = "--transpose takes a number of semitones, not \"" + v + "\"";
                return false;
            }
            continue;
        }
        if (!long_value(args, i, "--set", v, matched, error)) return false;
        if (matched) {
            size_t eq = v.find('=');
            if (eq == std::string::npos || eq == 0 || v.find(' ') < eq || !settings_apply_line(v.c_str())) {
                error = "--set: unknown key or bad value in \"" + v + "\"";
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
        if (apply_letter(a, req)) continue;
        error = "unknown option \"" + a + "\"";
        return false;
    }

    if (req.help || req.version) return true;
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
