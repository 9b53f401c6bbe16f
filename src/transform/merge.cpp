// Merge and transformation of Buzz songs.
//
// The work streams. A counting pass reads the inputs without writing anything; then the output is
// written once, into a scratch file beside it: a gap for the header, the sections one after the
// other (each input read again by the song reader, every byte going on, changed, dropped or added
// on the way by the hooks below), and last the header with the section directory, in place. Runs
// of bytes no rule changes (wave data, sections copied whole, patterns of machines no option
// touches) are copied in the kernel; changed rows are gathered and written in large blocks.
//
// What each input writes (m1: machines of the first song, bound1: 1 + its highest wave index):
// MACH  first: the output's machine count, its machines (positions scaled with do_mscale1, the
//       master's tempo times blow_up); second: its machines without its master (positions scaled
//       with do_mscale2); then the clone.
// CONN  first: the output's count, its connections; second: connections into its master dropped,
//       machine numbers + (m1 - 1).
// WAVT  first: the output's count, its entries; second: wave indexes + bound1. Wave tuning.
// PATT  first: with blow-up, line counts times blow_up and blow_up - 1 further rows after every
//       row (a generator's empty rows, copies for other machines), the master's tempo times
//       blow_up; the source's transposition, the clone's rows taken; second: its master's
//       patterns dropped, input sources + (m1 - 1), Tracker wave bytes + bound1 with
//       do_mishift2; then the clone's patterns.
// SEQU  first: loop start times blow_up times song_repeat; the song ends at the later of the
//       first song's end (times blow_up times song_repeat) and the second song's end, and a loop
//       that ran to the first song's end runs to that end; the output's count; positions times
//       blow_up, every sequence song_repeat times, the clone's sequence after its source's. A
//       sequence whose positions outgrow their width is written with wider positions (1, 2 or 4
//       bytes). Second: its song header and its master's sequences dropped, machines + (m1 - 1).
// BLAH  the text length (merging: both texts and a separator line between them), the texts.
// WAVE  first: the output's count, its waves (wave ripping); second: wave indexes + bound1.
//
// The sections beyond these seven keep their place before or after them. A transformation that
// leaves the machines as they are carries every one of them byte for byte. One that adds
// machines (a merge, a clone) carries the first song's BVER (the version text), PDLG (machine
// windows) and MIDI (MIDI bindings), which name its machines only, and CWAV (compressed waves,
// whose indexes stay); its PARA (one parameter description per machine) gets the added machines'
// entries from the second song's PARA and, for a clone, from the entry of a machine of the
// clone's library. A section that cannot be made true for the new song is left out with a
// warning naming it; a second song whose waves are compressed (a CWAV with waves in it) is
// refused, so that no wave is ever dropped.
//
// Where a value would not fit its field (a tempo above 65535, more than 65535 lines, machines or
// waves, a sequence position beyond 4 bytes, a shifted wave number beyond its byte) the job ends
// with a message instead of wrapping into a wrong song.
//
// Files: the output, until it is complete, lives under a unique scratch name beside it and is
// removed on every way out; it is renamed into place only when it is whole, so a failed merge
// leaves an existing song (an input too) as it was.
#include "transform/merge.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>

#include "buzz/machines_ini.h"
#include "buzz/para_section.h"
#include "core/byteio.h"
#include "core/log.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "transform/machine_tools.h"
#include "transform/wave_tools.h"


namespace {

Merge& merge_of(void* user) { return *static_cast<Merge*>(user); }

constexpr int directory_slots = 31;     // a song's header has room for 31 sections, used or not
constexpr int master_global_bytes = 5;  // volume word, tempo word, ticks per beat
constexpr uint32_t separator_bytes = 44; // CR LF, 40 '-', CR LF between two texts

[[noreturn]] void refuse(const char* fmt, ...) KX_PRINTF(1, 2);
void refuse(const char* fmt, ...)
{
    char msg[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    job_abort(msg);
}

InputSummary& summary(Merge& m, int i) { return m.reader.input_summaries[i]; }
int current(Merge& m) { return m.reader.current_input; }
bool first_input(Merge& m) { return m.reader.current_input == 1; }

const MachineEntry& machine_entry(Merge& m, int machine) { return summary(m, current(m)).machine_list[machine]; }
const MachineDescription& machine_desc(Merge& m, int machine)
{
    return m.machines.machine_descriptions[machine_entry(m, machine).description];
}

// The folder part of a path with its final separator ("" for a bare file name).
std::string folder_of(const std::string& path)
{
    const size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

bool no_second_input(const char* second) { return !second || !*second || *second == ' '; }

// --- counts and the text length --------------------------------------------------------------

uint32_t text_bytes(Merge& m, int input)
{
    const uint32_t length = summary(m, input).section_length[sec_blah];
    return m.state.has_section[input][sec_blah] && length > 4 ? length - 4 : 0;
}

uint32_t text_length(Merge& m)
{
    uint64_t n = text_bytes(m, 1);
    if (m.reader.merging) n += separator_bytes + uint64_t(text_bytes(m, 2));
    if (n > 0xFFFFFFFFu) job_abort("The texts of the songs are too long!!");
    return uint32_t(n);
}

int64_t output_count(void* user, int section, uint32_t value)
{
    Merge& m = merge_of(user);
    if (!first_input(m)) return -1; // the first song writes the output's counts
    const InputSummary& out = summary(m, 0);
    switch (section) {
    case sec_mach: return out.machines;
    case sec_conn: return out.connections;
    case sec_wavt: return out.instruments;
    case sec_sequ: return out.sequences;
    case sec_wave: return out.waves;
    case sec_blah: return text_length(m);
    default: return value;
    }
}

void check_count(int value, const char* what)
{
    if (value > 0xFFFF) refuse("The song would have %d %s, more than 65535!!", value, what);
}

void set_output_counts(Merge& m)
{
    InputSummary& out = summary(m, 0);
    const InputSummary& a = summary(m, 1);
    const InputSummary& b = summary(m, 2);
    if (m.reader.merging) {
        out.machines = a.machines + b.machines - 1;
        out.connections = a.connections + b.connections - b.master_connections;
        out.instruments = a.instruments + b.instruments;
        out.sequences = a.sequences + b.sequences + b.sequence_adjustment;
        out.waves = a.waves + b.waves;
    } else {
        out.machines = a.machines;
        out.connections = a.connections;
        out.instruments = a.instruments;
        out.sequences = a.sequences;
        out.waves = a.waves;
    }
    if (m.clone.destination != 0) {
        out.machines += 1;
        out.sequences += a.sequence_adjustment;
    }
    check_count(out.machines, "machines");
    check_count(out.connections, "connections");
    check_count(out.instruments, "waves");
    check_count(out.sequences, "sequences");
    check_count(out.waves, "waves");
}

// --- the second song's master, when its machines and patterns are copied whole ----------------

void skip_second_master(Merge& m)
{
    ReaderState& rs = m.reader;
    const int saved_forward = rs.forward;
    rs.forward = 0;
    take_text(m.reader, nullptr, 0);
    if (hold_byte(m.reader) != 0) job_abort("The second song does not begin with its master!!");
    hold_skip(m.reader, 8, msg_mach_size); // x, y
    hold_skip(m.reader, hold_dword(m.reader), msg_mach_size);
    const uint16_t attributes = hold_word(m.reader);
    for (int a = 0; a < attributes; ++a) {
        take_text(m.reader, nullptr, 0);
        hold_dword(m.reader);
        if (attributes > 20) break; // as the reader takes such a count
    }
    const MachineDescription* d = machine_description(m.machines, role_master);
    hold_skip(m.reader, uint64_t(d ? d->global_bytes : master_global_bytes), msg_mach_size);
    const uint16_t tracks = hold_word(m.reader);
    hold_skip(m.reader, uint64_t(tracks) * uint64_t(d ? d->track_bytes : 0), msg_mach_size);
    if (rs.in.at_eof() || rs.in.pos > rs.in.end) job_abort(msg_mach_size);
    rs.forward = saved_forward;
}

void skip_second_master_patterns(Merge& m)
{
    ReaderState& rs = m.reader;
    const int saved_forward = rs.forward;
    rs.forward = 0;
    const MachineDescription* d = machine_description(m.machines, role_master);
    const uint64_t global_bytes = uint64_t(d ? d->global_bytes : master_global_bytes);
    const uint64_t track_bytes = uint64_t(d ? d->track_bytes : 0);
    const uint64_t inputs = uint64_t(summary(m, 2).master_connections);
    const uint16_t patterns = hold_word(m.reader);
    const uint16_t tracks = hold_word(m.reader);
    for (int k = 0; k < patterns; ++k) {
        take_text(m.reader, nullptr, 0);
        const uint64_t lines = hold_word(m.reader);
        hold_skip(m.reader, (4 * lines + 2) * inputs + global_bytes * lines + tracks * lines * track_bytes, msg_patt_size);
        if (rs.in.at_eof()) job_abort(msg_patt_size);
    }
    if (rs.in.pos > rs.in.end) job_abort(msg_patt_size);
    rs.forward = saved_forward;
}

void raw_prefix(void* user, int section)
{
    Merge& m = merge_of(user);
    if (current(m) != 2) return;
    if (section == sec_mach) skip_second_master(m);
    if (section == sec_patt) skip_second_master_patterns(m);
}

// --- MACH and CONN ----------------------------------------------------------------------------

bool keep_machine(void* user, int machine) { Merge& m = merge_of(user); return !(current(m) == 2 && machine == 0); }

void scale_position(void* user, int, float* x, float* y)
{
    Merge& m = merge_of(user);
    if (first_input(m) ? m.settings.do_mscale1 : m.settings.do_mscale2) {
        // The first song's machines move to -1..0, the second's to 0..1.
        const float shift = first_input(m) ? -1.0f : 1.0f;
        *x = (*x + shift) / 2.0f;
        *y = (*y + shift) / 2.0f;
    }
}

// A tempo word (beats per minute) times the blow-up factor; 0xFFFF in a pattern row means "no
// change" and stays.
void multiply_tempo(Merge& m, uint8_t* word, bool pattern_row)
{
    const uint32_t tempo = word[0] | uint32_t(word[1]) << 8;
    if (pattern_row && tempo == 0xFFFF) return;
    const uint64_t blown = uint64_t(tempo) * uint64_t(m.state.blow);
    if (blown > 0xFFFF)
        refuse("Tempo %u times %d is more than 65535, use a smaller blow-up factor!!", unsigned(tempo),
               m.state.blow);
    word[0] = uint8_t(blown);
    word[1] = uint8_t(blown >> 8);
}

void master_state(void* user, int machine, uint8_t* state, int size)
{
    Merge& m = merge_of(user);
    if (first_input(m) && machine == 0 && m.state.blow > 1 && size >= 4) multiply_tempo(m, state + 2, false);
}

bool shift_connection(void* user, uint16_t* source, uint16_t* destination, uint16_t*, uint16_t*)
{
    Merge& m = merge_of(user);
    if (current(m) != 2) return true;
    if (*destination == 0) return false; // the second song's master is gone
    *source = uint16_t(*source + m.state.machine_shift);
    *destination = uint16_t(*destination + m.state.machine_shift);
    return true;
}

// --- WAVT and WAVE ----------------------------------------------------------------------------

uint16_t shifted_wave_index(Merge& m, uint16_t index)
{
    const uint32_t v = uint32_t(index) + uint32_t(m.state.wave_shift);
    if (v > 0xFFFF) refuse("Wave %u of the second song does not fit behind the first song's waves!!", unsigned(index));
    return uint16_t(v);
}

void wave_table_index(void* user, int ordinal, uint16_t* index)
{
    Merge& m = merge_of(user);
    wave_tools_entry(m.tools, ordinal, *index);
    if (current(m) == 2) *index = shifted_wave_index(m, *index);
}

void wave_begin(void* user, int, uint16_t* index, uint8_t, uint32_t bytes)
{
    Merge& m = merge_of(user);
    wave_tools_wave_begin(m.tools, *index, bytes);
    if (current(m) == 2) *index = shifted_wave_index(m, *index);
}

void wave_data(void* user, int, const uint8_t* data, size_t size) { Merge& m = merge_of(user); wave_tools_wave_data(m.tools, data, size); }
void wave_end(void* user, int) { Merge& m = merge_of(user); wave_tools_wave_end(m.tools); }

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

uint64_t field_max(int width) { return width == 4 ? 0xFFFFFFFFu : width == 2 ? 0xFFFFu : 0xFFu; }

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
        if (last > field_max(4))
            refuse("Sequence position %llu does not fit in 4 bytes after blow-up and repetition, use smaller "
                   "factors!!", static_cast<unsigned long long>(last));
        const int need = last > field_max(2) ? 4 : last > field_max(1) ? 2 : 1;
        if (need > ms.position_width) *position_width = ms.position_width = need;
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
    if (last > field_max(ms.position_width)) // the counting pass saw another song
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
        // The clone's patterns are the source's in the same order: the same references play them.
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

// --- BLAH and the sections the first song lacks -----------------------------------------------

void emit_separator(Merge& m)
{
    uint8_t line[separator_bytes];
    std::memset(line, '-', sizeof line);
    line[0] = line[42] = '\r';
    line[1] = line[43] = '\n';
    emit_block(m.reader, line, sizeof line);
}

void section_end(void* user, int section)
{
    Merge& m = merge_of(user);
    if (section == sec_blah && first_input(m) && m.reader.merging) emit_separator(m);
}

// The first song lacks a section the second one has: what the first song would have written
// ahead of the second song's part.
void write_first_head(Merge& m, int section)
{
    m.reader.forward = 1;
    switch (section) {
    case sec_conn:
    case sec_wavt:
    case sec_wave: emit_word(m.reader, unsigned(output_count(&m, section, 0))); break;
    case sec_sequ: {
        uint32_t header[3] = {}; // song end, loop start, loop end
        output_song_header(m, &header[0], &header[1], &header[2]);
        for (uint32_t v : header) emit_dword(m.reader, v);
        emit_word(m.reader, unsigned(summary(m, 0).sequences));
        break;
    }
    case sec_patt:
        // No patterns: each of its machines has none, on no tracks.
        for (int k = 0; k < summary(m, 1).machines; ++k) emit_dword(m.reader, 0);
        break;
    case sec_blah:
        emit_dword(m.reader, text_length(m));
        emit_separator(m);
        break;
    default: break;
    }
}

// --- the sections beyond the seven ----------------------------------------------------------

// One section of the output, in directory order: one of the seven, or a section of the first
// song carried on (as it is, or with the parameter descriptions of the added machines).
struct PlannedSection {
    int id = 0;                          // SectionId, 0 for a section beyond the seven
    const SectionEntry* extra = nullptr; // that section in the first song
    bool merged_para = false;
};

// Where the PARA sections of the inputs hold the entries of the output's machines.
struct ParaPlan {
    ParaSection first, second;
    int clone_input = 0; // the input whose entry the clone's is made from
};

bool named(const SectionEntry& e, const char* name) { return std::memcmp(e.name, name, 4) == 0; }

// A section of a song is exactly these bytes.
bool holds_exactly(Merge& m, int input, const SectionEntry& e, std::initializer_list<uint8_t> bytes)
{
    if (e.length != bytes.size()) return false;
    SectionReader in{summary(m, input).stream, stream_length(summary(m, input).stream), 0, 0};
    in.seek(e.offset);
    uint8_t got[8] = {};
    in.block(got, bytes.size());
    return !in.at_eof() && std::equal(bytes.begin(), bytes.end(), got);
}

// PDLG and MIDI list only the machines that have an open window or a MIDI binding: one without
// any holds the bytes of an empty list, and nothing is lost when it is not carried.
bool empty_list(Merge& m, int input, const SectionEntry& e)
{
    return (named(e, "PDLG") && holds_exactly(m, input, e, {1, 0})) || (named(e, "MIDI") && holds_exactly(m, input, e, {0}));
}

void leave_out(Merge& m, const SectionEntry& e, const char* song, const char* why)
{
    m.log.log_force = 1;
    log_print(m.log, "\nWarning: section %s of %.200s is left out, %s!", e.name, song, why);
}

bool read_para(Merge& m, int input, const SectionEntry& e, int description, ParaSection& out)
{
    FILE* f = summary(m, input).stream;
    SectionReader in{f, stream_length(f), 0, uint64_t(e.offset) + e.length};
    in.seek(e.offset);
    return read_para_section(in, uint32_t(summary(m, input).machines), m.machines, description, out);
}

// A PARA section for the merged song: the first song's entries, the second song's but its
// master's, and the clone's made from the entry of a machine of its library. False (with the
// reason) when the inputs do not describe every machine of the new song.
bool plan_para(Merge& m, const SectionEntry& first_para, const SectionEntry* second_para, ParaPlan& plan, const char*& why)
{
    const int clone = m.clone.destination != 0 ? m.clone.destination : -1;
    why = "it does not describe each machine of the first song";
    if (!read_para(m, 1, first_para, clone, plan.first)) return false;
    if (plan.first.match_end) plan.clone_input = 1;
    if (m.reader.merging) {
        why = "the second song has no parameter descriptions of its machines";
        if (!second_para || !read_para(m, 2, *second_para, clone, plan.second)) return false;
        if (!plan.clone_input && plan.second.match_end) plan.clone_input = 2;
    }
    why = "neither song has a machine of the clone's kind to describe it";
    return clone < 0 || plan.clone_input != 0;
}

const SectionEntry* find_extra(Merge& m, int input, const char* name)
{
    for (const SectionEntry& e : summary(m, input).extra_sections)
        if (named(e, name)) return &e;
    return nullptr;
}

// The output's sections in directory order, decided before anything is written: every warning
// about a section left out comes first, and a second song whose compressed waves cannot be
// merged is refused before the output exists.
std::vector<PlannedSection> plan_sections(Merge& m, const char* first, const char* second, ParaPlan& para)
{
    const bool adds_machines = m.reader.merging || m.clone.destination != 0;
    if (summary(m, 1).extra_sections_cut) refuse("%.200s has more sections than a Buzz song!!", first);
    if (m.reader.merging && summary(m, 2).extra_sections_cut) refuse("%.200s has more sections than a Buzz song!!", second);

    const SectionEntry* first_para = find_extra(m, 1, "PARA");
    if (m.reader.merging) {
        for (const SectionEntry& e : summary(m, 2).extra_sections) {
            if (named(e, "CWAV")) {
                // Its count word first: a section of two zero bytes holds no wave.
                if (!holds_exactly(m, 2, e, {0, 0}))
                    refuse("%.200s keeps waves in a CWAV section (compressed waves), which cannot be merged!!", second);
            } else if (named(e, "PARA")) {
                if (!first_para) leave_out(m, e, second, "the first song has no parameter descriptions of its machines");
            } else if (!named(e, "BVER") && !empty_list(m, 2, e)) { // one version text: the first song's
                leave_out(m, e, second, "it cannot be merged");
            }
        }
    }
    std::vector<PlannedSection> plan;
    std::vector<PlannedSection> after;
    for (const SectionEntry& e : summary(m, 1).extra_sections) {
        PlannedSection p;
        p.extra = &e;
        if (adds_machines && named(e, "PARA")) {
            const char* why = "";
            if (&e != first_para) {
                leave_out(m, e, first, "it is there twice");
                continue;
            }
            if (!plan_para(m, e, m.reader.merging ? find_extra(m, 2, "PARA") : nullptr, para, why)) {
                leave_out(m, e, first, why);
                continue;
            }
            p.merged_para = true;
        } else if (adds_machines && !named(e, "BVER") && !named(e, "PDLG") && !named(e, "MIDI") && !named(e, "CWAV")) {
            leave_out(m, e, first, "it may not hold for the added machines");
            continue;
        }
        (e.before_mach ? plan : after).push_back(p);
    }
    for (int id = sec_mach; id <= sec_wave; ++id) plan.push_back(PlannedSection{id, nullptr, false});
    plan.insert(plan.end(), after.begin(), after.end());
    return plan;
}

// Copies n bytes at `offset` of an input to the output.
void copy_from_input(Merge& m, int input, uint64_t offset, uint64_t n)
{
    FILE* f = summary(m, input).stream;
    m.state.file_in_hand = m.state.songs[input];
    if (offset + n > stream_length(f)) job_abort(msg_too_short);
    m.state.file_in_hand = m.state.songs[0];
    merge_stream_flush(m.reader);
    int write_error = 0;
    if (platform::copy_file_region(f, offset, m.reader.merge_stream, n, &write_error) != n) {
        if (!write_error) m.state.file_in_hand = m.state.songs[input]; // cut short while it is read
        job_abort(write_error ? msg_temp_write : msg_too_short);
    }
}

void write_extra_section(Merge& m, const PlannedSection& p, const ParaPlan& para)
{
    if (!p.merged_para) {
        copy_from_input(m, 1, p.extra->offset, p.extra->length);
        return;
    }
    emit_dword(m.reader, uint32_t(summary(m, 0).machines));
    copy_from_input(m, 1, para.first.first_entry, para.first.end - para.first.first_entry);
    if (m.reader.merging) copy_from_input(m, 2, para.second.second_entry, para.second.end - para.second.second_entry);
    if (m.clone.destination != 0) {
        const ParaSection& from = para.clone_input == 1 ? para.first : para.second;
        const std::string name = clone_machine_name(m);
        emit_block(m.reader, reinterpret_cast<const uint8_t*>(name.c_str()), name.size() + 1);
        copy_from_input(m, para.clone_input, from.match_library, from.match_end - from.match_library);
    }
}

// --- the passes ---------------------------------------------------------------------------------

void note_section(void* user, int section) { Merge& m = merge_of(user); m.state.has_section[current(m)][section] = true; }

// Machines and patterns are parsed record by record only where a rule needs them; repetition
// changes only the sequences.
int full_parse_for(Merge& m, int input, int section, bool second_has_inner_connections)
{
    const Settings& s = m.settings;
    const MergeState& ms = m.state;
    if (input == 1) {
        const bool rows = ms.blow > 1 || s.clone_source != 0;
        if (section == sec_mach) return s.do_mscale1 || rows;
        return (section == sec_conn || section == sec_patt) && rows;
    }
    // A second song whose machines feed each other (effects) names them in its patterns' input
    // data: those numbers move by m1 - 1 too, so its patterns are parsed.
    const bool rows = s.do_mishift2 || second_has_inner_connections;
    if (section == sec_mach) return s.do_mscale2 || rows;
    return (section == sec_conn || section == sec_patt) && rows;
}

// The tools' hooks, with the merge as their context.
void tools_machine_data(void* user, int machine, const uint8_t* data, size_t size, uint32_t offset, uint32_t total)
{
    machine_tools_data(merge_of(user), machine, data, size, offset, total);
}
void tools_sample_rate(void* user, int ordinal, int level, uint32_t* rate)
{
    wave_tools_sample_rate(merge_of(user).tools, ordinal, level, rate);
}

ReaderHooks merge_hooks(Merge& m)
{
    ReaderHooks h;
    h.user = &m;
    h.section_end = section_end;
    h.count = output_count;
    h.raw_prefix = raw_prefix;
    h.machine_begin = keep_machine;
    if (m.settings.do_mscale1 || m.settings.do_mscale2) h.machine_position = scale_position;
    h.machine_data = tools_machine_data;
    h.machine_globals = master_state;
    h.connection = shift_connection;
    h.wave_table_index = wave_table_index;
    h.sample_rate = tools_sample_rate;
    h.pattern_machine = pattern_machine;
    h.pattern_rows = pattern_rows;
    h.pattern_lines = pattern_lines;
    h.input_source = input_source;
    h.row = before_row;
    h.row_written = after_row;
    h.song_header = song_header;
    h.sequence_begin = sequence_begin;
    h.sequence_event = sequence_event;
    h.sequence_end = sequence_end;
    h.wave_begin = wave_begin;
    if (wave_tools_ripping(m.tools)) {
        // Only then do the wave bytes pass through here; otherwise the kernel copies them.
        h.wave_data = wave_data;
        h.wave_end = wave_end;
    }
    return h;
}

void check_machines(Merge& m, int input, const char* name)
{
    if (!m.state.has_section[input][sec_mach] || summary(m, input).machines < 1)
        refuse("No machines in %.200s!!", name);
}

// One of the seven sections: each input in turn, then what the tools add after them.
void write_section(Merge& m, int s, const File (&in)[3], bool second_has_inner_connections)
{
    ReaderState& rs = m.reader;
    MergeState& ms = m.state;
    const int inputs = rs.merging ? 2 : 1;
    for (int i = 1; i <= inputs; ++i) {
        rs.current_input = i;
        rs.full_parse = full_parse_for(m, i, s, second_has_inner_connections);
        if (ms.has_section[i][s]) {
            ms.file_in_hand = ms.songs[i];
            read_buzz_song(m.reader, in[i].get(), s);
            ms.file_in_hand = ms.songs[0];
        } else if (i == 1 && rs.merging && ms.has_section[2][s]) {
            write_first_head(m, s);
        }
    }
    rs.current_input = 1;
    if (s == sec_mach && m.clone.destination != 0) {
        merge_stream_flush(m.reader); // the clone's record is written to the stream directly
        clone_write_machine(m, summary(m, 1).machine_list[m.clone.source].tracks);
    }
    if (s == sec_patt) clone_append_patterns(m);
    merge_stream_flush(m.reader);
}

// The header and section directory, written last over the gap left for them at the start.
void write_header(Merge& m, FILE* out, const std::vector<SectionEntry>& directory, size_t header_size)
{
    std::vector<uint8_t> header(header_size, 0);
    std::memcpy(header.data(), "Buzz", 4);
    const uint32_t count = uint32_t(directory.size());
    for (int i = 0; i < 4; ++i) header[4 + size_t(i)] = uint8_t(count >> (8 * i));
    for (size_t k = 0; k < directory.size(); ++k) {
        const SectionEntry& e = directory[k];
        uint8_t* entry = header.data() + 8 + 12 * k;
        std::memcpy(entry, e.name, 4);
        for (int i = 0; i < 4; ++i) {
            entry[4 + i] = uint8_t(e.offset >> (8 * i));
            entry[8 + i] = uint8_t(e.length >> (8 * i));
        }
        log_print(m.log, "\nsection: %s,pos: %x,len: %x\n", e.name, unsigned(e.offset), unsigned(e.length));
    }
    if (!stream_seek(out, 0) || std::fwrite(header.data(), 1, header.size(), out) != header.size())
        job_abort("Can't write outputfile (disk full?)");
}

// The written song takes its name (replacing a file of that name only with `replace`) together
// with the files the merge made on its way (a WAV, es-9.dat), which are kept from then on.
void commit_output(Merge& m, platform::ScratchFile& out, const char* output, bool replace, platform::NewFiles& made)
{
    wave_tools_commit(m.tools, &made);
    platform::InterruptGuard guard; // the song and the files made with it are kept together
    const int e = out.commit(output, replace);
    if (e == EEXIST) {
        std::string msg = std::string("Can't write ") + output + ": exists; -y (--force) replaces it";
        m.log.log_force = 1;
        log_print(m.log, "\n"); // the error on a line of its own, after the progress dots
        job_abort(msg.c_str());
    }
    if (e) {
        m.log.log_force = 1;
        log_print(m.log, "\n%s: %s", output, std::strerror(e));
        job_abort("Can't write outputfile (disk full?)");
    }
    made.keep_all();
}

// The job's wave tools and log outlive the merge: they are put back on every way out of
// merge_songs, also while a failed job unwinds. The reader, the merge's own state and its scratch
// files go with the Merge.
struct ToolsBack {
    explicit ToolsBack(Merge& merge) : m(merge) {}
    ToolsBack(const ToolsBack&) = delete;
    ToolsBack& operator=(const ToolsBack&) = delete;
    ~ToolsBack()
    {
        wave_tools_forget(m.tools);
        m.tools.rip_folder.clear();
        m.tools.reader = nullptr;
        m.log.log_dot_interval = 0;
    }
    Merge& m;
};

} // namespace

void merge_songs(Merge& m, const char* first, const char* second, const char* output)
{
    ReaderState& rs = m.reader;
    Log& ls = m.log;
    MergeState& ms = m.state;
    ToolsBack tools_back(m);
    m.tools.reader = &rs;
    rs.options.list_level = m.settings.dolist;
    rs.options.verbose = m.settings.verbose;
    rs.options.clone_source = m.settings.clone_source;
    rs.options.clone_sequence = m.settings.clone2 != 0;

    ls.log_enabled = 1;
    ls.log_dot_interval = 0;
    rs.reset(); // no machine lists yet, nothing of an earlier merge
    ms = MergeState();
    ms.started = true;
    ms.songs[0] = output ? output : "";
    ms.songs[1] = first ? first : "";
    ms.songs[2] = no_second_input(second) ? "" : second;
    wave_tools_start(m.tools);

    if (!first) first = "";
    File in[3];
    in[1] = open_file(first, "rb");
    if (!in[1]) {
        log_print(m.log, "\n Could not open first Inputfile: %s", first);
        job_abort(" ");
    }
    rs.merging = 0;
    if (!no_second_input(second)) {
        in[2] = open_file(second, "rb");
        if (!in[2]) {
            log_print(m.log, "\n Could not open second Inputfile: %s", second);
            job_abort(" ");
        }
        rs.merging = 1;
    }
    rs.input_summaries[1].stream = in[1].get();
    rs.input_summaries[2].stream = in[2].get();
    for (const char* song : {first, rs.merging ? second : nullptr})
        if (song) ms.input_bytes += uint64_t(std::max<int64_t>(platform::file_length(song), 0));

    rs.full_parse = 0;
    rs.current_input = 1;
    ms.file_in_hand = first;
    log_print(m.log, "\nReading first file: %s", first);
    if (!m.settings.dolist) ls.log_dot_interval = 40;

    if (rs.options.list_generators_only) {
        // The Machine page's list: the first song's machines, nothing written.
        rs.full_parse = 1;
        read_buzz_song(m.reader, in[1].get(), sec_mach);
        ms.file_in_hand.clear();
        return;
    }
    if (!output || !*output) {
        log_print(m.log, "\nCould not open outputfile: %s", "");
        job_abort(" ");
    }

    // Counting pass.
    ReaderHooks counting;
    counting.user = &m;
    counting.section_begin = note_section;
    counting.sequence_begin = count_sequence;
    counting.sequence_event = count_event;
    rs.hooks = &counting;
    read_buzz_song(m.reader, in[1].get(), 0);
    check_machines(m, 1, first);
    if (rs.merging) {
        rs.current_input = 2;
        ms.file_in_hand = second;
        ls.log_enabled = 1;
        log_print(m.log, "\nReading second file: %s", second);
        read_buzz_song(m.reader, in[2].get(), 0);
        check_machines(m, 2, second);
    }
    ms.blow = m.settings.blow_up > 1 ? m.settings.blow_up : 1;
    ms.repeat = m.settings.song_repeat > 1 ? m.settings.song_repeat : 1;
    ms.machine_shift = summary(m, 1).machines - 1;
    ms.wave_shift = summary(m, 1).instrument_index_bound;
    // Files the merge makes besides the song (es-9.dat, a WAV): removed unless the song is made.
    platform::NewFiles made;
    ms.file_in_hand = ms.songs[1]; // the clone's source is the first song's
    machine_tools_start(m, summary(m, 1).machines, ms.blow, output, &made);
    ms.file_in_hand.clear(); // the counts and the plan say what they concern
    set_output_counts(m);
    rs.current_input = 1;
    ParaPlan para;
    const std::vector<PlannedSection> plan = plan_sections(m, first, second, para);

    // The output, written once: a gap for the header, the sections, then the header.
    ms.file_in_hand = output;
    platform::ScratchFile out;
    if (!out.create(output, ".part")) {
        log_print(m.log, "\nCould not open outputfile: %s", output);
        const std::string folder = folder_of(output);
        if (!folder.empty() && !platform::is_directory(folder.c_str())) {
            ms.file_in_hand.clear();
            refuse("%.200s: no such folder", folder.c_str());
        }
        job_abort("Can't open outputfile");
    }
    rs.merge_stream = out.get();
    if (m.tools.rip_folder.empty()) m.tools.rip_folder = folder_of(output);
    const size_t header_size = 8 + 12 * std::max<size_t>(directory_slots, plan.size());
    rs.pending.assign(header_size, 0);

    ls.log_enabled = 1;
    if (!m.settings.dolist) ls.log_dot_interval = 200;
    log_print(m.log, rs.merging ? "\nMerging files" : "\nTransforming file");

    const ReaderHooks hooks = merge_hooks(m);
    rs.hooks = &hooks;
    const bool inner2 = rs.merging && summary(m, 2).connections > summary(m, 2).master_connections;
    std::vector<SectionEntry>& directory = summary(m, 0).extra_sections;
    ms.writing = true;
    for (const PlannedSection& p : plan)
        if (p.id) ms.section_bytes_total += uint64_t(summary(m, 1).section_length[p.id]) + summary(m, 2).section_length[p.id];
    for (const PlannedSection& p : plan) {
        const uint64_t start = merge_stream_position(m.reader);
        if (p.id != 0) {
            ms.section_writing = p.id;
            write_section(m, p.id, in, inner2);
            ms.section_writing = 0;
            ms.section_bytes_done += uint64_t(summary(m, 1).section_length[p.id]) + summary(m, 2).section_length[p.id];
        } else {
            write_extra_section(m, p, para);
            merge_stream_flush(m.reader);
        }
        const uint64_t end = merge_stream_position(m.reader);
        if (end > 0xFFFFFFFFu) job_abort("The song would be larger than 4 GB!!");
        SectionEntry e;
        std::memcpy(e.name, p.id ? section_names[p.id] : p.extra->name, 4);
        e.offset = uint32_t(start);
        e.length = uint32_t(end - start);
        directory.push_back(e);
        if (p.id) {
            summary(m, 0).section_start[p.id] = e.offset;
            summary(m, 0).section_length[p.id] = e.length;
        }
    }

    rs.hooks = nullptr;
    rs.merge_stream = nullptr;
    rs.input_summaries[1].stream = rs.input_summaries[2].stream = nullptr;
    ms.file_in_hand = first; // a wave the tools name and the song lacks
    wave_tools_check(m.tools);
    ms.file_in_hand = output;
    // A merge may name one of its inputs as its output: that input is replaced once the new song
    // is complete. Any other existing file of that name only with replace_files.
    const bool replace = m.settings.replace_files != 0 || platform::same_file(output, first) ||
                         (rs.merging && platform::same_file(output, second));
    in[1].reset(); // the output may replace an input
    in[2].reset();
    ls.log_enabled = 1;
    log_print(m.log, "\nWriting output file: %s", output);
    ls.log_enabled = m.settings.dolist;
    write_header(m, out.get(), directory, header_size);
    ls.log_enabled = 1;
    if (!out.flush_ok()) job_abort("Can't write outputfile (disk full?)");
    commit_output(m, out, output, replace, made);
    ms.file_in_hand.clear();
    log_print(m.log, rs.merging ? "\nMerging finished" : "\nTransformation finished");
}

double merge_progress(const Merge& m)
{
    const MergeState& ms = m.state;
    const ReaderState& rs = m.reader;
    if (!ms.started || rs.options.list_generators_only) return -1;
    // How far input k is read: all of it, or of the section being written.
    auto read_of = [&](int k, bool in_section) -> uint64_t {
        FILE* f = rs.input_summaries[k].stream;
        const int64_t pos = f ? platform::stream_position(f) : -1;
        if (pos < 0) return 0;
        if (!in_section) return uint64_t(pos);
        const InputSummary& s = rs.input_summaries[k];
        const int64_t start = s.section_start[ms.section_writing];
        return uint64_t(std::clamp<int64_t>(pos - start, 0, s.section_length[ms.section_writing]));
    };
    double f = 0;
    if (!ms.writing) {
        if (ms.input_bytes) f = 0.2 * double(read_of(1, false) + read_of(2, false)) / double(ms.input_bytes);
    } else if (ms.section_bytes_total) {
        uint64_t done = ms.section_bytes_done;
        if (ms.section_writing) done += read_of(1, true) + read_of(2, true);
        f = 0.2 + 0.8 * double(done) / double(ms.section_bytes_total);
    } else {
        f = 0.2;
    }
    return std::clamp(f, 0.0, 1.0);
}

int merge_is_merging(const Merge& m) { return m.reader.merging; }
