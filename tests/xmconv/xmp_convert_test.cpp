// The conversion of libxmp's module record, fed with small modules built in memory: order list
// markers, missing patterns, limits XM cannot hold, instruments with key maps and envelopes, a
// MOD's effects as the file has them.
#include <gtest/gtest.h>

#include <xmp.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "xmconv/xmp_convert.h"

using namespace xmconv;

namespace {

// An xmp_module with its patterns, tracks, instruments and samples held in zeroed blocks.
class ModuleBuilder {
public:
    ModuleBuilder(int channels, std::vector<int> pattern_rows)
    {
        std::memset(&mod, 0, sizeof mod);
        mod.chn = channels;
        mod.pat = int(pattern_rows.size());
        mod.trk = mod.pat * channels;
        mod.spd = 6;
        mod.bpm = 125;
        for (int rows : pattern_rows) {
            auto* pat = static_cast<xmp_pattern*>(block(sizeof(xmp_pattern) + sizeof(int) * size_t(channels)));
            pat->rows = rows;
            patterns.push_back(pat);
            for (int c = 0; c < channels; ++c) {
                pat->index[c] = int(tracks.size());
                tracks.push_back(static_cast<xmp_track*>(block(sizeof(xmp_track) + sizeof(xmp_event) * size_t(rows))));
                tracks.back()->rows = rows;
            }
        }
        mod.xxp = patterns.data();
        mod.xxt = tracks.data();
        orders({0});
    }
    void* block(size_t n) { return blocks.emplace_back(n, 0).data(); }
    void orders(std::vector<int> list)
    {
        mod.len = int(list.size());
        for (size_t i = 0; i < list.size(); ++i) mod.xxo[i] = uint8_t(list[i]);
    }
    xmp_event& at(int p, int r, int c) { return mod.xxt[mod.xxp[p]->index[c]]->event[r]; }
    // n instruments and n samples.
    void instruments(int n)
    {
        mod.ins = mod.smp = n;
        mod.xxi = static_cast<xmp_instrument*>(block(sizeof(xmp_instrument) * size_t(n)));
        mod.xxs = static_cast<xmp_sample*>(block(sizeof(xmp_sample) * size_t(n)));
    }
    xmp_subinstrument* subs(int i, int n)
    {
        mod.xxi[i].nsm = n;
        return mod.xxi[i].sub = static_cast<xmp_subinstrument*>(block(sizeof(xmp_subinstrument) * size_t(n)));
    }
    void sample_data(int s, std::vector<int16_t> frames, bool wide)
    {
        auto* b = static_cast<uint8_t*>(block(frames.size() * 2 + 8));
        for (size_t i = 0; i < frames.size(); ++i) {
            if (wide) std::memcpy(b + i * 2, &frames[i], 2);
            else b[i] = uint8_t(int8_t(frames[i]));
        }
        mod.xxs[s].data = b;
        mod.xxs[s].len = int(frames.size());
        mod.xxs[s].flg = wide ? XMP_SAMPLE_16BIT : 0;
    }

    xmp_module mod;
    std::vector<std::vector<unsigned char>> blocks;
    std::vector<xmp_pattern*> patterns;
    std::vector<xmp_track*> tracks;
};

class XmpConvertTest : public ::testing::Test {
protected:
    bool run(const ModuleBuilder& b, const char* loader = "Impulse Tracker")
    {
        return convert_module(b.mod, describe_source(loader, {}, 64), out, report, error);
    }
    XmModule out;
    ConvertReport report;
    std::string error;
};

TEST_F(XmpConvertTest, OrderMarkersAreLeftOutAndMissingPatternsPlayEmpty)
{
    ModuleBuilder b(4, {64, 32});
    b.orders({0, 0xFE, 3, 1, 0xFF, 0});
    b.mod.rst = 3;
    b.at(1, 31, 2).note = 61;
    b.at(0, 5, 0).fxt = fx::jump;  // to the third entry, the second once "+++" is left out
    b.at(0, 5, 0).fxp = 2;
    ASSERT_TRUE(run(b)) << error;
    EXPECT_EQ(out.orders, (std::vector<uint8_t>{0, 3, 1}));
    EXPECT_EQ(out.restart, 2);
    EXPECT_EQ(out.patterns[0].cells[5 * 4].param, 1);
    ASSERT_EQ(out.patterns.size(), 4u);
    EXPECT_EQ(out.patterns[1].rows, 32);
    EXPECT_EQ(out.patterns[1].cells[31 * 4 + 2].note, 49);
    EXPECT_EQ(out.patterns[2].rows, 64);
    EXPECT_EQ(out.patterns[3].rows, 64);

    b.orders({0xFF, 0});
    EXPECT_FALSE(run(b));
    EXPECT_EQ(error, "the module has no pattern in its order list");
}

TEST_F(XmpConvertTest, ChannelAndRowLimits)
{
    ModuleBuilder odd(3, {64});
    ASSERT_TRUE(run(odd)) << error;
    EXPECT_EQ(out.channels, 4);  // FT2 plays even channel counts only

    // 40 channels of which 20 hold anything: the unused ones are left out.
    ModuleBuilder wide(40, {16});
    wide.at(0, 5, 19).note = 50;
    ASSERT_TRUE(run(wide)) << error;
    EXPECT_EQ(out.channels, 20);
    EXPECT_EQ(out.patterns[0].cells[5 * 20 + 19].note, 38);
    wide.at(0, 0, 33).fxt = 0x0B;
    EXPECT_FALSE(run(wide));
    EXPECT_EQ(error, "the module uses 34 channels, XM allows at most 32");

    EXPECT_FALSE(run(ModuleBuilder(2, {64, 300})));
    EXPECT_EQ(error, "pattern 1 has 300 rows, XM allows at most 256");

    // IT notes that ring on under the next one (NNA continue) move the next to a free channel, up
    // to 32; past that the longest ringing note gives its channel up, and the summary counts it.
    // A sample that has ended by the next note needs no channel.
    ModuleBuilder ring(3, {64});
    ring.instruments(1);
    ring.mod.xxi[0].vol = 64;
    xmp_subinstrument* sub = ring.subs(0, 1);
    sub->vol = 64, sub->gvl = 64, sub->pan = -1, sub->nna = XMP_INST_NNA_CONT;
    for (int r = 0; r < 40; ++r) ring.at(0, r, 0) = {50, 1, 0, 0, 0, 0, 0, 0};
    ring.sample_data(0, std::vector<int16_t>(100000, 50), false);
    ASSERT_TRUE(run(ring)) << error;
    EXPECT_EQ(out.channels, 32);
    EXPECT_EQ(out.patterns[0].cells[1 * 32 + 4].note, 38);
    EXPECT_EQ(report.summary(), "11 things XM cannot hold left out (11 x new note action (NNA) without a free channel)");
    ring.sample_data(0, {50, 50, 50}, false);
    ASSERT_TRUE(run(ring)) << error;
    EXPECT_EQ(out.channels, 4);
}

TEST_F(XmpConvertTest, InstrumentsKeepTheirKeyMapsSamplesAndEnvelopes)
{
    ModuleBuilder b(2, {64});
    b.instruments(2);
    xmp_instrument& in = b.mod.xxi[0];
    std::strcpy(in.name, "multi");
    in.vol = 64;
    xmp_subinstrument* sub = b.subs(0, 2);
    sub[0].vol = 32, sub[0].gvl = 64, sub[0].pan = -1, sub[0].xpo = -2, sub[0].fin = 50;  // volume, global, no pan, transposed; FT2 tunes in eighths: 48
    sub[1] = sub[0];
    sub[1].pan = 0x40, sub[1].sid = 1;
    // Notes below XM's C-4 play sample 0; from C-4 on sample 1; from C-6 on sample 0 an octave up.
    for (int key = 0; key < XMP_MAX_KEYS; ++key) in.map[key] = {uint8_t(key >= 60 && key < 84), int8_t(key >= 84 ? 12 : 0)};
    in.rls = 1024;
    in.aei.flg = XMP_ENVELOPE_ON | XMP_ENVELOPE_SUS | XMP_ENVELOPE_LOOP;
    in.aei.npt = 14;
    for (int i = 0; i < 28; ++i) in.aei.data[i] = short(i % 2 ? 64 - i / 2 * 4 : i / 2 * 4);
    in.aei.sus = 3;
    in.aei.lps = 2;
    in.aei.lpe = 13;  // past the 12 points XM keeps: the loop is left out
    in.fei.npt = 3;   // a pitch envelope switched off is nothing lost
    b.sample_data(0, {1, -2, 3, -4}, false);
    b.mod.xxs[0].flg |= XMP_SAMPLE_LOOP | XMP_SAMPLE_LOOP_BIDIR;
    b.mod.xxs[0].lps = 1;
    b.mod.xxs[0].lpe = 4;
    std::vector<int16_t> sine(1000);
    for (size_t i = 0; i < sine.size(); ++i) sine[i] = int16_t(std::lround(10000 * std::sin(2 * M_PI * double(i) / 100)));
    b.sample_data(1, sine, true);
    b.mod.xxs[1].flg |= XMP_SAMPLE_LOOP, b.mod.xxs[1].lps = 100, b.mod.xxs[1].lpe = 1000;
    // The second: fadeout but no volume envelope; sample and instrument global volume a quarter.
    xmp_subinstrument* second = b.subs(1, 1);
    second->vol = 64, second->gvl = 32, second->sid = 1;
    b.mod.xxi[1].vol = 32;
    b.mod.xxi[1].rls = 256;
    b.mod.xxi[1].fei.flg = XMP_ENVELOPE_ON | XMP_ENVELOPE_FLT, b.mod.xxi[1].fei.npt = 2;

    ASSERT_TRUE(run(b)) << error;
    ASSERT_EQ(out.instruments.size(), 2u);
    const XmInstrument& x = out.instruments[0];
    EXPECT_EQ(x.name, "multi");
    ASSERT_EQ(x.samples.size(), 3u);
    EXPECT_EQ(std::vector<int>(x.note_map.begin() + 47, x.note_map.begin() + 50), (std::vector<int>{0, 1, 1}));  // B-3, C-4
    EXPECT_EQ(x.note_map[72], 2);  // C-6
    // 16-bit, loop type, start, length, volume, panning (none: centre), finetune, transposition.
    auto sample = [&](size_t i) {
        const XmSample& s = x.samples[i];
        return std::vector<int>{s.is_16bit, s.loop_type, int(s.loop_start), int(s.loop_length), s.volume,
                                s.panning, s.finetune, s.relative_note};
    };
    EXPECT_EQ(sample(0), (std::vector<int>{0, xm_loop_pingpong, 1, 3, 32, 128, 48, -2}));
    EXPECT_EQ(sample(1), (std::vector<int>{1, xm_loop_forward, 100, 3597, 32, 0x40, 48, -2}));
    EXPECT_EQ(sample(2), (std::vector<int>{0, xm_loop_pingpong, 1, 3, 32, 128, 48, 10}));
    EXPECT_EQ(x.samples[0].frames, (std::vector<int16_t>{1, -2, 3, -4}));
    EXPECT_EQ(x.samples[2].frames, x.samples[0].frames);
    auto env = [](const XmInstrument& i) { return std::vector<int>{i.volume_envelope.count, i.volume_envelope.flags, i.volume_envelope.sustain, i.fadeout}; };
    EXPECT_EQ(env(x), (std::vector<int>{12, xm_env_on | xm_env_sustain, 3, 512}));
    // A ping-pong loop of 3 frames keeps its tuning residual (of sample 1, played twice), named.
    EXPECT_EQ(report.notes, (std::vector<std::string>{"envelopes cut to their first 12 points",
                                                      "tuning residual kept (no whole number of loop frames fits): sample 1 \"\" 1.6 cents"}));
    EXPECT_EQ(report.summary(), "1 thing XM cannot hold left out (1 x filter envelope)");
    // An IT note-off fades a note without envelope; XM gets a held flat envelope for that.
    EXPECT_EQ(env(out.instruments[1]), (std::vector<int>{1, xm_env_on | xm_env_sustain, 0, 128}));
    EXPECT_EQ(out.instruments[1].samples[0].volume, 16);
    // The 2/128 semitone that FT2's steps leave out of the first's tuning go into its frames
    // (the second plays them as they are): its loop of 900 frames four times, 3600 frames as 3597.
    const std::vector<int16_t>& tuned = x.samples[1].frames;
    EXPECT_EQ(out.instruments[1].samples[0].frames, sine);
    ASSERT_EQ(tuned.size(), 3697u);
    for (size_t j : {100, 500, 900})
        EXPECT_NEAR(tuned[j], 10000 * std::sin(2 * M_PI * double(j) * std::pow(2.0, 2 / 1536.0) / 100), 100) << j;
    EXPECT_TRUE(xm_check(out).empty());
}

TEST_F(XmpConvertTest, SourceFlagsComeFromTheFileHeader)
{
    std::vector<uint8_t> it(0x30, 0);
    std::memcpy(it.data(), "IMPM", 4);
    it[0x2C] = 0x08 | 0x10 | 0x20;  // linear slides, old effects, compatible Gxx
    SourceInfo on = describe_source("Impulse Tracker", it, 64);
    it[0x2C] = 0;
    SourceInfo off = describe_source("Impulse Tracker", it, 64);
    EXPECT_TRUE(on.linear_frequencies && !on.style.half_vibrato && !on.style.shared_porta_memory);
    EXPECT_TRUE(!off.linear_frequencies && off.style.half_vibrato && off.style.shared_porta_memory);
}

// A Protracker MOD's own effects replace libxmp's reading of them, which leaves out the ones that
// do nothing in Protracker (200, A00, 8xx ...), so that the XM reads as the MOD does.
TEST_F(XmpConvertTest, ModEffectsAreTakenAsTheFileHasThem)
{
    ModuleBuilder b(4, {64});
    std::vector<uint8_t> file(1084 + 64 * 4 * 4, 0);
    std::memcpy(&file[1080], "M.K.", 4);
    auto cell = [&](int r, int c, uint8_t b2, uint8_t b3) {
        file[1084 + size_t(r * 4 + c) * 4 + 2] = b2;
        file[1084 + size_t(r * 4 + c) * 4 + 3] = b3;
    };
    cell(5, 1, 0x12, 0x00);  // instrument 1, effect 200
    b.at(0, 5, 1).ins = 1;
    cell(6, 2, 0x08, 0x80);  // 880, which libxmp leaves out
    cell(7, 3, 0x0E, 0x81);  // E81 and E5F stay as the MOD has them
    cell(8, 3, 0x0E, 0x5F);
    SourceInfo info = describe_source("Amiga Protracker/Compatible", file, 64);
    read_mod_effects(file, b.mod, info);
    ASSERT_EQ(info.mod_effects.size(), 64u * 4 * 2);
    ASSERT_TRUE(convert_module(b.mod, info, out, report, error)) << error;
    auto fx = [&](int r, int c) {
        const XmCell& x = out.patterns[0].cells[size_t(r * 4 + c)];
        return std::vector<int>{x.instrument, x.effect, x.param};
    };
    EXPECT_EQ(fx(5, 1), (std::vector<int>{1, 2, 0}));
    EXPECT_EQ(fx(6, 2), (std::vector<int>{0, 8, 0x80}));
    EXPECT_EQ(fx(7, 3), (std::vector<int>{0, 0xE, 0x81}));
    EXPECT_EQ(fx(8, 3), (std::vector<int>{0, 0xE, 0x5F}));
    EXPECT_EQ(report.drops.total, 0);

    // Instruments that disagree with libxmp's, another tag or another loader: left alone.
    b.at(0, 5, 1).ins = 2;
    read_mod_effects(file, b.mod, info);
    EXPECT_TRUE(info.mod_effects.empty());
    b.at(0, 5, 1).ins = 1;
    std::memcpy(&file[1080], "6CHN", 4);
    read_mod_effects(file, b.mod, info);
    EXPECT_TRUE(info.mod_effects.empty());
    // Every tag names its channel count: the effects are read where it is the module's.
    for (auto [tag, channels] : {std::pair{"OCTA", 8}, {"CD81", 8}, {"6CHN", 6}, {"16CH", 16}, {"12CN", 12}}) {
        ModuleBuilder m(channels, {64});
        std::vector<uint8_t> f(1084 + 64 * 4 * size_t(channels), 0);
        std::memcpy(&f[1080], tag, 4);
        SourceInfo i = describe_source("Amiga Protracker/Compatible", f, 64);
        read_mod_effects(f, m.mod, i);
        EXPECT_EQ(i.mod_effects.size(), 64u * 2 * size_t(channels)) << tag;
    }
    std::memcpy(&file[1080], "M.K.", 4);
    info = describe_source("Scream Tracker 3", file, 64);
    read_mod_effects(file, b.mod, info);
    EXPECT_TRUE(info.mod_effects.empty());
}

} // namespace
