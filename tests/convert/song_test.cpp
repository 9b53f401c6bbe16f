// Song model: note conversion by frequency mode and the defaults a conversion starts from.
#include <gtest/gtest.h>

#include "convert/song.h"
#include "settings/settings.h"
#include "support/test_support.h"

namespace {

class SongModelTest : public kxtest::WorkDirTest {};

TEST_F(SongModelTest, ModPeriodsAtBothEndsOfTheTable)
{
    EXPECT_EQ(mod_period_note(1712), 24);
    EXPECT_EQ(mod_period_note(5000), 24);
    EXPECT_EQ(mod_period_note(1711), 25);
    EXPECT_EQ(mod_period_note(1000), 34); // first entry not above it: 961
    EXPECT_EQ(mod_period_note(57), 83);
    EXPECT_EQ(mod_period_note(56), 84);
    EXPECT_EQ(mod_period_note(0), 84);
    song.frequency_mode = freq_mod_period;
    EXPECT_EQ(convert_note(1712), 0x21);
    EXPECT_EQ(convert_note(56), 0x71);
    EXPECT_EQ(convert_note(57), 0x6C);
}

TEST_F(SongModelTest, NoteBytesByMode)
{
    song.frequency_mode = freq_xm_linear;
    EXPECT_EQ(convert_note(1), 0x01);  // C-0
    EXPECT_EQ(convert_note(13), 0x11); // note number 12
    EXPECT_EQ(convert_note(12), 0x0C);
    EXPECT_EQ(convert_note(96), 0x7C);
    song.frequency_mode = freq_xm_amiga;
    EXPECT_EQ(convert_note(49), 0x41);
    song.frequency_mode = freq_midi;
    EXPECT_EQ(convert_note(60), 0x51);
    EXPECT_EQ(convert_note(0), 0x01);
    song.frequency_mode = 9;
    EXPECT_EQ(convert_note(60), 0x01);
}

TEST_F(SongModelTest, TransposeClampsAtBothEnds)
{
    song.frequency_mode = freq_xm_linear;
    settings.transpo = -5;
    EXPECT_EQ(convert_note(1), 0x01); // below 0 counts as 0
    EXPECT_EQ(convert_note(18), 0x11);
    settings.transpo = 12;
    EXPECT_EQ(convert_note(1), 0x11);
    // Beyond octave 15 the byte would wrap round; the highest note that fits is kept.
    settings.transpo = 100;
    EXPECT_EQ(convert_note(96), 0xFC);
    settings.transpo = 2000000000;
    EXPECT_EQ(convert_note(96), 0xFC);
    settings.transpo = -2000000000;
    EXPECT_EQ(convert_note(96), 0x01);
}

TEST_F(SongModelTest, DefaultsKeepTheTempo)
{
    song.tempo = 187.5f;
    song.bpm = 99;
    song.machine_count = 7;
    song.channel_limit = 8;
    song_reset_defaults();
    EXPECT_FLOAT_EQ(song.tempo, 187.5f); // carried from one conversion to the next
    EXPECT_EQ(song.bpm, 125);
    EXPECT_EQ(song.machine_count, 2);
    EXPECT_EQ(song.channel_limit, 0);
    EXPECT_EQ(song.machine_table, nullptr);
}

} // namespace
