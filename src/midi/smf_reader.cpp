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
// Broken files: an end of file at an event's status byte or first data byte ends the track with
// a warning (players write such cut files); every other end of file, and every byte that cannot
// begin an event, ends the job. Data lengths are never trusted: the message buffer grows with the
// bytes really read, so a length of 4 GB in a small file ends at the file's end.
#include "midi/smf_reader.h"

#include <cstdio>
#include <new>

#include "core/log.h"

namespace {

constexpr size_t stream_block = 64 * 1024;
constexpr int varlen_max_bytes = 4; // 28 bits, the most a MIDI file's lengths and times use

[[noreturn]] void fail(MidiHooks& h, const char* message)
{
    h.Mf_on_error(message);
    throw JobAbort(message);
}

int next_byte(SmfReader& r, MidiHooks& h)
{
    SmfPosition& ms = r.at;
    int c = smf_stream_getc(r);
    if (c < 0) {
        if (ms.eof_trap) return -1;
        fail(h, "premature EOF");
    }
    ms.eof_trap = 0;
    --ms.bytes_left;
    return c;
}

int64_t read_varlen(SmfReader& r, MidiHooks& h)
{
    int64_t value = 0;
    for (int n = 0; n < varlen_max_bytes; ++n) {
        int c = next_byte(r, h);
        value = value * 128 + (c & 0x7F);
        if (!(c & 0x80)) return value;
    }
    fail(h, "variable-length number longer than 4 bytes");
}

uint32_t read32(SmfReader& r, MidiHooks& h)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | uint32_t(next_byte(r, h));
    return v;
}

int read16(SmfReader& r, MidiHooks& h)
{
    int hi = next_byte(r, h);
    return hi << 8 | next_byte(r, h);
}

// Reads the four letters of a chunk magic straight from the byte source. -1 at the end of the
// file, or when foreign data follows the announced tracks; any other difference is fatal.
int expect_magic(SmfReader& r, MidiHooks& h, const char* magic)
{
    int c = 0;
    bool differs = false;
    for (int i = 0; i < 4; ++i) {
        c = smf_stream_getc(r);
        if (c < 0) return -1;
        if (c != (unsigned char)magic[i]) differs = true;
    }
    if (differs) {
        const SmfPosition& ms = r.at;
        if (ms.track_index == ms.track_total) {
            log_print(r.log, "Unexpected data after trackdata!\n");
            return -1;
        }
        char text[16];
        std::snprintf(text, sizeof text, "expecting %s", magic);
        fail(h, text);
    }
    return c;
}

// The data of a meta or system-exclusive event: exactly `length` bytes, read one by one, so a
// length the file cannot hold ends at its end ("premature EOF") before the buffer grows past it.
void read_message(SmfReader& r, MidiHooks& h, int64_t length)
{
    std::vector<uint8_t>& m = r.message;
    try {
        for (int64_t i = 0; i < length; ++i) m.push_back(uint8_t(next_byte(r, h)));
    } catch (const std::bad_alloc&) {
        fail(h, "malloc error!");
    }
}

// Byte i of the message, 0 when the event is shorter (a tempo event of one byte, ...).
int message_byte(const SmfReader& r, int i)
{
    const std::vector<uint8_t>& m = r.message;
    return size_t(i) < m.size() ? m[size_t(i)] : 0;
}
int message_signed(const SmfReader& r, int i) { return int(int8_t(uint8_t(message_byte(r, i)))); }

int message_length(const SmfReader& r) { return int(r.message.size()); }

void meta_event(SmfReader& r, MidiHooks& h)
{
    const int type = next_byte(r, h);
    const int64_t length = read_varlen(r, h);
    r.message.clear();
    read_message(r, h, length);
    const uint8_t* data = r.message.data();
    const int n = message_length(r);
    if (type >= 0x01 && type <= 0x0F) {
        h.Mf_on_text(type, n, data);
        return;
    }
    switch (type) {
    case 0x00:
        h.Mf_on_sequence_number(message_byte(r, 0) << 8 | message_byte(r, 1));
        break;
    case 0x2F:
        h.Mf_on_end_of_track();
        break;
    case 0x51:
        h.Mf_on_tempo(long(message_byte(r, 0)) << 16 | message_byte(r, 1) << 8 | message_byte(r, 2));
        break;
    case 0x54:
        h.Mf_on_smpte_offset(message_signed(r, 0), message_signed(r, 1), message_signed(r, 2), message_signed(r, 3),
                                 message_signed(r, 4));
        break;
    case 0x58:
        h.Mf_on_time_signature(message_signed(r, 0), message_signed(r, 1), message_signed(r, 2), message_signed(r, 3));
        break;
    case 0x59:
        h.Mf_on_key_signature(message_signed(r, 0), message_signed(r, 1));
        break;
    case 0x7F:
        h.Mf_on_sequencer_specific(n, data);
        break;
    default:
        h.Mf_on_meta_other(type, n, data);
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

// An end of file where an event's status byte or first data byte should be: the track ends here.
int trapped_end(SmfReader& r, MidiHooks& h)
{
    r.log.log_force = 1;
    log_print(r.log, "Unexpected EOF trapped\n");
    r.at.eof_trap = 0;
    end_track(r, h);
    return 1;
}

void read_header(SmfReader& r, MidiHooks& h)
{
    SmfPosition& ms = r.at;
    if (expect_magic(r, h, "MThd") == -1) return;
    ms.bytes_left = read32(r, h);
    const int format = read16(r, h);
    const int tracks = read16(r, h);
    const int division = read16(r, h);
    ms.track_total = tracks;
    ms.track_index = 0;
    h.Mf_on_header(format, tracks, division);
    while (ms.bytes_left > 0) next_byte(r, h);
}

// 0 when there is no further track.
int read_track(SmfReader& r, MidiHooks& h)
{
    // Data bytes of a channel message by the status byte's high nibble 0x8..0xE.
    static constexpr int data_bytes[16] = {0, 0, 0, 0, 0, 0, 0, 0, 2, 2, 2, 2, 1, 1, 2, 0};
    SmfPosition& ms = r.at;
    if (expect_magic(r, h, "MTrk") == -1) return 0;
    ms.bytes_left = read32(r, h);
    ms.current_ticks = 0;
    int status = 0;
    h.Mf_on_track_start();
    while (ms.bytes_left > 0) {
        ms.current_ticks += read_varlen(r, h);
        ms.eof_trap = 1;
        int c = next_byte(r, h);
        if (ms.eof_trap) return trapped_end(r, h);
        const bool running = c < 0x80;
        if (running) {
            if (status == 0) fail(h, "unexpected running status");
        } else {
            status = c;
        }
        const int needed = data_bytes[status >> 4];
        if (needed) {
            int d1 = c;
            if (!running) {
                ms.eof_trap = 1;
                d1 = next_byte(r, h);
                if (ms.eof_trap) return trapped_end(r, h);
            }
            const int d2 = needed == 2 ? next_byte(r, h) : 0;
            channel_message(h, status, d1, d2);
            continue;
        }
        if (c == 0xFF) {
            meta_event(r, h);
        } else if (c == 0xF0 || c == 0xF7) {
            const int64_t length = read_varlen(r, h);
            r.message.clear();
            if (c == 0xF0) r.message.push_back(0xF0);
            read_message(r, h, length);
            if (c == 0xF0) h.Mf_on_sysex(message_length(r), r.message.data());
            if (c == 0xF7) h.Mf_on_raw_bytes(message_length(r), r.message.data());
        } else {
            char text[32];
            std::snprintf(text, sizeof text, "unexpected byte: 0x%02x", unsigned(c));
            fail(h, text);
        }
    }
    end_track(r, h);
    return 1;
}

} // namespace

void mfread(SmfReader& reader, MidiHooks& hooks)
{
    read_header(reader, hooks);
    while (read_track(reader, hooks)) {
    }
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
