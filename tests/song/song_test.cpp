// Note bytes by frequency mode: both ends of the MOD period table, XM and MIDI note numbers, and
// transposing past either end. Track rows held sparse: rows written in any order, replaced or
// emptied, compare and spell out as the same rows held whole.
#include <gtest/gtest.h>

#include "settings/settings.h"
#include "song/pattern_cells.h"
#include "song/song.h"
#include "support/test_support.h"

namespace {

class SongModelTest : public kxtest::WorkDirTest {};

TEST_F(SongModelTest, NoteBytes)
{
    struct Case { int mode, transpo, note, byte; };
    const Case cases[] = {
        // MOD periods: 1712 and above are the lowest note, 56 and below the highest.
        {freq_mod_period, 0, 5000, 0x21}, {freq_mod_period, 0, 1712, 0x21}, {freq_mod_period, 0, 1711, 0x22},
        {freq_mod_period, 0, 1000, 0x2B}, {freq_mod_period, 0, 97, 0x63},   {freq_mod_period, 0, 57, 0x6C},
        {freq_mod_period, 0, 56, 0x71},   {freq_mod_period, 0, 0, 0x71},
        {freq_xm_linear, 0, 0, 0x01},     {freq_xm_linear, 0, 1, 0x01},     {freq_xm_linear, 0, 12, 0x0C},    {freq_xm_linear, 0, 13, 0x11},
        {freq_xm_linear, 0, 96, 0x7C},    {freq_xm_amiga, 0, 49, 0x41},     {freq_midi, 0, 60, 0x51},
        {freq_midi, 0, 0, 0x01},          {9, 0, 60, 0x01},
        // Below note 0 counts as 0; beyond octave 15 the byte would wrap, the highest note is kept.
        {freq_xm_linear, -5, 1, 0x01},    {freq_xm_linear, -5, 18, 0x11},   {freq_xm_linear, 12, 1, 0x11},
        {freq_xm_linear, 100, 96, 0xFC},  {freq_xm_linear, 2000000000, 96, 0xFC},
        {freq_xm_linear, -2000000000, 96, 0x01},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << " transpo " << c.transpo << " note " << c.note);
        song.frequency_mode = c.mode;
        settings.transpo = c.transpo;
        EXPECT_EQ(convert_note(song, settings.transpo, c.note), c.byte);
    }
}

TEST_F(SongModelTest, SparseTrackRows)
{
    const uint8_t empty[2] = {0, 0xFF}, a[2] = {1, 2}, b[2] = {3, 4};
    MachineRecord m;
    m.track_row_bytes = 2;
    m.track_count = 3;
    m.empty_row = empty;
    PatternData in_order, mixed, whole;
    // 3 tracks x 3 lines: track 0 row 0 = a, track 2 row 1 = b, the rest empty.
    put_track_row(pool, m, in_order, track_row_position(m, 0, 0), a);
    put_track_row(pool, m, in_order, track_row_position(m, 1, 0), empty); // held as no entry
    put_track_row(pool, m, in_order, track_row_position(m, 2, 1), b);
    for (int i = 0; i < 40; ++i) put_track_row(pool, m, mixed, uint32_t(8 - i % 9), b); // over several chunks
    put_track_row(pool, m, mixed, track_row_position(m, 2, 1), a);
    put_track_row(pool, m, mixed, track_row_position(m, 2, 1), b);  // the last one written wins
    for (uint32_t p = 1; p < 9; ++p) if (p != 5) put_track_row(pool, m, mixed, p, empty);
    put_track_row(pool, m, mixed, 0, a);
    EXPECT_FALSE(mixed.cells_settled);
    settle_track_rows(m, mixed);
    EXPECT_EQ(mixed.cell_count, 2u);
    EXPECT_EQ(in_order.cell_count, 2u);
    EXPECT_EQ(track_rows_hash(m, mixed, 3), track_rows_hash(m, in_order, 3));
    EXPECT_TRUE(same_track_rows(m, mixed, in_order, 3));
    std::vector<uint8_t> rows(18), want = {1, 2, 0, 0xFF, 0, 0xFF, 0, 0xFF, 0, 0xFF, 0, 0xFF, 0, 0xFF, 3, 4, 0, 0xFF};
    expand_track_rows(m, mixed, 3, rows.data());
    EXPECT_EQ(rows, want);
    whole.data = want.data();
    expand_track_rows(m, whole, 3, rows.data());
    EXPECT_EQ(rows, want);
    put_track_row(pool, m, in_order, track_row_position(m, 2, 2), a); // one row more
    EXPECT_FALSE(same_track_rows(m, mixed, in_order, 3));
}

} // namespace
