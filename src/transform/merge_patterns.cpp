// Patterns and sequences of a merge or transformation. PATT: line counts and rows times the
// blow-up factor, the clone's rows taken from its source's, the second song's master's patterns
// left out, its input sources and Tracker wave bytes renumbered; an input block that changes
// nothing in each pattern of the output's master for each connection it gains from the second
// song, and in each pattern of a clone's destination for the clone. SEQU: the song end and loop,
// positions times the blow-up factor, every sequence repeated, the clone's sequence after its
// source's, the second song's sequences renumbered.
#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <vector>

#include "buzz/machines_ini.h"
#include "buzz/sequence_fields.h"
#include "core/log.h"
#include "transform/machine_tools.h"
#include "transform/merge_stages.h"

namespace merge_stage {

namespace {

// A row of an input block that changes nothing: amplitude and panning 0xFFFF, as the empty master
// rows of a conversion hold them (the real songs' master rows agree).
constexpr std::array<uint8_t, 4096> unchanged_rows = [] {
    std::array<uint8_t, 4096> rows{};
    rows.fill(0xFF);
    return rows;
}();

void emit_unchanged_input(Merge& m, unsigned source, uint64_t lines)
{
    emit_word(m.reader, source);
    for (uint64_t left = 4 * lines; left > 0;) {
        const size_t n = size_t(std::min<uint64_t>(left, unchanged_rows.size()));
        emit_block(m.reader, unchanged_rows.data(), n);
        left -= n;
    }
}

// The input blocks a pattern of the first song's machine gains: the output's master one for each
// machine of the second song that fed its master; a clone's destination one for the clone.
void add_input_blocks(Merge& m, int machine, uint64_t lines)
{
    const MergeState& ms = m.state;
    if (machine == 0 && m.reader.merging)
        for (uint16_t source : ms.second_master_sources) emit_unchanged_input(m, source + unsigned(ms.machine_shift), lines);
    if (m.clone.destination == 0) return;
    for (const MergeState::Connection& c : ms.clone_connections)
        if (c.destination == machine) emit_unchanged_input(m, unsigned(summary(m, 0).machines - 1), lines);
}

// The master's patterns at the start of a PATT section copied whole: read past (input 2) or
// passed on with the blocks the output's master gains (input 1).
void master_patterns(Merge& m, int input)
{
    ReaderState& rs = m.reader;
    const int saved_forward = rs.forward;
    if (input == 2) rs.forward = 0;
    const MachineDescription* d = machine_description(m.machines, role_master);
    const uint64_t global_bytes = uint64_t(d ? d->global_bytes : master_global_bytes);
    const uint64_t track_bytes = uint64_t(d ? d->track_bytes : 0);
    const uint64_t inputs = uint64_t(summary(m, input).master_connections);
    const uint16_t patterns = take_word(m.reader);
    const uint16_t tracks = take_word(m.reader);
    for (int k = 0; k < patterns; ++k) {
        take_text(m.reader, nullptr, 0);
        const uint64_t lines = take_word(m.reader);
        pass_bytes(m.reader, (4 * lines + 2) * inputs, msg_patt_size);
        if (input == 1) add_input_blocks(m, 0, lines);
        pass_bytes(m.reader, global_bytes * lines + tracks * lines * track_bytes, msg_patt_size);
        if (rs.in.at_eof()) job_abort(msg_patt_size);
    }
    if (rs.in.pos > rs.in.end) job_abort(msg_patt_size);
    rs.forward = saved_forward;
}

} // namespace

void skip_second_master_patterns(Merge& m) { master_patterns(m, 2); }

void first_master_patterns(Merge& m)
{
    if (m.reader.merging && !m.state.second_master_sources.empty()) master_patterns(m, 1);
}

namespace {

// --- PATT -------------------------------------------------------------------------------------

bool pattern_machine(void* user, int machine, int patterns, int tracks)
{
    Merge& m = merge_of(user);
    if (current(m) == 2) return machine != 0;
    if (m.clone.source != 0 && machine == m.clone.source)
        clone_pattern_header(m, uint16_t(patterns), uint16_t(tracks));
    return true;
}

void pattern_lines(void* user, int machine, int, const char* name, uint16_t* lines)
{
    Merge& m = merge_of(user);
    if (!first_input(m)) return;
    if (m.state.blow > 1) {
        const uint64_t blown = uint64_t(*lines) * uint64_t(m.state.blow);
        if (blown > 0xFFFF)
            refuse("Pattern %.40s of %u lines blown up %d times has more than 65535 lines!!", name,
                   unsigned(*lines), m.state.blow);
        *lines = uint16_t(blown);
    }
    if (m.clone.source != 0 && machine == m.clone.source) clone_pattern_lines(m, name, *lines);
}

// The rows a rule changes: every row of the first song when it is blown up, the clone source's
// rows, the second song's Tracker rows when its waves move; all others pass on in blocks.
bool pattern_rows(void* user, int machine)
{
    Merge& m = merge_of(user);
    if (first_input(m)) return m.state.blow > 1 || (m.clone.source != 0 && machine == m.clone.source);
    return m.settings.do_mishift2 && machine_entry(m, machine).description == role_tracker;
}

void input_source(void* user, int, int, uint16_t* source)
{
    Merge& m = merge_of(user);
    if (current(m) == 2) *source = uint16_t(*source + m.state.machine_shift);
}

void pattern_inputs(void* user, int machine, int, uint16_t lines)
{
    Merge& m = merge_of(user);
    if (first_input(m)) add_input_blocks(m, machine, lines);
}

void before_row(void* user, const RowPlace& at, uint8_t* bytes, int size)
{
    Merge& m = merge_of(user);
    if (first_input(m)) {
        if (at.machine == 0 && at.kind == row_global && m.state.blow > 1 && size >= 4)
            multiply_tempo(m, bytes + 2, true);
        if (m.clone.source != 0 && at.machine == m.clone.source) source_row(m, at, bytes, size);
        return;
    }
    // The second song's Tracker plays its waves under their new numbers.
    if (m.settings.do_mishift2 && at.kind == row_track && machine_entry(m, at.machine).description == role_tracker) {
        const int p = machine_desc(m, at.machine).wave_byte;
        if (p < 1 || p > size || bytes[p - 1] == 0) return;
        const unsigned shifted = bytes[p - 1] + unsigned(m.state.wave_shift);
        if (shifted > 0xFF)
            refuse("Wave %u of the second song does not fit in the Tracker's wave byte behind the first "
                   "song's waves!!", unsigned(bytes[p - 1]));
        bytes[p - 1] = uint8_t(shifted);
    }
}

void after_row(void* user, const RowPlace& at, const uint8_t* bytes, int size)
{
    Merge& m = merge_of(user);
    if (!first_input(m)) return;
    if (m.clone.destination != 0 && at.machine == m.clone.source) clone_after_row(m, at, bytes, size);
    if (m.state.blow <= 1) return;
    // A generator's new rows change nothing; any other machine's repeat the row as written.
    const uint8_t* extra = bytes;
    if (at.kind != row_input && machine_entry(m, at.machine).kind == 1) {
        const MachineDescription& d = machine_desc(m, at.machine);
        extra = at.kind == row_global ? d.empty_bytes : d.empty_bytes + d.global_bytes;
    }
    for (int i = 1; i < m.state.blow; ++i) emit_block(m.reader, extra, size_t(size));
}

} // namespace

// --- SEQU -------------------------------------------------------------------------------------

// The output's song end and loop from the first song's (all 0 when it has no SEQU): times blow-up
// and repetition; a merge ends where the later of the two songs ends, and a loop that ran to the
// first song's end runs on to that end (a loop inside the first song stays as it is).
void output_song_header(Merge& m, uint32_t* song_end, uint32_t* loop_start, uint32_t* loop_end)
{
    MergeState& ms = m.state;
    const uint64_t factor = uint64_t(ms.blow) * uint64_t(ms.repeat);
    for (uint32_t* v : {song_end, loop_start, loop_end}) {
        if (uint64_t(*v) * factor > 0xFFFFFFFFu)
            refuse("Song end or loop %u times %u does not fit, use smaller factors!!", unsigned(*v),
                   unsigned(factor));
    }
    ms.song_end = *song_end * uint32_t(ms.blow);
    const uint32_t first_end = *song_end * uint32_t(factor);
    uint32_t end = first_end;
    if (m.reader.merging && ms.has_section[2][sec_sequ]) end = std::max(end, summary(m, 2).song_end);
    *loop_start *= uint32_t(factor);
    *loop_end *= uint32_t(factor);
    if (*loop_end >= first_end) *loop_end = std::max(*loop_end, end);
    *song_end = end;
}

namespace {

bool song_header(void* user, uint32_t* song_end, uint32_t* loop_start, uint32_t* loop_end)
{
    Merge& m = merge_of(user);
    if (!first_input(m)) return false;
    output_song_header(m, song_end, loop_start, loop_end);
    return true;
}

// Counting pass: the largest position of each of the first song's sequences, from which the
// width of its positions in the output follows.
bool count_sequence(void* user, int ordinal, uint16_t*, uint32_t*, int*, int)
{
    Merge& m = merge_of(user);
    if (first_input(m)) m.state.last_position.resize(size_t(ordinal) + 1, 0);
    return true;
}

void count_event(void* user, int ordinal, uint32_t* position, uint32_t*)
{
    Merge& m = merge_of(user);
    if (!first_input(m)) return;
    uint32_t& last = m.state.last_position[size_t(ordinal)];
    last = std::max(last, *position);
}

bool sequence_begin(void* user, int ordinal, uint16_t* machine, uint32_t* events, int* position_width, int value_width)
{
    Merge& m = merge_of(user);
    MergeState& ms = m.state;
    if (!first_input(m)) {
        if (*machine == 0) return false; // the second song's master is gone
        *machine = uint16_t(*machine + ms.machine_shift);
        return true;
    }
    ms.cloned_sequence = m.clone.destination != 0 && *machine == m.clone.source;
    ms.keep_events = *events != 0 && (ms.repeat > 1 || ms.cloned_sequence);
    ms.position_width = sequence_field_width(*position_width);
    ms.value_width = sequence_field_width(value_width);
    if (*events != 0) {
        // Positions that no longer fit their width after blow-up and repetition get a wider one.
        const size_t k = size_t(ordinal);
        const uint32_t largest = k < ms.last_position.size() ? ms.last_position[k] : 0;
        const uint64_t last = uint64_t(largest) * uint64_t(ms.blow) + uint64_t(ms.repeat - 1) * ms.song_end;
        const int need = sequence_position_width(last, ms.position_width);
        if (need == 0)
            refuse("Sequence position %llu does not fit in 4 bytes after blow-up and repetition, use smaller "
                   "factors!!", static_cast<unsigned long long>(last));
        if (need != ms.position_width) *position_width = ms.position_width = need;
    }
    ms.event_count = *events;
    ms.events.clear();
    if (ms.keep_events) {
        try {
            ms.events.reserve(size_t(*events) * size_t(ms.position_width + ms.value_width));
        } catch (const std::bad_alloc&) {
            job_abort("Memory allocation failed for sequence doubling");
        }
    }
    const uint64_t total = uint64_t(*events) * uint64_t(ms.repeat);
    if (total > 0xFFFFFFFFu) refuse("Sequence of %u events repeated %d times is too long!!", unsigned(*events), ms.repeat);
    *events = uint32_t(total);
    return true;
}

void keep_field(Merge& m, uint32_t v, int width)
{
    for (int i = 0; i < width; ++i) m.state.events.push_back(uint8_t(v >> (8 * i)));
}

void sequence_event(void* user, int, uint32_t* position, uint32_t* value)
{
    Merge& m = merge_of(user);
    if (!first_input(m)) return;
    MergeState& ms = m.state;
    const uint64_t blown = uint64_t(*position) * uint64_t(ms.blow);
    const uint64_t last = blown + uint64_t(ms.repeat - 1) * ms.song_end; // its last repetition
    if (last > sequence_field_max(ms.position_width)) // the counting pass saw another song
        refuse("Sequence position %llu does not fit in %d bytes, use smaller factors!!",
               static_cast<unsigned long long>(last), ms.position_width);
    *position = uint32_t(blown);
    if (ms.keep_events) {
        keep_field(m, *position, ms.position_width);
        keep_field(m, *value, ms.value_width);
    }
}

uint32_t kept_field(const uint8_t*& p, int width)
{
    uint32_t v = 0;
    for (int i = 0; i < width; ++i) v |= uint32_t(p[i]) << (8 * i);
    p += width;
    return v;
}

void emit_field(Merge& m, uint32_t v, int width)
{
    for (int i = 0; i < width; ++i) emit_byte(m.reader, (v >> (8 * i)) & 0xFF);
}

// The kept events once more, `play` song ends later.
void emit_kept_events(Merge& m, int play)
{
    const MergeState& ms = m.state;
    const uint8_t* p = ms.events.data();
    const uint8_t* end = p + ms.events.size();
    while (p < end) {
        const uint32_t position = kept_field(p, ms.position_width) + uint32_t(play) * ms.song_end;
        const uint32_t value = kept_field(p, ms.value_width);
        emit_field(m, position, ms.position_width);
        emit_field(m, value, ms.value_width);
    }
}

void sequence_end(void* user, int)
{
    Merge& m = merge_of(user);
    MergeState& ms = m.state;
    if (!first_input(m)) return;
    if (ms.keep_events)
        for (int play = 1; play < ms.repeat; ++play) emit_kept_events(m, play);
    if (ms.cloned_sequence) {
        // The clone's patterns are the source's in the same order: the same references play them,
        // in the source's widths.
        emit_word(m.reader, unsigned(summary(m, 0).machines - 1));
        emit_dword(m.reader, ms.event_count * uint32_t(ms.repeat));
        if (ms.event_count) {
            emit_byte(m.reader, unsigned(ms.position_width));
            emit_byte(m.reader, unsigned(ms.value_width));
            for (int play = 0; play < ms.repeat; ++play) emit_kept_events(m, play);
        }
    }
    ms.keep_events = ms.cloned_sequence = false;
    if (ms.events.capacity() > (size_t(1) << 20)) std::vector<uint8_t>().swap(ms.events);
}

} // namespace

void set_counting_sequence_hooks(ReaderHooks& h)
{
    h.sequence_begin = count_sequence;
    h.sequence_event = count_event;
}

void set_pattern_hooks(ReaderHooks& h)
{
    h.pattern_machine = pattern_machine;
    h.pattern_rows = pattern_rows;
    h.pattern_lines = pattern_lines;
    h.input_source = input_source;
    h.pattern_inputs = pattern_inputs;
    h.row = before_row;
    h.row_written = after_row;
}

void set_sequence_hooks(ReaderHooks& h)
{
    h.song_header = song_header;
    h.sequence_begin = sequence_begin;
    h.sequence_event = sequence_event;
    h.sequence_end = sequence_end;
}

} // namespace merge_stage
