// Buzz song reader: the header and section directory of a BMX/BMW song and its sections MACH,
// CONN, WAVT, PATT, SEQU, BLAH and WAVE, listed into the log and passed on to the merge stream.
//
// A song is user input. Besides the checks Buzz songs have always been given (magic, machine
// library known, track limit, the MACH and PATT position checks, waves cut off),
// the reader never trusts a count or size from the file before it has checked it against the
// bytes left, and every section is read through a SectionReader that stops at the section's end:
// - a directory that does not fit in the file, or a section offset beyond its end, ends the job
//   with "File too short!!";
// - in CONN, WAVT, SEQU and BLAH (sections without a position check) a count whose records
//   cannot fit in the rest of the section, or records that run over its end, end the job with
//   "File too short!!" instead of listing 0xFF filler or the next section's bytes;
// - in MACH and PATT a record that needs more bytes than the section has left cannot pass the
//   final position check: the reader stops there and reports the section's size mismatch at once;
// - in WAVE a wave whose bytes run over the section's end is a premature end ("File too short!!");
// - texts end at the end of the section, so no read loops on the 0xFF filler.
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

#include "buzz/compressed_waves.h"
#include "buzz/machines_ini.h"
#include "core/byteio.h"
#include "core/log.h"
#include "core/pool.h"
#include "platform/platform.h"


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
constexpr uint8_t wave_stereo_flag = 0x08; // WAVT flags: the wave's levels are stereo

constexpr uint32_t max_usual_data_block = 2000; // larger machine data blocks are worth a warning
constexpr int max_tracks_before_last = 50;
constexpr size_t max_extra_sections = 1024; // a Buzz song has a handful
constexpr size_t copy_block = 65536;    // bytes per block when copying raw data and waves
constexpr size_t row_block = size_t(256) << 10;  // rows are read in blocks of about this size
constexpr size_t pending_limit = size_t(256) << 10; // emitted bytes are written in blocks of this
constexpr uint64_t kernel_copy_min = 256 * 1024;  // smaller runs go through the pending buffer

const ReaderHooks& hooks(ReaderState& rs) { return rs.hooks ? *rs.hooks : no_hooks; }

InputSummary& summary(ReaderState& rs)
{
    int i = rs.current_input;
    return rs.input_summaries[(i >= 0 && i <= 2) ? i : 0];
}

// Bytes between the position and the end of the section, as far as the file holds them.
uint64_t section_room(ReaderState& rs) { return rs.in.room(); }
void seek_to(ReaderState& rs, uint64_t offset) { rs.in.seek(offset); }
// Skips n bytes that the file is known to hold.
void skip_bytes(ReaderState& rs, uint64_t n) { rs.in.skip(n); }

// Passes n bytes the file is known to hold from the input to the merge stream in one go, and
// moves the input past them. A short copy is a failed write (a full disk), or an input cut short
// while it is read.
void copy_to_merge_stream(ReaderState& rs, uint64_t n)
{
    merge_stream_flush(rs);
    int write_error = 0;
    if (platform::copy_file_region(rs.in.file, rs.in.pos, rs.merge_stream, n, &write_error) != n)
        job_abort(write_error ? msg_temp_write : msg_too_short);
    seek_to(rs, rs.in.pos + n);
}

// `count` records of at least `record_bytes` each must fit in the rest of the section.
void require_bytes(ReaderState& rs, uint64_t count, uint64_t record_bytes)
{
    if (count * record_bytes > section_room(rs)) job_abort(msg_too_short);
}

void emit_count(ReaderState& rs, int section, uint32_t value, int width)
{
    const ReaderHooks& h = hooks(rs);
    int64_t out = h.count ? h.count(h.user, section, value) : int64_t(value);
    if (out < 0) return;
    if (width == 2) {
        emit_word(rs, unsigned(out));
    } else {
        emit_dword(rs, uint32_t(out));
    }
}

// A section that is not parsed: with a merge stream its bytes are copied as they are.
void copy_raw(ReaderState& rs, int section)
{
    if (!rs.merge_stream) return;
    const ReaderHooks& h = hooks(rs);
    if (h.raw_prefix) h.raw_prefix(h.user, section);
    copy_section_rest(rs);
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

[[noreturn]] void machine_not_found(ReaderState& rs, const char* name)
{
    rs.log.log_enabled = 1;
    log_print(rs.log, "\nMachine (%s) not found in machines.ini", name);
    job_abort("\nMachine not found in machines.ini, you should retry without!!");
}

// The diagnostic lines before a fatal error are shown even while the listing is off (the
// "not found" line always was): without them the error line says nothing.
[[noreturn]] void machine_size_mismatch(ReaderState& rs, uint64_t state_pos)
{
    rs.log.log_enabled = 1;
    log_print(rs.log, "\nMachine section size doesn't match, probably wrong machine or machines.ini!!!");
    log_print(rs.log, "\nIf only wrong last machine: static_bytes+tracks*track_bytes= %d",
              int(int64_t(rs.in.end) - int64_t(state_pos) - 2));
    job_abort("\n");
}

void log_bytes(ReaderState& rs, const uint8_t* b, size_t n)
{
    for (size_t i = 0; i < n; ++i) log_print(rs.log, " %2x", b[i]);
}

// ---------------------------------------------------------------------------------------------
// MACH

void read_mach(ReaderState& rs)
{
    InputSummary& sum = summary(rs);
    const ReaderHooks& h = hooks(rs);

    const uint16_t count = hold_word(rs);
    sum.machines = count;
    emit_count(rs, sec_mach, count, 2);
    log_print(rs.log, " machines: %d", count);
    if (!rs.full_parse) {
        copy_raw(rs, sec_mach);
        return;
    }

    require_bytes(rs, count, min_machine_bytes);
    if (count > sum.machine_list_count) {
        sum.machine_list = pool_array<MachineEntry>(rs.pool, count);
        sum.machine_list_count = count;
    }
    const MachineTable& table = rs.machines;
    std::vector<uint8_t> buf;
    uint64_t state_pos = rs.in.pos; // where the last machine's global state began

    for (int m = 0; m < count; ++m) {
        MachineEntry& entry = sum.machine_list[m];
        const int saved_forward = rs.forward;
        if (h.machine_begin && !h.machine_begin(h.user, m)) rs.forward = 0;

        char name[256];
        if (const char* new_name = h.machine_name ? h.machine_name(h.user, m) : nullptr) {
            const int forward = rs.forward;
            rs.forward = 0;
            take_text(rs, name, sizeof name);
            rs.forward = forward;
            emit_block(rs, reinterpret_cast<const uint8_t*>(new_name), std::strlen(new_name) + 1);
        } else {
            take_text(rs, name, sizeof name);
        }
        std::memset(entry.name, 0, sizeof entry.name);
        std::memcpy(entry.name, name, std::min(std::strlen(name), sizeof entry.name - 1));
        const uint8_t type = take_byte(rs);
        log_print(rs.log, "\n%d: %s typ: %d", m, name, type);

        int index = 0;
        if (type != 0) {
            char dll[256];
            size_t len = take_text(rs, dll, sizeof dll);
            log_print(rs.log, " (%s)", dll);
            // A name longer than the buffer is longer than any library name in the descriptions.
            index = len < sizeof dll - 1 ? find_machine_description(table, dll) : -1;
            if (index < 0) machine_not_found(rs, dll);
        } else {
            log_print(rs.log, " (Master)");
            if (table.machine_description_count < 1 || !table.machine_descriptions)
                machine_not_found(rs, name);
        }
        const MachineDescription& d = table.machine_descriptions[index];
        entry.description = index;
        entry.kind = d.type;
        // The generator listing is how a source is chosen again: a stale choice must not stop it.
        if (rs.current_input == 1 && !rs.options.list_generators_only && rs.options.clone_source != 0 &&
            m == rs.options.clone_source && entry.kind != 1)
            job_abort("No generator choosen, reselect source machine");

        const uint32_t x_bits = hold_dword(rs);
        const uint32_t y_bits = hold_dword(rs);
        float x, y;
        std::memcpy(&x, &x_bits, 4);
        std::memcpy(&y, &y_bits, 4);
        if (h.machine_position) {
            float nx = x, ny = y;
            h.machine_position(h.user, m, &nx, &ny);
            emit_float(rs, nx);
            emit_float(rs, ny);
        } else {
            emit_dword(rs, x_bits);
            emit_dword(rs, y_bits);
        }
        const uint32_t size = take_dword(rs);
        log_print(rs.log, " (%f,%f) size: %d", double(x), double(y), int(size));

        // Machines keep state of their own in the data block: a few bytes for most, tens of
        // kilobytes for some (a real song's "FSM Infector" stores 65,828). A block that does not
        // fit in the section was misread; a large one that fits is worth a word only.
        if (size > section_room(rs)) machine_size_mismatch(rs, state_pos);
        if (size > max_usual_data_block) {
            log_warning(rs.log, "\nWarning: machine %s holds %u bytes of data (more than %u)!", entry.name,
                      unsigned(size), unsigned(max_usual_data_block));
        }
        uint32_t done = 0;
        do {
            const size_t n = std::min<size_t>(size - done, copy_block);
            if (buf.size() < n) buf.resize(n);
            hold_block(rs, buf.data(), n);
            if (h.machine_data) h.machine_data(h.user, m, buf.data(), n, done, size);
            emit_block(rs, buf.data(), n);
            done += uint32_t(n);
        } while (done < size);

        const uint16_t attributes = take_word(rs);
        log_print(rs.log, " attr:%d", attributes);
        for (int a = 0; a < attributes; ++a) {
            char attr[256];
            take_text(rs, attr, sizeof attr);
            const uint32_t value = take_dword(rs);
            log_print(rs.log, "\n  %s:%d", attr, int(value));
            if (attributes > 20) break; // a count this high is garbage: keep the first only
        }

        state_pos = rs.in.pos;
        const size_t global_bytes = size_t(std::max(0, d.global_bytes));
        const size_t track_bytes = size_t(std::max(0, d.track_bytes));
        log_print(rs.log, "\nstat_bytes(%d):", int(global_bytes));
        if (global_bytes > section_room(rs)) machine_size_mismatch(rs, state_pos);
        buf.resize(std::max(buf.size(), global_bytes));
        hold_block(rs, buf.data(), global_bytes);
        log_bytes(rs, buf.data(), global_bytes);
        if (h.machine_globals) h.machine_globals(h.user, m, buf.data(), int(global_bytes));
        emit_block(rs, buf.data(), global_bytes);

        const uint16_t tracks = take_word(rs);
        log_print(rs.log, " tracks:%d", tracks);
        entry.tracks = tracks;
        if (tracks > max_tracks_before_last && m + 1 < count) {
            rs.log.log_enabled = 1;
            for (int i = 1; i <= 19; ++i) log_print(rs.log, "Byte: %d:.%c.", i, take_byte(rs));
            job_abort("\nMachine tracks>50, probably wrong machine or machines.ini!!!\nYou can try to "
                      "adjust static bytes+track bytes to match the start of the name of the next "
                      "machine!!!");
        }
        log_print(rs.log, "\ntrack_bytes(track 0 only)(%d):", int(track_bytes));
        if (uint64_t(tracks) * track_bytes > section_room(rs)) machine_size_mismatch(rs, state_pos);
        buf.resize(std::max(buf.size(), track_bytes));
        for (int t = 0; t < tracks; ++t) {
            hold_block(rs, buf.data(), track_bytes);
            if (t == 0) log_bytes(rs, buf.data(), track_bytes);
            emit_block(rs, buf.data(), track_bytes);
        }

        rs.forward = saved_forward;
        if (rs.in.past_end()) machine_size_mismatch(rs, state_pos);
    }
    if (rs.in.pos != rs.in.end) machine_size_mismatch(rs, state_pos);
}

// ---------------------------------------------------------------------------------------------
// CONN

void read_conn(ReaderState& rs)
{
    InputSummary& sum = summary(rs);
    const ReaderHooks& h = hooks(rs);

    const uint16_t count = hold_word(rs);
    sum.connections = count;
    sum.master_connections = 0;
    emit_count(rs, sec_conn, count, 2);
    log_print(rs.log, " conns: %x", count);
    require_bytes(rs, count, connection_bytes);

    // A second full pass over the same song counts afresh.
    const bool count_inputs = rs.full_parse && sum.machine_list;
    if (count_inputs)
        for (int m = 0; m < sum.machine_list_count; ++m) sum.machine_list[m].inputs = 0;

    for (int c = 0; c < count; ++c) {
        uint16_t source = hold_word(rs);
        uint16_t destination = hold_word(rs);
        uint16_t amplitude = hold_word(rs);
        uint16_t panning = hold_word(rs);
        if (destination == 0) ++sum.master_connections;
        // A destination beyond the machine list names no machine; it counts nowhere.
        if (count_inputs && destination < sum.machine_list_count)
            ++sum.machine_list[destination].inputs;
        log_print(rs.log, "\n %x->%x (%x,%x)", source, destination, panning, amplitude);
        if (h.connection && !h.connection(h.user, &source, &destination, &amplitude, &panning)) continue;
        emit_word(rs, source);
        emit_word(rs, destination);
        emit_word(rs, amplitude);
        emit_word(rs, panning);
    }
    log_print(rs.log, " conns0: %x", sum.master_connections);
}

// ---------------------------------------------------------------------------------------------
// WAVT

void read_wavt(ReaderState& rs)
{
    InputSummary& sum = summary(rs);
    const ReaderHooks& h = hooks(rs);

    const uint16_t count = hold_word(rs);
    sum.instruments = count;
    sum.instrument_index_bound = count;
    emit_count(rs, sec_wavt, count, 2);
    log_print(rs.log, " instrs: %x", count);
    require_bytes(rs, count, min_wave_entry_bytes);
    sum.wave_shapes.clear();
    sum.level_frames.clear();

    for (int o = 0; o < count; ++o) {
        const uint16_t index = hold_word(rs);
        if (index + 1 > sum.instrument_index_bound) sum.instrument_index_bound = index + 1;
        log_print(rs.log, "\n%x:", index);
        uint16_t index_out = index;
        if (h.wave_table_index) h.wave_table_index(h.user, o, &index_out);
        emit_word(rs, index_out);

        char text[512];
        take_text(rs, text, sizeof text);
        log_print(rs.log, "(%s,", text);
        take_text(rs, text, sizeof text);
        log_print(rs.log, "%s)", text);
        log_print(rs.log, " vol:%x", take_dword(rs));
        const uint8_t flags = take_byte(rs);
        log_print(rs.log, " flag:%x", flags);
        if (h.wave_flags) h.wave_flags(h.user, o, flags);

        if (flags & 0x80) {
            const uint16_t envelopes = take_word(rs);
            log_print(rs.log, " envs:%x:", envelopes);
            require_bytes(rs, envelopes, envelope_bytes);
            for (int e = 0; e < envelopes; ++e) {
                const unsigned attack = take_word(rs);
                const unsigned decay = take_word(rs);
                const unsigned sustain = take_word(rs);
                const unsigned release = take_word(rs);
                const unsigned subdivision = take_byte(rs);
                const unsigned env_flags = take_byte(rs);
                const unsigned points = take_word(rs);
                log_print(rs.log, "\n  %x: att:%x dec:%x sus:%x rel:%x adiv:%x aflg:%x points:%x:", e,
                          attack, decay, sustain, release, subdivision, env_flags, points);
                const unsigned point_count = points & 0x7FFF; // bit 15 is a flag
                require_bytes(rs, point_count, envelope_point_bytes);
                for (unsigned p = 0; p < point_count; ++p) {
                    const unsigned px = take_word(rs);
                    const unsigned py = take_word(rs);
                    const unsigned pf = take_byte(rs);
                    log_print(rs.log, "\n     %x:(%x %x) flag: %x", p, px, py, pf);
                }
            }
        }

        const uint8_t levels = take_byte(rs);
        log_print(rs.log, " lvls:%x:", levels);
        require_bytes(rs, levels, level_bytes);
        sum.wave_shapes.push_back(WaveShape{index, (flags & wave_stereo_flag) != 0, uint32_t(sum.level_frames.size()), levels});
        for (int l = 0; l < levels; ++l) {
            log_print(rs.log, "\n   %x", l);
            const uint32_t frames = take_dword(rs);
            sum.level_frames.push_back(frames);
            log_print(rs.log, " samples:%x", frames);
            log_print(rs.log, " (loop:%x->", take_dword(rs));
            log_print(rs.log, "%x)", take_dword(rs));
            const uint32_t rate = hold_dword(rs);
            log_print(rs.log, " srate:%x", rate);
            uint32_t rate_out = rate;
            if (h.sample_rate) h.sample_rate(h.user, o, l, &rate_out);
            emit_dword(rs, rate_out);
            log_print(rs.log, " root: %x", take_byte(rs));
        }
        if (rs.in.past_end()) job_abort(msg_too_short);
    }
}

// ---------------------------------------------------------------------------------------------
// PATT

// `lines` rows of `size` bytes each (one input's pairs, the global rows or one track's rows),
// which the section is known to hold: read in blocks of whole rows and shown to the row hooks one
// by one on their way.
void read_rows(ReaderState& rs, std::vector<uint8_t>& buf, RowPlace at, size_t size, int lines)
{
    const ReaderHooks& h = hooks(rs);
    const int per_block = int(std::max<size_t>(1, std::min<size_t>(row_block / std::max<size_t>(size, 1), 65536)));
    for (int first = 0; first < lines; first += per_block) {
        const int n = std::min(per_block, lines - first);
        if (buf.size() < size * size_t(n)) buf.resize(size * size_t(n));
        hold_block(rs, buf.data(), size * size_t(n));
        for (int r = 0; r < n; ++r) {
            uint8_t* row = buf.data() + size * size_t(r);
            at.row = first + r;
            if (h.row) h.row(h.user, at, row, int(size));
            emit_block(rs, row, size);
            if (h.row_written) h.row_written(h.user, at, row, int(size));
        }
    }
}

void read_patt(ReaderState& rs)
{
    InputSummary& sum = summary(rs);
    const ReaderHooks& h = hooks(rs);

    if (!rs.full_parse) {
        copy_raw(rs, sec_patt);
        return;
    }
    // The patterns are walked with the machines of this song's MACH; a song whose PATT comes
    // first has none known, and only an empty section passes the size check then.
    const int machines = sum.machine_list ? std::min(sum.machines, sum.machine_list_count) : 0;
    const MachineTable& table = rs.machines;
    std::vector<uint8_t> buf;

    for (int m = 0; m < machines; ++m) {
        const MachineEntry& entry = sum.machine_list[m];
        // The descriptions were replaced since MACH was read: the layouts are unknown.
        if (entry.description >= table.machine_description_count || !table.machine_descriptions)
            machine_not_found(rs, entry.name);
        const MachineDescription& d = table.machine_descriptions[entry.description];
        const uint64_t global_bytes = uint64_t(std::max(0, d.global_bytes));
        const uint64_t track_bytes = uint64_t(std::max(0, d.track_bytes));
        const uint64_t inputs = uint64_t(entry.inputs);

        const int saved_forward = rs.forward;
        const uint16_t patterns = hold_word(rs);
        const uint16_t tracks = hold_word(rs);
        if (h.pattern_machine && !h.pattern_machine(h.user, m, patterns, tracks)) rs.forward = 0;
        // Rows that no hook looks at pass on in blocks, a pattern's rows at a time.
        const bool hooked = (h.row || h.row_written) && (!h.pattern_rows || h.pattern_rows(h.user, m));
        emit_word(rs, patterns);
        emit_word(rs, tracks);
        log_print(rs.log, "\n\nmachine: %d (%s) patts:%d tracks: %d inputs:%d", m, entry.name, patterns,
                  tracks, entry.inputs);
        // A pattern takes at least an empty name and its line count.
        if (uint64_t(patterns) * 3 > section_room(rs)) job_abort(msg_patt_size);

        for (int k = 0; k < patterns; ++k) {
            log_print(rs.log, k % 8 == 0 ? "\n patt: %2x(" : " patt: %2x(", k);
            char name[1024];
            const size_t name_len = take_text(rs, name, sizeof name);
            for (size_t i = 0; i < name_len && i < sizeof name - 1; ++i) log_print(rs.log, "%c", name[i]);
            const uint16_t lines = hold_word(rs);
            uint16_t lines_out = lines;
            if (h.pattern_lines) h.pattern_lines(h.user, m, k, name, &lines_out);
            emit_word(rs, lines_out);
            log_print(rs.log, ") lines:%d", lines);

            const uint64_t need = inputs * (2 + 4 * uint64_t(lines)) + lines * global_bytes +
                                  uint64_t(tracks) * lines * track_bytes;
            if (need > section_room(rs)) job_abort(msg_patt_size);

            for (int i = 0; i < entry.inputs; ++i) {
                uint16_t source = hold_word(rs);
                if (h.input_source) h.input_source(h.user, m, k, &source);
                emit_word(rs, source);
                if (hooked) {
                    read_rows(rs, buf, RowPlace{row_input, m, k, i, 0}, 4, lines);
                } else {
                    pass_bytes(rs, 4 * uint64_t(lines), msg_patt_size);
                }
            }
            if (h.pattern_inputs) h.pattern_inputs(h.user, m, k, lines_out);
            if (!hooked) {
                pass_bytes(rs, lines * global_bytes + uint64_t(tracks) * lines * track_bytes, msg_patt_size);
                continue;
            }
            read_rows(rs, buf, RowPlace{row_global, m, k, 0, 0}, size_t(global_bytes), lines);
            for (int t = 0; t < tracks; ++t)
                read_rows(rs, buf, RowPlace{row_track, m, k, t, 0}, size_t(track_bytes), lines);
        }
        rs.forward = saved_forward;
        if (rs.in.past_end()) job_abort(msg_patt_size);
    }
    if (rs.in.pos != rs.in.end) job_abort(msg_patt_size);
}

// ---------------------------------------------------------------------------------------------
// SEQU

uint32_t hold_field(ReaderState& rs, int width) { return width == 4 ? hold_dword(rs) : width == 2 ? hold_word(rs) : hold_byte(rs); }

void emit_field(ReaderState& rs, uint32_t value, int width)
{
    if (width == 4) {
        emit_dword(rs, value);
    } else if (width == 2) {
        emit_word(rs, value);
    } else {
        emit_byte(rs, value);
    }
}

void read_sequ(ReaderState& rs)
{
    InputSummary& sum = summary(rs);
    const ReaderHooks& h = hooks(rs);

    uint32_t song_end = hold_dword(rs);
    uint32_t loop_start = hold_dword(rs);
    uint32_t loop_end = hold_dword(rs);
    log_print(rs.log, "\nsong_end:%x", song_end);
    log_print(rs.log, "(loop:%x->", loop_start);
    log_print(rs.log, "%x)", loop_end);
    sum.song_end = song_end;
    sum.loop_start = loop_start;
    sum.loop_end = loop_end;
    if (!h.song_header || h.song_header(h.user, &song_end, &loop_start, &loop_end)) {
        emit_dword(rs, song_end);
        emit_dword(rs, loop_start);
        emit_dword(rs, loop_end);
    }

    const uint16_t count = hold_word(rs);
    sum.sequences = count;
    sum.sequence_adjustment = 0;
    emit_count(rs, sec_sequ, count, 2);
    log_print(rs.log, " sequences:%x:", count);
    require_bytes(rs, count, sequence_header_bytes);

    for (int s = 0; s < count; ++s) {
        const uint16_t machine = hold_word(rs);
        const uint32_t events = hold_dword(rs);
        log_print(rs.log, "\n%x(machine:%x)", s, machine);
        log_print(rs.log, " events:%x", events);
        if (rs.current_input == 2 && machine == 0) --sum.sequence_adjustment;
        if (rs.current_input == 1 && rs.options.clone_sequence && rs.options.clone_source != 0 &&
            machine == rs.options.clone_source)
            ++sum.sequence_adjustment;

        int position_width = 0;
        int value_width = 0;
        if (events) {
            position_width = hold_byte(rs);
            value_width = hold_byte(rs);
            log_print(rs.log, " pos_bytes:%x event_bytes:%x", position_width, value_width);
        }
        const int pw = sequence_field_width(position_width);
        const int vw = sequence_field_width(value_width);
        require_bytes(rs, events, uint64_t(pw + vw));

        const int saved_forward = rs.forward;
        uint16_t machine_out = machine;
        uint32_t events_out = events;
        int position_width_out = position_width;
        if (h.sequence_begin &&
            !h.sequence_begin(h.user, s, &machine_out, &events_out, &position_width_out, value_width))
            rs.forward = 0;
        const int pw_out = position_width_out == position_width ? pw : sequence_field_width(position_width_out);
        emit_word(rs, machine_out);
        emit_dword(rs, events_out);
        if (events) {
            emit_byte(rs, unsigned(position_width_out));
            emit_byte(rs, unsigned(value_width));
        }
        for (uint32_t e = 0; e < events; ++e) {
            uint32_t position = hold_field(rs, pw);
            uint32_t value = hold_field(rs, vw);
            if (e % 16 == 0) log_print(rs.log, "\n");
            log_print(rs.log, " %4x:", position);
            log_print(rs.log, "%2x", unsigned(int(value) - 16));
            if (h.sequence_event) h.sequence_event(h.user, s, &position, &value);
            emit_field(rs, position, pw_out);
            emit_field(rs, value, vw);
        }
        if (h.sequence_end) h.sequence_end(h.user, s);
        rs.forward = saved_forward;
    }
}

// ---------------------------------------------------------------------------------------------
// BLAH

void read_blah(ReaderState& rs)
{
    if (!rs.merge_stream) return;
    emit_count(rs, sec_blah, hold_dword(rs), 4);
    copy_raw(rs, sec_blah);
}

// ---------------------------------------------------------------------------------------------
// WAVE

[[noreturn]] void premature_eof(ReaderState& rs, uint64_t bytes_read)
{
    rs.log.log_enabled = 1;
    log_print(rs.log, "\npremature EOF at pos: %x", unsigned(bytes_read));
    job_abort(msg_too_short);
}

void read_wave(ReaderState& rs)
{
    InputSummary& sum = summary(rs);
    const ReaderHooks& h = hooks(rs);

    const uint16_t count = hold_word(rs);
    sum.waves = count;
    emit_count(rs, sec_wave, count, 2);
    log_print(rs.log, "\nwavs:%x", count);
    std::vector<uint8_t> buf;
    // Nobody looks at the wave bytes on their way: the waves whose headers stay as they are pass
    // on as one run of the song, which the kernel copies when it ends.
    const bool runs = rs.merge_stream && rs.forward && !h.wave_data;
    uint64_t run_start = rs.in.pos;
    auto end_run = [&](uint64_t at) {
        const uint64_t back = rs.in.pos;
        seek_to(rs, run_start);
        copy_to_merge_stream(rs, at - run_start);
        seek_to(rs, back);
    };

    for (int w = 0; w < count; ++w) {
        const uint64_t header_at = rs.in.pos;
        const uint16_t index = hold_word(rs);
        log_print(rs.log, "\n%x:", index);
        const uint8_t format = hold_byte(rs);
        log_print(rs.log, " typ:%x", format);
        const uint32_t bytes = hold_dword(rs);
        log_print(rs.log, " len:%x", bytes);
        uint16_t index_out = index;
        if (h.wave_begin) h.wave_begin(h.user, w, &index_out, format, bytes);
        if (runs && index_out != index) {
            end_run(header_at);
            run_start = rs.in.pos;
        }
        if (!runs || index_out != index) {
            emit_word(rs, index_out);
            emit_byte(rs, format);
            emit_dword(rs, bytes);
        }

        if (runs) {
            if (bytes > section_room(rs)) premature_eof(rs, section_room(rs));
            skip_bytes(rs, bytes);
        } else if ((rs.merge_stream && rs.forward) || h.wave_data) {
            // Wave data may be large: it is read and passed on in blocks.
            if (buf.empty()) buf.resize(copy_block);
            uint64_t done = 0;
            while (done < bytes) {
                const size_t n = size_t(std::min<uint64_t>(bytes - done, copy_block));
                const size_t got = hold_block(rs, buf.data(), n);
                emit_block(rs, buf.data(), got);
                if (h.wave_data) h.wave_data(h.user, w, buf.data(), got);
                done += got;
                if (got < n) premature_eof(rs, done);
            }
        } else {
            // Nobody needs the bytes: only whether the file holds them all.
            if (bytes > section_room(rs)) premature_eof(rs, section_room(rs));
            skip_bytes(rs, bytes);
        }
        if (h.wave_end) h.wave_end(h.user, w);
    }
    if (runs) end_run(rs.in.pos);
}

int section_id(const char name[4])
{
    for (int id = sec_mach; id <= sec_wave; ++id)
        if (std::memcmp(name, section_names[id], 4) == 0) return id;
    return 0;
}

void read_section(ReaderState& rs, int id, uint32_t offset, uint32_t length)
{
    InputSummary& sum = summary(rs);
    sum.section_start[id] = offset;
    sum.section_length[id] = length;
    // A directory entry of length 0 holds nothing, not even a count (a merge writes such entries
    // for sections none of its inputs had).
    if (length == 0) return;
    const ReaderHooks& h = hooks(rs);
    if (h.section_begin) h.section_begin(h.user, id);
    switch (id) {
    case sec_mach: read_mach(rs); break;
    case sec_conn: read_conn(rs); break;
    case sec_wavt: read_wavt(rs); break;
    case sec_patt: read_patt(rs); break;
    case sec_sequ: read_sequ(rs); break;
    case sec_blah: read_blah(rs); break;
    case sec_wave: read_wave(rs); break;
    default: break;
    }
    // Records that ran over the section's end (CONN, WAVT, SEQU and BLAH have no size check of
    // their own): the section is too short for what it says it holds.
    if (rs.in.past_end()) job_abort(msg_too_short);
    if (h.section_end) h.section_end(h.user, id);
}

} // namespace

void ReaderState::reset()
{
    for (InputSummary& s : input_summaries) s = InputSummary();
    current_input = 0;
    full_parse = 0;
    merge_stream = nullptr;
    merging = 0;
    hooks = nullptr;
    in = SectionReader();
    forward = 1;
    std::vector<uint8_t>().swap(pending);
}

// ---------------------------------------------------------------------------------------------
// The section reader

uint64_t SectionReader::room() const
{
    const uint64_t stop = std::min(end, file_length);
    return pos >= stop ? 0 : stop - pos;
}

SectionReader SectionReader::at(FILE* file, uint64_t offset, uint64_t length)
{
    SectionReader in{file, stream_length(file), 0, offset + length};
    in.seek(offset);
    return in;
}

void SectionReader::seek(uint64_t offset)
{
    if (offset > uint64_t(INT64_MAX) || !stream_seek(file, int64_t(offset))) job_abort(msg_too_short);
    pos = offset;
    overrun = false;
}

uint8_t SectionReader::byte()
{
    if (pos >= end || pos >= file_length) {
        overrun = true;
        return 0xFF;
    }
    const uint8_t b = read_byte(file);
    if (b == 0xFF && stream_eof(file)) {
        overrun = true; // the file is shorter than when it was opened
        return b;
    }
    ++pos;
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
    const size_t want = size_t(std::min<uint64_t>(n, room()));
    const size_t got = want ? read_bytes(file, buf, want) : 0;
    pos += got;
    if (got < n) {
        std::memset(buf + got, 0xFF, n - got);
        overrun = true;
    }
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

uint8_t hold_byte(ReaderState& rs) { return rs.in.byte(); }
uint16_t hold_word(ReaderState& rs) { return rs.in.word(); }
uint32_t hold_dword(ReaderState& rs) { return rs.in.dword(); }
size_t hold_block(ReaderState& rs, uint8_t* buf, size_t n) { return rs.in.block(buf, n); }

void merge_stream_flush(ReaderState& rs)
{
    if (rs.pending.empty()) return;
    const size_t n = rs.pending.size();
    const bool ok = rs.merge_stream && std::fwrite(rs.pending.data(), 1, n, rs.merge_stream) == n;
    rs.pending.clear();
    if (!ok) job_abort(msg_temp_write);
}

uint64_t merge_stream_position(ReaderState& rs)
{
    const int64_t at = rs.merge_stream ? stream_position(rs.merge_stream) : -1;
    if (at < 0) job_abort(msg_temp_write);
    return uint64_t(at) + rs.pending.size();
}

void emit_byte(ReaderState& rs, unsigned b)
{
    if (!rs.merge_stream || !rs.forward) return;
    rs.pending.push_back(uint8_t(b));
    if (rs.pending.size() >= pending_limit) merge_stream_flush(rs);
}

void emit_word(ReaderState& rs, unsigned w)
{
    uint8_t b[2];
    store_le16(b, w);
    emit_block(rs, b, sizeof b);
}

void emit_dword(ReaderState& rs, uint32_t d)
{
    uint8_t b[4];
    store_le32(b, d);
    emit_block(rs, b, sizeof b);
}

void emit_float(ReaderState& rs, float f)
{
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    emit_dword(rs, bits);
}

void emit_block(ReaderState& rs, const uint8_t* data, size_t n)
{
    if (!n || !rs.merge_stream || !rs.forward) return;
    if (rs.pending.size() + n > pending_limit) {
        merge_stream_flush(rs);
        if (n >= pending_limit) {
            if (std::fwrite(data, 1, n, rs.merge_stream) != n) job_abort(msg_temp_write);
            return;
        }
    }
    rs.pending.insert(rs.pending.end(), data, data + n);
}

uint8_t take_byte(ReaderState& rs)
{
    const uint8_t b = hold_byte(rs);
    emit_byte(rs, b);
    return b;
}

uint16_t take_word(ReaderState& rs)
{
    const uint16_t w = hold_word(rs);
    emit_word(rs, w);
    return w;
}

uint32_t take_dword(ReaderState& rs)
{
    const uint32_t d = hold_dword(rs);
    emit_dword(rs, d);
    return d;
}

size_t take_text(ReaderState& rs, char* keep, size_t keep_size)
{
    SectionReader& in = rs.in;
    size_t n = 0;
    for (;;) {
        const uint8_t c = in.byte();
        if (c == 0xFF && in.past_end()) break; // the end of the section ends a text too
        emit_byte(rs, c);
        if (c == 0) break;
        if (keep && n + 1 < keep_size) keep[n] = char(c);
        ++n;
    }
    if (keep && keep_size) keep[std::min(n, keep_size - 1)] = 0;
    return n;
}

void copy_section_rest(ReaderState& rs)
{
    if (rs.in.pos >= rs.in.end) return;
    const uint64_t n = rs.in.end - rs.in.pos;
    if (n > section_room(rs)) job_abort(msg_too_short); // the file ends inside the section
    if (!rs.merge_stream || !rs.forward) {
        skip_bytes(rs, n);
        return;
    }
    copy_to_merge_stream(rs, n);
}

void hold_skip(ReaderState& rs, uint64_t n, const char* message)
{
    if (n > section_room(rs)) job_abort(message);
    skip_bytes(rs, n);
}

void pass_bytes(ReaderState& rs, uint64_t n, const char* message)
{
    if (n > section_room(rs)) job_abort(message);
    if (!rs.merge_stream || !rs.forward) {
        skip_bytes(rs, n);
    } else if (n >= kernel_copy_min) {
        copy_to_merge_stream(rs, n);
    } else {
        // A short run: through the pending buffer, written with its neighbours.
        const size_t at = rs.pending.size();
        rs.pending.resize(at + size_t(n));
        hold_block(rs, rs.pending.data() + at, size_t(n));
        if (rs.pending.size() >= pending_limit) merge_stream_flush(rs);
    }
}

// ---------------------------------------------------------------------------------------------
// Header and section directory

void read_buzz_song(ReaderState& rs, FILE* in, int section_selector)
{
    const uint64_t file_length = stream_length(in);
    rs.in = SectionReader{in, file_length, 0, file_length}; // the header and the directory
    rs.forward = 1;
    // A read of the whole song builds its own machine list. A list left from an earlier job
    // points into memory the pool has released since; only the section-by-section passes of a
    // merge, whose driver clears the lists when it starts, share one list between calls.
    if (section_selector == 0) {
        summary(rs).machine_list = nullptr;
        summary(rs).machine_list_count = 0;
        summary(rs).extra_sections.clear();
        summary(rs).extra_sections_cut = false;
    }
    seek_to(rs, 0);

    char magic[5] = {};
    for (int i = 0; i < 4; ++i) magic[i] = char(hold_byte(rs));
    if (rs.in.past_end()) job_abort(msg_too_short);
    if (!same_name_nocase("Buzz", 4, magic)) job_abort("No correct BUZZ file!!");

    const int list_level = section_selector == 0 ? rs.options.list_level : 0;
    rs.log.log_enabled = list_level;
    log_print(rs.log, "\n%s:", magic);
    const uint32_t sections = hold_dword(rs);
    log_print(rs.log, " sections:%x", sections);
    // 12 bytes per directory entry; a directory the file cannot hold is a cut or broken file.
    if (uint64_t(sections) * 12 > section_room(rs)) job_abort(msg_too_short);

    bool seen[8] = {};
    for (uint32_t i = 0; i < sections; ++i) {
        char name[5] = {};
        for (int j = 0; j < 4; ++j) name[j] = char(hold_byte(rs));
        const uint32_t offset = hold_dword(rs);
        const uint32_t length = hold_dword(rs);
        log_print(rs.log, "\n\nsection:%s: sect_pos:%lx sect_len:%lx", name, static_cast<unsigned long>(offset),
                  static_cast<unsigned long>(length));
        const uint64_t directory_pos = rs.in.pos;
        // A section named twice is read at its first entry only: the counts of a merge come from
        // one pass over the song and its sections from others, and both must see the same bytes.
        const int known = section_id(name);
        const int id = known != 0 && !seen[known] ? known : 0;
        if (id != 0) seen[id] = true;
        // Any other section with something in it is kept for the merge, which carries it on.
        InputSummary& sum = summary(rs);
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
        rs.log.log_enabled = rs.options.verbose;
        uint64_t reached = offset;
        if (process) {
            if (offset > rs.in.file_length) job_abort(msg_too_short);
            seek_to(rs, offset);
            rs.in.end = uint64_t(offset) + length;
            read_section(rs, id, offset, length);
            reached = rs.in.pos;
            rs.in.end = file_length;
        }
        rs.log.log_enabled = list_level;
        log_print(rs.log, "\nfilepos: %lx (header: %x)", static_cast<unsigned long>(reached),
                  uint32_t(offset + length));
        if (process) seek_to(rs, directory_pos);
    }
    log_print(rs.log, "\n\n");
    merge_stream_flush(rs);
    if (section_selector == 0 && rs.options.compressed_waves) {
        for (const SectionEntry& e : summary(rs).extra_sections) {
            if (std::memcmp(e.name, "CWAV", 4) != 0) continue;
            read_compressed_waves(rs, in, e);
            log_print(rs.log, "\n\n");
            rs.log.log_enabled = list_level;
            break;
        }
    }
}

void read_compressed_waves(ReaderState& rs, FILE* in, const SectionEntry& e)
{
    const ReaderHooks& h = hooks(rs);
    if (e.offset > stream_length(in)) job_abort(msg_too_short);
    SectionReader cwav = SectionReader::at(in, e.offset, e.length);
    rs.log.log_enabled = rs.options.verbose;
    const WaveShapeIndex shapes(summary(rs));
    const uint16_t count = cwav.room() >= 2 ? cwav.word() : 0;
    log_print(rs.log, "\n\ncompressed waves:%x", count);
    struct Sink {
        const ReaderHooks& h;
        int ordinal;
    } to{h, 0};
    const WaveSink sink{&to, [](void* user, const uint8_t* data, size_t size) {
                            const Sink& s = *static_cast<const Sink*>(user);
                            s.h.wave_data(s.h.user, s.ordinal, data, size);
                        }};
    for (int w = 0; w < count; ++w) {
        // The header first, so that a rip knows the wave before its levels arrive.
        const uint64_t at = cwav.pos;
        CompressedWave c;
        read_compressed_wave(cwav, shapes, c, nullptr);
        log_print(rs.log, "\n%x: typ:%x len:%llx raw:%x", c.index, c.format,
                  static_cast<unsigned long long>(c.end - c.data), unsigned(c.raw_bytes));
        if (!h.wave_begin && !h.wave_data && !h.wave_end) continue;
        uint16_t index = c.index;
        if (h.wave_begin) h.wave_begin(h.user, w, &index, c.format, c.raw_bytes);
        if (h.wave_data) {
            to.ordinal = w;
            cwav.seek(at);
            read_compressed_wave(cwav, shapes, c, &sink);
        }
        if (h.wave_end) h.wave_end(h.user, w);
    }
    check_compressed_waves_end(cwav);
}
