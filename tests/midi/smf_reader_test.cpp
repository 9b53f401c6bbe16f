// The Standard MIDI File reader over byte-built files: the events its hooks see, grouped by what
// can go wrong in a file, and hostile lengths and counts. (The listing lines: note_placement_test.)
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

void add(const std::string& s) { trace += (trace.empty() ? "" : " ") + s; }
std::string ev(const char* k, int a, int b, int c)
{
    return k + std::to_string(a) + ":" + std::to_string(b) + ":" + std::to_string(c) + "@" +
           std::to_string(midi_state.current_ticks);
}

// Records each event as a word of the trace; keeps the track count as the placement does.
constexpr MidiHooks recording = {
    [] { return source_pos < source.size() ? int(source[source_pos++]) : -1; },
    [](const char* m) { add(std::string("error:") + m); },
    [](int f, int n, int d) {
        midi_state.track_total = n;
        midi_state.track_index = 0;
        add("H" + std::to_string(f) + "," + std::to_string(n) + "," + std::to_string(d));
    },
    [] { add("S"); }, [] { ++midi_state.track_index, add("E"); },
    [](int c, int k, int v) { add(ev("N", c, k, v)); }, [](int c, int k, int v) { add(ev("F", c, k, v)); }, nullptr,
    [](int c, int a, int b) { add(ev("C", c, a, b)); }, nullptr, [](int c, int p) { add(ev("P", c, p, 0)); }, nullptr,
    [](int n, const uint8_t* d) { add(ev("X", n, d[0], 0)); }, nullptr, nullptr, nullptr, nullptr, nullptr,
    [](long us) { add("T" + std::to_string(us)); }, nullptr, nullptr, nullptr,
    [](int type, int n, const uint8_t*) { add(ev("M", type, n, 0)); },
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
    // A meta and a sysex length of 256 MB, a chunk of 4 GB, 65535 tracks announced in 40 bytes.
    EXPECT_EQ(read(header(1).append(track({0, 0xFF, 1, 0xFF, 0xFF, 0xFF, 0x7F, 65}))), "H1,1,96 S error:premature EOF");
    EXPECT_EQ(read(header(1).append(track({0, 0xF7, 0xFF, 0xFF, 0xFF, 0x7F}))), "H1,1,96 S error:premature EOF");
    EXPECT_EQ(read(header(1).append(track({0, 0x90, 1, 2}, 0xFFFFFFFF))), "H1,1,96 S N0:1:2@0 error:premature EOF");
    EXPECT_EQ(read(header(65535).append(track({0, 0x90, 1, 2}))).substr(0, 12), "H1,65535,96 ");
    EXPECT_LT(smf_reader.message.capacity(), 4096u);
}

} // namespace
