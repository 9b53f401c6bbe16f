// The playback walk on two-channel songs of one instrument: what it writes where a column is free,
// where none is, and the pattern copies it makes.
#include <gtest/gtest.h>

#include <functional>

#include "xmconv/playback.h"

using namespace xmconv;

namespace {

struct Song {
    XmModule m;
    SongSource src;
    Song()
    {
        m.channels = 2;
        m.orders = {0};
        m.patterns = {{8, std::vector<XmCell>(16)}};
        XmInstrument& in = m.instruments.emplace_back();
        in.samples.resize(1);
        src.samples = {{SampleSource()}};
        src.channel_pans = {128, 128};
        src.channel_volumes = {64, 64};
        src.extras = {{}};
        src.speed = 3;
        m.speed = 3;
    }
    XmCell& at(int row, int c, int pattern = 0) { return m.patterns[size_t(pattern)].cells[size_t(row * 2 + c)]; }
    CellExtra& extra(int row, int c)
    {
        src.extras[0].resize(16);
        return src.extras[0][size_t(row * 2 + c)];
    }
};

using Cell = std::tuple<int, int, int, int, int>;  // note, instrument, volume column, effect, parameter
Cell fields(const XmCell& c) { return {c.note, c.instrument, c.volume, c.effect, c.param}; }

TEST(PlaybackTest, WritesWhatFt2NeedsWhereAColumnIsFree)
{
    const XmCell note{49, 1, 0, 0, 0};
    struct Case {
        const char* what;
        std::function<void(Song&)> build;
        int row, channel;
        Cell want;
        int unplaced = 0;
    };
    const Case cases[] = {
        {"also after K00", [&](Song& s) {
             s.m.instruments[0].volume_envelope.flags = xm_env_on;
             s.at(0, 0) = note, s.at(1, 0).effect = 0x14, s.at(2, 0).note = 50;
         }, 2, 0, {50, 1, 0, 0, 0}},
        {"M40 beside a volume slide: Cxx", [&](Song& s) {
             s.src.channel_volumes[0] = 32, s.at(0, 0) = note, s.at(1, 0).volume = 0x61, s.extra(1, 0).channel_volume = 64;
         }, 1, 0, {0, 0, 0x61, 0xC, 64}},
        {"IT ^^^ keeps the volume", [&](Song& s) {
             s.src.cut_keeps_volume = true;
             s.at(0, 0) = {49, 1, 0x30, 0, 0}, s.at(1, 0) = {0, 0, 0, 0xE, 0xC0}, s.extra(1, 0).note_cut = true;
             s.at(2, 0).note = 50;
         }, 2, 0, {50, 0, 0x30, 0, 0}},
        {"IT ^^^ as a zero volume keeps the volume", [&](Song& s) {
             s.src.cut_keeps_volume = true;
             s.at(0, 0) = {49, 1, 0x30, 0, 0}, s.at(1, 0).volume = 0x10, s.extra(1, 0).note_cut = true, s.at(2, 0).note = 50;
         }, 2, 0, {50, 0, 0x30, 0, 0}},
        {"fine volume slides at half the channel volume slide half as far: down, then up", [&](Song& s) {
             s.src.channel_volumes[0] = 32, s.at(0, 0) = {49, 1, 0x30, 0, 0}, s.at(1, 0) = {0, 0, 0x84, 0xE, 0xA4};
         }, 1, 0, {0, 0, 0x82, 0xE, 0xA2}},
        {"up, then down", [&](Song& s) {
             s.src.channel_volumes[0] = 32, s.at(0, 0) = {49, 1, 0x30, 0, 0}, s.at(1, 0) = {0, 0, 0x94, 0xE, 0xB4};
         }, 1, 0, {0, 0, 0x92, 0xE, 0xB2}},
        {"but a portamento's speed stays", [&](Song& s) {
             s.src.channel_volumes[0] = 32, s.at(0, 0) = {49, 1, 0x30, 0, 0}, s.at(1, 0) = {0, 0, 0, 0x1, 0xA4};
         }, 1, 0, {0, 0, 0, 0x1, 0xA4}},
        {"pan kept: no instrument number", [&](Song& s) {
             const XmCell full{49, 1, 0x40, 0x4, 0x11};  // no column free for a pan
             s.src.channel_pans = {0, 255};
             s.at(0, 0) = s.at(1, 0) = s.at(2, 0) = full, s.at(0, 1) = note, s.at(1, 1) = full;
         }, 1, 1, {49, 0, 0x40, 0x4, 0x11}},
        {"pan kept, but the number restarts auto-vibrato", [&](Song& s) {
             const XmCell full{49, 1, 0x40, 0x4, 0x11};
             s.m.instruments[0].vibrato_depth = 4, s.src.channel_pans = {0, 255};
             s.at(0, 0) = s.at(1, 0) = s.at(2, 0) = full, s.at(0, 1) = note, s.at(1, 1) = full;
         }, 1, 1, {49, 1, 0x40, 0x4, 0x11}, 1},
        {"speed 40, no free column: a slide moves", [&](Song& s) {
             s.src.speed = 40, s.at(0, 0).effect = 0x4, s.at(0, 1) = {0, 0, 0, 0xA, 0x02};
         }, 0, 1, {0, 0, 0x62, 0xE, 0xE1}},
        {"speed 40, no column for EE1: a panning slide in 19 ticks slides twice as far", [&](Song& s) {
             s.src.speed = 40, s.at(0, 0).effect = 0x4, s.at(0, 1) = {0, 0, 0, 0x19, 0x20};
         }, 0, 1, {0, 0, 0, 0x19, 0x40}, 1},
        {"a sample volume folded into the XM sample needs no column", [&](Song& s) {
             s.m.instruments[0].samples[0].volume = 32, s.src.samples[0][0].fold = 0.5, s.at(0, 0) = note;
         }, 0, 0, {49, 1, 0, 0, 0}},
        {"a tempo slide's BPM leaves other effects", [&](Song& s) {
             s.extra(0, 0).tempo_slide = 0x11, s.at(0, 1).effect = 0x4;
         }, 0, 1, {0, 0, 0, 0x4, 0}},
        {"pitch envelope", [&](Song& s) {
             s.src.pitch_envelopes = {{{{0, 0}, {6, -300}}}};
             s.at(0, 0) = note;
         }, 0, 0, {49, 1, 0, 0x2, 8}},
        {"pitch envelope, next row: the rest of the way", [&](Song& s) {
             s.src.pitch_envelopes = {{{{0, 0}, {6, -300}}}};
             s.at(0, 0) = note;
         }, 1, 0, {0, 0, 0, 0x2, 12}},
        {"pitch envelope at speed 1: no tick to slide on", [&](Song& s) {
             s.src.pitch_envelopes = {{{{0, 0}, {6, -300}}}};
             s.src.speed = s.m.speed = 1, s.at(0, 0) = note;
         }, 0, 0, {49, 1, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Song s;
        c.build(s);
        PlaybackReport r = follow_playback(s.m, s.src);
        EXPECT_EQ(fields(s.at(c.row, c.channel)), c.want);
        EXPECT_EQ(r.unplaced, c.unplaced);
    }
}

TEST(PlaybackTest, PatternsPlayedInAnotherStateGetCopies)
{
    struct Case { int limit; bool quieter; std::vector<uint8_t> orders; size_t patterns; int shared; };
    const Case cases[] = {{3, false, {0, 0, 0}, 1, 0}, {3, true, {0, 1, 2}, 3, 0}, {2, true, {0, 1, 0}, 2, 1}};
    for (const Case& c : cases) {
        Song s;
        s.m.orders = {0, 0, 0};
        s.src.max_patterns = c.limit;
        s.at(0, 0) = {49, 1, 0, 0, 0};
        s.at(5, 1).effect = 0xD;  // on to the next order position
        if (c.quieter) s.extra(4, 0).channel_slide = 0x01;  // the note starts quieter each time through
        PlaybackReport r = follow_playback(s.m, s.src);
        EXPECT_EQ(s.m.orders, c.orders);
        EXPECT_EQ(s.m.patterns.size(), c.patterns);
        EXPECT_EQ(r.shared, c.shared);
    }
}

TEST(PlaybackTest, SpeedPairs)
{
    struct Case { int speed, tempo, slide; SpeedPair want; double late; };
    const Case cases[] = {
        {6, 125, 0, {6, 125, 0}, 0},
        {32, 125, 0, {16, 125, 1}, 0},
        {255, 145, 0, {17, 145, 14}, 0},
        {41, 125, 0, {21, 128, 1}, 0.0004},
        {3, 125, 10, {3, 135, 0}, -0.0002},  // ticks at 125, 135, 145
    };
    for (const Case& c : cases) {
        double late = 0;
        SpeedPair p = xm_speed_pair(c.speed, c.tempo, c.slide, true, late);
        EXPECT_EQ(std::make_tuple(p.speed, p.bpm, p.repeats), std::make_tuple(c.want.speed, c.want.bpm, c.want.repeats))
            << c.speed << " " << c.tempo;
        EXPECT_NEAR(late, c.late, 0.0002);
    }
}

} // namespace
