// Buzz song reader: the bounded reader of one section, and the byte path every byte of a song
// takes on its way to the merge stream (hold_* read, emit_* write, take_* do both).
#include "buzz/section_readers.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/byteio.h"
#include "platform/platform.h"

namespace {
constexpr size_t pending_limit = size_t(256) << 10; // emitted bytes are written in blocks of this
constexpr uint64_t kernel_copy_min = 256 * 1024;  // smaller runs go through the pending buffer
} // namespace

namespace section_readers {

uint64_t section_room(ReaderState& rs) { return rs.in.room(); }
void seek_to(ReaderState& rs, uint64_t offset) { rs.in.seek(offset); }
void skip_bytes(ReaderState& rs, uint64_t n) { rs.in.skip(n); }

void copy_to_merge_stream(ReaderState& rs, uint64_t n)
{
    merge_stream_flush(rs);
    int write_error = 0;
    if (platform::copy_file_region(rs.in.file, rs.in.pos, rs.merge_stream, n, &write_error) != n)
        job_abort(write_error ? msg_temp_write : msg_too_short);
    seek_to(rs, rs.in.pos + n);
}

} // namespace section_readers

using namespace section_readers;

// ---------------------------------------------------------------------------------------------
// The section reader

uint64_t SectionReader::room() const
{
    const uint64_t stop = std::min(end, file_length);
    return pos >= stop ? 0 : stop - pos;
}

SectionReader SectionReader::at(FILE* file, uint64_t offset, uint64_t length)
{
    SectionReader in{file, stream_length(file), 0, offset + length};
    in.seek(offset);
    return in;
}

void SectionReader::seek(uint64_t offset)
{
    if (offset > uint64_t(INT64_MAX) || !stream_seek(file, int64_t(offset))) job_abort(msg_too_short);
    pos = offset;
    overrun = false;
}

void SectionReader::skip(uint64_t n)
{
    if (n == 0) return;
    const bool was_past_end = overrun;
    if (n > room()) {
        const uint64_t stop = std::min(end, file_length);
        if (pos < stop) seek(stop);
        overrun = true;
        return;
    }
    seek(pos + n);
    overrun = was_past_end;
}

uint8_t SectionReader::byte()
{
    if (pos >= end || pos >= file_length) {
        overrun = true;
        return 0xFF;
    }
    const uint8_t b = read_byte(file);
    if (b == 0xFF && stream_eof(file)) {
        overrun = true; // the file is shorter than when it was opened
        return b;
    }
    ++pos;
    return b;
}

uint16_t SectionReader::word()
{
    const unsigned lo = byte();
    const unsigned hi = byte();
    return uint16_t(lo + 256 * hi);
}

uint32_t SectionReader::dword()
{
    const uint32_t lo = word();
    const uint32_t hi = word();
    return lo + 65536u * hi;
}

size_t SectionReader::block(uint8_t* buf, size_t n)
{
    if (n == 0) return 0;
    const size_t want = size_t(std::min<uint64_t>(n, room()));
    const size_t got = want ? read_bytes(file, buf, want) : 0;
    pos += got;
    if (got < n) {
        std::memset(buf + got, 0xFF, n - got);
        overrun = true;
    }
    return got;
}

size_t SectionReader::text(char* keep, size_t keep_size)
{
    size_t n = 0;
    while (room() > 0) {
        const uint8_t c = byte();
        if (c == 0) break;
        if (keep && n + 1 < keep_size) keep[n] = char(c);
        ++n;
    }
    if (keep && keep_size) keep[std::min(n, keep_size - 1)] = 0;
    return n;
}

// ---------------------------------------------------------------------------------------------
// The byte path

uint8_t hold_byte(ReaderState& rs) { return rs.in.byte(); }
uint16_t hold_word(ReaderState& rs) { return rs.in.word(); }
uint32_t hold_dword(ReaderState& rs) { return rs.in.dword(); }
size_t hold_block(ReaderState& rs, uint8_t* buf, size_t n) { return rs.in.block(buf, n); }

void merge_stream_flush(ReaderState& rs)
{
    if (rs.pending.empty()) return;
    const size_t n = rs.pending.size();
    const bool ok = rs.merge_stream && std::fwrite(rs.pending.data(), 1, n, rs.merge_stream) == n;
    rs.pending.clear();
    if (!ok) job_abort(msg_temp_write);
}

uint64_t merge_stream_position(ReaderState& rs)
{
    const int64_t at = rs.merge_stream ? stream_position(rs.merge_stream) : -1;
    if (at < 0) job_abort(msg_temp_write);
    return uint64_t(at) + rs.pending.size();
}

void emit_byte(ReaderState& rs, unsigned b)
{
    if (!rs.merge_stream || !rs.forward) return;
    rs.pending.push_back(uint8_t(b));
    if (rs.pending.size() >= pending_limit) merge_stream_flush(rs);
}

void emit_word(ReaderState& rs, unsigned w)
{
    uint8_t b[2];
    store_le16(b, w);
    emit_block(rs, b, sizeof b);
}

void emit_dword(ReaderState& rs, uint32_t d)
{
    uint8_t b[4];
    store_le32(b, d);
    emit_block(rs, b, sizeof b);
}

void emit_float(ReaderState& rs, float f)
{
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    emit_dword(rs, bits);
}

void emit_block(ReaderState& rs, const uint8_t* data, size_t n)
{
    if (!n || !rs.merge_stream || !rs.forward) return;
    if (rs.pending.size() + n > pending_limit) {
        merge_stream_flush(rs);
        if (n >= pending_limit) {
            if (std::fwrite(data, 1, n, rs.merge_stream) != n) job_abort(msg_temp_write);
            return;
        }
    }
    rs.pending.insert(rs.pending.end(), data, data + n);
}

uint8_t take_byte(ReaderState& rs)
{
    const uint8_t b = hold_byte(rs);
    emit_byte(rs, b);
    return b;
}

uint16_t take_word(ReaderState& rs)
{
    const uint16_t w = hold_word(rs);
    emit_word(rs, w);
    return w;
}

uint32_t take_dword(ReaderState& rs)
{
    const uint32_t d = hold_dword(rs);
    emit_dword(rs, d);
    return d;
}

size_t take_text(ReaderState& rs, char* keep, size_t keep_size)
{
    SectionReader& in = rs.in;
    size_t n = 0;
    for (;;) {
        const uint8_t c = in.byte();
        if (c == 0xFF && in.past_end()) break; // the end of the section ends a text too
        emit_byte(rs, c);
        if (c == 0) break;
        if (keep && n + 1 < keep_size) keep[n] = char(c);
        ++n;
    }
    if (keep && keep_size) keep[std::min(n, keep_size - 1)] = 0;
    return n;
}

void copy_section_rest(ReaderState& rs)
{
    if (rs.in.pos >= rs.in.end) return;
    const uint64_t n = rs.in.end - rs.in.pos;
    if (n > section_room(rs)) job_abort(msg_too_short); // the file ends inside the section
    if (!rs.merge_stream || !rs.forward) {
        skip_bytes(rs, n);
        return;
    }
    copy_to_merge_stream(rs, n);
}

void pass_bytes(ReaderState& rs, uint64_t n, const char* message)
{
    if (n > section_room(rs)) job_abort(message);
    if (!rs.merge_stream || !rs.forward) {
        skip_bytes(rs, n);
    } else if (n >= kernel_copy_min) {
        copy_to_merge_stream(rs, n);
    } else {
        // A short run: through the pending buffer, written with its neighbours.
        const size_t at = rs.pending.size();
        rs.pending.resize(at + size_t(n));
        hold_block(rs, rs.pending.data() + at, size_t(n));
        if (rs.pending.size() >= pending_limit) merge_stream_flush(rs);
    }
}

