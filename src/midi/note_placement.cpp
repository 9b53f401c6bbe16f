// MIDI note placement: the note, program, tempo, header and track hooks of a native MIDI
// conversion.
//
// Time: a tempo event at tick 0 sets the minutes per tick (song.tempo) and the song's bpm (a tempo
// a hair off a whole BPM: that BPM's, midi_whole); a file without one plays at the MIDI default of
// 120 BPM (500000 microseconds per quarter note). A
// SMPTE division (high byte 0x80 or above: frames per second, negated, and ticks per frame) gives
// ticks per second directly, and tempo events then only set the song's bpm. With midi_tempos 0
// later tempo changes do not change the timing; with midi_tempos 1 rows follow the beat and the
// driver writes the tempo map as BPM changes on the Master. Either way a row is
// 1 / (midi_tpb * midi_res * midi_scale) of a quarter note.
//
// Tracks: each track of the current machine is a slot that holds the key sounding on it and the
// position of its last event. A note takes the first free slot whose last event is not in this
// very row, so that a note-off written there survives.
#include "midi/note_placement.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/log.h"
#include "core/pool.h"
#include "settings/settings.h"
#include "song/conversion.h"
#include "songwriter/generators.h"

namespace {

constexpr int note_delay_effect = 0x0D;
constexpr int first_track_records = 64;   // grown when a file holds more tracks
constexpr int drum_program_base = 128;    // wave_map index of drum key k: 128 + k
constexpr int drum_note = 48;             // C-4: drums that do not follow the pitch

// An event's place in a pattern row beyond its row: a note delay.
struct Place {
    uint8_t effect = 0, value = 0;
};

// The two searches every note makes among the slots 0..limit-1 of its track (the first free slot
// not written in the current row; the first slot sounding a key), answered from bit sets kept
// beside the slot table instead of walking it: the free slots, the slots written at the current
// row, and the sounding slots of each key. The sets are derived from the table: rebuilt from it
// when the track or the limit changes (the row set when the row does), and told of every change
// the placement makes to it.
class SlotIndex {
public:
    // Before a search: the sets describe slots[0, limit) at pattern p, row r (asked for every
    // note: the sets are mostly right already).
    void sync(const NoteSlot* slots, int limit, int p, int r)
    {
        if (valid_ && limit == limit_ && p == pattern_ && r == row_) return;
        resync(slots, limit, p, r);
    }
    void invalidate() { valid_ = false; }
    // The first free slot not written in this row, -1 when none.
    int free_slot() const
    {
        for (size_t w = 0; w < words_; ++w)
            if (const uint64_t b = free_bits_[w] & ~row_bits_[w]) return int(w * 64) + std::countr_zero(b);
        return -1;
    }
    // The first slot sounding `key`, -1 when none (also when there are no slots: a note-off on a
    // track that plays no note, such as a "panic" before the first note).
    int sounding(int key) const
    {
        if (words_ == 0) return -1;
        const uint64_t* k = &key_bits_[size_t(key) * words_];
        for (size_t w = 0; w < words_; ++w)
            if (k[w]) return int(w * 64) + std::countr_zero(k[w]);
        return -1;
    }
    // The table's slot i now holds `slot` (written at the synced row).
    void changed(int i, const NoteSlot& before, const NoteSlot& slot)
    {
        if (before.busy) clear(key_bits_, size_t(before.key) * words_ * 64 + size_t(i));
        if (slot.busy) {
            set(key_bits_, size_t(slot.key) * words_ * 64 + size_t(i));
            clear(free_bits_, size_t(i));
        } else {
            set(free_bits_, size_t(i));
        }
        set(row_bits_, size_t(i));
        if (later(pattern_, row_, latest_pattern_, latest_row_)) {
            latest_pattern_ = pattern_;
            latest_row_ = row_;
        }
    }

private:
    void resync(const NoteSlot* slots, int limit, int p, int r)
    {
        if (!valid_ || limit != limit_) rebuild(slots, limit);
        if (p != pattern_ || r != row_) {
            pattern_ = p;
            row_ = r;
            std::fill(row_bits_.begin(), row_bits_.end(), 0);
            // A row after every slot's last event (the usual case: time runs forward) has none.
            if (later(p, r, latest_pattern_, latest_row_)) return;
            for (int i = 0; i < limit_; ++i)
                if (slots[i].pattern == p && slots[i].row == r) set(row_bits_, i);
        }
    }
    static bool later(int p, int r, int than_p, int than_r) { return p > than_p || (p == than_p && r > than_r); }
    static void set(std::vector<uint64_t>& v, size_t i) { v[i / 64] |= uint64_t(1) << (i % 64); }
    static void clear(std::vector<uint64_t>& v, size_t i) { v[i / 64] &= ~(uint64_t(1) << (i % 64)); }
    void rebuild(const NoteSlot* slots, int limit)
    {
        limit_ = limit;
        words_ = (size_t(limit) + 63) / 64;
        free_bits_.assign(words_, 0);
        row_bits_.assign(words_, 0);
        key_bits_.assign(words_ * 128, 0);
        latest_pattern_ = latest_row_ = std::numeric_limits<int>::min();
        for (int i = 0; i < limit; ++i) {
            if (slots[i].busy)
                set(key_bits_, size_t(slots[i].key) * words_ * 64 + size_t(i));
            else
                set(free_bits_, size_t(i));
            if (later(slots[i].pattern, slots[i].row, latest_pattern_, latest_row_)) {
                latest_pattern_ = slots[i].pattern;
                latest_row_ = slots[i].row;
            }
        }
        pattern_ = row_ = -2; // no row: the row set is made at the next sync
        valid_ = true;
    }
    bool valid_ = false;
    int limit_ = 0;
    size_t words_ = 0;
    int pattern_ = -2, row_ = -2;
    int latest_pattern_ = 0, latest_row_ = 0; // the latest position of a slot's last event
    std::vector<uint64_t> free_bits_, row_bits_, key_bits_; // key_bits_: 128 sets of words_ words
};

// The hooks of a native MIDI conversion's reading: the placement's own for the header, tracks,
// notes, programs and tempos, the listing's for every other event.
class NotePlacement : public MidiListing {
public:
    // The pass is the driver's choice before the run (song.pass_number, midi.extra_channels).
    NotePlacement(Conversion& conversion, SmfReader& reader)
        : MidiListing(reader), c(conversion), first_(c.song.pass_number == 0 && c.midi.extra_channels == 0),
          second_(c.song.pass_number != 0 && c.midi.extra_channels == 0)
    {
    }
    void Mf_on_header(int format, int tracks, int division) override;
    void Mf_on_track_start() override;
    void Mf_on_track_end() override;
    void Mf_on_note_on(int channel, int key, int velocity) override;
    void Mf_on_note_off(int channel, int key, int velocity) override;
    void Mf_on_program(int channel, int program) override;
    void Mf_on_tempo(long microseconds_per_quarter) override;

private:
    void note(int channel, int key, int velocity, bool listing);
    bool first_pass() const { return first_; }
    bool second_pass() const { return second_; }
    MidiTrackRecord* current_track();
    MidiTrackRecord* note_track();
    void make_track_record();
    void use_program(int program);
    bool place_event(int64_t t, Place& out);
    void mark_pattern_played();
    bool find_place(int64_t t);
    void write_note_cell(int channel, int key, int velocity, int slot, const Place& at);
    void write_short_note_off(int channel, int key, int slot);
    void set_slot(int i, const NoteSlot& slot);
    Conversion& c;
    const bool first_, second_;
    SlotIndex slots_;
    // The record of track record_index_ (note_track), kept while the track is read.
    MidiTrackRecord* record_ = nullptr;
    int record_index_ = std::numeric_limits<int>::min();
    // The place of the events at kept_tick_ (find_place): the events of a chord share their tick.
    bool place_kept_ = false;
    int64_t kept_tick_ = 0;
    int kept_pattern_ = 0, kept_row_ = 0;
    Place kept_place_;
};

void NotePlacement::set_slot(int i, const NoteSlot& slot)
{
    NoteSlot& sl = c.midi.slot_table[i];
    slots_.changed(i, sl, slot);
    sl = slot;
}

// The record of the track being read, or null (a track beyond those the first pass counted, or
// a track without a header before it).
MidiTrackRecord* NotePlacement::current_track()
{
    MidiState& ms = c.midi;
    if (!ms.track_table || reader_.at.track_index < 0 || reader_.at.track_index >= ms.tracks_read) return nullptr;
    return &ms.track_table[reader_.at.track_index];
}

// current_track for the events of a track: the record changes only where a track starts or ends.
MidiTrackRecord* NotePlacement::note_track()
{
    if (reader_.at.track_index != record_index_) {
        record_ = current_track();
        record_index_ = reader_.at.track_index;
    }
    return record_;
}

// First pass: a record for the track about to be read; the table grows when the file holds more
// tracks than its header announced (the count is never trusted for the allocation).
void NotePlacement::make_track_record()
{
    MidiState& ms = c.midi;
    if (reader_.at.track_index >= ms.track_capacity) {
        int capacity = std::max(first_track_records, ms.track_capacity * 2);
        MidiTrackRecord* grown = pool_array<MidiTrackRecord>(c.pool, size_t(capacity));
        if (ms.track_table)
            std::memcpy(grown, ms.track_table, sizeof(MidiTrackRecord) * size_t(ms.track_capacity));
        ms.track_table = grown;
        ms.track_capacity = capacity;
    }
    ms.track_table[reader_.at.track_index] = MidiTrackRecord();
    if (ms.tracks_read < reader_.at.track_index + 1) ms.tracks_read = reader_.at.track_index + 1;
}

// Under dopchange, a program (0-127, or 128 + a drum key) in use: the first pass gives it the
// next instrument number, the later passes name that instrument's XI file after it.
void NotePlacement::use_program(int program)
{
    Song& s = c.song;
    if (first_pass()) {
        if (s.wave_map[program] == 0) {
            ++s.wave_count;
            s.wave_map[program] = s.wave_count;
        }
        return;
    }
    const int i = s.wave_map[program];
    if (i > 0 && i < s.instrument_count && s.instrument_table) s.instrument_table[i].wave_number = program + 1;
}

// floor(x), through the integer conversion where that is exact (0 <= x < 2^52): without SSE4.1
// std::floor is a library call, and it runs twice for every note.
double floor_fast(double x) { return x >= 0 && x < 4503599627370496.0 ? double(int64_t(x)) : std::floor(x); }

// Additional and second pass: the pattern, row and note delay of an event at tick t. False when
// the event is dropped (before the song's start).
bool NotePlacement::place_event(int64_t t, Place& out)
{
    Song& s = c.song;
    if ((!place_kept_ || t != kept_tick_) && !find_place(t)) return false;
    s.cur_pattern = kept_pattern_;
    s.cur_row = kept_row_;
    out = kept_place_;
    if (second_pass()) mark_pattern_played();
    return true;
}

// Second pass: the current machine plays its own pattern cur_pattern.
void NotePlacement::mark_pattern_played()
{
    Song& s = c.song;
    if (s.machine_table && s.cur_machine >= 1 && s.cur_machine < s.machine_count && s.machine_table[s.cur_machine].track_patterns)
        s.machine_table[s.cur_machine].track_patterns[s.cur_pattern].number = s.cur_pattern + 1;
}

// The place of tick t, worked out: kept for the next events at that tick (a tick's place does not
// change after the first pass), unless it was reported as a position error, which every event
// there then reports again.
bool NotePlacement::find_place(int64_t t)
{
    const Song& s = c.song;
    const int blines = c.settings.blines;
    place_kept_ = false;
    const double p = midi_position(c, t);
    if (p < 0) return false;
    bool error = false;
    double pattern = floor_fast(p / blines);
    if (pattern >= s.pattern_count) {
        log_forced(c.log, "\nPosition error (%d=pat>=bpatts=%d)!!!!\n", int(std::min(pattern, 2147483647.0)),
                  s.pattern_count);
        pattern = s.pattern_count - 1;
        error = true;
    }
    const double whole = floor_fast(p);
    double row = whole - pattern * blines;
    if (row < 0 || row >= blines) {
        log_forced(c.log, "\nPosition error bline=%d (%d)!!!!\n", int(std::clamp(row, -2147483647.0, 2147483647.0)),
                  blines);
        row = 0;
        error = true;
    }
    kept_pattern_ = int(pattern);
    kept_row_ = int(row);
    kept_place_ = Place();
    if (c.settings.use_notedels) {
        const int d = int((p - whole) * 16);
        if (d != 0) {
            kept_place_.effect = note_delay_effect;
            kept_place_.value = uint8_t(d);
        }
    }
    kept_tick_ = t;
    place_kept_ = !error;
    return true;
}

// Second pass: writes the cell of a note-on (velocity > 0) or note-off on slot `slot`.
void NotePlacement::write_note_cell(int channel, int key, int velocity, int slot, const Place& at)
{
    Song& s = c.song;
    const Settings& st = c.settings;
    MidiState& ms = c.midi;
    int n = key + st.ptranspo;
    int w;
    if (!st.dopchange) {
        w = channel + 1;
    } else if (channel != midi_drum_channel) {
        w = s.wave_map[ms.channel_programs[channel].program] + 1;
        if (velocity > 0 && log_shows(c.log)) log_print(c.log, " instr: %d", w);
    } else if (!st.drkit) {
        n = st.drfollow ? key + st.drtranspo : drum_note + st.drtranspo;
        w = s.wave_map[drum_program_base + key] + 1;
    } else {
        w = 1;
        if (velocity > 0 && s.instrument_table && s.instrument_count > 0) s.instrument_table[0].wave_number = 1;
    }
    if (st.dopfun == 8) {
        ChannelProgram& cp = ms.channel_programs[channel];
        ms.midi_out_channel = uint8_t(channel + 1);
        ms.midi_out_program = 255;
        if (cp.changed && channel != midi_drum_channel) {
            ms.midi_out_program = uint8_t(cp.program);
            cp.changed = 0;
        }
    }
    s.cur_track = slot;
    if (velocity > 0)
        write_cell(c, convert_note(c.song, c.settings.transpo, n), uint8_t(w), uint8_t(velocity * 2), at.effect, at.value);
    else
        write_cell(c, 255, uint8_t(w), 255, at.effect, at.value);
}

// Second pass: the note-off of a note that ends in the row it starts in, which would overwrite its
// note-on there. It goes to the slot's next row (the note sounds for one row), where the slot holds
// nothing yet: events come in time order, and the slot's next note, if it comes in that row,
// overwrites it (it ends the note anyway). There is none after the song's last row.
void NotePlacement::write_short_note_off(int channel, int key, int slot)
{
    Song& s = c.song;
    const int pattern = s.cur_pattern, row = s.cur_row;
    const bool next_pattern = row + 1 >= c.settings.blines;
    if (next_pattern && pattern + 1 >= s.pattern_count) return;
    s.cur_pattern = next_pattern ? pattern + 1 : pattern;
    s.cur_row = next_pattern ? 0 : row + 1;
    mark_pattern_played();
    write_note_cell(channel, key, 0, slot, Place());
    s.cur_pattern = pattern;
    s.cur_row = row;
}

} // namespace

void midi_read_pass(Conversion& c, SmfReader& reader)
{
    smf_decode(reader);
    NotePlacement hooks(c, reader);
    smf_replay(reader, hooks);
}

namespace {

long double start_tick(const Conversion& c) { return c.settings.do_firstnote0 ? (long double)c.midi.first_note_time : 0.0L; }

// Rows per tick when the rows follow the beat.
long double beat_rows_per_tick(const Conversion& c)
{
    const Settings& st = c.settings;
    return (long double)st.midi_tpb * st.midi_res * st.midi_scale / c.midi.division;
}

long double position(const Conversion& c, long double t)
{
    const Settings& st = c.settings;
    if (midi_follows_tempos(c)) return (t - start_tick(c)) * beat_rows_per_tick(c) + st.midi_shift;
    return (long double)c.song.tempo * (t - start_tick(c)) * c.song.bpm * st.midi_tpb / 4 * 4 * st.midi_scale +
           st.midi_shift;
}

} // namespace

bool midi_follows_tempos(const Conversion& c) { return c.settings.midi_tempos && c.midi.smpte_ticks_per_second == 0; }

float midi_position(const Conversion& c, int64_t t)
{
    long double p = position(c, (long double)t);
    // Far outside any song: held where a float still holds it.
    if (!(p > -1e30L)) p = -1e30L;
    if (p > 1e30L) p = 1e30L;
    return float(midi_whole(double(p), midi_row_noise));
}

double midi_whole(double x, double noise)
{
    const double whole = std::round(x);
    return std::fabs(x - whole) <= noise ? whole : x;
}

int midi_tempo_bpm(long microseconds_per_quarter)
{
    return int(midi_whole(60000000.0 / double(microseconds_per_quarter), midi_bpm_noise));
}

double midi_row_tick(const Conversion& c, double row)
{
    const Settings& st = c.settings;
    const long double per_tick = midi_follows_tempos(c)
                                     ? beat_rows_per_tick(c)
                                     : (long double)c.song.tempo * c.song.bpm * st.midi_tpb * st.midi_scale;
    if (!(per_tick > 0)) return double(start_tick(c));
    return double(start_tick(c) + (row - st.midi_shift) / per_tick);
}

int midi_settle_tempo_map(Conversion& c)
{
    MidiState& ms = c.midi;
    MidiTempoEvent* m = ms.tempo_map;
    int n = ms.tempo_count;
    // Tracks are read one after the other: the events of a format-1 file come in track order.
    std::stable_sort(m, m + n, [](const MidiTempoEvent& a, const MidiTempoEvent& b) { return a.tick < b.tick; });
    int kept = 0;
    for (int i = 0; i < n; ++i) {
        if (i + 1 < n && m[i + 1].tick == m[i].tick) continue; // a later event at the same tick wins
        const int before = kept ? m[kept - 1].microseconds : midi_default_tempo;
        if (m[i].microseconds == before && (kept || m[i].tick > 0)) continue;
        m[kept++] = m[i];
    }
    if (kept == 0 || m[0].tick > 0) {
        // The map starts at tick 0: with the MIDI default when the file names no tempo there.
        if (kept == ms.tempo_capacity) {
            MidiTempoEvent* grown = pool_array<MidiTempoEvent>(c.pool, size_t(kept) + 1);
            if (kept > 0) std::memcpy(grown + 1, m, sizeof(MidiTempoEvent) * size_t(kept)); // no map yet at 0
            ms.tempo_map = m = grown;
            ms.tempo_capacity = kept + 1;
        } else {
            std::memmove(m + 1, m, sizeof(MidiTempoEvent) * size_t(kept));
        }
        m[0] = MidiTempoEvent{0, midi_default_tempo, 0};
        ++kept;
    }
    // Seconds at each change, for the time of any tick.
    for (int i = 1; i < kept; ++i)
        m[i].seconds = m[i - 1].seconds + double(m[i].tick - m[i - 1].tick) * m[i - 1].microseconds / 1e6 / ms.division;
    ms.tempo_count = kept;
    return kept - 1;
}

double midi_tick_seconds(const Conversion& c, double t)
{
    const MidiState& ms = c.midi;
    if (ms.smpte_ticks_per_second > 0) return t / ms.smpte_ticks_per_second;
    if (!midi_follows_tempos(c) || ms.tempo_count == 0) return t * double(c.song.tempo) * 60.0;
    const MidiTempoEvent* m = ms.tempo_map;
    const MidiTempoEvent* at =
        std::upper_bound(m + 1, m + ms.tempo_count, t, [](double x, const MidiTempoEvent& e) { return x < double(e.tick); }) - 1;
    return at->seconds + (t - double(at->tick)) * at->microseconds / 1e6 / ms.division;
}

std::vector<MidiBpmChange> midi_bpm_changes(const Conversion& c, int64_t rows, int* beyond)
{
    const MidiState& ms = c.midi;
    const Settings& st = c.settings;
    std::vector<int64_t> bounds{0};
    for (int i = 1; i < ms.tempo_count; ++i) {
        const long double p = std::floor(midi_whole(double(position(c, (long double)ms.tempo_map[i].tick)), midi_row_noise));
        if (p >= (long double)rows) break;
        if (p > (long double)bounds.back()) bounds.push_back(int64_t(p));
    }
    bounds.push_back(rows);
    // The time the file gives a row position, from the song's row 0, stretched by midi_scale.
    const double zero = midi_tick_seconds(c, midi_row_tick(c, 0));
    auto file_time = [&](int64_t row) { return (midi_tick_seconds(c, midi_row_tick(c, double(row))) - zero) * st.midi_scale; };
    auto whole = [](double bpm) { return int(std::clamp(bpm, double(master_bpm_low), double(master_bpm_high))); };
    std::vector<MidiBpmChange> out;
    auto set = [&](int64_t row, int bpm) {
        if (out.empty() || out.back().bpm != bpm) out.push_back({row, bpm});
    };
    double song_time = 0;
    for (size_t i = 0; i + 1 < bounds.size(); ++i) {
        const int64_t a = bounds[i], b = bounds[i + 1];
        // The BPM that ends the stretch where the file's time does (its first row may hold the
        // end of the tempo before).
        const double left = file_time(b) - song_time;
        const double exact = left > 0 ? double(b - a) * 60.0 / (st.midi_tpb * left) : master_bpm_high;
        int bpm = whole(std::round(std::min(exact, 1e9)));
        set(a, bpm);
        song_time += 60.0 / (st.midi_tpb * bpm);
        if (b - a < 2) continue;
        // After its first row the stretch has one tempo; where no whole BPM is that tempo, the BPM
        // steps between the two around it whenever the song has drifted half a row from the file.
        const double from = file_time(a + 1), per_row = (file_time(b) - from) / double(b - a - 1);
        const double tempo = per_row > 0 ? 60.0 / (st.midi_tpb * per_row) : master_bpm_high;
        const int slow = whole(std::floor(tempo)), fast = whole(std::ceil(tempo));
        if (beyond && (tempo < master_bpm_low - 1e-6 || tempo > master_bpm_high + 1e-6)) ++*beyond;
        for (int64_t r = a + 1; r < b; ++r) {
            const double late = song_time - (from + double(r - a - 1) * per_row), half_row = 30.0 / (st.midi_tpb * bpm);
            if (slow != fast && late > half_row && bpm != fast) set(r, bpm = fast);
            else if (slow != fast && late < -half_row && bpm != slow) set(r, bpm = slow);
            song_time += 60.0 / (st.midi_tpb * bpm);
        }
    }
    return out;
}

const MidiTrackRecord* midi_machine_track(const Conversion& c, int m)
{
    const MidiState& ms = c.midi;
    if (!ms.track_table || m < 1 || m > ms.tracks_read) return nullptr;
    const int t = ms.track_table[m - 1].track_of_machine;
    if (t < 0 || t >= ms.tracks_read) return nullptr;
    return &ms.track_table[t];
}

void NotePlacement::Mf_on_header(int format, int tracks, int division)
{
    MidiState& ms = c.midi;
    Song& s = c.song;
    if (first_pass()) {
        if ((division & 0x8000) ? (division & 0xFF) == 0 : division == 0)
            job_abort("MIDI file with division 0 (no ticks per quarter note)");
        ms.header_seen = 1;
        ms.division = division;
        if (c.settings.do_firstnote0) ms.first_note_time = -1;
        // Until a tempo event at tick 0 says otherwise: 120 BPM.
        s.bpm = 60000000 / midi_default_tempo;
        if (division & 0x8000) {
            const int frames = -int(int8_t(uint8_t(division >> 8)));
            const double fps = frames == 29 ? 29.97 : double(frames);
            ms.smpte_ticks_per_second = fps * (division & 0xFF);
            s.tempo = float(1.0 / ms.smpte_ticks_per_second / 60.0);
        } else {
            ms.smpte_ticks_per_second = 0;
            s.tempo = float(midi_default_tempo / 1000000.0 / division / 60.0);
        }
    } else if (ms.extra_channels) {
        int most = 0;
        for (int t = 0; t < ms.tracks_read; ++t)
            if (ms.track_table[t].machine) most = std::max(most, ms.track_table[t].polyphony);
        ms.notes_max = std::max(most, 1);
        log_print(c.log, "notes_max=%d\n", ms.notes_max);
        ms.slot_capacity = ms.notes_max + ms.extra_channels;
        ms.slot_table = pool_array<NoteSlot>(c.pool, size_t(ms.slot_capacity));
    }
    s.cur_machine = 1;
    log_print(c.log, "Header format=%d ntrks=%d division=%d  maxtime= %lld\n", format, tracks, ms.division,
              static_cast<long long>(ms.last_note_time));
}

void NotePlacement::Mf_on_track_start()
{
    MidiState& ms = c.midi;
    if (first_pass()) {
        if (ms.header_seen) make_track_record();
    } else {
        MidiTrackRecord* rec = current_track();
        c.song.cur_machine = rec ? rec->machine : 0;
        if (rec) {
            rec->added_channels = 0;
            const int n = std::min(rec->polyphony + ms.extra_channels, ms.slot_capacity);
            for (int i = 0; i < n; ++i) ms.slot_table[i] = NoteSlot();
        }
        slots_.invalidate();
    }
    record_index_ = std::numeric_limits<int>::min(); // the first pass has just made the record
    ms.notes_on = ms.track_max_poly = 0;
    log_print(c.log, "%2d Track start\n", reader_.at.track_index);
}

void NotePlacement::Mf_on_track_end()
{
    MidiState& ms = c.midi;
    Song& s = c.song;
    MidiTrackRecord* rec = current_track();
    if (rec && first_pass()) {
        rec->polyphony = ms.track_max_poly;
        if (ms.track_max_poly != 0) {
            rec->machine = s.cur_machine;
            ms.track_table[s.cur_machine - 1].track_of_machine = reader_.at.track_index;
            ++s.cur_machine;
        } else {
            rec->machine = 0;
        }
    } else if (rec && ms.extra_channels) {
        rec->polyphony += rec->added_channels;
    }
    log_print(c.log, "%2d Track end (TrackPolyphonie %d, Machine %d)\n\n", reader_.at.track_index, ms.track_max_poly,
              rec ? rec->machine : 0);
}

void NotePlacement::Mf_on_program(int channel, int program)
{
    Song& s = c.song;
    MidiState& ms = c.midi;
    time_prefix();
    if (log_shows(c.log)) {
        if (channel < 0)
            log_print(c.log, "Drum %d", program - drum_program_base);
        else
            log_print(c.log, "Program, chan=%d program=%d", channel + 1, program);
    }
    // A program byte with bit 7 set is no program (only a status byte carries that bit).
    if (program < 0 || program > 255 || (channel >= 0 && program >= drum_program_base)) {
        if (log_shows(c.log)) log_print(c.log, "\n");
        return;
    }
    if (c.settings.dopchange && s.wave_map) {
        use_program(program);
        if (log_shows(c.log)) log_print(c.log, " mapped to %d", s.wave_map[program]);
    }
    if (channel >= 0 && first_pass()) {
        const int64_t t = reader_.at.current_ticks;
        if (ms.first_program[channel] < 0 || t < ms.first_program_tick[channel]) {
            ms.first_program[channel] = program;
            ms.first_program_tick[channel] = t;
        }
    }
    ChannelProgram& cp = ms.channel_programs[channel < 0 ? midi_drum_channel : channel];
    cp.program = program;
    cp.changed = 1;
    if (log_shows(c.log)) log_print(c.log, "\n");
}

void NotePlacement::Mf_on_tempo(long microseconds_per_quarter)
{
    MidiState& ms = c.midi;
    Song& s = c.song;
    ms.midi_tempo = int(microseconds_per_quarter);
    if (first_pass() && ms.header_seen && microseconds_per_quarter > 0) {
        if (ms.tempo_count == ms.tempo_capacity) {
            const int capacity = std::max(16, ms.tempo_capacity * 2);
            MidiTempoEvent* grown = pool_array<MidiTempoEvent>(c.pool, size_t(capacity));
            if (ms.tempo_map) std::memcpy(grown, ms.tempo_map, sizeof(MidiTempoEvent) * size_t(ms.tempo_count));
            ms.tempo_map = grown;
            ms.tempo_capacity = capacity;
        }
        ms.tempo_map[ms.tempo_count++] = MidiTempoEvent{reader_.at.current_ticks, int(microseconds_per_quarter), 0};
    }
    if (reader_.at.current_ticks == 0 && first_pass() && ms.division > 0 && microseconds_per_quarter > 0) {
        s.bpm = midi_tempo_bpm(microseconds_per_quarter);
        // The rows are timed at the tempo of the song's BPM when the file's BPM counts as that
        // whole number (428571 us: 60000000 / 140 us), so that they fall on the file's beats (the
        // file's 140.00014 BPM would put beat 200 at row 3199.997); any other tempo is the file's.
        const double bpm = 60000000.0 / double(microseconds_per_quarter);
        const double us = midi_whole(bpm, midi_bpm_noise) != bpm ? 60000000.0 / s.bpm : double(microseconds_per_quarter);
        if (ms.smpte_ticks_per_second == 0) s.tempo = float(us / 1000000.0 / ms.division / 60.0);
    }
    time_prefix();
    log_print(c.log, "Tempo, microseconds-per-MIDI-quarter-note=%ld\n", microseconds_per_quarter);
}

// The log is asked once per note event (the innermost loop of a conversion): when it shows
// nothing at the event's start, nothing of the event is shown.
void NotePlacement::Mf_on_note_off(int channel, int key, int velocity)
{
    const bool listing = log_shows(c.log);
    if (listing) {
        print_time();
        log_print(c.log, "Note off, chan=%d pitch=%d vol=%d\n-->", channel + 1, key, velocity);
    }
    note(channel, key, 0, listing);
}

void NotePlacement::Mf_on_note_on(int channel, int key, int velocity) { note(channel, key, velocity, log_shows(c.log)); }

// A note-on (velocity > 0) or note-off; `listing`: the log shows the event.
void NotePlacement::note(int channel, int key, int velocity, bool listing)
{
    if (key > 127) return;
    // Velocities above 127 are no velocities; doubled they would wrap round to quiet volumes.
    if (velocity > 127) velocity = 127;
    MidiState& ms = c.midi;
    Song& s = c.song;
    const Settings& st = c.settings;
    const bool drums = channel == midi_drum_channel;
    if (st.dopchange && !st.drkit && drums) Mf_on_program(-1, drum_program_base + key);

    const int64_t t = reader_.at.current_ticks;
    const bool first = first_pass();
    if (first) {
        if (velocity > 0) ms.keys_played[channel][key >> 3] |= uint8_t(1u << (key & 7));
        if (st.do_firstnote0) ms.first_note_time = ms.first_note_time == -1 ? t : std::min(ms.first_note_time, t);
        ms.last_note_time = std::max(ms.last_note_time, t);
    }
    // A channel that never had a program plays program 0, which then needs a wave of its own
    // (wave 1 belongs to the drum kit).
    if (st.dopchange && velocity > 0 && !drums && s.wave_map) use_program(ms.channel_programs[channel].program);
    if (listing) print_time();
    Place at;
    if (!first && !place_event(t, at)) {
        if (second_pass() && velocity > 0) ++ms.notes_before_start;
        return;
    }

    // The slots of the track's machine (a track without notes has none, or only the borrowed ones
    // of the additional pass: a note-off there finds no note).
    MidiTrackRecord* rec = note_track();
    const bool slots = !first && rec && ms.slot_table;
    const int limit = slots ? std::min(rec->polyphony + ms.extra_channels, ms.slot_capacity) : 0;
    int slot = -1;
    if (velocity > 0) {
        ++ms.notes_on;
        ms.track_max_poly = std::max(ms.track_max_poly, ms.notes_on);
        if (limit > 0 && rec->machine) {
            slots_.sync(ms.slot_table, limit, s.cur_pattern, s.cur_row);
            slot = slots_.free_slot();
            if (slot < 0) {
                slot = limit - 1;
                ++ms.suppressed_notes;
                log_forced(c.log, "OnNote error!!!\n");
            }
            if (slot >= rec->polyphony + rec->added_channels) {
                rec->added_channels = slot - rec->polyphony + 1;
                log_print(c.log, "\nTrack: %d  with polyphonie: %d added %d Channels\n", reader_.at.track_index, rec->polyphony,
                          rec->added_channels);
            }
            if (second_pass()) write_note_cell(channel, key, velocity, slot, at);
            set_slot(slot, NoteSlot{key, 1, s.cur_pattern, s.cur_row});
        }
    } else {
        if (slots) {
            slots_.sync(ms.slot_table, limit, s.cur_pattern, s.cur_row);
            slot = slots_.sounding(key);
            if (slot < 0) {
                log_forced(c.log, "\nOffNote error!!!\n");
            } else {
                const NoteSlot& sl = ms.slot_table[slot];
                if (sl.pattern == s.cur_pattern && sl.row == s.cur_row) {
                    ++ms.short_notes;
                    if (st.dolist) {
                        log_forced(c.log, "\nNote off in same Row (%d,%d,%d)!", s.cur_pattern, s.cur_row, slot);
                    }
                    if (second_pass()) write_short_note_off(channel, key, slot);
                } else if (second_pass()) {
                    write_note_cell(channel, key, 0, slot, at);
                }
                set_slot(slot, NoteSlot{sl.key, 0, s.cur_pattern, s.cur_row});
            }
        }
        if (ms.notes_on > 0) --ms.notes_on;
    }
    if (listing)
        log_print(c.log, "Note on, chan=%d pitch=%d vol=%d :(%d,%d,%d) poly: %d\n", channel + 1, key, velocity,
                  s.cur_pattern, s.cur_row, slot, ms.notes_on);
}
