// Song write primitives. In the sizing pass (writer_pass 0) they only count bytes, in every other
// pass they count and write to output_stream, so both passes produce the same byte count.
#pragma once

#include <cstdint>
#include <cstdio>

struct Writer {
    int writer_pass = 1;           // 0 sizing, 1 writing, 2 done; 1 at program start
    int64_t write_count = 0;       // bytes produced in this pass = file offset of the next byte
    FILE* output_stream = nullptr; // where the bytes go (owned by whoever opened it)
};

extern Writer writer;

void put_byte(unsigned b);
void put_word(unsigned w);
void put_dword(uint32_t d);
// n < 0: the characters up to the NUL; n == 0: the characters and one NUL; n > 0: exactly n bytes.
void put_text(const char* s, int n);
void put_section_entry(const char* tag, uint32_t offset, uint32_t size);
// n bytes of a block, counted in the sizing pass and written in one go otherwise.
void put_block(const uint8_t* data, size_t n);
