// Effect translation: one decoded tracker cell becomes one Buzz event in the song model.
#pragma once

#include "song/conversion.h"

// One pattern cell as a module stores it.
struct TrackerCell {
    int note = 0;       // XM: 1..96, 97 key-off; MOD: the period; 0 none
    int instrument = 0; // 1-based, 0 none
    int volume = 0;     // XM volume column byte (0x10..0x50 a volume), 0 none
    int effect = 0;     // effect type (0..35 in an XM, 0..15 in a MOD)
    int param = 0;      // effect parameter byte
    bool empty() const { return !note && !instrument && !volume && !effect && !param; }
};

// Translates a cell at song.cur_pattern / cur_row / cur_channel (and, for dotsplit 0 and 1,
// cur_machine / cur_track).
void translate_cell(Conversion& c, const TrackerCell& cell);
