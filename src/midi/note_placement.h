// MIDI note placement: the hooks that turn a Standard MIDI File into the song model during a
// native MIDI conversion. Every MIDI track that plays a note becomes one generator machine; notes
// sounding at once in a track are spread over the machine's tracks; MIDI time becomes pattern
// and row; MIDI channels or programs choose the waves, and the drum channel has its own rules.
//
// The file is decoded once and its events run three times (the conversion driver runs the
// passes):
//   first pass       (song.pass_number 0, extra_channels 0): division, tempo, note times, the
//                    polyphony of each track, machines, the programs in use;
//   additional pass  (extra_channels 32): the tracks each MIDI track needs once notes are put
//                    on rows (a track freed in a row is not reused in that row);
//   second pass      (song.pass_number 1, extra_channels 0): writes the cells.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "midi/smf_reader.h"
#include "song/conversion.h"
#include "song/midi_state.h"

// Runs the whole file once through the placement's hooks for notes, programs, tempos, the
// header and the tracks, and the reader's listing hooks for every other event. The first run
// decodes the file from the reader's byte source; later runs walk the decoded events.
void midi_read_pass(Conversion& c, SmfReader& reader);

// Position in rows from the song's start of an event at tick t (relative to the first note when
// do_firstnote0 is set), with midi_tpb, midi_scale, midi_shift and the song's bpm and tempo. A
// position within midi_row_noise of a whole row is that row (midi_whole).
float midi_position(const Conversion& c, int64_t t);

// Rounding noise: products of a tempo in microseconds, a float setting and a tick count miss a
// whole number they stand for by a hair (428571 us is 140.00014 BPM; tick 120 of it at 140 BPM
// row 15.999984). A value within `noise` of a whole number counts as that number; every other
// value is left as it is (and truncated by its user as before): rows within 1e-4, BPMs within
// 1e-3.
constexpr double midi_row_noise = 1e-4, midi_bpm_noise = 1e-3;
double midi_whole(double x, double noise);

// The song's BPM from a tempo event (microseconds per quarter note), before midi_res: the BPM
// truncated, after midi_whole with midi_bpm_noise.
int midi_tempo_bpm(long microseconds_per_quarter);

// After the first pass: puts the collected tempo events in time order, keeps one per tick (the
// last the file gives there), drops those that repeat the tempo in force and starts the map at
// tick 0 (with 120 BPM when the file names no tempo there). The number of changes after tick 0.
int midi_settle_tempo_map(Conversion& c);

// Seconds from the file's start to tick t (through the tempo map when midi_tempos follows it,
// else at the song's one tempo; a SMPTE division counts seconds itself). Ticks before 0 go at
// the first tempo.
double midi_tick_seconds(const Conversion& c, double t);

// The tick at row position `row` (midi_position's inverse).
double midi_row_tick(const Conversion& c, double row);

// midi_tempos 1: the Master's BPM at row 0 (the first entry) and at each row where it changes,
// chosen so that the song's first `rows` rows last as long as the file's time they hold (times
// midi_scale): the rounding of each BPM is made good in the next one. A stretch between tempo
// changes whose tempo lies beyond the Master's BPM range plays at the nearest end of it, counted
// in *beyond when given.
struct MidiBpmChange {
    int64_t row;
    int bpm;
};
std::vector<MidiBpmChange> midi_bpm_changes(const Conversion& c, int64_t rows, int* beyond = nullptr);
// Whether the rows follow the beat and the tempo map (midi_tempos 1 and a division in ticks per
// quarter note; a SMPTE division already counts real time).
bool midi_follows_tempos(const Conversion& c);
constexpr int master_bpm_low = 16, master_bpm_high = 500; // the Master's tempo parameter

// The track record of machine m (1-based), or null.
const MidiTrackRecord* midi_machine_track(const Conversion& c, int m);
