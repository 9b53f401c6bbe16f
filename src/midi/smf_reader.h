// Standard MIDI File reader: walks the header chunk "MThd" and the track chunks "MTrk" byte by
// byte and reports every event to a table of hooks. It interprets nothing musically; the note
// placement turns the note, program, tempo and track hooks into a song, and the listing hooks
// below write every other event into the log.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

// The hooks of one reading. A program fills its table once, as a constant; a hook left null is
// not called (the byte source and the error hook excepted). Channels are 0-based (0-15), data
// bytes arrive as ints 0-255 (a data byte with bit 7 set can only be a first data byte read
// after a status byte).
struct MidiHooks {
    int (*Mf_getc)();                             // next byte 0-255, or -1 at the end of the file
    void (*Mf_on_error)(const char* message);     // a fatal parse error; must not return
    void (*Mf_on_header)(int format, int tracks, int division);
    void (*Mf_on_track_start)();
    void (*Mf_on_track_end)();                    // also after an end of file trapped in the track
    void (*Mf_on_note_on)(int channel, int key, int velocity); // velocity 0 passed unchanged
    void (*Mf_on_note_off)(int channel, int key, int velocity);
    void (*Mf_on_key_pressure)(int channel, int key, int pressure);
    void (*Mf_on_controller)(int channel, int c1, int c2);
    void (*Mf_on_pitch_bend)(int channel, int msb, int lsb);
    void (*Mf_on_program)(int channel, int program);
    void (*Mf_on_channel_pressure)(int channel, int pressure);
    void (*Mf_on_sysex)(int length, const uint8_t* data);      // data begins with the 0xF0
    void (*Mf_on_raw_bytes)(int length, const uint8_t* data);  // a 0xF7 packet
    void (*Mf_on_meta_other)(int type, int length, const uint8_t* data);
    void (*Mf_on_sequence_number)(int number);
    void (*Mf_on_end_of_track)();
    void (*Mf_on_smpte_offset)(int hour, int minute, int second, int frame, int fraction);
    void (*Mf_on_tempo)(long microseconds_per_quarter);
    void (*Mf_on_time_signature)(int numerator, int denominator_exponent, int clocks_per_click,
                                 int thirty_seconds_per_24_clocks);
    void (*Mf_on_key_signature)(int sharps_flats, int minor);
    void (*Mf_on_sequencer_specific)(int length, const uint8_t* data);
    void (*Mf_on_text)(int type, int length, const uint8_t* data); // meta types 0x01-0x0F
};

// What the reader keeps beyond midi_state: the message buffer of meta and system-exclusive data,
// and the buffered stream smf_stream_getc reads from.
struct SmfReader {
    std::vector<uint8_t> message;   // data of the current meta or system-exclusive event
    FILE* stream = nullptr;         // the file smf_stream_getc reads
    std::vector<uint8_t> block;     // bytes read ahead from it
    size_t block_pos = 0, block_len = 0;
};

extern SmfReader smf_reader;

// Reads the header, then tracks until there is no further one. Every fatal error goes through
// Mf_on_error; the job ends with its text.
void mfread(const MidiHooks& hooks);

// A byte source over an open stream for Mf_getc: smf_stream_open rewinds the stream to its start
// and forgets what was read ahead; smf_stream_getc returns its next byte or -1.
void smf_stream_open(FILE* stream);
int smf_stream_getc();

// "Time=<current_ticks>  ", the prefix of every listing line.
void smf_time_prefix();

// The listing hooks: each writes the time prefix and one line describing the event.
void smf_list_key_pressure(int channel, int key, int pressure);
void smf_list_controller(int channel, int c1, int c2);
void smf_list_pitch_bend(int channel, int msb, int lsb);
void smf_list_channel_pressure(int channel, int pressure);
void smf_list_sysex(int length, const uint8_t* data);
void smf_list_raw_bytes(int length, const uint8_t* data);
void smf_list_meta_other(int type, int length, const uint8_t* data);
void smf_list_sequence_number(int number);
void smf_list_end_of_track();
void smf_list_smpte_offset(int hour, int minute, int second, int frame, int fraction);
void smf_list_time_signature(int numerator, int denominator_exponent, int clocks_per_click,
                             int thirty_seconds_per_24_clocks);
void smf_list_key_signature(int sharps_flats, int minor);
void smf_list_sequencer_specific(int length, const uint8_t* data);
void smf_list_text(int type, int length, const uint8_t* data);
