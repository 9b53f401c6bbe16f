// The generator catalogue: the generator records written into a song's MACH section, the cell
// writer that stores one pattern cell in a generator's track row, and the generators' names.
//
// Targets are records of machine_descriptions: 1 the Tracker (the default), 2 PrimiFun, 3 Organ,
// 4 Omega-1, 5 Plucked String, 6 Bass, 7 Bass-2, 8 ES-9, 9 vMidiOut, 10 Bass-3. Machine data,
// attributes and the Tracker's own initial state go with the record index, whoever writes it.
#include "songwriter/generators.h"

#include <cstdio>
#include <cstring>

#include "buzz/machines_ini.h"
#include "buzz/write_primitives.h"
#include "core/byteio.h"
#include "core/log.h"
#include "settings/settings.h"
#include "song/conversion.h"
#include "song/pattern_cells.h"

namespace {

constexpr const char* es9_data_name = "es-9.dat";

struct Attribute {
    const char* name;
    int32_t value;
};

// Machine data: the ES-9 carries the whole of "es-9.dat", ripped earlier from a song holding one;
// every other target has none.
void put_machine_data(Writer& w, int record)
{
    if (record != role_es9) {
        put_dword(w, 0);
        return;
    }
    File f = open_file(es9_data_name, "rb");
    const auto missing = [] {
        job_abort(file_failure(FailedFile::es9_data, es9_data_name, 0,
                               "No data file for ES-9 (es-9.dat), rip data from any file with ES-9 first!"));
    };
    if (!f) missing();
    uint64_t length = stream_length(f.get());
    if (length > 0x7FFFFFFF) missing();
    std::rewind(f.get());
    put_dword(w, uint32_t(length));
    uint8_t block[4096];
    uint64_t left = length;
    while (left > 0) {
        size_t want = left < sizeof block ? size_t(left) : sizeof block;
        size_t got = std::fread(block, 1, want, f.get());
        // A file that shrank while being copied still gives exactly the length announced above.
        if (got < want) std::memset(block + got, 0, want - got);
        put_block(w, block, want);
        left -= want;
    }
}

void put_attributes(Writer& w, const Settings& settings, int record)
{
    static const Attribute tracker[] = {
        {"Ramp Time (ms)", 1}, {"Interpolation", 1}, {"Envelope Length", 324}};
    static const Attribute primifun[] = {
        {"Dynamic Channels", 4}, {"Default Volume", 128}, {"Track available at (dB)", -40}};
    const Attribute vmidiout[] = {{"MIDI device", settings.midi_device}, {"Method", 0}};

    const Attribute* list = nullptr;
    unsigned n = 0;
    switch (record) {
    case role_tracker: list = tracker; n = 3; break;
    case role_primifun: list = primifun; n = 3; break;
    case role_vmidiout: list = vmidiout; n = 2; break;
    default: break;
    }
    put_word(w, n);
    for (unsigned i = 0; i < n; ++i) {
        put_text(w, list[i].name, 0);
        put_dword(w, uint32_t(list[i].value));
    }
}

// A record's byte counts as used on its 20-byte areas. The loader already keeps them inside;
// records put together elsewhere are held to the same limit here.
void area_counts(const MachineDescription& d, int& global_bytes, int& track_bytes)
{
    global_bytes = d.global_bytes < 0 ? 0 : d.global_bytes > machine_bytes_area ? machine_bytes_area : d.global_bytes;
    int room = machine_bytes_area - global_bytes;
    track_bytes = d.track_bytes < 0 ? 0 : d.track_bytes > room ? room : d.track_bytes;
}

// The record the conversion writes its cells for: dopfun + 1.
const MachineDescription* target_description(const Conversion& c)
{
    return machine_description(c.machines, c.settings.dopfun + 1);
}

} // namespace

void write_generator_machine(Writer& w, const MachineTable& machines, const Settings& settings, int record,
                             int track_count, float x, float y, const char* name, int tick_byte)
{
    const MachineDescription* d = machine_description(machines, record);
    if (!d) {
        char msg[80];
        std::snprintf(msg, sizeof msg, "No machine %d in machines.ini!!", record);
        job_abort(msg);
    }
    put_text(w, name, 0);
    put_byte(w, unsigned(d->type));
    put_text(w, d->dll_name, 0);
    put_float(w, x);
    put_float(w, y);
    put_machine_data(w, record);
    put_attributes(w, settings, record);

    if (record == role_tracker) {
        // The Tracker's one global parameter, ticks per row; each track starts empty.
        static const uint8_t tracker_track[5] = {0x00, 0x00, 0xFF, 0x00, 0x00};
        put_byte(w, unsigned(tick_byte));
        put_word(w, unsigned(track_count));
        for (int t = 0; t < track_count; ++t) put_block(w, tracker_track, sizeof tracker_track);
        return;
    }
    int global_bytes, track_bytes;
    area_counts(*d, global_bytes, track_bytes);
    put_block(w, d->init_bytes, size_t(global_bytes));
    put_word(w, unsigned(track_count));
    for (int t = 0; t < track_count; ++t) put_block(w, d->init_bytes + global_bytes, size_t(track_bytes));
}

namespace {

// The cell's bytes in one track row of row_bytes bytes: the Tracker's five bytes, or a
// generator's empty track bytes with note, wave and volume put at the record's positions.
void put_cell_bytes(const Conversion& c, uint8_t* row, int row_bytes, uint8_t note, uint8_t wave, uint8_t volume,
                    uint8_t effect, uint8_t value)
{
    if (c.settings.dopfun == 0) {
        const uint8_t cell[5] = {note, wave, volume, effect, value};
        std::memcpy(row, cell, size_t(row_bytes < 5 ? row_bytes : 5));
        return;
    }

    const MachineDescription* d = target_description(c);
    if (!d) return;
    int global_bytes, track_bytes;
    area_counts(*d, global_bytes, track_bytes);
    int n = track_bytes < row_bytes ? track_bytes : row_bytes;
    // Positions are 1-based; a position of 0 (or beyond the row) names no byte.
    auto put = [&](int position, uint8_t b) {
        if (position >= 1 && position <= n) row[position - 1] = b;
    };
    for (int i = 1; i <= n; ++i) put(i, d->empty_bytes[global_bytes + i - 1]);
    const bool vmidiout = c.settings.dopfun == role_vmidiout - 1;
    if (vmidiout && c.song.input_kind == InputKind::midi && c.settings.domidi_ext == 0) {
        put(4, c.midi.midi_out_channel);
        put(5, c.midi.midi_out_program);
    }
    put(d->note_byte, note);
    put(d->wave_byte, wave);
    if (vmidiout && volume != 255) volume = uint8_t(volume >> 1);
    put(d->volume_byte, volume);
}

} // namespace

// A cell goes to row cur_row of track cur_track of pattern cur_pattern of machine cur_machine.
// A position outside the song's tables (the Master, a machine, pattern, track or row that does
// not exist) is dropped without a word: the callers report the positions they compute
// themselves, and the cell writer must never write outside its pattern. A cell sets the whole
// row (bytes it leaves out stay those of the empty row), so a row held sparse starts from the
// empty row.
void write_cell(Conversion& c, uint8_t note, uint8_t wave, uint8_t volume, uint8_t effect, uint8_t value)
{
    Song& s = c.song;
    if (!s.machine_table || !s.pattern_table) return;
    if (s.cur_machine < 1 || s.cur_machine >= s.machine_count) return;
    if (s.cur_pattern < 0 || s.cur_pattern >= s.pattern_count) return;
    const MachineRecord& m = s.machine_table[s.cur_machine];
    if (!m.track_patterns || s.cur_track < 0 || s.cur_track >= m.track_count) return;
    if (s.cur_row < 0 || s.cur_row >= s.pattern_table[s.cur_pattern].lines) return;
    const int row_bytes = m.track_row_bytes;
    if (row_bytes <= 0) return;
    PatternData& tp = m.track_patterns[s.cur_pattern];
    if (tp.data) {
        const size_t at = size_t(s.cur_track) * size_t(s.pattern_table[s.cur_pattern].lines) + size_t(s.cur_row);
        uint8_t* row = tp.data + at * size_t(row_bytes);
        if (c.settings.dopfun == 0 && row_bytes >= 5) {
            // The Tracker's cell: its first five bytes (a MIDI file's every note comes here).
            row[0] = note, row[1] = wave, row[2] = volume, row[3] = effect, row[4] = value;
            return;
        }
        put_cell_bytes(c, row, row_bytes, note, wave, volume, effect, value);
        return;
    }
    if (!m.empty_row || row_bytes > machine_max_bytes) return;
    uint8_t row[machine_max_bytes];
    if (c.settings.dopfun == 0 && row_bytes == 5) {
        // The Tracker's row is the cell itself.
        row[0] = note, row[1] = wave, row[2] = volume, row[3] = effect, row[4] = value;
    } else {
        std::memcpy(row, m.empty_row, size_t(row_bytes));
        put_cell_bytes(c, row, row_bytes, note, wave, volume, effect, value);
    }
    put_track_row(c.pool, s.cell_space, m, tp, track_row_position(m, s.cur_track, s.cur_row), row);
}

void fill_empty_cells(const Conversion& c, uint8_t* data, size_t rows, int row_bytes)
{
    if (!data || rows == 0 || row_bytes <= 0) return;
    const size_t width = size_t(row_bytes);
    std::memset(data, 0, width);
    put_cell_bytes(c, data, row_bytes, 0, 0, 255, 0, 0);
    // Doubling copies: each pass copies every row filled so far.
    size_t filled = 1;
    while (filled < rows) {
        const size_t n = filled < rows - filled ? filled : rows - filled;
        std::memcpy(data + filled * width, data, n * width);
        filled += n;
    }
}

void generator_name(const Conversion& c, int k, char* out, int out_size)
{
    if (!out || out_size <= 0) return;
    const MachineDescription* d = target_description(c);
    const char* short_name = d ? d->short_name : "";
    if (c.song.machine_count <= 2) {
        std::snprintf(out, size_t(out_size), "%s", short_name);
        return;
    }
    int number = k;
    if (c.settings.dotsplit == Split::by_instrument && c.song.input_kind != InputKind::midi &&
        c.settings.domidi_ext == 0 && c.song.instrument_table && k >= 1 && k <= c.song.instrument_count)
        number = c.song.instrument_table[k - 1].machine_instrument + 1;
    number -= c.settings.do_0track;
    std::snprintf(out, size_t(out_size), "%s %02X", short_name, unsigned(number));
}
