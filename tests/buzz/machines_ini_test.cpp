// Loading "machines.ini": machine lines, colon lines, byte lists, version check, limits, and the
// shipped copy.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "buzz/machines_ini.h"
#include "jobs/job_runner.h"
#include "support/test_support.h"

namespace {

class MachinesIniTest : public kxtest::WorkDirTest {
protected:
    void SetUp() override
    {
        WorkDirTest::SetUp();
        machine_table_state = MachineTable();
        log_state.window = &fake;
    }
    void TearDown() override
    {
        machine_descriptions_reset();
        WorkDirTest::TearDown();
    }
    void write_ini(const std::string& text) { std::ofstream("machines.ini", std::ios::binary) << text; }
    void load(const std::string& text)
    {
        write_ini(text);
        ASSERT_TRUE(load_machine_descriptions());
    }
    const MachineDescription& rec(int i)
    {
        static const MachineDescription none;
        const MachineDescription* d = machine_description(i);
        EXPECT_NE(d, nullptr) << "record " << i;
        return d ? *d : none;
    }
    bool logged(const char* text) const { return fake.text.find(text) != std::string::npos; }
    kxtest::FakeWindow fake;
};

std::string hex(const uint8_t* p, int n)
{
    std::string s;
    char b[4];
    for (int i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
        s += b;
    }
    return s;
}

// "type global track | note wave volume max_tracks | attributes/read short_name"
std::string layout(const MachineDescription& d)
{
    char b[120];
    std::snprintf(b, sizeof b, "%d %d %d | %d %d %d %d | %d/%d %s", d.type, d.global_bytes, d.track_bytes,
                  d.note_byte, d.wave_byte, d.volume_byte, d.max_tracks, d.attribute_count,
                  d.attributes_read, d.short_name);
    return b;
}

TEST_F(MachinesIniTest, VersionMustBeExactly25)
{
    EXPECT_FALSE(load_machine_descriptions()); // no file: the table stays empty
    EXPECT_EQ(machine_description(0), nullptr);
    write_ini("version=2.50\n\"Master\" 0 5 0\n");
    EXPECT_FALSE(run_guarded([] { load_machine_descriptions(); }));
    EXPECT_TRUE(logged("Wrong machines.ini version!!"));
    load("; no version\n\"Master\" 0 5 0\n\"Other\" 2 1 1\n");
    EXPECT_TRUE(logged("machines.ini: version: , 2 machines"));
}

TEST_F(MachinesIniTest, MachineLinesAndByteLists)
{
    // An effect reads three numbers and skips colon lines; a generator reads everything. CR LF
    // line ends read like LF.
    load("version=2.5\r\n\"Some Delay\" 2 3 2 1 2 3 8 2 Name\n:2\n: 01 02 03 : 04 05 : 06 07 08 : 09 0A\n"
         "\"Gen\" 1 2 3 1 2 3 16 3 GenShort\r\n:3\r\n:a0 0B: 00 01 ff :fe FD:00\tff 7\r\n");
    EXPECT_STREQ(rec(0).dll_name, "Some Delay");
    EXPECT_EQ(layout(rec(0)), "2 3 2 | 0 0 0 0 | 0/0 ");
    EXPECT_EQ(layout(rec(1)), "1 2 3 | 1 2 3 16 | 3/3 GenShort");
    EXPECT_EQ(hex(rec(1).init_bytes, 5) + "|" + hex(rec(1).empty_bytes, 5), "A0 0B 00 01 FF|FE FD 00 FF 07");
    EXPECT_EQ(fake.text.find("Warning"), std::string::npos);
    EXPECT_EQ(fake.text.find("Why"), std::string::npos);
}

TEST_F(MachinesIniTest, ShortAndMalformedByteListsNeverLeaveTheLine)
{
    struct Case {
        const char* counts; // global and track bytes
        const char* lists;
        const char* init;
        const char* empty;
        std::vector<const char*> diagnostics;
    } cases[] = {
        // The second line ends after two of three values of list 1: the line break reads as a 0,
        // lists 2 and 3 keep the earlier values.
        {"1 3", ": 11 : 12 13 14 : 15 : 16 17 18\n: 21 : 22 23\n", "21 22 23 00", "15 16 17 18",
         {" !(10, 2, 0)?", " Why(2, 0)?"}},
        {"2 2", ": 0A 0B : 0C 0D : 0E 0F : 10 11 12 13 14\n" // values after the last list ignored
                ":zz 01 : 02 : 03 04 : 05\n"               // no value reads as 0
                ":\n"                                      // nothing at all
                ":01 02 03",                               // no separator, no line end
         "01 02 03 00", "01 0F 10 11",
         {" !(122, 1, 0)?", " Why(2, 1)?", " !(10, 1, 0)?", " Why(1, 0)?", " !(48, 1, 0)?", " Why(1, 1)?"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lists);
        fake.text.clear();
        load(std::string("version=2.5\n\"Gen\" 1 ") + c.counts + " 1 2 3 4 0 G\n" + c.lists);
        EXPECT_EQ(hex(rec(0).init_bytes, 4), c.init);
        EXPECT_EQ(hex(rec(0).empty_bytes, 4), c.empty);
        for (const char* diag : c.diagnostics) EXPECT_TRUE(logged(diag)) << diag << "\n" << fake.text;
    }
}

TEST_F(MachinesIniTest, AttributeCountMismatchWarns)
{
    log_state.log_enabled = 0; // the warning is forced through
    load("version=2.5\n\"Gen\" 1 0 1 1 1 1 4 3 G\n:2\n: : 05 : : 06\n");
    EXPECT_EQ(rec(0).attributes_read, 2);
    EXPECT_TRUE(logged("Warning: numbers of attributes don't match!"));
    EXPECT_EQ(hex(rec(0).init_bytes, 1) + hex(rec(0).empty_bytes, 1), "0506");
}

TEST_F(MachinesIniTest, ByteCountsAndNamesStayInsideTheRecords)
{
    std::string many;
    for (int i = 0; i < 40; ++i) many += " 7E";
    // A 600-character line whose tail would look like a machine line of its own.
    const std::string long_line = "\"Long\" 2 1 1" + std::string(487, ' ') + "\"Tail\" 2 1 1 " + std::string(100, 'x');
    load("version=2.5\n\"Big\" 1 15 15 1 2 3 4 0 B\n:" + many + ":" + many + ":" + many + ":" + many + "\n"
         "\"Neg\" 1 -4 -1 1 2 3 4 0 N\n: : : :\n\"Huge\" 1 99999999999 3 1 2 3 4 0 H\n"
         "\"" + std::string(100, 'n') + "\" 1 1 1 1 1 1 4 0 " + std::string(40, 'w') + "\n" +
         long_line + "\n\"After\" 2 2 2\n");
    ASSERT_EQ(machine_table_state.machine_description_count, 6);
    EXPECT_EQ(layout(rec(0)).substr(0, 8), "1 15 15 ");
    EXPECT_EQ(rec(0).init_bytes[29], 0x7E);
    EXPECT_EQ(layout(rec(1)).substr(0, 6), "1 0 0 ");
    EXPECT_TRUE(logged("Warning: byte counts of Neg cut to 0 and 0!"));
    EXPECT_EQ(layout(rec(2)).substr(0, 8), "1 255 3 ");
    EXPECT_EQ(std::string(rec(3).dll_name), std::string(63, 'n'));
    EXPECT_EQ(std::string(rec(3).short_name), std::string(19, 'w'));
    EXPECT_STREQ(rec(4).dll_name, "Long");
    EXPECT_STREQ(rec(5).dll_name, "After");
    EXPECT_EQ(rec(5).global_bytes, 2);
}

TEST_F(MachinesIniTest, FindIsCaseInsensitiveFirstMatch)
{
    load("version=2.5\n\"Master\" 0 5 0\n\"Jeskola Tracker\" 1 1 5 1 2 3 32 0 T\n\"JESKOLA TRACKER\" 2 0 0\n");
    EXPECT_EQ(find_machine_description("jeskola tracker"), 1);
    EXPECT_EQ(find_machine_description("Jeskola Tracke"), -1);
    EXPECT_EQ(find_machine_description("Jeskola Trackers"), -1);
    EXPECT_EQ(machine_description(-1), nullptr);
}

TEST_F(MachinesIniTest, ShippedFileHoldsTheFixedRoles)
{
    kxtest::install_machines_ini();
    log_state.log_enabled = 1;
    ASSERT_TRUE(load_machine_descriptions());
    ASSERT_GE(machine_table_state.machine_description_count, fixed_machine_records);
    for (const char* bad : {"Why", " !(", "Warning"}) EXPECT_FALSE(logged(bad)) << bad;
    EXPECT_TRUE(logged("machines.ini: version: 2.5,"));
    EXPECT_EQ(layout(rec(role_master)), "0 5 0 | 0 0 0 0 | 0/0 ");
    EXPECT_EQ(layout(rec(role_tracker)), "1 1 5 | 1 2 3 32 | 3/3 Tracker");
    EXPECT_EQ(hex(rec(role_tracker).empty_bytes + 1, 5), "00 00 FF 00 00");
    EXPECT_EQ(rec(role_primifun).attribute_count, 3);
    EXPECT_EQ(rec(role_vmidiout).attribute_count, 2);
    EXPECT_GE(rec(role_vmidiout).track_bytes, 5); // MIDI channel at 4, program at 5

    for (int i = role_tracker; i <= role_bass3; ++i) {
        const MachineDescription& d = rec(i);
        SCOPED_TRACE(d.dll_name);
        EXPECT_EQ(d.type, 1);
        EXPECT_NE(d.short_name[0], 0);
        EXPECT_LE(d.global_bytes + d.track_bytes, machine_bytes_area);
        for (int at : {d.note_byte, d.wave_byte, d.volume_byte}) EXPECT_TRUE(at >= 1 && at <= d.track_bytes) << at;
        EXPECT_GE(d.max_tracks, 1);
        EXPECT_EQ(d.attributes_read, d.attribute_count);
        EXPECT_EQ(d.empty_bytes[d.global_bytes + d.note_byte - 1], 0) << "empty row plays a note";
        EXPECT_EQ(d.empty_bytes[d.global_bytes + d.volume_byte - 1], 0xFF);
    }
    for (int i = fixed_machine_records; i < machine_table_state.machine_description_count; ++i)
        EXPECT_EQ(rec(i).type, 2) << rec(i).dll_name;
}

// Lines built from the file's own vocabulary in random order: every load ends normally with counts
// and names that fit the records.
TEST_F(MachinesIniTest, ScrambledFilesStayInsideTheRecords)
{
    const char* pieces[] = {"\"", ":", " ", "\t", "1", "2", "-3", "20", "99", "ff", "0A", "x",
                            "Name", "\"Gen\" 1 ", "\"Fx\" 2 ", ": :", "7 7 7 7 7 7 7 7 7"};
    uint32_t seed = 12345;
    auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 16; };
    log_state.log_enabled = 0;
    for (int round = 0; round < 40; ++round) {
        std::string text = "version=2.5\n";
        for (int line = int(next() % 30); line > 0; --line, text += '\n')
            for (int n = int(next() % 40); n > 0; --n) text += pieces[next() % std::size(pieces)];
        load(text);
        for (int i = 0; i < machine_table_state.machine_description_count; ++i) {
            const MachineDescription& d = rec(i);
            EXPECT_TRUE(d.global_bytes >= 0 && d.track_bytes >= 0 && d.global_bytes + d.track_bytes <= machine_bytes_area);
            EXPECT_LT(std::strlen(d.short_name), sizeof d.short_name);
            EXPECT_LT(std::strlen(d.dll_name), sizeof d.dll_name);
        }
    }
}

TEST(TransposeNote, MovesWithinTheByteAndClamps)
{
    // note, semitones, result: octave in the high nibble, 1..12 in the low one.
    const int cases[][3] = {{0x41, 12, 0x51},       {0x41, -1, 0x3C}, {0x4C, 1, 0x51},
                            {0x01, -1, 0x01},       {0x01, -1000000, 0x01}, {0, 5, 0},
                            {255, 5, 255},          {0xFC, 0, 0xFC},  {0xFC, 1, 0x01},
                            {0x41, 2000000000, 0x01}};
    for (const auto& c : cases)
        EXPECT_EQ(transpose_note(uint8_t(c[0]), c[1]), c[2]) << c[0] << " " << c[1];
}

} // namespace
