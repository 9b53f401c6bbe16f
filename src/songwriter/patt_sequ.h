// PATT and SEQU section bodies, duplicate pattern removal and CRC-32.
#pragma once

#include <cstddef>
#include <cstdint>

void write_patt_section();
void write_sequ_section();
// Index of pattern p among the patterns machine k writes, as sequence events count them.
int written_pattern_index(int k, int p, bool offset_copy);

// Standard CRC-32 (zlib/PNG).
uint32_t crc32_begin();
uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t n);
uint32_t crc32_end(uint32_t crc);

// Song end of the sequence section, kept from the sizing pass into the writing pass.
struct SequState {
    int song_end = 0;
    int sequences_dropped = 0; // machines with no event in the sizing pass
};
extern SequState sequ_state;
