// Byte-order helpers over a buffered binary stream, and the stream's RAII owner.
//
// A read past the end of a file yields 0xFF for every missing byte and sets the stream's
// end-of-file flag; several readers rely on this (a truncated word reads 0xFFFF, a dword
// 0xFFFFFFFF). Multi-byte values are composed only from read_byte. Readers that take a count or
// a size from a file must check it against bytes_remaining() before trusting it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

struct FileCloser {
    void operator()(FILE* f) const noexcept
    {
        if (f) std::fclose(f);
    }
};
// An owned stream; closing happens on reset() or when the owner is destroyed (also while a
// JobAbort unwinds).
using File = std::unique_ptr<FILE, FileCloser>;

// fopen with the usual modes ("rb", "wb", "r", "w"); on Windows the name may be UTF-8 or in the
// ANSI code page (see platform::open_stream). An empty File when it cannot be opened.
File open_file(const char* path, const char* mode);

// Little-endian words and dwords into a buffer: every writer of the program's binary files
// (songs, XI files, WAV files, XMs) builds its numbers through these.
constexpr void store_le16(uint8_t* at, unsigned value)
{
    at[0] = uint8_t(value & 0xFF);
    at[1] = uint8_t((value >> 8) & 0xFF);
}
constexpr void store_le32(uint8_t* at, uint32_t value)
{
    store_le16(at, value & 0xFFFF);
    store_le16(at + 2, value >> 16);
}

uint8_t read_byte(FILE* f);      // 0..255; 255 and the EOF flag at the end
uint16_t read_word_le(FILE* f);  // first + 256 * second
uint16_t read_word_be(FILE* f);  // 256 * first + second (MOD files)
uint32_t read_dword_le(FILE* f); // first word + 65536 * second word
void write_byte(FILE* f, unsigned value);
void write_word_le(FILE* f, unsigned value);
void write_dword_le(FILE* f, uint32_t value);

// Reads up to n bytes into buf, filling whatever lies past the end with 0xFF and setting the EOF
// flag then; returns the bytes really read. Same result as n calls of read_byte.
size_t read_bytes(FILE* f, uint8_t* buf, size_t n);

// Moves n bytes on as if they were read: passing the end leaves the stream at its end with the
// end-of-file flag set. A size near 4 GB costs one seek.
void skip_bytes(FILE* f, uint64_t n);

inline bool stream_eof(FILE* f) { return std::feof(f) != 0; }

// Current position and the bytes between it and the end of the file (0 when unknown).
long stream_tell(FILE* f);
// The position as a 64-bit offset (-1 when unknown), and a seek to one; false when it fails.
int64_t stream_position(FILE* f);
bool stream_seek(FILE* f, int64_t offset);
uint64_t stream_length(FILE* f);
uint64_t bytes_remaining(FILE* f);
