// Effect translation: cell bytes, the effect table, speed and tempo, pattern breaks, pattern
// marking, and the machine and track choice when machines are split by instrument.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "buzz/machines_ini.h"
#include "convert/effects.h"
#include "convert/song_layout_helper.h"
#include "core/pool.h"
#include "jobs/job_runner.h"
#include "settings/settings.h"
#include "song/song.h"
#include "support/test_support.h"

namespace {

using Row = std::vector<uint8_t>;
const Row empty_cell = {0, 0, 0xFF, 0, 0};

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
    // Translates one cell the way the reader does.
    void cell(const Cell& x)
    {
        song.cur_pattern = x.pattern;
        song.cur_row = x.row;
        song.cur_channel = x.channel;
        if (settings.dotsplit == 0) {
            song.cur_machine = 1;
            song.cur_track = x.channel;
        }
        translate_cell(x.note, x.instrument, x.volume, x.effect, x.param);
    }
    Row at(int m, int p, int t, int r)
    {
        uint8_t* b = kxtest::track_row(m, p, t, r);
        return Row(b, b + song.machine_table[m].track_row_bytes);
    }
    int used(int m, int p) { return song.machine_table[m].track_patterns[p].number; }
    Row global(int m, int p, int r)
    {
        uint8_t* b = kxtest::global_row(m, p, r);
        return Row(b, b + song.machine_table[m].global_row_bytes);
    }

    // dotsplit 2: the counting pass, the machine numbering and the second pass over every cell of
    // the patterns (the empty ones too, as the reader passes them on).
    void run_by_instrument(int channels, int patterns, int lines, const std::vector<Cell>& cells)
    {
        settings.dotsplit = 2;
        song.channel_count = channels;
        song.song_length = song.pattern_count = patterns;
        kxtest::allocate_instruments(8, channels, patterns);
        song.pattern_table = pool_array<PatternInfo>(size_t(patterns));
        auto each = [&] {
            for (int p = 0; p < patterns; ++p)
                for (int r = 0; r < lines; ++r)
                    for (int c = 0; c < channels; ++c) {
                        Cell x{p, r, c, 0, 0, 0, 0, 0};
                        for (const Cell& given : cells)
                            if (given.pattern == p && given.row == r && given.channel == c) x = given;
                        cell(x);
                    }
        };
        song.pass_number = 0;
        song.counting_pass = 1;
        each();
        kxtest::layout_song(kxtest::number_instrument_machines(), patterns, lines);
        song.pass_number = 1;
        each();
    }
    kxtest::FakeWindow fake;
};

TEST_F(EffectsTest, CellBytesAndMarking)
{
    struct Case { int lnvol, note, instrument, volume, effect, param; Row row; bool marks; };
    const Case cases[] = {
        {0, 49, 3, 0, 0, 0, {0x41, 0x05, 0xFF, 0, 0}, true}, // the wave number's low byte
        {0, 97, 0, 0, 0, 0, {0xFF, 0, 0xFF, 0, 0}, true},    // key-off
        {0, 0, 200, 0, 0, 0, empty_cell, false},             // instrument beyond the table
        {0, 0, 0, 0x30, 0, 0, {0, 0, 0x40, 0, 0}, false},    // a volume alone marks nothing
        {0, 0, 0, 0x10, 0, 0, empty_cell, false},
        {0, 0, 0, 0x50, 0, 0, empty_cell, false},
        {1, 0, 0, 0x4F, 0, 0, {0, 0, 127, 0, 0}, false},
        {1, 0, 0, 0x11, 0, 0, {0, 0, 12, 0, 0}, false},
        {0, 0, 0, 0x30, 12, 0x10, {0, 0, 0x20, 0, 0}, false}, // SetVolume over the volume column
        {0, 0, 0, 0, 12, 0x90, {0, 0, 0x20, 0, 0}, false},    // twice the parameter, in a byte
        {1, 0, 0, 0, 12, 64, {0, 0, 128, 0, 0}, false},
        {1, 0, 0, 0, 12, 0, {0, 0, 0, 0, 0}, false},
        {0, 0, 0, 0, 14, 0x90, {0, 0, 0xFF, 14, 0}, true}, // RetrigNote 0: the effect alone marks
        {0, 0, 0, 0, 8, 0x80, empty_cell, false},          // panning translates to nothing
    };
    one_machine(1, int(std::size(cases)), 1);
    song.instrument_table[2].wave_number = 0x105;
    for (int p = 0; p < int(std::size(cases)); ++p) {
        const Case& c = cases[p];
        SCOPED_TRACE(p);
        settings.do_lnvol = c.lnvol;
        cell({p, 0, 0, c.note, c.instrument, c.volume, c.effect, c.param});
        EXPECT_EQ(at(1, p, 0, 0), c.row);
        EXPECT_EQ(used(1, p) != 0, c.marks);
    }
    // The first pass writes nothing.
    song.pass_number = 0;
    cell({0, 0, 0, 49, 1, 0x30, 15, 3});
    EXPECT_EQ(at(1, 0, 0, 0), cases[0].row);
    EXPECT_EQ(song.speed, 6);
}

TEST_F(EffectsTest, EveryRowOfTheEffectTable)
{
    struct EffectRow { int type, param; const char* name; int effect, value; };
    const EffectRow table[] = {
        {0, 0x37, " Arpeggio?", 0, 0}, {1, 0x20, " PortaUp", 4, 0x20}, {2, 0x11, " PortaDown", 3, 0x11},
        {3, 0x90, " TonePorta", 5, 0x20}, {4, 0x46, " Vibrato", 6, 0x46}, {5, 0x12, " Pitch+VolSlide", 0, 0},
        {6, 0x12, " Vibrat+VolSlide", 0, 0}, {7, 0x12, " Tremolo", 0, 0}, {8, 0x80, " XM-Panning", 0, 0},
        {9, 0x08, " SampleOffset", 10, 0x08}, {10, 0x0F, " VolumeSlide", 2, 0}, {10, 0x10, " VolumeSlide", 1, 0},
        {11, 0x02, " PositionJump", 0, 0}, {14, 0x01, " SetFilter", 0, 0}, {14, 0x12, " FineSlideUp", 0, 0},
        {14, 0x22, " FineSlideDown", 0, 0}, {14, 0x31, " GlissandoControl", 0, 0},
        {14, 0x41, " SetVibratoWaveform", 0, 0}, {14, 0x57, " SetFinetune", 11, 7}, {14, 0x61, " JumptoLoop", 0, 0},
        {14, 0x71, " SetTremoloWaveform", 0, 0}, {14, 0x81, " NOTUSED", 0, 0}, {14, 0x93, " RetrigNote", 14, 3},
        {14, 0xA1, " FineVolumeSlideUp", 0, 0}, {14, 0xB1, " FineVolumeSlideDown", 0, 0},
        {14, 0xC3, " NoteCut", 12, 3}, {14, 0xD4, " Notedelay", 13, 4}, {14, 0xE1, " PatternDelay", 0, 0},
        {14, 0xF1, " InvertLoop", 0, 0},
    };
    one_machine(1, 1, 64);
    settings.verbose = 1;
    int r = 0;
    for (const EffectRow& e : table) {
        SCOPED_TRACE(e.name);
        fake.text.clear();
        cell({0, r, 0, 0, 0, 0, e.type, e.param});
        EXPECT_EQ(at(1, 0, 0, r++), (Row{0, 0, 0xFF, uint8_t(e.effect), uint8_t(e.value)}));
        EXPECT_EQ(fake.text, std::string(e.name) + "-->");
    }
    fake.text.clear();
    cell({0, r, 0, 0x31, 0, 0, 0, 0}); // effect 0 without a parameter is no arpeggio
    EXPECT_EQ(fake.text, "-->");
}

TEST_F(EffectsTest, SpeedAndTempoGoIntoTheGlobalRows)
{
    one_machine(2);
    song.start_bpm = 125;
    cell({0, 4, 1, 0, 0, 0, 15, 3});   // SetSpeed 3: twice the tempo
    cell({1, 8, 0, 0, 0, 0, 15, 150}); // SetBPM 150 at speed 3
    EXPECT_EQ(song.speed, 3);
    EXPECT_EQ(global(0, 0, 4), (Row{0xFF, 0xFF, 250, 0, 0xFF})); // volume and ticks per beat untouched
    EXPECT_EQ(global(0, 1, 8), (Row{0xFF, 0xFF, 0x2C, 0x01, 0xFF}));
    EXPECT_EQ(global(1, 0, 4), Row{3});
    EXPECT_EQ(global(1, 1, 8), Row{0});
    EXPECT_EQ(used(0, 0), 1);
    EXPECT_EQ(used(1, 0), 0); // the generator's own row holds nothing

    // An alternate generator's global row is left as it is.
    kxtest::install_machines_ini();
    ASSERT_TRUE(load_machine_descriptions());
    settings.dopfun = 5;
    one_machine(1);
    const Row before = global(1, 0, 2);
    cell({0, 2, 0, 49, 1, 0, 15, 4});
    EXPECT_EQ(global(0, 0, 2)[2], 187); // 125 * 6 / 4
    EXPECT_EQ(global(1, 0, 2), before);
}

TEST_F(EffectsTest, SecondBreakInAPatternIsIgnored)
{
    one_machine(1);
    log_state.log_enabled = 0; // the warning is forced through
    cell({0, 10, 0, 0, 0, 0, 13, 0});
    cell({0, 20, 0, 0, 0, 0, 13, 0});
    EXPECT_EQ(song.pattern_table[0].play_lines, 11);
    EXPECT_NE(fake.text.find("Warning: only one pattern break in pattern allowed, previous was on line a!"),
              std::string::npos);
    EXPECT_NE(fake.text.find("(pattern: 0 track: 0 line: 14)"), std::string::npos);
    fake.text.clear();
    cell({0, 10, 0, 0, 0, 0, 13, 0}); // a second break on the same row says nothing
    EXPECT_EQ(fake.text, "");
}

TEST_F(EffectsTest, BreakTargetRowsGoToTheFollowingOrderEntries)
{
    struct Case {
        std::vector<int> order;
        int lines;
        std::vector<Cell> breaks;
        std::vector<int> entry_start, pattern_start;
        int offset_patterns;
    };
    const Case cases[] = {
        // Pattern 0 is played twice: both entries after it start on row 16 (BCD 0x10).
        {{0, 1, 0, 2}, 64, {{0, 31, 0, 0, 0, 0, 13, 0x10}}, {0, 16, 0, 16}, {0, 16, 16}, 2},
        // Pattern 1 follows two breaks: only the first offset is kept. The last entry has none after it.
        {{0, 1, 2, 1}, 64, {{0, 5, 0, 0, 0, 0, 13, 0x10}, {2, 7, 0, 0, 0, 0, 13, 0x08}, {1, 3, 0, 0, 0, 0, 13, 0x04}},
         {0, 16, 4, 16}, {0, 16, 4}, 2},
        // A target beyond the next pattern's rows is left out.
        {{0, 1}, 32, {{0, 3, 0, 0, 0, 0, 13, 0x40}}, {0, 0}, {0, 0}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        song_reset_defaults();
        one_machine(1, int(c.pattern_start.size()), c.lines);
        song.song_length = int(c.order.size());
        for (size_t i = 0; i < c.order.size(); ++i) song.order_list[i].pattern = c.order[i];
        log_state.log_enabled = 0;
        for (const Cell& b : c.breaks) cell(b);
        EXPECT_EQ(song.pattern_table[0].play_lines, c.breaks[0].row + 1);
        for (size_t i = 0; i < c.order.size(); ++i) EXPECT_EQ(song.order_list[i].start_row, c.entry_start[i]) << i;
        for (size_t p = 0; p < c.pattern_start.size(); ++p)
            EXPECT_EQ(song.pattern_table[p].start_row, c.pattern_start[p]) << p;
        EXPECT_EQ(song.offset_pattern_count, c.offset_patterns);
    }
    EXPECT_NE(fake.text.find("Warning: only one offset per pattern allowed!"), std::string::npos);
}

// --- machines split by instrument ---

TEST_F(EffectsTest, InstrumentChangesStopTheOldInstrument)
{
    // Instrument 2 (machine 1) on channel 0, then 5 (machine 3) on both channels; instrument 3
    // (machine 2) on channel 1 in the last pattern.
    run_by_instrument(2, 3, 8, {{0, 0, 0, 49, 2, 0, 0, 0}, {0, 2, 1, 50, 5, 0, 0, 0}, {0, 4, 0, 51, 5, 0, 0, 0},
                                {0, 6, 0, 52, 0, 0, 0, 0}, {1, 0, 0, 53, 0, 0, 0, 0}, {2, 0, 1, 54, 3, 0, 0, 0}});
    ASSERT_EQ(song.machine_count, 4);
    const Row off = {0xFF, 0, 0xFF, 0, 0};
    EXPECT_EQ(at(1, 0, 0, 0), (Row{0x41, 2, 0xFF, 0, 0}));
    EXPECT_EQ(at(1, 0, 0, 4), off); // where 5 starts
    EXPECT_EQ(at(3, 0, 0, 4), (Row{0x43, 5, 0xFF, 0, 0}));
    EXPECT_EQ(at(3, 0, 1, 2), (Row{0x42, 5, 0xFF, 0, 0}));
    EXPECT_EQ(at(3, 0, 0, 6), (Row{0x44, 0, 0xFF, 0, 0})); // no instrument: the current one
    // Before a channel's first note the song order is taken as looping: what the channel played
    // last in the song is stopped where the first instrument begins.
    EXPECT_EQ(at(3, 0, 0, 0), off);
    EXPECT_EQ(at(2, 0, 0, 2), off);
    // A pattern that starts without an instrument plays the one the order left on the channel;
    // a new instrument there stops that one.
    EXPECT_EQ(at(3, 1, 0, 0), (Row{0x45, 0, 0xFF, 0, 0}));
    EXPECT_EQ(at(3, 2, 1, 0), off);
    EXPECT_EQ(at(2, 2, 0, 0), (Row{0x46, 3, 0xFF, 0, 0}));
}

TEST_F(EffectsTest, CellsWithoutAPlaceInTheSplit)
{
    log_state.log_enabled = 0;
    run_by_instrument(2, 1, 8, {{0, 0, 0, 49, 1, 0, 0, 0}, {0, 3, 1, 50, 0, 0, 15, 4}});
    // No instrument on channel 1: the cell is dropped, its song effect still acts.
    EXPECT_NE(fake.text.find("Warning: No instrument mapped (32 0 0 f 4)\n(pattern: 0 track: 1 line: 3)"),
              std::string::npos);
    EXPECT_EQ(song.speed, 4);
    EXPECT_EQ(at(1, 0, 0, 3), empty_cell);
    // Instrument 1 never played on channel 1 in the counting pass.
    EXPECT_FALSE(run_guarded([&] { cell({0, 2, 1, 50, 1, 0, 0, 0}); }));
    EXPECT_NE(fake.text.find("Error: Wrong track!!"), std::string::npos);
    // An instrument whose machine does not exist drops the cell with its song effects.
    song.instrument_table[0].machine = 5;
    cell({0, 2, 0, 50, 1, 0, 15, 3});
    EXPECT_NE(fake.text.find("Wrong machine: 5!!"), std::string::npos);
    EXPECT_EQ(song.speed, 4);
    EXPECT_EQ(at(1, 0, 0, 2), empty_cell);
}

TEST_F(EffectsTest, CellsFromABrokenFileStayInsideTheTables)
{
    // Random cells, positions, instruments and order entries beyond every table: the job may end
    // with "Wrong track!!", but nothing is written outside the song's blocks (checked under the
    // sanitizers) and nothing crashes.
    uint32_t seed = 777;
    auto next = [&seed](int n) { return seed = seed * 1103515245u + 12345u, int((seed >> 16) & 0x7FFF) % n; };
    std::vector<Cell> cells;
    for (int i = 0; i < 200; ++i)
        cells.push_back({next(3), next(8), next(3), next(120), next(12), next(256), next(20), next(256)});
    run_by_instrument(3, 3, 8, cells);
    song.order_list[1].pattern = 200;
    song.order_list[2].pattern = -5;
    for (int i = 0; i < 300; ++i)
        run_guarded([&] { cell({next(5) - 1, next(12) - 2, next(5) - 1, next(120), next(300), next(256), next(20), next(256)}); });
    settings.dotsplit = 0;
    song.pattern_table[2].play_lines = 8;
    cell({2, 8, 0, 0, 0, 0, 13, 0}); // a break one row past the pattern
    for (int p = 0; p < song.pattern_count; ++p) {
        EXPECT_GE(song.pattern_table[p].play_lines, 1);
        EXPECT_LE(song.pattern_table[p].play_lines, song.pattern_table[p].lines);
        EXPECT_LT(song.pattern_table[p].start_row, song.pattern_table[p].lines);
    }
}

} // namespace
