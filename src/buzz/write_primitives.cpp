// Song write primitives: count in the sizing pass, count and write otherwise. Without an open
// output stream they only count.
#include "buzz/write_primitives.h"

#include <cstring>

#include "core/byteio.h"

void put_byte(Writer& w, unsigned b)
{
    if (w.writer_pass != 0 && w.output_stream) std::putc(int(b & 0xFF), w.output_stream);
    ++w.write_count;
}

void put_word(Writer& w, unsigned v)
{
    uint8_t b[2];
    store_le16(b, v);
    put_block(w, b, sizeof b);
}

void put_dword(Writer& w, uint32_t d)
{
    uint8_t b[4];
    store_le32(b, d);
    put_block(w, b, sizeof b);
}

void put_float(Writer& w, float f)
{
    uint32_t bits;
    static_assert(sizeof bits == sizeof f);
    std::memcpy(&bits, &f, sizeof bits);
    put_dword(w, bits);
}

void put_text(Writer& w, const char* s, int n)
{
    if (n < 0) {
        put_block(w, reinterpret_cast<const uint8_t*>(s), std::strlen(s));
    } else if (n == 0) {
        put_block(w, reinterpret_cast<const uint8_t*>(s), std::strlen(s) + 1);
    } else {
        put_block(w, reinterpret_cast<const uint8_t*>(s), size_t(n));
    }
}

void put_section_entry(Writer& w, const char* tag, uint32_t offset, uint32_t size)
{
    put_text(w, tag, -1);
    put_dword(w, offset);
    put_dword(w, size);
}

void put_block(Writer& w, const uint8_t* data, size_t n)
{
    if (n == 0) return;
    if (w.writer_pass != 0 && w.output_stream) std::fwrite(data, 1, n, w.output_stream);
    w.write_count += int64_t(n);
}
