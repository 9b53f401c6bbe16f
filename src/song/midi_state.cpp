// State of a native MIDI conversion.
#include "song/midi_state.h"

MidiState midi_state;

void midi_state_reset() { midi_state = MidiState(); }
