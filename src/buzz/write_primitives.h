// Song write primitives. In the sizing pass (writer_pass 0) they only count bytes, in every other
// pass they count and write to output_stream, so both passes produce the same byte count. Each
// song being written has its own Writer.
#pragma once

#include <cstdint>
#include <cstdio>

struct Writer {
    int writer_pass = 1;           // 0 sizing, 1 writing, 2 done; 1 at program start
    int64_t write_count = 0;       // bytes produced in this pass = file offset of the next byte
    FILE* output_stream = nullptr; // where the bytes go (owned by whoever opened it)
};

void put_byte(Writer& w, unsigned b);
void put_word(Writer& w, unsigned v);
void put_dword(Writer& w, uint32_t d);
void put_float(Writer& w, float f);
// n < 0: the characters up to the NUL; n == 0: the characters and one NUL; n > 0: exactly n bytes.
void put_text(Writer& w, const char* s, int n);
void put_section_entry(Writer& w, const char* tag, uint32_t offset, uint32_t size);
// n bytes of a block, counted in the sizing pass and written in one go otherwise.
void put_block(Writer& w, const uint8_t* data, size_t n);
