// PATT and SEQU section bodies, duplicate pattern removal.
#pragma once

#include <cstddef>
#include <cstdint>

#include "song/conversion.h"

struct SequState;

void write_patt_section(Conversion& c);
void write_sequ_section(Conversion& c, SequState& sequ);
// Index of pattern p among the patterns machine k writes, as sequence events count them.
int written_pattern_index(Conversion& c, int k, int p, bool offset_copy);

// Song end of the sequence section, kept from the sizing pass into the writing pass (one per song
// written).
struct SequState {
    int song_end = 0;
    int sequences_dropped = 0; // machines with no event in the sizing pass
};
