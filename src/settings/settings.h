// The options record. Persistent fields carry the names of their kestrix.ini keys; the others hold
// a job's file names and the tool pages' fields. Each front end keeps its own record and gives a
// job a copy (the job reads it as const Settings& and never writes it); only the settings loader
// and the front ends write a record.
#pragma once

#include <cstddef>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

// Codes of kestrix.ini: each value is the number kestrix.ini stores and the dialog's radio button
// of that number stands for.
// The machines a module's notes go to (dotsplit).
enum class Split : int { one_machine = 0, by_track = 1, by_instrument = 2 };
// A song's waves (dowave): none, a BMW referring to XI files, a BMX holding them.
enum class Waves : int { none = 0, bmw = 1, bmx = 2 };
// The second song of a merge (use_convout): merge_input2, the song the conversion made, none
// (the first song transformed alone).
enum class SecondSong : int { merge_input2 = 0, converted_song = 1, none = 2 };
// The phases a job runs with its settings: convert input_file into output_file, merge (or
// transform) the songs, or the one after the other. The value is the phases' bits: 1 convert,
// 2 merge. `none` is what a job reports when a phase failed.
enum class JobMode : int { none = 0, convert = 1, merge = 2, convert_then_merge = 3 };
constexpr bool converts(JobMode m) { return (int(m) & 1) != 0; }
constexpr bool merges(JobMode m) { return (int(m) & 2) != 0; }

struct Settings {
    // --- persistent (kestrix.ini) ---
    Split dotsplit = Split::by_track; // machines: one, one per channel, one per instrument
    int dopfun = 0;         // target generator: 0 Tracker, n = machines.ini record n + 1
    Waves dowave = Waves::bmx;
    int midi_device = 0;    // output device written into vMidiOut machines
    int transpo = 0;        // semitones for the whole song
    int remove_2pat = 1;    // 1: remove duplicate patterns
    int dosminus = 0;       // 1: song length - 1
    int do_envs = 0;        // 1: convert XI/XM volume envelopes
    int do_0loops = 0;      // 1: add zero loops to waves
    int do_0track = 0;      // 1: generator numbering starts with 00
    int do_lnvol = 0;       // 1: logarithmic volume
    int domod_ext = 0;      // 1: MOD files through mod2xm too
    int dolist = 0;         // detailed listings
    int verbose = 0;        // extra diagnostics (0/1 after loading)
    int lwind_x = 10, lwind_y = 10;     // log window position, pixels
    int lwind_dx = 500, lwind_dy = 400; // log window size, pixels
    std::string buzz_path = "..\\"; // directory of buzz.exe with final separator
    int midi_tpb = 16;      // MIDI ticks per beat of the produced song
    float midi_res = 1.0f;  // MIDI resolution
    float midi_scale = 1.0f; // MIDI time scaling factor
    float midi_shift = 0.0f; // MIDI time shift in rows
    int blines = 64;        // lines per pattern (MIDI, XI songs)
    int do_firstnote0 = 0;  // 1: start time and patterns with the first note
    int use_notedels = 0;   // 1: use note delays for finer timing
    int midi_tempos = 0;    // 1: rows follow the beat and tempo changes become Master BPM changes
    int domidi_ext = 0;     // 1: MIDI through the outside converter
    int dopchange = 0;      // 0: one wave per MIDI channel, 1: one per MIDI program
    int drkit = 0;          // 0: drums gmp_81..gmp_ff, 1: one drum kit gmp_00
    int drfollow = 0;       // 1: drums follow the pitch
    int ptranspo = -12;     // pitch correction for MIDI instruments, semitones
    int drtranspo = 0;      // drum correction, semitones
    int drloopno = 1;       // 1: remove the loop flag from drum patches
    std::string xi_dir;             // XI directory, kept with a final separator when loaded
    // SoundFont (.sf2) giving the waves of a native MIDI conversion that no XI file in xi_dir
    // gives; empty: a General MIDI SoundFont found on this system, "none": no SoundFont.
    std::string soundfont;
    int do_mscale1 = 0;     // rescale the first merge input's machine positions
    int do_mscale2 = 0;     // rescale the second merge input's machine positions
    int do_mishift2 = 0;    // shift the second input's Tracker wave numbers
    SecondSong use_convout = SecondSong::none; // the merge's second song
    int merge_after = 0;    // 1: merge right after the conversion
    int blow_up = 1;        // > 1: multiply tempo and pattern lengths
    int song_repeat = 1;    // > 1: play the song that many times
    int mtranspo = 0;       // transposition of the source machine
    int clone_trans = 0;    // transposition of the clone
    int clone_wave = 1;     // wave byte of the clone, 0 = keep the source's
    int clone2 = 0;         // clone destination record (0 none)
    int rip_es9 = 0;        // 1: save an ES-9 source's data to es-9.dat

    // --- not persistent ---
    std::string input_file;
    std::string output_file = "kestrix.bmx";
    std::string log_file = "kestrix.log";
    std::string merge_input1 = "mpx1.bmx";
    std::string merge_input2 = "mpx2.bmx";
    std::string merge_output = "morphix.bmx";
    int tune_wave = 0;      // wave tuning: 1-based wave ordinal, 0 = off
    int tune_level = 1;     // wave tuning: 1-based level
    int tune_rate = 44100;  // wave tuning: new sample rate
    int rip_wave = 0;       // 1-based wave to rip into kxrip%02x.wav, 0 = off
    int clone_source = 0;   // source machine of the machine transformation, 0 = none
    bool mem_trace = false; // the pool's "ok" and "freeing" lines: a verbose above 1 in kestrix.ini
    std::string machines_ini = "machines.ini"; // where the job reads machines.ini (the front end finds it)
    int limit_tracks = 0;   // Extended page "limit tracks to" (no job reads it)
    // 1: a finished file (song, WAV, es-9.dat) may replace an existing file of its name: the
    // console's -y, the dialog (it asks first). 0: the name must still be free when the file is
    // complete. XI files never replace one; kestrix.ini is always replaced by a save.
    int replace_files = 0;
    int track_limit = 32;
    // The General MIDI SoundFont a front end found on this system for a MIDI conversion whose
    // settings name none and whose xi_dir holds none of its XI files (jobs/job_files.h).
    std::string soundfont_found;
};

// A whole-number field of Settings, an int or a code, read and written as its number (kestrix.ini,
// the dialog's controls): int_field<&Settings::dotsplit>.
struct IntField {
    int (*get)(const Settings&);
    void (*set)(Settings&, int);
};
template <auto Field>
constexpr IntField int_field{
    [](const Settings& s) { return int(s.*Field); },
    [](Settings& s, int v) { s.*Field = std::remove_cvref_t<decltype(std::declval<Settings&>().*Field)>(v); }};

// Reads "kestrix.ini" from the current directory into `settings`; false when it cannot be opened
// (nothing is changed then). A verbose that is not 0 or 1 becomes 1 and sets mem_trace.
bool load_settings(Settings& settings);
// The same, with a check of every line: a line that names no key, a value that does not parse and
// a value outside its key's range each add one message to `warnings` ("kestrix.ini line N: ...");
// such a value leaves the field as it was.
bool load_settings(Settings& settings, std::vector<std::string>& warnings);
// Writes every persistent field of `from` to "kestrix.ini" in the current directory, replacing
// the file. False, with the reason in `problem`, when a text cannot be stored whole (a line break,
// a line too long for the file's readers: nothing is written then) or the file could not be
// created or written completely.
bool save_settings(const Settings& from, std::string* problem = nullptr);

// The number rules of kestrix.ini values, also used where a number is typed in: blanks, an
// optional sign and decimal digits that fit an int (`rest`, when given, gets what follows them);
// blanks and a finite real that fits a float. `out` is left alone when the text is refused.
bool settings_scan_int(const char* s, int& out, const char** rest = nullptr);
bool settings_scan_real(const char* s, float& out);

// Applies one "key=value" line with the loader's rules (key at the start of the line, first
// match wins). Besides the keys of kestrix.ini it takes the fields that are never saved:
// merge_input1, merge_input2, merge_output, clone_source, tune_wave, tune_level, tune_rate and
// rip_wave. Returns false when the line names no key or its value does not parse; the console
// edition uses this for --set.
bool settings_apply_line(Settings& settings, const char* line);

// A key as people see it: the values it takes, its default and its meaning.
struct SettingKeyInfo {
    std::string name;
    std::string type;     // "integer", "real" or "text"
    std::string range;    // "0 to 2", "any", ...
    std::string fallback; // the default, as kestrix.ini writes it
    std::string meaning;
    bool saved = true;    // false: a field --set takes that kestrix.ini never holds
};
std::vector<SettingKeyInfo> settings_key_list();

// Applies one "key=value" line like settings_apply_line and holds the value to its key's range.
// On a refusal the field is unchanged and `message` names the key, the value and what the key
// takes.
enum class SettingResult { ok, unknown_key, bad_value, out_of_range };
SettingResult settings_apply_checked(Settings& settings, const char* line, std::string& message);
// The range check alone, for front ends that set a field themselves: empty when `value` is within
// the range of integer key `key`, else the refusal.
std::string settings_check_int(const char* key, long long value);
