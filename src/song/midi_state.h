// State of a native MIDI conversion: the note placement's per-file, per-track and per-slot state
// (the reader's position in the file is the reader's own, midi/smf_reader.h). One per conversion,
// kept from pass to pass: what the first pass learns (division, note times, polyphony) drives the
// later passes.
#pragma once

#include <cstdint>

// One MIDI track of the file.
struct MidiTrackRecord {
    int polyphony = 0;        // most notes sounding at once; after the additional pass + added_channels
    int added_channels = 0;   // tracks the additional pass needed beyond the counted polyphony
    int machine = 0;          // generator machine (1, 2, ...) playing the track, 0 = no notes
    int track_of_machine = 0; // in record m - 1: the track that machine m plays
};

// One track of the current machine, as the notes use it.
struct NoteSlot {
    int key = 0;      // MIDI key of the sounding note
    int busy = 0;     // a note sounds on this slot (key 0 is a key like any other)
    int pattern = -1; // position of the last event written here; -1, -1 when unused
    int row = -1;
};

struct ChannelProgram {
    int program = 0;  // last program of the channel (drum channel: 128 + the last drum key)
    int changed = 0;  // changed since it was last sent to a vMidiOut machine
};

// One tempo event of the file (the first pass collects them over all tracks).
struct MidiTempoEvent {
    int64_t tick = 0;         // ticks from the file's start
    int microseconds = 0;     // per quarter note, above 0
    double seconds = 0;       // from tick 0 to this event (once the map is settled)
};

constexpr int midi_channels = 16;
constexpr int midi_drum_channel = 9;        // MIDI channel 10
constexpr int midi_additional_channels = 32; // tracks a MIDI track may borrow in the additional pass
constexpr int midi_default_tempo = 500000;  // microseconds per quarter note (120 BPM)

struct MidiState {
    // --- the file as a whole ---
    int division = 120;               // header's division word (ticks per quarter note)
    int header_seen = 0;              // the first pass found an "MThd" header
    double smpte_ticks_per_second = 0; // a SMPTE division: frames per second * ticks per frame
    int midi_tempo = midi_default_tempo; // last tempo event seen, microseconds per quarter note
    int64_t first_note_time = 0;      // earliest note event in ticks, -1 none yet (do_firstnote0)
    int64_t last_note_time = 0;       // latest note event in ticks over all tracks

    // --- the current track ---
    int notes_on = 0;        // notes sounding (note-ons minus note-offs, never below 0)
    int track_max_poly = 0;  // most notes_on reached

    // --- counters reported between the passes ---
    int short_notes = 0;      // note-offs that fell into the row of their own note-on
    int suppressed_notes = 0; // note-ons that found no free track
    int notes_before_start = 0; // note-ons of the second pass placed before row 0 (midi_shift), left out
    int extra_channels = 0;   // 32 in the additional pass, 0 in the first and second pass

    ChannelProgram channel_programs[midi_channels];
    // What the first pass saw of each channel, for the waves a SoundFont gives: its first program
    // (the earliest program change, -1 none) and the keys it plays (bit k & 7 of byte k >> 3).
    int first_program[midi_channels] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
    int64_t first_program_tick[midi_channels] = {};
    uint8_t keys_played[midi_channels][16] = {};
    MidiTrackRecord* track_table = nullptr; // one record per track (pool)
    int track_capacity = 0;                 // records of track_table
    int tracks_read = 0;                    // tracks the first pass met
    NoteSlot* slot_table = nullptr;         // notes_max + 32 slots (pool), from the additional pass
    int slot_capacity = 0;
    int notes_max = 0;                      // largest polyphony of a track with a machine
    MidiTempoEvent* tempo_map = nullptr;    // the file's tempo events (pool); after the first pass
                                            // sorted by tick, one per tick (the last there), each
                                            // one a change: the tempo from its tick on
    int tempo_count = 0;
    int tempo_capacity = 0;

    // vMidiOut under native MIDI: the MIDI channel (1-16) and program (255 = unchanged) that the
    // cell writer puts into the machine's parameters 4 and 5.
    uint8_t midi_out_channel = 0;
    uint8_t midi_out_program = 255;
};

