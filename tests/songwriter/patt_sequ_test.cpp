// PATT and SEQU sections: pattern records, duplicate removal, offset copies, sequence events.
#include <algorithm>
#include <string>

#include "songwriter/patt_sequ.h"
#include "song_builder.h"

namespace {

using kxtest::Bytes;

// Whether PATT holds the record: name, rows, body.
bool has_record(const std::vector<uint8_t>& patt, const char* name, unsigned rows, const std::vector<uint8_t>& body)
{
    std::vector<uint8_t> r = Bytes().str(name).u8(0).le16(rows).data;
    r.insert(r.end(), body.begin(), body.end());
    return std::search(patt.begin(), patt.end(), r.begin(), r.end()) != patt.end();
}

// SEQU of a song of `end` rows with one sequence, machine k's, of (position, event byte) pairs.
std::vector<uint8_t> one_sequence(unsigned end, const std::vector<std::pair<unsigned, unsigned>>& events,
                                  unsigned k = 1)
{
    Bytes s;
    s.le32(end).le32(0).le32(end).le16(1).le16(k).le32(uint32_t(events.size())).u8(2).u8(1);
    for (auto [pos, ev] : events) s.le16(pos).u8(ev);
    return s.data;
}

class PattSequTest : public kxtest::WorkDirTest {
protected:
    // PATT then SEQU in both passes, the way the song writer does.
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
    // The Master and one Tracker generator using every pattern, played in `order`.
    static void song_of(int patterns, int lines, const std::vector<int>& order)
    {
        kxtest::build_song(2, patterns, lines, 1);
        for (int p = 0; p < patterns; ++p) kxtest::use_pattern(1, p);
        kxtest::set_order(order);
        song.offset_pattern_count = 0;
    }
    // Order entry i enters pattern p at row r.
    static void enter(int i, int p, int r)
    {
        song.pattern_table[p].start_row = song.order_list[i].start_row = r;
        ++song.offset_pattern_count;
    }
    std::vector<uint8_t> patt, sequ;
};

TEST(Crc32, MatchesTheCheckValueWholeAndInPieces)
{
    const auto* s = reinterpret_cast<const uint8_t*>("123456789");
    EXPECT_EQ(crc32_end(crc32_update(crc32_begin(), s, 9)), 0xCBF43926u);
    EXPECT_EQ(crc32_end(crc32_update(crc32_update(crc32_begin(), s, 4), s + 4, 5)), 0xCBF43926u);
}

TEST_F(PattSequTest, EventsAdvanceByTheRowsReallyPlayed)
{
    song_of(2, 64, {0, 1, 0});
    kxtest::put_note(1, 1, 0, 0, 0x41);
    song.pattern_table[1].play_lines = 32; // break after row 31
    write_sections();
    EXPECT_EQ(sequ, one_sequence(160, {{0, 0x10}, {64, 0x11}, {96, 0x10}})); // the Master's, without events, dropped
    EXPECT_EQ(song.machine_table[1].sequence_event_count, 3);
}

// Song timing: a pattern entered at or below its own break row plays from the entry row to its
// end, so the next event comes after those rows, never at the same position.
TEST_F(PattSequTest, PatternEnteredBelowItsOwnBreakPlaysToItsEnd)
{
    struct Case { int entry, own_break_lines; unsigned next; };
    for (const Case c : {Case{50, 32, 64 + 14}, Case{32, 32, 64 + 32}, Case{10, 32, 64 + 22}}) {
        SCOPED_TRACE(c.entry);
        song_of(2, 64, {0, 1, 0});
        song.pattern_table[1].play_lines = c.own_break_lines;
        enter(1, 1, c.entry);
        write_sections();
        ASSERT_GE(sequ.size(), 31u);
        const size_t third = 14 + 8 + 2 * 3; // SEQU head, machine 1 head, two events
        EXPECT_EQ(unsigned(sequ[third] | sequ[third + 1] << 8), c.next);
    }
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

    // Master: one pattern, no tracks; one connection block (machine 1), then the global rows.
    Bytes want = Bytes().le16(1).le16(0).str("01").u8(0).le16(2).le16(1).fill(8, 0xFF);
    want.fill(2, 0xFF).u8(0x7D).fill(2, 0xFF).fill(5, 0xFF);
    // Generator: one pattern of two tracks; machine 1's global rows first.
    want.le16(1).le16(2).str("01").u8(0).le16(2).u8(0).u8(3);
    for (uint8_t note : {0, 0, 0x35, 0}) want.u8(note).u8(0).u8(0xFF).u8(0).u8(0);
    EXPECT_EQ(patt, want.data);
}

TEST_F(PattSequTest, IdenticalPatternsAreWrittenOnce)
{
    struct Case { int remove, global_change, written; unsigned event_of_5; int removed; } cases[] = {
        {1, 0, 5, 0x13, 1}, // pattern 5 repeats pattern 3: its event names 3
        {0, 0, 6, 0x15, 0}, // without removal every pattern is written
        {1, 1, 6, 0x15, 0}, // equal tracks with different global rows stay apart
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.remove * 2 + c.global_change);
        song_reset_defaults();
        song_of(6, 2, {0, 5, 3});
        for (int p = 0; p < 6; ++p) kxtest::put_note(1, p, 0, 0, uint8_t(p == 5 ? 0x34 : 0x31 + p));
        song.machine_table[1].global_patterns[5].data[0] = uint8_t(c.global_change * 3);
        settings.remove_2pat = c.remove;
        kxtest::FakeWindow fake;
        log_state.window = &fake;
        write_sections();
        log_state.window = nullptr;
        EXPECT_EQ(song.machine_table[1].patterns_written, c.written);
        EXPECT_EQ(song.duplicates_removed, c.removed);
        EXPECT_EQ(sequ, one_sequence(6, {{0, 0x10}, {2, c.event_of_5}, {4, 0x13}}));
        EXPECT_EQ(fake.text.find("Machine 1 patterns 5 and 3 seem identical-They are it!") != std::string::npos,
                  c.removed == 1);
    }
}

TEST_F(PattSequTest, MasterPatternsAreComparedByTheirGlobalRows)
{
    kxtest::build_song(2, 3, 2, 1);
    for (int p = 0; p < 3; ++p) kxtest::use_pattern(0, p);
    song.machine_table[0].global_patterns[2].data[4] = 4; // ticks per beat in pattern 2
    settings.remove_2pat = 1;
    kxtest::set_order({0, 1, 2});
    write_sections();
    EXPECT_EQ(song.machine_table[0].patterns_written, 2);
    EXPECT_TRUE(has_record(patt, "02", 2, {1, 0})); // pattern 2 keeps its name
    EXPECT_EQ(sequ, one_sequence(6, {{0, 0x10}, {2, 0x10}, {4, 0x11}}, 0));
}

TEST_F(PattSequTest, EnteredPatternGetsAShortenedCopyAfterThePlainOnes)
{
    song_of(3, 4, {0, 1, 2});
    for (int p = 0; p < 3; ++p) kxtest::put_note(1, p, 0, 0, uint8_t(0x21 + p));
    kxtest::put_note(1, 2, 0, 2, 0x51);
    kxtest::put_note(1, 2, 0, 3, 0x52);
    enter(2, 2, 2);
    write_sections();

    EXPECT_EQ(song.machine_table[1].patterns_written, 4);
    // Named 03, two rows: machine 1's global rows 2..3, then the track's rows 2..3.
    EXPECT_TRUE(has_record(patt, "03", 2, {0, 0, 0x51, 0, 0xFF, 0, 0, 0x52, 0, 0xFF, 0, 0}));
    EXPECT_EQ(written_pattern_index(1, 2, true), 3);
    EXPECT_EQ(sequ, one_sequence(10, {{0, 0x10}, {4, 0x11}, {8, 0x13}}));
}

TEST_F(PattSequTest, EnteredDuplicatePlaysItsOwnCopy)
{
    // Patterns 0 and 2 are identical; 1 and 2 are both entered at row 2. Pattern 2's copy is
    // written from its own rows and its event must name that copy, not pattern 1's.
    song_of(3, 4, {0, 1, 2});
    kxtest::put_note(1, 0, 0, 3, 0x41);
    kxtest::put_note(1, 2, 0, 3, 0x41);
    kxtest::put_note(1, 1, 0, 3, 0x61);
    enter(1, 1, 2);
    enter(2, 2, 2);
    settings.remove_2pat = 1;
    write_sections();

    EXPECT_EQ(song.machine_table[1].patterns_written, 4);
    EXPECT_TRUE(has_record(patt, "04", 2, {0, 0, 0, 0, 0xFF, 0, 0, 0x41, 0, 0xFF, 0, 0})); // pattern 2's rows
    EXPECT_EQ(sequ, one_sequence(8, {{0, 0x10}, {4, 0x12}, {6, 0x13}}));
}

TEST_F(PattSequTest, OrderAndIndexesOutOfRange)
{
    // Indexes above 0x6F give no event, but the position advances.
    song_of(112, 2, {0, 111, 110});
    enter(1, 111, 1);
    settings.remove_2pat = 0;
    write_sections();
    EXPECT_EQ(sequ, one_sequence(5, {{0, 0x10}, {3, 0x7E}}));

    // Order entries outside the pattern table are skipped.
    song_of(1, 8, {0, 200, 0});
    write_sections();
    EXPECT_EQ(sequ, one_sequence(16, {{0, 0x10}, {8, 0x10}}));
}

} // namespace
