// The effect mapping: each source family's parameters read the way its tracker reads them, the
// volume column used where XM has the command, and what XM lacks counted.
#include <gtest/gtest.h>

#include <tuple>

#include "xmconv/xm_effects.h"

using namespace xmconv;

namespace {

TEST(XmEffectsTest, CellsTranslateAsTheirTrackerPlaysThem)
{
    EffectStyle s3m, it, xm;  // xm: FastTracker 2 and MOD parameters pass unchanged
    s3m.fine_in_param = s3m.slide_down_first = s3m.tremor_plain = s3m.fifteen_step_pans = true;
    it.fine_in_param = it.it_panning = it.half_vibrato = it.tremor_plain = it.both_nibbles_ignored = true;
    it.global_volume_base = 128;
    struct Case { const char* what; const EffectStyle& style; SourceEvent in; XmCell want; };
    // SourceEvent: note, ins, vol, fxt, fxp, f2t, f2p; XmCell: note, instrument, volume, effect, param.
    const Case cases[] = {
        {"S3M DF3: fine down", s3m, {0, 0, 0, fx::volslide, 0xF3}, {0, 0, 0, 0xE, 0xB3}},
        {"S3M D4F: fine up", s3m, {0, 0, 0, fx::volslide, 0x4F}, {0, 0, 0, 0xE, 0xA4}},
        {"S3M DFF slides up", s3m, {0, 0, 0, fx::volslide, 0xFF}, {0, 0, 0, 0xE, 0xAF}},
        {"S3M D23: down wins", s3m, {0, 0, 0, fx::volslide, 0x23}, {0, 0, 0, 0xA, 0x03}},
        {"IT D23: ignored", it, {0, 0, 0, fx::volslide, 0x23}, {}},
        {"IT K23: vibrato goes on", it, {0, 0, 0, fx::vibra_vslide, 0x23}, {0, 0, 0, 0x4, 0}},
        {"XM's own AF3", xm, {0, 0, 0, fx::volslide, 0xF3}, {0, 0, 0, 0xA, 0xF3}},
        {"EF2: fine down", s3m, {0, 0, 0, fx::porta_dn, 0xF2}, {0, 0, 0, 0xE, 0x22}},
        {"FE2: extra fine up", s3m, {0, 0, 0, fx::porta_up, 0xE2}, {0, 0, 0, 0x21, 0x12}},
        {"F20", s3m, {0, 0, 0, fx::porta_up, 0x20}, {0, 0, 0, 0x1, 0x20}},
        {"IT V80 is full", it, {0, 0, 0, fx::globalvol, 0x80}, {0, 0, 0, 0x10, 0x40}},
        {"S3M V20", s3m, {0, 0, 0, fx::globalvol, 0x20}, {0, 0, 0, 0x10, 0x20}},
        {"break: hex row, decimal digits", it, {0, 0, 0, fx::it_break, 32}, {0, 0, 0, 0xD, 0x32}},
        {"break 159", it, {0, 0, 0, fx::it_break, 159}, {0, 0, 0, 0xD, 0xF9}},
        {"speed 31", s3m, {0, 0, 0, fx::s3m_speed, 0x1F}, {0, 0, 0, 0xF, 0x1F}},
        {"speed 32: the walk's", s3m, {0, 0, 0, fx::s3m_speed, 0x20}, {}},
        {"IT T90", it, {0, 0, 0, fx::it_bpm, 0x90}, {0, 0, 0, 0xF, 0x90}},
        {"IT vibrato: half depth", it, {0, 0, 0, fx::vibrato, 0x48}, {0, 0, 0, 0x4, 0x44}},
        {"S3M vibrato", s3m, {0, 0, 0, fx::vibrato, 0x48}, {0, 0, 0, 0x4, 0x48}},
        {"fine vibrato", s3m, {0, 0, 0, fx::fine_vibrato, 0x48}, {0, 0, 0, 0x4, 0x42}},
        {"IT right is XM x0", it, {0, 0, 0, fx::it_panslide, 0x04}, {0, 0, 0, 0x19, 0x40}},
        {"IT tremor: XM adds a tick", it, {0, 0, 0, fx::tremor, 0x32}, {0, 0, 0, 0x1D, 0x21}},
        {"XM tremor", xm, {0, 0, 0, fx::tremor, 0x32}, {0, 0, 0, 0x1D, 0x32}},
        {"S8x: panning 8xx", s3m, {0, 0, 0, fx::extended, 0x83}, {0, 0, 0, 0x8, 0x33}},
        {"S3M S8F: hard right", s3m, {0, 0, 0, fx::setpan, 0xF0}, {0, 0, 0, 0x8, 0xFF}},
        {"S5E: finetune -2", s3m, {0, 0, 0, fx::extended, 0x5E}, {0, 0, 0, 0xE, 0x56}},
        {"libxmp's C-5 is XM's C-4", it, {61, 3, 33}, {49, 3, 0x10 + 32, 0, 0}},
        {"fade is key off", it, {source_key_fade}, {xm_key_off, 0, 0, 0, 0}},
        {"note cut: EC0", it, {source_key_cut}, {0, 0, 0, 0xE, 0xC0}},
        {"note cut: volume 0", it, {source_key_cut, 0, 0, fx::jump, 2}, {0, 0, 0x10, 0xB, 0x02}},
        {"note cut lost", it, {source_key_cut, 0, 10, fx::jump, 2}, {0, 0, 0x10 + 9, 0xB, 0x02}},
        {"volume column slide", it, {0, 0, 0, fx::offset, 0x10, fx::vslide_dn_2, 3}, {0, 0, 0x63, 0x9, 0x10}},
        {"volume column panning", it, {0, 0, 0, fx::offset, 0x10, fx::setpan, 0x80}, {0, 0, 0xC8, 0x9, 0x10}},
        {"IT Kxy fine: slide in the volume column", it, {0, 0, 0, fx::vibra_vslide, 0xF2}, {0, 0, 0x82, 0x4, 0}},
        {"note XM cannot play", it, {120}, {}},
        {"channel volume: the walk's", it, {0, 0, 0, fx::trk_vol, 0x20}, {}},
        {"surround", it, {0, 0, 0, fx::surround, 1}, {}},
        {"tempo slide: the walk's", it, {0, 0, 0, fx::it_bpm, 0x05}, {}},
        {"fine panning slide", it, {0, 0, 0, fx::it_panslide, 0xF2}, {}},
        {"Oktalyzer arpeggio", it, {0, 0, 0, 0x70, 0x12}, {}},
    };
    auto fields = [](const XmCell& c) { return std::make_tuple(c.note, c.instrument, c.volume, c.effect, c.param); };
    DropCounts drops;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(fields(translate_cell(c.in, c.style, drops)), fields(c.want));
    }
    EXPECT_EQ(drops.summary(),
              "5 effects without an XM equivalent dropped (1 x effect 0x70 of the source format, 1 x fine "
              "panning slide, 1 x note cut, 1 x note outside XM's range C-0..B-7, 1 x surround (S9x/XA4))");
    EXPECT_EQ(DropCounts().summary(), "");
}

} // namespace
