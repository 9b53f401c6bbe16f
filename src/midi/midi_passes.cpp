// A MIDI file read by the program itself, through the conversion's passes: the first pass (sizes,
// polyphony per track), after it the song's length, machines and instruments and the additional
// pass that counts the extra channels notes need, and the second pass that places the notes. The
// layout then gives every pattern `blines` lines and each machine the polyphony of its MIDI track.
#include "midi/midi_passes.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "buzz/machines_ini.h"
#include "core/log.h"
#include "midi/note_placement.h"
#include "song/song.h"

void midi_pass(Conversion& c, int pass, SmfReader& file)
{
    Song& s = c.song;
    MidiState& ms = c.midi;
    ms.extra_channels = 0;
    if (pass == 0) {
        if (c.settings.blines < 1 || c.settings.blines > 65535) job_abort("Wrong pattern length!!");
        s.frequency_mode = freq_midi;
        if (c.settings.dopchange) {
            s.wave_count = 0;
            for (int i = 0; i < wave_map_size; ++i) s.wave_map[i] = 0;
        }
        c.log.log_enabled = 0;
        midi_read_pass(c, file);
        if (!ms.header_seen) job_abort("not a Standard MIDI File (no \"MThd\" header)");
        return;
    }
    c.log.log_enabled = c.settings.dolist;
    midi_read_pass(c, file);
    s.song_length = s.pattern_count;
    if (ms.notes_before_start) {
        log_warning(c.log, "\nWarning: %d notes before the song's start (midi_shift %g rows) left out", ms.notes_before_start,
                  double(c.settings.midi_shift));
    }
}

int midi_machine_tracks(const Conversion& c, int m)
{
    const MidiTrackRecord* t = midi_machine_track(c, m);
    return t ? t->polyphony : 0;
}

namespace {
// Whole minutes and the seconds after them of a time in ticks, for the song length lines.
void song_time(Conversion& c, int64_t ticks, double& minutes, double& seconds)
{
    const double total = std::round(midi_tick_seconds(c, double(ticks)));
    minutes = std::floor(total / 60.0);
    seconds = total - minutes * 60.0;
}
} // namespace

// After the first pass: song length, machines, instruments, then the additional pass that finds
// the tracks each machine needs once the notes sit on rows.
void midi_after_first_pass(Conversion& c, SmfReader& file)
{
    Song& s = c.song;
    MidiState& ms = c.midi;
    const Settings& st = c.settings;
    s.machine_count = s.cur_machine;
    s.bpm = int(std::clamp(std::trunc(midi_whole(double(s.bpm) * st.midi_res, midi_bpm_noise)), 0.0, 65535.0));
    c.log.log_enabled = 1;
    if (st.do_firstnote0 && ms.first_note_time == -1) {
        log_print(c.log, "\nWrong starttime of first note, setting to zero");
        ms.first_note_time = 0;
    }
    const int tempo_changes = midi_settle_tempo_map(c);
    if (tempo_changes > 0 && !st.midi_tempos && ms.smpte_ticks_per_second == 0) {
        log_warning(c.log, "\nWarning: the file changes tempo %d times; --set midi_tempos=1 follows them", tempo_changes);
    }
    const double last_row = midi_position(c, ms.last_note_time);
    const double patterns = std::trunc(last_row / st.blines + 1);
    s.pattern_count = int(std::clamp(patterns, 1.0, 2147483647.0));
    s.song_length = s.pattern_count;
    double minutes, seconds;
    song_time(c, ms.last_note_time, minutes, seconds);
    log_print(c.log, "\nSonglength: %d patterns ( %.0f:%02.0f min with midi_res*midi_tpb/4=%f)", s.pattern_count,
              minutes, seconds, double(st.midi_res) * st.midi_tpb / 4);
    if (st.do_firstnote0) {
        song_time(c, ms.first_note_time, minutes, seconds);
        log_print(c.log, "\nFirst note starts at time %.0f:%02.0f min", minutes, seconds);
    }
    log_print(c.log, "\n%d Machines (with Master)", s.machine_count);
    for (int m = 1; m < s.machine_count; ++m)
        log_print(c.log, "\n     Machine %2d: polyphonie: %2d", m, midi_machine_tracks(c, m));
    // Every row of the song gets at least the Master's global bytes: a song beyond the bound of
    // the layout ends here, before its tables are allocated.
    const int64_t least = int64_t(s.pattern_count) * st.blines * master_global_row_bytes;
    if (least > max_pattern_bytes) {
        log_forced(c.log, "\nPatterns need %lld bytes, %lld allowed", static_cast<long long>(least),
                  static_cast<long long>(max_pattern_bytes));
        job_abort(" ");
    }
    // One order entry per pattern, played in turn.
    if (s.pattern_count > s.order_list_room) {
        s.order_list = song_table<OrderEntry>(c, size_t(s.pattern_count));
        s.order_list_room = s.pattern_count;
        for (int i = 0; i < s.pattern_count; ++i) s.order_list[i].pattern = i;
    }

    // Instruments: with dopchange one per program seen (record 0 is the drum kit of drkit 1),
    // else one per channel.
    if (st.dopchange) {
        if (s.wave_count != 0) {
            s.instrument_count = ++s.wave_count;
            s.instrument_table = song_table<InstrumentRecord>(c, size_t(s.instrument_count));
        } else {
            // No program and no note: program 0 (the piano, gmp_01) is the one instrument.
            s.wave_count = s.instrument_count = 2;
            s.instrument_table = song_table<InstrumentRecord>(c, 2);
            s.instrument_table[1].wave_number = 1;
            s.wave_map[0] = 1;
        }
        s.instrument_table[0].wave_number = 0;
    } else {
        s.wave_count = s.machine_count - 1;
    }

    // A track whose notes need more tracks than the target machine has cannot be laid out; found
    // here, before the additional pass would search that many tracks for every note.
    const MachineDescription* target = machine_description(c.machines, st.dopfun + 1);
    if (!target) no_target_generator(c.machines, st.dopfun, no_target_message);
    for (int m = 1; m < s.machine_count; ++m)
        if (midi_machine_tracks(c, m) > target->max_tracks) {
            log_forced(c.log, "%s allows ony %d channels,sorry!", target->dll_name, target->max_tracks);
            job_abort(" ");
        }

    log_print(c.log, "\nAdditional pass (get number of additional channels):\n");
    enter_phase(c, 2);
    c.log.log_enabled = 0;
    ms.extra_channels = midi_additional_channels;
    ms.suppressed_notes = ms.short_notes = 0;
    midi_read_pass(c, file);
    c.log.log_enabled = 1;
    for (int m = 1; m < s.machine_count; ++m) {
        const MidiTrackRecord* t = midi_machine_track(c, m);
        log_print(c.log, "\n     Machine %2d:(%2d channels added) --> polyphonie: %2d", m, t ? t->added_channels : 0,
                  t ? t->polyphony : 0);
    }
    if (ms.suppressed_notes) {
        // Notes that find no track are lost: said also in quiet mode.
        log_warning(c.log, "\nWarning: There are %3d suppressed notes ( >%d additional channels) (increase midi_tpb or midi_res!)",
                  ms.suppressed_notes, midi_additional_channels);
    }
    // Information, not a warning: each such note keeps its note-on and sounds for a row.
    if (ms.short_notes) log_print(c.log, "\n%d notes shorter than a row kept one row long", ms.short_notes);
    ms.suppressed_notes = ms.short_notes = 0;
    ms.extra_channels = 0;
    s.pattern_table = song_table<PatternInfo>(c, size_t(s.pattern_count));
}

// midi_tempos 1: the Master plays the file's tempo map as BPM changes at their rows; its first
// BPM is the song's.
void midi_write_tempo_changes(Conversion& c)
{
    Song& s = c.song;
    const int blines = c.settings.blines;
    int beyond = 0;
    const std::vector<MidiBpmChange> changes = midi_bpm_changes(c, int64_t(s.pattern_count) * blines, &beyond);
    if (beyond) {
        log_warning(c.log, "\nWarning: %d tempo stretches beyond the Master's %d to %d BPM play at the nearest of them", beyond,
                  master_bpm_low, master_bpm_high);
    }
    if (changes.empty()) return;
    s.bpm = changes.front().bpm;
    const MachineRecord& master = s.machine_table[0];
    for (size_t i = 1; i < changes.size(); ++i) {
        const int p = int(changes[i].row / blines);
        uint8_t* row = master.global_patterns[p].data + size_t(changes[i].row % blines) * size_t(master.global_row_bytes);
        row[2] = uint8_t(changes[i].bpm & 0xFF);
        row[3] = uint8_t(changes[i].bpm >> 8);
        master.track_patterns[p].number = p + 1;
    }
    log_print(c.log, "\nTempo map: %d BPM changes on the Master, starting at %d BPM", int(changes.size()) - 1, s.bpm);
}
