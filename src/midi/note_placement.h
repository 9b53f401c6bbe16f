// MIDI note placement: the hooks that turn a Standard MIDI File into the song model during a
// native MIDI conversion. Every MIDI track that plays a note becomes one generator machine; notes
// sounding at once in a track are spread over the machine's tracks; MIDI time becomes pattern
// and row; MIDI channels or programs choose the waves, and the drum channel has its own rules.
//
// The file is read three times (the conversion driver runs the passes):
//   first pass       (song.pass_number 0, extra_channels 0): division, tempo, note times, the
//                    polyphony of each track, machines, the programs in use;
//   additional pass  (extra_channels 32): the tracks each MIDI track needs once notes are put
//                    on rows (a track freed in a row is not reused in that row);
//   second pass      (song.pass_number 1, extra_channels 0): writes the cells.
#pragma once

#include <cstdint>
#include <cstdio>

#include "midi/smf_reader.h"
#include "song/midi_state.h"

// The program's hook table: the placement's hooks, the reader's listing hooks, the job's input
// stream as the byte source and job_abort as the error hook.
extern const MidiHooks midi_file_hooks;

// Reads the whole file once with midi_file_hooks, from the start of `in`.
void midi_read_pass(FILE* in);

// Position in rows from the song's start of an event at tick t (relative to the first note when
// do_firstnote0 is set), with midi_tpb, midi_scale, midi_shift and the song's bpm and tempo.
float midi_position(int64_t t);

// The track record of machine m (1-based), or null.
const MidiTrackRecord* midi_machine_track(int m);

// The hooks the placement supplies (the table above holds them).
void midi_on_header(int format, int tracks, int division);
void midi_on_track_start();
void midi_on_track_end();
void midi_note_event(int channel, int key, int velocity);
void midi_on_note_off(int channel, int key, int velocity);
void midi_on_program(int channel, int program);
void midi_on_tempo(long microseconds_per_quarter);
