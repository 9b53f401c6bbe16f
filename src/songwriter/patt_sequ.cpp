// PATT and SEQU sections of a Buzz song: every machine's patterns row by row, and the sequence
// of pattern events per machine. The sizing pass also removes duplicate patterns (a hash first,
// then the bytes), counts the patterns each machine writes and the events of each sequence.
//
// PATT, per machine: word pattern count, word track count, then per pattern
//   string name ("%02x"), word rows,
//   Master: per incoming connection word source machine + rows x 4 bytes (amplitude, panning),
//           then rows x 5 global bytes (volume word, tempo word, ticks-per-beat byte);
//   generator: rows x global bytes of machine 1 (when the machine has global bytes), then per
//           track rows x track bytes.
// Plain patterns come first, then the shortened copies of patterns that a pattern break enters
// in the middle ("offset copies"), named pattern_count + j.
//
// SEQU: dword song end (rows), dword loop start 0, dword loop end, word sequence count, then per
// machine with events: word machine, dword event count, byte position width, byte value width,
// events of a position (rows from the song's start) and the value 0x10 + written pattern index.
// The widths are the narrowest Buzz writes (buzz/sequence_fields.h): positions of 2 bytes, of 4
// in a song longer than 65535 rows; values of 1 byte, of 2 for a machine of more than 112
// patterns. A machine's sequence names at most 32752 patterns: patterns beyond them could never
// play and are not written, which a warning says.
#include "songwriter/patt_sequ.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "buzz/sequence_fields.h"
#include "buzz/write_primitives.h"
#include "core/log.h"
#include "settings/settings.h"
#include "song/pattern_cells.h"
#include "song/song.h"

namespace {

bool sizing(const Conversion& c) { return c.writer.writer_pass == 0; }

bool same_bytes(const uint8_t* a, const uint8_t* b, size_t n)
{
    if (n == 0) return true;
    if (!a || !b) return a == b;
    return std::memcmp(a, b, n) == 0;
}

// Writes n bytes of a pattern block; a block the song never allocated is written as zeros so
// that both passes still produce the same count.
void put_rows(Conversion& c, const uint8_t* data, size_t n)
{
    if (n == 0) return;
    if (data) {
        put_block(c.writer, data, n);
    } else {
        for (size_t i = 0; i < n; ++i) put_byte(c.writer, 0);
    }
}

size_t global_block_size(const MachineRecord& m, int lines)
{
    return size_t(lines) * size_t(m.global_row_bytes);
}

PatternData* machine1_global(Conversion& c, int p)
{
    if (c.song.machine_count < 2) return nullptr;
    MachineRecord& m1 = c.song.machine_table[1];
    return m1.global_patterns ? &m1.global_patterns[p] : nullptr;
}

// Rows an order entry plays: its pattern as far as it is played (to its break), from row 0, or
// from the row a break in the entry before enters it at; 0 for a pattern the song lacks.
int order_entry_rows(const Conversion& c, const OrderEntry& oe)
{
    if (oe.pattern < 0 || oe.pattern >= c.song.pattern_count) return 0;
    const PatternInfo& pi = c.song.pattern_table[oe.pattern];
    if (oe.start_row == 0 || pi.start_row == 0) return pi.play_lines > 0 ? pi.play_lines : 0;
    // A pattern entered at or below its own break row plays from the entry row to its end.
    const int rows = (pi.start_row < pi.play_lines ? pi.play_lines : pi.lines) - pi.start_row;
    return rows > 0 ? rows : 0;
}

// The patterns of one machine the duplicate search has seen, by what two patterns must share to
// be the same (the hash of their track rows, the hash of machine 1's global rows, their row count),
// each list in pattern order: the search compares a pattern with these candidates only, so that a
// song of thousands of patterns is searched in about the time of its patterns.
using DuplicateIndex = std::unordered_map<uint64_t, std::vector<int>>;

uint64_t duplicate_key(uint32_t track_hash, uint32_t global_hash, int lines)
{
    return (uint64_t(track_hash) << 32 | global_hash) ^ uint64_t(uint32_t(lines)) * 0x9E3779B97F4A7C15u;
}

// Duplicate search for pattern p of machine k (sizing pass, remove_2pat). Marks p as a
// duplicate of the first earlier identical pattern in use.
void remove_duplicate(Conversion& c, int k, int p, DuplicateIndex& seen)
{
    MachineRecord& m = c.song.machine_table[k];
    const int lines = c.song.pattern_table[p].lines;
    PatternData& tp = m.track_patterns[p];

    if (k == 0) {
        // The Master is compared by its global rows (tempo and ticks per beat); its connection
        // rows stay at "no value" in converted songs.
        const size_t gsize = global_block_size(m, lines);
        PatternData* gp = m.global_patterns ? &m.global_patterns[p] : nullptr;
        const bool has_global = m.global_row_bytes != 0 && gp;
        if (has_global) gp->checksum = rows_hash(gp->data, gsize);
        std::vector<int>& same = seen[duplicate_key(0, has_global ? gp->checksum : 0, lines)];
        for (int i : same) {
            if (c.song.pattern_table[i].lines != lines) continue;
            const PatternData* gi = has_global ? &m.global_patterns[i] : nullptr;
            if (has_global && gi->checksum != gp->checksum) continue;
            log_print(c.log, "\nMaster patterns %d and %d seem identical", p, i);
            if (has_global && !same_bytes(gi->data, gp->data, gsize)) continue;
            log_print(c.log, "-They are it!");
            tp.number = i + 1;
            ++c.song.duplicates_removed;
            break;
        }
        same.push_back(p);
        return;
    }

    settle_track_rows(m, tp);
    tp.checksum = track_rows_hash(m, tp, lines);
    PatternData* gp = m.global_row_bytes != 0 ? machine1_global(c, p) : nullptr;
    const size_t gsize = gp ? size_t(lines) * size_t(c.song.machine_table[1].global_row_bytes) : 0;
    if (gp) gp->checksum = rows_hash(gp->data, gsize);
    std::vector<int>& same = seen[duplicate_key(tp.checksum, gp ? gp->checksum : 0, lines)];
    for (int i : same) {
        const PatternData& ti = m.track_patterns[i];
        if (ti.checksum != tp.checksum) continue;
        const PatternData* gi = gp ? machine1_global(c, i) : nullptr;
        if (gp && gi->checksum != gp->checksum) continue;
        if (c.song.pattern_table[i].lines != lines) continue;
        log_print(c.log, "\nMachine %d patterns %d and %d seem identical", k, p, i);
        // Equal checksums are only a hint: the rows themselves decide (machine 1's global rows
        // included, which all generators share).
        if (!same_track_rows(m, ti, tp, lines)) continue;
        if (gp && !same_bytes(gi->data, gp->data, gsize)) continue;
        log_print(c.log, "-They are it!");
        tp.number = i + 1;
        ++c.song.duplicates_removed;
        break;
    }
    same.push_back(p);
}

// The track rows of pattern p of machine m from row s on, track by track, each of the Master's
// after the number of the machine its connection comes from; `rows` holds the rows of a pattern
// held sparse, spelled out (writing pass only).
void put_track_rows(Conversion& c, const MachineRecord& m, bool master, int p, int s, std::vector<uint8_t>& rows)
{
    const int lines = c.song.pattern_table[p].lines;
    const size_t trb = size_t(m.track_row_bytes), n = size_t(lines - s) * trb;
    const int tracks = m.track_count > 0 ? m.track_count : 0;
    if (sizing(c)) {
        c.writer.write_count += (int64_t(n) + (master ? 2 : 0)) * tracks;
        return;
    }
    const uint8_t* data = m.track_patterns[p].data;
    if (!data) {
        rows.resize(size_t(tracks) * size_t(lines) * trb);
        expand_track_rows(m, m.track_patterns[p], lines, rows.data());
        data = rows.data();
    }
    for (int t = 0; t < tracks; ++t) {
        if (master) put_word(c.writer, unsigned(t + 1));
        put_rows(c, data + (size_t(t) * size_t(lines) + size_t(s)) * trb, n);
    }
}

// One pattern record of machine k: pattern p from row s on.
void write_pattern_record(Conversion& c, int k, int p, int s, int name_number, std::vector<uint8_t>& rows)
{
    const MachineRecord& m = c.song.machine_table[k];
    const int lines = c.song.pattern_table[p].lines;
    if (s > lines) s = lines;
    const int count = lines - s;

    char name[16];
    std::snprintf(name, sizeof name, "%02x", unsigned(name_number));
    put_text(c.writer, name, 0);
    put_word(c.writer, unsigned(count));

    if (k == 0) {
        put_track_rows(c, m, true, p, s, rows);
        const uint8_t* g = m.global_patterns ? m.global_patterns[p].data : nullptr;
        const size_t grb = size_t(m.global_row_bytes);
        put_rows(c, g ? g + size_t(s) * grb : nullptr, size_t(count) * grb);
        return;
    }

    if (m.global_row_bytes != 0) {
        // Every generator carries machine 1's global rows.
        const PatternData* g1 = machine1_global(c, p);
        const uint8_t* g = g1 ? g1->data : nullptr;
        const size_t grb = size_t(m.global_row_bytes);
        put_rows(c, g ? g + size_t(s) * grb : nullptr, size_t(count) * grb);
    }
    put_track_rows(c, m, false, p, s, rows);
}

// Patterns beyond the 32752 a sequence can name could never play: they are not written, and the
// sizing pass counts them for the warning.
void write_machine_patterns(Conversion& c, int k)
{
    MachineRecord& m = c.song.machine_table[k];
    if (sizing(c)) m.patterns_left_out = 0;
    std::vector<uint8_t> rows; // one pattern's track rows spelled out
    put_word(c.writer, unsigned(m.patterns_written));
    put_word(c.writer, unsigned(k == 0 ? 0 : m.track_count));

    DuplicateIndex seen;
    int written = 0;
    auto write = [&](int p, int s, int name_number) {
        if (written >= max_sequence_patterns) {
            if (sizing(c)) ++m.patterns_left_out;
            return;
        }
        write_pattern_record(c, k, p, s, name_number, rows);
        ++written;
    };
    for (int p = 0; p < c.song.pattern_count; ++p) {
        PatternData& tp = m.track_patterns[p];
        if (tp.number == 0) continue;
        if (sizing(c) && c.settings.remove_2pat && tp.number == p + 1) remove_duplicate(c, k, p, seen);
        if (tp.number != p + 1) continue;
        write(p, 0, p);
    }
    if (sizing(c)) m.plain_patterns_written = written;

    if (c.song.offset_pattern_count != 0) {
        // The Master names its copies by every entered pattern, a generator by its own copies.
        int j = 0;
        for (int p = 0; p < c.song.pattern_count; ++p) {
            const int s = c.song.pattern_table[p].start_row;
            if (s == 0) continue;
            const bool used = m.track_patterns[p].number != 0;
            if (used) write(p, s, c.song.pattern_count + j);
            if (used || k == 0) ++j;
        }
    }
    if (sizing(c)) m.patterns_written = written;
}

// Rows a song plays: every order entry's pattern as far as it is played, from where it is entered.
// An entry whose pattern is not one of the song's plays nothing.
int64_t song_rows(const Conversion& c, int entries)
{
    int64_t pos = 0;
    for (int e = 0; e < entries; ++e) pos += order_entry_rows(c, c.song.order_list[e]);
    return pos;
}

// One machine's sequence. A machine without events takes no room: the sizing pass takes its
// header back and the writing pass leaves it out.
void write_machine_sequence(Conversion& c, SequState& sequ, int k)
{
    MachineRecord& m = c.song.machine_table[k];
    if (sizing(c)) m.sequence_event_count = 0;
    if (!sizing(c) && m.sequence_event_count == 0) return;
    const int64_t remembered = c.writer.write_count;
    const int position_width = sequ.position_width;
    const int value_width = sequence_value_width(m.patterns_written);
    put_word(c.writer, unsigned(k));
    put_dword(c.writer, uint32_t(m.sequence_event_count));
    put_byte(c.writer, unsigned(position_width));
    put_byte(c.writer, unsigned(value_width));

    // Where each pattern sits among those the machine writes: plain[p] for pattern p itself, copy[p]
    // for its offset copy.
    const int patterns = c.song.pattern_count;
    std::vector<int> plain(size_t(patterns) + 1), copy(size_t(patterns) + 1);
    copy[0] = m.plain_patterns_written;
    for (int p = 0; p < patterns; ++p) {
        const PatternData& tp = m.track_patterns[p];
        plain[size_t(p) + 1] = plain[size_t(p)] + (tp.number == p + 1 ? 1 : 0);
        copy[size_t(p) + 1] = copy[size_t(p)] + (c.song.pattern_table[p].start_row != 0 && tp.number != 0 ? 1 : 0);
    }

    int64_t pos = 0;
    for (int e = 0; e < sequ.order_entries; ++e) {
        const OrderEntry& oe = c.song.order_list[e];
        const int p = oe.pattern;
        const int rows = order_entry_rows(c, oe);
        const int n = p >= 0 && p < patterns ? m.track_patterns[p].number : 0;
        if (n > 0 && n <= patterns) {
            // An entry into the middle of a pattern plays the pattern's shortened copy. The copy
            // is always written from this pattern's own rows (also when its rows equal an earlier
            // pattern's), so the event names this pattern's copy, never the earlier one's.
            const bool entered = oe.start_row != 0 && c.song.pattern_table[p].start_row != 0;
            const int x = entered ? copy[size_t(p)] : plain[size_t(n - 1)];
            if (x < m.patterns_written) { // not a pattern left out
                if (position_width == 4)
                    put_dword(c.writer, uint32_t(pos));
                else
                    put_word(c.writer, unsigned(pos));
                if (value_width == 2)
                    put_word(c.writer, unsigned(x) + sequence_pattern_value);
                else
                    put_byte(c.writer, unsigned(x) + sequence_pattern_value);
                if (sizing(c)) ++m.sequence_event_count;
            }
        }
        pos += rows;
    }

    if (sizing(c) && m.sequence_event_count == 0) {
        ++sequ.sequences_dropped;
        c.writer.write_count = remembered;
    }
}

} // namespace

void write_patt_section(Conversion& c)
{
    for (int k = 0; k < c.song.machine_count; ++k) write_machine_patterns(c, k);
}

void write_sequ_section(Conversion& c, SequState& sequ)
{
    if (c.song.input_kind == InputKind::xi) {
        // A song made of one XI instrument has no patterns: one pattern length, no sequences.
        put_dword(c.writer, uint32_t(c.settings.blines));
        put_dword(c.writer, 0);
        put_dword(c.writer, uint32_t(c.settings.blines));
        put_word(c.writer, unsigned(c.song.machine_count > 0 ? c.song.machine_count - 1 : 0));
        return;
    }
    if (sizing(c)) {
        sequ.sequences_dropped = 0;
        sequ.order_entries = c.song.order_list ? std::min(c.song.song_length, c.song.order_list_room) : 0;
        const int64_t end = song_rows(c, sequ.order_entries);
        sequ.position_width = sequence_position_width(uint64_t(end), 2);
        if (sequ.position_width == 0) job_abort("Song too long for the positions of its sequences!!");
        sequ.song_end = uint32_t(end);
    }
    put_dword(c.writer, sequ.song_end);
    put_dword(c.writer, 0);
    put_dword(c.writer, sequ.song_end);
    put_word(c.writer, unsigned(c.song.machine_count - sequ.sequences_dropped));
    for (int k = 0; k < c.song.machine_count; ++k) write_machine_sequence(c, sequ, k);
    if (sizing(c)) return;
    for (int k = 0; k < c.song.machine_count; ++k) {
        const MachineRecord& m = c.song.machine_table[k];
        if (m.patterns_left_out == 0) continue;
        log_warning(c.log, "\nWarning: machine %d has %d patterns, its sequence names at most %d: %d left out", k,
                  m.patterns_written + m.patterns_left_out, max_sequence_patterns, m.patterns_left_out);
    }
}
