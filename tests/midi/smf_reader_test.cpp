// The Standard MIDI File reader over byte-built files: the events its hooks see, grouped by what
// can go wrong in a file, the listing lines, and hostile lengths and counts.
#include <chrono>
#include <string>

#include "midi/smf_reader.h"
#include "midi/smf_builder.h"
#include "song/midi_state.h"

namespace {

using kxtest::Bytes;
using kxtest::chunk;

std::vector<uint8_t> source;
size_t source_pos = 0;
std::string trace;

int source_getc() { return source_pos < source.size() ? source[source_pos++] : -1; }
void add(const std::string& s) { trace += (trace.empty() ? "" : " ") + s; }
void on_error(const char* m) { add(std::string("error:") + m); }
void on_header(int f, int n, int d)
{
    midi_state.track_total = n;
    midi_state.track_index = 0;
    add("H" + std::to_string(f) + "," + std::to_string(n) + "," + std::to_string(d));
}
void on_start() { add("S"); }
void on_end()
{
    ++midi_state.track_index;
    add("E");
}
std::string ev(const char* k, int a, int b, int c)
{
    return k + std::to_string(a) + ":" + std::to_string(b) + ":" + std::to_string(c) + "@" +
           std::to_string(midi_state.current_ticks);
}
void note_on(int c, int k, int v) { add(ev("N", c, k, v)); }
void note_off(int c, int k, int v) { add(ev("F", c, k, v)); }
void controller(int c, int a, int b) { add(ev("C", c, a, b)); }
void program(int c, int p) { add(ev("P", c, p, 0)); }
void sysex(int n, const uint8_t* d) { add(ev("X", n, d[0], 0)); }
void tempo(long us) { add("T" + std::to_string(us)); }
void text(int type, int n, const uint8_t*) { add(ev("M", type, n, 0)); }

constexpr MidiHooks recording = {
    source_getc, on_error, on_header, on_start, on_end, note_on, note_off, nullptr, controller, nullptr,
    program, nullptr, sysex, nullptr, nullptr, nullptr, nullptr, nullptr, tempo, nullptr, nullptr, nullptr, text,
};

class SmfReader : public kxtest::WorkDirTest {
protected:
    // Reads the file with the hooks, the log on or off; the trace, then the log text after " | ".
    std::string read(const Bytes& file, int log = 1, const MidiHooks& hooks = recording)
    {
        source = file.data;
        source_pos = 0;
        trace.clear();
        midi_state_reset();
        kxtest::FakeWindow w;
        log_state.window = &w;
        log_state.log_enabled = log;
        try {
            mfread(hooks);
        } catch (const JobAbort&) {
        }
        log_state.window = nullptr;
        return w.text.empty() ? trace : trace + " | " + w.text;
    }
};

Bytes header(int tracks, int length = 6) { return chunk("MThd", Bytes().be16(1).be16(tracks).be16(96).fill(length - 6, 0)); }
Bytes track(std::initializer_list<int> bytes, int64_t length = -1)
{
    Bytes b;
    for (int v : bytes) b.u8(unsigned(v));
    return chunk("MTrk", b, length);
}

TEST_F(SmfReader, EventsAndWhatCanGoWrong)
{
    struct Case { const char* what; Bytes file; int log; const char* trace; };
    const Case cases[] = {
        {"running status across channel messages",
         header(1).append(track({0, 0x90, 60, 100, 10, 62, 0, 0, 0xC3, 5, 0, 7, 0, 0xB1, 7, 99, 0x81, 0, 8, 9})), 1,
         "H1,1,96 S N0:60:100@0 N0:62:0@10 P3:5:0@10 P3:7:0@10 C1:7:99@10 C1:8:9@138 E"},
        {"running status after a meta event", header(1).append(track({0, 0x90, 60, 1, 0, 0xFF, 0x2F, 0, 0, 60, 0})), 1,
         "H1,1,96 S N0:60:1@0 error:unexpected byte: 0x3c"},
        {"EOF inside a delta time", header(1).append(track({0, 0x90, 60, 1, 0x81}, 9)), 1,
         "H1,1,96 S N0:60:1@0 error:premature EOF"},
        {"EOF at a status byte: forced, and the track still ends", header(1).append(track({0, 0x90, 60, 1, 5}, 9)), 0,
         "H1,1,96 S N0:60:1@0 E | Unexpected EOF trapped\n"},
        {"EOF at a first data byte", header(1).append(track({0, 0x90}, 9)), 0, "H1,1,96 S E | Unexpected EOF trapped\n"},
        {"header of length 10", header(1, 10).append(track({0, 0x80, 1, 2})), 1, "H1,1,96 S F0:1:2@0 E"},
        {"no MThd", Bytes().str("RIFF....WAVEfmt "), 1,
         " | Unexpected data after trackdata!\nUnexpected data after trackdata!\n"},
        {"empty file", Bytes(), 1, ""},
        {"data after the tracks", header(1).append(track({})).str("junk"), 1,
         "H1,1,96 S E | Unexpected data after trackdata!\n"},
        {"a track missing", header(2).append(track({})).str("junk"), 1, "H1,2,96 S E error:expecting MTrk"},
        {"data byte without a status", header(1).append(track({0, 60, 1})), 1, "H1,1,96 S error:unexpected running status"},
        {"system real-time byte", header(1).append(track({0, 0xF8})), 1, "H1,1,96 S error:unexpected byte: 0xf8"},
        {"sysex counts its 0xF0", header(1).append(track({0, 0xF0, 5, 0x7E, 1, 2, 3, 0xF7})), 1, "H1,1,96 S X6:240:0@0 E"},
        {"texts 0x01 and 0x0A, tempo of one byte",
         header(1).append(track({0, 0xFF, 1, 0, 0, 0xFF, 0x0A, 1, 65, 0, 0xFF, 0x51, 1, 7})), 1,
         "H1,1,96 S M1:0:0@0 M10:1:0@0 T458752 E"},
        {"delta time of 5 bytes", header(1).append(track({0x81, 0x80, 0x80, 0x80, 0})), 1,
         "H1,1,96 S error:variable-length number longer than 4 bytes"},
    };
    for (const Case& c : cases) EXPECT_EQ(read(c.file, c.log), c.trace) << c.what;
    MidiHooks no_source = recording;
    no_source.Mf_getc = nullptr;
    EXPECT_EQ(read(Bytes(), 1, no_source), "error:mfread() called without setting Mf_getc");
}

// Lengths and counts from the file never drive an allocation or a loop beyond the file.
TEST_F(SmfReader, HostileLengthsEndAtTheEndOfTheFile)
{
    const auto start = std::chrono::steady_clock::now();
    // A meta and a sysex length of 256 MB, a chunk of 4 GB, 65535 tracks announced in 40 bytes.
    EXPECT_EQ(read(header(1).append(track({0, 0xFF, 1, 0xFF, 0xFF, 0xFF, 0x7F, 65}))), "H1,1,96 S error:premature EOF");
    EXPECT_EQ(read(header(1).append(track({0, 0xF7, 0xFF, 0xFF, 0xFF, 0x7F}))), "H1,1,96 S error:premature EOF");
    EXPECT_EQ(read(header(1).append(track({0, 0x90, 1, 2}, 0xFFFFFFFF))), "H1,1,96 S N0:1:2@0 error:premature EOF");
    EXPECT_EQ(read(header(65535).append(track({0, 0x90, 1, 2}))).substr(0, 12), "H1,65535,96 ");
    EXPECT_LT(smf_reader.message.capacity(), 4096u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST_F(SmfReader, ListingLines)
{
    const MidiHooks listing = {source_getc, on_error, nullptr, nullptr, on_end, nullptr, nullptr,
                               smf_list_key_pressure, smf_list_controller, smf_list_pitch_bend, nullptr,
                               smf_list_channel_pressure, smf_list_sysex, smf_list_raw_bytes, smf_list_meta_other,
                               smf_list_sequence_number, smf_list_end_of_track, smf_list_smpte_offset, nullptr,
                               smf_list_time_signature, smf_list_key_signature, smf_list_sequencer_specific,
                               smf_list_text};
    EXPECT_EQ(read(header(1).append(track({1, 0xA1, 60, 70, 0, 0xB2, 7, 100, 0, 0xE3, 0, 64, 0, 0xD4, 9, 0, 0xF7, 2, 1,
                                           2, 0, 0xFF, 0x60, 1, 0, 0, 0xFF, 0x7F, 3, 0, 0, 0x41, 0, 0xFF, 0, 2, 1, 2,
                                           0, 0xFF, 0x59, 2, 0xFD, 1, 0, 0xFF, 0x58, 4, 6, 3, 24, 8, 0, 0xFF, 0x58, 4, 2,
                                           0xFE, 24, 8, 0, 0xFF, 0x54, 5, 1, 2, 3, 4, 5, 0, 0xFF, 0x0A, 4, 'a', 1, 0x7F, 'b',
                                           0, 0xF0, 0, 0, 0xFF, 0x2F, 0})),
                   1, listing),
              "E | Time=1  Pressure, chan=2 pitch=60 press=70\n"
              "Time=1  Parameter, chan=3 c1=7 c2=100\n"
              "Time=1  Pitchbend, chan=4 msb=0 lsb=64\n"
              "Time=1  Channel pressure, chan=5 pressure=9\n"
              "Time=1  Arbitrary bytes, leng=2\n"
              "Time=1  Meta event, unrecognized, type=0x60 leng=1\n"
              "Time=1  Meta event, sequencer-specific, type=0x7f leng=3\n"
              "Time=1  Meta event, sequence number = 258\n"
              "Time=1  Key signature, sharp/flats=-3  minor=1\n"
              "Time=1  Time signature=6/8  MIDI-clocks/click=24  32nd-notes/24-MIDI-clocks=8\n"
              "Time=1  Time signature=2/1  MIDI-clocks/click=24  32nd-notes/24-MIDI-clocks=8\n"
              "Time=1  SMPTE, hour=1 minute=2 second=3 frame=4 fract-frame=5\n"
              "Time=1  Meta Text, type=0x08 (Unrecognized)  leng=4\n"
              "     Text = <a\\0x01\\0x7fb>\n"
              "Time=1  Sysex, leng=1\n"
              "Time=1  Meta event, end of track\n");
}

} // namespace
