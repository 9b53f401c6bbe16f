// The fields of a Buzz song's sequences (SEQU), as the song writer, the merge and the clone write
// them. Each sequence states the widths of its fields in front of its events: positions (rows
// from the song's start) of 1, 2 or 4 bytes, and values of 1 or 2 bytes. A value 0x10 + k plays
// pattern k of the sequence's machine (values below 0x10 are the sequence's own commands), and the
// top bit of a value marks a loop, which this program never sets: a one-byte value names the
// patterns 0 to 111, a two-byte value the patterns 0 to 32751.
//
// Songs are written as Buzz writes them: values of one byte while a machine has at most 112
// patterns, of two bytes beyond; positions of two bytes while the song is at most 65535 rows
// long, of four beyond. A merge keeps the widths of the songs it reads unless its positions
// outgrow them.
#pragma once

#include <cstdint>

constexpr unsigned sequence_pattern_value = 0x10; // the value of pattern 0
// Patterns a sequence can name with one-byte values, and with two-byte values (the most a
// machine's sequence can name at all).
constexpr int one_byte_sequence_patterns = 0x80 - int(sequence_pattern_value);   // 112
constexpr int max_sequence_patterns = 0x8000 - int(sequence_pattern_value);      // 32752

// The largest number a sequence field of `width` bytes (1, 2 or 4) holds.
uint64_t sequence_field_max(int width);

// Bytes of a sequence field (position or value) whose stored width byte is `stored`: 1, 2 or 4;
// any other width is read as one byte, as songs always were.
int sequence_field_width(int stored);

// Width of the positions of a sequence whose largest position is `largest`: the narrowest of 1, 2
// and 4 bytes, and not below `at_least`, that holds it; 0 when not even 4 bytes do.
int sequence_position_width(uint64_t largest, int at_least);

// Width of the values of the sequence of a machine that has `patterns` patterns: 1 byte for up to
// 112 patterns, else 2.
int sequence_value_width(int patterns);
