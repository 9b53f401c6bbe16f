// Effect translation: one decoded tracker cell becomes one Buzz event in the song model.
#pragma once

// Translates a cell at song.cur_pattern / cur_row / cur_channel (and, for dotsplit 0 and 1,
// cur_machine / cur_track). note: XM note (1..96, 97 key-off) or MOD period; instrument 1-based.
void translate_cell(int note, int instrument, int volume, int effect, int param);
