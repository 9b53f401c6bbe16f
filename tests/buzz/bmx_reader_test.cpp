// Song reader tests over synthetic BMX songs built byte by byte: what a read gathers, the merge
// stream and its hooks, refused and hostile songs, songs cut short. The listing
// of a song the program wrote is one of the golden files of tests/e2e.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "buzz/bmx_reader.h"
#include "buzz/machines_ini.h"
#include "buzz/para_section.h"
#include "core/byteio.h"
#include "core/pool.h"
#include "jobs/job_runner.h"
#include "settings/settings.h"
#include "support/test_support.h"
#include "transform/buzz_song_builder.h"

namespace {

using kxtest::Bytes;

// A song file: the header, a directory of exactly the given sections, the bodies back to back.
struct SongFile {
    std::vector<std::pair<std::string, Bytes>> sections;

    SongFile& add(const std::string& name, const Bytes& body)
    {
        sections.emplace_back(name, body);
        return *this;
    }
    Bytes bytes(const char* magic = "Buzz") const
    {
        Bytes b;
        b.str(magic).le32(uint32_t(sections.size()));
        uint32_t off = uint32_t(8 + 12 * sections.size());
        for (const auto& [name, body] : sections) {
            b.fixed(name, 4).le32(off).le32(uint32_t(body.size()));
            off += uint32_t(body.size());
        }
        for (const auto& s : sections) b.append(s.second);
        return b;
    }
};

// A machine record at position (0, 0); the track state is repeated for every track.
struct Machine {
    std::string name, dll;
    int type = 1;
    Bytes data{}, globals{}, track{};
    unsigned tracks = 0, attributes = 0;
};

Bytes record(const Machine& m)
{
    Bytes b;
    b.str(m.name).u8(0).u8(unsigned(m.type)).str(m.dll).u8(0).le32(0).le32(0);
    b.le32(uint32_t(m.data.size())).append(m.data).le16(m.attributes);
    for (unsigned a = 0; a < m.attributes; ++a) b.str("Ramp Time (ms)").u8(0).le32(1);
    b.append(m.globals).le16(m.tracks);
    for (unsigned t = 0; t < m.tracks; ++t) b.append(m.track);
    return b;
}

// A Tracker of two tracks with one attribute (the description says "Jeskola Tracker"), and an
// effect with three bytes of data.
Machine tracker()
{
    return {"Tracker 01", "jeskola tracker", 1, {}, Bytes().u8(6), Bytes().fill(2, 0).u8(0xFF).fill(2, 0), 2, 1};
}
Machine reverb() { return {"Reverb", "Jeskola Reverb", 2, Bytes().u8(1).u8(2).u8(3), Bytes().u8(16).u8(32).u8(48)}; }

// MACH: the master, then the given machines.
Bytes mach(const std::vector<Machine>& machines)
{
    Bytes b = Bytes().le16(unsigned(machines.size() + 1)).str("Master").u8(0).u8(0).fill(12, 0).le16(0);
    b.le16(3003).le16(125).u8(4).le16(0);
    for (const Machine& m : machines) b.append(record(m));
    return b;
}

// PATT: the master has one input (from the reverb) and one pattern of 2 lines; the tracker 2
// patterns on 2 tracks, its notes `note`; the reverb none.
Bytes patt(uint8_t note = 0x41)
{
    Bytes b = Bytes().le16(1).le16(0).str("00").u8(0).le16(2).le16(2).le16(0x4000).le16(0x4000);
    b.le16(0x4000).le16(0x4000).fill(10, 0xFF).le16(2).le16(2).str("00").u8(0).le16(2).u8(0xFF).u8(0xFF);
    for (int r = 0; r < 4; ++r) b.u8(note).u8(1).u8(0x80).u8(0).u8(0);
    b.str("01").u8(0).le16(1).u8(0xFF);
    for (int r = 0; r < 2; ++r) b.u8(0).u8(0).u8(0xFF).u8(0).u8(0);
    return b.le16(0).le16(0);
}

// SEQU: the tracker's sequence with 17 events from `at`, the master's and the reverb's empty ones.
Bytes sequ(unsigned at = 0)
{
    Bytes b = Bytes().le32(0x10).le32(0).le32(0x10).le16(3).le16(1).le32(17).u8(2).u8(2);
    for (unsigned e = 0; e < 17; ++e) b.le16(at + 8 * e).le16(0x10 + e % 2);
    return b.le16(0).le32(0).le16(2).le32(0);
}

// CONN: tracker -> reverb -> master, and a connection to a machine the song does not have.
const Bytes conn = Bytes().le16(3).le16(1).le16(2).le16(0x4000).le16(0x2000).le16(2).le16(0).le16(0x4000).le16(0x4000)
                       .le16(1).le16(9).le16(1).le16(1);

SongFile standard_song()
{
    Bytes wavt = Bytes().le16(1).le16(2).str("C:\\a.wav").u8(0).str("Kick").u8(0).le32(0x3F800000).u8(0x80);
    wavt.le16(1).le16(1).le16(2).le16(3).le16(4).u8(5).u8(6).le16(0x8002);
    wavt.le16(0).le16(0).u8(0).le16(0xFFFF).le16(0x8000).u8(1).u8(1).le32(4).le32(0).le32(4).le32(44100).u8(0x41);
    SongFile s;
    s.add("MACH", mach({tracker(), reverb()})).add("CONN", conn).add("WAVT", wavt).add("PATT", patt());
    s.add("SEQU", sequ()).add("BLAH", Bytes().le32(5).str("hello"));
    return s.add("WAVE", Bytes().le16(1).le16(2).u8(0).le32(4).u8(1).u8(2).u8(3).u8(4));
}

std::string string_of(const Bytes& b) { return std::string(b.data.begin(), b.data.end()); }

const std::string too_short = "abort:File too short!!";
const std::string patt_mismatch =
    "abort:\nPattern section size doesn't match, probably wrong machine or machines.ini!!!";

class BmxReaderTest : public kxtest::WorkDirTest {
protected:
    void SetUp() override
    {
        kxtest::WorkDirTest::SetUp();
        reader_state.reset();
        static MachineDescription d[3] = {{"Master", 0, 5, 0}, {"Jeskola Tracker", 1, 1, 5, 1, 2, 3},
                                          {"Jeskola Reverb", 2, 3, 0}};
        machines = MachineTable{d, 3};
    }
    void TearDown() override
    {
        if (merge_file) std::fclose(merge_file);
        reader_state.reset();
        machines = MachineTable();
        kxtest::WorkDirTest::TearDown();
    }
    // Reads the song from a temporary file; "" when it passed, otherwise the fatal message.
    std::string read(const Bytes& song, int selector = 0)
    {
        File f(std::tmpfile());
        if (song.size()) std::fwrite(song.data.data(), 1, song.size(), f.get());
        std::rewind(f.get());
        try {
            read_buzz_song(reader_state, f.get(), selector);
            return "";
        } catch (const JobAbort& e) {
            return std::string("abort:") + e.what();
        }
    }
    // Reads the song one section at a time, as the merge does, into a fresh merge stream.
    std::string merged(const SongFile& s)
    {
        if (merge_file) std::fclose(merge_file);
        reader_state.merge_stream = merge_file = std::tmpfile();
        for (int sec = sec_mach; sec <= sec_wave; ++sec) EXPECT_EQ(read(s.bytes(), sec), "") << sec;
        return kxtest::text_of(merge_file);
    }
    bool logged(const std::string& text) { return captured.has(text); }
    const InputSummary& input(int i = 0) const { return reader_state.input_summaries[i]; }

    kxtest::LogCapture captured{log};
    FILE* merge_file = nullptr;
};

TEST_F(BmxReaderTest, WhatAReadGathers)
{
    // Without full_parse machines and patterns are not walked: PATT garbage is never looked at.
    SongFile s = standard_song();
    s.sections[3].second = Bytes().fill(7, 0xEE);
    ASSERT_EQ(read(s.bytes("bUzZ")), "");
    EXPECT_EQ((std::vector<int>{input().machines, input().connections, input().master_connections}),
              (std::vector<int>{3, 3, 1}));
    EXPECT_EQ(input().machine_list, nullptr);
    EXPECT_EQ(read(s.bytes("Buzy")), "abort:No correct BUZZ file!!");
    Bytes short_magic = s.bytes();
    short_magic.data[3] = 0;
    EXPECT_EQ(read(short_magic), "abort:No correct BUZZ file!!");
    EXPECT_EQ(read(Bytes().str("Buz")), too_short);

    // A full parse into input 1 counts everything and lists the machines with their inputs.
    reader_state.reset();
    reader_state.full_parse = reader_state.current_input = 1;
    reader_state.options.list_level = reader_state.options.verbose = 1;
    ASSERT_EQ(read(standard_song().bytes()), "");
    const InputSummary& in = input(1);
    EXPECT_EQ((std::vector<int>{in.machines, in.connections, in.master_connections, in.instruments,
                                in.instrument_index_bound, in.sequences, in.sequence_adjustment, in.waves}),
              (std::vector<int>{3, 3, 1, 1, 3, 3, 0, 1}));
    std::vector<int> entries; // description, kind, tracks, inputs of each machine
    for (const MachineEntry& e : std::vector<MachineEntry>(in.machine_list, in.machine_list + 3))
        entries.insert(entries.end(), {e.description, e.kind, e.tracks, e.inputs});
    EXPECT_EQ(entries, (std::vector<int>{0, 0, 0, 1, 1, 1, 2, 0, 2, 2, 0, 1}));
    EXPECT_EQ(input().machines, 0); // nothing went to input 0
    EXPECT_TRUE(logged("\n0(machine:1) events:11 pos_bytes:2 event_bytes:2\n    0: 0    8: 1"));
    EXPECT_TRUE(logged(" 78: 1\n   80: 0")) << "16 events a line";

    // With a selector only that section is read, and nothing is listed.
    reader_state.reset();
    reader_state.options.verbose = 0;
    std::fflush(captured.file);
    const long listed = std::ftell(captured.file);
    ASSERT_EQ(read(standard_song().bytes(), sec_wavt), "");
    EXPECT_EQ(input().instruments, 1);
    EXPECT_EQ(std::ftell(captured.file), listed);
}

// Sections beyond the seven are kept by name and place for the merge; a sequence's positions may
// be 4 bytes wide and its values 2; PARA's entries are walked within their section.
TEST_F(BmxReaderTest, OtherSectionsWidePositionsAndParameterDescriptions)
{
    SongFile s = standard_song();
    s.sections.insert(s.sections.begin(), {"BVER", Bytes().str("v1").u8(0)});
    s.sections[5].second = Bytes().le32(0x10000).le32(0).le32(0x10000).le16(1).le16(1).le32(2).u8(4).u8(2);
    s.sections[5].second.le32(0).le16(0x10).le32(0x12345).le16(0x7FFF); // SEQU with 4-byte positions, 2-byte values
    s.add("PDLG", Bytes().u8(1).u8(0)).add("NONE", Bytes());   // nothing in it: not kept
    reader_state.full_parse = 1;
    reader_state.options.list_level = reader_state.options.verbose = 1;
    ASSERT_EQ(read(s.bytes()), "");
    std::vector<std::string> kept;
    for (const SectionEntry& e : input().extra_sections)
        kept.push_back(std::string(e.name) + (e.before_mach ? "<" : ">") + std::to_string(e.length));
    EXPECT_EQ(kept, (std::vector<std::string>{"BVER<3", "PDLG>2"}));
    EXPECT_EQ(input().song_end, 0x10000u);
    EXPECT_TRUE(logged("\n    0: 0 12345:7fef"));
    for (int i = 0; i < 1023; ++i) s.add("XTRA", Bytes().u8(0)); // 1025 kept ones: the list is cut
    ASSERT_EQ(read(s.bytes()), "");
    EXPECT_EQ(std::make_pair(input().extra_sections.size(), input().extra_sections_cut), std::make_pair(size_t(1024), true));

    const Bytes para = kxsong::para({kxsong::para_entry("Master", "Master", 3, 0), kxsong::para_entry("T", "jeskola TRACKER", 1, 5)});
    const size_t master_bytes = kxsong::para_entry("Master", "Master", 3, 0).size();
    auto walk = [&](const Bytes& body, uint32_t machines, ParaSection& out) {
        File f(std::tmpfile());
        std::fwrite("xx", 1, 2, f.get()); // the section starts at byte 2
        std::fwrite(body.data.data(), 1, body.size(), f.get());
        SectionReader in{f.get(), body.size() + 2, 0, body.size() + 2};
        in.seek(2);
        return read_para_section(in, machines, this->machines, 1, out); // the Tracker
    };
    ParaSection p;
    ASSERT_TRUE(walk(para, 2, p));
    EXPECT_EQ((std::vector<uint64_t>{p.first_entry, p.second_entry, p.end, p.match_library}),
              (std::vector<uint64_t>{6, 6 + master_bytes, para.size() + 2, 6 + master_bytes + 2}));
    Bytes longer = para, cut = para, huge = kxsong::para({kxsong::para_entry("Master", "Master", 0, 0)});
    longer.u8(0);
    cut.data.resize(cut.size() - 3);
    huge.data[huge.size() - 8] = 0xFF; // a global parameter count beyond the section
    huge.data[huge.size() - 5] = 0x7F;
    EXPECT_FALSE(walk(para, 3, p));   // another machine count
    EXPECT_FALSE(walk(longer, 2, p)); // bytes after the last entry
    EXPECT_FALSE(walk(cut, 2, p));
    EXPECT_FALSE(walk(huge, 1, p));
    EXPECT_TRUE(walk(kxsong::para({kxsong::para_entry("Master", "Master", 0, 0)}), 1, p));
    EXPECT_EQ(p.match_end, 0u);

    // A skip stops at the section's end as a read does: never in the next section's bytes.
    File f(std::tmpfile());
    std::fwrite("abcdef", 1, 6, f.get());
    SectionReader in = SectionReader::at(f.get(), 1, 3); // "bcd"
    in.skip(2);
    EXPECT_EQ(std::make_pair(in.byte(), in.past_end()), std::make_pair(uint8_t('d'), false));
    in.seek(1);
    in.skip(4);
    in.skip(0);
    EXPECT_EQ(std::make_pair(in.pos, in.past_end()), std::make_pair(uint64_t(4), true));
    EXPECT_EQ(in.byte(), 0xFF);
}

// Hooks that change, drop and skip values as the merge does.
int64_t drop_conn_count(void*, int section, uint32_t value) { return section == sec_conn ? -1 : int64_t(value); }
bool drop_master(void*, int machine) { return machine != 0; }
bool drop_to_master(void*, uint16_t* source, uint16_t* destination, uint16_t*, uint16_t*)
{
    *source += 10;
    return *destination != 0;
}
void transpose_rows(void*, const RowPlace& at, uint8_t* bytes, int)
{
    if (at.kind == row_track && at.machine == 1 && bytes[0] == 0x41) bytes[0] = 0x51;
}
void later_events(void*, int, uint32_t* position, uint32_t*) { *position += 0x100; }
void wave_plus_five(void*, int, uint16_t* index, uint8_t, uint32_t) { *index += 5; }

TEST_F(BmxReaderTest, MergeStreamGetsEveryByteOrWhatTheHooksMakeOfIt)
{
    SongFile s = standard_song();
    Bytes all;
    for (const auto& sec : s.sections) all.append(sec.second);
    EXPECT_TRUE(merged(s) == string_of(all)) << "no full parse";
    Bytes& big = s.sections[6].second = Bytes().le16(1).le16(0).u8(1).le32(300000);
    for (uint32_t i = 0; i < 300000; ++i) big.u8(i * 7); // more than one block

    ReaderHooks h;
    h.count = drop_conn_count;
    h.machine_begin = drop_master;
    h.connection = drop_to_master;
    h.row = transpose_rows;
    h.sequence_event = later_events;
    h.wave_begin = wave_plus_five;
    reader_state.hooks = &h;
    reader_state.full_parse = 1;
    Bytes want = Bytes().le16(3).append(record(tracker())).append(record(reverb())); // the master dropped
    want.le16(11).le16(2).le16(0x4000).le16(0x2000).le16(11).le16(9).le16(1).le16(1); // no count, none to the master
    want.append(s.sections[2].second).append(patt(0x51)).append(sequ(0x100)).append(s.sections[5].second);
    want.append(big).data[want.size() - big.size() + 2] = 5; // wave index 0 + 5
    EXPECT_TRUE(merged(s) == string_of(want));
}

// Songs that do not fit the machine descriptions, and counts and offsets far beyond the bytes
// there are: the job ends at once with the reason.
TEST_F(BmxReaderTest, RefusedSongs)
{
    Machine narrow = tracker(), unknown = tracker(), wide = tracker(), huge = tracker();
    Machine big = reverb(), too_big = reverb();
    narrow.track = Bytes().fill(4, 0); // the description says 5 bytes a track
    unknown.dll = "Jeskola Trackerz";
    big.data = Bytes().fill(2000, 7);
    too_big.data = Bytes().fill(2001, 7);
    wide.name = std::string(40, 'n'); // longer than a listed name
    wide.tracks = 64; // more than 50 tracks: only the last machine may have them
    wide.track = Bytes().str("ABCDE");
    huge.tracks = 0xFFFF; // last machine: allowed, but the bytes are not there
    huge.track = Bytes();
    // The standard song with n bytes at `at` of a section (-1: the header and directory) set to 0xFF.
    auto damaged = [](int section, size_t at, int n) {
        SongFile s = standard_song();
        Bytes b = section < 0 ? s.bytes() : Bytes();
        Bytes& target = section < 0 ? b : s.sections[size_t(section)].second;
        std::fill_n(target.data.begin() + long(at), n, 0xFF);
        return section < 0 ? b : s.bytes();
    };
    SongFile unconnected = standard_song(), longer = standard_song(), cut = standard_song();
    unconnected.sections[1].second = Bytes().le16(1).le16(1).le16(2).le16(0x4000).le16(0x4000);
    longer.sections[3].second.u8(0);
    cut.sections[6].second.data.resize(9 + 1); // 1 of the 4 wave bytes remains, at the end of the file
    // Records that run over their section's end into the next section's bytes.
    SongFile over_conn = standard_song(), over_sequ = standard_song(), over_wave = cut;
    over_conn.sections[1].second.data[0] = 4; // 4 connections in a section of 3
    over_sequ.sections[4].second.data[16] = 18; // 18 events where 17 are
    over_wave.add("XTRA", Bytes().fill(8, 0));
    struct Case { const char* what; Bytes song; std::string result, log; };
    const Case cases[] = {
        {"track bytes", SongFile().add("MACH", mach({narrow})).bytes(), "abort:\n",
         "\nMachine section size doesn't match, probably wrong machine or machines.ini!!!"
         "\nIf only wrong last machine: static_bytes+tracks*track_bytes= 9"},
        {"unknown", SongFile().add("MACH", mach({unknown})).bytes(),
         "abort:\nMachine not found in machines.ini, you should retry without!!",
         "\nMachine (Jeskola Trackerz) not found in machines.ini"},
        {"2000 bytes", SongFile().add("MACH", mach({big, wide})).bytes(), "", ""},
        {"2001 bytes", SongFile().add("MACH", mach({too_big})).bytes(), "",
         "\nWarning: machine Reverb holds 2001 bytes of data (more than 2000)!"},
        {"64 tracks", SongFile().add("MACH", mach({wide, reverb()})).bytes(),
         "abort:\nMachine tracks>50, probably wrong machine or machines.ini!!!\nYou can try to adjust static "
         "bytes+track bytes to match the start of the name of the next machine!!!", "Byte: 1:.A.Byte: 2:.B."},
        {"65535 tracks", SongFile().add("MACH", mach({huge})).bytes(), "abort:\n", ""},
        {"no master input", unconnected.bytes(), patt_mismatch, ""},
        {"PATT too long", longer.bytes(), patt_mismatch, ""},
        {"PATT first", SongFile().add("PATT", patt()).add("MACH", mach({tracker(), reverb()})).bytes(), patt_mismatch,
         ""},
        {"wave cut", cut.bytes(), too_short, "\npremature EOF at pos: 1"},
        {"connections over CONN", over_conn.bytes(), too_short, ""},
        {"events over SEQU", over_sequ.bytes(), too_short, ""},
        {"wave over WAVE", over_wave.bytes(), too_short, "\npremature EOF at pos: 1"},
        {"directory entries", damaged(-1, 4, 4), too_short, ""},
        {"MACH offset", damaged(-1, 15, 1), too_short, ""},
        {"machines", damaged(0, 0, 2), too_short, ""},
        {"connections", damaged(1, 0, 1), too_short, ""},
        {"wave table entries", damaged(2, 0, 1), too_short, ""},
        {"master patterns", damaged(3, 0, 2), patt_mismatch, ""},
        {"lines", damaged(3, 7, 2), patt_mismatch, ""},
        {"sequences", damaged(4, 12, 1), too_short, ""},
        {"events", damaged(4, 16, 2), too_short, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        reader_state.reset();
        reader_state.full_parse = 1;
        EXPECT_EQ(read(c.song), c.result);
        EXPECT_TRUE(logged(c.log));
    }
    EXPECT_FALSE(logged("Byte: 20:")); // 19 bytes after the track count
}

// Every way the reader may be driven, over every cut of the song: it ends, with or without an
// error, and never touches memory it does not own (checked under the sanitizers).
TEST_F(BmxReaderTest, CutSongsNeverCrash)
{
    const Bytes whole = standard_song().bytes();
    for (size_t cut = 0; cut < whole.size(); ++cut)
        for (int mode = 0; mode < 4; ++mode) {
            reader_state.reset();
            reader_state.full_parse = mode & 1;
            if (mode & 2) reader_state.merge_stream = merge_file ? merge_file : (merge_file = std::tmpfile());
            const std::string r = read(Bytes{std::vector<uint8_t>(whole.data.begin(), whole.data.begin() + long(cut))});
            EXPECT_TRUE(cut >= 8 + 12 * 7 || r != "") << cut; // no directory: never a pass
        }
}

} // namespace
