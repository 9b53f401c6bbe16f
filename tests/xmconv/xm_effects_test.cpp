// The effect mapping: each source family's parameters read the way its tracker reads them, the
// volume column used where XM has the command, and what XM lacks counted.
#include <gtest/gtest.h>

#include "xmconv/xm_effects.h"

using namespace xmconv;

namespace {

class XmEffectsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        s3m.fine_in_param = s3m.slide_down_first = s3m.tremor_plain = true;
        it.fine_in_param = it.it_panning = it.half_vibrato = it.tremor_plain = true;
        it.global_volume_base = 128;
    }
    XmCell fx(const EffectStyle& st, uint8_t t, uint8_t p)
    {
        SourceEvent e;
        e.fxt = t;
        e.fxp = p;
        return translate_cell(e, st, drops);
    }
    static std::pair<int, int> e(const XmCell& c) { return {c.effect, c.param}; }
    EffectStyle s3m, it, xm;  // xm: FastTracker 2 and MOD parameters pass unchanged
    DropCounts drops;
};

TEST_F(XmEffectsTest, ScreamTrackerFineSlidesBecomeXmsFineCommands)
{
    EXPECT_EQ(e(fx(s3m, fx::volslide, 0xF3)), std::make_pair(0xE, 0xB3));   // DF3: fine down
    EXPECT_EQ(e(fx(s3m, fx::volslide, 0x4F)), std::make_pair(0xE, 0xA4));   // D4F: fine up
    EXPECT_EQ(e(fx(s3m, fx::volslide, 0xFF)), std::make_pair(0xE, 0xAF));   // DFF slides up
    EXPECT_EQ(e(fx(s3m, fx::volslide, 0x23)), std::make_pair(0xA, 0x03));   // S3M: down wins
    EXPECT_EQ(e(fx(it, fx::volslide, 0x23)), std::make_pair(0xA, 0x20));    // IT: up wins
    EXPECT_EQ(e(fx(xm, fx::volslide, 0xF3)), std::make_pair(0xA, 0xF3));    // XM's own A: as is
    EXPECT_EQ(e(fx(s3m, fx::porta_dn, 0xF2)), std::make_pair(0xE, 0x22));   // EF2: fine down
    EXPECT_EQ(e(fx(s3m, fx::porta_up, 0xE2)), std::make_pair(0x21, 0x12));  // FE2: extra fine up
    EXPECT_EQ(e(fx(s3m, fx::porta_up, 0x20)), std::make_pair(0x1, 0x20));
    EXPECT_EQ(drops.total, 0);
}

TEST_F(XmEffectsTest, ParametersOnOtherScalesAreConverted)
{
    EXPECT_EQ(e(fx(it, fx::globalvol, 0x80)), std::make_pair(0x10, 0x40));  // V80 is full
    EXPECT_EQ(e(fx(s3m, fx::globalvol, 0x20)), std::make_pair(0x10, 0x20));
    EXPECT_EQ(e(fx(it, fx::it_break, 32)), std::make_pair(0xD, 0x32));      // hex row, decimal digits
    EXPECT_EQ(e(fx(it, fx::it_break, 159)), std::make_pair(0xD, 0xF9));
    EXPECT_EQ(e(fx(s3m, fx::s3m_speed, 0x40)), std::make_pair(0xF, 0x1F));  // speed stays a speed
    EXPECT_EQ(e(fx(it, fx::it_bpm, 0x90)), std::make_pair(0xF, 0x90));
    EXPECT_EQ(e(fx(it, fx::vibrato, 0x48)), std::make_pair(0x4, 0x44));     // IT vibrato: half depth
    EXPECT_EQ(e(fx(s3m, fx::vibrato, 0x48)), std::make_pair(0x4, 0x48));
    EXPECT_EQ(e(fx(s3m, fx::fine_vibrato, 0x48)), std::make_pair(0x4, 0x42));
    EXPECT_EQ(e(fx(it, fx::it_panslide, 0x04)), std::make_pair(0x19, 0x40)); // IT right = XM x0
    EXPECT_EQ(e(fx(it, fx::tremor, 0x32)), std::make_pair(0x1D, 0x21));     // XM adds a tick
    EXPECT_EQ(e(fx(xm, fx::tremor, 0x32)), std::make_pair(0x1D, 0x32));
    EXPECT_EQ(e(fx(s3m, fx::extended, 0x83)), std::make_pair(0x8, 0x33));   // S8x: panning 8xx
    EXPECT_EQ(e(fx(s3m, fx::extended, 0x5E)), std::make_pair(0xE, 0x56));   // finetune -2
    EXPECT_EQ(drops.total, 0);
}

TEST_F(XmEffectsTest, NotesAndTheVolumeColumn)
{
    SourceEvent ev;
    ev.note = 61;  // libxmp's C-5 is XM's C-4
    ev.ins = 3;
    ev.vol = 33;
    XmCell c = translate_cell(ev, it, drops);
    EXPECT_EQ(c.note, 49);
    EXPECT_EQ(c.instrument, 3);
    EXPECT_EQ(c.volume, 0x10 + 32);

    ev = SourceEvent();
    ev.note = source_key_fade;
    EXPECT_EQ(translate_cell(ev, it, drops).note, xm_key_off);

    // A note cut has no XM note: EC0, or volume 0 when the effect column is needed otherwise.
    ev = SourceEvent();
    ev.note = source_key_cut;
    EXPECT_EQ(e(translate_cell(ev, it, drops)), std::make_pair(0xE, 0xC0));
    ev.fxt = fx::jump;
    ev.fxp = 2;
    c = translate_cell(ev, it, drops);
    EXPECT_EQ(e(c), std::make_pair(0xB, 0x02));
    EXPECT_EQ(c.volume, 0x10);
    ev.vol = 10;  // with the volume column taken as well, the cut is lost and counted
    c = translate_cell(ev, it, drops);
    EXPECT_EQ(e(c), std::make_pair(0xB, 0x02));
    EXPECT_EQ(c.volume, 0x10 + 9);
    EXPECT_EQ(drops.by_kind["note cut"], 1);

    // Volume column commands of the source go back into XM's volume column.
    ev = SourceEvent();
    ev.f2t = fx::vslide_dn_2;
    ev.f2p = 3;
    ev.fxt = fx::offset;
    ev.fxp = 0x10;
    c = translate_cell(ev, it, drops);
    EXPECT_EQ(c.volume, 0x63);
    EXPECT_EQ(e(c), std::make_pair(0x9, 0x10));
    ev.f2t = fx::setpan;
    ev.f2p = 0x80;
    EXPECT_EQ(translate_cell(ev, it, drops).volume, 0xC8);

    // IT Kxy with a fine slide: vibrato in the effect column, the slide in the volume column.
    c = fx(it, fx::vibra_vslide, 0xF2);
    EXPECT_EQ(e(c), std::make_pair(0x4, 0x00));
    EXPECT_EQ(c.volume, 0x82);

    // Notes XM cannot play are left out and counted.
    ev = SourceEvent();
    ev.note = 120;
    EXPECT_EQ(translate_cell(ev, it, drops).note, 0);
    EXPECT_EQ(drops.by_kind["note outside XM's range C-0..B-7"], 1);
}

TEST_F(XmEffectsTest, WhatXmLacksIsCountedByKind)
{
    EXPECT_TRUE(fx(it, fx::trk_vol, 0x20).empty());
    EXPECT_TRUE(fx(it, fx::trk_vol, 0x30).empty());
    EXPECT_TRUE(fx(it, fx::surround, 1).empty());
    EXPECT_TRUE(fx(it, fx::it_bpm, 0x05).empty());      // tempo slide
    EXPECT_TRUE(fx(it, fx::it_panslide, 0xF2).empty());  // fine panning slide
    EXPECT_TRUE(fx(it, 0x70, 0x12).empty());             // an Oktalyzer arpeggio
    EXPECT_EQ(drops.total, 6);
    EXPECT_EQ(drops.summary(),
              "6 effects without an XM equivalent dropped (2 x channel volume (Mxx), 1 x effect 0x70 of "
              "the source format, 1 x fine panning slide, 1 x surround (S9x/XA4), 1 x tempo slide (T0x/T1x))");
    EXPECT_EQ(DropCounts().summary(), "");
}

} // namespace
