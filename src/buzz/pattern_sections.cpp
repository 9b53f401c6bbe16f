// Buzz song reader: the sections PATT (each machine's patterns: input blocks, global and track
// rows, handed to the row hooks) and SEQU (the song's header and each machine's sequence).
#include "buzz/section_readers.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "buzz/machines_ini.h"
#include "buzz/sequence_fields.h"
#include "core/log.h"

namespace section_readers {

namespace {

constexpr uint64_t sequence_header_bytes = 6; // a sequence header: machine and event count
constexpr size_t row_block = size_t(256) << 10;  // rows are read in blocks of about this size

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

} // namespace

// ---------------------------------------------------------------------------------------------
// PATT

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

} // namespace section_readers
