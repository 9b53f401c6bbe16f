// PATT and SEQU section bodies, duplicate pattern removal.
#pragma once

#include <cstddef>
#include <cstdint>

#include "song/conversion.h"

struct SequState;

void write_patt_section(Conversion& c);
void write_sequ_section(Conversion& c, SequState& sequ);

// What the sizing pass learns of the sequence section for the writing pass (one per song written).
struct SequState {
    uint32_t song_end = 0;     // rows
    int order_entries = 0;     // order list entries the song plays
    int position_width = 2;    // bytes of every sequence's positions
    int sequences_dropped = 0; // machines with no event in the sizing pass
};
