// The passes of a MIDI file read by the program itself, in place of the module reader's: the
// driver runs midi_pass for the first and the second pass, and midi_after_first_pass between them.
#pragma once

#include "midi/smf_reader.h"
#include "song/conversion.h"

// Pass 0 (sizes, polyphony per track; a file without "MThd" ends the job) or pass 1 (the notes on
// their rows) over the decoded file.
void midi_pass(Conversion& c, int pass, SmfReader& file);

// After the first pass: song length, machines, instruments, then the additional pass that finds
// the tracks each machine needs once the notes sit on rows. A song beyond the layout's bound, or a
// track that needs more tracks than the target machine has, ends the job here.
void midi_after_first_pass(Conversion& c, SmfReader& file);

// midi_tempos 1, after the layout: the Master plays the file's tempo map as BPM changes at their
// rows; its first BPM is the song's.
void midi_write_tempo_changes(Conversion& c);

// Tracks of machine m in a native MIDI conversion: the polyphony of its MIDI track.
int midi_machine_tracks(const Conversion& c, int m);
