// Note bytes by frequency mode: both ends of the MOD period table, XM and MIDI note numbers, and
// transposing past either end.
#include <gtest/gtest.h>

#include "settings/settings.h"
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

} // namespace
