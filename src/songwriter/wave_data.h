// WAVE section data of a BMX song, read straight from the samples' stored data: the reading
// passes lay out each wave's entry and where its samples lie in the input (song.h), the sizing
// pass counts the bytes from that layout, and the writing pass decodes the samples into the song.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "song/conversion.h"

// Bytes of the WAVE data as laid out: the count word, then per wave 7 header bytes and 2 bytes
// per value (a sample without data counts its one zero value).
int64_t wave_data_bytes(const Conversion& c);

// The layout the reading pass that converts the waves gives the WAVE data, for what the readers
// read. begin_wave_layout sets the data's count word once (the song's wave count, less the unused
// drum kit of a MIDI conversion by program) and clears the entries of instruments first..end-1;
// an instrument with a wave then gets entry `index` with the byte count the first pass counted,
// read from `source` (0 the conversion's input, k song.wave_sources[k - 1]). Each sample is first
// cleared, then given its stored data (`values` values coded `coding` at file position `offset`)
// or made silent: one zero value and a length of one frame.
void begin_wave_layout(Conversion& c, int first, int end);
void lay_out_wave_entry(InstrumentRecord& ins, int index, int source);
void clear_sample_layout(SampleRecord& s);
void lay_out_sample_data(SampleRecord& s, int64_t offset, uint32_t values, WaveCoding coding);
void lay_out_silent_sample(SampleRecord& s);
// A stereo pair's two runs of plain 16-bit words (coding_mix16), mixed into one channel.
void lay_out_mixed_sample_data(SampleRecord& s, int64_t offset, int64_t other, uint32_t values);

// The WAVE data through the write primitives: counted in the sizing pass; in the writing pass
// decoded block by block from the wave sources (`input` is the conversion's open input), with a
// progress dot per 100000 bytes while there is no listing.
void write_wave_data(Conversion& c, FILE* input);

// Decoders of n stored values into n little-endian 16-bit values (2n bytes at out). The running
// value v of a delta coding carries from one block of a sample to the next; it starts at 0.
void decode_delta16(const uint8_t* in, size_t n, uint16_t& v, uint8_t* out); // 2n bytes in
void decode_delta8(const uint8_t* in, size_t n, uint8_t& v, uint8_t* out);   // value v * 256
void widen_signed8(const uint8_t* in, size_t n, uint8_t* out);              // byte * 256
// n values of two channels (2n bytes each) into their average, (a + b) >> 1 (2n bytes at out).
void mix_pcm16(const uint8_t* a, const uint8_t* b, size_t n, uint8_t* out);

// The same decoders one value at a time (the vector versions must give the same bytes).
void decode_delta16_plain(const uint8_t* in, size_t n, uint16_t& v, uint8_t* out);
void decode_delta8_plain(const uint8_t* in, size_t n, uint8_t& v, uint8_t* out);
void widen_signed8_plain(const uint8_t* in, size_t n, uint8_t* out);
