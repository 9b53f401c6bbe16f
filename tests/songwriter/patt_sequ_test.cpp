// PATT and SEQU sections: pattern records, duplicate removal, offset copies, sequence events.
#include <string>
#include <vector>

#include "convert/song.h"
#include "core/log.h"
#include "settings/settings.h"
#include "songwriter/patt_sequ.h"
#include "support/test_support.h"
#include "song_builder.h"

namespace {

using kxtest::Bytes;

struct PatternRecord {
    std::string name;
    int rows;
    std::vector<uint8_t> body; // everything after the rows word
};

// Reads the PATT body of a song whose generators are Tracker machines (5 track bytes, 1 global
// byte) back into records per machine.
std::vector<std::vector<PatternRecord>> parse_patt(const std::vector<uint8_t>& b)
{
    size_t at = 0;
    auto word = [&] {
        unsigned v = b.at(at) | (b.at(at + 1) << 8);
        at += 2;
        return v;
    };
    std::vector<std::vector<PatternRecord>> out;
    for (int k = 0; k < song.machine_count; ++k) {
        std::vector<PatternRecord> recs;
        unsigned count = word();
        unsigned tracks = word();
        for (unsigned i = 0; i < count; ++i) {
            PatternRecord r;
            while (b.at(at)) r.name += char(b[at++]);
            ++at;
            r.rows = int(word());
            size_t size = k == 0 ? size_t(song.machine_count - 1) * (2 + size_t(r.rows) * 4) + size_t(r.rows) * 5
                                 : size_t(r.rows) * (1 + 5 * tracks);
            r.body.assign(b.begin() + long(at), b.begin() + long(at + size));
            at += size;
            recs.push_back(r);
        }
        out.push_back(recs);
    }
    EXPECT_EQ(at, b.size());
    return out;
}

class PattSequTest : public kxtest::WorkDirTest {
protected:
    // Writes PATT then SEQU in both passes, the way the song writer does; keeps both bodies.
    void write_sections()
    {
        sequ_state = SequState();
        int64_t sequ_start = 0;
        std::vector<uint8_t> all = kxtest::two_passes([&] {
            write_patt_section();
            sequ_start = writer.write_count;
            write_sequ_section();
        });
        patt.assign(all.begin(), all.begin() + long(sequ_start));
        sequ.assign(all.begin() + long(sequ_start), all.end());
    }
    std::vector<std::string> names(int k)
    {
        std::vector<std::string> n;
        const auto all = parse_patt(patt);
        for (const auto& r : all[size_t(k)]) n.push_back(r.name);
        return n;
    }
    std::vector<uint8_t> patt, sequ;
};

TEST(Crc32, MatchesTheStandardCheckValues)
{
    const char* s = "123456789";
    uint32_t c = crc32_update(crc32_begin(), reinterpret_cast<const uint8_t*>(s), 9);
    EXPECT_EQ(crc32_end(c), 0xCBF43926u);
    EXPECT_EQ(crc32_end(crc32_begin()), 0u);
    // Fed in two pieces, the same value.
    c = crc32_update(crc32_begin(), reinterpret_cast<const uint8_t*>(s), 4);
    c = crc32_update(c, reinterpret_cast<const uint8_t*>(s) + 4, 5);
    EXPECT_EQ(crc32_end(c), 0xCBF43926u);
}

TEST_F(PattSequTest, EventsAdvanceByTheRowsReallyPlayed)
{
    kxtest::build_song(2, 2, 64, 1);
    kxtest::use_pattern(1, 0);
    kxtest::use_pattern(1, 1);
    kxtest::put_note(1, 1, 0, 0, 0x41);
    song.pattern_table[1].play_lines = 32; // break after row 31
    kxtest::set_order({0, 1, 0});
    write_sections();

    Bytes want;
    want.le32(160).le32(0).le32(160).le16(1); // the Master has no events: one sequence
    want.le16(1).le32(3).u8(2).u8(1);
    want.le16(0).u8(0x10).le16(64).u8(0x11).le16(96).u8(0x10);
    EXPECT_EQ(sequ, want.data);
    EXPECT_EQ(song.machine_table[1].sequence_event_count, 3);
    EXPECT_EQ(song.machine_table[0].sequence_event_count, 0);
}

TEST_F(PattSequTest, PatternRecordsAreByteExact)
{
    kxtest::build_song(2, 2, 2, 2);
    kxtest::use_pattern(0, 1);
    kxtest::use_pattern(1, 1);
    kxtest::put_note(1, 1, 1, 0, 0x35);
    song.machine_table[1].global_patterns[1].data[1] = 3; // speed 3 on row 1
    song.machine_table[0].global_patterns[1].data[2] = 0x7D;
    kxtest::set_order({1});
    write_sections();

    Bytes want;
    // Master: one pattern, no tracks; one connection block (machine 1), then the global rows.
    want.le16(1).le16(0).str("01").u8(0).le16(2);
    want.le16(1).fill(8, 0xFF);
    want.fill(2, 0xFF).u8(0x7D).fill(2, 0xFF).fill(5, 0xFF);
    // Generator: one pattern of two tracks; machine 1's global rows first.
    want.le16(1).le16(2).str("01").u8(0).le16(2);
    want.u8(0).u8(3);
    want.u8(0).u8(0).u8(0xFF).u8(0).u8(0).u8(0).u8(0).u8(0xFF).u8(0).u8(0);
    want.u8(0x35).u8(0).u8(0xFF).u8(0).u8(0).u8(0).u8(0).u8(0xFF).u8(0).u8(0);
    EXPECT_EQ(patt, want.data);
}

class DuplicateTest : public PattSequTest {
protected:
    void SetUp() override
    {
        PattSequTest::SetUp();
        kxtest::build_song(2, 6, 2, 1);
        for (int p = 0; p < 6; ++p) {
            kxtest::use_pattern(1, p);
            kxtest::put_note(1, p, 0, 0, uint8_t(0x31 + p));
        }
        kxtest::put_note(1, 5, 0, 0, 0x34); // pattern 5 repeats pattern 3
        kxtest::set_order({0, 5, 3});
    }
};

TEST_F(DuplicateTest, IdenticalPatternIsWrittenOnceAndItsEventsNameTheFirst)
{
    settings.remove_2pat = 1;
    kxtest::FakeWindow fake;
    log_state.window = &fake;
    write_sections();
    log_state.window = nullptr;

    EXPECT_EQ(names(1), (std::vector<std::string>{"00", "01", "02", "03", "04"}));
    EXPECT_EQ(song.machine_table[1].track_patterns[5].number, 4);
    EXPECT_EQ(song.duplicates_removed, 1);
    EXPECT_NE(fake.text.find("Machine 1 patterns 5 and 3 seem identical-They are it!"), std::string::npos);
    Bytes want;
    want.le32(6).le32(0).le32(6).le16(1).le16(1).le32(3).u8(2).u8(1);
    want.le16(0).u8(0x10).le16(2).u8(0x13).le16(4).u8(0x13);
    EXPECT_EQ(sequ, want.data);
}

TEST_F(DuplicateTest, WithoutRemovalEveryPatternIsWritten)
{
    settings.remove_2pat = 0;
    write_sections();
    EXPECT_EQ(names(1), (std::vector<std::string>{"00", "01", "02", "03", "04", "05"}));
    EXPECT_EQ(song.duplicates_removed, 0);
    Bytes want;
    want.le32(6).le32(0).le32(6).le16(1).le16(1).le32(3).u8(2).u8(1);
    want.le16(0).u8(0x10).le16(2).u8(0x15).le16(4).u8(0x13);
    EXPECT_EQ(sequ, want.data);
}

TEST_F(DuplicateTest, EqualTracksWithDifferentGlobalRowsStayApart)
{
    settings.remove_2pat = 1;
    song.machine_table[1].global_patterns[5].data[0] = 3; // speed change only in pattern 5
    write_sections();
    EXPECT_EQ(names(1).size(), 6u);
    EXPECT_EQ(song.duplicates_removed, 0);
}

TEST_F(PattSequTest, MasterPatternsAreComparedByTheirGlobalRows)
{
    kxtest::build_song(2, 3, 2, 1);
    for (int p = 0; p < 3; ++p) kxtest::use_pattern(0, p);
    song.machine_table[0].global_patterns[2].data[4] = 4; // ticks per beat in pattern 2
    settings.remove_2pat = 1;
    kxtest::set_order({0, 1, 2});
    write_sections();
    EXPECT_EQ(names(0), (std::vector<std::string>{"00", "02"}));
    EXPECT_EQ(song.machine_table[0].track_patterns[1].number, 1);
    // Master sequence: 0, 0 (pattern 1 plays pattern 0), 1 (pattern 2).
    Bytes want;
    want.le32(6).le32(0).le32(6).le16(1).le16(0).le32(3).u8(2).u8(1);
    want.le16(0).u8(0x10).le16(2).u8(0x10).le16(4).u8(0x11);
    EXPECT_EQ(sequ, want.data);
}

class OffsetCopyTest : public PattSequTest {
protected:
    void SetUp() override
    {
        PattSequTest::SetUp();
        kxtest::build_song(2, 3, 4, 1);
        for (int p = 0; p < 3; ++p) {
            kxtest::use_pattern(1, p);
            kxtest::put_note(1, p, 0, 0, uint8_t(0x21 + p));
        }
        kxtest::put_note(1, 2, 0, 2, 0x51);
        kxtest::put_note(1, 2, 0, 3, 0x52);
        song.pattern_table[2].start_row = 2;
        song.offset_pattern_count = 1;
        kxtest::set_order({0, 1, 2});
        song.order_list[2].start_row = 2;
    }
};

TEST_F(OffsetCopyTest, EnteredPatternGetsAShortenedCopyAfterThePlainOnes)
{
    write_sections();
    auto recs = parse_patt(patt)[1];
    ASSERT_EQ(recs.size(), 4u);
    EXPECT_EQ(recs[3].name, "03");
    EXPECT_EQ(recs[3].rows, 2);
    Bytes copy;
    copy.u8(0).u8(0); // machine 1's global rows 2..3
    copy.u8(0x51).u8(0).u8(0xFF).u8(0).u8(0).u8(0x52).u8(0).u8(0xFF).u8(0).u8(0);
    EXPECT_EQ(recs[3].body, copy.data);
    EXPECT_EQ(song.machine_table[1].plain_patterns_written, 3);
    EXPECT_EQ(song.machine_table[1].patterns_written, 4);
    EXPECT_EQ(written_pattern_index(1, 2, true), 3);

    Bytes want;
    want.le32(10).le32(0).le32(10).le16(1).le16(1).le32(3).u8(2).u8(1);
    want.le16(0).u8(0x10).le16(4).u8(0x11).le16(8).u8(0x13);
    EXPECT_EQ(sequ, want.data);
}

TEST_F(OffsetCopyTest, MasterNamesCopiesByEveryEnteredPattern)
{
    song.pattern_table[1].start_row = 1;
    song.offset_pattern_count = 2;
    kxtest::use_pattern(0, 0);
    kxtest::use_pattern(0, 2);
    settings.remove_2pat = 0;
    write_sections();
    // The Master skips pattern 1's copy but still counts it in the names; the generator writes
    // both copies.
    EXPECT_EQ(names(0), (std::vector<std::string>{"00", "02", "04"}));
    EXPECT_EQ(names(1), (std::vector<std::string>{"00", "01", "02", "03", "04"}));
    EXPECT_EQ(written_pattern_index(0, 2, true), 2);
    EXPECT_EQ(written_pattern_index(1, 2, true), 4);
}

TEST_F(PattSequTest, EnteredDuplicatePlaysItsOwnCopy)
{
    // Patterns 0 and 2 are identical; 1 and 2 are both entered at row 2. Pattern 2's copy is
    // written from its own rows and its event must name that copy, not pattern 1's.
    kxtest::build_song(2, 3, 4, 1);
    for (int p = 0; p < 3; ++p) kxtest::use_pattern(1, p);
    kxtest::put_note(1, 0, 0, 3, 0x41);
    kxtest::put_note(1, 2, 0, 3, 0x41);
    kxtest::put_note(1, 1, 0, 3, 0x61);
    song.pattern_table[1].start_row = 2;
    song.pattern_table[2].start_row = 2;
    song.offset_pattern_count = 2;
    kxtest::set_order({0, 1, 2});
    song.order_list[1].start_row = 2;
    song.order_list[2].start_row = 2;
    settings.remove_2pat = 1;
    write_sections();

    auto recs = parse_patt(patt)[1];
    ASSERT_EQ(recs.size(), 4u);
    EXPECT_EQ(recs[3].name, "04");
    EXPECT_EQ(recs[3].body[2 + 5], 0x41); // pattern 2's row 3, after two global rows and row 2
    Bytes want;
    want.le32(8).le32(0).le32(8).le16(1).le16(1).le32(3).u8(2).u8(1);
    want.le16(0).u8(0x10).le16(4).u8(0x12).le16(6).u8(0x13);
    EXPECT_EQ(sequ, want.data);
}

TEST_F(PattSequTest, IndexesAbove0x6FGiveNoEventButThePositionAdvances)
{
    kxtest::build_song(2, 112, 2, 1);
    for (int p = 0; p < 112; ++p) kxtest::use_pattern(1, p);
    song.pattern_table[111].start_row = 1;
    song.offset_pattern_count = 1;
    settings.remove_2pat = 0;
    kxtest::set_order({0, 111, 110});
    song.order_list[1].start_row = 1;
    write_sections();
    Bytes want;
    want.le32(5).le32(0).le32(5).le16(1).le16(1).le32(2).u8(2).u8(1);
    want.le16(0).u8(0x10).le16(3).u8(0x7E);
    EXPECT_EQ(sequ, want.data);
}

TEST_F(PattSequTest, MachinesWithoutEventsAreDroppedAndTheMasterHasItsOwn)
{
    kxtest::build_song(3, 1, 16, 1);
    kxtest::use_pattern(0, 0);
    kxtest::use_pattern(1, 0);
    kxtest::set_order({0});
    write_sections();
    Bytes want;
    want.le32(16).le32(0).le32(16).le16(2);
    want.le16(0).le32(1).u8(2).u8(1).le16(0).u8(0x10);
    want.le16(1).le32(1).u8(2).u8(1).le16(0).u8(0x10);
    EXPECT_EQ(sequ, want.data);
    auto recs = parse_patt(patt);
    EXPECT_EQ(recs[2].size(), 0u);
    EXPECT_EQ(patt[patt.size() - 4], 0); // machine 2: no patterns, one track
    EXPECT_EQ(patt[patt.size() - 2], 1);
}

TEST_F(PattSequTest, XiSongHasNoPatternsAndNoSequences)
{
    kxtest::build_song(1, 0, 0, 0);
    song.is_xi = 1;
    song.song_length = 1;
    settings.blines = 64;
    write_sections();
    EXPECT_EQ(patt, (Bytes().le16(0).le16(0).data));
    EXPECT_EQ(sequ, (Bytes().le32(64).le32(0).le32(64).le16(0).data));
}

TEST_F(PattSequTest, OrderEntriesOutsideThePatternTableAreSkipped)
{
    kxtest::build_song(2, 1, 8, 1);
    kxtest::use_pattern(1, 0);
    kxtest::set_order({0, 200, 0});
    write_sections();
    Bytes want;
    want.le32(16).le32(0).le32(16).le16(1).le16(1).le32(2).u8(2).u8(1);
    want.le16(0).u8(0x10).le16(8).u8(0x10);
    EXPECT_EQ(sequ, want.data);
}

} // namespace
