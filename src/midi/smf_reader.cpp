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
#include "song/midi_state.h"

SmfReader smf_reader;

namespace {

constexpr size_t stream_block = 64 * 1024;
constexpr int varlen_max_bytes = 4; // 28 bits, the most a MIDI file's lengths and times use

[[noreturn]] void fail(const MidiHooks& h, const char* message)
{
    if (h.Mf_on_error) h.Mf_on_error(message);
    throw JobAbort(message); // an error hook must not return; the reading ends here if it does
}

int next_byte(const MidiHooks& h)
{
    MidiState& ms = midi_state;
    int c = h.Mf_getc();
    if (c < 0) {
        if (ms.eof_trap) return -1;
        fail(h, "premature EOF");
    }
    ms.eof_trap = 0;
    --ms.bytes_left;
    return c;
}

int64_t read_varlen(const MidiHooks& h)
{
    int64_t value = 0;
    for (int n = 0; n < varlen_max_bytes; ++n) {
        int c = next_byte(h);
        value = value * 128 + (c & 0x7F);
        if (!(c & 0x80)) return value;
    }
    fail(h, "variable-length number longer than 4 bytes");
}

uint32_t read32(const MidiHooks& h)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | uint32_t(next_byte(h));
    return v;
}

int read16(const MidiHooks& h)
{
    int hi = next_byte(h);
    return hi << 8 | next_byte(h);
}

// Reads the four letters of a chunk magic straight from the byte source. -1 at the end of the
// file, or when foreign data follows the announced tracks; any other difference is fatal.
int expect_magic(const MidiHooks& h, const char* magic)
{
    int c = 0;
    bool differs = false;
    for (int i = 0; i < 4; ++i) {
        c = h.Mf_getc();
        if (c < 0) return -1;
        if (c != (unsigned char)magic[i]) differs = true;
    }
    if (differs) {
        MidiState& ms = midi_state;
        if (ms.track_index == ms.track_total) {
            log_print("Unexpected data after trackdata!\n");
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
void read_message(const MidiHooks& h, int64_t length)
{
    std::vector<uint8_t>& m = smf_reader.message;
    try {
        for (int64_t i = 0; i < length; ++i) m.push_back(uint8_t(next_byte(h)));
    } catch (const std::bad_alloc&) {
        fail(h, "malloc error!");
    }
}

// Byte i of the message, 0 when the event is shorter (a tempo event of one byte, ...).
int message_byte(int i)
{
    const std::vector<uint8_t>& m = smf_reader.message;
    return size_t(i) < m.size() ? m[size_t(i)] : 0;
}
int message_signed(int i) { return int(int8_t(uint8_t(message_byte(i)))); }

int message_length() { return int(smf_reader.message.size()); }

void meta_event(const MidiHooks& h)
{
    const int type = next_byte(h);
    const int64_t length = read_varlen(h);
    smf_reader.message.clear();
    read_message(h, length);
    const uint8_t* data = smf_reader.message.data();
    const int n = message_length();
    if (type >= 0x01 && type <= 0x0F) {
        if (h.Mf_on_text) h.Mf_on_text(type, n, data);
        return;
    }
    switch (type) {
    case 0x00:
        if (h.Mf_on_sequence_number) h.Mf_on_sequence_number(message_byte(0) << 8 | message_byte(1));
        break;
    case 0x2F:
        if (h.Mf_on_end_of_track) h.Mf_on_end_of_track();
        break;
    case 0x51:
        if (h.Mf_on_tempo) h.Mf_on_tempo(long(message_byte(0)) << 16 | message_byte(1) << 8 | message_byte(2));
        break;
    case 0x54:
        if (h.Mf_on_smpte_offset)
            h.Mf_on_smpte_offset(message_signed(0), message_signed(1), message_signed(2), message_signed(3),
                                 message_signed(4));
        break;
    case 0x58:
        if (h.Mf_on_time_signature)
            h.Mf_on_time_signature(message_signed(0), message_signed(1), message_signed(2), message_signed(3));
        break;
    case 0x59:
        if (h.Mf_on_key_signature) h.Mf_on_key_signature(message_signed(0), message_signed(1));
        break;
    case 0x7F:
        if (h.Mf_on_sequencer_specific) h.Mf_on_sequencer_specific(n, data);
        break;
    default:
        if (h.Mf_on_meta_other) h.Mf_on_meta_other(type, n, data);
        break;
    }
}

void channel_message(const MidiHooks& h, int status, int d1, int d2)
{
    const int ch = status & 0x0F;
    switch (status >> 4) {
    case 0x8: if (h.Mf_on_note_off) h.Mf_on_note_off(ch, d1, d2); break;
    case 0x9: if (h.Mf_on_note_on) h.Mf_on_note_on(ch, d1, d2); break;
    case 0xA: if (h.Mf_on_key_pressure) h.Mf_on_key_pressure(ch, d1, d2); break;
    case 0xB: if (h.Mf_on_controller) h.Mf_on_controller(ch, d1, d2); break;
    case 0xC: if (h.Mf_on_program) h.Mf_on_program(ch, d1); break;
    case 0xD: if (h.Mf_on_channel_pressure) h.Mf_on_channel_pressure(ch, d1); break;
    case 0xE: if (h.Mf_on_pitch_bend) h.Mf_on_pitch_bend(ch, d1, d2); break;
    default: break;
    }
}

// An end of file where an event's status byte or first data byte should be: the track ends here.
int trapped_end(const MidiHooks& h)
{
    MidiState& ms = midi_state;
    log_state.log_force = 1;
    log_print("Unexpected EOF trapped\n");
    ms.eof_trap = 0;
    if (h.Mf_on_track_end) h.Mf_on_track_end();
    return 1;
}

void read_header(const MidiHooks& h)
{
    MidiState& ms = midi_state;
    if (expect_magic(h, "MThd") == -1) return;
    ms.bytes_left = read32(h);
    const int format = read16(h);
    const int tracks = read16(h);
    const int division = read16(h);
    if (h.Mf_on_header) h.Mf_on_header(format, tracks, division);
    while (ms.bytes_left > 0) next_byte(h);
}

// 0 when there is no further track.
int read_track(const MidiHooks& h)
{
    // Data bytes of a channel message by the status byte's high nibble 0x8..0xE.
    static constexpr int data_bytes[16] = {0, 0, 0, 0, 0, 0, 0, 0, 2, 2, 2, 2, 1, 1, 2, 0};
    MidiState& ms = midi_state;
    if (expect_magic(h, "MTrk") == -1) return 0;
    ms.bytes_left = read32(h);
    ms.current_ticks = 0;
    int status = 0;
    if (h.Mf_on_track_start) h.Mf_on_track_start();
    while (ms.bytes_left > 0) {
        ms.current_ticks += read_varlen(h);
        ms.eof_trap = 1;
        int c = next_byte(h);
        if (ms.eof_trap) return trapped_end(h);
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
                d1 = next_byte(h);
                if (ms.eof_trap) return trapped_end(h);
            }
            const int d2 = needed == 2 ? next_byte(h) : 0;
            channel_message(h, status, d1, d2);
            continue;
        }
        if (c == 0xFF) {
            meta_event(h);
        } else if (c == 0xF0 || c == 0xF7) {
            const int64_t length = read_varlen(h);
            smf_reader.message.clear();
            if (c == 0xF0) smf_reader.message.push_back(0xF0);
            read_message(h, length);
            if (c == 0xF0 && h.Mf_on_sysex) h.Mf_on_sysex(message_length(), smf_reader.message.data());
            if (c == 0xF7 && h.Mf_on_raw_bytes) h.Mf_on_raw_bytes(message_length(), smf_reader.message.data());
        } else {
            char text[32];
            std::snprintf(text, sizeof text, "unexpected byte: 0x%02x", unsigned(c));
            fail(h, text);
        }
    }
    if (h.Mf_on_track_end) h.Mf_on_track_end();
    return 1;
}

} // namespace

void mfread(const MidiHooks& hooks)
{
    if (!hooks.Mf_getc) fail(hooks, "mfread() called without setting Mf_getc");
    read_header(hooks);
    while (read_track(hooks)) {
    }
}

void smf_stream_open(FILE* stream)
{
    SmfReader& r = smf_reader;
    r.stream = stream;
    r.block_pos = r.block_len = 0;
    if (r.block.size() != stream_block) r.block.resize(stream_block);
    if (stream) std::rewind(stream);
}

int smf_stream_getc()
{
    SmfReader& r = smf_reader;
    if (r.block_pos == r.block_len) {
        if (!r.stream) return -1;
        r.block_len = std::fread(r.block.data(), 1, r.block.size(), r.stream);
        r.block_pos = 0;
        if (r.block_len == 0) return -1;
    }
    return r.block[r.block_pos++];
}

// --- Listing ---------------------------------------------------------------------------------

void smf_time_prefix() { log_print("Time=%lld  ", static_cast<long long>(midi_state.current_ticks)); }

void smf_list_key_pressure(int channel, int key, int pressure)
{
    smf_time_prefix();
    log_print("Pressure, chan=%d pitch=%d press=%d\n", channel + 1, key, pressure);
}

void smf_list_controller(int channel, int c1, int c2)
{
    smf_time_prefix();
    log_print("Parameter, chan=%d c1=%d c2=%d\n", channel + 1, c1, c2);
}

void smf_list_pitch_bend(int channel, int msb, int lsb)
{
    smf_time_prefix();
    log_print("Pitchbend, chan=%d msb=%d lsb=%d\n", channel + 1, msb, lsb);
}

void smf_list_channel_pressure(int channel, int pressure)
{
    smf_time_prefix();
    log_print("Channel pressure, chan=%d pressure=%d\n", channel + 1, pressure);
}

void smf_list_sysex(int length, const uint8_t*)
{
    smf_time_prefix();
    log_print("Sysex, leng=%d\n", length);
}

void smf_list_raw_bytes(int length, const uint8_t*)
{
    smf_time_prefix();
    log_print("Arbitrary bytes, leng=%d\n", length);
}

void smf_list_meta_other(int type, int length, const uint8_t*)
{
    smf_time_prefix();
    log_print("Meta event, unrecognized, type=0x%02x leng=%d\n", unsigned(type), length);
}

void smf_list_sequence_number(int number)
{
    smf_time_prefix();
    log_print("Meta event, sequence number = %d\n", number);
}

void smf_list_end_of_track()
{
    smf_time_prefix();
    log_print("Meta event, end of track\n");
}

void smf_list_smpte_offset(int hour, int minute, int second, int frame, int fraction)
{
    smf_time_prefix();
    log_print("SMPTE, hour=%d minute=%d second=%d frame=%d fract-frame=%d\n", hour, minute, second, frame,
              fraction);
}

void smf_list_time_signature(int numerator, int denominator_exponent, int clocks_per_click,
                             int thirty_seconds_per_24_clocks)
{
    // 2 to the power of the exponent; beyond 2^30 no time signature is meant.
    const int e = denominator_exponent > 30 ? 30 : denominator_exponent;
    const int denominator = e > 0 ? 1 << e : 1;
    smf_time_prefix();
    log_print("Time signature=%d/%d  MIDI-clocks/click=%d  32nd-notes/24-MIDI-clocks=%d\n", numerator,
              denominator, clocks_per_click, thirty_seconds_per_24_clocks);
}

void smf_list_key_signature(int sharps_flats, int minor)
{
    smf_time_prefix();
    log_print("Key signature, sharp/flats=%d  minor=%d\n", sharps_flats, minor);
}

void smf_list_sequencer_specific(int length, const uint8_t*)
{
    smf_time_prefix();
    log_print("Meta event, sequencer-specific, type=0x%02x leng=%d\n", 0x7Fu, length);
}

void smf_list_text(int type, int length, const uint8_t* data)
{
    static const char* const names[9] = {"",     "Text Event", "Copyright Notice", "Sequence/Track Name",
                                         "Instrument Name", "Lyric", "Marker", "Cue Point", "Unrecognized"};
    const int shown = type >= 1 && type <= 8 ? type : 8;
    smf_time_prefix();
    log_print("Meta Text, type=0x%02x (%s)  leng=%d\n", unsigned(shown), names[shown], length);
    log_print("     Text = <");
    for (int i = 0; i < length; ++i) {
        const unsigned char c = data[i];
        const bool shows = (c >= 0x20 && c < 0x7F) || c == ' ' || (c >= '\t' && c <= '\r');
        if (shows)
            log_print("%c", c);
        else
            log_print("\\0x%02x", unsigned(c));
    }
    log_print(">\n");
}
