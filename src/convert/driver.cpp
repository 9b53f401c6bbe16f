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
#include "convert/converters.h"
#include "convert/input_formats.h"
#include "convert/instrument_reader.h"
#include "convert/module_formats.h"
#include "core/log.h"
#include "core/pool.h"
#include "midi/midi_passes.h"
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
constexpr size_t large_page_bytes = size_t(2) << 20;  // the pattern blocks' alignment
constexpr int tracker_track_row_bytes = 5; // note, wave, volume, effect, effect value
constexpr int tracker_global_row_bytes = 1; // ticks per row

constexpr const char* unfinished_suffix = ".part";
constexpr size_t song_write_buffer = 1 << 18; // bytes of the song stream's buffer: large blocks, and few
                                               // pages to fault in on the first writes

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
    ConverterScratch converter; // an outside converter's XM and input, removed at the end

    // Closes the streams, removes the unfinished song and the scratch files, and ends the progress.
    void forget();
    // The input to read, from now on also the one the progress follows.
    void open_input(const std::string& name);
};




// n bytes (at least one) that the caller fills completely.
uint8_t* block(Conversion& c, size_t n)
{
    if (n > size_t(INT32_MAX)) pool_alloc_refused(c.pool, n);
    return static_cast<uint8_t*>(pool_alloc(c.pool, uint32_t(n ? n : 1)));
}





void open_output(DriverState& d, const char* output, const char* input)
{
    Conversion& c = d.c;
    if (!output || !*output) job_abort(file_failure(FailedFile::output, "", 0, "Can't open outputfile"));
    // The song never replaces the module it is made from, whatever name leads to it.
    if (platform::same_file(output, input))
        job_abort(write_refused(FailedFile::output, output, "is the input file itself; name another output"));
    d.output_name = output;
    errno = 0;
    if (!d.output.create(output, unfinished_suffix))
        job_abort(file_failure(FailedFile::output, output, errno, "Can't open outputfile"));
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
    if (e == EEXIST || e == platform::not_regular_file)
        job_abort(write_refused(FailedFile::output, d.output_name,
                                e == EEXIST ? "exists; -y (--force) replaces it" : platform::error_text(e)));
    if (e) {
        log_forced(c.log, "\n%s: %s", d.output_name.c_str(), std::strerror(e));
        job_abort(file_failure(FailedFile::output, d.output_name, e, "Can't write outputfile (disk full?)"));
    }
    if (const int xe = c.exported_xi_files.keep_all()) {
        log_forced(c.log, "\n%s: %s", c.settings.xi_dir.c_str(), std::strerror(xe));
        job_abort(file_failure(FailedFile::xi_file, c.settings.xi_dir, xe, "Could not write XI-files!!"));
    }
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
        s.instrument_table[i].track_map = song_table<uint8_t>(c, size_t(s.channel_count));
    s.pattern_channel_instrument = song_table<uint8_t>(c, size_t(s.pattern_count) * size_t(s.channel_count));
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
    log_forced(c.log, "\nWriting BUZZ output %s \n", output);
    if (!c.settings.dolist) c.log.log_dot_interval = 100;
    enter_phase(c, 4);
    const bool written = d.output.get() != nullptr;
    if (written) {
        // The instruments of XI and native MIDI conversions are read now, once; with dowave 2
        // this also lays out their WAVE data.
        const bool xi = c.song.input_kind == InputKind::xi;
        if (c.settings.dowave != Waves::none && (xi || native_midi(c)))
            load_xi_instruments(c, xi ? d.input.get() : nullptr);
        write_song(c, d.input.get());
        finish_output(d);
    }
    if (c.song.ended_early) {
        // Shown also in quiet mode: a cut file gives a song without the part it lost.
        const std::string& input = c.song.converter_input.empty() ? c.song.current_input : c.song.converter_input;
        log_warning(c.log, "\nWarning: %s ends early; the song holds what it has", input.c_str());
    }
    if (c.song.notes_out_of_range) {
        log_warning(c.log, "\nWarning: %d notes beyond C-0 to B-15 (the notes a Buzz note byte holds) play at the nearest of them",
                  c.song.notes_out_of_range);
    }
    if (c.settings.remove_2pat && c.song.duplicates_removed) {
        log_forced(c.log, "\nRemoved %d pattern duplicates", c.song.duplicates_removed);
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
    converter.remove_all();
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
        log_forced(c.log, "\n%s is %s by its content, read as such", input, input_format(d.kind)->text);
    }
    s.input_kind = d.kind;
    if (d.kind == InputKind::midi)
        s.converter_input = input;
    else
        s.current_input = input;
    if (converter_program(d.kind, c.settings)) s.converter_input = input;
    // A MOD read here exports its samples as XI instruments like an XM's for a BMW song.
    s.write_xi = c.settings.dowave == Waves::bmw ? 1 : 0;
}



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
    if (!target) no_target_generator(c.machines, dopfun, no_target_message);
    const bool native = native_midi(c);
    const bool by_instrument = !native && c.settings.dotsplit == Split::by_instrument;

    // Every count comes from the input: check them all before anything is allocated.
    if (s.pattern_count < 0) job_abort("Too many patterns!!");
    if (s.pattern_count > 0 && !s.pattern_table) job_abort("No patterns read!!");
    if (!native && (s.channel_count < 0 || s.channel_count > max_channels)) job_abort("Too many channels!!");
    const int generators = s.machine_count - 1;
    if (generators < 0 || generators > max_generators) {
        log_forced(c.log, "\n%d machines needed, %d allowed", s.machine_count, max_generators + 1);
        job_abort(" ");
    }
    if (by_instrument && generators > s.instrument_count) job_abort("Wrong machine count!!");

    const int track_row = dopfun ? target->track_bytes : tracker_track_row_bytes;
    const int global_row = dopfun ? target->global_bytes : tracker_global_row_bytes;
    if (track_row < 0 || global_row < 0 || global_row > machine_bytes_area)
        no_target_generator(c.machines, dopfun, no_target_message);

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
            log_forced(c.log, "%s allows ony %d channels,sorry!", target->dll_name, target->max_tracks);
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
        log_forced(c.log, "\nPatterns need %lld bytes, %lld allowed", static_cast<long long>(total),
                  static_cast<long long>(max_pattern_bytes));
        job_abort(" ");
    }

    if (!native) s.channel_instrument = song_table<uint8_t>(c, size_t(s.channel_count));
    s.machine_table = song_table<MachineRecord>(c, size_t(s.machine_count));

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
    uint8_t* master_empty = song_table<uint8_t>(c, master_track_row_bytes);
    std::memset(master_empty, 255, master_track_row_bytes);
    master.empty_row = master_empty;
    master.track_patterns = song_table<PatternData>(c, size_t(s.pattern_count));
    master.global_patterns = song_table<PatternData>(c, size_t(s.pattern_count));
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

    uint8_t* generator_empty = song_table<uint8_t>(c, size_t(track_row));
    fill_empty_cells(c, generator_empty, 1, track_row);
    for (int m = 1; m <= generators; ++m) {
        MachineRecord& mr = s.machine_table[m];
        mr.kind = 1;
        mr.track_row_bytes = track_row;
        mr.empty_row = generator_empty;
        mr.global_row_bytes = global_row;
        mr.track_count = tracks[size_t(m)];
        mr.track_patterns = song_table<PatternData>(c, size_t(s.pattern_count));
        if (!sparse_rows)
            for (int p = 0; p < s.pattern_count; ++p) {
                const size_t rows = size_t(mr.track_count) * size_t(s.pattern_table[p].lines);
                mr.track_patterns[p].data = take(rows * size_t(track_row));
                fill_empty_cells(c, mr.track_patterns[p].data, rows, track_row);
            }
        const bool globals = m == 1 && global_row > 0;
        if (!globals) continue;
        mr.global_patterns = song_table<PatternData>(c, size_t(s.pattern_count));
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
    const std::string current = run_input_converter(c, d.converter, input, output);

    // A converter that wrote nothing left its scratch XM empty.
    if (current != input && platform::file_length(current.c_str()) <= 0) job_abort("Can't open inputfile");
    errno = 0;
    d.open_input(current);
    // The module's own reason; a converter's XM that cannot be opened is no reason of the module.
    if (!d.input) job_abort(file_failure(FailedFile::input, input, current == input ? errno : 0, "Can't open inputfile"));
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

    s.order_list = song_table<OrderEntry>(c, order_list_size);
    s.order_list_room = order_list_size;
    for (int i = 0; i < order_list_size; ++i) s.order_list[i].pattern = i;
    s.wave_map = song_table<int>(c, wave_map_size);
    for (int i = 0; i < wave_map_size; ++i) s.wave_map[i] = i;

    if (s.input_kind == InputKind::xi) {
        // One XI instrument: a song of the Master alone that holds the instrument as its wave.
        const std::string problem = xi_instrument_problem(current.c_str());
        if (!problem.empty()) {
            const std::string msg = "not an XI instrument (" + problem + ")";
            job_abort(msg.c_str());
        }
        s.machine_count = 1;
        s.machine_table = song_table<MachineRecord>(c, 1);
        MachineRecord& master = s.machine_table[0];
        master.kind = 0;
        master.track_count = 0;
        master.track_row_bytes = master_track_row_bytes;
        master.global_row_bytes = master_global_row_bytes;
        master.track_patterns = song_table<PatternData>(c, 1);
        master.global_patterns = song_table<PatternData>(c, 1);
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
        if (!target || target->type != 1) no_target_generator(c.machines, c.settings.dopfun, "Alternate Machine is no generator!");
    }
    if (!target) no_target_generator(c.machines, c.settings.dopfun, no_target_message);

    if (s.write_output) open_output(d, output, input);

    const bool midi = native_midi(c);
    // A MIDI file is decoded in the first pass and held until the last one is done.
    SmfReader midi_file(c.log);
    midi_file.cancel = c.cancel;
    if (midi) smf_stream_open(midi_file, in);
    c.progress.phase_total = midi || c.settings.dotsplit == Split::by_instrument ? 4 : 3;
    for (int pass = 0; pass < 2; ++pass) {
        s.pass_number = pass;
        log_forced(c.log, pass == 0 ? "\nFirst pass:\n" : "\nSecond pass:\n");
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
            } else if (c.settings.dotsplit == Split::by_instrument) {
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
