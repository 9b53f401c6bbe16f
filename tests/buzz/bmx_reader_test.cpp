// Song reader tests: synthetic BMX songs built byte by byte, read, checked, passed through a merge
// stream, cut short and damaged; a song written by the program read back.
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "buzz/bmx_reader.h"
#include "buzz/machines_ini.h"
#include "convert/driver.h"
#include "core/log.h"
#include "core/pool.h"
#include "jobs/job_runner.h"
#include "settings/settings.h"
#include "song/song.h"
#include "songwriter/bmx_writer.h"
#include "songwriter/song_builder.h"
#include "support/test_support.h"

namespace {

using kxtest::Bytes;

// A song file: the header, a directory of exactly the given sections, the bodies back to back.
struct SongFile {
    std::vector<std::pair<std::string, Bytes>> sections;

    SongFile& add(const std::string& name, const Bytes& body) { sections.emplace_back(name, body); return *this; }
    uint32_t offset(size_t i) const
    {
        uint32_t off = uint32_t(8 + 12 * sections.size());
        for (size_t j = 0; j < i; ++j) off += uint32_t(sections[j].second.size());
        return off;
    }
    Bytes bytes(const char* magic = "Buzz") const
    {
        Bytes b;
        b.str(magic).le32(uint32_t(sections.size()));
        for (size_t i = 0; i < sections.size(); ++i)
            b.fixed(sections[i].first, 4).le32(offset(i)).le32(uint32_t(sections[i].second.size()));
        for (const auto& s : sections) b.append(s.second);
        return b;
    }
};

// A machine record at position (0, 0); the track state is repeated for every track.
struct Machine {
    std::string name, dll;
    int type = 1;
    Bytes data, globals, track;
    unsigned tracks = 0;
    unsigned attributes = 0;
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

Machine tracker() // the description says "Jeskola Tracker"
{
    return {"Tracker 01", "jeskola tracker", 1, {}, Bytes().u8(6), Bytes().u8(0).u8(0).u8(0xFF).u8(0).u8(0), 2, 1};
}
Machine reverb() { return {"Reverb", "Jeskola Reverb", 2, Bytes().u8(1).u8(2).u8(3), Bytes().u8(0x10).u8(0x20).u8(0x30), {}, 0, 0}; }

// MACH: the master, then the given machines.
Bytes mach(const std::vector<Machine>& machines)
{
    Bytes b;
    b.le16(unsigned(machines.size() + 1)).str("Master").u8(0).u8(0).le32(0).le32(0).le32(0).le16(0);
    b.le16(3003).le16(125).u8(4).le16(0);
    for (const Machine& m : machines) b.append(record(m));
    return b;
}

// PATT: the master has one input (from the reverb) and one pattern of 2 lines; the tracker 2
// patterns on 2 tracks, its notes `note`; the reverb none.
Bytes patt(uint8_t note = 0x41)
{
    Bytes b;
    b.le16(1).le16(0).str("00").u8(0).le16(2);
    b.le16(2).le16(0x4000).le16(0x4000).le16(0x4000).le16(0x4000).fill(10, 0xFF);
    b.le16(2).le16(2).str("00").u8(0).le16(2).u8(0xFF).u8(0xFF);
    for (int r = 0; r < 4; ++r) b.u8(note).u8(1).u8(0x80).u8(0).u8(0);
    b.str("01").u8(0).le16(1).u8(0xFF);
    for (int r = 0; r < 2; ++r) b.u8(0).u8(0).u8(0xFF).u8(0).u8(0);
    return b.le16(0).le16(0);
}

// SEQU: the tracker's sequence with events at `at` and `at` + 8, the master's empty one.
Bytes sequ(unsigned at = 0)
{
    Bytes b;
    b.le32(0x10).le32(0).le32(0x10).le16(2);
    b.le16(1).le32(2).u8(2).u8(2).le16(at).le16(0x10).le16(at + 8).le16(0x11);
    return b.le16(0).le32(0);
}

Bytes wave(unsigned index = 2) { return Bytes().le16(1).le16(index).u8(0).le32(4).u8(1).u8(2).u8(3).u8(4); }

SongFile standard_song()
{
    Bytes conn, wavt;
    conn.le16(2).le16(1).le16(2).le16(0x4000).le16(0x2000).le16(2).le16(0).le16(0x4000).le16(0x4000);
    wavt.le16(1).le16(2).str("C:\\a.wav").u8(0).str("Kick").u8(0).le32(0x3F800000).u8(0x80);
    wavt.le16(1).le16(1).le16(2).le16(3).le16(4).u8(5).u8(6).le16(0x8002);
    wavt.le16(0).le16(0).u8(0).le16(0xFFFF).le16(0x8000).u8(1);
    wavt.u8(1).le32(4).le32(0).le32(4).le32(44100).u8(0x41);
    SongFile s;
    s.add("MACH", mach({tracker(), reverb()})).add("CONN", conn).add("WAVT", wavt).add("PATT", patt());
    s.add("SEQU", sequ()).add("BLAH", Bytes().le32(5).str("hello")).add("WAVE", wave());
    return s;
}

std::string text_of(FILE* f)
{
    std::fflush(f);
    std::rewind(f);
    std::string s;
    for (int c; (c = std::fgetc(f)) != EOF;) s += char(c);
    return s;
}

const std::string too_short = "abort:File too short!!";
const std::string patt_mismatch =
    "abort:\nPattern section size doesn't match, probably wrong machine or machines.ini!!!";

class BmxReaderTest : public kxtest::WorkDirTest {
protected:
    void SetUp() override
    {
        kxtest::WorkDirTest::SetUp();
        reader_state = ReaderState();
        install_descriptions();
        log_state.log_stream = log_file = std::tmpfile();
    }
    void TearDown() override
    {
        std::fclose(log_file);
        if (merge_file) std::fclose(merge_file);
        reader_state = ReaderState();
        machine_table_state = MachineTable();
        kxtest::WorkDirTest::TearDown();
    }
    // Master, Tracker and an effect, in pool memory as the loader leaves them.
    static void install_descriptions()
    {
        machine_table_state = MachineTable();
        MachineDescription* d = pool_array<MachineDescription>(3);
        d[0] = {"Master", 0, 5, 0};
        d[1] = {"Jeskola Tracker", 1, 1, 5, 1, 2, 3};
        d[2] = {"Jeskola Reverb", 2, 3, 0};
        machine_table_state.machine_descriptions = d;
        machine_table_state.machine_description_count = 3;
    }
    // Reads the song from a temporary file; "" when it passed, otherwise the fatal message.
    std::string read(const Bytes& song, int selector = 0)
    {
        File f(std::tmpfile());
        if (!f) return "no temporary file";
        if (song.size()) std::fwrite(song.data.data(), 1, song.size(), f.get()); // no null data
        std::rewind(f.get());
        try {
            read_buzz_song(f.get(), selector);
            return "";
        } catch (const JobAbort& e) {
            return std::string("abort:") + e.what();
        }
    }
    bool logged(const std::string& text) { return text_of(log_file).find(text) != std::string::npos; }
    void open_merge_stream()
    {
        if (merge_file) std::fclose(merge_file);
        reader_state.merge_stream = merge_file = std::tmpfile();
    }
    const InputSummary& input0() const { return reader_state.input_summaries[0]; }

    FILE* log_file = nullptr;
    FILE* merge_file = nullptr;
};

TEST_F(BmxReaderTest, MagicAndPartialParse)
{
    // Without full_parse the machines and patterns are not walked: PATT garbage is never looked at.
    SongFile s = standard_song();
    s.sections[3].second = Bytes().fill(7, 0xEE);
    ASSERT_EQ(read(s.bytes("bUzZ")), "");
    EXPECT_EQ(input0().machines, 3);
    EXPECT_EQ(input0().machine_list, nullptr);
    EXPECT_EQ(input0().master_connections, 1);
    EXPECT_EQ(read(s.bytes("Buzy")), "abort:No correct BUZZ file!!");
    EXPECT_EQ(read(Bytes().str("Buz")), too_short);
}

TEST_F(BmxReaderTest, FullParseListsMachinesAndCounts)
{
    settings.dolist = 1;
    settings.verbose = 1;
    reader_state.full_parse = 1;
    reader_state.current_input = 1;
    SongFile s = standard_song();
    ASSERT_EQ(read(s.bytes()), "");
    const InputSummary& in = reader_state.input_summaries[1];
    EXPECT_EQ((std::vector<int>{in.machines, in.connections, in.master_connections, in.instruments,
                                in.instrument_index_bound, in.sequences, in.sequence_adjustment, in.waves}),
              (std::vector<int>{3, 2, 1, 1, 3, 2, 0, 1}));
    EXPECT_EQ(in.section_start[sec_patt], s.offset(3));
    EXPECT_EQ(in.section_length[sec_blah], 9u);
    ASSERT_NE(in.machine_list, nullptr);
    std::vector<int> entries; // description, kind, tracks, inputs of each machine
    for (int i = 0; i < 3; ++i) {
        const MachineEntry& e = in.machine_list[i];
        entries.insert(entries.end(), {e.description, e.kind, e.tracks, e.inputs});
    }
    EXPECT_EQ(entries, (std::vector<int>{0, 0, 0, 1, 1, 1, 2, 0, 2, 2, 0, 1}));
    EXPECT_STREQ(in.machine_list[1].name, "Tracker 01");
    EXPECT_EQ(input0().machines, 0); // nothing went to input 0
    for (const char* line : {"\n1: Tracker 01 typ: 1 (jeskola tracker) (0.000000,0.000000) size: 0 attr:1",
                             "\n\nmachine: 1 (Tracker 01) patts:2 tracks: 2 inputs:0\n patt:  0(00) lines:2",
                             "\n    0: 0    8: 1\n1(machine:0) events:0"})
        EXPECT_TRUE(logged(line)) << line << "\n" << text_of(log_file);
}

TEST_F(BmxReaderTest, DirectoryEntriesAndSectionSelector)
{
    SongFile s;
    s.add("XTRA", Bytes().fill(5, 0xFF)).add("mach", Bytes().le16(9)).add("CONN", standard_song().sections[1].second);
    s.add(std::string("\0\0\0\0", 4), Bytes());
    ASSERT_EQ(read(s.bytes()), "");
    EXPECT_EQ(input0().machines, 0); // "mach" is not MACH
    EXPECT_EQ(input0().connections, 2);

    reader_state = ReaderState();
    settings.dolist = 1;
    s = standard_song();
    ASSERT_EQ(read(s.bytes(), sec_wavt), "");
    EXPECT_EQ(input0().instruments, 1);
    EXPECT_EQ(input0().machines + input0().connections + input0().waves, 0);
    EXPECT_EQ(input0().section_start[sec_wavt], s.offset(2));
    EXPECT_EQ(text_of(log_file), ""); // with a selector the listing is off
}

TEST_F(BmxReaderTest, MachineChecks)
{
    Machine unknown = tracker(), big = reverb(), too_big = reverb();
    unknown.dll = "Jeskola Trackerz";
    big.data = Bytes().fill(2000, 7);
    too_big.data = Bytes().fill(2001, 7);
    struct Case {
        Machine machine;
        int track_bytes; // of the tracker's description
        std::string result;
        std::string log;
    } cases[] = {
        // The tracker's state began 29 + 2 + 53 bytes into the section; 1 + 2 * 5 bytes follow.
        {tracker(), 4, "abort:\n",
         "\nMachine section size doesn't match, probably wrong machine or machines.ini!!!"
         "\nIf only wrong last machine: static_bytes+tracks*track_bytes= 11"},
        {unknown, 5, "abort:\nMachine not found in machines.ini, you should retry without!!",
         "\nMachine (Jeskola Trackerz) not found in machines.ini"},
        {big, 5, "", ""},
        {too_big, 5, "", "\nWarning: machine Reverb holds 2001 bytes of data (more than 2000)!"},
    };
    reader_state.full_parse = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.result + c.log);
        machine_table_state.machine_descriptions[1].track_bytes = c.track_bytes;
        EXPECT_EQ(read(SongFile().add("MACH", mach({c.machine})).bytes()), c.result);
        EXPECT_TRUE(logged(c.log));
    }
}

TEST_F(BmxReaderTest, OnlyTheLastMachineMayHaveMoreThan50Tracks)
{
    reader_state.full_parse = 1;
    Machine t = tracker();
    t.name = std::string(40, 'n');
    t.tracks = 64;
    t.track = Bytes().str("ABCDE");
    ASSERT_EQ(read(SongFile().add("MACH", mach({reverb(), t})).bytes()), "");
    EXPECT_EQ(input0().machine_list[2].tracks, 64);
    EXPECT_EQ(std::string(input0().machine_list[2].name), std::string(29, 'n'));

    EXPECT_EQ(read(SongFile().add("MACH", mach({t, reverb()})).bytes()),
              "abort:\nMachine tracks>50, probably wrong machine or machines.ini!!!\nYou can try to "
              "adjust static bytes+track bytes to match the start of the name of the next machine!!!");
    EXPECT_TRUE(logged("Byte: 1:.A.Byte: 2:.B."));
    EXPECT_TRUE(logged("Byte: 19:."));
    EXPECT_FALSE(logged("Byte: 20:"));
}

TEST_F(BmxReaderTest, CloneSourceAndSequenceAdjustment)
{
    const Bytes song = standard_song().bytes();
    reader_state.current_input = 2;
    ASSERT_EQ(read(song), "");
    EXPECT_EQ(reader_state.input_summaries[2].sequence_adjustment, -1); // one master sequence
    reader_state.current_input = 1;
    reader_state.full_parse = 1;
    settings.clone_source = 2;
    EXPECT_EQ(read(song), "abort:No generator choosen, reselect source machine");
    settings.clone_source = 1;
    settings.clone2 = 3;
    ASSERT_EQ(read(song), "");
    EXPECT_EQ(reader_state.input_summaries[1].sequence_adjustment, 1); // a destination chosen
}

TEST_F(BmxReaderTest, PatternSectionOfWrongSizeIsRefused)
{
    reader_state.full_parse = 1;
    SongFile s = standard_song();
    s.sections[3].second.u8(0); // one byte too many
    EXPECT_EQ(read(s.bytes()), patt_mismatch);
    // Inputs come from CONN: without the connection into the master its input data is unexpected.
    s = standard_song();
    s.sections[1].second = Bytes().le16(1).le16(1).le16(2).le16(0x4000).le16(0x4000);
    EXPECT_EQ(read(s.bytes()), patt_mismatch);
    // Patterns before the machines: the machine list of the earlier job went with the pool sweep.
    pool_free_all();
    install_descriptions();
    EXPECT_EQ(read(SongFile().add("PATT", patt()).add("MACH", standard_song().sections[0].second).bytes()),
              patt_mismatch);
    EXPECT_EQ(read(SongFile().add("PATT", Bytes()).bytes()), "");
}

TEST_F(BmxReaderTest, WaveRunningPastTheEndOfTheFile)
{
    Bytes cut = standard_song().bytes();
    cut.data.resize(cut.size() - 3); // 1 of the 4 wave bytes remains
    EXPECT_EQ(read(cut), too_short);
    EXPECT_TRUE(logged("\npremature EOF at pos: 1"));
}

TEST_F(BmxReaderTest, MergeStreamGetsEveryByteUnchanged)
{
    SongFile s = standard_song();
    Bytes& big = s.sections[6].second = Bytes().le16(1).le16(0).u8(1).le32(300000);
    for (uint32_t i = 0; i < 300000; ++i) big.u8(i * 7); // more than one block
    Bytes all;
    for (const auto& sec : s.sections) all.append(sec.second);
    for (int full = 0; full <= 1; ++full) {
        open_merge_stream();
        reader_state.full_parse = full;
        for (int sec = sec_mach; sec <= sec_wave; ++sec) ASSERT_EQ(read(s.bytes(), sec), "");
        EXPECT_TRUE(text_of(merge_file) == std::string(all.data.begin(), all.data.end())) << "full_parse " << full;
    }
}

// Hooks that change, drop and skip values as the merge does.
int64_t drop_conn_count(int section, uint32_t value) { return section == sec_conn ? -1 : int64_t(value); }
bool drop_master(int machine) { return machine != 0; }
bool drop_to_master(uint16_t* source, uint16_t* destination, uint16_t*, uint16_t*)
{
    *source += 10;
    return *destination != 0;
}
void transpose_rows(const RowPlace& at, uint8_t* bytes, int)
{
    if (at.kind == row_track && at.machine == 1 && bytes[0] == 0x41) bytes[0] = 0x51;
}
void later_events(int, uint32_t* position, uint32_t*) { *position += 0x100; }
void wave_plus_five(int, uint16_t* index, uint8_t, uint32_t) { *index += 5; }

TEST_F(BmxReaderTest, HooksChangeAndDropValuesOnTheWay)
{
    ReaderHooks h;
    h.count = drop_conn_count;
    h.machine_begin = drop_master;
    h.connection = drop_to_master;
    h.row = transpose_rows;
    h.sequence_event = later_events;
    h.wave_begin = wave_plus_five;
    reader_state.hooks = &h;
    reader_state.full_parse = 1;
    open_merge_stream();
    SongFile s = standard_song();
    for (int sec = sec_mach; sec <= sec_wave; ++sec) ASSERT_EQ(read(s.bytes(), sec), "") << sec;

    Bytes want;
    want.le16(3).append(record(tracker())).append(record(reverb())); // the master dropped
    want.le16(11).le16(2).le16(0x4000).le16(0x2000); // no count, no connection to the master
    want.append(s.sections[2].second).append(patt(0x51)).append(sequ(0x100));
    want.append(s.sections[5].second).append(wave(7));
    EXPECT_TRUE(text_of(merge_file) == std::string(want.data.begin(), want.data.end()));
}

// Counts and offsets far beyond the bytes there are end the job at once.
TEST_F(BmxReaderTest, HostileCountsEndTheJobQuickly)
{
    struct Case {
        int section; // -1: the file header and directory
        size_t at;
        int bytes; // set to 0xFF
        std::string result;
    } cases[] = {
        {-1, 4, 4, too_short},          // 4 billion directory entries
        {-1, 15, 1, too_short},         // MACH offset far beyond the end
        {0, 0, 2, too_short},           // 0xFF03 machines
        {1, 0, 1, too_short},           // 255 connections in 18 bytes
        {2, 0, 1, too_short},           // 0xFF01 wave table entries
        {3, 0, 2, patt_mismatch},       // 0xFFFF master patterns
        {3, 7, 2, patt_mismatch},       // 65535 lines
        {4, 12, 1, too_short},          // 0xFFFF sequences
        {4, 16, 2, too_short},          // 0xFFFF0002 events
    };
    reader_state.full_parse = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.section << " " << c.at);
        SongFile s = standard_song();
        Bytes b = c.section < 0 ? s.bytes() : Bytes();
        Bytes& target = c.section < 0 ? b : s.sections[size_t(c.section)].second;
        for (int i = 0; i < c.bytes; ++i) target.data[c.at + size_t(i)] = 0xFF;
        EXPECT_EQ(read(c.section < 0 ? b : s.bytes()), c.result);
    }
    Machine t = tracker();
    t.tracks = 0xFFFF; // last machine: allowed, but the bytes are not there
    t.track = Bytes();
    EXPECT_EQ(read(SongFile().add("MACH", mach({t})).bytes()), "abort:\n");
}

// Every way the reader may be driven, over every cut of the song and a few hundred damaged
// copies: it ends, with or without an error, and never touches memory it does not own.
TEST_F(BmxReaderTest, CutAndDamagedSongsNeverCrash)
{
    const Bytes whole = standard_song().bytes();
    auto read_every_way = [&](const Bytes& b, int mode) {
        reader_state = ReaderState();
        reader_state.full_parse = mode & 1;
        if (mode & 2) open_merge_stream();
        return read(b);
    };
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        Bytes b;
        b.data.assign(whole.data.begin(), whole.data.begin() + long(cut));
        for (int mode = 0; mode < 4; ++mode) {
            const std::string r = read_every_way(b, mode);
            EXPECT_TRUE(cut >= 8 + 12 * 7 || r != "") << cut; // no directory: never a pass
        }
    }
    uint32_t seed = 12345;
    auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 8; };
    const uint8_t values[] = {0, 1, 0x7F, 0x80, 0xFE, 0xFF};
    for (int round = 0; round < 400; ++round) {
        Bytes b = whole;
        for (int c = 1 + int(next() % 3); c > 0; --c)
            b.data[next() % b.size()] = (next() & 1) ? uint8_t(next()) : values[next() % 6];
        read_every_way(b, round & 3);
    }
}

// A song written by the program reads back with the shipped machine descriptions, and the driver
// lists it.
TEST_F(BmxReaderTest, WrittenSongReadsBackAndIsListed)
{
    kxtest::install_machines_ini();
    ASSERT_TRUE(load_machine_descriptions());
    settings.dowave = 0;
    std::strcpy(song.current_input, "tiny.xm");
    kxtest::build_song(3, 2, 4, 2);
    kxtest::use_pattern(1, 0);
    kxtest::use_pattern(2, 1);
    kxtest::put_note(1, 0, 1, 3, 0x41);
    kxtest::set_order({0, 1, 0});
    {
        File f = open_file("out.bmx", "wb");
        writer.output_stream = f.get();
        ASSERT_TRUE(run_guarded([] { write_song(); }));
        writer.output_stream = nullptr;
    }
    reader_state.full_parse = 1;
    File f = open_file("out.bmx", "rb");
    ASSERT_TRUE(run_guarded([&] { read_buzz_song(f.get(), 0); }));
    const InputSummary& in = input0();
    EXPECT_EQ(in.machines, 3);
    EXPECT_EQ(in.connections * 10 + in.master_connections, 22);
    EXPECT_EQ(in.machine_list[0].inputs, 2);
    EXPECT_EQ(in.machine_list[2].description, int(role_tracker));
    EXPECT_EQ(in.machine_list[2].tracks, 2);
    EXPECT_EQ(in.waves, 0);

    pool_free_all(); // the end of that job: the listing is a job of its own
    reader_state = ReaderState();
    settings.dolist = 1;
    settings.verbose = 1;
    settings.do_mscale1 = 1; // the listing walks machines and patterns too
    int listed = -1;
    EXPECT_TRUE(run_guarded([&] { listed = convert("out.bmx", "unused.bmx"); }));
    EXPECT_EQ(listed, 0);
    EXPECT_TRUE(logged("\nBuzz: sections:7"));
    EXPECT_TRUE(logged("\n\nmachine: 2 (")) << text_of(log_file);
    EXPECT_FALSE(std::filesystem::exists("unused.bmx"));
}

} // namespace
