// Effect translation where whole conversions do not go: cells from a broken file that point beyond
// every table or name a machine that does not exist. The translation of every effect, the volume
// column, speed and tempo, breaks, the split by instrument (instruments stopping each other,
// cells without an instrument) are in the golden songs and logs of tests/e2e/golden_test.cpp.
#include "convert/effects.h"

#include "convert/fixtures.h"

namespace {

using namespace kxfix;

class EffectsTest : public kxtest::WorkDirTest {};

TEST_F(EffectsTest, CellsFromABrokenFileStayInsideTheTables)
{
    // Random cells through a whole conversion split by instrument, then cells at positions, with
    // instruments and order entries beyond every table: the job may end with "Wrong track!!",
    // but nothing is written outside the song's blocks (checked under the sanitizers).
    uint32_t seed = 777;
    auto next = [&seed](unsigned n) { return seed = seed * 1103515245u + 12345u, ((seed >> 16) & 0x7FFF) % n; };
    std::vector<Cell> cells;
    for (int i = 0; i < 60; ++i)
        cells.push_back({next(8), next(3), next(98), next(12), next(256), next(20), next(256)});
    XmModule m;
    m.channels = 3;
    m.order = {0, 1, 2};
    m.patterns = {pattern(8, 3, cells), pattern(8, 3), pattern(8, 3)};
    m.instruments.assign(8, XmInstrument{"i", {{{1}}}});
    xm_file(m).write("in.xm");
    kxtest::install_machines_ini();
    settings.dotsplit = Split::by_instrument;
    settings.dowave = Waves::none;
    kxtest::FakeWindow window;
    log.window = &window;
    ASSERT_TRUE(run_guarded(log, [&] { convert(c, "in.xm", "out.bmx"); })) << window.text;
    auto cell = [&](int pattern, int row, int channel, int note, int instrument, int effect, int param) {
        song.cur_pattern = pattern, song.cur_row = row, song.cur_channel = channel;
        translate_cell(c, {note, instrument, 0, effect, param});
    };
    auto any = [&](int from, unsigned n) { return from + int(next(n)); };
    song.order_list[1].pattern = 200;
    song.order_list[2].pattern = -5;
    for (int i = 0; i < 300; ++i)
        run_guarded(log, [&] {
            cell(any(-1, 5), any(-2, 12), any(-1, 5), any(0, 120), any(0, 300), any(0, 20), any(0, 256));
        });
    // An instrument whose machine does not exist drops the cell with its song effects.
    song.instrument_table[0].machine = 99;
    const int speed = song.speed;
    cell(0, 2, 0, 50, 1, 15, 31);
    EXPECT_NE(window.text.find("Wrong machine: 99!!"), std::string::npos);
    EXPECT_EQ(song.speed, speed);
    settings.dotsplit = Split::one_machine;
    song.cur_machine = 1;
    cell(2, 8, 0, 0, 0, 13, 0); // a break one row past the pattern
    for (int p = 0; p < song.pattern_count; ++p) {
        EXPECT_GE(song.pattern_table[p].play_lines, 1);
        EXPECT_LE(song.pattern_table[p].play_lines, song.pattern_table[p].lines);
        EXPECT_LT(song.pattern_table[p].start_row, song.pattern_table[p].lines);
    }
    log.window = nullptr;
    machine_descriptions_reset(machines);
}

} // namespace
