// What the converted XM sounds like next to its source, both played by libopenmpt: a small module
// for each thing the conversion carries over from row to row, and every S3M and IT of the corpus
// (its first two minutes). At most 2% of the 50 ms windows may sound different.
#include <gtest/gtest.h>

#include <functional>

#include "fixture_modules.h"
#include "render_compare.h"
#include "support/test_support.h"
#include "xmconv/xmp_convert.h"

using namespace xmtest;

namespace {

constexpr double corpus_seconds = 120;

RenderDifference converted_difference(const std::vector<uint8_t>& source, double seconds, std::string& error)
{
    xmconv::XmModule xm;
    xmconv::ConvertReport report;
    if (xmconv::convert_bytes(source, xm, report, error) != 0) return {};
    return compare_renders(source, xmconv::xm_encode(xm), seconds);
}

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
};

TEST(RenderFidelityTest, EachCaseSoundsAsItsSource)
{
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FixtureSong song(c.it, c.channels, c.patterns);
        song.speed = 3;
        c.build(song);
        std::string error;
        RenderDifference d = converted_difference(song.bytes(), 30, error);
        ASSERT_TRUE(error.empty()) << error;
        EXPECT_GT(d.windows, 20);
        EXPECT_LE(d.share(), 0.02) << d.text();
    }
}

TEST(RenderFidelityTest, CorpusSoundsAsItsSource)
{
    auto files = kxtest::corpus_files({".s3m", ".it"});
    if (files.empty()) GTEST_SKIP() << "no S3M or IT files in the corpus";
    for (const auto& f : files) {
        std::string error;
        RenderDifference d = converted_difference(kxtest::read_file(f), corpus_seconds, error);
        ASSERT_TRUE(error.empty()) << f << ": " << error;
        std::printf("%s: %s\n", f.filename().c_str(), d.text().c_str());
        EXPECT_LE(d.share(), 0.02) << f.filename() << ": " << d.text();
    }
}

} // namespace
