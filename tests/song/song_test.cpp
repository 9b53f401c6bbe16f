// Track rows held sparse: rows written in any order, replaced or emptied, compare and spell out as
// the same rows held whole.
#include <gtest/gtest.h>

#include "settings/settings.h"
#include "song/pattern_cells.h"
#include "song/song.h"
#include "support/test_support.h"

namespace {

class SongModelTest : public kxtest::WorkDirTest {};

TEST_F(SongModelTest, SparseTrackRows)
{
    const uint8_t empty[2] = {0, 0xFF}, a[2] = {1, 2}, b[2] = {3, 4};
    MachineRecord m;
    m.track_row_bytes = 2;
    m.track_count = 3;
    m.empty_row = empty;
    PatternData in_order, mixed, whole;
    // 3 tracks x 3 lines: track 0 row 0 = a, track 2 row 1 = b, the rest empty.
    put_track_row(pool, song.cell_space, m, in_order, track_row_position(m, 0, 0), a);
    put_track_row(pool, song.cell_space, m, in_order, track_row_position(m, 1, 0), empty); // held as no entry
    put_track_row(pool, song.cell_space, m, in_order, track_row_position(m, 2, 1), b);
    for (int i = 0; i < 40; ++i) put_track_row(pool, song.cell_space, m, mixed, uint32_t(8 - i % 9), b); // over several chunks
    put_track_row(pool, song.cell_space, m, mixed, track_row_position(m, 2, 1), a);
    put_track_row(pool, song.cell_space, m, mixed, track_row_position(m, 2, 1), b);  // the last one written wins
    for (uint32_t p = 1; p < 9; ++p) if (p != 5) put_track_row(pool, song.cell_space, m, mixed, p, empty);
    put_track_row(pool, song.cell_space, m, mixed, 0, a);
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
    put_track_row(pool, song.cell_space, m, in_order, track_row_position(m, 2, 2), a); // one row more
    EXPECT_FALSE(same_track_rows(m, mixed, in_order, 3));
}

} // namespace
