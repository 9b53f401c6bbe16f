// Standard MIDI File reader.
//
// File layout (big-endian):
//   "MThd"  dword length (6, longer headers are skipped)  word format  word tracks  word division
//   then per track: "MTrk"  dword length  events
// Event: variable-length delta time (7 bits per byte, bit 7 = more follows, at most 4 bytes),
// then a status byte and its data, or a data byte under running status:
//   0x8n-0xEn  channel message, two data bytes (0xCn and 0xDn: one)
//   0xFF       meta event: type byte, variable-length length, data
//   0xF0       system-exclusive message: variable-length length, data (ends with 0xF7)
//   0xF7       packet of arbitrary bytes: variable-length length, data
// A meta or system-exclusive event ends running status.
//
// The file is decoded once into event records (smf_reader.h), with running status resolved and
// every length checked; each run of the hooks then walks the records.
//
// Broken files: an end of file at an event's status byte or first data byte ends the track with
// a warning (players write such cut files); every other end of file, and every byte that cannot
// begin an event, ends the job. Data lengths are never trusted: the data grows with the bytes
// really read, so a length of 4 GB in a small file ends at the file's end.
#include "midi/smf_reader.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "core/byteio.h"
#include "core/log.h"
#include "platform/platform.h"

namespace {

constexpr size_t stream_block = 64 * 1024;
// The records take at most twice the file's bytes (a pressure message under running status:
// 2 bytes in the file, 4 in its record; a note: 3 or 4, and 4 or 5), so that much is set aside
// before decoding, up to this bound: beyond it the records grow as they come. Pages set aside
// and never written cost no memory. Room of a few large pages begins at a large page, so that the
// system may back it with them (a page fault each 2 MB instead of each 4 KB).
constexpr size_t records_reserved_most = size_t(256) << 20;
constexpr size_t large_page = size_t(2) << 20;
constexpr int varlen_max_bytes = 4;             // 28 bits, the most a MIDI file's lengths and times use
constexpr unsigned cancel_check_events = 65536; // events decoded between looks at a kill request

// Record codes beside the status bytes 0x80-0xEF, 0xF0, 0xF7 and 0xFF.
enum RecordCode : uint8_t {
    rec_header = 0x01,       // format, tracks, division: three numbers
    rec_track_start = 0x02,  // "MTrk" and its length read
    rec_track_end = 0x03,    // the track's bytes all read
    rec_trapped_end = 0x04,  // delta time; the file ended where an event should begin
    rec_foreign_data = 0x05, // a chunk that is no track after the announced tracks
};

// Data bytes of a channel message by the status byte's high nibble 0x8..0xE.
constexpr int data_bytes[16] = {0, 0, 0, 0, 0, 0, 0, 0, 2, 2, 2, 2, 1, 1, 2, 0};

// --- Decoding --------------------------------------------------------------------------------

// Thrown inside the decoding when the file cannot be read on; its text is in events.error.
struct DecodeStop {};

[[noreturn]] void stop(SmfReader& r, const char* message)
{
    r.events.error = message;
    throw DecodeStop{};
}

// Sets aside room for the records of a source of `bytes` bytes.
void reserve_records(SmfReader& r, uint64_t bytes)
{
    SmfEvents& e = r.events;
    const uint64_t want = (bytes < records_reserved_most / 2 ? 2 * bytes : records_reserved_most) + 65536;
    if (want <= e.capacity || e.used) return;
    const bool large = want >= 2 * large_page;
    e.records.reset(new uint8_t[size_t(want) + (large ? large_page : 0)]);
    e.start = large ? (large_page - reinterpret_cast<uintptr_t>(e.records.get()) % large_page) % large_page : 0;
    e.capacity = size_t(want);
    if (large) platform::prefer_large_pages(e.records.get() + e.start, e.capacity);
}

// Room for one more record (at most 16 bytes) at the end of the records written so far; the
// caller writes it through the pointer and moves `used` past it.
uint8_t* record_room(SmfReader& r)
{
    SmfEvents& e = r.events;
    constexpr size_t largest_record = 16;
    if (e.capacity - e.used < largest_record) {
        // Grown without clearing: only the bytes written ever occupy memory.
        const size_t capacity = e.capacity < 65536 ? 65536 : e.capacity * 2;
        std::unique_ptr<uint8_t[]> grown(new uint8_t[capacity]);
        if (e.used) std::memcpy(grown.get(), e.begin(), e.used);
        e.records = std::move(grown);
        e.start = 0;
        e.capacity = capacity;
    }
    return e.records.get() + e.start + e.used;
}

void record_end(SmfReader& r, const uint8_t* end) { r.events.used = size_t(end - r.events.begin()); }

uint8_t* put_number(uint8_t* q, uint64_t v)
{
    for (; v >= 0x80; v >>= 7) *q++ = uint8_t(v | 0x80);
    *q++ = uint8_t(v);
    return q;
}

void put(SmfReader& r, uint8_t code)
{
    uint8_t* q = record_room(r);
    *q++ = code;
    record_end(r, q);
}

int next_byte(SmfReader& r)
{
    SmfPosition& ms = r.at;
    int c = smf_stream_getc(r);
    if (c < 0) {
        if (ms.eof_trap) return -1;
        stop(r, "premature EOF");
    }
    ms.eof_trap = 0;
    --ms.bytes_left;
    return c;
}

int64_t read_varlen(SmfReader& r)
{
    int64_t value = 0;
    for (int n = 0; n < varlen_max_bytes; ++n) {
        int c = next_byte(r);
        value = value * 128 + (c & 0x7F);
        if (!(c & 0x80)) return value;
    }
    stop(r, "variable-length number longer than 4 bytes");
}

uint32_t read32(SmfReader& r)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | uint32_t(next_byte(r));
    return v;
}

int read16(SmfReader& r)
{
    int hi = next_byte(r);
    return hi << 8 | next_byte(r);
}

// Reads the four letters of a chunk magic straight from the byte source. -1 at the end of the
// file, or when foreign data follows the announced tracks; any other difference is fatal.
int expect_magic(SmfReader& r, const char* magic, int tracks_read)
{
    int c = 0;
    bool differs = false;
    for (int i = 0; i < 4; ++i) {
        c = smf_stream_getc(r);
        if (c < 0) return -1;
        if (c != (unsigned char)magic[i]) differs = true;
    }
    if (differs) {
        if (tracks_read == r.at.track_total) {
            put(r, rec_foreign_data);
            return -1;
        }
        char text[16];
        std::snprintf(text, sizeof text, "expecting %s", magic);
        stop(r, text);
    }
    return c;
}

// The data of a meta or system-exclusive event: exactly `length` bytes, read one by one, so a
// length the file cannot hold ends at its end ("premature EOF") before the data grow past it.
// The bytes it appended to events.data.
uint64_t read_message(SmfReader& r, int64_t length)
{
    std::vector<uint8_t>& m = r.events.data;
    for (int64_t i = 0; i < length; ++i) m.push_back(uint8_t(next_byte(r)));
    return uint64_t(length);
}

void decode_header(SmfReader& r)
{
    SmfPosition& ms = r.at;
    if (expect_magic(r, "MThd", 0) == -1) return;
    ms.bytes_left = read32(r);
    const int format = read16(r);
    const int tracks = read16(r);
    const int division = read16(r);
    ms.track_total = tracks;
    uint8_t* q = record_room(r);
    *q++ = rec_header;
    q = put_number(q, uint64_t(format));
    q = put_number(q, uint64_t(tracks));
    q = put_number(q, uint64_t(division));
    record_end(r, q);
    while (ms.bytes_left > 0) next_byte(r);
}

// The common event (a channel message whose bytes all lie in the block read ahead, so no end of
// file can interrupt it) decoded straight from the block; false, with nothing read, for any
// other event, which then takes the byte-by-byte way.
bool quick_channel_message(SmfReader& r, int& status)
{
    constexpr size_t longest = varlen_max_bytes + 3; // delta time, status byte, two data bytes
    if (r.block_len - r.block_pos < longest) return false;
    const uint8_t* const from = r.block.data() + r.block_pos;
    const uint8_t* b = from;
    uint32_t delta = 0;
    int c = 0;
    for (int n = 0; n < varlen_max_bytes; ++n) {
        c = *b++;
        delta = delta << 7 | uint32_t(c & 0x7F);
        if (!(c & 0x80)) break;
    }
    if (c & 0x80) return false;
    c = *b++;
    const bool running = c < 0x80;
    const int s = running ? status : c;
    if (s < 0x80 || s >= 0xF0) return false;
    const int d1 = running ? c : *b++;
    const int d2 = data_bytes[s >> 4] == 2 ? *b++ : 0;
    status = s;
    const size_t n = size_t(b - from);
    r.block_pos += n;
    r.at.bytes_left -= int64_t(n);
    r.at.eof_trap = 0;
    uint8_t* q = record_room(r);
    *q++ = uint8_t(s);
    q = put_number(q, delta);
    *q++ = uint8_t(d1);
    *q++ = uint8_t(d2);
    record_end(r, q);
    return true;
}

// 0 when there is no further track.
int decode_track(SmfReader& r, int tracks_read)
{
    SmfPosition& ms = r.at;
    if (expect_magic(r, "MTrk", tracks_read) == -1) return 0;
    ms.bytes_left = read32(r);
    int status = 0;
    unsigned events = 0;
    put(r, rec_track_start);
    while (ms.bytes_left > 0) {
        if (++events % cancel_check_events == 0) job_check_cancel(r.cancel);
        if (quick_channel_message(r, status)) continue;
        const int64_t delta = read_varlen(r);
        ms.eof_trap = 1;
        int c = next_byte(r);
        if (!ms.eof_trap) {
            const bool running = c < 0x80;
            if (running) {
                if (status == 0) stop(r, "unexpected running status");
            } else {
                status = c;
            }
            const int needed = data_bytes[status >> 4];
            if (needed) {
                int d1 = c;
                if (!running) {
                    ms.eof_trap = 1;
                    d1 = next_byte(r);
                }
                if (!ms.eof_trap) {
                    const int d2 = needed == 2 ? next_byte(r) : 0;
                    uint8_t* q = record_room(r);
                    *q++ = uint8_t(status);
                    q = put_number(q, uint64_t(delta));
                    *q++ = uint8_t(d1);
                    *q++ = uint8_t(d2);
                    record_end(r, q);
                    continue;
                }
            } else if (c == 0xFF) {
                const int type = next_byte(r);
                const uint64_t n = read_message(r, read_varlen(r));
                uint8_t* q = record_room(r);
                *q++ = 0xFF;
                q = put_number(q, uint64_t(delta));
                *q++ = uint8_t(type);
                q = put_number(q, n);
                record_end(r, q);
                continue;
            } else if (c == 0xF0 || c == 0xF7) {
                const int64_t length = read_varlen(r);
                if (c == 0xF0) r.events.data.push_back(0xF0);
                const uint64_t n = read_message(r, length) + (c == 0xF0);
                uint8_t* q = record_room(r);
                *q++ = uint8_t(c);
                q = put_number(q, uint64_t(delta));
                q = put_number(q, n);
                record_end(r, q);
                continue;
            } else {
                char text[32];
                std::snprintf(text, sizeof text, "unexpected byte: 0x%02x", unsigned(c));
                stop(r, text);
            }
        }
        // An end of file where the status byte or the first data byte should be.
        ms.eof_trap = 0;
        uint8_t* q = record_room(r);
        *q++ = rec_trapped_end;
        q = put_number(q, uint64_t(delta));
        record_end(r, q);
        return 1;
    }
    put(r, rec_track_end);
    return 1;
}

// --- Replay ----------------------------------------------------------------------------------

// A number of the records (they are the decoder's own: well formed).
uint64_t take_number(const uint8_t*& p)
{
    uint64_t v = *p++;
    if (v < 0x80) return v;
    v &= 0x7F;
    for (int shift = 7;; shift += 7) {
        const uint64_t b = *p++;
        v |= (b & 0x7F) << shift;
        if (b < 0x80) return v;
    }
}

[[noreturn]] void fail(MidiHooks& h, const char* message)
{
    h.Mf_on_error(message);
    job_abort(message);
}

// The data of a meta event; byte i reads 0 when the event is shorter (a tempo event of one
// byte, ...).
struct Message {
    const uint8_t* data;
    int length;
    int byte(int i) const { return i < length ? data[i] : 0; }
    int signed_byte(int i) const { return int(int8_t(uint8_t(byte(i)))); }
};

void meta_event(MidiHooks& h, int type, const Message& m)
{
    if (type >= 0x01 && type <= 0x0F) {
        h.Mf_on_text(type, m.length, m.data);
        return;
    }
    switch (type) {
    case 0x00:
        h.Mf_on_sequence_number(m.byte(0) << 8 | m.byte(1));
        break;
    case 0x2F:
        h.Mf_on_end_of_track();
        break;
    case 0x51:
        h.Mf_on_tempo(long(m.byte(0)) << 16 | m.byte(1) << 8 | m.byte(2));
        break;
    case 0x54:
        h.Mf_on_smpte_offset(m.signed_byte(0), m.signed_byte(1), m.signed_byte(2), m.signed_byte(3),
                             m.signed_byte(4));
        break;
    case 0x58:
        h.Mf_on_time_signature(m.signed_byte(0), m.signed_byte(1), m.signed_byte(2), m.signed_byte(3));
        break;
    case 0x59:
        h.Mf_on_key_signature(m.signed_byte(0), m.signed_byte(1));
        break;
    case 0x7F:
        h.Mf_on_sequencer_specific(m.length, m.data);
        break;
    default:
        h.Mf_on_meta_other(type, m.length, m.data);
        break;
    }
}

void channel_message(MidiHooks& h, int status, int d1, int d2)
{
    const int ch = status & 0x0F;
    switch (status >> 4) {
    case 0x8: h.Mf_on_note_off(ch, d1, d2); break;
    case 0x9: h.Mf_on_note_on(ch, d1, d2); break;
    case 0xA: h.Mf_on_key_pressure(ch, d1, d2); break;
    case 0xB: h.Mf_on_controller(ch, d1, d2); break;
    case 0xC: h.Mf_on_program(ch, d1); break;
    case 0xD: h.Mf_on_channel_pressure(ch, d1); break;
    case 0xE: h.Mf_on_pitch_bend(ch, d1, d2); break;
    default: break;
    }
}

// The end of a track: its hook, then it counts as finished.
void end_track(SmfReader& r, MidiHooks& h)
{
    h.Mf_on_track_end();
    ++r.at.track_index;
}

} // namespace

void smf_decode(SmfReader& r)
{
    SmfEvents& e = r.events;
    if (e.decoded) return;
    e.decoded = true;
    r.at = SmfPosition();
    try {
        reserve_records(r, r.stream ? stream_length(r.stream) : r.block_len);
        decode_header(r);
        for (int tracks_read = 0; decode_track(r, tracks_read); ++tracks_read) {
        }
    } catch (const DecodeStop&) {
    } catch (const std::bad_alloc&) {
        e.error = "malloc error!";
    }
}

void smf_replay(SmfReader& r, MidiHooks& h)
{
    const SmfEvents& e = r.events;
    SmfPosition& at = r.at;
    at = SmfPosition();
    const uint8_t* p = e.begin();
    const uint8_t* const end = p + e.used;
    const uint8_t* data = e.data.data();
    while (p < end) {
        const int code = *p++;
        if (code >= 0x80 && code < 0xF0) {
            at.current_ticks += int64_t(take_number(p));
            channel_message(h, code, p[0], p[1]);
            p += 2;
            continue;
        }
        switch (code) {
        case 0xFF: {
            at.current_ticks += int64_t(take_number(p));
            const int type = *p++;
            const Message m{data, int(take_number(p))};
            data += m.length;
            meta_event(h, type, m);
            break;
        }
        case 0xF0:
        case 0xF7: {
            at.current_ticks += int64_t(take_number(p));
            const int n = int(take_number(p));
            if (code == 0xF0)
                h.Mf_on_sysex(n, data);
            else
                h.Mf_on_raw_bytes(n, data);
            data += n;
            break;
        }
        case rec_header: {
            const int format = int(take_number(p));
            const int tracks = int(take_number(p));
            const int division = int(take_number(p));
            at.track_total = tracks;
            at.track_index = 0;
            h.Mf_on_header(format, tracks, division);
            break;
        }
        case rec_track_start:
            at.current_ticks = 0;
            h.Mf_on_track_start();
            break;
        case rec_track_end:
            end_track(r, h);
            break;
        case rec_trapped_end:
            at.current_ticks += int64_t(take_number(p));
            log_forced(r.log, "Unexpected EOF trapped\n");
            end_track(r, h);
            break;
        case rec_foreign_data:
            log_print(r.log, "Unexpected data after trackdata!\n");
            break;
        default:
            break;
        }
    }
    if (!e.error.empty()) fail(h, e.error.c_str());
}

void mfread(SmfReader& reader, MidiHooks& hooks)
{
    smf_decode(reader);
    smf_replay(reader, hooks);
}

void smf_stream_open(SmfReader& r, FILE* stream)
{
    r.stream = stream;
    r.block_pos = r.block_len = 0;
    if (r.block.size() != stream_block) r.block.resize(stream_block);
    if (stream) std::rewind(stream);
}

void smf_bytes_open(SmfReader& r, const uint8_t* data, size_t n)
{
    r.stream = nullptr;
    r.block.assign(data, data + n);
    r.block_pos = 0;
    r.block_len = n;
}

int smf_stream_getc(SmfReader& r)
{
    if (r.block_pos == r.block_len) {
        if (!r.stream) return -1;
        r.block_len = std::fread(r.block.data(), 1, r.block.size(), r.stream);
        r.block_pos = 0;
        if (r.block_len == 0) return -1;
    }
    return r.block[r.block_pos++];
}

// --- Listing ---------------------------------------------------------------------------------

void MidiListing::print_time() { log_print(reader_.log, "Time=%lld  ", static_cast<long long>(reader_.at.current_ticks)); }

void MidiListing::Mf_on_key_pressure(int channel, int key, int pressure)
{
    time_prefix();
    if (log_shows(reader_.log)) log_print(reader_.log, "Pressure, chan=%d pitch=%d press=%d\n", channel + 1, key, pressure);
}

void MidiListing::Mf_on_controller(int channel, int c1, int c2)
{
    time_prefix();
    if (log_shows(reader_.log)) log_print(reader_.log, "Parameter, chan=%d c1=%d c2=%d\n", channel + 1, c1, c2);
}

void MidiListing::Mf_on_pitch_bend(int channel, int msb, int lsb)
{
    time_prefix();
    if (log_shows(reader_.log)) log_print(reader_.log, "Pitchbend, chan=%d msb=%d lsb=%d\n", channel + 1, msb, lsb);
}

void MidiListing::Mf_on_channel_pressure(int channel, int pressure)
{
    time_prefix();
    if (log_shows(reader_.log)) log_print(reader_.log, "Channel pressure, chan=%d pressure=%d\n", channel + 1, pressure);
}

void MidiListing::Mf_on_sysex(int length, const uint8_t*)
{
    time_prefix();
    log_print(reader_.log, "Sysex, leng=%d\n", length);
}

void MidiListing::Mf_on_raw_bytes(int length, const uint8_t*)
{
    time_prefix();
    log_print(reader_.log, "Arbitrary bytes, leng=%d\n", length);
}

void MidiListing::Mf_on_meta_other(int type, int length, const uint8_t*)
{
    time_prefix();
    log_print(reader_.log, "Meta event, unrecognized, type=0x%02x leng=%d\n", unsigned(type), length);
}

void MidiListing::Mf_on_sequence_number(int number)
{
    time_prefix();
    log_print(reader_.log, "Meta event, sequence number = %d\n", number);
}

void MidiListing::Mf_on_end_of_track()
{
    time_prefix();
    log_print(reader_.log, "Meta event, end of track\n");
}

void MidiListing::Mf_on_smpte_offset(int hour, int minute, int second, int frame, int fraction)
{
    time_prefix();
    log_print(reader_.log, "SMPTE, hour=%d minute=%d second=%d frame=%d fract-frame=%d\n", hour, minute, second, frame,
              fraction);
}

void MidiListing::Mf_on_time_signature(int numerator, int denominator_exponent, int clocks_per_click,
                             int thirty_seconds_per_24_clocks)
{
    // 2 to the power of the exponent; beyond 2^30 no time signature is meant.
    const int e = denominator_exponent > 30 ? 30 : denominator_exponent;
    const int denominator = e > 0 ? 1 << e : 1;
    time_prefix();
    log_print(reader_.log, "Time signature=%d/%d  MIDI-clocks/click=%d  32nd-notes/24-MIDI-clocks=%d\n", numerator,
              denominator, clocks_per_click, thirty_seconds_per_24_clocks);
}

void MidiListing::Mf_on_key_signature(int sharps_flats, int minor)
{
    time_prefix();
    log_print(reader_.log, "Key signature, sharp/flats=%d  minor=%d\n", sharps_flats, minor);
}

void MidiListing::Mf_on_sequencer_specific(int length, const uint8_t*)
{
    time_prefix();
    log_print(reader_.log, "Meta event, sequencer-specific, type=0x%02x leng=%d\n", 0x7Fu, length);
}

void MidiListing::Mf_on_text(int type, int length, const uint8_t* data)
{
    static const char* const names[9] = {"",     "Text Event", "Copyright Notice", "Sequence/Track Name",
                                         "Instrument Name", "Lyric", "Marker", "Cue Point", "Unrecognized"};
    const int shown = type >= 1 && type <= 8 ? type : 8;
    time_prefix();
    log_print(reader_.log, "Meta Text, type=0x%02x (%s)  leng=%d\n", unsigned(shown), names[shown], length);
    log_print(reader_.log, "     Text = <");
    for (int i = 0; i < length; ++i) {
        const unsigned char c = data[i];
        const bool shows = (c >= 0x20 && c < 0x7F) || c == ' ' || (c >= '\t' && c <= '\r');
        if (shows)
            log_print(reader_.log, "%c", c);
        else
            log_print(reader_.log, "\\0x%02x", unsigned(c));
    }
    log_print(reader_.log, ">\n");
}
