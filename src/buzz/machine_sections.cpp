// Buzz song reader: the sections MACH (each machine's record: name, library, position, data
// block, attributes, parameter state) and CONN (the connections between machines).
#include "buzz/section_readers.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "buzz/machines_ini.h"
#include "core/log.h"
#include "core/pool.h"

namespace section_readers {

namespace {

// Smallest size of one record, for the count checks: a machine (empty name, type, x, y, data
// size, attribute count, track count), a connection.
constexpr uint64_t min_machine_bytes = 18;
constexpr uint64_t connection_bytes = 8;

constexpr uint32_t max_usual_data_block = 2000; // larger machine data blocks are worth a warning
constexpr int max_tracks_before_last = 50;

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

} // namespace

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
} // namespace section_readers
