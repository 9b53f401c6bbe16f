// The Standard MIDI File reader over byte-built files: the events its hooks see, grouped by what
// can go wrong in a file, and hostile lengths and counts. (The listing lines: note_placement_test.)
#include <string>

#include "midi/smf_reader.h"
#include "midi/smf_builder.h"

namespace {

using kxtest::Bytes;
using kxtest::chunk;

// Records each event as a word of the trace, with the time the reader gives it.
class Recording : public MidiHooks {
public:
    explicit Recording(const SmfReader& reader) : at(reader.at) {}
    void Mf_on_error(const char* m) override { add(std::string("error:") + m); }
    void Mf_on_header(int f, int n, int d) override
    {
        add("H" + std::to_string(f) + "," + std::to_string(n) + "," + std::to_string(d));
    }
    void Mf_on_track_start() override { add("S"); }
    void Mf_on_track_end() override { add("E"); }
    void Mf_on_note_on(int c, int k, int v) override { add(ev("N", c, k, v)); }
    void Mf_on_note_off(int c, int k, int v) override { add(ev("F", c, k, v)); }
    void Mf_on_controller(int c, int a, int b) override { add(ev("C", c, a, b)); }
    void Mf_on_program(int c, int p) override { add(ev("P", c, p, 0)); }
    void Mf_on_sysex(int n, const uint8_t* d) override { add(ev("X", n, d[0], 0)); }
    void Mf_on_tempo(long us) override { add("T" + std::to_string(us)); }
    void Mf_on_text(int type, int n, const uint8_t*) override { add(ev("M", type, n, 0)); }
    std::string trace;

private:
    void add(const std::string& s) { trace += (trace.empty() ? "" : " ") + s; }
    std::string ev(const char* k, int a, int b, int c)
    {
        return k + std::to_string(a) + ":" + std::to_string(b) + ":" + std::to_string(c) + "@" +
               std::to_string(at.current_ticks);
    }
    const SmfPosition& at;
};

class SmfReaderTest : public kxtest::WorkDirTest {
protected:
    // Reads the file with the hooks, the log on or off; the trace, then the log text after " | ".
    std::string read(const Bytes& file, int on = 1)
    {
        kxtest::FakeWindow w;
        log.window = &w;
        log.log_enabled = on;
        SmfReader reader(log);
        Recording hooks(reader);
        smf_bytes_open(reader, file.data.data(), file.size());
        try {
            mfread(reader, hooks);
        } catch (const JobAbort&) {
        }
        log.window = nullptr;
        message_capacity = reader.events.data.capacity();
        return w.text.empty() ? hooks.trace : hooks.trace + " | " + w.text;
    }
    size_t message_capacity = 0;
};

Bytes header(int tracks, int length = 6) { return chunk("MThd", Bytes().be16(1).be16(tracks).be16(96).fill(length - 6, 0)); }
Bytes track(std::initializer_list<int> bytes, int64_t length = -1)
{
    Bytes b;
    for (int v : bytes) b.u8(unsigned(v));
    return chunk("MTrk", b, length);
}

TEST_F(SmfReaderTest, EventsAndWhatCanGoWrong)
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
    for (const Case& k : cases) EXPECT_EQ(read(k.file, k.log), k.trace) << k.what;
}

// Lengths and counts from the file never drive an allocation or a loop beyond the file.
TEST_F(SmfReaderTest, HostileLengthsEndAtTheEndOfTheFile)
{
    // A meta and a sysex length of 256 MB, a chunk of 4 GB, 65535 tracks announced in 40 bytes.
    EXPECT_EQ(read(header(1).append(track({0, 0xFF, 1, 0xFF, 0xFF, 0xFF, 0x7F, 65}))), "H1,1,96 S error:premature EOF");
    EXPECT_EQ(read(header(1).append(track({0, 0xF7, 0xFF, 0xFF, 0xFF, 0x7F}))), "H1,1,96 S error:premature EOF");
    EXPECT_EQ(read(header(1).append(track({0, 0x90, 1, 2}, 0xFFFFFFFF))), "H1,1,96 S N0:1:2@0 error:premature EOF");
    EXPECT_EQ(read(header(65535).append(track({0, 0x90, 1, 2}))).substr(0, 12), "H1,65535,96 ");
    EXPECT_LT(message_capacity, 4096u);
}

} // namespace
