// Loading "machines.ini": machine lines, colon lines with their byte lists, limits (also for
// hostile lines), the version check, lookups, and the shipped copy.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "buzz/machines_ini.h"
#include "jobs/job_runner.h"
#include "support/test_support.h"

namespace {

class MachinesIniTest : public kxtest::WorkDirTest {
protected:
    void SetUp() override
    {
        WorkDirTest::SetUp();
        machines = MachineTable();
        log.window = &fake;
    }
    void TearDown() override
    {
        machine_descriptions_reset(machines);
        WorkDirTest::TearDown();
    }
    void write_ini(const std::string& text) { std::ofstream("machines.ini", std::ios::binary) << text; }
    void load(const std::string& text)
    {
        write_ini(text);
        ASSERT_TRUE(load_machine_descriptions(machines, pool, log));
    }
    bool logged(const char* text) const { return fake.text.find(text) != std::string::npos; }
    kxtest::FakeWindow fake;
};

// "name: type global track | note wave volume max_tracks | attributes/read short_name | initial
// bytes | empty row bytes" of record i, the bytes in hex as far as the counts say.
std::string record(const MachineTable& machines, int i)
{
    const MachineDescription& d = *machine_description(machines, i);
    char b[200];
    std::snprintf(b, sizeof b, "%s: %d %d %d | %d %d %d %d | %d/%d %s |", d.dll_name, d.type, d.global_bytes,
                  d.track_bytes, d.note_byte, d.wave_byte, d.volume_byte, d.max_tracks, d.attribute_count,
                  d.attributes_read, d.short_name);
    std::string s = b;
    for (const uint8_t* area : {d.init_bytes, d.empty_bytes}) {
        s += ' ';
        for (int k = 0; k < d.global_bytes + d.track_bytes; ++k) {
            std::snprintf(b, sizeof b, "%02X", area[k]);
            s += b;
        }
        s += " |";
    }
    return s;
}

TEST_F(MachinesIniTest, EveryKindOfLine)
{
    // An effect reads three numbers and no colon lines; a generator reads everything, its byte lists
    // in hex (values missing before the line end read as 0, values after the last list are
    // ignored, a list running into the line end or a colon is reported). CR LF reads like LF.
    std::string many; // more values than a list may hold
    for (int i = 0; i < 40; ++i) many += " 7E";
    const std::string long_line = "\"Long\" 2 1 1" + std::string(487, ' ') + "\"Tail\" 2 1 1 " + std::string(100, 'x');
    load("version=2.5\r\n"
         "\"Some Delay\" 2 3 2 1 2 3 8 2 Name\n:2\n: 01 02 03 : 04 05 : 06 07 08 : 09 0A\n"
         "\"Gen\" 1 2 3 1 2 3 16 3 GenShort\r\n:3\r\n:a0 0B: 00 01 ff :fe FD:00\tff 7\r\n"
         "\"Cut\"1 1 3 1 2 3 4 0 C\n: 11 : 12 13 14 : 15 : 16 17 18\n: 21 : 22 23\n"
         "\"Odd\" 1 2 2 1 2 3 4 0 O\n: 0A 0B : 0C 0D : 0E 0F : 10 11 12 13 14\n:zz 01 : 02 : 03 04 : 05\n:\n:01 02 03\n"
         "\"Attr\" 1 0 1 1 1 1 4 3 A\n:2\n: : 05 : : 06\n"
         "\"Big\" 1 15 15 1 2 3 4 0 B\n:" + many + ":" + many + ":" + many + ":" + many + "\n"
         "\"Neg\" 1 -4 -1 1 2 3 4 0 N\n: : : :\n\"Huge\" 1 99999999999 3 1 2 3 4 0 H\n"
         "\"" + std::string(100, 'n') + "\" 1 1 1 1 1 1 4 0 " + std::string(40, 'w') + "\n" +
         long_line + "\n\"After\" 2 2 2\n\"Open 2 2 2\n");
    auto times = [](const std::string& s, int n) {
        std::string r;
        while (n-- > 0) r += s;
        return r;
    };
    std::string all;
    for (int i = 0; i < machines.machine_description_count; ++i) all += record(machines, i) + "\n";
    EXPECT_EQ(all, "Some Delay: 2 3 2 | 0 0 0 0 | 0/0  | 0000000000 | 0000000000 |\n"
                   "Gen: 1 2 3 | 1 2 3 16 | 3/3 GenShort | A00B0001FF | FEFD00FF07 |\n"
                   "Cut: 1 1 3 | 1 2 3 4 | 0/0 C | 21222300 | 15161718 |\n"
                   "Odd: 1 2 2 | 1 2 3 4 | 0/0 O | 01020300 | 010F1011 |\n"
                   "Attr: 1 0 1 | 1 1 1 4 | 3/2 A | 05 | 06 |\n"
                   "Big: 1 15 15 | 1 2 3 4 | 0/0 B | " + times("7E", 15) + "0E" + times("7E", 14) + " | 0E" +
                       times("7E", 9) + times("00", 20) + " |\n"
                   "Neg: 1 0 0 | 1 2 3 4 | 0/0 N |  |  |\n"
                   "Huge: 1 255 3 | 1 2 3 4 | 0/0 H | " + std::string(516, '0') + " | " + std::string(516, '0') + " |\n" +
                       std::string(63, 'n') + ": 1 1 1 | 1 1 1 4 | 0/0 " + std::string(19, 'w') + " | 0000 | 0000 |\n"
                   "Long: 2 1 1 | 0 0 0 0 | 0/0  | 0000 | 0000 |\n"
                   "After: 2 2 2 | 0 0 0 0 | 0/0  | 00000000 | 00000000 |\n"
                   "Open 2 2 2: 0 0 0 | 0 0 0 0 | 0/0  |  |  |\n");
    EXPECT_EQ(fake.text, " !(10, 2, 0)? Why(2, 0)? !(122, 1, 0)? !(122, 2, 0)? Why(2, 1)? !(10, 1, 0)? Why(1, 0)? "
                         "!(48, 1, 0)? !(10, 2, 0)? Why(2, 0)?\nWarning: numbers of attributes don't match!"
                         " !(55, 1, 0)? !(55, 2, 0)? Why(2, 10)?"
                         "\nWarning: byte counts of Neg cut to 0 and 0!\nWarning: byte counts of Huge cut to 255 and 3!"
                         "\nmachines.ini: version: 2.5, 12 machines");
}

TEST_F(MachinesIniTest, VersionMustBeExactly25)
{
    EXPECT_FALSE(load_machine_descriptions(machines, pool, log)); // no file: the table stays empty
    EXPECT_EQ(machine_description(machines, 0), nullptr);
    write_ini("version=2.50\n\"Master\" 0 5 0\n");
    EXPECT_FALSE(run_guarded(log, [&] { load_machine_descriptions(machines, pool, log); }));
    EXPECT_TRUE(logged("Wrong machines.ini version!!"));
    load("; no version\n\"Master\" 0 5 0\n\"Jeskola Tracker\" 1 1 5 1 2 3 32 0 T\n\"JESKOLA TRACKER\" 2 0 0\n");
    EXPECT_TRUE(logged("machines.ini: version: , 3 machines"));
    // Lookups ignore the case and take the first match.
    EXPECT_EQ(find_machine_description(machines, "jeskola tracker"), 1);
    EXPECT_EQ(find_machine_description(machines, "Jeskola Tracke"), -1);
    EXPECT_EQ(find_machine_description(machines, "Jeskola Trackers"), -1);
    EXPECT_EQ(machine_description(machines, -1), nullptr);
    EXPECT_EQ(machine_description(machines, 3), nullptr);
}

TEST_F(MachinesIniTest, ShippedFileHoldsTheFixedRoles)
{
    kxtest::install_machines_ini();
    ASSERT_TRUE(load_machine_descriptions(machines, pool, log));
    ASSERT_GE(machines.machine_description_count, fixed_machine_records);
    for (const char* bad : {"Why", " !(", "Warning"}) EXPECT_FALSE(logged(bad)) << bad;
    EXPECT_EQ(record(machines, role_tracker), "Jeskola Tracker: 1 1 5 | 1 2 3 32 | 3/3 Tracker | 060000FF0000 | 000000FF0000 |");
    EXPECT_GE(machine_description(machines, role_vmidiout)->track_bytes, 5); // MIDI channel at 4, program at 5
    for (int i = role_tracker; i <= role_bass3; ++i) { // generators whose empty row plays nothing
        const MachineDescription& d = *machine_description(machines, i);
        SCOPED_TRACE(d.dll_name);
        for (int at : {d.note_byte, d.wave_byte, d.volume_byte}) EXPECT_TRUE(at >= 1 && at <= d.track_bytes);
        EXPECT_TRUE(d.type == 1 && d.attributes_read == d.attribute_count);
        const uint8_t* empty = d.empty_bytes + d.global_bytes;
        EXPECT_TRUE(empty[d.note_byte - 1] == 0 && empty[d.volume_byte - 1] == 0xFF);
    }
    for (int i = fixed_machine_records; i < machines.machine_description_count; ++i)
        EXPECT_EQ(machine_description(machines, i)->type, 2) << machine_description(machines, i)->dll_name;
}

} // namespace
