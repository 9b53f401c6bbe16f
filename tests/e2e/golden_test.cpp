// Whole conversions compared byte for byte with the songs in tests/e2e/golden: the demo tune and
// two small modules made here, under the settings users pick, with their logs (warnings, and the
// listings of a conversion and of a written song). Every section of the song is in them (MACH,
// CONN, WAVT with envelopes and levels, PATT with duplicates and entered copies, SEQU, BLAH,
// WAVE), so a fault anywhere from the module readers to the song writer shows as a difference,
// reported with the section it is in.
// After a deliberate change of the output, KESTRIX_UPDATE_GOLDEN=1 writes the files anew: check
// the difference with `kestrix --list +v` on the old and the new song before committing them.
#include "e2e/e2e_support.h"

#include <algorithm>
#include <cstdlib>

#include "convert/fixtures.h"

namespace fs = std::filesystem;
using namespace kxfix;

namespace {

// Three channels, five patterns: every effect the converter knows once (channel 1 of pattern 0),
// notes with instruments in and beyond the table, key-off and the volume column (channel 0), an
// effect alone (pattern 1), pattern breaks: into patterns 1 and 4 (entered at rows 3 and 2), a
// second one ignored, one to a row the next pattern does not have, one on row 0; patterns 2 and 3
// identical but for that break; an order entry beyond the patterns. Instruments: an 8-bit looped
// sample with an envelope, one never played (so the machines of split by instrument skip it), an
// empty one, two samples (16-bit of odd length, 8-bit) on the two halves of the key map.
Bytes effects_module()
{
    const unsigned effects[][2] = {
        {0, 0x37}, {1, 0x20}, {2, 0x11}, {3, 0x90}, {4, 0x46}, {5, 0x12}, {6, 0x12}, {7, 0x12},
        {8, 0x80}, {9, 0x08}, {10, 0x0F}, {10, 0x10}, {11, 0x02}, {12, 0x00}, {12, 0x01}, {12, 0x90},
        {14, 0x01}, {14, 0x12}, {14, 0x22}, {14, 0x31}, {14, 0x41}, {14, 0x57}, {14, 0x61}, {14, 0x71},
        {14, 0x81}, {14, 0x93}, {14, 0xA1}, {14, 0xB1}, {14, 0xC3}, {14, 0xD4}, {14, 0xE1}, {14, 0xF1},
        {15, 0x03}, {15, 0x96}, {16, 0x01}};
    std::vector<Cell> first = {{0, 0, 49, 1, 0x30, 0, 0}, {2, 0, 97, 0, 0, 0, 0},  {4, 0, 60, 4, 0x11, 0, 0},
                               {6, 0, 13, 9, 0x4F, 0, 0}, {8, 0, 96, 1, 0x10, 1, 2}, {10, 0, 1, 4, 0x50, 0, 0},
                               {12, 2, 30, 3, 0, 0, 0},   {14, 0, 0, 0, 0x40, 0, 0}, {38, 2, 0, 0, 0, 13, 0x03}};
    for (unsigned r = 0; r < std::size(effects); ++r) first.push_back({r, 1, 0, 0, 0, effects[r][0], effects[r][1]});
    const std::vector<Cell> same = {{0, 0, 37, 4, 0, 0, 0}, {3, 2, 40, 1, 0x20, 0, 0}, {5, 0, 38, 0, 0, 0, 0}};
    std::vector<Cell> same_but_break = same;
    same_but_break.push_back({0, 1, 0, 0, 0, 13, 0}); // plays row 0 only
    XmModule m;
    m.name = "effects";
    m.channels = 3;
    m.tempo = 5;
    m.bpm = 140;
    m.order = {0, 1, 4, 2, 3, 1, 4, 9};
    m.patterns = {pattern(40, 3, first),
                  pattern(8, 3, {{1, 2, 25, 1, 0, 0, 0}, {2, 1, 0, 0, 0, 14, 0x90}, {5, 1, 0, 0, 0, 13, 0x02},
                                 {6, 1, 0, 0, 0, 13, 0x01}}),
                  pattern(8, 3, same), pattern(8, 3, same_but_break),
                  pattern(4, 3, {{0, 0, 61, 1, 0, 0, 0}, {2, 0, 62, 4, 0, 0, 0}, {3, 2, 63, 4, 0, 14, 0xC1},
                                 {3, 1, 0, 0, 0, 13, 0x10}})};
    XmInstrument looped{"looped", {{{10, 250, 0, 7, 9, 1, 3, 255}, 1, 2, 4}}};
    looped.volume_env = {0, 32, 10, 64, 20, 32};
    looped.volume_sustain = 1;
    looped.volume_type = 3;
    looped.fadeout = 256;
    XmInstrument split{"split", {{{0x10, 0x00, 0x77}, 0x10, 0, 0, 0x80, 12}, {{5, 1, 1, 1}, 0, 0, 0, 0x10, 0xF4}}};
    std::fill(split.key_map.begin() + 48, split.key_map.end(), 1);
    split.key_map[0] = 2; // a sample the instrument does not have
    m.instruments = {looped, XmInstrument{"unplayed", {{{1, 2}}}}, XmInstrument{"empty"}, split};
    return xm_file(m);
}

// Four channels, two patterns played 0 1 0: periods at both ends of the table and between notes,
// an instrument beyond the table, set volume, speed, tempo and a break; samples with finetune, a
// loop, a loop beyond the data, two bytes only.
Bytes mod_module()
{
    struct ModCell { unsigned pattern, row, channel, period, instrument, effect, param; };
    const ModCell cells[] = {{0, 0, 0, 428, 1, 0, 0},   {0, 0, 1, 1712, 2, 0, 0},    {0, 1, 0, 57, 3, 0, 0},
                             {0, 1, 1, 56, 4, 0, 0},    {0, 2, 2, 1000, 0xF3, 12, 0x20}, {0, 3, 3, 5000, 4, 12, 0x40},
                             {0, 4, 0, 0, 0, 13, 0x10}, {1, 0, 0, 0, 0, 15, 0x03},   {1, 2, 1, 97, 1, 0, 0},
                             {1, 5, 3, 0, 0, 15, 0x7D}};
    ModModule m;
    m.order = {0, 1, 0};
    m.patterns = Bytes().fill(2 * 1024, 0);
    for (const ModCell& c : cells) {
        uint8_t* b = &m.patterns.data[c.pattern * 1024 + c.row * 16 + c.channel * 4];
        b[0] = uint8_t((c.instrument & 0xF0) | (c.period >> 8));
        b[1] = uint8_t(c.period);
        b[2] = uint8_t((c.instrument & 0x0F) << 4 | c.effect);
        b[3] = uint8_t(c.param);
    }
    m.samples = {{{0x80, 0x7F, 1, 1, 2, 3}, 0x0F, 1, 2}, {{9, 9}}, {{5, 6, 7, 8}, 0x01, 4, 8},
                 {{1, 2, 3, 4, 5, 6, 7, 8}}};
    return mod_file(m);
}

// Song offset -> "section+offset" through the song's own directory.
std::string where(const std::vector<uint8_t>& s, size_t at)
{
    for (size_t e = 8; e + 12 <= 380 && e + 12 <= s.size() && s[e]; e += 12) {
        const size_t start = dword_at(s, e + 4), size = dword_at(s, e + 8);
        if (at >= start && at < start + size)
            return std::string(s.begin() + long(e), s.begin() + long(e) + 4) + "+" + std::to_string(at - start);
    }
    return at < 380 ? "header" : "?";
}

void expect_golden(const std::string& name, const std::vector<uint8_t>& got)
{
    const fs::path path = kxtest::source_dir() / "tests" / "e2e" / "golden" / name;
    if (std::getenv("KESTRIX_UPDATE_GOLDEN")) return Bytes{got}.write(path);
    const std::vector<uint8_t> want = kxtest::read_file(path);
    if (got == want) return;
    const size_t at = size_t(std::mismatch(got.begin(), got.end(), want.begin(), want.end()).first - got.begin());
    if (name.ends_with(".log")) {
        auto line = [at](const std::vector<uint8_t>& t) {
            const auto end = t.begin() + long(std::min(at, t.size()));
            const auto from = std::find(std::make_reverse_iterator(end), t.rend(), '\n').base();
            return std::string(from, std::find(from, t.end(), '\n'));
        };
        ADD_FAILURE() << path << ": the log differs in the line\n  " << line(got) << "\nthat said\n  " << line(want);
    } else {
        ADD_FAILURE() << path << ": " << got.size() << " bytes (" << want.size()
                      << " in the golden song), first difference at " << at << " (" << where(want, at) << ")";
    }
}

class GoldenSongs : public kxtest::WorkDirTest {};

TEST_F(GoldenSongs, ConversionsAndListingsMatchByteForByte)
{
    struct Case { const char* name; const char* input; const char* options; };
    const Case cases[] = {
        {"demo", "demo.xm", ""}, // split by track, waves in the song
        {"demo-instrument-bmw", "demo.xm", "dotsplit=2 dowave=1 do_0track=1 remove_2pat=0"},
        {"demo-xi", "xi/demo04.xi", ""}, // an instrument the BMW conversion exported
        {"demo-primifun", "demo.xm", "dotsplit=0 dopfun=1 transpo=-14"},
        {"effects", "effects.xm", "dotsplit=0 dolist=1 verbose=1 do_envs=1"},
        {"effects-listing", "effects.bmx", "dolist=1 verbose=1 do_mscale1=1"}, // the song above
        {"effects-instrument", "effects.xm", "dotsplit=2 do_lnvol=1 do_0loops=1 dosminus=1"},
        {"effects-bmw", "effects.xm", "dowave=1 do_envs=1 do_lnvol=1 transpo=100"},
        {"mod", "mods.it/tune.mod", "dolist=1"}, // only the file's own name tells its kind
        {"mod-vmidiout", "mods.it/tune.mod", "dotsplit=0 dopfun=8 do_lnvol=1 dowave=1"}, // the MOD's samples as XI files
    };
    kxtest::install_machines_ini();
    fs::create_directories("xi");
    fs::copy_file(kxe2e::demo_xm(), "demo.xm");
    effects_module().write("effects.xm");
    fs::create_directories("mods.it");
    mod_module().write("mods.it/tune.mod");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        settings = Settings();
        settings.xi_dir = "xi/";
        for (std::string o = c.options, item; !o.empty(); o.erase(0, item.size() + 1)) {
            item = o.substr(0, o.find(' '));
            ASSERT_TRUE(settings_apply_line(settings, item.c_str())) << item;
        }
        const std::string out = std::string(c.name) + ".bmx";
        const kxe2e::ConvertResult r = kxe2e::convert_file(settings, c.input, out);
        ASSERT_TRUE(r.ok) << r.log;
        if (fs::exists(out)) expect_golden(out, kxtest::read_file(out));
        const std::string& text = r.stream;
        expect_golden(std::string(c.name) + ".log", {text.begin(), text.end()});
        for (const auto& e : fs::directory_iterator(".")) // no scratch file ("<output>-kx<pid>-<n>") left
            EXPECT_EQ(e.path().filename().string().find("-kx"), std::string::npos) << e.path();
    }
}

// A module longer than 112 patterns keeps every one: 150 patterns played in order, each with a
// note of its own on both channels and instruments, play in every split mode.
TEST_F(GoldenSongs, EveryPatternOfALongModulePlays)
{
    kxtest::install_machines_ini();
    XmModule m;
    m.channels = 2;
    m.order.clear();
    std::vector<std::pair<uint32_t, uint32_t>> every;
    for (unsigned p = 0; p < 150; ++p) {
        m.order.push_back(uint8_t(p));
        m.patterns.push_back(pattern(16, 2, {{p / 96, 0, 1 + p % 96, 1, 0, 0, 0}, {p / 96 + 2, 1, 1 + p % 96, 2, 0, 0, 0}}));
        every.emplace_back(p * 16, 0x10 + p);
    }
    m.instruments = {XmInstrument{"a", {{{1, 2}}}}, XmInstrument{"b", {{{3, 4}}}}};
    xm_file(m).write("long.xm");
    for (int split : {0, 1, 2}) {
        settings.dotsplit = Split(split);
        ASSERT_TRUE(kxe2e::convert_file(settings, "long.xm", "long.bmx").ok);
        const auto q = kxtest::song_sequences(kxtest::read_file("long.bmx"));
        EXPECT_EQ(q.size(), split == 0 ? 1u : 2u);
        for (const kxtest::SongSequence& s : q) EXPECT_EQ(s.events, every) << split << " " << s.machine;
    }
}

} // namespace
