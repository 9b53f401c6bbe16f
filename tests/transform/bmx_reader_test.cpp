// Song reader tests: synthetic BMX songs built byte by byte, listed, checked, passed through a
// merge stream, cut short and damaged.
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "convert/driver.h"
#include "convert/song.h"
#include "core/byteio.h"
#include "core/job_runner.h"
#include "core/log.h"
#include "core/pool.h"
#include "settings/settings.h"
#include "songwriter/bmx_writer.h"
#include "songwriter/song_builder.h"
#include "support/test_support.h"
#include "transform/bmx_reader.h"
#include "transform/machines_ini.h"

namespace {

using kxtest::Bytes;

uint32_t float_bits(float f)
{
    uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
}

// A song file: the header, a directory of exactly the given sections, the bodies back to back.
struct SongFile {
    std::string magic = "Buzz";
    std::vector<std::pair<std::string, Bytes>> sections;

    SongFile& add(const std::string& name, const Bytes& body)
    {
        sections.emplace_back(name, body);
        return *this;
    }
    uint32_t offset(size_t i) const
    {
        uint32_t off = uint32_t(8 + 12 * sections.size());
        for (size_t j = 0; j < i; ++j) off += uint32_t(sections[j].second.size());
        return off;
    }
    uint32_t length(size_t i) const { return uint32_t(sections[i].second.size()); }
    Bytes bytes() const
    {
        Bytes b;
        b.str(magic).le32(uint32_t(sections.size()));
        for (size_t i = 0; i < sections.size(); ++i)
            b.fixed(sections[i].first, 4).le32(offset(i)).le32(length(i));
        for (const auto& s : sections) b.append(s.second);
        return b;
    }
    Bytes body(const std::string& name) const
    {
        for (const auto& s : sections)
            if (s.first == name) return s.second;
        return Bytes();
    }
};

Bytes master_record(unsigned tempo = 125)
{
    Bytes b;
    b.str("Master").u8(0).u8(0).le32(0).le32(0).le32(0).le16(0);
    b.le16(3003).le16(tempo).u8(4).le16(0);
    return b;
}

struct MachineDef {
    std::string name;
    int type = 1;
    std::string dll;
    float x = 0, y = 0;
    Bytes data;
    std::vector<std::pair<std::string, uint32_t>> attributes;
    Bytes globals;
    unsigned tracks = 0;
    Bytes track_state; // one track's state, repeated per track
};

Bytes machine_record(const MachineDef& m)
{
    Bytes b;
    b.str(m.name).u8(0).u8(unsigned(m.type)).str(m.dll).u8(0);
    b.le32(float_bits(m.x)).le32(float_bits(m.y)).le32(uint32_t(m.data.size())).append(m.data);
    b.le16(unsigned(m.attributes.size()));
    for (const auto& a : m.attributes) b.str(a.first).u8(0).le32(a.second);
    b.append(m.globals).le16(m.tracks);
    for (unsigned t = 0; t < m.tracks; ++t) b.append(m.track_state);
    return b;
}

MachineDef tracker_def()
{
    MachineDef m;
    m.name = "Tracker 01";
    m.dll = "jeskola tracker"; // the description says "Jeskola Tracker"
    m.x = 0.5f;
    m.y = -0.25f;
    m.attributes = {{"Ramp Time (ms)", 1}};
    m.globals.u8(6);
    m.tracks = 2;
    m.track_state.u8(0).u8(0).u8(0xFF).u8(0).u8(0);
    return m;
}

MachineDef reverb_def()
{
    MachineDef m;
    m.name = "Reverb";
    m.type = 2;
    m.dll = "Jeskola Reverb";
    m.x = 0.25f;
    m.y = 0.75f;
    m.data.u8(1).u8(2).u8(3);
    m.globals.u8(0x10).u8(0x20).u8(0x30);
    return m;
}

Bytes mach_body(const std::vector<MachineDef>& gens)
{
    Bytes b;
    b.le16(unsigned(gens.size() + 1)).append(master_record());
    for (const auto& g : gens) b.append(machine_record(g));
    return b;
}

Bytes conn_body()
{
    Bytes b;
    b.le16(2);
    b.le16(1).le16(2).le16(0x4000).le16(0x2000);
    b.le16(2).le16(0).le16(0x4000).le16(0x4000);
    return b;
}

Bytes wavt_body()
{
    Bytes b;
    b.le16(1).le16(2).str("C:\\a.wav").u8(0).str("Kick").u8(0).le32(0x3F800000).u8(0x80);
    b.le16(1).le16(1).le16(2).le16(3).le16(4).u8(5).u8(6).le16(0x8002);
    b.le16(0).le16(0).u8(0).le16(0xFFFF).le16(0x8000).u8(1);
    b.u8(1).le32(4).le32(0).le32(4).le32(44100).u8(0x41);
    return b;
}

// Master: one input (from the reverb), one pattern of 2 lines. Tracker: 2 patterns, 2 tracks.
// Reverb: one input (from the tracker), no patterns.
Bytes patt_body()
{
    Bytes b;
    b.le16(1).le16(0).str("00").u8(0).le16(2);
    b.le16(2).le16(0x4000).le16(0x4000).le16(0x4000).le16(0x4000);
    b.fill(10, 0xFF);
    b.le16(2).le16(2);
    b.str("00").u8(0).le16(2).u8(0xFF).u8(0xFF);
    for (int r = 0; r < 4; ++r) b.u8(0x41).u8(1).u8(0x80).u8(0).u8(0);
    b.str("01").u8(0).le16(1).u8(0xFF);
    for (int r = 0; r < 2; ++r) b.u8(0).u8(0).u8(0xFF).u8(0).u8(0);
    b.le16(0).le16(0);
    return b;
}

Bytes sequ_body()
{
    Bytes b;
    b.le32(0x10).le32(0).le32(0x10).le16(2);
    b.le16(1).le32(2).u8(2).u8(2).le16(0).le16(0x10).le16(8).le16(0x11);
    b.le16(0).le32(0);
    return b;
}

Bytes blah_body()
{
    Bytes b;
    b.le32(5).str("hello");
    return b;
}

Bytes wave_body()
{
    Bytes b;
    b.le16(1).le16(2).u8(0).le32(4).u8(1).u8(2).u8(3).u8(4);
    return b;
}

SongFile standard_song()
{
    SongFile s;
    s.add("MACH", mach_body({tracker_def(), reverb_def()}))
        .add("CONN", conn_body())
        .add("WAVT", wavt_body())
        .add("PATT", patt_body())
        .add("SEQU", sequ_body())
        .add("BLAH", blah_body())
        .add("WAVE", wave_body());
    return s;
}

void describe(MachineDescription& d, const char* dll, int type, int global_bytes, int track_bytes)
{
    std::strncpy(d.dll_name, dll, sizeof d.dll_name - 1);
    d.type = type;
    d.global_bytes = global_bytes;
    d.track_bytes = track_bytes;
}

std::string fmt(const char* f, unsigned a, unsigned b)
{
    char buf[200];
    std::snprintf(buf, sizeof buf, f, a, b);
    return buf;
}

class BmxReaderTest : public kxtest::WorkDirTest {
protected:
    void SetUp() override
    {
        kxtest::WorkDirTest::SetUp();
        reader_state = ReaderState();
        install_descriptions();
        log_file = std::tmpfile();
        log_state.log_stream = log_file;
    }
    // Master, Tracker and an effect, in pool memory as the loader leaves them.
    static void install_descriptions()
    {
        machine_table_state = MachineTable();
        MachineDescription* d = pool_array<MachineDescription>(3);
        describe(d[0], "Master", 0, 5, 0);
        describe(d[1], "Jeskola Tracker", 1, 1, 5);
        d[1].note_byte = 1;
        d[1].wave_byte = 2;
        d[1].volume_byte = 3;
        describe(d[2], "Jeskola Reverb", 2, 3, 0);
        machine_table_state.machine_descriptions = d;
        machine_table_state.machine_description_count = 3;
    }
    void TearDown() override
    {
        log_state.log_stream = nullptr;
        if (log_file) std::fclose(log_file);
        if (merge_file) std::fclose(merge_file);
        reader_state = ReaderState();
        machine_table_state = MachineTable();
        kxtest::WorkDirTest::TearDown();
    }

    // Reads the song from a file; "" when it passed, otherwise the fatal message.
    std::string read(const Bytes& song, int selector = 0)
    {
        song.write("song.bmx");
        File f = open_file("song.bmx", "rb");
        try {
            read_buzz_song(f.get(), selector);
            return "";
        } catch (const JobAbort& e) {
            return std::string("abort:") + e.what();
        }
    }
    std::string log_text()
    {
        std::fflush(log_file);
        std::rewind(log_file);
        std::string s;
        int c;
        while ((c = std::fgetc(log_file)) != EOF) s += char(c);
        return s;
    }
    void open_merge_stream()
    {
        merge_file = std::tmpfile();
        reader_state.merge_stream = merge_file;
    }
    std::vector<uint8_t> merged()
    {
        std::fflush(merge_file);
        std::rewind(merge_file);
        std::vector<uint8_t> v;
        int c;
        while ((c = std::fgetc(merge_file)) != EOF) v.push_back(uint8_t(c));
        return v;
    }
    const InputSummary& input0() const { return reader_state.input_summaries[0]; }

    FILE* log_file = nullptr;
    FILE* merge_file = nullptr;
};

const std::string too_short = "abort:File too short!!";
const std::string patt_mismatch =
    "abort:\nPattern section size doesn't match, probably wrong machine or machines.ini!!!";

// ---------------------------------------------------------------------------------------------

TEST_F(BmxReaderTest, MagicIsComparedIgnoringCase)
{
    SongFile s = standard_song();
    s.magic = "bUzZ";
    EXPECT_EQ(read(s.bytes()), "");
    s.magic = "Buzy";
    EXPECT_EQ(read(s.bytes()), "abort:No correct BUZZ file!!");
    s.magic = "Buz";
    Bytes three;
    three.str("Buz");
    EXPECT_EQ(read(three), too_short);
}

TEST_F(BmxReaderTest, FullListingOfAWellFormedSong)
{
    settings.dolist = 1;
    settings.verbose = 1;
    reader_state.full_parse = 1;
    SongFile s = standard_song();
    ASSERT_EQ(read(s.bytes()), "");

    const char* bodies[7] = {
        // MACH
        " machines: 3"
        "\n0: Master typ: 0 (Master) (0.000000,0.000000) size: 0 attr:0"
        "\nstat_bytes(5): bb  b 7d  0  4 tracks:0\ntrack_bytes(track 0 only)(0):"
        "\n1: Tracker 01 typ: 1 (jeskola tracker) (0.500000,-0.250000) size: 0 attr:1"
        "\n  Ramp Time (ms):1\nstat_bytes(1):  6 tracks:2"
        "\ntrack_bytes(track 0 only)(5):  0  0 ff  0  0"
        "\n2: Reverb typ: 2 (Jeskola Reverb) (0.250000,0.750000) size: 3 attr:0"
        "\nstat_bytes(3): 10 20 30 tracks:0\ntrack_bytes(track 0 only)(0):",
        // CONN
        " conns: 2\n 1->2 (2000,4000)\n 2->0 (4000,4000) conns0: 1",
        // WAVT
        " instrs: 1\n2:(C:\\a.wav,Kick) vol:3f800000 flag:80 envs:1:"
        "\n  0: att:1 dec:2 sus:3 rel:4 adiv:5 aflg:6 points:8002:"
        "\n     0:(0 0) flag: 0\n     1:(ffff 8000) flag: 1 lvls:1:"
        "\n   0 samples:4 (loop:0->4) srate:ac44 root: 41",
        // PATT
        "\n\nmachine: 0 (Master) patts:1 tracks: 0 inputs:1\n patt:  0(00) lines:2"
        "\n\nmachine: 1 (Tracker 01) patts:2 tracks: 2 inputs:0\n patt:  0(00) lines:2"
        " patt:  1(01) lines:1"
        "\n\nmachine: 2 (Reverb) patts:0 tracks: 0 inputs:1",
        // SEQU
        "\nsong_end:10(loop:0->10) sequences:2:\n0(machine:1) events:2 pos_bytes:2 event_bytes:2"
        "\n    0: 0    8: 1\n1(machine:0) events:0",
        // BLAH: only read for a merge
        "",
        // WAVE
        "\nwavs:1\n2: typ:0 len:4",
    };
    std::string expected = "\nBuzz: sections:7";
    for (size_t i = 0; i < 7; ++i) {
        const uint32_t end = s.offset(i) + s.length(i);
        expected += std::string("\n\nsection:") + s.sections[i].first;
        expected += fmt(": sect_pos:%x sect_len:%x", s.offset(i), s.length(i));
        expected += bodies[i];
        expected += fmt("\nfilepos: %x (header: %x)", i == 5 ? s.offset(i) : end, end);
    }
    expected += "\n\n";
    EXPECT_EQ(log_text(), expected);
}

TEST_F(BmxReaderTest, MachineListAndCounts)
{
    reader_state.full_parse = 1;
    reader_state.current_input = 1;
    SongFile s = standard_song();
    ASSERT_EQ(read(s.bytes()), "");
    const InputSummary& in = reader_state.input_summaries[1];
    EXPECT_EQ(in.machines, 3);
    EXPECT_EQ(in.connections, 2);
    EXPECT_EQ(in.master_connections, 1);
    EXPECT_EQ(in.instruments, 1);
    EXPECT_EQ(in.instrument_index_bound, 3);
    EXPECT_EQ(in.sequences, 2);
    EXPECT_EQ(in.sequence_adjustment, 0);
    EXPECT_EQ(in.waves, 1);
    EXPECT_EQ(in.section_start[sec_patt], s.offset(3));
    EXPECT_EQ(in.section_length[sec_blah], s.length(5));
    ASSERT_NE(in.machine_list, nullptr);
    const MachineEntry* e = in.machine_list;
    EXPECT_STREQ(e[0].name, "Master");
    EXPECT_EQ(e[0].description, 0);
    EXPECT_EQ(e[0].kind, 0);
    EXPECT_EQ(e[0].inputs, 1);
    EXPECT_STREQ(e[1].name, "Tracker 01");
    EXPECT_EQ(e[1].description, 1);
    EXPECT_EQ(e[1].kind, 1);
    EXPECT_EQ(e[1].tracks, 2);
    EXPECT_EQ(e[1].inputs, 0);
    EXPECT_EQ(e[2].description, 2);
    EXPECT_EQ(e[2].kind, 2);
    EXPECT_EQ(e[2].inputs, 1);
    // Nothing went to input 0 or 2.
    EXPECT_EQ(input0().machines, 0);
}

TEST_F(BmxReaderTest, LongMachineNameIsCutTo29Characters)
{
    reader_state.full_parse = 1;
    MachineDef t = tracker_def();
    t.name = std::string(40, 'n');
    SongFile s;
    s.add("MACH", mach_body({t}));
    ASSERT_EQ(read(s.bytes()), "");
    EXPECT_EQ(std::string(input0().machine_list[1].name), std::string(29, 'n'));
}

TEST_F(BmxReaderTest, WithoutFullParseMachinesAndPatternsAreNotWalked)
{
    SongFile s = standard_song();
    s.sections[3].second = Bytes().fill(7, 0xEE); // PATT garbage is never looked at
    ASSERT_EQ(read(s.bytes()), "");
    EXPECT_EQ(input0().machines, 3);
    EXPECT_EQ(input0().machine_list, nullptr);
    EXPECT_EQ(input0().master_connections, 1);
}

TEST_F(BmxReaderTest, UnknownDirectoryEntriesAreSkipped)
{
    SongFile s;
    s.add("XTRA", Bytes().fill(5, 0xFF)).add("mach", Bytes().le16(9)).add("CONN", conn_body());
    s.add(std::string("\0\0\0\0", 4), Bytes());
    ASSERT_EQ(read(s.bytes()), "");
    EXPECT_EQ(input0().machines, 0); // "mach" is not MACH
    EXPECT_EQ(input0().connections, 2);
}

TEST_F(BmxReaderTest, SectionSelectorProcessesOnlyItsSection)
{
    settings.dolist = 1;
    SongFile s = standard_song();
    ASSERT_EQ(read(s.bytes(), sec_wavt), "");
    EXPECT_EQ(input0().instruments, 1);
    EXPECT_EQ(input0().machines, 0);
    EXPECT_EQ(input0().connections, 0);
    EXPECT_EQ(input0().waves, 0);
    EXPECT_EQ(input0().section_start[sec_mach], 0u);
    EXPECT_EQ(input0().section_start[sec_wavt], s.offset(2));
    // With a selector the listing is off.
    EXPECT_EQ(log_text(), "");
}

// ---------------------------------------------------------------------------------------------
// The machine checks

TEST_F(BmxReaderTest, WrongTrackBytesAreCaughtAtTheEndOfMach)
{
    reader_state.full_parse = 1;
    machine_table_state.machine_descriptions[1].track_bytes = 4; // the song has 5
    SongFile s;
    s.add("MACH", mach_body({tracker_def()}));
    EXPECT_EQ(read(s.bytes()), "abort:\n");
    // The tracker's state began 29 + 2 + 53 bytes into the section; 1 + 2 + 2 * 5 bytes follow.
    const std::string log = log_text();
    EXPECT_NE(log.find("\nMachine section size doesn't match, probably wrong machine or machines.ini!!!"
                       "\nIf only wrong last machine: static_bytes+tracks*track_bytes= 11"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Error: \n"), std::string::npos);
}

TEST_F(BmxReaderTest, UnknownLibraryEndsTheJob)
{
    reader_state.full_parse = 1;
    MachineDef t = tracker_def();
    t.dll = "Jeskola Trackerz";
    SongFile s;
    s.add("MACH", mach_body({t}));
    EXPECT_EQ(read(s.bytes()), "abort:\nMachine not found in machines.ini, you should retry without!!");
    EXPECT_NE(log_text().find("\nMachine (Jeskola Trackerz) not found in machines.ini"), std::string::npos);
}

TEST_F(BmxReaderTest, DataBlockAbove2000BytesIsRefused)
{
    reader_state.full_parse = 1;
    MachineDef r = reverb_def();
    r.data = Bytes().fill(2000, 7);
    SongFile s;
    s.add("MACH", mach_body({r}));
    EXPECT_EQ(read(s.bytes()), "");
    r.data = Bytes().fill(2001, 7);
    s.sections[0].second = mach_body({r});
    EXPECT_EQ(read(s.bytes()),
              "abort:\nStatic size in machine >2000 bytes, probably wrong machine or machines.ini!!!");
}

TEST_F(BmxReaderTest, OnlyTheLastMachineMayHaveMoreThan50Tracks)
{
    reader_state.full_parse = 1;
    MachineDef t = tracker_def();
    t.tracks = 64;
    t.track_state = Bytes().str("ABCDE");
    SongFile s;
    s.add("MACH", mach_body({reverb_def(), t}));
    EXPECT_EQ(read(s.bytes()), "");
    EXPECT_EQ(input0().machine_list[2].tracks, 64);

    s.sections[0].second = mach_body({t, reverb_def()});
    EXPECT_EQ(read(s.bytes()),
              "abort:\nMachine tracks>50, probably wrong machine or machines.ini!!!\nYou can try to "
              "adjust static bytes+track bytes to match the start of the name of the next machine!!!");
    const std::string log = log_text();
    EXPECT_NE(log.find("Byte: 1:.A.Byte: 2:.B."), std::string::npos);
    EXPECT_NE(log.find("Byte: 19:."), std::string::npos);
    EXPECT_EQ(log.find("Byte: 20:"), std::string::npos);
}

TEST_F(BmxReaderTest, CloneSourceMustBeAGenerator)
{
    reader_state.full_parse = 1;
    reader_state.current_input = 1;
    SongFile s = standard_song();
    settings.clone_source = 1;
    EXPECT_EQ(read(s.bytes()), "");
    settings.clone_source = 2;
    EXPECT_EQ(read(s.bytes()), "abort:No generator choosen, reselect source machine");
    reader_state.list_generators_only = 1; // listing the generators is how one chooses again
    EXPECT_EQ(read(s.bytes(), sec_mach), "");
    reader_state.list_generators_only = 0;
    reader_state.current_input = 2;
    EXPECT_EQ(read(s.bytes()), "");
}

// ---------------------------------------------------------------------------------------------
// PATT, SEQU, WAVE

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
}

TEST_F(BmxReaderTest, SequenceAdjustment)
{
    SongFile s = standard_song();
    reader_state.current_input = 2;
    ASSERT_EQ(read(s.bytes()), "");
    EXPECT_EQ(reader_state.input_summaries[2].sequence_adjustment, -1); // one master sequence
    reader_state.current_input = 1;
    settings.clone_source = 1;
    ASSERT_EQ(read(s.bytes()), "");
    EXPECT_EQ(reader_state.input_summaries[1].sequence_adjustment, 0); // no destination chosen
    settings.clone2 = 3;
    ASSERT_EQ(read(s.bytes()), "");
    EXPECT_EQ(reader_state.input_summaries[1].sequence_adjustment, 1);
}

TEST_F(BmxReaderTest, WaveRunningPastTheEndOfTheFile)
{
    SongFile s = standard_song();
    Bytes cut = s.bytes();
    cut.data.resize(cut.size() - 3); // 1 of the 4 wave bytes remains
    EXPECT_EQ(read(cut), too_short);
    EXPECT_NE(log_text().find("\npremature EOF at pos: 1"), std::string::npos);

    // The same when the bytes are passed on to a merge stream block by block.
    open_merge_stream();
    reader_state.full_parse = 1;
    EXPECT_EQ(read(cut), too_short);
    const std::string log = log_text();
    EXPECT_NE(log.find("\npremature EOF at pos: 1"), log.rfind("\npremature EOF at pos: 1"));
}

TEST_F(BmxReaderTest, LargeWaveIsCopiedWhole)
{
    Bytes wave;
    wave.le16(1).le16(0).u8(1).le32(300000);
    for (uint32_t i = 0; i < 300000; ++i) wave.u8(i * 7);
    SongFile s;
    s.add("WAVE", wave);
    open_merge_stream();
    ASSERT_EQ(read(s.bytes()), "");
    EXPECT_EQ(merged(), wave.data);
}

// ---------------------------------------------------------------------------------------------
// The byte path to the merge stream

TEST_F(BmxReaderTest, MergeStreamGetsEverySectionUnchanged)
{
    SongFile s = standard_song();
    for (int full = 0; full <= 1; ++full) {
        if (merge_file) std::fclose(merge_file);
        open_merge_stream();
        reader_state.full_parse = full;
        for (int sec = sec_mach; sec <= sec_wave; ++sec) ASSERT_EQ(read(s.bytes(), sec), "");
        Bytes all;
        for (const auto& sec : s.sections) all.append(sec.second);
        EXPECT_EQ(merged(), all.data) << "full_parse " << full;
    }
}

// Hooks that change one value of every kind, as the merge will.
int64_t drop_conn_count(int section, uint32_t value) { return section == sec_conn ? -1 : int64_t(value); }
bool drop_master(int machine) { return machine != 0; }
void move_right(int, float* x, float*) { *x += 1.0f; }
bool drop_to_master(uint16_t* source, uint16_t* destination, uint16_t*, uint16_t*)
{
    *source += 10;
    return *destination != 0;
}
void shift_index(int, uint16_t* index) { *index += 5; }
void retune(int, int, uint32_t* rate) { *rate = 22050; }
bool skip_patterns_of_master(int machine, int, int) { return machine != 0; }
void double_lines(int, int, const char*, uint16_t* lines) { *lines *= 2; }
void transpose_rows(const RowPlace& at, uint8_t* bytes, int)
{
    if (at.kind == row_track && at.machine == 1 && bytes[0] == 0x41) bytes[0] = 0x51;
}
void empty_row_after(const RowPlace& at, const uint8_t*, int size)
{
    if (at.kind == row_global && at.machine == 1)
        for (int i = 0; i < size; ++i) emit_byte(0xFF);
}
bool drop_master_sequences(int, uint16_t* machine, uint32_t*, int, int) { return *machine != 0; }
void later_events(int, uint32_t* position, uint32_t*) { *position += 0x100; }
void wave_plus_five(int, uint16_t* index, uint8_t, uint32_t) { *index += 5; }

TEST_F(BmxReaderTest, HooksChangeDropAndAddValuesOnTheWay)
{
    ReaderHooks h;
    h.count = drop_conn_count;
    h.machine_begin = drop_master;
    h.machine_position = move_right;
    h.connection = drop_to_master;
    h.wave_table_index = shift_index;
    h.sample_rate = retune;
    h.pattern_machine = skip_patterns_of_master;
    h.pattern_lines = double_lines;
    h.row = transpose_rows;
    h.row_written = empty_row_after;
    h.sequence_begin = drop_master_sequences;
    h.sequence_event = later_events;
    h.wave_begin = wave_plus_five;
    reader_state.hooks = &h;
    reader_state.full_parse = 1;
    open_merge_stream();
    SongFile s = standard_song();
    for (int sec = sec_mach; sec <= sec_wave; ++sec) ASSERT_EQ(read(s.bytes(), sec), "") << sec;

    MachineDef t = tracker_def();
    MachineDef r = reverb_def();
    t.x += 1.0f;
    r.x += 1.0f;
    Bytes want;
    want.le16(3).append(machine_record(t)).append(machine_record(r)); // the master dropped
    want.le16(11).le16(2).le16(0x4000).le16(0x2000); // no count, no connection to the master
    Bytes wavt = wavt_body();
    wavt.data[2] = 7;                                         // index 2 + 5
    const size_t rate_at = wavt.size() - 5;                   // 22050 in the only level
    wavt.data[rate_at] = 0x22, wavt.data[rate_at + 1] = 0x56, wavt.data[rate_at + 2] = 0;
    want.append(wavt);
    // PATT: the master's patterns dropped, line counts doubled, an empty global row after each
    // global row of the tracker, its notes moved up an octave.
    want.le16(2).le16(2);
    want.str("00").u8(0).le16(4).u8(0xFF).u8(0xFF).u8(0xFF).u8(0xFF);
    for (int row = 0; row < 4; ++row) want.u8(0x51).u8(1).u8(0x80).u8(0).u8(0);
    want.str("01").u8(0).le16(2).u8(0xFF).u8(0xFF);
    for (int row = 0; row < 2; ++row) want.u8(0).u8(0).u8(0xFF).u8(0).u8(0);
    want.le16(0).le16(0);
    // SEQU: the master's sequence dropped, the events moved.
    want.le32(0x10).le32(0).le32(0x10).le16(2);
    want.le16(1).le32(2).u8(2).u8(2).le16(0x100).le16(0x10).le16(0x108).le16(0x11);
    want.append(blah_body());
    want.le16(1).le16(7).u8(0).le32(4).u8(1).u8(2).u8(3).u8(4);
    EXPECT_EQ(merged(), want.data);
}

// ---------------------------------------------------------------------------------------------
// Damaged songs

TEST_F(BmxReaderTest, HostileCountsEndTheJobQuickly)
{
    reader_state.full_parse = 1;
    SongFile s = standard_song();
    Bytes b = s.bytes();
    b.data[4] = b.data[5] = b.data[6] = b.data[7] = 0xFF; // 4 billion directory entries
    EXPECT_EQ(read(b), too_short);

    b = s.bytes();
    b.data[15] = 0xF0; // MACH offset far beyond the end
    EXPECT_EQ(read(b), too_short);

    s = standard_song();
    s.sections[1].second.data[0] = 0xFF; // 255 connections in 18 bytes
    EXPECT_EQ(read(s.bytes()), too_short);

    s = standard_song();
    s.sections[4].second.data[12] = 0xFF; // 0xFFFF sequences
    EXPECT_EQ(read(s.bytes()), too_short);
    s = standard_song();
    s.sections[4].second.data[16] = 0xFF; // 0xFFFF0002 events
    s.sections[4].second.data[17] = 0xFF;
    EXPECT_EQ(read(s.bytes()), too_short);

    s = standard_song();
    s.sections[2].second.data[0] = 0xFF; // 0xFF01 wave table entries
    EXPECT_EQ(read(s.bytes()), too_short);

    s = standard_song();
    s.sections[3].second.data[0] = 0xFF; // 0xFF01 master patterns
    s.sections[3].second.data[1] = 0xFF;
    EXPECT_EQ(read(s.bytes()), patt_mismatch);
    s = standard_song();
    Bytes& patt = s.sections[3].second;
    patt.data[7] = patt.data[8] = 0xFF; // 65535 lines
    EXPECT_EQ(read(s.bytes()), patt_mismatch);

    MachineDef t = tracker_def();
    t.tracks = 0xFFFF; // last machine: allowed, but the bytes are not there
    t.track_state = Bytes();
    s = SongFile();
    s.add("MACH", mach_body({t}));
    EXPECT_EQ(read(s.bytes()), "abort:\n");

    s = standard_song();
    s.sections[0].second.data[0] = 0xFF; // 0xFF03 machines
    s.sections[0].second.data[1] = 0xFF;
    EXPECT_EQ(read(s.bytes()), too_short);
}

TEST_F(BmxReaderTest, PatternsBeforeMachinesAreASizeMismatch)
{
    reader_state.full_parse = 1;
    // A machine list of an earlier job is gone with the pool sweep: it is not used again.
    ASSERT_EQ(read(standard_song().bytes()), "");
    pool_free_all();
    install_descriptions();
    SongFile s;
    s.add("PATT", patt_body()).add("MACH", mach_body({tracker_def(), reverb_def()}));
    EXPECT_EQ(read(s.bytes()), patt_mismatch);
    s = SongFile();
    s.add("PATT", Bytes());
    EXPECT_EQ(read(s.bytes()), "");
}

// Every way the reader may be driven, over every cut of the song: it ends, with or without an
// error, and never touches memory it does not own.
TEST_F(BmxReaderTest, CutSongsNeverCrash)
{
    const Bytes whole = standard_song().bytes();
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        Bytes b;
        b.data.assign(whole.data.begin(), whole.data.begin() + long(cut));
        for (int mode = 0; mode < 4; ++mode) {
            reader_state = ReaderState();
            reader_state.full_parse = mode & 1;
            if (mode & 2) {
                if (merge_file) std::fclose(merge_file);
                open_merge_stream();
            }
            std::string r = read(b);
            if (cut < 8 + 12 * 7) {
                EXPECT_NE(r, "") << cut;
            }
        }
    }
}

TEST_F(BmxReaderTest, DamagedSongsNeverCrash)
{
    const Bytes whole = standard_song().bytes();
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    const uint8_t values[] = {0, 1, 0x7F, 0x80, 0xFE, 0xFF};
    for (int round = 0; round < 1500; ++round) {
        Bytes b = whole;
        int changes = 1 + int(next() % 3);
        for (int c = 0; c < changes; ++c) {
            size_t at = next() % b.size();
            b.data[at] = (next() & 1) ? uint8_t(next()) : values[next() % 6];
        }
        reader_state = ReaderState();
        reader_state.full_parse = round & 1;
        if (merge_file) std::fclose(merge_file);
        merge_file = nullptr;
        if (round & 2) open_merge_stream();
        read(b);
    }
    SUCCEED();
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Songs written by the program read back with the shipped machine descriptions.

namespace {

class BmxRoundTripTest : public kxtest::WorkDirTest {
protected:
    void SetUp() override
    {
        kxtest::WorkDirTest::SetUp();
        reader_state = ReaderState();
        machine_table_state = MachineTable();
        kxtest::install_machines_ini();
    }
    void TearDown() override
    {
        reader_state = ReaderState();
        machine_table_state = MachineTable();
        kxtest::WorkDirTest::TearDown();
    }
    // Converts input into output, then reads output in full; "" when both passed.
    std::string convert_and_read(const std::string& input, const std::string& output)
    {
        try {
            convert(input.c_str(), output.c_str());
        } catch (const JobAbort& e) {
            return std::string("conversion failed: ") + e.what();
        }
        const int machines = song.machine_count;
        reader_state = ReaderState();
        if (!load_machine_descriptions()) return "no machines.ini";
        reader_state.full_parse = 1;
        File f = open_file(output.c_str(), "rb");
        if (!f) return "no output";
        try {
            read_buzz_song(f.get(), 0);
        } catch (const JobAbort& e) {
            return std::string("abort:") + e.what();
        }
        if (reader_state.input_summaries[0].machines != machines) return "machine count differs";
        return "";
    }
};

TEST_F(BmxRoundTripTest, WrittenSongReadsBackInFull)
{
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
    const InputSummary& in = reader_state.input_summaries[0];
    EXPECT_EQ(in.machines, 3);
    EXPECT_EQ(in.connections, 2);
    EXPECT_EQ(in.master_connections, 2);
    EXPECT_EQ(in.machine_list[0].inputs, 2);
    EXPECT_EQ(in.machine_list[2].description, int(role_tracker));
    EXPECT_EQ(in.machine_list[2].tracks, 2);
    EXPECT_EQ(in.waves, 0);
}

TEST_F(BmxRoundTripTest, TheDriverListsAWrittenSong)
{
    const auto demo = kxtest::source_dir() / "examples" / "demo.xm";
    if (!std::filesystem::exists(demo)) GTEST_SKIP() << "no demo tune";
    std::filesystem::copy_file(demo, "demo.xm");
    ASSERT_EQ(convert_and_read("demo.xm", "demo.bmx"), "");
    settings.dolist = 1;
    settings.verbose = 1;
    settings.do_mscale1 = 1; // the listing walks machines and patterns too
    pool_free_all();         // the first job's memory, as the runner sweeps after each job
    FILE* log = std::tmpfile();
    log_state.log_stream = log;
    int listed = -1;
    const bool ok = run_guarded([&] { listed = convert("demo.bmx", "unused.bmx"); });
    log_state.log_stream = nullptr;
    std::rewind(log);
    std::string text;
    for (int c; (c = std::fgetc(log)) != EOF;) text += char(c);
    std::fclose(log);
    EXPECT_TRUE(ok);
    EXPECT_EQ(listed, 0);
    EXPECT_NE(text.find("\nBuzz: sections:7"), std::string::npos);
    EXPECT_NE(text.find("\n\nmachine: 1 ("), std::string::npos) << text.substr(0, 2000);
    EXPECT_FALSE(std::filesystem::exists("unused.bmx"));
}

} // namespace
