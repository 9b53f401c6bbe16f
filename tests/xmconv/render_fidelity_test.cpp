// What the converted XM sounds like next to its source, both played by libopenmpt: a small module
// for each thing the conversion carries over from row to row, and every S3M and IT of the corpus
// (its first two minutes; the whole song with KESTRIX_WHOLE_SONGS set), whose cells are compared
// too, as are a MOD's. At most 2% of the 50 ms windows may sound different. Each small module's
// XM is also kept byte for byte in golden/ (written anew when KESTRIX_UPDATE_GOLDEN is set, after
// listening), so that any change of the conversion shows, audible or not.
#include <gtest/gtest.h>

#include <libopenmpt/libopenmpt.hpp>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>

#include "fixture_modules.h"
#include "support/test_support.h"
#include "xmconv/xmp_convert.h"

using namespace xmtest;

namespace {

struct Case {
    const char* what;
    std::function<void(FixtureSong&)> build;
    bool it = true;
    int channels = 2, patterns = 1;
};

// Notes of instrument `ins` on channel c every `step` rows from row `from` to `to`, climbing a
// fifth each time, so that a note played late, early or not at all changes the harmony.
void notes(FixtureSong& s, int pattern, int c, int from, int to, int step, int ins = 1, int note = 49)
{
    for (int r = from; r < to; r += step, note = (note + 7 - 49) % 24 + 49) s.at(pattern, r, c) = {note, ins};
}

const Case cases[] = {
    {"1: a jump past a +++ order marker", [](FixtureSong& s) {
         s.orders = {0, skip_order, 1, 2};
         notes(s, 0, 0, 0, 16, 4);
         s.at(0, 15, 1) = {0, 0, -1, 'B', 3};  // to order 3, the third pattern
         for (int p : {1, 2}) notes(s, p, 0, 0, 16, 4, 1, 50 + 4 * p), s.at(p, 15, 1) = {0, 0, -1, 'C', 0};
     }, false, 2, 3},
    {"2: IT D53 does nothing", [](FixtureSong& s) {
         for (int r = 0; r < 48; ++r) s.at(0, r, 0) = {r % 16 ? 0 : 49, r % 16 ? 0 : 1, r % 16 ? -1 : 16, 'D', r % 16 ? 0 : 0x53};
         notes(s, 0, 1, 0, 48, 8, 1, 61);
         for (int r = 0; r < 48; r += 8) s.at(0, r, 1).vol = 16;
     }},
    {"3: IT notes without instrument after a note off", [](FixtureSong& s) {
         s.instruments[0].envelope = true;
         notes(s, 0, 0, 0, 48, 8);
         for (int r = 4; r < 48; r += 8) s.at(0, r, 0).note = key_off;
         for (int r = 8; r < 48; r += 8) s.at(0, r, 0).ins = 0;
     }},
    {"4: channel volume M and N", [](FixtureSong& s) {
         s.channel_volumes = {32, 64};
         notes(s, 0, 0, 0, 48, 4);
         notes(s, 0, 1, 0, 48, 12, 1, 61);
         s.at(0, 16, 0).cmd = 'M', s.at(0, 16, 0).param = 4;
         s.at(0, 24, 0) = {0, 0, -1, 'N', 0x40};
         for (int r = 25; r < 28; ++r) s.at(0, r, 0).cmd = 'N';
     }},
    {"5: global, mix, instrument and sample volumes", [](FixtureSong& s) {
         s.global_volume = 32;
         s.mix_volume = 24;
         s.instruments = {FixtureInstrument(), FixtureInstrument()};
         s.instruments[1].global = 24;
         s.instruments[1].sample_global = 32;
         s.instruments[1].period = 24;
         for (int r = 0; r < 48; r += 4) s.at(0, r, 0) = {49 + (r % 16 ? 0 : 4), 1 + r / 4 % 2};
         s.at(0, 32, 1) = {0, 0, -1, 'V', 0x80};
     }},
    {"6: channel pans", [](FixtureSong& s) {
         s.pans = {0, 64};
         notes(s, 0, 0, 0, 48, 8);
         notes(s, 0, 1, 4, 48, 8, 1, 54);
     }},
    {"6: S3M channel pans", [](FixtureSong& s) {
         s.pans = {15, 0};
         notes(s, 0, 0, 0, 48, 8);
         notes(s, 0, 1, 4, 48, 8, 1, 54);
     }, false},
    {"7: speeds above 31 and tempo slides", [](FixtureSong& s) {
         s.speed = 40;
         notes(s, 0, 0, 0, 48, 1);
         s.at(0, 8, 1) = {0, 0, -1, 'A', 3};
         s.at(0, 16, 1) = {0, 0, -1, 'T', 0x1F};
         for (int r = 17; r < 24; ++r) s.at(0, r, 1) = {0, 0, -1, 'T', 0};
         s.at(0, 32, 1) = {0, 0, -1, 'T', 0x08};
         s.at(0, 48, 1) = {0, 0, -1, 'C', 0};
     }},
    {"8: IT notes ringing on (NNA continue) until the duplicate check cuts them", [](FixtureSong& s) {
         s.instruments[0].nna = 1;
         s.instruments[0].dct = 1;
         for (int r = 0; r < 48; r += 6) s.at(0, r, 0) = {r % 12 ? 56 : 49, 1};  // each ends the one a fifth below
         notes(s, 0, 1, 3, 48, 12, 1, 61);
     }},
    {"9: IT notes fading after a note off (NNA note off, fadeout)", [](FixtureSong& s) {
         s.instruments[0].nna = 2;
         s.instruments[0].envelope = true;
         s.instruments[0].fadeout = 64;
         notes(s, 0, 0, 0, 48, 4);
     }},
    {"10: IT G00 after F and E (one memory)", [](FixtureSong& s) {
         for (int r = 0; r < 48; r += 8) {
             s.at(0, r, 0) = {49 + r % 16, 1, -1, r % 16 ? 'E' : 'F', 8};
             s.at(0, r + 4, 0) = {56 - r % 16, 0, -1, 'G', 0};
         }
         notes(s, 0, 1, 0, 48, 16, 1, 61);
     }},
    {"11: S3M Q retriggers, their counter running on through rows with Q", [](FixtureSong& s) {
         s.instruments[0].pluck = true;
         for (int r = 0; r < 48; r += 8) {
             s.at(0, r, 0) = {49 + r % 24, 1, -1, 'Q', 3 + r % 16 / 8};
             for (int k = 1; k < 4; ++k) s.at(0, r + k, 0).cmd = 'Q', s.at(0, r + k, 0).param = k == 2 ? 0 : 3 + r % 16 / 8;
         }
         notes(s, 0, 1, 0, 48, 16, 1, 61);
     }, false},
    {"12: S3M slides down held at Scream Tracker's longest period, then up", [](FixtureSong& s) {
         s.speed = 6;
         s.instruments[0].period = 4;
         s.at(0, 0, 0) = {37, 1};
         for (int r = 1; r < 24; ++r) s.at(0, r, 0).cmd = 'E', s.at(0, r, 0).param = 0x80;
         for (int r = 24; r < 48; ++r) s.at(0, r, 0).cmd = 'F', s.at(0, r, 0).param = 0x10;
         notes(s, 0, 1, 0, 48, 16, 1, 61);
     }, false},
    {"13: a 100-frame loop 1.2 cents above FT2's step, in unison with one on it", [](FixtureSong& s) {
         s.instruments = {FixtureInstrument(), FixtureInstrument()};
         for (FixtureInstrument& in : s.instruments) in.period = 100, in.cycles = 1;
         s.instruments[0].volume = 32, s.instruments[1].c5_speed = 8369;
         s.at(0, 0, 0) = {85, 1}, s.at(0, 0, 1) = {85, 2};
     }},
};

std::vector<uint8_t> converted(const std::vector<uint8_t>& source)
{
    xmconv::XmModule xm;
    xmconv::ConvertReport report;
    std::string error;
    EXPECT_EQ(xmconv::convert_bytes(source, xm, report, error), 0) << error;
    return xmconv::xm_encode(xm);
}

TEST(RenderFidelityTest, EachCaseSoundsAsItsSourceAndKeepsItsBytes)
{
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].what);
        FixtureSong song(cases[i].it, cases[i].channels, cases[i].patterns);
        song.speed = 3;
        cases[i].build(song);
        const std::vector<uint8_t> xm = converted(song.bytes());
        RenderDifference d = compare_renders(song.bytes(), xm, 30);
        EXPECT_GT(d.windows, 20);
        EXPECT_LE(d.share(), 0.02) << d.text();
        const auto golden = kxtest::source_dir() / "tests/xmconv/golden" / ("case" + std::to_string(i) + ".xm");
        if (std::getenv("KESTRIX_UPDATE_GOLDEN")) kxtest::Bytes{xm}.write(golden);
        EXPECT_TRUE(kxtest::read_file(golden) == xm) << golden;
    }
}

// The order list as it plays: skip markers (+++) left out, ending at the first end marker (---).
std::vector<int> playing_orders(openmpt::module& m)
{
    std::vector<int> out;
    for (int i = 0; i < m.get_num_orders(); ++i) {
        int p = m.get_order_pattern(i);
        if (p == 0xFFFF || (p == 0xFF && p >= m.get_num_patterns())) break;
        if (p != 0xFFFE && !(p == 0xFE && p >= m.get_num_patterns())) out.push_back(p);
    }
    return out;
}

// Every note along the order list (the XM may play a pattern's copy), in libopenmpt's numbering
// (1 = C-0; 253 fade, 254 cut, 255 off): notes outside XM's C-0..B-7 and IT's note cuts leave the
// XM's note column empty; fades, offs and S3M's ^^^ are key offs. Each row's notes are compared
// whatever their channels (a new-note action moves a note to another channel, and ends the note
// it leaves ringing with key offs of its own). A MOD's XM has the MOD's cells whole: instruments
// and effects too, so that it reads as the MOD itself does.
int cells_differing(openmpt::module& src, openmpt::module& out, const std::string& ext)
{
    const std::vector<int> src_orders = playing_orders(src), xm_orders = playing_orders(out);
    EXPECT_EQ(src_orders.size(), xm_orders.size());
    int differing = 0;
    for (size_t k = 0; k < std::min(src_orders.size(), xm_orders.size()); ++k) {
        const int sp = src_orders[k], xp = xm_orders[k], rows = src.get_pattern_num_rows(sp);
        EXPECT_EQ(rows, out.get_pattern_num_rows(xp)) << "order " << k;
        for (int r = 0; r < rows; ++r) {
            std::multiset<int> want, got;
            for (int c = 0; c < src.get_num_channels(); ++c) {
                int n = src.get_pattern_row_channel_command(sp, r, c, openmpt::module::command_note);
                n = n == 255 || n == 253 || (n == 254 && ext == ".s3m") ? 255 : n >= 13 && n <= 108 ? n : 0;
                if (n) want.insert(n);
                for (int what : {openmpt::module::command_instrument, openmpt::module::command_effect,
                                 openmpt::module::command_parameter})
                    differing += ext == ".mod" && out.get_pattern_row_channel_command(xp, r, c, what) !=
                                                      src.get_pattern_row_channel_command(sp, r, c, what);
            }
            for (int c = 0; c < out.get_num_channels(); ++c)
                if (int n = out.get_pattern_row_channel_command(xp, r, c, openmpt::module::command_note)) got.insert(n);
            for (int n : want) {
                auto it = got.find(n);
                if (it == got.end()) ++differing;
                else got.erase(it);
            }
            for (int n : got) differing += n != 255;
        }
    }
    return differing;
}

TEST(RenderFidelityTest, CorpusSoundsAsItsSource)
{
    auto files = kxtest::corpus_files({".s3m", ".it", ".mod"});
    if (files.empty()) GTEST_SKIP() << "no S3M, IT or MOD files in the corpus";
    for (const auto& f : files) {
        SCOPED_TRACE(f.filename().string());
        const std::vector<uint8_t> source = kxtest::read_file(f);
        if (source.size() > 17 && std::memcmp(source.data(), "Extended Module: ", 17) == 0) continue;  // an XM named .mod
        const std::vector<uint8_t> xm = converted(source);
        openmpt::module src(source), out(xm);
        EXPECT_EQ(cells_differing(src, out, f.extension().string()), 0);
        if (f.extension() == ".mod") continue;  // XM's panning and volume ramps are not Amiga's
        RenderDifference d = compare_renders(source, xm, std::getenv("KESTRIX_WHOLE_SONGS") ? 3600 : 120);
        std::printf("%s: %s\n", f.filename().c_str(), d.text().c_str());
        EXPECT_LE(d.share(), 0.02) << d.text();
    }
}

} // namespace
