// Conversion driver: turns one input file into one Buzz song file.
//
// The kind of input comes from its name. S3M and IT modules, every other module format mod2xm
// reads, and on request MOD modules and MIDI files are first turned into XM files by outside
// converter programs. The module is then read in passes: a first pass that learns the sizes, for
// split-by-instrument an additional pass that counts the channels each instrument plays on, and
// a second pass that fills the patterns. Between them the machines are laid out and every pattern is allocated and cleared.
// Buzz song files given as input are only listed; an XI instrument becomes a song holding it.
//
// The song is written under a scratch name beside the output ("<output>-kx<pid>-<n>.part", with
// at most 16 bytes of the output's name, its dots made '_') and renamed onto the output name only when it is complete; the XM
// an outside converter makes also gets a scratch name beside the output. Scratch files are
// created exclusively (two conversions at once never share one), nothing is written into the
// current folder unless the output goes there, and every way out removes them. A conversion
// that fails leaves an existing file of the output's name untouched and no half-written song.
#include "convert/driver.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "buzz/bmx_reader.h"
#include "buzz/machines_ini.h"
#include "buzz/write_primitives.h"
#include "convert/input_formats.h"
#include "convert/instrument_reader.h"
#include "convert/module_formats.h"
#include "core/log.h"
#include "core/pool.h"
#include "midi/note_placement.h"
#include "midi/smf_reader.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "song/midi_state.h"
#include "song/song.h"
#include "songwriter/bmx_writer.h"
#include "songwriter/generators.h"
#include "songwriter/xi_file.h"

namespace {

// Sane bounds for the counts a module gives; a song beyond them cannot be a real module.
constexpr int max_channels = 255;      // input channels (track numbers are bytes)
constexpr int max_generators = 256;    // generator machines in one song
constexpr int64_t max_pattern_bytes = int64_t(256) << 20; // pattern data of all machines
constexpr size_t large_page_bytes = size_t(2) << 20;  // the pattern blocks' alignment
constexpr int master_track_row_bytes = 4;  // amplitude word, panning word
constexpr int master_global_row_bytes = 5; // volume word, BPM word, ticks-per-beat byte
constexpr int tracker_track_row_bytes = 5; // note, wave, volume, effect, effect value
constexpr int tracker_global_row_bytes = 1; // ticks per row

constexpr const char* midi_converter_output = "midrix.xm"; // as the song names easyxmid's XM
constexpr const char* unfinished_suffix = ".part";
constexpr int scratch_attempts = 1000; // scratch names tried before giving up
constexpr size_t song_write_buffer = 1 << 18; // bytes of the song stream's buffer: large blocks, and few
                                               // pages to fault in on the first writes
constexpr const char* no_target_message = "Target machine not found, check machines.ini!!";

// What the driver keeps for the conversion it runs. The streams are owned here and every scratch
// file is removed when it ends (also while a JobAbort unwinds): a song that was not finished
// never takes the output's name.
struct DriverState {
    explicit DriverState(Conversion& conversion) : c(conversion) {}
    DriverState(const DriverState&) = delete;
    DriverState& operator=(const DriverState&) = delete;
    ~DriverState() { forget(); }

    Conversion& c;
    File input;                // the file being read (the module, the XM a converter made, ...)
    std::unique_ptr<char[]> output_buffer; // the song stream's buffer: outlives the stream (declared
                                           // first); not cleared: the stream writes it before it reads
    platform::ScratchFile output; // the song being written, under its scratch name
    std::string output_name;   // the name the finished song gets
    std::vector<std::string> scratch_files; // an outside converter's XM and input, removed at the end
    std::string converted_name; // the XM an outside converter makes, as its naming rule names it

    // Closes the streams, removes the unfinished song and the scratch files, and ends the progress.
    void forget();
    // The input to read, from now on also the one the progress follows.
    void open_input(const std::string& name);
};

const char* base_name(const char* path)
{
    const char* b = path;
    for (const char* p = path; *p; ++p)
        if (*p == '/' || *p == '\\') b = p + 1;
    return b;
}


template <class T>
T* table(Conversion& c, size_t n)
{
    return pool_array<T>(c.pool, n ? n : 1);
}

// n bytes (at least one) that the caller fills completely.
uint8_t* block(Conversion& c, size_t n)
{
    if (n > size_t(INT32_MAX)) pool_alloc_refused(c.pool, n);
    return static_cast<uint8_t*>(pool_alloc(c.pool, uint32_t(n ? n : 1)));
}

void enter_phase(Conversion& c, int phase)
{
    ConversionProgress& d = c.progress;
    if (d.phase) ++d.phases_done;
    d.phase = phase;
}

// A name beside the output that no other conversion uses (short, whatever the output's name).
std::string scratch_stem(const char* output) { return platform::scratch_stem(output); }

// Reserves the XM an outside converter writes beside the output: "<stem>.xm" created empty and
// exclusively. With a module to convert, the converter gets it as "<stem><ext>" (a link or copy
// beside the output), from which its naming rule gives "<stem>.xm". Returns the name to give
// the converter (the module's scratch name, or without one the XM's).
std::string reserve_converter_output(DriverState& d, const char* output, const char* module, const std::string& ext)
{
    if (!output || !*output) job_abort("Can't open outputfile");
    if (module && !platform::file_exists(module)) job_abort("Can't open inputfile");
    for (int attempt = 0; attempt < scratch_attempts; ++attempt) {
        const std::string stem = scratch_stem(output);
        const std::string xm = stem + ".xm";
        if (!platform::create_scratch_file(xm.c_str())) {
            if (platform::name_taken(xm.c_str())) continue; // taken: the next number
            job_abort("Can't open outputfile");
        }
        d.scratch_files.push_back(xm);
        if (!module) return xm;
        const std::string copy = stem + ext;
        if (!platform::create_scratch_copy(module, copy.c_str())) {
            if (platform::name_taken(copy.c_str())) continue;
            job_abort("Can't open outputfile");
        }
        d.scratch_files.push_back(copy);
        // What the project's own converters write until their XM is complete.
        const std::string unfinished = xm + unfinished_suffix;
        platform::watch_scratch(unfinished.c_str());
        d.scratch_files.push_back(unfinished);
        return copy;
    }
    job_abort("Can't open outputfile");
}

// The extension the module gets for mod2xm: the one the conversion recognised it by.
std::string mod2xm_extension(const Song& s)
{
    if (s.input_kind == InputKind::s3m) return ".s3m";
    if (s.input_kind == InputKind::mod) return ".mod";
    const char* base = base_name(s.converter_input.c_str());
    const char* dot = std::strrchr(base, '.');
    return dot && dot != base ? std::string(dot) : std::string();
}

void open_output(DriverState& d, const char* output, const char* input)
{
    Conversion& c = d.c;
    if (!output || !*output) job_abort("Can't open outputfile");
    // The song never replaces the module it is made from, whatever name leads to it.
    if (platform::same_file(output, input)) {
        std::string msg = std::string("Can't write ") + output + ": is the input file itself; name another output";
        job_abort(msg.c_str());
    }
    d.output_name = output;
    if (!d.output.create(output, unfinished_suffix)) job_abort("Can't open outputfile");
    c.writer.output_stream = d.output.get();
    // Songs run to tens of MB of pattern and wave data: written in large blocks, not 4 KiB ones.
    // The buffer is given: without one, the C library may keep its own size and ignore ours.
    if (!d.output_buffer) d.output_buffer.reset(new char[song_write_buffer]);
    std::setvbuf(c.writer.output_stream, d.output_buffer.get(), _IOFBF, song_write_buffer);
}

// Gives the written song its name, and with it the XI files it names. Without replace_files the
// name must still be free: another run that took it meanwhile wins, and this job fails. A write
// error (a full disk) ends the job instead of leaving a truncated song.
void finish_output(DriverState& d)
{
    Conversion& c = d.c;
    c.writer.output_stream = nullptr;
    d.input.reset(); // the output may replace the input
    c.progress.input = nullptr;
    platform::InterruptGuard guard; // the song and its XI files are kept together
    const int e = d.output.commit(d.output_name.c_str(), c.settings.replace_files != 0);
    if (e == EEXIST || e == platform::not_regular_file) {
        const std::string msg = "Can't write " + d.output_name + ": " +
                                (e == EEXIST ? "exists; -y (--force) replaces it" : platform::error_text(e));
        job_abort(msg.c_str());
    }
    if (e) {
        c.log.log_force = 1;
        log_print(c.log, "\n%s: %s", d.output_name.c_str(), std::strerror(e));
        job_abort("Can't write outputfile (disk full?)");
    }
    if (const int xe = c.exported_xi_files.keep_all()) {
        c.log.log_force = 1;
        log_print(c.log, "\n%s: %s", c.settings.xi_dir.c_str(), std::strerror(xe));
        job_abort("Could not write XI-files!!");
    }
}

// --- Native MIDI input -----------------------------------------------------------------------
// A MIDI file read by the program itself runs the MIDI pass protocol in place of the module
// reader's passes: the first pass (sizes, polyphony per track), after it the additional pass that
// counts the extra channels notes need, and the second pass that places the notes. The layout
// then gives every pattern `blines` lines and each machine the polyphony of its MIDI track.
void midi_pass(Conversion& c, int pass, SmfReader& file)
{
    Song& s = c.song;
    MidiState& ms = c.midi;
    ms.extra_channels = 0;
    if (pass == 0) {
        if (c.settings.blines < 1 || c.settings.blines > 65535) job_abort("Wrong pattern length!!");
        s.frequency_mode = freq_midi;
        if (c.settings.dopchange) {
            s.wave_count = 0;
            for (int i = 0; i < wave_map_size; ++i) s.wave_map[i] = 0;
        }
        c.log.log_enabled = 0;
        midi_read_pass(c, file);
        if (!ms.header_seen) job_abort("not a Standard MIDI File (no \"MThd\" header)");
        return;
    }
    c.log.log_enabled = c.settings.dolist;
    midi_read_pass(c, file);
    s.song_length = s.pattern_count;
    if (ms.notes_before_start) {
        c.log.log_force = 1;
        log_print(c.log, "\nWarning: %d notes before the song's start (midi_shift %g rows) left out", ms.notes_before_start,
                  double(c.settings.midi_shift));
    }
}

// Tracks of machine m in a native MIDI conversion: the polyphony of its MIDI track.
int midi_machine_tracks(Conversion& c, int m)
{
    const MidiTrackRecord* t = midi_machine_track(c, m);
    return t ? t->polyphony : 0;
}

// Whole minutes and the seconds after them of a time in ticks, for the song length lines.
void song_time(Conversion& c, int64_t ticks, double& minutes, double& seconds)
{
    const double total = std::round(midi_tick_seconds(c, double(ticks)));
    minutes = std::floor(total / 60.0);
    seconds = total - minutes * 60.0;
}

// After the first pass: song length, machines, instruments, then the additional pass that finds
// the tracks each machine needs once the notes sit on rows.
void midi_after_first_pass(Conversion& c, SmfReader& file)
{
    Song& s = c.song;
    MidiState& ms = c.midi;
    const Settings& st = c.settings;
    s.machine_count = s.cur_machine;
    s.bpm = int(std::clamp(std::trunc(midi_whole(double(s.bpm) * st.midi_res, midi_bpm_noise)), 0.0, 65535.0));
    c.log.log_enabled = 1;
    if (st.do_firstnote0 && ms.first_note_time == -1) {
        log_print(c.log, "\nWrong starttime of first note, setting to zero");
        ms.first_note_time = 0;
    }
    const int tempo_changes = midi_settle_tempo_map(c);
    if (tempo_changes > 0 && !st.midi_tempos && ms.smpte_ticks_per_second == 0) {
        c.log.log_force = 1;
        log_print(c.log, "\nWarning: the file changes tempo %d times; --set midi_tempos=1 follows them", tempo_changes);
    }
    const double last_row = midi_position(c, ms.last_note_time);
    const double patterns = std::trunc(last_row / st.blines + 1);
    s.pattern_count = int(std::clamp(patterns, 1.0, 2147483647.0));
    s.song_length = s.pattern_count;
    double minutes, seconds;
    song_time(c, ms.last_note_time, minutes, seconds);
    log_print(c.log, "\nSonglength: %d patterns ( %.0f:%02.0f min with midi_res*midi_tpb/4=%f)", s.pattern_count,
              minutes, seconds, double(st.midi_res) * st.midi_tpb / 4);
    if (st.do_firstnote0) {
        song_time(c, ms.first_note_time, minutes, seconds);
        log_print(c.log, "\nFirst note starts at time %.0f:%02.0f min", minutes, seconds);
    }
    log_print(c.log, "\n%d Machines (with Master)", s.machine_count);
    for (int m = 1; m < s.machine_count; ++m)
        log_print(c.log, "\n     Machine %2d: polyphonie: %2d", m, midi_machine_tracks(c, m));
    // Every row of the song gets at least the Master's global bytes: a song beyond the bound of
    // the layout ends here, before its tables are allocated.
    const int64_t least = int64_t(s.pattern_count) * st.blines * master_global_row_bytes;
    if (least > max_pattern_bytes) {
        c.log.log_force = 1;
        log_print(c.log, "\nPatterns need %lld bytes, %lld allowed", static_cast<long long>(least),
                  static_cast<long long>(max_pattern_bytes));
        job_abort(" ");
    }
    // One order entry per pattern, played in turn.
    if (s.pattern_count > s.order_list_room) {
        s.order_list = table<OrderEntry>(c, size_t(s.pattern_count));
        s.order_list_room = s.pattern_count;
        for (int i = 0; i < s.pattern_count; ++i) s.order_list[i].pattern = i;
    }

    // Instruments: with dopchange one per program seen (record 0 is the drum kit of drkit 1),
    // else one per channel.
    if (st.dopchange) {
        if (s.wave_count != 0) {
            s.instrument_count = ++s.wave_count;
            s.instrument_table = table<InstrumentRecord>(c, size_t(s.instrument_count));
        } else {
            // No program and no note: program 0 (the piano, gmp_01) is the one instrument.
            s.wave_count = s.instrument_count = 2;
            s.instrument_table = table<InstrumentRecord>(c, 2);
            s.instrument_table[1].wave_number = 1;
            s.wave_map[0] = 1;
        }
        s.instrument_table[0].wave_number = 0;
    } else {
        s.wave_count = s.machine_count - 1;
    }

    // A track whose notes need more tracks than the target machine has cannot be laid out; found
    // here, before the additional pass would search that many tracks for every note.
    const MachineDescription* target = machine_description(c.machines, st.dopfun + 1);
    if (!target) job_abort(no_target_message);
    for (int m = 1; m < s.machine_count; ++m)
        if (midi_machine_tracks(c, m) > target->max_tracks) {
            c.log.log_force = 1;
            log_print(c.log, "%s allows ony %d channels,sorry!", target->dll_name, target->max_tracks);
            job_abort(" ");
        }

    log_print(c.log, "\nAdditional pass (get number of additional channels):\n");
    enter_phase(c, 2);
    c.log.log_enabled = 0;
    ms.extra_channels = midi_additional_channels;
    ms.suppressed_notes = ms.short_notes = 0;
    midi_read_pass(c, file);
    c.log.log_enabled = 1;
    for (int m = 1; m < s.machine_count; ++m) {
        const MidiTrackRecord* t = midi_machine_track(c, m);
        log_print(c.log, "\n     Machine %2d:(%2d channels added) --> polyphonie: %2d", m, t ? t->added_channels : 0,
                  t ? t->polyphony : 0);
    }
    if (ms.suppressed_notes) {
        // Notes that find no track are lost: said also in quiet mode.
        c.log.log_force = 1;
        log_print(c.log, "\nWarning: There are %3d suppressed notes ( >%d additional channels) (increase midi_tpb or midi_res!)",
                  ms.suppressed_notes, midi_additional_channels);
    }
    // Information, not a warning: each such note keeps its note-on and sounds for a row.
    if (ms.short_notes) log_print(c.log, "\n%d notes shorter than a row kept one row long", ms.short_notes);
    ms.suppressed_notes = ms.short_notes = 0;
    ms.extra_channels = 0;
    s.pattern_table = table<PatternInfo>(c, size_t(s.pattern_count));
}

// midi_tempos 1: the Master plays the file's tempo map as BPM changes at their rows; its first
// BPM is the song's.
void midi_write_tempo_changes(Conversion& c)
{
    Song& s = c.song;
    const int blines = c.settings.blines;
    int beyond = 0;
    const std::vector<MidiBpmChange> changes = midi_bpm_changes(c, int64_t(s.pattern_count) * blines, &beyond);
    if (beyond) {
        c.log.log_force = 1;
        log_print(c.log, "\nWarning: %d tempo stretches beyond the Master's %d to %d BPM play at the nearest of them", beyond,
                  master_bpm_low, master_bpm_high);
    }
    if (changes.empty()) return;
    s.bpm = changes.front().bpm;
    const MachineRecord& master = s.machine_table[0];
    for (size_t i = 1; i < changes.size(); ++i) {
        const int p = int(changes[i].row / blines);
        uint8_t* row = master.global_patterns[p].data + size_t(changes[i].row % blines) * size_t(master.global_row_bytes);
        row[2] = uint8_t(changes[i].bpm & 0xFF);
        row[3] = uint8_t(changes[i].bpm >> 8);
        master.track_patterns[p].number = p + 1;
    }
    log_print(c.log, "\nTempo map: %d BPM changes on the Master, starting at %d BPM", int(changes.size()) - 1, s.bpm);
}

// --- Split by instrument -----------------------------------------------------------------------
void counting_pass(Conversion& c, FILE* in)
{
    Song& s = c.song;
    if (s.instrument_count < 0 || s.instrument_count > max_generators) job_abort("Too many instruments!!");
    if (s.channel_count < 0 || s.channel_count > max_channels) job_abort("Too many channels!!");
    if (s.pattern_count < 0 || s.pattern_count > max_module_patterns) job_abort("Too many patterns!!");
    if (s.instrument_count > 0 && !s.instrument_table) job_abort("No instruments read!!");
    for (int i = 0; i < s.instrument_count; ++i)
        s.instrument_table[i].track_map = table<uint8_t>(c, size_t(s.channel_count));
    s.pattern_channel_instrument = table<uint8_t>(c, size_t(s.pattern_count) * size_t(s.channel_count));
    s.counting_pass = 1;
    c.log.log_enabled = 1;
    log_print(c.log, "\n");
    log_print(c.log, "\nAdditional pass (to get number of tracks for instruments):\n");
    read_module(c, in);
    c.log.log_enabled = c.settings.dolist;
    assign_instrument_machines(c);
}

// --- Writing -------------------------------------------------------------------------------------
int write_output_song(DriverState& d, const char* output)
{
    Conversion& c = d.c;
    c.log.log_force = 1;
    log_print(c.log, "\nWriting BUZZ output %s \n", output);
    if (!c.settings.dolist) c.log.log_dot_interval = 100;
    enter_phase(c, 4);
    const bool written = d.output.get() != nullptr;
    if (written) {
        // The instruments of XI and native MIDI conversions are read now, once; with dowave 2
        // this also lays out their WAVE data.
        const bool xi = c.song.input_kind == InputKind::xi;
        if (c.settings.dowave != 0 && (xi || native_midi(c))) load_xi_instruments(c, xi ? d.input.get() : nullptr);
        write_song(c, d.input.get());
        finish_output(d);
    }
    if (c.song.ended_early) {
        // Shown also in quiet mode: a cut file gives a song without the part it lost.
        c.log.log_force = 1;
        const std::string& input = c.song.converter_input.empty() ? c.song.current_input : c.song.converter_input;
        log_print(c.log, "\nWarning: %s ends early; the song holds what it has", input.c_str());
    }
    if (c.song.notes_out_of_range) {
        c.log.log_force = 1;
        log_print(c.log, "\nWarning: %d notes beyond C-0 to B-15 (the notes a Buzz note byte holds) play at the nearest of them",
                  c.song.notes_out_of_range);
    }
    if (c.settings.remove_2pat && c.song.duplicates_removed) {
        c.log.log_force = 1;
        log_print(c.log, "\nRemoved %d pattern duplicates", c.song.duplicates_removed);
    }
    if (written) {
        // Shown as the other lines of a conversion are, not as part of a warning before it.
        const int enabled = c.log.log_enabled;
        c.log.log_enabled = 1;
        log_print(c.log, c.log.at_line_start ? "%s" : "\n%s", conversion_summary(c).c_str());
        c.log.log_enabled = enabled;
    }
    d.input.reset();
    c.progress.input = nullptr;
    return 1;
}

// A conversion starts from an empty song, its log as a job starts it; the machine descriptions
// are loaded anew by every conversion that needs them.
void start_conversion(Conversion& c)
{
    c.song = Song();
    c.midi = MidiState();
    c.writer = Writer();
    c.progress = ConversionProgress();
    c.log.log_enabled = 1;
    c.log.log_force = 0;
    c.log.log_dot_count = 0;
    c.log.log_dot_interval = 0;
    c.log.at_line_start = true;
    machine_descriptions_reset(c.machines);
}

void DriverState::forget()
{
    if (output.get() && c.writer.output_stream == output.get()) c.writer.output_stream = nullptr;
    output.discard();
    c.exported_xi_files.remove_all();
    input.reset();
    for (const std::string& f : scratch_files) platform::remove_scratch(f.c_str());
    scratch_files.clear();
    c.progress = ConversionProgress();
}

void DriverState::open_input(const std::string& name)
{
    input = open_file(name.c_str(), "rb");
    c.progress.input = input.get();
    c.progress.input_length = platform::file_length(name.c_str());
}

} // namespace

void detect_input_kind(Conversion& c, const char* input)
{
    Song& s = c.song;
    // The kind comes from the name's last extension; where the content clearly says another
    // kind, the content is trusted ("beat.it.remix.xm" is an XM, an XM named ".mod" is read as
    // an XM) and the log says so.
    const InputDecision d = decide_input_kind(input);
    if (d.by_content) {
        c.log.log_force = 1;
        log_print(c.log, "\n%s is %s by its content, read as such", input, input_format(d.kind)->text);
    }
    s.input_kind = d.kind;
    if (d.kind == InputKind::midi)
        s.converter_input = input;
    else
        s.current_input = input;
    if (converter_program(d.kind, c.settings)) s.converter_input = input;
    // A MOD read here exports its samples as XI instruments like an XM's for a BMW song.
    s.write_xi = c.settings.dowave == 1 ? 1 : 0;
}

int run_outside_converter(const char* program, const char* const* args, int arg_count, std::string* errors,
                          platform::RunningProgram* running)
{
    std::string name = std::string(program) + platform::exe_suffix;
    std::string path = platform::find_program(name);
    if (path.empty()) return -1;
    std::vector<std::string> argv{name};
    for (int i = 0; i < arg_count; ++i) argv.emplace_back(args[i]);
    return platform::run_program(path, argv, errors, running);
}

namespace {
// A file name as a converter's argument: a relative name that begins with '-' (a module named
// "-x.it", or a scratch file beside an output of such a name) would be taken for an option;
// with "./" before it no converter can mistake it.
std::string converter_argument(const std::string& name)
{
    return name.starts_with('-') ? std::string(".") + platform::path_separator + name : name;
}

// Where the job keeps the converter it waits for, so that killing the job ends it.
platform::RunningProgram* job_program(Conversion& c) { return c.log.cancel ? &c.log.cancel->program : nullptr; }

// A converter's lines (its summary, or why it failed), the scratch copy it read named as the
// user's file, without empty lines.
std::vector<std::string> converter_lines(std::string text, const std::string& scratch, const char* input)
{
    if (!scratch.empty())
        for (size_t at = text.find(scratch); at != std::string::npos; at = text.find(scratch, at + std::strlen(input)))
            text.replace(at, scratch.size(), input);
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const size_t length = end > start && text[end - 1] == '\r' ? end - start - 1 : end - start;
        if (length) lines.emplace_back(text, start, length);
        start = end + 1;
    }
    return lines;
}

// The converter's lines go into the job's log, forced as a console would have shown them, each
// where it belongs among the job's lines. What a converter that succeeded says is what its XM
// could not hold (or what it changed to hold it): each line is a warning, shown in quiet mode too.
void log_converter_lines(Conversion& c, const std::vector<std::string>& lines, size_t count, bool succeeded)
{
    for (size_t i = 0; i < count && i < lines.size(); ++i) {
        c.log.log_force = 1;
        log_print(c.log, "\n%s%s", succeeded ? "Warning: " : "", lines[i].c_str());
    }
}

// A converter that could not be run: where it was looked for, or that it was found and could not
// start (a library it needs is missing), and where the converters belong.
[[noreturn]] void converter_not_run(const char* message, const char* program, bool found)
{
    const std::string name = std::string(program) + platform::exe_suffix;
    const std::string self = platform::executable_path();
    const std::string self_name = self.substr(self.find_last_of("/\\") + 1);
    const bool libxmp = std::strcmp(program, "easyxmid") != 0;
    std::string why = std::string(message) + " ";
    if (found) {
        why += platform::find_program(name) + " could not start";
    } else {
        why += "No " + name + " beside " + self_name + " (in " + platform::executable_directory() +
               ") nor in a folder of PATH";
    }
#ifdef _WIN32
    why += std::string(": ") + name + (libxmp ? " and libxmp.dll belong" : " belongs") + " beside " + self_name;
#else
    why += std::string(": ") + name + " belongs beside " + self_name;
    if (libxmp) why += " (built there when libxmp-dev is installed; it runs with libxmp's library)";
#endif
    job_abort(why.c_str());
}

// Runs a converter on the job's behalf and brings its lines into the job's log. One that cannot
// be run ends the job with `not_run` and the reason (converter_not_run). With a `hint`, an exit
// code other than 0 is a failure: the code is logged, and the job ends with the converter's own
// last line, which says why (a file that is no module is called that), or with the hint when it
// said nothing.
void run_converter(Conversion& c, const char* program, const char* const* args, int arg_count,
                   const std::string& scratch, const char* input, const char* not_run, const char* hint)
{
    std::string said;
    const int e = run_outside_converter(program, args, arg_count, &said, job_program(c));
    const std::vector<std::string> lines = converter_lines(said, scratch, input);
    if (e == -1) converter_not_run(not_run, program, false);
    if (platform::program_did_not_start(e)) {
        log_converter_lines(c, lines, lines.size(), false); // the system's reason, when it gave one
        converter_not_run(not_run, program, true);
    }
    if (!hint || e == 0) {
        log_converter_lines(c, lines, lines.size(), e == 0);
        return;
    }
    c.log.log_force = 1;
    log_print(c.log, "\n%s returned with errorcode: %d", program, e);
    if (lines.empty()) job_abort(hint);
    log_converter_lines(c, lines, lines.size() - 1, false);
    job_abort(lines.back().c_str());
}
} // namespace

void assign_instrument_machines(Conversion& c)
{
    Song& s = c.song;
    int skipped = 0;
    for (int j = 0; j < s.instrument_count; ++j) {
        InstrumentRecord& ins = s.instrument_table[j];
        int n = 0;
        if (ins.track_map)
            for (int ch = 0; ch < s.channel_count; ++ch)
                if (ins.track_map[ch]) ins.track_map[ch] = uint8_t(++n);
        ins.track_count = n;
        if (n) {
            ins.machine = j - skipped + 1;
            s.instrument_table[j - skipped].machine_instrument = j;
        } else {
            ins.machine = 0;
            ++skipped;
            --s.machine_count;
        }
        log_print(c.log, "\ninstr:%d->mach:%d, tracks: %d", j, ins.machine, n);
    }
    s.counting_pass = 0;
}

void lay_out_machines(Conversion& c)
{
    Song& s = c.song;
    const int dopfun = c.settings.dopfun;
    const MachineDescription* target = machine_description(c.machines, dopfun + 1);
    if (!target) job_abort(no_target_message);
    const bool native = native_midi(c);
    const bool by_instrument = !native && c.settings.dotsplit == 2;

    // Every count comes from the input: check them all before anything is allocated.
    if (s.pattern_count < 0) job_abort("Too many patterns!!");
    if (s.pattern_count > 0 && !s.pattern_table) job_abort("No patterns read!!");
    if (!native && (s.channel_count < 0 || s.channel_count > max_channels)) job_abort("Too many channels!!");
    const int generators = s.machine_count - 1;
    if (generators < 0 || generators > max_generators) {
        c.log.log_force = 1;
        log_print(c.log, "\n%d machines needed, %d allowed", s.machine_count, max_generators + 1);
        job_abort(" ");
    }
    if (by_instrument && generators > s.instrument_count) job_abort("Wrong machine count!!");

    const int track_row = dopfun ? target->track_bytes : tracker_track_row_bytes;
    const int global_row = dopfun ? target->global_bytes : tracker_global_row_bytes;
    if (track_row < 0 || global_row < 0 || global_row > machine_bytes_area)
        job_abort(no_target_message);

    std::vector<int> tracks(size_t(generators) + 1, 0);
    for (int m = 1; m <= generators; ++m) {
        int t;
        if (by_instrument) {
            int j = s.instrument_table[m - 1].machine_instrument;
            if (j < 0 || j >= s.instrument_count) job_abort("Wrong machine count!!");
            t = s.instrument_table[j].track_count;
        } else if (native) {
            t = midi_machine_tracks(c, m);
        } else {
            t = s.tracks_per_generator;
        }
        if (t < 0) t = 0;
        if (target->max_tracks < t) {
            c.log.log_force = 1;
            log_print(c.log, "%s allows ony %d channels,sorry!", target->dll_name, target->max_tracks);
            job_abort(" ");
        }
        tracks[size_t(m)] = t;
    }

    int64_t row_bytes = int64_t(generators) * master_track_row_bytes + master_global_row_bytes +
                        global_row;
    for (int m = 1; m <= generators; ++m) row_bytes += int64_t(tracks[size_t(m)]) * track_row;
    int64_t total = 0;
    for (int p = 0; p < s.pattern_count; ++p) {
        PatternInfo& pi = s.pattern_table[p];
        if (native) pi.lines = c.settings.blines;
        if (pi.lines < 0 || pi.lines > 65535) job_abort("Wrong pattern length!!");
        total += int64_t(pi.lines) * row_bytes;
    }
    if (total > max_pattern_bytes) {
        c.log.log_force = 1;
        log_print(c.log, "\nPatterns need %lld bytes, %lld allowed", static_cast<long long>(total),
                  static_cast<long long>(max_pattern_bytes));
        job_abort(" ");
    }

    if (!native) s.channel_instrument = table<uint8_t>(c, size_t(s.channel_count));
    s.machine_table = table<MachineRecord>(c, size_t(s.machine_count));

    // A split by instrument gives each instrument's machine a track for every channel it plays
    // on, nearly all of their rows empty: its generators' track rows are held sparse
    // (song/pattern_cells.h). Otherwise every input cell has one track row, and the rows are held
    // whole. The blocks held whole come out of one allocation: one request instead of one per
    // pattern and machine, aligned so that the system may back it with large pages (the blocks
    // are filled right away, page by page). Each block is filled completely below.
    const bool sparse_rows = by_instrument;
    int64_t whole = 0;
    for (int p = 0; p < s.pattern_count; ++p) {
        int64_t row = master_global_row_bytes + global_row;
        if (!sparse_rows) {
            row += int64_t(generators) * master_track_row_bytes;
            for (int m = 1; m <= generators; ++m) row += int64_t(tracks[size_t(m)]) * track_row;
        }
        whole += int64_t(s.pattern_table[p].lines) * row;
    }
    const size_t align = size_t(whole) >= large_page_bytes ? large_page_bytes : 1;
    uint8_t* arena = block(c, size_t(whole) + align - 1);
    arena += (align - reinterpret_cast<uintptr_t>(arena) % align) % align;
    if (align > 1) platform::prefer_large_pages(arena, size_t(whole));
    size_t arena_left = size_t(whole);
    auto take = [&](size_t n) {
        if (n > arena_left) job_abort("Wrong pattern length!!");
        uint8_t* b = arena;
        arena += n;
        arena_left -= n;
        return b;
    };

    MachineRecord& master = s.machine_table[0];
    master.kind = 0;
    master.track_count = generators;
    master.track_row_bytes = master_track_row_bytes;
    master.global_row_bytes = master_global_row_bytes;
    uint8_t* master_empty = table<uint8_t>(c, master_track_row_bytes);
    std::memset(master_empty, 255, master_track_row_bytes);
    master.empty_row = master_empty;
    master.track_patterns = table<PatternData>(c, size_t(s.pattern_count));
    master.global_patterns = table<PatternData>(c, size_t(s.pattern_count));
    for (int p = 0; p < s.pattern_count; ++p) {
        PatternInfo& pi = s.pattern_table[p];
        pi.play_lines = pi.lines;
        pi.start_row = 0;
        size_t lines = size_t(pi.lines);
        if (!sparse_rows) {
            size_t tn = size_t(generators) * lines * master_track_row_bytes;
            master.track_patterns[p].data = take(tn);
            std::memset(master.track_patterns[p].data, 255, tn);
        }
        size_t gn = lines * master_global_row_bytes;
        master.global_patterns[p].data = take(gn);
        std::memset(master.global_patterns[p].data, 255, gn);
    }

    // vMidiOut under native MIDI: cells without a note name no channel and no program change.
    c.midi.midi_out_channel = 0;
    c.midi.midi_out_program = 255;

    uint8_t* generator_empty = table<uint8_t>(c, size_t(track_row));
    fill_empty_cells(c, generator_empty, 1, track_row);
    for (int m = 1; m <= generators; ++m) {
        MachineRecord& mr = s.machine_table[m];
        mr.kind = 1;
        mr.track_row_bytes = track_row;
        mr.empty_row = generator_empty;
        mr.global_row_bytes = global_row;
        mr.track_count = tracks[size_t(m)];
        mr.track_patterns = table<PatternData>(c, size_t(s.pattern_count));
        if (!sparse_rows)
            for (int p = 0; p < s.pattern_count; ++p) {
                const size_t rows = size_t(mr.track_count) * size_t(s.pattern_table[p].lines);
                mr.track_patterns[p].data = take(rows * size_t(track_row));
                fill_empty_cells(c, mr.track_patterns[p].data, rows, track_row);
            }
        const bool globals = m == 1 && global_row > 0;
        if (!globals) continue;
        mr.global_patterns = table<PatternData>(c, size_t(s.pattern_count));
        for (int p = 0; p < s.pattern_count; ++p) {
            const int lines = s.pattern_table[p].lines;
            uint8_t* g = take(size_t(lines) * size_t(global_row));
            mr.global_patterns[p].data = g;
            for (int r = 0; r < lines; ++r) {
                if (dopfun)
                    std::memcpy(g + size_t(r) * size_t(global_row), target->empty_bytes, size_t(global_row));
                else
                    std::memset(g + size_t(r) * size_t(global_row), 0, size_t(global_row));
            }
        }
    }
    s.cur_machine = s.cur_pattern = s.cur_track = s.cur_row = s.cur_channel = 0;
}

int convert(Conversion& c, const std::string& input_name, const std::string& output_name)
{
    const char* input = input_name.c_str();
    const char* output = output_name.c_str();
    start_conversion(c);
    DriverState d(c);
    Song& s = c.song;

    detect_input_kind(c, input);
    std::string current = input;

    // The outside converters write their XM under a scratch name beside the output; the song
    // still names it as the converters' own naming rules do ("midrix.xm", "song.xm" for
    // "song.it"), which is also what the XI files of a BMW conversion are named after.
    const char* converter = converter_program(s.input_kind, c.settings);
    if (converter && s.input_kind == InputKind::midi) {
        // easyxmid's exit code says nothing: an XM it did not write is the empty scratch file.
        const std::string xm = reserve_converter_output(d, output, nullptr, "");
        const std::string in_arg = converter_argument(input), xm_arg = converter_argument(xm);
        const char* args[] = {in_arg.c_str(), xm_arg.c_str(), "4", "10"};
        run_converter(c, converter, args, 4, in_arg == input ? "" : in_arg, input, "Error running EasyXMid", nullptr);
        current = xm;
        s.current_input = midi_converter_output;
    } else if (converter && s.input_kind == InputKind::it) {
        const std::string it = converter_argument(reserve_converter_output(d, output, s.converter_input.c_str(), ".it"));
        const std::string xm = it2xm_output_name(it);
        const char* args[] = {it.c_str(), "/WC", xm.c_str()};
        run_converter(c, converter, args, 3, it, s.converter_input.c_str(), "Error running it2xm!",
                      "Probably wrong IT-format, try to save as v2.xx, not 2.14+");
        d.converted_name = it2xm_output_name(s.converter_input);
        current = it2xm_output_name(it);
        s.current_input = d.converted_name;
    } else if (converter) {
        const std::string module =
            converter_argument(reserve_converter_output(d, output, s.converter_input.c_str(), mod2xm_extension(s)));
        const std::string xm = mod2xm_output_name(module);
        const char* args[] = {module.c_str(), "/o", xm.c_str()};
        run_converter(c, converter, args, 3, module, s.converter_input.c_str(), "Error running mod2xm!",
                      "Probably wrong MOD/S3M-format");
        d.converted_name = mod2xm_output_name(s.converter_input);
        current = mod2xm_output_name(module);
        s.current_input = d.converted_name;
    }

    // A converter that wrote nothing left its scratch XM empty.
    if (current != input && platform::file_length(current.c_str()) <= 0) job_abort("Can't open inputfile");
    d.open_input(current);
    if (!d.input) job_abort("Can't open inputfile");
    FILE* in = d.input.get();

    if (s.input_kind == InputKind::buzz_song) {
        // A Buzz song as input: list it, write nothing.
        s.write_output = 0;
        ReaderState reader(c.log, c.pool, c.machines);
        reader.options.list_level = c.settings.dolist;
        reader.options.verbose = c.settings.verbose;
        reader.options.compressed_waves = true;
        reader.hooks = c.listing_hooks;
        reader.input_summaries[0].stream = in;
        c.log.log_enabled = c.settings.dolist;
        reader.full_parse = c.settings.do_mscale1 && load_machine_descriptions(c.machines, c.pool, c.log) ? 1 : 0;
        read_buzz_song(reader, in, 0);
        d.forget();
        return 0;
    }

    s.order_list = table<OrderEntry>(c, order_list_size);
    s.order_list_room = order_list_size;
    for (int i = 0; i < order_list_size; ++i) s.order_list[i].pattern = i;
    s.wave_map = table<int>(c, wave_map_size);
    for (int i = 0; i < wave_map_size; ++i) s.wave_map[i] = i;

    if (s.input_kind == InputKind::xi) {
        // One XI instrument: a song of the Master alone that holds the instrument as its wave.
        const std::string problem = xi_instrument_problem(current.c_str());
        if (!problem.empty()) {
            const std::string msg = "not an XI instrument (" + problem + ")";
            job_abort(msg.c_str());
        }
        s.machine_count = 1;
        s.machine_table = table<MachineRecord>(c, 1);
        MachineRecord& master = s.machine_table[0];
        master.kind = 0;
        master.track_count = 0;
        master.track_row_bytes = master_track_row_bytes;
        master.global_row_bytes = master_global_row_bytes;
        master.track_patterns = table<PatternData>(c, 1);
        master.global_patterns = table<PatternData>(c, 1);
        s.song_length = 1;
        s.pattern_count = 0;
        s.offset_pattern_count = 0;
        s.tracks_per_generator = 0;
        open_output(d, output, input);
        log_print(c.log, "\nConverting XI file %s:", input);
        c.progress.phase_total = 1;
        return write_output_song(d, output);
    }

    load_machine_descriptions(c.machines, c.pool, c.log);
    const MachineDescription* target = machine_description(c.machines, c.settings.dopfun + 1);
    if (c.settings.dopfun) {
        log_print(c.log, "\nUsing alternate machine number %d: %s\n", c.settings.dopfun,
                  target ? target->dll_name : "?");
        if (!target || target->type != 1) job_abort("Alternate Machine is no generator!");
    }
    if (!target) job_abort(no_target_message);

    if (s.write_output) open_output(d, output, input);

    const bool midi = native_midi(c);
    // A MIDI file is decoded in the first pass and held until the last one is done.
    SmfReader midi_file(c.log);
    if (midi) smf_stream_open(midi_file, in);
    c.progress.phase_total = midi || c.settings.dotsplit == 2 ? 4 : 3;
    for (int pass = 0; pass < 2; ++pass) {
        s.pass_number = pass;
        c.log.log_force = 1;
        log_print(c.log, pass == 0 ? "\nFirst pass:\n" : "\nSecond pass:\n");
        enter_phase(c, pass == 0 ? 1 : 3);
        if (midi) {
            midi_pass(c, pass, midi_file);
        } else {
            s.counting_pass = 0;
            read_module(c, in);
        }
        if (pass == 0) {
            if (midi) {
                midi_after_first_pass(c, midi_file);
            } else if (c.settings.dotsplit == 2) {
                enter_phase(c, 2);
                counting_pass(c, in);
            }
            lay_out_machines(c);
            if (midi && midi_follows_tempos(c)) midi_write_tempo_changes(c);
        }
    }
    midi_file.events = SmfEvents();
    return write_output_song(d, output);
}

namespace {
// "3,648"; "1 order", "2 orders".
std::string count_of(long long n, const char* thing)
{
    const std::string digits = std::to_string(n < 0 ? -n : n);
    std::string text(n < 0 ? "-" : "");
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0) text += ',';
        text += digits[i];
    }
    text.append(1, ' ').append(thing);
    if (n != 1) text.append(1, 's');
    return text;
}
} // namespace

std::string conversion_summary(const Conversion& c)
{
    const Song& s = c.song;
    std::string in;
    if (s.input_kind == InputKind::xi) {
        in = count_of(1, "instrument");
    } else if (native_midi(c)) {
        in = count_of(s.machine_count - 1, "MIDI track") + " with notes, " + std::to_string(s.bpm) + " BPM";
    } else {
        in = count_of(s.song_length, "order") + ", " + count_of(s.channel_count, "channel") + ", " +
             count_of(s.pattern_count, "pattern") + ", " + count_of(s.instrument_count, "instrument") + ", " +
             std::to_string(s.start_bpm) + " BPM";
    }
    int patterns = 0;
    for (int m = 0; s.machine_table && m < s.machine_count; ++m)
        patterns = std::max(patterns, s.machine_table[m].patterns_written);
    return in + " -> " + count_of(s.machine_count, "machine") + ", " + count_of(patterns, "pattern") + ", " +
           count_of(s.waves_written, "wave") + ", " + count_of(s.song_rows, "row");
}
