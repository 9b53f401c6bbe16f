// State of a native MIDI conversion shared with the cell writer.
#pragma once

#include <cstdint>

struct MidiState {
    uint8_t midi_out_channel = 0; // vMidiOut: MIDI channel of the next cell
    uint8_t midi_out_program = 0; // vMidiOut: MIDI program of the next cell
    int native = 0;               // a native MIDI conversion is running
};

extern MidiState midi_state;

void midi_state_reset();
