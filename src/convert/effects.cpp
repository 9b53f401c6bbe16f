// Effect translation: one decoded tracker cell (note or MOD period, instrument, volume column,
// effect type, effect parameter) becomes one Buzz event in the song model. Notes, volumes and the
// tracker effects go onto a generator's track row through the cell writer; speed, tempo and
// pattern breaks act on the song: the Master's and the Tracker's global rows, the pattern table
// and the order list.
#include "convert/effects.h"

#include <cmath>
#include <cstdint>

#include "core/log.h"
#include "settings/settings.h"
#include "song/song.h"
#include "songwriter/generators.h"

namespace {

constexpr int xm_key_off = 97;

struct Event {
    uint8_t note = 0, wave = 0, volume = 255, effect = 0, value = 0;
};

bool pattern_in_table(int p) { return song.pattern_table && p >= 0 && p < song.pattern_count && p < max_patterns; }

bool channel_in_range(int c) { return c >= 0 && c < song.channel_count; }

// The instrument last seen on the channel; channels outside the table have none.
int channel_instrument(int c)
{
    return song.channel_instrument && channel_in_range(c) ? song.channel_instrument[c] : 0;
}

void set_channel_instrument(int c, int i)
{
    if (song.channel_instrument && channel_in_range(c)) song.channel_instrument[c] = uint8_t(i);
}

// dotsplit 2: the instrument given last on channel c in pattern p (0 = none).
uint8_t* pattern_channel_entry(int p, int c)
{
    if (!song.pattern_channel_instrument || !pattern_in_table(p) || !channel_in_range(c)) return nullptr;
    return &song.pattern_channel_instrument[size_t(p) * size_t(song.channel_count) + size_t(c)];
}

bool instrument_in_table(int i) { return song.instrument_table && i >= 1 && i <= song.instrument_count; }

void mark_used(int machine, int pattern)
{
    if (!song.machine_table || machine < 0 || machine >= song.machine_count) return;
    PatternData* tp = song.machine_table[machine].track_patterns;
    if (tp && pattern_in_table(pattern)) tp[pattern].number = pattern + 1;
}

// trunc(2 * (32 * log10(x / 64) + 64)): the logarithmic volume for x = 1..64 (more for SetVolume).
uint8_t log_volume(int x)
{
    double v = 2.0 * (32.0 * std::log10(double(x) / 64.0) + 64.0);
    if (v < 0) v = 0;
    if (v > 255) v = 255;
    return uint8_t(int(v));
}

// dotsplit 2, a channel with no current instrument (or one that switched from none): the
// instrument the song order leaves on this channel before the current pattern. The order list is
// walked from the start; each pattern passed leaves the last instrument it gave on the channel.
// On reaching the current pattern, what was remembered is taken; if nothing was, the walk goes on
// with the current pattern counted too, and ends with the last instrument remembered.
int instrument_from_order(int channel)
{
    int remembered = 0;
    const int length = song.song_length < order_list_size ? song.song_length : order_list_size;
    for (int e = 0; song.order_list && e < length; ++e) {
        int p = song.order_list[e].pattern;
        if (p >= max_patterns) continue;
        if (p == song.cur_pattern && remembered) return remembered;
        const uint8_t* x = pattern_channel_entry(p, channel);
        if (x && *x) remembered = *x;
    }
    return remembered;
}

// The speed and tempo effects: the Tracker's tick byte (with the default generator) and the BPM
// word of the Master's global row, computed through song.tempo.
void set_speed_or_bpm(bool is_speed, int p)
{
    Song& s = song;
    if (is_speed) {
        s.speed = p;
        if (settings.dopfun == 0 && s.machine_table && s.machine_count > 1 && pattern_in_table(s.cur_pattern)) {
            const MachineRecord& tracker = s.machine_table[1];
            if (tracker.global_patterns && tracker.global_row_bytes > 0 && s.cur_row >= 0 &&
                s.cur_row < s.pattern_table[s.cur_pattern].lines) {
                uint8_t* data = tracker.global_patterns[s.cur_pattern].data;
                if (data) data[size_t(s.cur_row) * size_t(tracker.global_row_bytes)] = uint8_t(p);
            }
        }
        if (p != 0) s.tempo = float(s.start_bpm) * 6.0f / float(p);
    } else if (s.speed != 0) {
        s.tempo = float(p) * 6.0f / float(s.speed);
    }

    if (!s.machine_table || s.machine_count < 1 || !pattern_in_table(s.cur_pattern)) return;
    const MachineRecord& master = s.machine_table[0];
    if (!master.global_patterns || master.global_row_bytes < 4 || s.cur_row < 0 ||
        s.cur_row >= s.pattern_table[s.cur_pattern].lines)
        return;
    uint8_t* row = master.global_patterns[s.cur_pattern].data;
    if (!row) return;
    row += size_t(s.cur_row) * size_t(master.global_row_bytes);
    // A tempo beyond the word (only from an absurd starting BPM) is written as the largest one.
    float t = s.tempo;
    unsigned bpm = t >= 65535.0f ? 65535u : t > 0.0f ? unsigned(t) : 0u;
    row[2] = uint8_t(bpm & 0xFF);
    row[3] = uint8_t(bpm >> 8);
    mark_used(0, s.cur_pattern);
}

// Pattern break to row r of the next pattern played. Only the first break of a pattern counts,
// and a pattern can start at one row only: the first target row given for it stays.
void pattern_break(int r)
{
    Song& s = song;
    if (!pattern_in_table(s.cur_pattern)) return;
    PatternInfo& info = s.pattern_table[s.cur_pattern];
    if (s.cur_row < 0 || s.cur_row >= info.lines) return; // not a row of this pattern
    if (info.play_lines == info.lines) {
        info.play_lines = s.cur_row + 1;
        if (r == 0 || !s.order_list) return;
        const int length = s.song_length < order_list_size ? s.song_length : order_list_size;
        for (int k = 0; k + 1 < length; ++k) {
            if (s.order_list[k].pattern != s.cur_pattern) continue;
            OrderEntry& next = s.order_list[k + 1];
            // The writer shortens a copy of the target pattern by its start row: a target that
            // is not a row of that pattern is left out, and playback there starts at row 0.
            if (!pattern_in_table(next.pattern) || r >= s.pattern_table[next.pattern].lines) continue;
            PatternInfo& target = s.pattern_table[next.pattern];
            next.start_row = r;
            if (target.start_row == 0) {
                target.start_row = r;
                ++s.offset_pattern_count;
            } else if (target.start_row != r) {
                log_state.log_force = 1;
                log_print("\nWarning: only one offset per pattern allowed!");
                log_state.log_force = 1;
                log_print("\n");
                next.start_row = target.start_row;
            }
        }
    } else if (s.cur_row != info.play_lines - 1) {
        log_state.log_force = 2;
        log_print("\nWarning: only one pattern break in pattern allowed, previous was on line %x!",
                  unsigned(info.play_lines - 1));
        log_print("\n(pattern: %x track: %x line: %x)", unsigned(s.cur_pattern), unsigned(s.cur_channel),
                  unsigned(s.cur_row));
    }
}

// The effect's name in a verbose listing.
void effect_name(const char* name)
{
    if (log_active()) log_print("%s", name);
}

// The tracker effect table: the Tracker's effect and value, and the effects that act on the song.
void translate_effect(int type, int param, Event& ev)
{
    const int hi = (param >> 4) & 0x0F;
    const int lo = param & 0x0F;
    switch (type) {
    case 0:
        if (param != 0) effect_name(" Arpeggio?");
        break;
    case 1: effect_name(" PortaUp"); ev.effect = 4; ev.value = uint8_t(param); break;
    case 2: effect_name(" PortaDown"); ev.effect = 3; ev.value = uint8_t(param); break;
    case 3: effect_name(" TonePorta"); ev.effect = 5; ev.value = uint8_t(param * 2); break;
    case 4: effect_name(" Vibrato"); ev.effect = 6; ev.value = uint8_t(param); break;
    case 5: effect_name(" Pitch+VolSlide"); break;
    case 6: effect_name(" Vibrat+VolSlide"); break;
    case 7: effect_name(" Tremolo"); break;
    case 8: effect_name(" XM-Panning"); break;
    case 9: effect_name(" SampleOffset"); ev.effect = 10; ev.value = uint8_t(param); break;
    case 10: effect_name(" VolumeSlide"); ev.effect = hi != 0 ? 1 : 2; break;
    case 11: effect_name(" PositionJump"); break;
    case 12:
        effect_name(" SetVolume");
        ev.volume = settings.do_lnvol && param >= 1 ? log_volume(param) : uint8_t(param * 2);
        break;
    case 13: effect_name(" Patternbreak"); pattern_break(param); break;
    case 14:
        switch (hi) {
        case 0: effect_name(" SetFilter"); break;
        case 1: effect_name(" FineSlideUp"); break;
        case 2: effect_name(" FineSlideDown"); break;
        case 3: effect_name(" GlissandoControl"); break;
        case 4: effect_name(" SetVibratoWaveform"); break;
        case 5: effect_name(" SetFinetune"); ev.effect = 11; ev.value = uint8_t(lo); break;
        case 6: effect_name(" JumptoLoop"); break;
        case 7: effect_name(" SetTremoloWaveform"); break;
        case 8: effect_name(" NOTUSED"); break;
        case 9: effect_name(" RetrigNote"); ev.effect = 14; ev.value = uint8_t(lo); break;
        case 10: effect_name(" FineVolumeSlideUp"); break;
        case 11: effect_name(" FineVolumeSlideDown"); break;
        case 12: effect_name(" NoteCut"); ev.effect = 12; ev.value = uint8_t(lo); break;
        case 13: effect_name(" Notedelay"); ev.effect = 13; ev.value = uint8_t(lo); break;
        case 14: effect_name(" PatternDelay"); break;
        default: effect_name(" InvertLoop"); break;
        }
        break;
    case 15:
        if (param < 0x20) {
            effect_name(" SetSpeed");
            set_speed_or_bpm(true, param);
        } else {
            effect_name(" SetBPM");
            set_speed_or_bpm(false, param);
        }
        break;
    default: break; // further XM effects have no counterpart
    }
}

} // namespace

void translate_cell(const TrackerCell& cell)
{
    const int note = cell.note, instrument = cell.instrument, volume = cell.volume, effect = cell.effect;
    int param = cell.param;
    Song& s = song;
    const bool by_instrument = settings.dotsplit == 2;
    const int channel = s.cur_channel;
    param &= 0xFF;

    // The first pass learns sizes only; the counting pass records where instruments play.
    if (s.pass_number == 0 && !s.counting_pass) return;
    if (s.counting_pass) {
        if (by_instrument && instrument_in_table(instrument) && instrument <= 255 && channel_in_range(channel)) {
            InstrumentRecord& ins = s.instrument_table[instrument - 1];
            if (ins.track_map) ins.track_map[channel] = 1;
            if (uint8_t* e = pattern_channel_entry(s.cur_pattern, channel)) *e = uint8_t(instrument);
        }
        return;
    }

    if (note == 0 && instrument == 0 && volume == 0 && effect == 0 && param == 0) {
        if (settings.dolist) log_print("\n");
        return;
    }

    if (by_instrument && s.cur_row == 0) set_channel_instrument(channel, 0);

    Event ev;
    bool switched = false;
    int switched_from = 0;
    // Instruments are kept in one byte per channel; a number beyond it is no instrument.
    if (instrument_in_table(instrument) && instrument <= 255) {
        if (by_instrument) {
            int k = channel_instrument(channel);
            if (instrument != k) {
                switched = true;
                switched_from = k;
            }
            set_channel_instrument(channel, instrument);
        }
        ev.wave = uint8_t(s.instrument_table[instrument - 1].wave_number & 0xFF);
    }

    bool write_event = true;
    if (by_instrument) {
        int current = channel_instrument(channel);
        if (current == 0 || (switched && switched_from == 0)) {
            int taken = instrument_from_order(channel);
            if (taken) {
                if (current == 0) {
                    current = taken;
                    set_channel_instrument(channel, taken);
                }
                if (switched && switched_from == 0) switched_from = taken;
            }
        }
        // The instrument that played on this channel before is stopped where the new one starts.
        if (switched && instrument_in_table(switched_from)) {
            const InstrumentRecord& k = s.instrument_table[switched_from - 1];
            int m = k.machine;
            if (m >= 1 && m < s.machine_count && k.track_map && channel_in_range(channel)) {
                int t = k.track_map[channel] - 1;
                if (t >= 0 && t < s.machine_table[m].track_count) {
                    s.cur_machine = m;
                    s.cur_track = t;
                    write_cell(255, 0, 255, 0, 0);
                    mark_used(m, s.cur_pattern);
                }
            }
        }
        if (!instrument_in_table(current)) {
            log_state.log_force = 2;
            log_print("\nWarning: No instrument mapped (%x %x %x %x %x)", unsigned(note), unsigned(instrument),
                      unsigned(volume), unsigned(effect), unsigned(param));
            log_print("\n(pattern: %x track: %x line: %x)", unsigned(s.cur_pattern), unsigned(channel),
                      unsigned(s.cur_row));
            s.cur_machine = 1;
            write_event = false;
        } else {
            const InstrumentRecord& ins = s.instrument_table[current - 1];
            if (ins.machine < 1 || ins.machine >= s.machine_count) {
                log_state.log_force = 1;
                log_print("Wrong machine: %d!!", ins.machine);
                return;
            }
            s.cur_machine = ins.machine;
            s.cur_track = ins.track_map && channel_in_range(channel) ? ins.track_map[channel] - 1 : -1;
            if (s.cur_track < 0 || s.cur_track >= s.machine_table[s.cur_machine].track_count)
                job_abort("Wrong track!!");
        }
    }

    if (note != 0) {
        const bool xm = s.frequency_mode == freq_xm_amiga || s.frequency_mode == freq_xm_linear;
        ev.note = xm && note == xm_key_off ? 255 : convert_note(note);
    }

    if (volume >= 0x11 && volume <= 0x4F)
        ev.volume = settings.do_lnvol ? log_volume(volume - 16) : uint8_t((volume - 16) * 2);

    log_state.log_enabled = settings.verbose;
    translate_effect(effect, param, ev);

    if (!write_event) {
        log_state.log_enabled = settings.dolist;
        return;
    }
    if (log_active()) log_print("-->");
    log_state.log_enabled = settings.dolist;
    if (log_active())
        log_print(" %2x %2x %2x %2x %2x\n", ev.note, ev.wave, ev.volume, ev.effect & 0x0F, ev.value);
    if (ev.note || ev.wave || (ev.effect & 0x0F) || ev.value) mark_used(s.cur_machine, s.cur_pattern);
    write_cell(ev.note, ev.wave, ev.volume, ev.effect, ev.value);
}
