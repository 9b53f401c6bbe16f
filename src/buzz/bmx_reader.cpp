// Buzz song reader: the header and section directory of a BMX/BMW song and its sections MACH,
// CONN, WAVT, PATT, SEQU, BLAH and WAVE, listed into the log and passed on to the merge stream.
//
// A song is user input. Besides the checks Buzz songs have always been given (magic, machine
// library known, track limit, the MACH and PATT position checks, waves cut off),
// the reader never trusts a count or size from the file before it has checked it against the
// bytes left:
// - a directory that does not fit in the file, or a section offset beyond its end, ends the job
//   with "File too short!!";
// - in CONN, WAVT and SEQU (sections without a position check) a count whose records cannot fit
//   in the rest of the file, or a table whose texts run into the end of the file, ends the job
//   with "File too short!!" instead of listing 0xFF filler;
// - in MACH and PATT the position only grows, so once a record needs more bytes than the
//   section has left the final position check cannot pass: the reader stops there and reports
//   the section's size mismatch at once;
// - texts end at the end of the file, so no read loops on the 0xFF filler.
// Songs Buzz itself writes hold machines with large state: data blocks of any size that fits in
// the section are read (with a warning above 2000 bytes), and byte counts up to 255 per row.
//
// The other sections of a song (BVER, PARA, PDLG, MIDI, CWAV in songs Buzz saves) are only
// listed; a read of the whole song keeps their directory entries for the merge.
//
// Large runs of bytes that pass unchanged (wave data, sections copied whole, the rows of patterns
// no hook looks at) go from the song to the merge stream in the kernel; rows, data blocks and
// track states are read as blocks, and what is emitted is written in blocks of 256 KiB.
#include "buzz/bmx_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "buzz/machines_ini.h"
#include "core/byteio.h"
#include "core/log.h"
#include "core/pool.h"
#include "platform/platform.h"
#include "settings/settings.h"

#define KESTRIX_AMBIENT_JOB
#include "buzz/ambient.h"

ReaderState reader_state;

namespace {

constexpr ReaderHooks no_hooks{};

// Smallest size of one record, for the count checks: a machine (empty name, type, x, y, data
// size, attribute count, track count), a connection, a wave table entry (index, two empty texts,
// volume, flags, level count), an envelope, an envelope point, a level, a sequence header.
constexpr uint64_t min_machine_bytes = 18;
constexpr uint64_t connection_bytes = 8;
constexpr uint64_t min_wave_entry_bytes = 10;
constexpr uint64_t envelope_bytes = 12;
constexpr uint64_t envelope_point_bytes = 5;
constexpr uint64_t level_bytes = 17;
constexpr uint64_t sequence_header_bytes = 6;

constexpr uint32_t max_usual_data_block = 2000; // larger machine data blocks are worth a warning
constexpr int max_tracks_before_last = 50;
constexpr size_t max_extra_sections = 1024; // a Buzz song has a handful
constexpr size_t copy_block = 65536;    // bytes per block when copying raw data and waves
constexpr size_t row_block = size_t(256) << 10;  // rows are read in blocks of about this size
constexpr size_t pending_limit = size_t(256) << 10; // emitted bytes are written in blocks of this
constexpr uint64_t kernel_copy_min = 256 * 1024;  // smaller runs go through the pending buffer

const ReaderHooks& hooks() { return reader_state.hooks ? *reader_state.hooks : no_hooks; }

InputSummary& summary()
{
    int i = reader_state.current_input;
    return reader_state.input_summaries[(i >= 0 && i <= 2) ? i : 0];
}

uint64_t file_remaining() { return reader_state.in.file_room(); }
// Bytes between the position and the end of the section, as far as the file holds them.
uint64_t section_room() { return reader_state.in.room(); }
void seek_to(uint64_t offset) { reader_state.in.seek(offset); }
// Skips n bytes that the file is known to hold.
void skip_bytes(uint64_t n) { reader_state.in.skip(n); }

// Passes n bytes the file is known to hold from the input to the merge stream in one go, and
// moves the input past them. A short copy is a failed write (a full disk).
void copy_to_merge_stream(uint64_t n)
{
    ReaderState& rs = reader_state;
    merge_stream_flush();
    if (platform::copy_file_region(rs.in.file, rs.in.pos, rs.merge_stream, n) != n) job_abort(msg_temp_write);
    seek_to(rs.in.pos + n);
}

void require_file_bytes(uint64_t count, uint64_t record_bytes)
{
    if (count * record_bytes > file_remaining()) job_abort(msg_too_short);
}

void emit_count(int section, uint32_t value, int width)
{
    const ReaderHooks& h = hooks();
    int64_t out = h.count ? h.count(section, value) : int64_t(value);
    if (out < 0) return;
    if (width == 2) {
        emit_word(unsigned(out));
    } else {
        emit_dword(uint32_t(out));
    }
}

// A section that is not parsed: with a merge stream its bytes are copied as they are.
void copy_raw(int section)
{
    if (!reader_state.merge_stream) return;
    const ReaderHooks& h = hooks();
    if (h.raw_prefix) h.raw_prefix(section);
    copy_section_rest();
}

// a (at most a_max characters) equals the text b, ignoring the case of ASCII letters.
bool same_name_nocase(const char* a, size_t a_max, const char* b)
{
    size_t i = 0;
    for (; i < a_max && a[i]; ++i) {
        unsigned char ca = static_cast<unsigned char>(a[i]);
        unsigned char cb = static_cast<unsigned char>(b[i]);
        if (cb == 0) return false;
        if (ca >= 'A' && ca <= 'Z') ca = static_cast<unsigned char>(ca + 32);
        if (cb >= 'A' && cb <= 'Z') cb = static_cast<unsigned char>(cb + 32);
        if (ca != cb) return false;
    }
    return b[i] == 0;
}

[[noreturn]] void machine_not_found(const char* name)
{
    log_state.log_enabled = 1;
    log_print("\nMachine (%s) not found in machines.ini", name);
    job_abort("\nMachine not found in machines.ini, you should retry without!!");
}

// The diagnostic lines before a fatal error are shown even while the listing is off (the
// "not found" line always was): without them the error line says nothing.
[[noreturn]] void machine_size_mismatch(uint64_t state_pos)
{
    log_state.log_enabled = 1;
    log_print("\nMachine section size doesn't match, probably wrong machine or machines.ini!!!");
    log_print("\nIf only wrong last machine: static_bytes+tracks*track_bytes= %d",
              int(int64_t(reader_state.in.end) - int64_t(state_pos) - 2));
    job_abort("\n");
}

void log_bytes(const uint8_t* b, size_t n)
{
    for (size_t i = 0; i < n; ++i) log_print(" %2x", b[i]);
}

// ---------------------------------------------------------------------------------------------
// MACH

void read_mach()
{
    ReaderState& rs = reader_state;
    InputSummary& sum = summary();
    const ReaderHooks& h = hooks();

    const uint16_t count = hold_word();
    sum.machines = count;
    emit_count(sec_mach, count, 2);
    log_print(" machines: %d", count);
    if (!rs.full_parse) {
        copy_raw(sec_mach);
        return;
    }

    require_file_bytes(count, min_machine_bytes);
    if (count > sum.machine_list_count) {
        sum.machine_list = pool_array<MachineEntry>(count);
        sum.machine_list_count = count;
    }
    const MachineTable& table = machine_table_state;
    std::vector<uint8_t> buf;
    uint64_t state_pos = rs.in.pos; // where the last machine's global state began

    for (int m = 0; m < count; ++m) {
        MachineEntry& entry = sum.machine_list[m];
        const int saved_forward = rs.forward;
        if (h.machine_begin && !h.machine_begin(m)) rs.forward = 0;

        char name[256];
        take_text(name, sizeof name);
        std::memset(entry.name, 0, sizeof entry.name);
        std::memcpy(entry.name, name, std::min(std::strlen(name), sizeof entry.name - 1));
        const uint8_t type = take_byte();
        log_print("\n%d: %s typ: %d", m, name, type);

        int index = 0;
        if (type != 0) {
            char dll[256];
            size_t len = take_text(dll, sizeof dll);
            log_print(" (%s)", dll);
            // A name longer than the buffer is longer than any library name in the descriptions.
            index = len < sizeof dll - 1 ? find_machine_description(dll) : -1;
            if (index < 0) machine_not_found(dll);
        } else {
            log_print(" (Master)");
            if (table.machine_description_count < 1 || !table.machine_descriptions)
                machine_not_found(name);
        }
        const MachineDescription& d = table.machine_descriptions[index];
        entry.description = index;
        entry.kind = d.type;
        // The generator listing is how a source is chosen again: a stale choice must not stop it.
        if (rs.current_input == 1 && !rs.list_generators_only && settings.clone_source != 0 &&
            m == settings.clone_source && entry.kind != 1)
            job_abort("No generator choosen, reselect source machine");

        const uint32_t x_bits = hold_dword();
        const uint32_t y_bits = hold_dword();
        float x, y;
        std::memcpy(&x, &x_bits, 4);
        std::memcpy(&y, &y_bits, 4);
        if (h.machine_position) {
            float nx = x, ny = y;
            h.machine_position(m, &nx, &ny);
            emit_float(nx);
            emit_float(ny);
        } else {
            emit_dword(x_bits);
            emit_dword(y_bits);
        }
        const uint32_t size = take_dword();
        log_print(" (%f,%f) size: %d", double(x), double(y), int(size));

        // Machines keep state of their own in the data block: a few bytes for most, tens of
        // kilobytes for some (a real song's "FSM Infector" stores 65,828). A block that does not
        // fit in the section was misread; a large one that fits is worth a word only.
        if (size > section_room()) machine_size_mismatch(state_pos);
        if (size > max_usual_data_block) {
            log_state.log_force = 1;
            log_print("\nWarning: machine %s holds %u bytes of data (more than %u)!", entry.name,
                      unsigned(size), unsigned(max_usual_data_block));
        }
        uint32_t done = 0;
        do {
            const size_t n = std::min<size_t>(size - done, copy_block);
            if (buf.size() < n) buf.resize(n);
            hold_block(buf.data(), n);
            if (h.machine_data) h.machine_data(m, buf.data(), n, done, size);
            emit_block(buf.data(), n);
            done += uint32_t(n);
        } while (done < size);

        const uint16_t attributes = take_word();
        log_print(" attr:%d", attributes);
        for (int a = 0; a < attributes; ++a) {
            char attr[256];
            take_text(attr, sizeof attr);
            const uint32_t value = take_dword();
            log_print("\n  %s:%d", attr, int(value));
            if (attributes > 20) break; // a count this high is garbage: keep the first only
        }

        state_pos = rs.in.pos;
        const size_t global_bytes = size_t(std::max(0, d.global_bytes));
        const size_t track_bytes = size_t(std::max(0, d.track_bytes));
        log_print("\nstat_bytes(%d):", int(global_bytes));
        if (global_bytes > section_room()) machine_size_mismatch(state_pos);
        buf.resize(std::max(buf.size(), global_bytes));
        hold_block(buf.data(), global_bytes);
        log_bytes(buf.data(), global_bytes);
        if (h.machine_globals) h.machine_globals(m, buf.data(), int(global_bytes));
        emit_block(buf.data(), global_bytes);

        const uint16_t tracks = take_word();
        log_print(" tracks:%d", tracks);
        entry.tracks = tracks;
        if (tracks > max_tracks_before_last && m + 1 < count) {
            log_state.log_enabled = 1;
            for (int i = 1; i <= 19; ++i) log_print("Byte: %d:.%c.", i, take_byte());
            job_abort("\nMachine tracks>50, probably wrong machine or machines.ini!!!\nYou can try to "
                      "adjust static bytes+track bytes to match the start of the name of the next "
                      "machine!!!");
        }
        log_print("\ntrack_bytes(track 0 only)(%d):", int(track_bytes));
        if (uint64_t(tracks) * track_bytes > section_room()) machine_size_mismatch(state_pos);
        buf.resize(std::max(buf.size(), track_bytes));
        for (int t = 0; t < tracks; ++t) {
            hold_block(buf.data(), track_bytes);
            if (t == 0) log_bytes(buf.data(), track_bytes);
            emit_block(buf.data(), track_bytes);
        }

        rs.forward = saved_forward;
        if (rs.in.at_eof() || rs.in.pos > rs.in.end) machine_size_mismatch(state_pos);
    }
    if (rs.in.pos != rs.in.end) machine_size_mismatch(state_pos);
}

// ---------------------------------------------------------------------------------------------
// CONN

void read_conn()
{
    ReaderState& rs = reader_state;
    InputSummary& sum = summary();
    const ReaderHooks& h = hooks();

    const uint16_t count = hold_word();
    sum.connections = count;
    sum.master_connections = 0;
    emit_count(sec_conn, count, 2);
    log_print(" conns: %x", count);
    require_file_bytes(count, connection_bytes);

    // A second full pass over the same song counts afresh.
    const bool count_inputs = rs.full_parse && sum.machine_list;
    if (count_inputs)
        for (int m = 0; m < sum.machine_list_count; ++m) sum.machine_list[m].inputs = 0;

    for (int c = 0; c < count; ++c) {
        uint16_t source = hold_word();
        uint16_t destination = hold_word();
        uint16_t amplitude = hold_word();
        uint16_t panning = hold_word();
        if (destination == 0) ++sum.master_connections;
        // A destination beyond the machine list names no machine; it counts nowhere.
        if (count_inputs && destination < sum.machine_list_count)
            ++sum.machine_list[destination].inputs;
        log_print("\n %x->%x (%x,%x)", source, destination, panning, amplitude);
        if (h.connection && !h.connection(&source, &destination, &amplitude, &panning)) continue;
        emit_word(source);
        emit_word(destination);
        emit_word(amplitude);
        emit_word(panning);
    }
    log_print(" conns0: %x", sum.master_connections);
}

// ---------------------------------------------------------------------------------------------
// WAVT

void read_wavt()
{
    ReaderState& rs = reader_state;
    InputSummary& sum = summary();
    const ReaderHooks& h = hooks();

    const uint16_t count = hold_word();
    sum.instruments = count;
    sum.instrument_index_bound = count;
    emit_count(sec_wavt, count, 2);
    log_print(" instrs: %x", count);
    require_file_bytes(count, min_wave_entry_bytes);

    for (int o = 0; o < count; ++o) {
        const uint16_t index = hold_word();
        if (index + 1 > sum.instrument_index_bound) sum.instrument_index_bound = index + 1;
        log_print("\n%x:", index);
        uint16_t index_out = index;
        if (h.wave_table_index) h.wave_table_index(o, &index_out);
        emit_word(index_out);

        char text[512];
        take_text(text, sizeof text);
        log_print("(%s,", text);
        take_text(text, sizeof text);
        log_print("%s)", text);
        log_print(" vol:%x", take_dword());
        const uint8_t flags = take_byte();
        log_print(" flag:%x", flags);

        if (flags & 0x80) {
            const uint16_t envelopes = take_word();
            log_print(" envs:%x:", envelopes);
            require_file_bytes(envelopes, envelope_bytes);
            for (int e = 0; e < envelopes; ++e) {
                const unsigned attack = take_word();
                const unsigned decay = take_word();
                const unsigned sustain = take_word();
                const unsigned release = take_word();
                const unsigned subdivision = take_byte();
                const unsigned env_flags = take_byte();
                const unsigned points = take_word();
                log_print("\n  %x: att:%x dec:%x sus:%x rel:%x adiv:%x aflg:%x points:%x:", e,
                          attack, decay, sustain, release, subdivision, env_flags, points);
                const unsigned point_count = points & 0x7FFF; // bit 15 is a flag
                require_file_bytes(point_count, envelope_point_bytes);
                for (unsigned p = 0; p < point_count; ++p) {
                    const unsigned px = take_word();
                    const unsigned py = take_word();
                    const unsigned pf = take_byte();
                    log_print("\n     %x:(%x %x) flag: %x", p, px, py, pf);
                }
            }
        }

        const uint8_t levels = take_byte();
        log_print(" lvls:%x:", levels);
        require_file_bytes(levels, level_bytes);
        for (int l = 0; l < levels; ++l) {
            log_print("\n   %x", l);
            log_print(" samples:%x", take_dword());
            log_print(" (loop:%x->", take_dword());
            log_print("%x)", take_dword());
            const uint32_t rate = hold_dword();
            log_print(" srate:%x", rate);
            uint32_t rate_out = rate;
            if (h.sample_rate) h.sample_rate(o, l, &rate_out);
            emit_dword(rate_out);
            log_print(" root: %x", take_byte());
        }
        if (rs.in.at_eof()) job_abort(msg_too_short);
    }
}

// ---------------------------------------------------------------------------------------------
// PATT

// `lines` rows of `size` bytes each (one input's pairs, the global rows or one track's rows),
// which the section is known to hold: read in blocks of whole rows and shown to the row hooks one
// by one on their way.
void read_rows(std::vector<uint8_t>& buf, RowPlace at, size_t size, int lines)
{
    const ReaderHooks& h = hooks();
    const int per_block = int(std::max<size_t>(1, std::min<size_t>(row_block / std::max<size_t>(size, 1), 65536)));
    for (int first = 0; first < lines; first += per_block) {
        const int n = std::min(per_block, lines - first);
        if (buf.size() < size * size_t(n)) buf.resize(size * size_t(n));
        hold_block(buf.data(), size * size_t(n));
        for (int r = 0; r < n; ++r) {
            uint8_t* row = buf.data() + size * size_t(r);
            at.row = first + r;
            if (h.row) h.row(at, row, int(size));
            emit_block(row, size);
            if (h.row_written) h.row_written(at, row, int(size));
        }
    }
}

void read_patt()
{
    ReaderState& rs = reader_state;
    InputSummary& sum = summary();
    const ReaderHooks& h = hooks();

    if (!rs.full_parse) {
        copy_raw(sec_patt);
        return;
    }
    // The patterns are walked with the machines of this song's MACH; a song whose PATT comes
    // first has none known, and only an empty section passes the size check then.
    const int machines = sum.machine_list ? std::min(sum.machines, sum.machine_list_count) : 0;
    const MachineTable& table = machine_table_state;
    std::vector<uint8_t> buf;

    for (int m = 0; m < machines; ++m) {
        const MachineEntry& entry = sum.machine_list[m];
        // The descriptions were replaced since MACH was read: the layouts are unknown.
        if (entry.description >= table.machine_description_count || !table.machine_descriptions)
            machine_not_found(entry.name);
        const MachineDescription& d = table.machine_descriptions[entry.description];
        const uint64_t global_bytes = uint64_t(std::max(0, d.global_bytes));
        const uint64_t track_bytes = uint64_t(std::max(0, d.track_bytes));
        const uint64_t inputs = uint64_t(entry.inputs);

        const int saved_forward = rs.forward;
        const uint16_t patterns = hold_word();
        const uint16_t tracks = hold_word();
        if (h.pattern_machine && !h.pattern_machine(m, patterns, tracks)) rs.forward = 0;
        // Rows that no hook looks at pass on in blocks, a pattern's rows at a time.
        const bool hooked = (h.row || h.row_written) && (!h.pattern_rows || h.pattern_rows(m));
        emit_word(patterns);
        emit_word(tracks);
        log_print("\n\nmachine: %d (%s) patts:%d tracks: %d inputs:%d", m, entry.name, patterns,
                  tracks, entry.inputs);
        // A pattern takes at least an empty name and its line count.
        if (uint64_t(patterns) * 3 > section_room()) job_abort(msg_patt_size);

        for (int k = 0; k < patterns; ++k) {
            log_print(k % 8 == 0 ? "\n patt: %2x(" : " patt: %2x(", k);
            char name[1024];
            const size_t name_len = take_text(name, sizeof name);
            for (size_t i = 0; i < name_len && i < sizeof name - 1; ++i) log_print("%c", name[i]);
            const uint16_t lines = hold_word();
            uint16_t lines_out = lines;
            if (h.pattern_lines) h.pattern_lines(m, k, name, &lines_out);
            emit_word(lines_out);
            log_print(") lines:%d", lines);

            const uint64_t need = inputs * (2 + 4 * uint64_t(lines)) + lines * global_bytes +
                                  uint64_t(tracks) * lines * track_bytes;
            if (need > section_room()) job_abort(msg_patt_size);

            for (int i = 0; i < entry.inputs; ++i) {
                uint16_t source = hold_word();
                if (h.input_source) h.input_source(m, k, &source);
                emit_word(source);
                if (hooked) {
                    read_rows(buf, RowPlace{row_input, m, k, i, 0}, 4, lines);
                } else {
                    pass_bytes(4 * uint64_t(lines), msg_patt_size);
                }
            }
            if (!hooked) {
                pass_bytes(lines * global_bytes + uint64_t(tracks) * lines * track_bytes, msg_patt_size);
                continue;
            }
            read_rows(buf, RowPlace{row_global, m, k, 0, 0}, size_t(global_bytes), lines);
            for (int t = 0; t < tracks; ++t)
                read_rows(buf, RowPlace{row_track, m, k, t, 0}, size_t(track_bytes), lines);
        }
        rs.forward = saved_forward;
        if (rs.in.at_eof() || rs.in.pos > rs.in.end) job_abort(msg_patt_size);
    }
    if (rs.in.pos != rs.in.end) job_abort(msg_patt_size);
}

// ---------------------------------------------------------------------------------------------
// SEQU

uint32_t hold_field(int width) { return width == 4 ? hold_dword() : width == 2 ? hold_word() : hold_byte(); }

void emit_field(uint32_t value, int width)
{
    if (width == 4) {
        emit_dword(value);
    } else if (width == 2) {
        emit_word(value);
    } else {
        emit_byte(value);
    }
}

void read_sequ()
{
    ReaderState& rs = reader_state;
    InputSummary& sum = summary();
    const ReaderHooks& h = hooks();

    uint32_t song_end = hold_dword();
    uint32_t loop_start = hold_dword();
    uint32_t loop_end = hold_dword();
    log_print("\nsong_end:%x", song_end);
    log_print("(loop:%x->", loop_start);
    log_print("%x)", loop_end);
    sum.song_end = song_end;
    sum.loop_start = loop_start;
    sum.loop_end = loop_end;
    if (!h.song_header || h.song_header(&song_end, &loop_start, &loop_end)) {
        emit_dword(song_end);
        emit_dword(loop_start);
        emit_dword(loop_end);
    }

    const uint16_t count = hold_word();
    sum.sequences = count;
    sum.sequence_adjustment = 0;
    emit_count(sec_sequ, count, 2);
    log_print(" sequences:%x:", count);
    require_file_bytes(count, sequence_header_bytes);

    for (int s = 0; s < count; ++s) {
        const uint16_t machine = hold_word();
        const uint32_t events = hold_dword();
        log_print("\n%x(machine:%x)", s, machine);
        log_print(" events:%x", events);
        if (rs.current_input == 2 && machine == 0) --sum.sequence_adjustment;
        if (rs.current_input == 1 && settings.clone2 != 0 && settings.clone_source != 0 &&
            machine == settings.clone_source)
            ++sum.sequence_adjustment;

        int position_width = 0;
        int value_width = 0;
        if (events) {
            position_width = hold_byte();
            value_width = hold_byte();
            log_print(" pos_bytes:%x event_bytes:%x", position_width, value_width);
        }
        const int pw = sequence_field_width(position_width);
        const int vw = sequence_field_width(value_width);
        require_file_bytes(events, uint64_t(pw + vw));

        const int saved_forward = rs.forward;
        uint16_t machine_out = machine;
        uint32_t events_out = events;
        int position_width_out = position_width;
        if (h.sequence_begin &&
            !h.sequence_begin(s, &machine_out, &events_out, &position_width_out, value_width))
            rs.forward = 0;
        const int pw_out = position_width_out == position_width ? pw : sequence_field_width(position_width_out);
        emit_word(machine_out);
        emit_dword(events_out);
        if (events) {
            emit_byte(unsigned(position_width_out));
            emit_byte(unsigned(value_width));
        }
        for (uint32_t e = 0; e < events; ++e) {
            uint32_t position = hold_field(pw);
            uint32_t value = hold_field(vw);
            if (e % 16 == 0) log_print("\n");
            log_print(" %4x:", position);
            log_print("%2x", unsigned(int(value) - 16));
            if (h.sequence_event) h.sequence_event(s, &position, &value);
            emit_field(position, pw_out);
            emit_field(value, vw);
        }
        if (h.sequence_end) h.sequence_end(s);
        rs.forward = saved_forward;
    }
}

// ---------------------------------------------------------------------------------------------
// BLAH

void read_blah()
{
    if (!reader_state.merge_stream) return;
    emit_count(sec_blah, hold_dword(), 4);
    copy_raw(sec_blah);
}

// ---------------------------------------------------------------------------------------------
// WAVE

[[noreturn]] void premature_eof(uint64_t bytes_read)
{
    log_state.log_enabled = 1;
    log_print("\npremature EOF at pos: %x", unsigned(bytes_read));
    job_abort(msg_too_short);
}

void read_wave()
{
    ReaderState& rs = reader_state;
    InputSummary& sum = summary();
    const ReaderHooks& h = hooks();

    const uint16_t count = hold_word();
    sum.waves = count;
    emit_count(sec_wave, count, 2);
    log_print("\nwavs:%x", count);
    std::vector<uint8_t> buf;
    // Nobody looks at the wave bytes on their way: the waves whose headers stay as they are pass
    // on as one run of the song, which the kernel copies when it ends.
    const bool runs = rs.merge_stream && rs.forward && !h.wave_data;
    uint64_t run_start = rs.in.pos;
    auto end_run = [&](uint64_t at) {
        const uint64_t back = rs.in.pos;
        seek_to(run_start);
        copy_to_merge_stream(at - run_start);
        seek_to(back);
    };

    for (int w = 0; w < count; ++w) {
        const uint64_t header_at = rs.in.pos;
        const uint16_t index = hold_word();
        log_print("\n%x:", index);
        const uint8_t format = hold_byte();
        log_print(" typ:%x", format);
        const uint32_t bytes = hold_dword();
        log_print(" len:%x", bytes);
        uint16_t index_out = index;
        if (h.wave_begin) h.wave_begin(w, &index_out, format, bytes);
        if (runs && index_out != index) {
            end_run(header_at);
            run_start = rs.in.pos;
        }
        if (!runs || index_out != index) {
            emit_word(index_out);
            emit_byte(format);
            emit_dword(bytes);
        }

        if (runs) {
            const uint64_t room = rs.in.at_eof() ? 0 : file_remaining();
            if (bytes > room) premature_eof(room);
            skip_bytes(bytes);
        } else if ((rs.merge_stream && rs.forward) || h.wave_data) {
            // Wave data may be large: it is read and passed on in blocks.
            if (buf.empty()) buf.resize(copy_block);
            uint64_t done = 0;
            while (done < bytes) {
                const size_t n = size_t(std::min<uint64_t>(bytes - done, copy_block));
                const size_t got = hold_block(buf.data(), n);
                emit_block(buf.data(), got);
                if (h.wave_data) h.wave_data(w, buf.data(), got);
                done += got;
                if (got < n) premature_eof(done);
            }
        } else {
            // Nobody needs the bytes: only whether the file holds them all.
            const uint64_t room = rs.in.at_eof() ? 0 : file_remaining();
            if (bytes > room) premature_eof(room);
            skip_bytes(bytes);
        }
        if (h.wave_end) h.wave_end(w);
    }
    if (runs) end_run(rs.in.pos);
}

int section_id(const char name[4])
{
    for (int id = sec_mach; id <= sec_wave; ++id)
        if (std::memcmp(name, section_names[id], 4) == 0) return id;
    return 0;
}

void read_section(int id, uint32_t offset, uint32_t length)
{
    InputSummary& sum = summary();
    sum.section_start[id] = offset;
    sum.section_length[id] = length;
    // A directory entry of length 0 holds nothing, not even a count (a merge writes such entries
    // for sections none of its inputs had).
    if (length == 0) return;
    const ReaderHooks& h = hooks();
    if (h.section_begin) h.section_begin(id);
    switch (id) {
    case sec_mach: read_mach(); break;
    case sec_conn: read_conn(); break;
    case sec_wavt: read_wavt(); break;
    case sec_patt: read_patt(); break;
    case sec_sequ: read_sequ(); break;
    case sec_blah: read_blah(); break;
    case sec_wave: read_wave(); break;
    default: break;
    }
    if (h.section_end) h.section_end(id);
}

} // namespace

int sequence_field_width(int stored) { return stored == 2 || stored == 4 ? stored : 1; }

// ---------------------------------------------------------------------------------------------
// The section reader

uint64_t SectionReader::room() const
{
    const uint64_t stop = std::min(end, file_length);
    return pos >= stop ? 0 : stop - pos;
}

uint64_t SectionReader::file_room() const { return pos >= file_length ? 0 : file_length - pos; }

bool SectionReader::at_eof() const { return stream_eof(file); }

void SectionReader::seek(uint64_t offset)
{
    if (offset > uint64_t(INT64_MAX) || !stream_seek(file, int64_t(offset))) job_abort(msg_too_short);
    pos = offset;
}

uint8_t SectionReader::byte()
{
    const uint8_t b = read_byte(file);
    if (b != 0xFF || !stream_eof(file)) ++pos;
    return b;
}

uint16_t SectionReader::word()
{
    const unsigned lo = byte();
    const unsigned hi = byte();
    return uint16_t(lo + 256 * hi);
}

uint32_t SectionReader::dword()
{
    const uint32_t lo = word();
    const uint32_t hi = word();
    return lo + 65536u * hi;
}

size_t SectionReader::block(uint8_t* buf, size_t n)
{
    if (n == 0) return 0;
    const size_t got = read_bytes(file, buf, n);
    pos += got;
    return got;
}

size_t SectionReader::text(char* keep, size_t keep_size)
{
    size_t n = 0;
    while (room() > 0) {
        const uint8_t c = byte();
        if (c == 0) break;
        if (keep && n + 1 < keep_size) keep[n] = char(c);
        ++n;
    }
    if (keep && keep_size) keep[std::min(n, keep_size - 1)] = 0;
    return n;
}

// ---------------------------------------------------------------------------------------------
// The byte path

uint8_t hold_byte() { return reader_state.in.byte(); }
uint16_t hold_word() { return reader_state.in.word(); }
uint32_t hold_dword() { return reader_state.in.dword(); }
size_t hold_block(uint8_t* buf, size_t n) { return reader_state.in.block(buf, n); }

void merge_stream_flush()
{
    ReaderState& rs = reader_state;
    if (rs.pending.empty()) return;
    const size_t n = rs.pending.size();
    const bool ok = rs.merge_stream && std::fwrite(rs.pending.data(), 1, n, rs.merge_stream) == n;
    rs.pending.clear();
    if (!ok) job_abort(msg_temp_write);
}

uint64_t merge_stream_position()
{
    ReaderState& rs = reader_state;
    const int64_t at = rs.merge_stream ? stream_position(rs.merge_stream) : -1;
    if (at < 0) job_abort(msg_temp_write);
    return uint64_t(at) + rs.pending.size();
}

void emit_byte(unsigned b)
{
    ReaderState& rs = reader_state;
    if (!rs.merge_stream || !rs.forward) return;
    rs.pending.push_back(uint8_t(b));
    if (rs.pending.size() >= pending_limit) merge_stream_flush();
}

void emit_word(unsigned w)
{
    emit_byte(w & 0xFF);
    emit_byte((w >> 8) & 0xFF);
}

void emit_dword(uint32_t d)
{
    emit_word(d & 0xFFFF);
    emit_word(d >> 16);
}

void emit_float(float f)
{
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    emit_dword(bits);
}

void emit_block(const uint8_t* data, size_t n)
{
    ReaderState& rs = reader_state;
    if (!n || !rs.merge_stream || !rs.forward) return;
    if (rs.pending.size() + n > pending_limit) {
        merge_stream_flush();
        if (n >= pending_limit) {
            if (std::fwrite(data, 1, n, rs.merge_stream) != n) job_abort(msg_temp_write);
            return;
        }
    }
    rs.pending.insert(rs.pending.end(), data, data + n);
}

uint8_t take_byte()
{
    const uint8_t b = hold_byte();
    emit_byte(b);
    return b;
}

uint16_t take_word()
{
    const uint16_t w = hold_word();
    emit_word(w);
    return w;
}

uint32_t take_dword()
{
    const uint32_t d = hold_dword();
    emit_dword(d);
    return d;
}

size_t take_text(char* keep, size_t keep_size)
{
    SectionReader& in = reader_state.in;
    size_t n = 0;
    for (;;) {
        const uint8_t c = in.byte();
        if (c == 0xFF && in.at_eof()) break; // the end of the file ends a text too
        emit_byte(c);
        if (c == 0) break;
        if (keep && n + 1 < keep_size) keep[n] = char(c);
        ++n;
    }
    if (keep && keep_size) keep[std::min(n, keep_size - 1)] = 0;
    return n;
}

void copy_section_rest()
{
    ReaderState& rs = reader_state;
    if (rs.in.pos >= rs.in.end) return;
    const uint64_t n = rs.in.end - rs.in.pos;
    if (n > file_remaining()) job_abort(msg_too_short);
    if (!rs.merge_stream || !rs.forward) {
        skip_bytes(n);
        return;
    }
    copy_to_merge_stream(n);
}

void hold_skip(uint64_t n, const char* message)
{
    if (n > section_room()) job_abort(message);
    skip_bytes(n);
}

void pass_bytes(uint64_t n, const char* message)
{
    ReaderState& rs = reader_state;
    if (n > section_room()) job_abort(message);
    if (!rs.merge_stream || !rs.forward) {
        skip_bytes(n);
    } else if (n >= kernel_copy_min) {
        copy_to_merge_stream(n);
    } else {
        // A short run: through the pending buffer, written with its neighbours.
        const size_t at = rs.pending.size();
        rs.pending.resize(at + size_t(n));
        hold_block(rs.pending.data() + at, size_t(n));
        if (rs.pending.size() >= pending_limit) merge_stream_flush();
    }
}

// ---------------------------------------------------------------------------------------------
// Header and section directory

void read_buzz_song(FILE* in, int section_selector)
{
    ReaderState& rs = reader_state;
    rs.in = SectionReader{in, stream_length(in), 0, 0};
    rs.forward = 1;
    // A read of the whole song builds its own machine list. A list left from an earlier job
    // points into memory the pool has released since; only the section-by-section passes of a
    // merge, whose driver clears the lists when it starts, share one list between calls.
    if (section_selector == 0) {
        summary().machine_list = nullptr;
        summary().machine_list_count = 0;
        summary().extra_sections.clear();
        summary().extra_sections_cut = false;
    }
    seek_to(0);

    char magic[5] = {};
    for (int i = 0; i < 4; ++i) magic[i] = char(hold_byte());
    if (rs.in.at_eof()) job_abort(msg_too_short);
    if (!same_name_nocase("Buzz", 4, magic)) job_abort("No correct BUZZ file!!");

    const int list_level = section_selector == 0 ? settings.dolist : 0;
    log_state.log_enabled = list_level;
    log_print("\n%s:", magic);
    const uint32_t sections = hold_dword();
    log_print(" sections:%x", sections);
    // 12 bytes per directory entry; a directory the file cannot hold is a cut or broken file.
    if (uint64_t(sections) * 12 > file_remaining()) job_abort(msg_too_short);

    bool seen[8] = {};
    for (uint32_t i = 0; i < sections; ++i) {
        char name[5] = {};
        for (int j = 0; j < 4; ++j) name[j] = char(hold_byte());
        const uint32_t offset = hold_dword();
        const uint32_t length = hold_dword();
        log_print("\n\nsection:%s: sect_pos:%lx sect_len:%lx", name, static_cast<unsigned long>(offset),
                  static_cast<unsigned long>(length));
        const uint64_t directory_pos = rs.in.pos;
        // A section named twice is read at its first entry only: the counts of a merge come from
        // one pass over the song and its sections from others, and both must see the same bytes.
        const int known = section_id(name);
        const int id = known != 0 && !seen[known] ? known : 0;
        if (id != 0) seen[id] = true;
        // Any other section with something in it is kept for the merge, which carries it on.
        InputSummary& sum = summary();
        if (section_selector == 0 && known == 0 && length > 0) {
            if (sum.extra_sections.size() < max_extra_sections) {
                SectionEntry e;
                std::memcpy(e.name, name, 4);
                e.offset = offset;
                e.length = length;
                e.before_mach = !seen[sec_mach];
                sum.extra_sections.push_back(e);
            } else {
                sum.extra_sections_cut = true;
            }
        }
        const bool process = id != 0 && (section_selector == 0 || section_selector == id);
        log_state.log_enabled = settings.verbose;
        uint64_t reached = offset;
        if (process) {
            if (offset > rs.in.file_length) job_abort(msg_too_short);
            seek_to(offset);
            rs.in.end = uint64_t(offset) + length;
            read_section(id, offset, length);
            reached = rs.in.pos;
        }
        log_state.log_enabled = list_level;
        log_print("\nfilepos: %lx (header: %x)", static_cast<unsigned long>(reached),
                  uint32_t(offset + length));
        if (process) seek_to(directory_pos);
    }
    log_print("\n\n");
    merge_stream_flush();
}
