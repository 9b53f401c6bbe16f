// The option table and the texts made from it: --help (wrapped to 78 columns), the manual page
// (man(7) macros) and the bash completion.
#include "cli/option_table.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr OptionDoc converting[] = {
    {OptionId::split, "--split", "none|track|instrument", "machines: one, one per channel, one per instrument",
     ValueKind::words, "none track instrument"},
    {OptionId::target, "--target", "NAME|N",
     "target generator: tracker, primifun, organ, omega1, plucked, bass, bass2, es9, vmidiout, bass3, or N for "
     "machines.ini record N + 1; any target but the Tracker writes no waves",
     ValueKind::words, "tracker primifun organ omega1 plucked bass bass2 es9 vmidiout bass3"},
    {OptionId::waves, "--waves", "none|bmw|bmx", "no waves, BMW with XI files in xi_dir, BMX with waves",
     ValueKind::words, "none bmw bmx"},
    {OptionId::transpose, "--transpose", "N", "transpose the whole song by N semitones", ValueKind::number},
    {OptionId::midi_tempos, "--midi-tempos", nullptr,
     "MIDI: follow the file's tempo changes (midi_tempos=1; without it the first tempo holds throughout)"},
    {OptionId::soundfont, "--soundfont", "FILE",
     "MIDI: take the waves no XI file in xi_dir gives from the SoundFont FILE (.sf2; soundfont=FILE; none: no "
     "SoundFont). Without it a General MIDI SoundFont of this system is taken when xi_dir holds none of the XI "
     "files",
     ValueKind::file},
    {OptionId::export_xi, "--export-xi", nullptr,
     "--export-xi FILE.sf2 DIR: write the XI files a MIDI conversion looks up from the SoundFont into DIR: "
     "gmp_01.xi ... for the programs, gmp_81.xi ... for the drum keys, gmp_00.xi for the drum kit; with --set "
     "dopchange=0 gmc_01.xi ... gmc_10.xi instead, each channel's instrument before a program change (the piano; "
     "channel 10 the kit). -y replaces existing ones"},
    {OptionId::set, "--set", "KEY=VALUE",
     "any kestrix.ini key (repeatable; a text value is the whole rest of the argument, blanks and all); also "
     "merge_input1, merge_input2, merge_output, clone_source, tune_wave, tune_level, tune_rate and rip_wave "
     "(never saved)",
     ValueKind::key},
    {OptionId::save, "--save-settings", nullptr,
     "save the settings as kestrix.ini (like the dialog's Save); with an input also converts"},
    {OptionId::keys, "--keys, --help-keys", nullptr, "every settings key with its values, default and meaning"},
};

constexpr OptionDoc files[] = {
    {OptionId::jobs, "-j, --jobs", "N", "convert N files at once (default: the number of cores)", ValueKind::number},
    {OptionId::output_dir, "-O, --output-dir", "DIR",
     "write the songs into DIR instead of beside their inputs; every name is then an input",
     ValueKind::directory},
    {OptionId::force, "-y, --force", nullptr,
     "replace an existing output, log, WAV or es-9.dat (without it kestrix refuses to write over a file); only a "
     "regular file is replaced"},
    {OptionId::log, "--log", "FILE", "also write the log text to FILE, a new file (several files: each file's log whole, in order)",
     ValueKind::file},
    {OptionId::quiet, "-q, --quiet", nullptr,
     "show only warnings, errors (with the line before an error that explains it) and a failure's report; with "
     "several files only the files that failed or warned"},
    {OptionId::verbose, "-V, --verbose", nullptr,
     "extra diagnostic lines in the log (verbose=1; kestrix.ini's letters +v and -v turn it on and off)"},
    {OptionId::list, "--list", nullptr,
     "list the Buzz song (.bmx, .bmw) named: its sections; -V adds their contents, --set do_mscale1=1 machines "
     "and patterns one by one"},
    {OptionId::json, "--json", nullptr, "with --list: the song's facts as JSON on stdout"},
    {OptionId::libraries, "--libraries", nullptr,
     "the library names of the song's machines on stdout, one machines.ini line each (the name Buzz stores, the "
     "machine's kind and byte counts where the song tells them), and whether machines.ini has it"},
    {OptionId::format, "--format", "json|text", "with --list: --format json is --json", ValueKind::words, "json text"},
    {OptionId::help, "-h, --help", nullptr, "this text"},
    {OptionId::version, "--version", nullptr, "the version, and the libxmp of the converter programs"},
};

constexpr OptionDoc merging[] = {
    {OptionId::merge, "--merge", nullptr, "merge the Buzz songs FIRST and SECOND, or transform FIRST alone"},
    {OptionId::output, "-o, --output", "OUTPUT",
     "the new song (merge_output, default morphix.bmx); it may name an input, which is replaced only when done. "
     "Without a merge: the song of the one input, whatever its name. \"-\": standard output",
     ValueKind::file},
    {OptionId::generators, "--generators", nullptr, "list the song's generators (sources for --clone) on stdout"},
    {OptionId::scale, "--scale", nullptr,
     "move the first song's machines into the left half of the machine view, the second song's into the right"},
    {OptionId::shift_waves, "--shift-waves", nullptr,
     "the second song's Tracker patterns play its waves under their new numbers (do_mishift2)"},
    {OptionId::blow_up, "--blow-up", "N", "tempo and pattern lengths times N (empty rows between)", ValueKind::number},
    {OptionId::repeat, "--repeat", "N", "play the first song N times in a row", ValueKind::number},
    {OptionId::clone, "--clone", "SRC:TARGET",
     "a new TARGET machine playing generator SRC's notes (SRC from --generators; TARGET tracker, primifun, organ, "
     "omega1, plucked, bass, bass2, es9, vmidiout, bass3 or a machines.ini record number)"},
    {OptionId::source_transpose, "--source-transpose", "N", "transpose generator SRC itself by N semitones",
     ValueKind::number},
    {OptionId::clone_transpose, "--clone-transpose", "N", "transpose the clone by N semitones", ValueKind::number},
    {OptionId::clone_wave, "--clone-wave", "N", "wave number of the clone's notes (0: the source's)", ValueKind::number},
    {OptionId::rip_es9, "--rip-es9", nullptr, "save an ES-9 source's data as es-9.dat (for ES-9 clones and conversions)"},
    {OptionId::tune, "--tune", "WAVE:LEVEL:RATE",
     "sample rate RATE for level LEVEL of the WAVE-th wave table entry (both counted from 1)"},
    {OptionId::rip, "--rip", "WAVE",
     "copy wave WAVE (its index + 1) of the first song into kxrip<WAVE, 2 hex digits>.wav beside OUTPUT (also "
     "with --list, into the current directory)",
     ValueKind::number},
    {OptionId::merge_after, "--merge-after", "FIRST",
     "with a conversion: then merge FIRST and the new song into -o OUTPUT (merge_after, use_convout=1)",
     ValueKind::song},
};

constexpr OptionGroup groups[] = {
    {"Converting:", converting},
    {"Files, log and listing:", files},
    {"Merging and transforming Buzz songs (--merge FIRST [SECOND] -o OUTPUT; machines.ini must describe their "
     "machines for every option that walks machines or patterns):",
     merging},
};

constexpr LetterDoc letters[] = {
    {"-s +s +S", "split: none / by track / by instrument"},
    {"-p +p +pN", "target: Tracker / PrimiFun / machines.ini record N + 1"},
    {"-w +w +W", "waves: none / BMW / BMX"},
    {"+NN -NN", "transpose by NN semitones"},
    {"+l -l", "listing on / off"},
    {"+L -L", "listing and verbose on / off"},
    {"+v -v", "verbose on / off (-v is off: -V turns it on)"},
    {"+m +M -m", "MIDI: wave per channel / per program / convert with easyxmid"},
    {"+m<res>", "midi_res"},
    {"+x*<scale>", "midi_scale"},
    {"+x+<shift>", "midi_shift"},
};

// The forms of a call, with what each does: the usage lines of --help and the manual's synopsis.
struct Form {
    const char* args;
    const char* does;
};
constexpr Form forms[] = {
    {"[options] FILE...", "convert each FILE into a Buzz song beside it (-O DIR: into DIR)"},
    {"[options] INPUT OUTPUT", "convert INPUT into the Buzz song OUTPUT"},
    {"[options] --merge FIRST [SECOND] -o OUTPUT", "merge two Buzz songs, or transform FIRST alone"},
    {"[options] --generators SONG", "list a song's generators (sources for --clone)"},
    {"[options] --list SONG", "list a Buzz song (.bmx, .bmw)"},
    {"[options] --libraries SONG", "the library names of a song's machines, as machines.ini takes them"},
    {"[options] --export-xi FILE.sf2 DIR", "write a SoundFont's waves as the XI files a MIDI conversion looks up"},
    {"[options] --save-settings", "write the options into kestrix.ini"},
};

// Paragraphs shared by --help and the manual page.
constexpr const char* inputs_text =
    "An input is an XM or MOD module (S3M, IT and the other formats libxmp reads go through the converter "
    "programs it2xm and mod2xm), a Standard MIDI File (.mid; waves from the XI files gmc_01..gmc_10.xi in "
    "xi_dir, or with dopchange=1 gmp_NN.xi, and from a SoundFont for those xi_dir lacks; through easyxmid with "
    "domidi_ext=1), an XI instrument, or a Buzz "
    "song (listed, not converted). \"-\" as the one input reads it from standard input.";
constexpr const char* outputs_text =
    "Each song is written beside its input, named after it with .bmx (.bmw for a BMW song), or into DIR with "
    "-O DIR. Of two names, the second is the OUTPUT when it ends in .bmx or .bmw (in any case), or when no "
    "file of that name exists and its extension is none an input has (.xm, .mod, .mid, ...); otherwise both "
    "are inputs. With -O every name is an input; -o OUTPUT names the song of the one input, whatever its name. An OUTPUT named .bmw holds a BMW song, one named .bmx a BMX "
    "song, whatever the waves setting says (the log says so). \"-\" as OUTPUT writes the song to standard "
    "output.";
constexpr const char* batch_text =
    "Several inputs are converted N at once (-j N; default: the number of cores), each by a job of its own: "
    "one line per file as it finishes (\"ok  song.xm -> song.bmx  0.12 s\", or \"failed  x.it: REASON\", with "
    "the file's warnings under it), then a summary (\"12 converted, 1 failed\"). A file that fails does not "
    "stop the others. Ctrl-C stops every job and leaves no scratch file.";
constexpr const char* settings_text =
    "Settings come from kestrix.ini in the current directory, then from the options in order; options may "
    "stand before, between or after the names.";
constexpr const char* log_text =
    "The log goes to stderr (a --list listing to stdout); on a terminal a progress bar shows while a "
    "conversion or a merge runs, and counts the files of a batch. machines.ini is read from the current "
    "directory, else beside the program, else from ../share/kestrix/ next to it.";
constexpr const char* status_text =
    "Exit status: 0 success, 1 a job failed (with several files: any of them) or a file was refused (one line "
    "names the file and the reason), 2 usage error or a setting out of its range.";

constexpr int help_width = 78;
constexpr int help_column = 36; // where the help of an option starts

// Appends `text` wrapped at blanks to `width` columns, every line after the first indented by
// `indent` blanks; the first line starts at column `at`.
void wrap(std::string& out, const char* text, int at, int indent, int width = help_width)
{
    int column = at;
    const char* p = text;
    bool first_word = true;
    while (*p) {
        while (*p == ' ') ++p;
        if (!*p) break;
        const char* end = p;
        while (*end && *end != ' ') ++end;
        const int n = int(end - p);
        if (!first_word && column + 1 + n > width) {
            out += '\n';
            out.append(size_t(indent), ' ');
            column = indent;
        } else if (!first_word) {
            out += ' ';
            ++column;
        }
        out.append(p, size_t(n));
        column += n;
        first_word = false;
        p = end;
    }
    out += '\n';
}

std::string option_label(const OptionDoc& o)
{
    std::string s = o.names;
    if (o.value) s += std::string(" ") + o.value;
    return s;
}

// Roff text: backslashes and hyphens escaped, a line never starting with a control character.
std::string roff(const std::string& text)
{
    std::string r;
    for (char c : text) {
        if (c == '\\')
            r += "\\e";
        else if (c == '-')
            r += "\\-";
        else
            r += c;
    }
    if (!r.empty() && (r[0] == '.' || r[0] == '\'')) r.insert(0, "\\&");
    return r;
}

// The spellings of an option, one by one.
std::vector<std::string> spellings(const OptionDoc& o)
{
    std::vector<std::string> names;
    const char* p = o.names;
    while (*p) {
        const char* end = std::strchr(p, ',');
        if (!end) end = p + std::strlen(p);
        names.emplace_back(p, size_t(end - p));
        p = *end ? end + 2 : end; // ", "
    }
    return names;
}

} // namespace

std::span<const OptionGroup> option_groups() { return groups; }
std::span<const LetterDoc> letter_docs() { return letters; }

const OptionDoc* find_option(const std::string& name)
{
    for (const OptionGroup& g : groups)
        for (const OptionDoc& o : g.options)
            for (const std::string& s : spellings(o))
                if (s == name) return &o;
    return nullptr;
}

std::string help_text()
{
    std::string t;
    bool first = true;
    for (const Form& f : forms) {
        std::string line = std::string(first ? "usage: " : "       ") + "kestrix " + f.args;
        first = false;
        t += line;
        if (int(line.size()) + 2 > help_column + 8) {
            t += '\n';
            line.clear();
        }
        t.append(size_t(std::max(2, help_column + 8 - int(line.size()))), ' ');
        wrap(t, f.does, help_column + 8, help_column + 8);
    }
    for (const char* p : {inputs_text, outputs_text, batch_text, settings_text}) {
        t += '\n';
        wrap(t, p, 0, 0);
    }
    for (const OptionGroup& g : groups) {
        t += '\n';
        wrap(t, g.title, 0, 0);
        for (const OptionDoc& o : g.options) {
            const std::string label = "  " + option_label(o);
            t += label;
            if (int(label.size()) + 1 > help_column) {
                t += '\n';
                t.append(size_t(help_column), ' ');
            } else {
                t.append(size_t(help_column - int(label.size())), ' ');
            }
            wrap(t, o.help, help_column, help_column);
        }
    }
    t += "  --                                end of options (for names that begin with - or +)\n";
    t += "\nShort letters (as in kestrix.ini's comments):\n";
    for (const LetterDoc& l : letters) {
        std::string label = std::string("  ") + l.letters;
        label.append(size_t(std::max(1, 14 - int(label.size()))), ' ');
        t += label;
        wrap(t, l.help, 14, 14);
    }
    for (const char* p : {log_text, status_text}) {
        t += '\n';
        wrap(t, p, 0, 0);
    }
    return t;
}

std::string manual_page(const std::string& version)
{
    std::string m;
    m += ".TH KESTRIX 1 \"\" \"kestrix " + roff(version) + "\" \"User Commands\"\n";
    m += ".SH NAME\nkestrix \\- convert tracker modules, MIDI files and XI instruments into Buzz songs\n";
    m += ".SH SYNOPSIS\n";
    for (const Form& f : forms) m += ".B kestrix\n" + roff(f.args) + "\n.br\n";
    m += ".SH DESCRIPTION\n";
    m += "kestrix converts tracker modules, Standard MIDI Files and XI instruments into songs for the modular "
         "tracker host Buzz (BMX with waves, BMW referencing XI instruments), and merges or transforms Buzz "
         "songs. The forms above:\n";
    for (const Form& f : forms) m += ".TP\n.B kestrix " + roff(f.args) + "\n" + roff(f.does) + "\n";
    for (const char* p : {inputs_text, outputs_text, batch_text, settings_text, log_text})
        m += ".PP\n" + roff(p) + "\n";
    m += ".SH OPTIONS\n";
    for (const OptionGroup& g : groups) {
        std::string title = g.title;
        if (!title.empty() && title.back() == ':') title.pop_back();
        m += ".SS " + roff(title) + "\n";
        for (const OptionDoc& o : g.options) {
            m += ".TP\n";
            bool first = true;
            std::string line;
            for (const std::string& s : spellings(o)) {
                line += (first ? "\\fB" : ", \\fB") + roff(s) + "\\fR";
                first = false;
            }
            if (o.value) line += " \\fI" + roff(o.value) + "\\fR";
            m += line + "\n" + roff(o.help) + "\n";
        }
    }
    m += ".TP\n\\fB\\-\\-\\fR\nend of options (for names that begin with \\- or +)\n";
    m += ".SS Short letters (as in the comments of kestrix.ini)\n";
    for (const LetterDoc& l : letters) m += ".TP\n.B " + roff(l.letters) + "\n" + roff(l.help) + "\n";
    m += ".SH EXIT STATUS\n" + roff(status_text) + "\n";
    m += ".SH FILES\n"
         ".TP\n.I kestrix.ini\nthe settings, in the current directory (kestrix \\-\\-keys lists every key)\n"
         ".TP\n.I machines.ini\nthe layouts of the Buzz machines: in the current directory, beside the program, "
         "or in ../share/kestrix/ next to it\n";
    m += ".SH EXAMPLES\n"
         ".nf\n"
         "kestrix *.xm *.it                 # every module into a song beside it, on every core\n"
         "kestrix \\-O songs \\-j 2 mods/*      # into songs/, two at a time\n"
         "kestrix song.xm song.bmx          # one module, the song's name given\n"
         "kestrix \\-\\-waves bmw track.it      # a BMW song, instruments as XI files in xi_dir\n"
         "kestrix \\- out.bmx < song.xm       # from standard input\n"
         "kestrix \\-\\-list song.bmx \\-\\-json    # a song's facts as JSON\n"
         "kestrix \\-\\-merge a.bmx b.bmx \\-o ab.bmx \\-\\-scale\n"
         ".fi\n";
    m += ".SH SEE ALSO\n.BR it2xm (1),\n.BR mod2xm (1),\n.BR easyxmid (1)\n";
    return m;
}

std::string bash_completion(const std::vector<std::string>& keys)
{
    std::string all, keys_words;
    std::string cases;
    for (const OptionGroup& g : groups)
        for (const OptionDoc& o : g.options) {
            std::string names;
            for (const std::string& s : spellings(o)) {
                all += (all.empty() ? "" : " ") + s;
                names += (names.empty() ? "" : "|") + s;
            }
            if (!o.value) continue;
            switch (o.kind) {
            case ValueKind::words:
                cases += "    " + names + ") COMPREPLY=($(compgen -W \"" + o.words + "\" -- \"$cur\")); return ;;\n";
                break;
            case ValueKind::file: cases += "    " + names + ") _filedir; return ;;\n"; break;
            case ValueKind::song: cases += "    " + names + ") _filedir '@(bmx|bmw|BMX|BMW)'; return ;;\n"; break;
            case ValueKind::directory: cases += "    " + names + ") _filedir -d; return ;;\n"; break;
            case ValueKind::key:
                cases += "    " + names + ") compopt -o nospace; COMPREPLY=($(compgen -S = -W \"$keys\" -- \"$cur\")); return ;;\n";
                break;
            case ValueKind::number:
            case ValueKind::none: cases += "    " + names + ") return ;;\n"; break;
            }
        }
    for (const std::string& k : keys) keys_words += (keys_words.empty() ? "" : " ") + k;
    return "# bash completion for kestrix (made from its option table)\n"
           "_kestrix()\n{\n"
           "    local cur prev words cword\n"
           "    _init_completion || return\n"
           "    local keys=\"" + keys_words + "\"\n"
           "    case $prev in\n" + cases +
           "    esac\n"
           "    if [[ $cur == -* ]]; then\n"
           "        COMPREPLY=($(compgen -W \"" + all + "\" -- \"$cur\"))\n"
           "        return\n"
           "    fi\n"
           "    _filedir\n"
           "}\n"
           "complete -F _kestrix kestrix\n";
}
