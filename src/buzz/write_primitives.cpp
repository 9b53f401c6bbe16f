// Song write primitives: count in the sizing pass, count and write otherwise. Without an open
// output stream they only count.
#include "buzz/write_primitives.h"

#include <cstring>

#include "core/byteio.h"

Writer writer;

void put_byte(unsigned b)
{
    if (writer.writer_pass != 0 && writer.output_stream) std::putc(int(b & 0xFF), writer.output_stream);
    ++writer.write_count;
}

void put_word(unsigned w)
{
    uint8_t b[2];
    store_le16(b, w);
    put_block(b, sizeof b);
}

void put_dword(uint32_t d)
{
    uint8_t b[4];
    store_le32(b, d);
    put_block(b, sizeof b);
}

void put_text(const char* s, int n)
{
    if (n < 0) {
        put_block(reinterpret_cast<const uint8_t*>(s), std::strlen(s));
    } else if (n == 0) {
        put_block(reinterpret_cast<const uint8_t*>(s), std::strlen(s) + 1);
    } else {
        put_block(reinterpret_cast<const uint8_t*>(s), size_t(n));
    }
}

void put_section_entry(const char* tag, uint32_t offset, uint32_t size)
{
    put_text(tag, -1);
    put_dword(offset);
    put_dword(size);
}

void put_block(const uint8_t* data, size_t n)
{
    if (n == 0) return;
    if (writer.writer_pass != 0 && writer.output_stream) std::fwrite(data, 1, n, writer.output_stream);
    writer.write_count += int64_t(n);
}
