// CWAV: the section in which Buzz keeps a song's waves compressed (it saves songs so by default),
// in place of WAVE:
//
//   word   number of entries
//   entry: word   wave index (as in WAVT)
//          byte   format
//          format 0: dword byte count, then the wave's levels as 16-bit samples (a WAVE entry)
//          format 1: the levels packed into one bit stream, without a length: the entry ends
//                    after the last level's last bit, at the next whole byte
//
// Format 1. Bits are taken from each byte starting with the least significant; a field of n bits
// holds its least significant bit first. Each level of the wave (its frame count and whether it is
// stereo come from the wave table):
//   a run of zero bits ended by a one bit: the packing method, of which only 0 is known
//   4 bits block shift s (blocks of 2^s frames; the last block holds what is left)
//   4 bits result shift r
//   stereo only: 1 bit "sum" (the right channel is stored as its difference from the left)
//   per block, per channel (left, then right):
//     2 bits method m, 4 bits width w
//     per frame: w bits low part, then a run of z zero bits ended by a one bit;
//                u = (z << w) | low (16 bits), the value v = u / 2 when u is even,
//                else -((u + 1) / 2)
// Each channel keeps three 16-bit sums a, b and result, cleared at the start of each level and
// carried from block to block:
//   m 0: b = (v - result) - a; a = v - result; result = v
//   m 1: b = v - a; a = v; result += v
//   m 2: b = v; a += v; result += a
//   m 3: b += v; a += b; result += a
// The sample is result << r (16 bits); with "sum" set the right channel's sample is
// (right result + left result) << r. Stereo levels come out as left, right per frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "buzz/bmx_reader.h"

// One entry of a CWAV section, where it lies in the song.
struct CompressedWave {
    uint16_t index = 0;     // wave index
    uint8_t format = 0;     // 0 raw, 1 packed
    uint64_t start = 0;     // offset of the entry (its index word)
    uint64_t data = 0;      // offset of its levels (format 0: behind the byte count)
    uint64_t end = 0;       // offset behind its last byte
    uint32_t raw_bytes = 0; // bytes of its levels as 16-bit samples
};

// Receives a wave's levels as 16-bit little-endian samples, in blocks.
struct WaveSink {
    void* user = nullptr;
    void (*put)(void* user, const uint8_t* data, size_t size) = nullptr;
};

// The wave table of one song, looked up by wave index (the first entry of an index counts).
class WaveShapeIndex {
public:
    explicit WaveShapeIndex(const InputSummary& song);
    const WaveShape* find(uint16_t index) const;
    uint32_t level_frames(const WaveShape& w, uint32_t level) const { return frames_[w.first_level + level]; }

private:
    const std::vector<WaveShape>& shapes_;
    const std::vector<uint32_t>& frames_;
    std::vector<int32_t> by_index_; // 65536 entries: position in shapes_, or -1
};

// Reads the entry `in` stands at (inside its CWAV section) and leaves `in` behind it. A packed
// entry is decoded into `sink` when one is given (else only walked); a raw one's bytes go to the
// sink as they are. Ends the job, with one line, when the entry cannot be read: a wave the table
// lacks, an unknown format or method, levels that run past the section.
void read_compressed_wave(SectionReader& in, const WaveShapeIndex& shapes, CompressedWave& out, const WaveSink* sink);

// Reads the count word of the CWAV section `in` stands at the start of, then walks every entry
// (decoding none) into `out`; ends the job when the entries do not end exactly where the section
// ends.
void read_compressed_wave_list(SectionReader& in, const WaveShapeIndex& shapes, std::vector<CompressedWave>& out);

// Ends the job when `in`, behind the last entry, is not at the end of its section.
void check_compressed_waves_end(const SectionReader& in);
