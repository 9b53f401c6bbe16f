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

bool pattern_in_table(Conversion& c, int p) { return c.song.pattern_table && p >= 0 && p < c.song.pattern_count; }

bool channel_in_range(Conversion& c, int ch) { return ch >= 0 && ch < c.song.channel_count; }

// The instrument last seen on the channel; channels outside the table have none.
int channel_instrument(Conversion& c, int ch)
{
    return c.song.channel_instrument && channel_in_range(c, ch) ? c.song.channel_instrument[ch] : 0;
}

void set_channel_instrument(Conversion& c, int ch, int i)
{
    if (c.song.channel_instrument && channel_in_range(c, ch)) c.song.channel_instrument[ch] = uint8_t(i);
}

// dotsplit 2: the instrument given last on channel c in pattern p (0 = none).
uint8_t* pattern_channel_entry(Conversion& c, int p, int ch)
{
    if (!c.song.pattern_channel_instrument || !pattern_in_table(c, p) || !channel_in_range(c, ch)) return nullptr;
    return &c.song.pattern_channel_instrument[size_t(p) * size_t(c.song.channel_count) + size_t(ch)];
}

bool instrument_in_table(Conversion& c, int i) { return c.song.instrument_table && i >= 1 && i <= c.song.instrument_count; }

void mark_used(Conversion& c, int machine, int pattern)
{
    if (!c.song.machine_table || machine < 0 || machine >= c.song.machine_count) return;
    PatternData* tp = c.song.machine_table[machine].track_patterns;
    if (tp && pattern_in_table(c, pattern)) tp[pattern].number = pattern + 1;
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
int instrument_from_order(Conversion& c, int channel)
{
    int remembered = 0;
    const int length = c.song.song_length < c.song.order_list_room ? c.song.song_length : c.song.order_list_room;
    for (int e = 0; c.song.order_list && e < length; ++e) {
        int p = c.song.order_list[e].pattern;
        if (p == c.song.cur_pattern && remembered) return remembered;
        const uint8_t* x = pattern_channel_entry(c, p, channel);
        if (x && *x) remembered = *x;
    }
    return remembered;
}

// The speed and tempo effects: the Tracker's tick byte (with the default generator) and the BPM
// word of the Master's global row, computed through song.tempo.
void set_speed_or_bpm(Conversion& c, bool is_speed, int p)
{
    Song& s = c.song;
    if (is_speed) {
        s.speed = p;
        if (c.settings.dopfun == 0 && s.machine_table && s.machine_count > 1 && pattern_in_table(c, s.cur_pattern)) {
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

    if (!s.machine_table || s.machine_count < 1 || !pattern_in_table(c, s.cur_pattern)) return;
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
    mark_used(c, 0, s.cur_pattern);
}

// Pattern break to row r of the next pattern played. Only the first break of a pattern counts,
// and a pattern can start at one row only: the first target row given for it stays.
void pattern_break(Conversion& c, int r)
{
    Song& s = c.song;
    if (!pattern_in_table(c, s.cur_pattern)) return;
    PatternInfo& info = s.pattern_table[s.cur_pattern];
    if (s.cur_row < 0 || s.cur_row >= info.lines) return; // not a row of this pattern
    if (info.play_lines == info.lines) {
        info.play_lines = s.cur_row + 1;
        if (r == 0 || !s.order_list) return;
        const int length = s.song_length < s.order_list_room ? s.song_length : s.order_list_room;
        for (int k = 0; k + 1 < length; ++k) {
            if (s.order_list[k].pattern != s.cur_pattern) continue;
            OrderEntry& next = s.order_list[k + 1];
            // The writer shortens a copy of the target pattern by its start row: a target that
            // is not a row of that pattern is left out, and playback there starts at row 0.
            if (!pattern_in_table(c, next.pattern) || r >= s.pattern_table[next.pattern].lines) continue;
            PatternInfo& target = s.pattern_table[next.pattern];
            next.start_row = r;
            if (target.start_row == 0) {
                target.start_row = r;
                ++s.offset_pattern_count;
            } else if (target.start_row != r) {
                log_warning(c.log, "\nWarning: only one offset per pattern allowed!");
                log_forced(c.log, "\n");
                next.start_row = target.start_row;
            }
        }
    } else if (s.cur_row != info.play_lines - 1) {
        log_warning(c.log, "\nWarning: only one pattern break in pattern allowed, previous was on line %x!",
                  unsigned(info.play_lines - 1));
        log_warning(c.log, "\n(pattern: %x track: %x line: %x)", unsigned(s.cur_pattern), unsigned(s.cur_channel),
                  unsigned(s.cur_row));
    }
}

// The effect's name in a verbose listing.
void effect_name(Conversion& c, const char* name)
{
    if (log_active(c.log)) log_print(c.log, "%s", name);
}

// The tracker effect table: the Tracker's effect and value, and the effects that act on the song.
void translate_effect(Conversion& c, int type, int param, Event& ev)
{
    const int hi = (param >> 4) & 0x0F;
    const int lo = param & 0x0F;
    switch (type) {
    case 0:
        if (param != 0) effect_name(c, " Arpeggio?");
        break;
    case 1: effect_name(c, " PortaUp"); ev.effect = 4; ev.value = uint8_t(param); break;
    case 2: effect_name(c, " PortaDown"); ev.effect = 3; ev.value = uint8_t(param); break;
    case 3: effect_name(c, " TonePorta"); ev.effect = 5; ev.value = uint8_t(param * 2); break;
    case 4: effect_name(c, " Vibrato"); ev.effect = 6; ev.value = uint8_t(param); break;
    case 5: effect_name(c, " Pitch+VolSlide"); break;
    case 6: effect_name(c, " Vibrat+VolSlide"); break;
    case 7: effect_name(c, " Tremolo"); break;
    case 8: effect_name(c, " XM-Panning"); break;
    case 9: effect_name(c, " SampleOffset"); ev.effect = 10; ev.value = uint8_t(param); break;
    case 10: effect_name(c, " VolumeSlide"); ev.effect = hi != 0 ? 1 : 2; break;
    case 11: effect_name(c, " PositionJump"); break;
    case 12:
        effect_name(c, " SetVolume");
        ev.volume = c.settings.do_lnvol && param >= 1 ? log_volume(param) : uint8_t(param * 2);
        break;
    case 13: effect_name(c, " Patternbreak"); pattern_break(c, param); break;
    case 14:
        switch (hi) {
        case 0: effect_name(c, " SetFilter"); break;
        case 1: effect_name(c, " FineSlideUp"); break;
        case 2: effect_name(c, " FineSlideDown"); break;
        case 3: effect_name(c, " GlissandoControl"); break;
        case 4: effect_name(c, " SetVibratoWaveform"); break;
        case 5: effect_name(c, " SetFinetune"); ev.effect = 11; ev.value = uint8_t(lo); break;
        case 6: effect_name(c, " JumptoLoop"); break;
        case 7: effect_name(c, " SetTremoloWaveform"); break;
        case 8: effect_name(c, " NOTUSED"); break;
        case 9: effect_name(c, " RetrigNote"); ev.effect = 14; ev.value = uint8_t(lo); break;
        case 10: effect_name(c, " FineVolumeSlideUp"); break;
        case 11: effect_name(c, " FineVolumeSlideDown"); break;
        case 12: effect_name(c, " NoteCut"); ev.effect = 12; ev.value = uint8_t(lo); break;
        case 13: effect_name(c, " Notedelay"); ev.effect = 13; ev.value = uint8_t(lo); break;
        case 14: effect_name(c, " PatternDelay"); break;
        default: effect_name(c, " InvertLoop"); break;
        }
        break;
    case 15:
        if (param < 0x20) {
            effect_name(c, " SetSpeed");
            set_speed_or_bpm(c, true, param);
        } else {
            effect_name(c, " SetBPM");
            set_speed_or_bpm(c, false, param);
        }
        break;
    default: break; // further XM effects have no counterpart
    }
}

} // namespace

void translate_cell(Conversion& c, const TrackerCell& cell)
{
    const int note = cell.note, instrument = cell.instrument, volume = cell.volume, effect = cell.effect;
    int param = cell.param;
    Song& s = c.song;
    const bool by_instrument = c.settings.dotsplit == Split::by_instrument;
    const int channel = s.cur_channel;
    param &= 0xFF;

    // The first pass learns sizes only; the counting pass records where instruments play.
    if (s.pass_number == 0 && !s.counting_pass) return;
    if (s.counting_pass) {
        if (by_instrument && instrument_in_table(c, instrument) && instrument <= 255 && channel_in_range(c, channel)) {
            InstrumentRecord& ins = s.instrument_table[instrument - 1];
            if (ins.track_map) ins.track_map[channel] = 1;
            if (uint8_t* e = pattern_channel_entry(c, s.cur_pattern, channel)) *e = uint8_t(instrument);
        }
        return;
    }

    if (note == 0 && instrument == 0 && volume == 0 && effect == 0 && param == 0) {
        if (c.settings.dolist) log_print(c.log, "\n");
        return;
    }

    if (by_instrument && s.cur_row == 0) set_channel_instrument(c, channel, 0);

    Event ev;
    bool switched = false;
    int switched_from = 0;
    // Instruments are kept in one byte per channel; a number beyond it is no instrument.
    if (instrument_in_table(c, instrument) && instrument <= 255) {
        if (by_instrument) {
            int k = channel_instrument(c, channel);
            if (instrument != k) {
                switched = true;
                switched_from = k;
            }
            set_channel_instrument(c, channel, instrument);
        }
        ev.wave = uint8_t(s.instrument_table[instrument - 1].wave_number & 0xFF);
    }

    bool write_event = true;
    if (by_instrument) {
        int current = channel_instrument(c, channel);
        if (current == 0 || (switched && switched_from == 0)) {
            int taken = instrument_from_order(c, channel);
            if (taken) {
                if (current == 0) {
                    current = taken;
                    set_channel_instrument(c, channel, taken);
                }
                if (switched && switched_from == 0) switched_from = taken;
            }
        }
        // The instrument that played on this channel before is stopped where the new one starts.
        if (switched && instrument_in_table(c, switched_from)) {
            const InstrumentRecord& k = s.instrument_table[switched_from - 1];
            int m = k.machine;
            if (m >= 1 && m < s.machine_count && k.track_map && channel_in_range(c, channel)) {
                int t = k.track_map[channel] - 1;
                if (t >= 0 && t < s.machine_table[m].track_count) {
                    s.cur_machine = m;
                    s.cur_track = t;
                    write_cell(c, 255, 0, 255, 0, 0);
                    mark_used(c, m, s.cur_pattern);
                }
            }
        }
        if (!instrument_in_table(c, current)) {
            log_warning(c.log, "\nWarning: No instrument mapped (%x %x %x %x %x)", unsigned(note), unsigned(instrument),
                      unsigned(volume), unsigned(effect), unsigned(param));
            log_warning(c.log, "\n(pattern: %x track: %x line: %x)", unsigned(s.cur_pattern), unsigned(channel),
                      unsigned(s.cur_row));
            s.cur_machine = 1;
            write_event = false;
        } else {
            const InstrumentRecord& ins = s.instrument_table[current - 1];
            if (ins.machine < 1 || ins.machine >= s.machine_count) {
                log_forced(c.log, "Wrong machine: %d!!", ins.machine);
                return;
            }
            s.cur_machine = ins.machine;
            s.cur_track = ins.track_map && channel_in_range(c, channel) ? ins.track_map[channel] - 1 : -1;
            if (s.cur_track < 0 || s.cur_track >= s.machine_table[s.cur_machine].track_count)
                job_abort("Wrong track!!");
        }
    }

    if (note != 0) {
        const bool xm = s.frequency_mode == freq_xm_amiga || s.frequency_mode == freq_xm_linear;
        ev.note = xm && note == xm_key_off ? 255 : convert_note(s, c.settings.transpo, note);
    }

    if (volume >= 0x11 && volume <= 0x4F)
        ev.volume = c.settings.do_lnvol ? log_volume(volume - 16) : uint8_t((volume - 16) * 2);

    c.log.log_enabled = c.settings.verbose;
    translate_effect(c, effect, param, ev);

    if (!write_event) {
        c.log.log_enabled = c.settings.dolist;
        return;
    }
    if (log_active(c.log)) log_print(c.log, "-->");
    c.log.log_enabled = c.settings.dolist;
    if (log_active(c.log))
        log_print(c.log, " %2x %2x %2x %2x %2x\n", ev.note, ev.wave, ev.volume, ev.effect & 0x0F, ev.value);
    if (ev.note || ev.wave || (ev.effect & 0x0F) || ev.value) mark_used(c, s.cur_machine, s.cur_pattern);
    write_cell(c, ev.note, ev.wave, ev.volume, ev.effect, ev.value);
}
