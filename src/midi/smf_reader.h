// Standard MIDI File reader: decodes the header chunk "MThd" and the track chunks "MTrk" once into
// compact event records held in memory, and reports the events to a hooks object as often as a
// program asks. It interprets nothing musically; the note placement turns the note, program,
// tempo and track hooks into a song, and the listing hooks below write every other event into
// the log.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "core/log.h"

// Where a reading stands: what the hooks may ask while they are called.
struct SmfPosition {
    int64_t bytes_left = 0;    // bytes of the current chunk not yet read
    int64_t current_ticks = 0; // time of the current event, ticks since the start of the track
    int eof_trap = 0;          // an end of file is returned as -1 instead of being an error
    int track_index = 0;       // tracks finished in this reading
    int track_total = 0;       // tracks the header announces
};

// A file decoded once, so that a conversion's passes run over memory instead of reading and
// decoding the file each time. `records` holds the events in file order, one code byte each
// followed by its fields (times and lengths as little-endian base-128 numbers):
//   0x80-0xEF  channel message: the status byte, delta time, two data bytes (the second 0 for
//              0xCn and 0xDn)
//   0xFF       meta event: delta time, type byte, length; its data next in `data`
//   0xF0 0xF7  system-exclusive message, packet: delta time, length; data next in `data`
//              (a system-exclusive message's data begins with its 0xF0)
//   the rest   the header's three words, a track's start and end, an end of file trapped
//              (with the delta time read before it), foreign data after the tracks
// A fatal error ends the decoding; its text is kept in `error`, and a run of the hooks ends with
// it after the last record.
// A note event takes 4 bytes, about what the file spends on it under running status.
struct SmfEvents {
    bool decoded = false;
    std::unique_ptr<uint8_t[]> records;
    size_t start = 0;              // the first record's offset in `records` (a large page's start)
    size_t used = 0, capacity = 0; // bytes of records written, room for them from `start` on
    const uint8_t* begin() const { return records.get() + start; }
    std::vector<uint8_t> data;
    std::string error; // the fatal error that ended the decoding, empty: none
};

// One reading of one file: its byte source (a stream read in blocks, or bytes in memory), the
// events decoded from it, and where a run of the hooks over them stands.
struct SmfReader {
    explicit SmfReader(Log& job_log) : log(job_log) {}
    Log& log;                     // the reader's own lines ("Unexpected EOF trapped", ...)
    JobCancel* cancel = nullptr;  // the job's kill request, looked at every cancel_check_events
                                  // events (a file of notes only, whose lines are all suppressed)
    SmfPosition at;
    SmfEvents events;
    FILE* stream = nullptr;       // the file the bytes come from; null: only `block`
    std::vector<uint8_t> block;   // bytes read ahead from it
    size_t block_pos = 0, block_len = 0;
};

// The hooks of one reading: an object whose hooks do nothing unless a program overrides them.
// Channels are 0-based (0-15), data bytes arrive as ints 0-255 (a data byte with bit 7 set can
// only be a first data byte read after a status byte).
class MidiHooks {
public:
    virtual ~MidiHooks() = default;
    // A fatal parse error: the reading then ends with the message as the job's fatal error.
    virtual void Mf_on_error(const char* message) { (void)message; }
    virtual void Mf_on_header(int /*format*/, int /*tracks*/, int /*division*/) {}
    virtual void Mf_on_track_start() {}
    virtual void Mf_on_track_end() {} // also after an end of file trapped in the track
    virtual void Mf_on_note_on(int /*channel*/, int /*key*/, int /*velocity*/) {} // velocity 0 passed unchanged
    virtual void Mf_on_note_off(int /*channel*/, int /*key*/, int /*velocity*/) {}
    virtual void Mf_on_key_pressure(int /*channel*/, int /*key*/, int /*pressure*/) {}
    virtual void Mf_on_controller(int /*channel*/, int /*c1*/, int /*c2*/) {}
    virtual void Mf_on_pitch_bend(int /*channel*/, int /*msb*/, int /*lsb*/) {}
    virtual void Mf_on_program(int /*channel*/, int /*program*/) {}
    virtual void Mf_on_channel_pressure(int /*channel*/, int /*pressure*/) {}
    virtual void Mf_on_sysex(int /*length*/, const uint8_t* /*data*/) {} // data begins with the 0xF0
    virtual void Mf_on_raw_bytes(int /*length*/, const uint8_t* /*data*/) {} // a 0xF7 packet
    virtual void Mf_on_meta_other(int /*type*/, int /*length*/, const uint8_t* /*data*/) {}
    virtual void Mf_on_sequence_number(int /*number*/) {}
    virtual void Mf_on_end_of_track() {}
    virtual void Mf_on_smpte_offset(int /*hour*/, int /*minute*/, int /*second*/, int /*frame*/, int /*fraction*/) {}
    virtual void Mf_on_tempo(long /*microseconds_per_quarter*/) {}
    virtual void Mf_on_time_signature(int /*numerator*/, int /*denominator_exponent*/, int /*clocks_per_click*/,
                                      int /*thirty_seconds_per_24_clocks*/) {}
    virtual void Mf_on_key_signature(int /*sharps_flats*/, int /*minor*/) {}
    virtual void Mf_on_sequencer_specific(int /*length*/, const uint8_t* /*data*/) {}
    virtual void Mf_on_text(int /*type*/, int /*length*/, const uint8_t* /*data*/) {} // meta types 0x01-0x0F
};

// Reads the header, then tracks until there is no further one, from the reader's byte source.
// The reader counts the tracks itself (track_total from the header, track_index after each
// track's end hook). Every fatal error goes through Mf_on_error; the job ends with its text.
// The same as smf_decode, then smf_replay.
void mfread(SmfReader& reader, MidiHooks& hooks);

// Decodes the whole byte source into reader.events, once (later calls do nothing). Calls no
// hook and writes no line: a fatal error is kept as the last record, the reader's lines as theirs.
void smf_decode(SmfReader& reader);
// Runs the hooks over the decoded events from the start, exactly as reading the file would: the
// same calls, positions, log lines and fatal error.
void smf_replay(SmfReader& reader, MidiHooks& hooks);

// The byte source: a stream from its start (rewound, nothing read ahead), or bytes in memory.
void smf_stream_open(SmfReader& reader, FILE* stream);
void smf_bytes_open(SmfReader& reader, const uint8_t* data, size_t n);
// The next byte of the source, or -1 at its end.
int smf_stream_getc(SmfReader& reader);

// The listing hooks: each writes "Time=<current_ticks>  " and one line describing the event into
// the reader's log. The note placement takes them over for the events it does not use.
class MidiListing : public MidiHooks {
public:
    explicit MidiListing(SmfReader& reader) : reader_(reader) {}
    void Mf_on_key_pressure(int channel, int key, int pressure) override;
    void Mf_on_controller(int channel, int c1, int c2) override;
    void Mf_on_pitch_bend(int channel, int msb, int lsb) override;
    void Mf_on_channel_pressure(int channel, int pressure) override;
    void Mf_on_sysex(int length, const uint8_t* data) override;
    void Mf_on_raw_bytes(int length, const uint8_t* data) override;
    void Mf_on_meta_other(int type, int length, const uint8_t* data) override;
    void Mf_on_sequence_number(int number) override;
    void Mf_on_end_of_track() override;
    void Mf_on_smpte_offset(int hour, int minute, int second, int frame, int fraction) override;
    void Mf_on_time_signature(int numerator, int denominator_exponent, int clocks_per_click,
                              int thirty_seconds_per_24_clocks) override;
    void Mf_on_key_signature(int sharps_flats, int minor) override;
    void Mf_on_sequencer_specific(int length, const uint8_t* data) override;
    void Mf_on_text(int type, int length, const uint8_t* data) override;

protected:
    // "Time=<current_ticks>  ", the prefix of every listing line (asked inline: it comes with
    // every event, and the log is mostly off).
    void time_prefix()
    {
        if (log_shows(reader_.log)) print_time();
    }
    void print_time();
    SmfReader& reader_;
};
