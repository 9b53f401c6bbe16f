// Playing the converted song through: the effect mapping turns each cell into XM on its own, but
// some of what a note sounds like is held by the player from row to row, and there Scream Tracker
// and Impulse Tracker differ from FastTracker 2: channel volume and pans, instrument and sample
// global volumes, notes after a note off, speeds above 31, tempo slides and the starting global
// volume. follow_playback walks the order list as the source's player does and, beside it, as
// FT2 plays the XM, and writes into the XM what FT2 needs to sound the same: instrument numbers,
// volumes, pans, speed/BPM pairs, global volume and pitch envelopes as portamento, where a column
// is free for them.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "xmconv/xm_writer.h"

namespace xmconv {

// What a source cell asks for beyond its XM cell.
struct CellExtra {
    int8_t channel_volume = -1;  // Mxx: 0..64, -1 none
    uint8_t channel_slide = 0;   // Nxy (00 resolved): x0 up, 0y down per tick; xF up, Fy down once
    uint8_t speed = 0;           // Axx: ticks per row above 31, 0 none
    uint8_t tempo_slide = 0;     // T0x down, T1x up by x per tick (00 resolved), 0 none
    bool note_cut = false;       // the note column cuts the note (^^^)
    bool empty() const { return channel_volume < 0 && !channel_slide && !speed && !tempo_slide && !note_cut; }
};

// Impulse Tracker's new-note actions: what a note does when the next note starts on its channel
// (`nna`), and which of the channel's earlier notes a new note ends (`dct`) and how (`dca`).
enum NoteAction : uint8_t { action_cut = 0, action_continue = 1, action_off = 2, action_fade = 3 };
enum DuplicateCheck : uint8_t { duplicate_none = 0, duplicate_note = 1, duplicate_sample = 2, duplicate_instrument = 3 };

// How the source's player treats a note of one XM sample.
struct SampleSource {
    int volume = 64;   // default note volume, 0..64
    double fold = 1;   // share of the note volume that sounds: sample, instrument and mix volume
    int pan = -1;      // pan (0..255) a note with an instrument number gives the channel; -1 none
    uint8_t nna = action_cut, dct = duplicate_none, dca = action_cut;
};

// An instrument's pitch envelope without loop or sustain: (tick, cents) points.
struct PitchEnvelope {
    std::vector<std::pair<int, int>> points;
    int cents_at(int tick) const;  // the last point's value from there on
};

struct SongSource {
    std::vector<int> channel_pans;     // 0..255 (a surround channel plays centred)
    std::vector<int> channel_volumes;  // 0..64
    std::vector<std::vector<SampleSource>> samples;  // per XM instrument, per XM sample
    int global_volume = 64;            // on XM's scale 0..64
    int speed = 6, tempo = 125;        // at the start; the speed may be above 31
    // Impulse Tracker: a note cut (^^^, SCx) silences the note but keeps its volume for the next.
    bool cut_keeps_volume = false;
    // Scream Tracker 3: Qxy (the XM's Rxy) retriggers by a counter that a new note resets and that
    // runs on only through rows with Q, at its multiples of y; slides down stop at its longest
    // period.
    bool scream_tracker = false;
    // Per XM instrument: played as portamento where the effect column is free (linear slides).
    std::vector<PitchEnvelope> pitch_envelopes;
    // Per pattern, per cell (rows x channels of the XM pattern); an empty list when none has any.
    std::vector<std::vector<CellExtra>> extras;
    int max_patterns = xm_max_patterns;  // copies of patterns stop here
};

// What follow_playback could not place, counted.
struct PlaybackReport {
    int unplaced = 0;  // volumes and pans (once until placed), speeds, BPM and global volumes without a free column
    int shared = 0;    // pattern states that had to share a copy (pattern limit)
    int no_channel = 0;  // notes whose new-note action found no free channel: they cut the note before

};

// Rewrites m's patterns, order list, restart position, initial speed/BPM and sample pans, and adds
// channels where the source's new-note actions let a note ring on under the next one: that
// next note (and its channel's cells after it) moves to a free channel, up to XM's 32. m holds
// the cells as the effect mapping translated them, its order list with jumps already pointing at
// XM positions, and sample volumes with src's folds applied.
PlaybackReport follow_playback(XmModule& m, const SongSource& src);

// The XM speed (1..31), BPM (32..255) and row repeats (EEx, 0..15, only when `may_repeat`) that
// play a row of `speed` ticks in the time the source plays it: each tick lasts 2.5 / tempo
// seconds, and a tempo slide changes the tempo by `slide` on every tick but the first. Where no
// whole BPM fits exactly, `late` (seconds the XM is behind the source so far) is made up for in
// the BPM chosen, and updated.
struct SpeedPair { int speed, bpm, repeats; };
SpeedPair xm_speed_pair(int speed, int tempo, int slide, bool may_repeat, double& late);

} // namespace xmconv
