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
#include <cstring>
#include <string>
#include <vector>

#include "buzz/bmx_reader.h"
#include "buzz/machines_ini.h"
#include "buzz/write_primitives.h"
#include "convert/input_formats.h"
#include "convert/module_formats.h"
#include "core/log.h"
#include "core/pool.h"
#include "midi/note_placement.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "song/midi_state.h"
#include "song/song.h"
#include "songwriter/bmx_writer.h"
#include "songwriter/generators.h"
#include "songwriter/xi_file.h"

DriverState driver_state;

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
constexpr const char* no_target_message = "Target machine not found, check machines.ini!!";

const char* base_name(const char* path)
{
    const char* b = path;
    for (const char* p = path; *p; ++p)
        if (*p == '/' || *p == '\\') b = p + 1;
    return b;
}


void copy_name(char (&field)[256], const char* text)
{
    if (std::strlen(text) >= sizeof field) job_abort("Can't open inputfile");
    std::memcpy(field, text, std::strlen(text) + 1);
}

void set_converted_name(const std::string& name) { copy_name(driver_state.converted_name, name.c_str()); }

template <class T>
T* table(size_t n)
{
    return pool_array<T>(n ? n : 1);
}

// n bytes (at least one) that the caller fills completely.
uint8_t* block(size_t n)
{
    if (n > size_t(INT32_MAX)) pool_alloc_refused(n);
    return static_cast<uint8_t*>(pool_alloc(uint32_t(n ? n : 1)));
}

void enter_phase(int phase)
{
    DriverState& d = driver_state;
    if (d.phase) ++d.phases_done;
    d.phase = phase;
}

// A name beside the output that no other conversion uses (short, whatever the output's name).
std::string scratch_stem(const char* output) { return platform::scratch_stem(output); }

// Reserves the XM an outside converter writes beside the output: "<stem>.xm" created empty and
// exclusively. With a module to convert, the converter gets it as "<stem><ext>" (a link or copy
// beside the output), from which its naming rule gives "<stem>.xm". Returns the name to give
// the converter (the module's scratch name, or without one the XM's).
std::string reserve_converter_output(const char* output, const char* module, const std::string& ext)
{
    DriverState& d = driver_state;
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
    const char* base = base_name(s.converter_input);
    const char* dot = std::strrchr(base, '.');
    return dot && dot != base ? std::string(dot) : std::string();
}

void open_output(const char* output, const char* input)
{
    DriverState& d = driver_state;
    if (!output || !*output) job_abort("Can't open outputfile");
    // The song never replaces the module it is made from, whatever name leads to it.
    if (platform::same_file(output, input)) {
        std::string msg = std::string("Can't write ") + output + ": is the input file itself; name another output";
        job_abort(msg.c_str());
    }
    d.output_name = output;
    if (!d.output.create(output, unfinished_suffix)) job_abort("Can't open outputfile");
    writer.output_stream = d.output.get();
}

// Gives the written song its name, and with it the XI files it names. Without replace_files the
// name must still be free: another run that took it meanwhile wins, and this job fails. A write
// error (a full disk) ends the job instead of leaving a truncated song.
void finish_output()
{
    DriverState& d = driver_state;
    writer.output_stream = nullptr;
    d.input.reset(); // the output may replace the input
    platform::InterruptGuard guard; // the song and its XI files are kept together
    const int e = d.output.commit(d.output_name.c_str(), settings.replace_files != 0);
    if (e == EEXIST) {
        std::string msg = "Can't write " + d.output_name + ": exists; -y (--force) replaces it";
        job_abort(msg.c_str());
    }
    if (e) {
        log_state.log_force = 1;
        log_print("\n%s: %s", d.output_name.c_str(), std::strerror(e));
        job_abort("Can't write outputfile (disk full?)");
    }
    exported_xi_files.keep_all();
}

// --- Native MIDI input -----------------------------------------------------------------------
// A MIDI file read by the program itself runs the MIDI pass protocol in place of the module
// reader's passes: the first pass (sizes, polyphony per track), after it the additional pass that
// counts the extra channels notes need, and the second pass that places the notes. The layout
// then gives every pattern `blines` lines and each machine the polyphony of its MIDI track.
void midi_pass(int pass, FILE* in)
{
    Song& s = song;
    MidiState& ms = midi_state;
    ms.extra_channels = 0;
    if (pass == 0) {
        if (settings.blines < 1 || settings.blines > 65535) job_abort("Wrong pattern length!!");
        s.frequency_mode = freq_midi;
        if (settings.dopchange) {
            s.wave_count = 0;
            for (int i = 0; i < wave_map_size; ++i) s.wave_map[i] = 0;
        }
        log_state.log_enabled = 0;
        midi_read_pass(in);
        if (!ms.header_seen) job_abort("not a Standard MIDI File (no \"MThd\" header)");
        return;
    }
    log_state.log_enabled = settings.dolist;
    midi_read_pass(in);
    s.song_length = s.pattern_count;
}

// Tracks of machine m in a native MIDI conversion: the polyphony of its MIDI track.
int midi_machine_tracks(int m)
{
    const MidiTrackRecord* t = midi_machine_track(m);
    return t ? t->polyphony : 0;
}

// Whole minutes and the seconds after them of a time in ticks, for the song length lines.
void song_time(int64_t ticks, double& minutes, double& seconds)
{
    const double total = std::round(midi_tick_seconds(double(ticks)));
    minutes = std::floor(total / 60.0);
    seconds = total - minutes * 60.0;
}

// After the first pass: song length, machines, instruments, then the additional pass that finds
// the tracks each machine needs once the notes sit on rows.
void midi_after_first_pass(FILE* in)
{
    Song& s = song;
    MidiState& ms = midi_state;
    const Settings& st = settings;
    s.machine_count = s.cur_machine;
    s.bpm = int(std::clamp(std::trunc(double(s.bpm) * st.midi_res), 0.0, 65535.0));
    log_state.log_enabled = 1;
    if (st.do_firstnote0 && ms.first_note_time == -1) {
        log_print("\nWrong starttime of first note, setting to zero");
        ms.first_note_time = 0;
    }
    const int tempo_changes = midi_settle_tempo_map();
    if (tempo_changes > 0 && !st.midi_tempos && ms.smpte_ticks_per_second == 0) {
        log_state.log_force = 1;
        log_print("\nWarning: the file changes tempo %d times; --set midi_tempos=1 follows them", tempo_changes);
    }
    const double last_row = midi_position(ms.last_note_time);
    const double patterns = std::trunc(last_row / st.blines + 1);
    s.pattern_count = int(std::clamp(patterns, 1.0, 2147483647.0));
    s.song_length = s.pattern_count;
    double minutes, seconds;
    song_time(ms.last_note_time, minutes, seconds);
    log_print("\nSonglength: %d patterns ( %.0f:%02.0f min with midi_res*midi_tpb/4=%f)", s.pattern_count,
              minutes, seconds, double(st.midi_res) * st.midi_tpb / 4);
    if (st.do_firstnote0) {
        song_time(ms.first_note_time, minutes, seconds);
        log_print("\nFirst note starts at time %.0f:%02.0f min", minutes, seconds);
    }
    log_print("\n%d Machines (with Master)", s.machine_count);
    for (int m = 1; m < s.machine_count; ++m)
        log_print("\n     Machine %2d: polyphonie: %2d", m, midi_machine_tracks(m));
    if (s.pattern_count > s.pattern_limit) {
        s.pattern_count = s.pattern_limit;
        log_print("\nrestricted pattern number to %d", s.pattern_count);
        // Song seconds from row 0 (midi_scale stretches the song as it stretches the rows).
        const double zero = midi_tick_seconds(midi_row_tick(0));
        auto seconds = [&](double ticks) { return (midi_tick_seconds(ticks) - zero) * st.midi_scale; };
        const double kept = seconds(midi_row_tick(double(s.pattern_limit) * st.blines));
        const double whole = seconds(double(ms.last_note_time));
        const double lines = std::floor(last_row / s.pattern_limit) + 1;
        log_state.log_force = 1;
        log_print("\nWarning: song cut at %d patterns: %.0f s of %.0f s kept; ", s.pattern_limit, kept, whole);
        log_state.log_force = 1;
        if (lines <= 65535)
            log_print("--set blines=%d keeps it all", int(lines));
        else
            log_print("fewer rows per beat (midi_tpb, midi_res) keep more");
    }

    // Instruments: with dopchange one per program seen (record 0 is the drum kit of drkit 1),
    // else one per channel.
    if (st.dopchange) {
        if (s.wave_count != 0) {
            s.instrument_count = ++s.wave_count;
            s.instrument_table = table<InstrumentRecord>(size_t(s.instrument_count));
        } else {
            // No program and no note: program 0 (the piano, gmp_01) is the one instrument.
            s.wave_count = s.instrument_count = 2;
            s.instrument_table = table<InstrumentRecord>(2);
            s.instrument_table[1].wave_number = 1;
            s.wave_map[0] = 1;
        }
        s.instrument_table[0].wave_number = 0;
    } else {
        s.wave_count = s.machine_count - 1;
    }

    // A track whose notes need more tracks than the target machine has cannot be laid out; found
    // here, before the additional pass would search that many tracks for every note.
    const MachineDescription* target = machine_description(st.dopfun + 1);
    if (!target) job_abort(no_target_message);
    for (int m = 1; m < s.machine_count; ++m)
        if (midi_machine_tracks(m) > target->max_tracks) {
            log_state.log_force = 1;
            log_print("%s allows ony %d channels,sorry!", target->dll_name, target->max_tracks);
            job_abort(" ");
        }

    log_print("\nAdditional pass (get number of additional channels):\n");
    enter_phase(2);
    log_state.log_enabled = 0;
    ms.extra_channels = midi_additional_channels;
    ms.suppressed_notes = ms.short_notes = 0;
    midi_read_pass(in);
    log_state.log_enabled = 1;
    for (int m = 1; m < s.machine_count; ++m) {
        const MidiTrackRecord* t = midi_machine_track(m);
        log_print("\n     Machine %2d:(%2d channels added) --> polyphonie: %2d", m, t ? t->added_channels : 0,
                  t ? t->polyphony : 0);
    }
    if (ms.suppressed_notes)
        log_print("\nThere are %3d suppressed notes ( >%d additional channels) (increase midi_tpb or midi_res!)",
                  ms.suppressed_notes, midi_additional_channels);
    if (ms.short_notes)
        log_print("\nThere are %3d notes shorter than a row (increase midi_tpb or midi_res!)", ms.short_notes);
    ms.suppressed_notes = ms.short_notes = 0;
    ms.extra_channels = 0;
    s.pattern_table = table<PatternInfo>(size_t(s.pattern_count));
}

// midi_tempos 1: the Master plays the file's tempo map as BPM changes at their rows; its first
// BPM is the song's.
void midi_write_tempo_changes()
{
    Song& s = song;
    const int blines = settings.blines;
    const std::vector<MidiBpmChange> changes = midi_bpm_changes(int64_t(s.pattern_count) * blines);
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
    log_print("\nTempo map: %d BPM changes on the Master, starting at %d BPM", int(changes.size()) - 1, s.bpm);
}

// --- Split by instrument -----------------------------------------------------------------------
void counting_pass(FILE* in)
{
    Song& s = song;
    if (s.instrument_count < 0 || s.instrument_count > max_generators) job_abort("Too many instruments!!");
    if (s.channel_count < 0 || s.channel_count > max_channels) job_abort("Too many channels!!");
    if (s.pattern_count < 0 || s.pattern_count > max_patterns) job_abort("Too many patterns!!");
    if (s.instrument_count > 0 && !s.instrument_table) job_abort("No instruments read!!");
    for (int i = 0; i < s.instrument_count; ++i)
        s.instrument_table[i].track_map = table<uint8_t>(size_t(s.channel_count));
    s.pattern_channel_instrument = table<uint8_t>(size_t(s.pattern_count) * size_t(s.channel_count));
    s.counting_pass = 1;
    log_state.log_enabled = 1;
    log_print("\n");
    log_print("\nAdditional pass (to get number of tracks for instruments):\n");
    read_module(in);
    log_state.log_enabled = settings.dolist;
    assign_instrument_machines();
}

// --- Writing -------------------------------------------------------------------------------------
int write_output_song(const char* output)
{
    log_state.log_force = 1;
    log_print("\nWriting BUZZ output %s \n", output);
    if (!settings.dolist) log_state.log_dot_interval = 100;
    enter_phase(4);
    if (driver_state.output.get()) {
        write_song(driver_input_stream());
        finish_output();
    }
    if (song.ended_early) {
        // Shown also in quiet mode: a cut file gives a song without the part it lost.
        log_state.log_force = 1;
        log_print("\nWarning: %s ends early; the song holds what it has", song.converter_input[0] ? song.converter_input : song.current_input);
    }
    if (settings.remove_2pat && song.duplicates_removed) {
        log_state.log_force = 1;
        log_print("\nRemoved %d pattern duplicates", song.duplicates_removed);
    }
    driver_state.input.reset();
    return 1;
}

void reset_job_state()
{
    driver_forget_output();
    job_state_reset();
    song_reset_defaults();
    midi_state_reset();
    machine_descriptions_reset();
    reader_state.full_parse = 0;
    reader_state.merging = 0;
    reader_state.current_input = 0;
    writer.output_stream = nullptr;
    log_state.log_dot_interval = 0;
    DriverState& d = driver_state;
    d.converted_name[0] = 0;
    d.native_midi = 0;
    d.phase = d.phases_done = d.phase_total = 0;
}

// Forgets the driver's streams on every way out of convert, also while a JobAbort unwinds.
struct ForgetOnExit {
    ForgetOnExit() = default;
    ForgetOnExit(const ForgetOnExit&) = delete;
    ForgetOnExit& operator=(const ForgetOnExit&) = delete;
    ~ForgetOnExit() { driver_forget_output(); }
};

} // namespace

void detect_input_kind(const char* input)
{
    Song& s = song;
    // The kind comes from the name's last extension; where the content clearly says another
    // kind, the content is trusted ("beat.it.remix.xm" is an XM, an XM named ".mod" is read as
    // an XM) and the log says so.
    const InputDecision d = decide_input_kind(input);
    if (d.by_content) {
        log_state.log_force = 1;
        log_print("\n%s is %s by its content, read as such", input, input_format(d.kind)->text);
    }
    s.input_kind = d.kind;
    if (d.kind == InputKind::midi)
        copy_name(s.converter_input, input);
    else
        copy_name(s.current_input, input);
    if (converter_program(d.kind, settings)) copy_name(s.converter_input, input);
    // A MOD read here exports its samples as XI instruments like an XM's for a BMW song.
    s.write_xi = settings.dowave == 1 ? 1 : 0;
}

int run_outside_converter(const char* program, const char* const* args, int arg_count)
{
    std::string name = std::string(program) + platform::exe_suffix;
    std::string path = platform::find_program(name);
    if (path.empty()) return -1;
    std::vector<std::string> argv{name};
    for (int i = 0; i < arg_count; ++i) argv.emplace_back(args[i]);
    return platform::run_program(path, argv);
}

void assign_instrument_machines()
{
    Song& s = song;
    int skipped = 0;
    for (int j = 0; j < s.instrument_count; ++j) {
        InstrumentRecord& ins = s.instrument_table[j];
        int n = 0;
        if (ins.track_map)
            for (int c = 0; c < s.channel_count; ++c)
                if (ins.track_map[c]) ins.track_map[c] = uint8_t(++n);
        ins.track_count = n;
        if (n) {
            ins.machine = j - skipped + 1;
            s.instrument_table[j - skipped].machine_instrument = j;
        } else {
            ins.machine = 0;
            ++skipped;
            --s.machine_count;
        }
        log_print("\ninstr:%d->mach:%d, tracks: %d", j, ins.machine, n);
    }
    s.counting_pass = 0;
}

void lay_out_machines()
{
    Song& s = song;
    const int dopfun = settings.dopfun;
    const MachineDescription* target = machine_description(dopfun + 1);
    if (!target) job_abort(no_target_message);
    const bool native = driver_state.native_midi != 0;
    const bool by_instrument = !native && settings.dotsplit == 2;

    // Every count comes from the input: check them all before anything is allocated.
    if (s.pattern_count < 0 || s.pattern_count > max_patterns) job_abort("Too many patterns!!");
    if (s.pattern_count > 0 && !s.pattern_table) job_abort("No patterns read!!");
    if (!native && (s.channel_count < 0 || s.channel_count > max_channels)) job_abort("Too many channels!!");
    const int generators = s.machine_count - 1;
    if (generators < 0 || generators > max_generators) {
        log_state.log_force = 1;
        log_print("\n%d machines needed, %d allowed", s.machine_count, max_generators + 1);
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
            t = midi_machine_tracks(m);
        } else {
            t = s.tracks_per_generator;
        }
        if (t < 0) t = 0;
        if (target->max_tracks < t) {
            log_state.log_force = 1;
            log_print("%s allows ony %d channels,sorry!", target->dll_name, target->max_tracks);
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
        if (native) pi.lines = settings.blines;
        if (pi.lines < 0 || pi.lines > 65535) job_abort("Wrong pattern length!!");
        total += int64_t(pi.lines) * row_bytes;
    }
    if (total > max_pattern_bytes) {
        log_state.log_force = 1;
        log_print("\nPatterns need %lld bytes, %lld allowed", static_cast<long long>(total),
                  static_cast<long long>(max_pattern_bytes));
        job_abort(" ");
    }

    if (!native) s.channel_instrument = table<uint8_t>(size_t(s.channel_count));
    s.machine_table = table<MachineRecord>(size_t(s.machine_count));

    // Every pattern block of every machine comes out of one allocation: one request instead of
    // one per pattern and machine, aligned so that the system may back it with large pages
    // (the blocks are filled right away, page by page). Each block is filled completely below.
    const size_t align = size_t(total) >= large_page_bytes ? large_page_bytes : 1;
    uint8_t* arena = block(size_t(total) + align - 1);
    arena += (align - reinterpret_cast<uintptr_t>(arena) % align) % align;
    if (align > 1) platform::prefer_large_pages(arena, size_t(total));
    size_t arena_left = size_t(total);
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
    master.track_patterns = table<PatternData>(size_t(s.pattern_count));
    master.global_patterns = table<PatternData>(size_t(s.pattern_count));
    for (int p = 0; p < s.pattern_count; ++p) {
        PatternInfo& pi = s.pattern_table[p];
        pi.play_lines = pi.lines;
        pi.start_row = 0;
        size_t lines = size_t(pi.lines);
        size_t tn = size_t(generators) * lines * master_track_row_bytes;
        size_t gn = lines * master_global_row_bytes;
        master.track_patterns[p].data = take(tn);
        master.global_patterns[p].data = take(gn);
        std::memset(master.track_patterns[p].data, 255, tn);
        std::memset(master.global_patterns[p].data, 255, gn);
        master.track_patterns[p].number = 0;
        master.global_patterns[p].number = 0;
    }

    // vMidiOut under native MIDI: cells without a note name no channel and no program change.
    midi_state.midi_out_channel = 0;
    midi_state.midi_out_program = 255;

    for (int m = 1; m <= generators; ++m) {
        MachineRecord& mr = s.machine_table[m];
        mr.kind = 1;
        mr.track_row_bytes = track_row;
        mr.global_row_bytes = global_row;
        mr.track_count = tracks[size_t(m)];
        mr.track_patterns = table<PatternData>(size_t(s.pattern_count));
        const bool globals = m == 1 && global_row > 0;
        if (globals) mr.global_patterns = table<PatternData>(size_t(s.pattern_count));
        for (int p = 0; p < s.pattern_count; ++p) {
            const int lines = s.pattern_table[p].lines;
            const size_t rows = size_t(mr.track_count) * size_t(lines);
            mr.track_patterns[p].data = take(rows * size_t(track_row));
            mr.track_patterns[p].number = 0;
            fill_empty_cells(mr.track_patterns[p].data, rows, track_row);
            if (globals) {
                uint8_t* g = take(size_t(lines) * size_t(global_row));
                mr.global_patterns[p].data = g;
                mr.global_patterns[p].number = 0;
                for (int r = 0; r < lines; ++r) {
                    if (dopfun)
                        std::memcpy(g + size_t(r) * size_t(global_row), target->empty_bytes,
                                    size_t(global_row));
                    else
                        std::memset(g + size_t(r) * size_t(global_row), 0, size_t(global_row));
                }
            }
        }
    }
    s.cur_machine = s.cur_pattern = s.cur_track = s.cur_row = s.cur_channel = 0;
}

int convert(const char* input, const char* output)
{
    reset_job_state();
    ForgetOnExit forget;
    DriverState& d = driver_state;
    Song& s = song;

    detect_input_kind(input);
    std::string current = input;

    // The outside converters write their XM under a scratch name beside the output; the song
    // still names it as the converters' own naming rules do ("midrix.xm", "song.xm" for
    // "song.it"), which is also what the XI files of a BMW conversion are named after.
    const char* converter = converter_program(s.input_kind, settings);
    if (converter && s.input_kind == InputKind::midi) {
        // easyxmid's exit code says nothing: an XM it did not write is the empty scratch file.
        const std::string xm = reserve_converter_output(output, nullptr, "");
        const char* args[] = {input, xm.c_str(), "4", "10"};
        if (run_outside_converter(converter, args, 4) == -1) job_abort("Error running EasyXMid");
        current = xm;
        copy_name(s.current_input, midi_converter_output);
    } else if (converter && s.input_kind == InputKind::it) {
        const std::string it = reserve_converter_output(output, s.converter_input, ".it");
        const std::string xm = it2xm_output_name(it);
        const char* args[] = {it.c_str(), "/WC", xm.c_str()};
        int e = run_outside_converter(converter, args, 3);
        if (e == -1) job_abort("Error running it2xm!");
        if (e != 0) {
            log_state.log_force = 1;
            log_print("\nit2xm returned with errorcode: %d", e);
            job_abort("\nProbably wrong IT-format, try to save as v2.xx, not 2.14+");
        }
        set_converted_name(it2xm_output_name(s.converter_input));
        current = it2xm_output_name(it);
        copy_name(s.current_input, d.converted_name);
    } else if (converter) {
        const std::string module = reserve_converter_output(output, s.converter_input, mod2xm_extension(s));
        const std::string xm = mod2xm_output_name(module);
        const char* args[] = {module.c_str(), "/o", xm.c_str()};
        int e = run_outside_converter(converter, args, 3);
        if (e == -1) job_abort("Error running mod2xm!");
        if (e != 0) {
            log_state.log_force = 1;
            log_print("\nmod2xm returned with errorcode: %d", e);
            job_abort("\nProbably wrong MOD/S3M-format");
        }
        set_converted_name(mod2xm_output_name(s.converter_input));
        current = mod2xm_output_name(module);
        copy_name(s.current_input, d.converted_name);
    }

    // A converter that wrote nothing left its scratch XM empty.
    if (current != input && platform::file_length(current.c_str()) <= 0) job_abort("Can't open inputfile");
    d.input = open_file(current.c_str(), "rb");
    if (!d.input) job_abort("Can't open inputfile");
    FILE* in = d.input.get();
    d.input_length = platform::file_length(current.c_str());

    if (s.input_kind == InputKind::buzz_song) {
        // A Buzz song as input: list it, write nothing.
        s.write_output = 0;
        reader_state.current_input = 0;
        reader_state.input_summaries[0].stream = in;
        log_state.log_enabled = settings.dolist;
        reader_state.full_parse = settings.do_mscale1 && load_machine_descriptions() ? 1 : 0;
        read_buzz_song(in, 0);
        reader_state.input_summaries[0].stream = nullptr;
        d.input.reset();
        return 0;
    }

    s.order_list = table<OrderEntry>(order_list_size);
    for (int i = 0; i < order_list_size; ++i) s.order_list[i].pattern = i;
    s.wave_map = table<int>(wave_map_size);
    for (int i = 0; i < wave_map_size; ++i) s.wave_map[i] = i;

    if (s.input_kind == InputKind::xi) {
        // One XI instrument: a song of the Master alone that holds the instrument as its wave.
        const std::string problem = xi_instrument_problem(current.c_str());
        if (!problem.empty()) {
            const std::string msg = "not an XI instrument (" + problem + ")";
            job_abort(msg.c_str());
        }
        s.machine_count = 1;
        s.machine_table = table<MachineRecord>(1);
        MachineRecord& master = s.machine_table[0];
        master.kind = 0;
        master.track_count = 0;
        master.track_row_bytes = master_track_row_bytes;
        master.global_row_bytes = master_global_row_bytes;
        master.track_patterns = table<PatternData>(1);
        master.global_patterns = table<PatternData>(1);
        s.song_length = 1;
        s.pattern_count = 0;
        s.offset_pattern_count = 0;
        s.tracks_per_generator = 0;
        open_output(output, input);
        log_print("\nConverting XI file %s:", input);
        d.phase_total = 1;
        return write_output_song(output);
    }

    load_machine_descriptions();
    const MachineDescription* target = machine_description(settings.dopfun + 1);
    if (settings.dopfun) {
        log_print("\nUsing alternate machine number %d: %s\n", settings.dopfun,
                  target ? target->dll_name : "?");
        if (!target || target->type != 1) job_abort("Alternate Machine is no generator!");
    }
    if (!target) job_abort(no_target_message);

    if (s.write_output) open_output(output, input);

    d.native_midi = s.input_kind == InputKind::midi && !settings.domidi_ext ? 1 : 0;
    d.phase_total = d.native_midi || settings.dotsplit == 2 ? 4 : 3;
    for (int pass = 0; pass < 2; ++pass) {
        s.pass_number = pass;
        log_state.log_force = 1;
        log_print(pass == 0 ? "\nFirst pass:\n" : "\nSecond pass:\n");
        enter_phase(pass == 0 ? 1 : 3);
        if (d.native_midi) {
            midi_pass(pass, in);
        } else {
            s.counting_pass = 0;
            read_module(in);
        }
        if (pass == 0) {
            if (d.native_midi) {
                midi_after_first_pass(in);
            } else if (settings.dotsplit == 2) {
                enter_phase(2);
                counting_pass(in);
            }
            lay_out_machines();
            if (d.native_midi && midi_follows_tempos()) midi_write_tempo_changes();
        }
    }
    return write_output_song(output);
}

void driver_forget_output()
{
    DriverState& d = driver_state;
    if (d.output.get() && writer.output_stream == d.output.get()) writer.output_stream = nullptr;
    d.output.discard();
    exported_xi_files.remove_all();
    if (d.input && reader_state.input_summaries[0].stream == d.input.get())
        reader_state.input_summaries[0].stream = nullptr;
    d.input.reset();
    for (const std::string& f : d.scratch_files) platform::remove_scratch(f.c_str());
    d.scratch_files.clear();
    d.phase = d.phases_done = d.phase_total = 0;
}

FILE* driver_input_stream() { return driver_state.input.get(); }

double driver_progress()
{
    const DriverState& d = driver_state;
    if (!d.phase || d.phase_total <= 0) return -1;
    double f = 0;
    if (d.phase == 4) {
        // Writing: the sizing pass counts as the first half, the writing pass as the second.
        if (writer.writer_pass == 0)
            f = 0.0;
        else if (writer.writer_pass == 1 && song_layout.end > 0)
            f = 0.5 + 0.5 * double(writer.write_count) / double(song_layout.end);
        else
            f = 1.0;
    } else if (d.input) {
        long pos = std::ftell(d.input.get());
        int64_t len = d.input_length;
        if (pos > 0 && len > 0) f = double(pos) / double(len);
    }
    if (f < 0) f = 0;
    if (f > 1) f = 1;
    double r = (double(d.phases_done) + f) / double(d.phase_total);
    return r > 1 ? 1 : r;
}
