// Loading "machines.ini": machine lines, colon lines, byte lists, version check, limits, and the
// shipped copy.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "core/job_runner.h"
#include "support/test_support.h"
#include "transform/machines_ini.h"

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
    void write_ini(const std::string& text)
    {
        std::ofstream out("machines.ini", std::ios::binary);
        out << text;
    }
    // Loads, expecting success.
    void load(const std::string& text)
    {
        write_ini(text);
        ASSERT_TRUE(load_machine_descriptions());
    }
    const MachineDescription& rec(int i)
    {
        const MachineDescription* d = machine_description(i);
        EXPECT_NE(d, nullptr) << "record " << i;
        static MachineDescription none;
        return d ? *d : none;
    }
    kxtest::FakeWindow fake;
};

std::string bytes(const uint8_t* p, int n)
{
    std::string s;
    char b[4];
    for (int i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02X", p[i]);
        if (i) s += ' ';
        s += b;
    }
    return s;
}

TEST_F(MachinesIniTest, MissingFileLeavesTableEmpty)
{
    EXPECT_FALSE(load_machine_descriptions());
    EXPECT_EQ(machine_table_state.machine_description_count, 0);
    EXPECT_EQ(machine_description(0), nullptr);
}

TEST_F(MachinesIniTest, VersionMustBeExactly25)
{
    write_ini("version=2.50\n\"Master\" 0 5 0\n");
    EXPECT_FALSE(run_guarded([] { load_machine_descriptions(); }));
    EXPECT_NE(fake.text.find("Error: "), std::string::npos);
    EXPECT_NE(fake.text.find("Wrong machines.ini version!!"), std::string::npos);

    fake.text.clear();
    load("version=2.5\n\"Master\" 0 5 0\n");
    EXPECT_NE(fake.text.find("machines.ini: version: 2.5, 1 machines"), std::string::npos);
}

TEST_F(MachinesIniTest, FileWithoutVersionIsRead)
{
    load("; no version\n\"Master\" 0 5 0\n\"Other\" 2 1 1\n");
    EXPECT_EQ(machine_table_state.machine_description_count, 2);
    EXPECT_NE(fake.text.find("machines.ini: version: , 2 machines"), std::string::npos);
}

TEST_F(MachinesIniTest, EffectLineReadsThreeNumbersAndIgnoresColonLines)
{
    load("version=2.5\n\"Some Delay\" 2 3 2 1 2 3 8 2 Name\n:2\n: 01 02 03 : 04 05 : 06 07 08 : 09 0A\n");
    const MachineDescription& d = rec(0);
    EXPECT_STREQ(d.dll_name, "Some Delay");
    EXPECT_EQ(d.type, 2);
    EXPECT_EQ(d.global_bytes, 3);
    EXPECT_EQ(d.track_bytes, 2);
    EXPECT_EQ(d.note_byte, 0);
    EXPECT_EQ(d.max_tracks, 0);
    EXPECT_EQ(d.short_name[0], 0);
    EXPECT_EQ(bytes(d.init_bytes, 5), "00 00 00 00 00");
    EXPECT_EQ(bytes(d.empty_bytes, 5), "00 00 00 00 00");
}

TEST_F(MachinesIniTest, GeneratorLineWithAttributesAndByteLists)
{
    load("version=2.5\n\"Gen\" 1 2 3 1 2 3 16 3 GenShort\n:3\n:a0 0B: 00 01 ff :fe FD:00\tff 7\n");
    const MachineDescription& d = rec(0);
    EXPECT_EQ(d.type, 1);
    EXPECT_EQ(d.note_byte, 1);
    EXPECT_EQ(d.wave_byte, 2);
    EXPECT_EQ(d.volume_byte, 3);
    EXPECT_EQ(d.max_tracks, 16);
    EXPECT_EQ(d.attribute_count, 3);
    EXPECT_EQ(d.attributes_read, 3);
    EXPECT_STREQ(d.short_name, "GenShort");
    EXPECT_EQ(bytes(d.init_bytes, 5), "A0 0B 00 01 FF");
    EXPECT_EQ(bytes(d.empty_bytes, 5), "FE FD 00 FF 07");
    EXPECT_EQ(fake.text.find("Warning"), std::string::npos);
    EXPECT_EQ(fake.text.find("Why"), std::string::npos);
}

TEST_F(MachinesIniTest, AttributeCountMismatchWarns)
{
    log_state.log_enabled = 0; // the warning is forced through
    load("version=2.5\n\"Gen\" 1 0 1 1 1 1 4 3 G\n:2\n: : 05 : : 06\n");
    EXPECT_EQ(rec(0).attributes_read, 2);
    EXPECT_NE(fake.text.find("Warning: numbers of attributes don't match!"), std::string::npos);
    EXPECT_EQ(rec(0).init_bytes[0], 0x05);
    EXPECT_EQ(rec(0).empty_bytes[0], 0x06);
}

TEST_F(MachinesIniTest, ShortByteListReadsZerosAndKeepsLaterLists)
{
    // The first list line fills everything; the second ends after two of three values of
    // list 1: the line break reads as a 0, and lists 2 and 3 keep the earlier values.
    load("version=2.5\n\"Gen\" 1 1 3 1 2 3 4 0 G\n"
         ": 11 : 12 13 14 : 15 : 16 17 18\n"
         ": 21 : 22 23\n");
    const MachineDescription& d = rec(0);
    EXPECT_EQ(bytes(d.init_bytes, 4), "21 22 23 00");
    EXPECT_EQ(bytes(d.empty_bytes, 4), "15 16 17 18");
    EXPECT_NE(fake.text.find(" !(10, 2, 0)?"), std::string::npos);
    EXPECT_NE(fake.text.find(" Why(2, 0)?"), std::string::npos);
}

TEST_F(MachinesIniTest, MalformedByteListsNeverLeaveTheLine)
{
    load("version=2.5\n\"Gen\" 1 2 2 1 2 3 4 0 G\n"
         ": 0A 0B : 0C 0D : 0E 0F : 10 11 12 13 14\n" // values after the last list are ignored
         ":zz 01 : 02 : 03 04 : 05\n"               // a character that is no value reads as 0
         ":\n"                                      // nothing at all
         ":01 02 03");                               // no separator, no line break at the end
    const MachineDescription& d = rec(0);
    EXPECT_EQ(bytes(d.init_bytes, 4), "01 02 03 00");
    EXPECT_EQ(bytes(d.empty_bytes, 4), "01 0F 10 11");
    for (const char* diag : {" !(122, 1, 0)?", " Why(2, 1)?", " !(10, 1, 0)?", " Why(1, 0)?",
                             " !(48, 1, 0)?", " Why(1, 1)?"})
        EXPECT_NE(fake.text.find(diag), std::string::npos) << diag;
}

TEST_F(MachinesIniTest, ByteCountsNeverExceedTheAreas)
{
    std::string many;
    for (int i = 0; i < 40; ++i) many += " 7E";
    load("version=2.5\n\"Big\" 1 15 15 1 2 3 4 0 B\n:" + many + ":" + many + ":" + many + ":" + many + "\n"
         "\"Neg\" 1 -4 -1 1 2 3 4 0 N\n: : : :\n"
         "\"Huge\" 1 99999999999 3 1 2 3 4 0 H\n");
    EXPECT_EQ(rec(0).global_bytes, 15);
    EXPECT_EQ(rec(0).track_bytes, 5);
    EXPECT_EQ(rec(0).init_bytes[19], 0x7E);
    EXPECT_EQ(rec(1).global_bytes, 0);
    EXPECT_EQ(rec(1).track_bytes, 0);
    EXPECT_EQ(rec(2).global_bytes, 20);
    EXPECT_EQ(rec(2).track_bytes, 0);
    EXPECT_NE(fake.text.find("Warning: byte counts of Big cut to 15 and 5!"), std::string::npos);
}

TEST_F(MachinesIniTest, LongNamesAndLinesAreCutSafely)
{
    std::string name(100, 'n');
    std::string word(40, 'w');
    // A 600-character line whose tail would look like a machine line of its own.
    std::string long_line = "\"Long\" 2 1 1" + std::string(487, ' ') + "\"Tail\" 2 1 1 " + std::string(100, 'x');
    load("version=2.5\n\"" + name + "\" 1 1 1 1 1 1 4 0 " + word + "\n" + long_line + "\n\"After\" 2 2 2\n");
    EXPECT_EQ(machine_table_state.machine_description_count, 3);
    EXPECT_EQ(std::string(rec(0).dll_name), std::string(63, 'n'));
    EXPECT_EQ(std::string(rec(0).short_name), std::string(19, 'w'));
    EXPECT_STREQ(rec(1).dll_name, "Long");
    EXPECT_STREQ(rec(2).dll_name, "After");
    EXPECT_EQ(rec(2).global_bytes, 2);
}

TEST_F(MachinesIniTest, CrLfFileReadsLikeLf)
{
    load("version=2.5\r\n\"Gen\" 1 1 2 1 2 0 4 0 G\r\n: 01 : 02 03 : 04 : 05 06\r\n");
    EXPECT_STREQ(rec(0).short_name, "G");
    EXPECT_EQ(bytes(rec(0).empty_bytes, 3), "04 05 06");
    EXPECT_EQ(fake.text.find("Why"), std::string::npos);
}

TEST_F(MachinesIniTest, FindIsCaseInsensitiveFirstMatch)
{
    load("version=2.5\n\"Master\" 0 5 0\n\"Jeskola Tracker\" 1 1 5 1 2 3 32 0 T\n\"JESKOLA TRACKER\" 2 0 0\n");
    EXPECT_EQ(find_machine_description("jeskola tracker"), 1);
    EXPECT_EQ(find_machine_description("Jeskola Tracke"), -1);
    EXPECT_EQ(find_machine_description("Jeskola Trackers"), -1);
    EXPECT_EQ(machine_description(3), nullptr);
    EXPECT_EQ(machine_description(-1), nullptr);
}

TEST_F(MachinesIniTest, ShippedFileHoldsTheFixedRoles)
{
    kxtest::install_machines_ini();
    log_state.log_enabled = 1;
    ASSERT_TRUE(load_machine_descriptions());
    ASSERT_GE(machine_table_state.machine_description_count, 11);
    EXPECT_EQ(fake.text.find("Why"), std::string::npos);
    EXPECT_EQ(fake.text.find(" !("), std::string::npos);
    EXPECT_EQ(fake.text.find("Warning"), std::string::npos);
    EXPECT_NE(fake.text.find("machines.ini: version: 2.5,"), std::string::npos);

    const MachineDescription& master = rec(role_master);
    EXPECT_EQ(master.type, 0);
    EXPECT_EQ(master.global_bytes, 5);
    EXPECT_EQ(master.track_bytes, 0);

    const MachineDescription& tracker = rec(role_tracker);
    EXPECT_EQ(tracker.type, 1);
    EXPECT_EQ(tracker.global_bytes, 1);
    EXPECT_EQ(tracker.track_bytes, 5);
    EXPECT_EQ(tracker.note_byte, 1);
    EXPECT_EQ(tracker.wave_byte, 2);
    EXPECT_EQ(tracker.volume_byte, 3);
    EXPECT_EQ(tracker.attribute_count, 3);
    EXPECT_EQ(tracker.attributes_read, 3);
    EXPECT_EQ(bytes(tracker.empty_bytes + 1, 5), "00 00 FF 00 00");
    EXPECT_EQ(find_machine_description(tracker.dll_name), role_tracker);

    EXPECT_EQ(rec(role_primifun).attribute_count, 3);
    const MachineDescription& vmidi = rec(role_vmidiout);
    EXPECT_EQ(vmidi.attribute_count, 2);
    EXPECT_GE(vmidi.track_bytes, 5); // MIDI channel at 4, program at 5

    const char* shorts[] = {"Tracker", "PrimiFun", "Organ", "Omega-1", "Plucked", "Bass",
                            "Bass-2", "ES-9", "vMidiOut", "Bass-3"};
    for (int i = role_tracker; i <= role_bass3; ++i) {
        const MachineDescription& d = rec(i);
        SCOPED_TRACE(d.dll_name);
        EXPECT_EQ(d.type, 1);
        EXPECT_STREQ(d.short_name, shorts[i - 1]);
        EXPECT_LE(d.global_bytes + d.track_bytes, machine_bytes_area);
        EXPECT_GE(d.note_byte, 1);
        EXPECT_LE(d.note_byte, d.track_bytes);
        EXPECT_GE(d.wave_byte, 1);
        EXPECT_LE(d.wave_byte, d.track_bytes);
        EXPECT_GE(d.volume_byte, 1);
        EXPECT_LE(d.volume_byte, d.track_bytes);
        EXPECT_GE(d.max_tracks, 1);
        EXPECT_EQ(d.attributes_read, d.attribute_count);
        EXPECT_EQ(d.empty_bytes[d.global_bytes + d.note_byte - 1], 0) << "empty row plays a note";
        EXPECT_EQ(d.empty_bytes[d.global_bytes + d.volume_byte - 1], 0xFF);
    }
    for (int i = fixed_machine_records; i < machine_table_state.machine_description_count; ++i)
        EXPECT_EQ(rec(i).type, 2) << rec(i).dll_name;
}

TEST(TransposeNote, MovesWithinTheByteAndClamps)
{
    EXPECT_EQ(transpose_note(0x41, 12), 0x51);
    EXPECT_EQ(transpose_note(0x41, -1), 0x3C);
    EXPECT_EQ(transpose_note(0x4C, 1), 0x51);
    EXPECT_EQ(transpose_note(0x01, -1), 0x01);
    EXPECT_EQ(transpose_note(0x01, -1000000), 0x01);
    EXPECT_EQ(transpose_note(0, 5), 0);
    EXPECT_EQ(transpose_note(255, 5), 255);
    EXPECT_EQ(transpose_note(0xFC, 0), 0xFC);
    EXPECT_EQ(transpose_note(0xFC, 1), 0x01);        // beyond the byte: lowest note
    EXPECT_EQ(transpose_note(0x41, 2000000000), 0x01);
}

} // namespace

namespace {

TEST_F(MachinesIniTest, ScrambledFilesStayInsideTheRecords)
{
    // Lines built from the file's own vocabulary in random order: every load must end normally
    // with counts that fit the 20-byte areas.
    const char* pieces[] = {"\"", ":", " ", "\t", "1", "2", "-3", "20", "99", "ff", "0A", "x", "version=2.5",
                            "Name", "\"Gen\" 1 ", "\"Fx\" 2 ", ": :", "7 7 7 7 7 7 7 7 7"};
    uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
    for (int round = 0; round < 40; ++round) {
        std::string text = "version=2.5\n";
        int lines = int(next() % 30);
        for (int l = 0; l < lines; ++l) {
            int n = int(next() % 40);
            for (int i = 0; i < n; ++i) text += pieces[next() % (sizeof pieces / sizeof *pieces)];
            text += '\n';
        }
        write_ini(text);
        log_state.log_enabled = 0;
        bool ok = run_guarded([] { load_machine_descriptions(); });
        if (!ok) continue; // a scrambled version line
        for (int i = 0; i < machine_table_state.machine_description_count; ++i) {
            const MachineDescription& d = rec(i);
            EXPECT_GE(d.global_bytes, 0);
            EXPECT_GE(d.track_bytes, 0);
            EXPECT_LE(d.global_bytes + d.track_bytes, machine_bytes_area);
            EXPECT_LT(std::strlen(d.short_name), sizeof d.short_name);
            EXPECT_LT(std::strlen(d.dll_name), sizeof d.dll_name);
        }
    }
}

} // namespace
