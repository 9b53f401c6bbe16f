// Byte-order helpers: little- and big-endian words and dwords built from single bytes.
#include "core/byteio.h"

#include <climits>
#include <cstring>

#include "platform/platform.h"

File open_file(const char* path, const char* mode) { return File(platform::open_stream(path, mode)); }

uint8_t read_byte(FILE* f)
{
    const int c = platform::get_byte(f);
    return c == EOF ? 0xFF : uint8_t(c);
}

uint16_t read_word_le(FILE* f)
{
    unsigned lo = read_byte(f);
    unsigned hi = read_byte(f);
    return uint16_t(lo + 256 * hi);
}

uint16_t read_word_be(FILE* f)
{
    unsigned hi = read_byte(f);
    unsigned lo = read_byte(f);
    return uint16_t(256 * hi + lo);
}

uint32_t read_dword_le(FILE* f)
{
    uint32_t lo = read_word_le(f);
    uint32_t hi = read_word_le(f);
    return lo + 65536u * hi;
}

void write_byte(FILE* f, unsigned value) { std::putc(int(value & 0xFF), f); }

void write_word_le(FILE* f, unsigned value)
{
    uint8_t b[2];
    store_le16(b, value);
    std::fwrite(b, 1, sizeof b, f);
}

void write_dword_le(FILE* f, uint32_t value)
{
    uint8_t b[4];
    store_le32(b, value);
    std::fwrite(b, 1, sizeof b, f);
}

size_t read_bytes(FILE* f, uint8_t* buf, size_t n)
{
    if (n == 0) return 0;
    size_t got = std::fread(buf, 1, n, f);
    if (got < n) {
        std::memset(buf + got, 0xFF, n - got);
        // fread has set the EOF flag unless an error stopped it; make sure a short read reads
        // like read_byte past the end.
        if (!std::feof(f)) {
            std::fseek(f, 0, SEEK_END);
            std::getc(f);
        }
    }
    return got;
}

void skip_bytes(FILE* f, uint64_t n)
{
    if (n == 0) return;
    if (n > bytes_remaining(f)) {
        std::fseek(f, 0, SEEK_END);
        std::getc(f);
        return;
    }
    while (n > 0) { // long may be 32 bits (Windows)
        const long step = n > uint64_t(LONG_MAX) ? LONG_MAX : long(n);
        std::fseek(f, step, SEEK_CUR);
        n -= uint64_t(step);
    }
}

long stream_tell(FILE* f) { return std::ftell(f); }

int64_t stream_position(FILE* f) { return platform::stream_position(f); }

bool stream_seek(FILE* f, int64_t offset) { return platform::seek_stream(f, offset); }

uint64_t stream_length(FILE* f)
{
    bool at_eof = std::feof(f) != 0;
    long here = std::ftell(f);
    if (here < 0 || std::fseek(f, 0, SEEK_END) != 0) return 0;
    long end = std::ftell(f);
    if (at_eof) {
        std::getc(f); // seeking cleared the flag; a read at the end sets it again
    } else {
        std::fseek(f, here, SEEK_SET);
    }
    return end < 0 ? 0 : uint64_t(end);
}

uint64_t bytes_remaining(FILE* f)
{
    if (std::feof(f)) return 0;
    long here = std::ftell(f);
    uint64_t len = stream_length(f);
    if (here < 0 || uint64_t(here) >= len) return 0;
    return len - uint64_t(here);
}
