// Effect translation: notes, volumes, the effect table, speed and tempo, pattern breaks, pattern
// marking, and the machine and track choice when machines are split by instrument.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "convert/effects.h"
#include "convert/song.h"
#include "convert/song_layout_helper.h"
#include "core/job_runner.h"
#include "core/pool.h"
#include "settings/settings.h"
#include "support/test_support.h"
#include "transform/machines_ini.h"

namespace {

using Row = std::vector<uint8_t>;

struct Cell {
    int pattern, row, channel, note, instrument, volume, effect, param;
};

class EffectsTest : public kxtest::WorkDirTest {
protected:
    void SetUp() override
    {
        WorkDirTest::SetUp();
        machine_table_state = MachineTable();
        log_state.window = &fake;
        settings.dotsplit = 0;
        song.frequency_mode = freq_xm_linear;
    }
    void TearDown() override
    {
        machine_descriptions_reset();
        WorkDirTest::TearDown();
    }
    // One generator with `channels` tracks (dotsplit 0), ready for the second pass.
    void one_machine(int channels, int patterns = 2, int lines = 64)
    {
        song.channel_count = channels;
        kxtest::allocate_instruments(8, channels, patterns);
        kxtest::layout_song({channels}, patterns, lines);
        song.pass_number = 1;
    }
    // Translates one cell the way the reader does for dotsplit 0.
    void cell(int p, int r, int c, int note, int ins, int vol, int eff, int par)
    {
        song.cur_pattern = p;
        song.cur_row = r;
        song.cur_channel = c;
        if (settings.dotsplit == 0) {
            song.cur_machine = 1;
            song.cur_track = c;
        }
        translate_cell(note, ins, vol, eff, par);
    }
    Row at(int m, int p, int t, int r)
    {
        uint8_t* b = kxtest::track_row(m, p, t, r);
        return Row(b, b + song.machine_table[m].track_row_bytes);
    }
    int used(int m, int p) { return song.machine_table[m].track_patterns[p].number; }
    int master_bpm(int p, int r)
    {
        uint8_t* g = kxtest::global_row(0, p, r);
        return g[2] | g[3] << 8;
    }

    // dotsplit 2: runs the counting pass and the second pass over the cells (every other cell
    // of the patterns is empty, and is passed on as the reader does).
    void run_by_instrument(int channels, int patterns, int lines, const std::vector<Cell>& cells)
    {
        settings.dotsplit = 2;
        song.channel_count = channels;
        song.song_length = patterns;
        song.pattern_count = patterns;
        kxtest::allocate_instruments(8, channels, patterns);
        song.pattern_table = pool_array<PatternInfo>(size_t(patterns));
        auto each = [&](auto&& fn) {
            for (int p = 0; p < patterns; ++p)
                for (int r = 0; r < lines; ++r)
                    for (int c = 0; c < channels; ++c) {
                        Cell x{p, r, c, 0, 0, 0, 0, 0};
                        for (const Cell& given : cells)
                            if (given.pattern == p && given.row == r && given.channel == c) x = given;
                        fn(x);
                    }
        };
        song.pass_number = 0;
        song.counting_pass = 1;
        each([&](const Cell& x) { cell(x.pattern, x.row, x.channel, x.note, x.instrument, x.volume, x.effect, x.param); });
        song.counting_pass = 0;
        auto tracks = kxtest::number_instrument_machines();
        kxtest::layout_song(tracks, patterns, lines);
        song.pass_number = 1;
        each([&](const Cell& x) { cell(x.pattern, x.row, x.channel, x.note, x.instrument, x.volume, x.effect, x.param); });
    }
    kxtest::FakeWindow fake;
};

TEST_F(EffectsTest, FirstPassWritesNothing)
{
    one_machine(2);
    song.pass_number = 0;
    cell(0, 3, 1, 49, 1, 0x30, 15, 3);
    EXPECT_EQ(at(1, 0, 1, 3), (Row{0, 0, 0xFF, 0, 0}));
    EXPECT_EQ(used(1, 0), 0);
    EXPECT_EQ(used(0, 0), 0);
    EXPECT_EQ(song.speed, 6);
}

TEST_F(EffectsTest, NotesKeyOffAndWaves)
{
    one_machine(2);
    song.instrument_table[2].wave_number = 0x105; // only the low byte is the wave
    cell(0, 0, 0, 49, 3, 0, 0, 0);
    EXPECT_EQ(at(1, 0, 0, 0), (Row{0x41, 0x05, 0xFF, 0, 0}));
    EXPECT_EQ(used(1, 0), 1);
    cell(0, 1, 1, 97, 0, 0, 0, 0);
    EXPECT_EQ(at(1, 0, 1, 1)[0], 0xFF);
    // In a MOD the same 97 is a period.
    song.frequency_mode = freq_mod_period;
    cell(0, 2, 1, 97, 0, 0, 0, 0);
    EXPECT_EQ(at(1, 0, 1, 2)[0], 0x63);
    // An instrument beyond the table gives no wave.
    cell(0, 3, 1, 0, 200, 0, 0, 0);
    EXPECT_EQ(at(1, 0, 1, 3), (Row{0, 0, 0xFF, 0, 0}));
}

TEST_F(EffectsTest, VolumeColumn)
{
    one_machine(1);
    cell(0, 0, 0, 0, 0, 0x30, 0, 0);
    EXPECT_EQ(at(1, 0, 0, 0)[2], 0x40);
    cell(0, 1, 0, 0, 0, 0x10, 0, 0);
    EXPECT_EQ(at(1, 0, 0, 1)[2], 0xFF);
    cell(0, 2, 0, 0, 0, 0x50, 0, 0);
    EXPECT_EQ(at(1, 0, 0, 2)[2], 0xFF);
    settings.do_lnvol = 1;
    cell(0, 3, 0, 0, 0, 0x4F, 0, 0);
    EXPECT_EQ(at(1, 0, 0, 3)[2], 127);
    cell(0, 4, 0, 0, 0, 0x11, 0, 0);
    EXPECT_EQ(at(1, 0, 0, 4)[2], 12);
    // A volume alone leaves the pattern unmarked.
    EXPECT_EQ(used(1, 0), 0);
}

struct EffectRow {
    int type, param;
    const char* name;
    int effect, value;
};

TEST_F(EffectsTest, EveryRowOfTheEffectTable)
{
    const EffectRow table[] = {
        {0, 0x37, " Arpeggio?", 0, 0},       {1, 0x20, " PortaUp", 4, 0x20},
        {2, 0x11, " PortaDown", 3, 0x11},    {3, 0x90, " TonePorta", 5, 0x20},
        {4, 0x46, " Vibrato", 6, 0x46},      {5, 0x12, " Pitch+VolSlide", 0, 0},
        {6, 0x12, " Vibrat+VolSlide", 0, 0}, {7, 0x12, " Tremolo", 0, 0},
        {8, 0x80, " XM-Panning", 0, 0},      {9, 0x08, " SampleOffset", 10, 0x08},
        {10, 0x0F, " VolumeSlide", 2, 0},    {10, 0x10, " VolumeSlide", 1, 0},
        {11, 0x02, " PositionJump", 0, 0},   {14, 0x01, " SetFilter", 0, 0},
        {14, 0x12, " FineSlideUp", 0, 0},    {14, 0x22, " FineSlideDown", 0, 0},
        {14, 0x31, " GlissandoControl", 0, 0}, {14, 0x41, " SetVibratoWaveform", 0, 0},
        {14, 0x57, " SetFinetune", 11, 7},   {14, 0x61, " JumptoLoop", 0, 0},
        {14, 0x71, " SetTremoloWaveform", 0, 0}, {14, 0x81, " NOTUSED", 0, 0},
        {14, 0x93, " RetrigNote", 14, 3},    {14, 0xA1, " FineVolumeSlideUp", 0, 0},
        {14, 0xB1, " FineVolumeSlideDown", 0, 0}, {14, 0xC3, " NoteCut", 12, 3},
        {14, 0xD4, " Notedelay", 13, 4},     {14, 0xE1, " PatternDelay", 0, 0},
        {14, 0xF1, " InvertLoop", 0, 0},
    };
    one_machine(1, 1, 64);
    settings.verbose = 1;
    int r = 0;
    for (const EffectRow& e : table) {
        SCOPED_TRACE(e.name);
        fake.text.clear();
        cell(0, r, 0, 0, 0, 0, e.type, e.param);
        EXPECT_EQ(at(1, 0, 0, r), (Row{0, 0, 0xFF, uint8_t(e.effect), uint8_t(e.value)}));
        EXPECT_EQ(fake.text.find(std::string(e.name) + "-->"), 0u) << fake.text;
        ++r;
    }
    // Effect 0 with parameter 0 is no arpeggio.
    fake.text.clear();
    cell(0, r, 0, 0x31, 0, 0, 0, 0);
    EXPECT_EQ(fake.text.find("Arpeggio"), std::string::npos);
}

TEST_F(EffectsTest, SetVolume)
{
    one_machine(1);
    cell(0, 0, 0, 0, 0, 0x30, 12, 0x10);
    EXPECT_EQ(at(1, 0, 0, 0)[2], 0x20); // the effect overrides the volume column
    cell(0, 1, 0, 0, 0, 0, 12, 0x90);
    EXPECT_EQ(at(1, 0, 0, 1)[2], 0x20);
    settings.do_lnvol = 1;
    cell(0, 2, 0, 0, 0, 0, 12, 64);
    EXPECT_EQ(at(1, 0, 0, 2)[2], 128);
    cell(0, 3, 0, 0, 0, 0, 12, 0);
    EXPECT_EQ(at(1, 0, 0, 3)[2], 0);
}

TEST_F(EffectsTest, SpeedAndTempoGoIntoTheGlobalRows)
{
    one_machine(2);
    song.start_bpm = 125;
    cell(0, 4, 1, 0, 0, 0, 15, 3);
    EXPECT_EQ(song.speed, 3);
    EXPECT_EQ(master_bpm(0, 4), 250);
    EXPECT_EQ(*kxtest::global_row(1, 0, 4), 3);
    EXPECT_EQ(used(0, 0), 1);
    EXPECT_EQ(used(1, 0), 0); // the generator's own row holds nothing
    EXPECT_EQ(kxtest::global_row(0, 0, 4)[0], 0xFF); // volume word untouched
    EXPECT_EQ(kxtest::global_row(0, 0, 4)[4], 0xFF); // ticks per beat untouched

    cell(1, 8, 0, 0, 0, 0, 15, 150);
    EXPECT_EQ(master_bpm(1, 8), 300);
    EXPECT_EQ(*kxtest::global_row(1, 1, 8), 0); // SetBPM leaves the tick byte
    EXPECT_EQ(used(0, 1), 2);
    EXPECT_EQ(song.speed, 3);
}

TEST_F(EffectsTest, SpeedWithAlternateGeneratorLeavesItsGlobalRow)
{
    kxtest::install_machines_ini();
    ASSERT_TRUE(load_machine_descriptions());
    settings.dopfun = 5;
    one_machine(1);
    Row before(kxtest::global_row(1, 0, 2), kxtest::global_row(1, 0, 2) + song.machine_table[1].global_row_bytes);
    song.start_bpm = 120;
    cell(0, 2, 0, 49, 1, 0, 15, 4);
    EXPECT_EQ(master_bpm(0, 2), 180);
    EXPECT_EQ(Row(kxtest::global_row(1, 0, 2), kxtest::global_row(1, 0, 2) + before.size()), before);
    EXPECT_EQ(at(1, 0, 0, 2)[0], 0x41); // note at the record's note position
}

TEST_F(EffectsTest, SecondBreakInAPatternIsIgnored)
{
    one_machine(1);
    log_state.log_enabled = 0; // the warning is forced through
    cell(0, 10, 0, 0, 0, 0, 13, 0);
    EXPECT_EQ(song.pattern_table[0].play_lines, 11);
    EXPECT_EQ(song.pattern_table[0].lines, 64);
    cell(0, 20, 0, 0, 0, 0, 13, 0);
    EXPECT_EQ(song.pattern_table[0].play_lines, 11);
    EXPECT_NE(fake.text.find("Warning: only one pattern break in pattern allowed, previous was on line a!"),
              std::string::npos);
    EXPECT_NE(fake.text.find("(pattern: 0 track: 0 line: 14)"), std::string::npos);
    // A second break on the same row says nothing.
    fake.text.clear();
    cell(0, 10, 0, 0, 0, 0, 13, 0);
    EXPECT_EQ(fake.text.find("Warning"), std::string::npos);
}

TEST_F(EffectsTest, BreakTargetRowInAPatternPlayedTwice)
{
    one_machine(1, 3);
    song.song_length = 4;
    int order[] = {0, 1, 0, 2};
    for (int i = 0; i < 4; ++i) song.order_list[i].pattern = order[i];
    cell(0, 31, 0, 0, 0, 0, 13, 0x10);
    EXPECT_EQ(song.pattern_table[0].play_lines, 32);
    EXPECT_EQ(song.order_list[1].start_row, 16);
    EXPECT_EQ(song.order_list[3].start_row, 16);
    EXPECT_EQ(song.order_list[0].start_row, 0);
    EXPECT_EQ(song.pattern_table[1].start_row, 16);
    EXPECT_EQ(song.pattern_table[2].start_row, 16);
    EXPECT_EQ(song.offset_pattern_count, 2);
}

TEST_F(EffectsTest, OnlyOneOffsetPerPattern)
{
    one_machine(1, 3);
    song.song_length = 4;
    int order[] = {0, 1, 2, 1};
    for (int i = 0; i < 4; ++i) song.order_list[i].pattern = order[i];
    log_state.log_enabled = 0;
    cell(0, 5, 0, 0, 0, 0, 13, 0x10);
    cell(2, 7, 0, 0, 0, 0, 13, 0x08);
    EXPECT_EQ(song.order_list[1].start_row, 16);
    EXPECT_EQ(song.order_list[3].start_row, 16);
    EXPECT_EQ(song.pattern_table[1].start_row, 16);
    EXPECT_EQ(song.offset_pattern_count, 1);
    EXPECT_NE(fake.text.find("Warning: only one offset per pattern allowed!"), std::string::npos);
    // The last entry has no following one.
    cell(1, 3, 0, 0, 0, 0, 13, 0x04);
    EXPECT_EQ(song.order_list[2].start_row, 4);
    EXPECT_EQ(song.pattern_table[2].start_row, 4);
}

TEST_F(EffectsTest, BreakTargetBeyondTheNextPatternIsLeftOut)
{
    one_machine(1, 2, 32);
    song.song_length = 2;
    cell(0, 3, 0, 0, 0, 0, 13, 0x40);
    EXPECT_EQ(song.pattern_table[0].play_lines, 4);
    EXPECT_EQ(song.order_list[1].start_row, 0);
    EXPECT_EQ(song.pattern_table[1].start_row, 0);
    EXPECT_EQ(song.offset_pattern_count, 0);
}

TEST_F(EffectsTest, MarkingRules)
{
    one_machine(2, 3);
    cell(0, 0, 0, 0, 0, 0x40, 0, 0); // volume only
    EXPECT_EQ(used(1, 0), 0);
    EXPECT_EQ(at(1, 0, 0, 0)[2], 0x60);
    cell(1, 0, 0, 0, 0, 0, 14, 0x90); // RetrigNote 0: effect alone marks
    EXPECT_EQ(used(1, 1), 2);
    cell(2, 0, 0, 0, 0, 0, 8, 0x80); // panning translates to nothing
    EXPECT_EQ(used(1, 2), 0);
}

// --- machines split by instrument ---

TEST_F(EffectsTest, InstrumentChangeStopsTheOldInstrument)
{
    // Channel 0 plays instrument 2, then 5; channel 1 plays instrument 5 too.
    run_by_instrument(2, 1, 16,
                      {{0, 0, 0, 49, 2, 0, 0, 0}, {0, 2, 1, 50, 5, 0, 0, 0}, {0, 4, 0, 51, 5, 0, 0, 0},
                       {0, 6, 0, 52, 0, 0, 0, 0}});
    const InstrumentRecord& two = song.instrument_table[1];
    const InstrumentRecord& five = song.instrument_table[4];
    ASSERT_EQ(song.machine_count, 3);
    EXPECT_EQ(two.machine, 1);
    EXPECT_EQ(five.machine, 2);
    EXPECT_EQ(two.track_count, 1);
    EXPECT_EQ(five.track_count, 2);
    EXPECT_EQ(at(1, 0, 0, 0), (Row{0x41, 2, 0xFF, 0, 0}));
    EXPECT_EQ(at(1, 0, 0, 4), (Row{0xFF, 0, 0xFF, 0, 0})); // note-off where 5 starts
    EXPECT_EQ(at(2, 0, 0, 4), (Row{0x43, 5, 0xFF, 0, 0}));
    EXPECT_EQ(at(2, 0, 1, 2), (Row{0x42, 5, 0xFF, 0, 0}));
    EXPECT_EQ(at(2, 0, 0, 6), (Row{0x44, 0, 0xFF, 0, 0})); // no instrument: the current one
    // Before the first note the song order is taken as looping: what the channel played last
    // in the song (instrument 5) is stopped where instrument 2 begins.
    EXPECT_EQ(at(2, 0, 0, 0), (Row{0xFF, 0, 0xFF, 0, 0}));
    EXPECT_EQ(used(1, 0), 1);
    EXPECT_EQ(used(2, 0), 1);
}

TEST_F(EffectsTest, InstrumentFromTheSongOrder)
{
    // Pattern 1 starts without an instrument on channel 0: the one pattern 0 left there plays.
    // Row 0 of pattern 2 gives instrument 3 on a channel that had none: the instrument the order
    // left there (2) is stopped.
    run_by_instrument(1, 3, 8,
                      {{0, 1, 0, 49, 2, 0, 0, 0}, {1, 0, 0, 50, 0, 0, 0, 0}, {2, 0, 0, 51, 3, 0, 0, 0}});
    const InstrumentRecord& two = song.instrument_table[1];
    const InstrumentRecord& three = song.instrument_table[2];
    EXPECT_EQ(at(two.machine, 1, 0, 0), (Row{0x42, 0, 0xFF, 0, 0}));
    EXPECT_EQ(at(two.machine, 2, 0, 0), (Row{0xFF, 0, 0xFF, 0, 0}));
    EXPECT_EQ(at(three.machine, 2, 0, 0), (Row{0x43, 3, 0xFF, 0, 0}));
    EXPECT_EQ(at(three.machine, 0, 0, 1), (Row{0xFF, 0, 0xFF, 0, 0})); // the song's end plays before
    EXPECT_EQ(at(two.machine, 0, 0, 1), (Row{0x41, 2, 0xFF, 0, 0}));
    EXPECT_EQ(used(two.machine, 1), 2);
    EXPECT_EQ(used(two.machine, 2), 3);
}

TEST_F(EffectsTest, NoInstrumentMappedKeepsSongEffects)
{
    log_state.log_enabled = 0;
    run_by_instrument(2, 1, 8, {{0, 0, 0, 49, 1, 0, 0, 0}, {0, 3, 1, 50, 0, 0, 15, 4}});
    EXPECT_NE(fake.text.find("Warning: No instrument mapped (32 0 0 f 4)"), std::string::npos);
    EXPECT_NE(fake.text.find("(pattern: 0 track: 1 line: 3)"), std::string::npos);
    EXPECT_EQ(song.speed, 4); // the song effect still acts
    EXPECT_EQ(song.cur_machine, 1);
    EXPECT_EQ(at(1, 0, 0, 3), (Row{0, 0, 0xFF, 0, 0}));
}

TEST_F(EffectsTest, WrongMachineDropsTheCellAndItsSongEffects)
{
    run_by_instrument(1, 1, 8, {{0, 0, 0, 49, 1, 0, 0, 0}});
    song.instrument_table[0].machine = 5;
    log_state.log_enabled = 0;
    cell(0, 2, 0, 50, 1, 0, 15, 3);
    EXPECT_NE(fake.text.find("Wrong machine: 5!!"), std::string::npos);
    EXPECT_EQ(song.speed, 6);
    EXPECT_EQ(at(1, 0, 0, 2), (Row{0, 0, 0xFF, 0, 0}));
}

TEST_F(EffectsTest, WrongTrackEndsTheJob)
{
    run_by_instrument(2, 1, 8, {{0, 0, 0, 49, 1, 0, 0, 0}});
    // Instrument 1 never played on channel 1 in the counting pass.
    EXPECT_FALSE(run_guarded([&] { cell(0, 2, 1, 50, 1, 0, 0, 0); }));
    EXPECT_NE(fake.text.find("Error: Wrong track!!"), std::string::npos);
}

} // namespace

namespace {

TEST_F(EffectsTest, CellsFromABrokenFileStayInsideTheTables)
{
    // Random cells, instruments and order entries beyond every table: the job may end with
    // "Wrong track!!", but nothing is written outside the song's blocks (checked under the
    // sanitizers) and nothing crashes.
    uint32_t seed = 777;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u, int((seed >> 16) & 0x7FFF); };
    std::vector<Cell> cells;
    for (int i = 0; i < 200; ++i)
        cells.push_back({next() % 3, next() % 8, next() % 3, next() % 120, next() % 12, next() % 256,
                         next() % 20, next() % 256});
    run_by_instrument(3, 3, 8, cells);
    song.order_list[1].pattern = 200;
    song.order_list[2].pattern = -5;
    for (int i = 0; i < 300; ++i) {
        song.cur_channel = next() % 5 - 1;
        song.cur_pattern = next() % 5 - 1;
        song.cur_row = next() % 12 - 2;
        run_guarded([&] { translate_cell(next() % 120, next() % 300, next() % 256, next() % 20, next() % 256); });
    }
    song.pattern_table[2].play_lines = song.pattern_table[2].lines;
    song.cur_pattern = 2;
    song.cur_row = 8; // one row past the pattern
    translate_cell(0, 0, 0, 13, 0);
    EXPECT_EQ(song.pattern_table[2].play_lines, 8);
    for (int p = 0; p < song.pattern_count; ++p) {
        EXPECT_GE(song.pattern_table[p].play_lines, 1);
        EXPECT_LE(song.pattern_table[p].play_lines, song.pattern_table[p].lines);
        EXPECT_LT(song.pattern_table[p].start_row, song.pattern_table[p].lines);
    }
}

} // namespace
