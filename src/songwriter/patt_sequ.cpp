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
// machine with events: word machine, dword event count, byte 2, byte 1, events of word position
// and byte 0x10 + written pattern index.
#include "songwriter/patt_sequ.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "buzz/write_primitives.h"
#include "core/log.h"
#include "settings/settings.h"
#include "song/pattern_cells.h"
#include "song/song.h"

namespace {

// Highest written pattern index a sequence event can carry (event byte 0x10 .. 0x7F).
constexpr int max_event_index = 0x6F;

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

// Duplicate search for pattern p of machine k (sizing pass, remove_2pat). Marks p as a
// duplicate of the first earlier identical pattern in use.
void remove_duplicate(Conversion& c, int k, int p)
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
        for (int i = 0; i < p; ++i) {
            if (m.track_patterns[i].number == 0) continue;
            if (c.song.pattern_table[i].lines != lines) continue;
            const PatternData* gi = has_global ? &m.global_patterns[i] : nullptr;
            if (has_global && gi->checksum != gp->checksum) continue;
            log_print(c.log, "\nMaster patterns %d and %d seem identical", p, i);
            if (has_global && !same_bytes(gi->data, gp->data, gsize)) continue;
            log_print(c.log, "-They are it!");
            tp.number = i + 1;
            ++c.song.duplicates_removed;
            return;
        }
        return;
    }

    settle_track_rows(m, tp);
    tp.checksum = track_rows_hash(m, tp, lines);
    PatternData* gp = m.global_row_bytes != 0 ? machine1_global(c, p) : nullptr;
    const size_t gsize = gp ? size_t(lines) * size_t(c.song.machine_table[1].global_row_bytes) : 0;
    if (gp) gp->checksum = rows_hash(gp->data, gsize);
    for (int i = 0; i < p; ++i) {
        const PatternData& ti = m.track_patterns[i];
        if (ti.number == 0) continue;
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
        return;
    }
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

void write_machine_patterns(Conversion& c, int k)
{
    MachineRecord& m = c.song.machine_table[k];
    if (sizing(c)) m.patterns_written = 0;
    std::vector<uint8_t> rows; // one pattern's track rows spelled out
    put_word(c.writer, unsigned(m.patterns_written));
    put_word(c.writer, unsigned(k == 0 ? 0 : m.track_count));

    for (int p = 0; p < c.song.pattern_count; ++p) {
        PatternData& tp = m.track_patterns[p];
        if (tp.number == 0) continue;
        if (sizing(c) && c.settings.remove_2pat && tp.number == p + 1) remove_duplicate(c, k, p);
        if (tp.number != p + 1) continue;
        write_pattern_record(c, k, p, 0, p, rows);
        if (sizing(c)) ++m.patterns_written;
    }
    if (sizing(c)) m.plain_patterns_written = m.patterns_written;

    if (c.song.offset_pattern_count == 0) return;
    // The Master names its copies by every entered pattern, a generator by its own copies.
    int j = 0;
    for (int p = 0; p < c.song.pattern_count; ++p) {
        const int s = c.song.pattern_table[p].start_row;
        if (s == 0) continue;
        const bool used = m.track_patterns[p].number != 0;
        if (used) {
            write_pattern_record(c, k, p, s, c.song.pattern_count + j, rows);
            if (sizing(c)) ++m.patterns_written;
        }
        if (used || k == 0) ++j;
    }
}

// One machine's sequence. A machine without events takes no room: the sizing pass takes its
// header back and the writing pass leaves it out.
void write_machine_sequence(Conversion& c, SequState& sequ, int k)
{
    MachineRecord& m = c.song.machine_table[k];
    int64_t remembered = c.writer.write_count;
    if (sizing(c)) {
        m.sequence_event_count = 0;
    } else if (m.sequence_event_count == 0) {
        // Still walk the order list so the song end comes out the same in both passes.
        remembered = -1;
    }
    const bool write_events = remembered >= 0;
    if (write_events) {
        put_word(c.writer, unsigned(k));
        put_dword(c.writer, uint32_t(m.sequence_event_count));
        put_byte(c.writer, 2);
        put_byte(c.writer, 1);
    }

    int pos = 0;
    for (int e = 0; e < c.song.song_length && e < order_list_size; ++e) {
        const OrderEntry& oe = c.song.order_list[e];
        const int p = oe.pattern;
        if (p < 0 || p >= c.song.pattern_count) continue; // not a pattern of this song
        const PatternInfo& pi = c.song.pattern_table[p];
        const int n = m.track_patterns[p].number;
        // An entry into the middle of a pattern plays the pattern's shortened copy. The copy is
        // always written from this pattern's own rows (also when its rows equal an earlier
        // pattern's), so the event names this pattern's copy, never the earlier one's.
        const bool entered = oe.start_row != 0 && pi.start_row != 0;
        if (n != 0 && write_events) {
            const int x = entered ? written_pattern_index(c, k, p, true)
                                  : written_pattern_index(c, k, n - 1, false);
            if (x <= max_event_index) {
                put_word(c.writer, unsigned(pos) & 0xFFFF);
                put_byte(c.writer, unsigned(x + 0x10));
                if (sizing(c)) ++m.sequence_event_count;
            }
        }
        // A pattern entered at or below its own break row plays from the entry row to its end.
        int advance = pi.play_lines;
        if (entered) advance = (pi.start_row < pi.play_lines ? pi.play_lines : pi.lines) - pi.start_row;
        if (advance < 0) advance = 0;
        pos += advance;
    }
    if (pos > sequ.song_end) sequ.song_end = pos;

    if (sizing(c) && m.sequence_event_count == 0) {
        ++sequ.sequences_dropped;
        c.writer.write_count = remembered;
    }
}

} // namespace

int written_pattern_index(Conversion& c, int k, int p, bool offset_copy)
{
    const MachineRecord& m = c.song.machine_table[k];
    int x = 0;
    if (!offset_copy) {
        for (int i = 0; i < p && i < c.song.pattern_count; ++i)
            if (m.track_patterns[i].number == i + 1) ++x;
        return x;
    }
    x = m.plain_patterns_written;
    for (int i = 0; i < p && i < c.song.pattern_count; ++i)
        if (c.song.pattern_table[i].start_row != 0 && m.track_patterns[i].number != 0) ++x;
    return x;
}

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
    if (sizing(c)) sequ.sequences_dropped = 0;
    put_dword(c.writer, uint32_t(sequ.song_end));
    put_dword(c.writer, 0);
    put_dword(c.writer, uint32_t(sequ.song_end));
    put_word(c.writer, unsigned(c.song.machine_count - sequ.sequences_dropped));
    for (int k = 0; k < c.song.machine_count; ++k) write_machine_sequence(c, sequ, k);
}
