// Effect mapping from libxmp's effect numbers to XM's effect and volume columns.
//
// XM effect letters used: 0 arpeggio, 1/2 portamento, 3 tone portamento, 4 vibrato, 5/6 the
// combined slides, 7 tremolo, 8 panning, 9 offset, A volume slide, B jump, C volume, D break,
// Exy extended, F speed/BPM, G/H global volume, K key off, L envelope position, P panning slide,
// R multi retrig, T tremor, X1x/X2x extra fine portamento.
// Volume column: 10-50 volume, 6x/7x slide down/up, 8x/9x fine down/up, Ax vibrato speed,
// Bx vibrato depth, Cx panning, Dx/Ex panning slide left/right, Fx tone portamento.
#include "xmconv/xm_effects.h"

#include <algorithm>

namespace xmconv {

namespace {

enum XmFx : uint8_t {
    xm_arpeggio = 0x0, xm_porta_up = 0x1, xm_porta_dn = 0x2, xm_toneporta = 0x3, xm_vibrato = 0x4,
    xm_tone_vslide = 0x5, xm_vibra_vslide = 0x6, xm_tremolo = 0x7, xm_setpan = 0x8,
    xm_offset = 0x9, xm_volslide = 0xA, xm_jump = 0xB, xm_volume = 0xC, xm_break = 0xD,
    xm_extended = 0xE, xm_speed = 0xF, xm_globalvol = 0x10, xm_gvol_slide = 0x11,
    xm_keyoff = 0x14, xm_envpos = 0x15, xm_panslide = 0x19, xm_retrig = 0x1B, xm_tremor = 0x1D,
    xm_xf_porta = 0x21,
};

// One thing a source effect asks for, with the places XM can hold it.
struct Part {
    const char* kind = "";
    bool has_e = false;
    uint8_t e = 0, p = 0;
    bool has_v = false;
    uint8_t v = 0;
    bool prefer_v = false;
    bool done = false;
};

struct Parts {
    Part list[6];  // a note cut and at most two parts for each of the two effects
    int n = 0;
    Part& add(const char* kind)
    {
        list[n] = Part();
        list[n].kind = kind;
        return list[n++];
    }
};

Part& effect(Parts& out, const char* kind, uint8_t e, uint8_t p)
{
    Part& part = out.add(kind);
    part.has_e = true;
    part.e = e;
    part.p = p;
    return part;
}

void volume_column(Part& part, uint8_t v)
{
    part.has_v = true;
    part.v = v;
}

uint8_t hi(uint8_t v) { return uint8_t(v >> 4); }
uint8_t lo(uint8_t v) { return uint8_t(v & 0x0F); }
uint8_t clamp15(int v) { return uint8_t(std::clamp(v, 0, 15)); }

int scale(int v, int base, int full)
{
    if (base <= 0) return std::min(v, full);
    return std::clamp((v * full + base / 2) / base, 0, full);
}

// A volume slide "up by `up`" or "down by `down`", coarse or fine.
void volume_slide(Parts& out, const char* kind, int up, int down, bool fine)
{
    if (fine) {
        if (up) volume_column(effect(out, kind, xm_extended, uint8_t(0xA0 | clamp15(up))), uint8_t(0x90 | clamp15(up)));
        else volume_column(effect(out, kind, xm_extended, uint8_t(0xB0 | clamp15(down))), uint8_t(0x80 | clamp15(down)));
        return;
    }
    if (up) volume_column(effect(out, kind, xm_volslide, uint8_t(clamp15(up) << 4)), uint8_t(0x70 | clamp15(up)));
    else if (down) volume_column(effect(out, kind, xm_volslide, clamp15(down)), uint8_t(0x60 | clamp15(down)));
    else effect(out, kind, xm_volslide, 0);  // continue with the remembered slide
}

// Volume slide parameter `p` read as the source format reads it.
void source_volume_slide(Parts& out, uint8_t p, const EffectStyle& st)
{
    uint8_t h = hi(p), l = lo(p);
    if (!st.fine_in_param) {
        Part& part = effect(out, "volume slide", xm_volslide, p);
        if (h == 0 && l) volume_column(part, uint8_t(0x60 | l));
        else if (l == 0 && h) volume_column(part, uint8_t(0x70 | h));
        return;
    }
    if (l == 0xF && h) volume_slide(out, "volume slide", h, 0, true);
    else if (h == 0xF && l) volume_slide(out, "volume slide", 0, l, true);
    else if (h && l) {
        if (st.both_nibbles_ignored) return;
        if (st.slide_down_first) volume_slide(out, "volume slide", 0, l, false);
        else volume_slide(out, "volume slide", h, 0, false);
    } else volume_slide(out, "volume slide", h, l, false);
}

uint8_t vibrato_depth(int depth, int divisor)
{
    if (depth == 0) return 0;
    return uint8_t(std::clamp((depth + divisor / 2) / divisor, 1, 15));
}

void vibrato(Parts& out, uint8_t speed, uint8_t depth, bool secondary)
{
    Part& part = effect(out, "vibrato", xm_vibrato, uint8_t((speed << 4) | depth));
    if (secondary) {
        if (speed && !depth) volume_column(part, uint8_t(0xA0 | speed));
        else if (!speed && depth) volume_column(part, uint8_t(0xB0 | depth));
    }
}

// Panning slide: `right` and `left` speeds.
void panning_slide(Parts& out, uint8_t right, uint8_t left)
{
    Part& part = effect(out, "panning slide", xm_panslide, uint8_t((right << 4) | left));
    if (right && !left) volume_column(part, uint8_t(0xE0 | right));
    else if (left && !right) volume_column(part, uint8_t(0xD0 | left));
}

void extended(Parts& out, uint8_t p, DropCounts& drops)
{
    uint8_t sub = hi(p), v = lo(p);
    switch (sub) {
    case 0x5:  // finetune: libxmp keeps a signed nibble, XM stores it offset by 8
        effect(out, "finetune", xm_extended, uint8_t(0x50 | ((v + 8) & 0xF)));
        break;
    case 0x8:  // panning position, XM's 8xx
        volume_column(effect(out, "panning", xm_setpan, uint8_t(v * 17)), uint8_t(0xC0 | v));
        break;
    case 0xA:
        volume_column(effect(out, "fine volume slide", xm_extended, p), uint8_t(0x90 | v));
        break;
    case 0xB:
        volume_column(effect(out, "fine volume slide", xm_extended, p), uint8_t(0x80 | v));
        break;
    case 0xF:
        drops.add("funk repeat (EFx)");
        break;
    default:
        effect(out, "extended effect", xm_extended, p);
    }
}

void translate_effect(uint8_t t, uint8_t p, bool secondary, const EffectStyle& st, Parts& out,
                      DropCounts& drops)
{
    switch (t) {
    case fx::arpeggio:
        if (p) effect(out, "arpeggio", xm_arpeggio, p);
        return;
    case fx::s3m_arpeggio:
        if (p) effect(out, "arpeggio", xm_arpeggio, p);
        else drops.add("arpeggio repeating the last one (J00)");
        return;
    case fx::porta_up:
    case fx::porta_dn: {
        bool up = t == fx::porta_up;
        if (st.fine_in_param && !secondary && hi(p) == 0xF)
            effect(out, "portamento", xm_extended, uint8_t((up ? 0x10 : 0x20) | lo(p)));
        else if (st.fine_in_param && !secondary && hi(p) == 0xE)
            effect(out, "portamento", xm_xf_porta, uint8_t((up ? 0x10 : 0x20) | lo(p)));
        else
            effect(out, "portamento", up ? xm_porta_up : xm_porta_dn, p);
        return;
    }
    case fx::toneporta: {
        Part& part = effect(out, "tone portamento", xm_toneporta, p);
        if (secondary && lo(p) == 0) volume_column(part, uint8_t(0xF0 | hi(p)));
        return;
    }
    case fx::vibrato:
        vibrato(out, hi(p), st.half_vibrato ? vibrato_depth(lo(p), 2) : lo(p), secondary);
        return;
    case fx::fine_vibrato:
        vibrato(out, hi(p), vibrato_depth(lo(p), st.half_vibrato ? 8 : 4), secondary);
        return;
    case fx::tone_vslide:
    case fx::vibra_vslide: {
        bool tone = t == fx::tone_vslide;
        uint8_t h = hi(p), l = lo(p);
        bool fine = st.fine_in_param && ((l == 0xF && h) || (h == 0xF && l));
        if (fine) {
            effect(out, tone ? "tone portamento" : "vibrato", tone ? xm_toneporta : xm_vibrato, 0);
            volume_slide(out, "fine volume slide beside portamento or vibrato", l == 0xF ? h : 0,
                         l == 0xF ? 0 : l, true);
            out.list[out.n - 1].prefer_v = true;
            return;
        }
        if (st.fine_in_param && h && l && st.both_nibbles_ignored) {
            effect(out, tone ? "tone portamento" : "vibrato", tone ? xm_toneporta : xm_vibrato, 0);
            return;
        }
        if (st.fine_in_param && h && l) p = st.slide_down_first ? l : uint8_t(h << 4);
        effect(out, tone ? "tone portamento with volume slide" : "vibrato with volume slide",
               tone ? xm_tone_vslide : xm_vibra_vslide, p);
        return;
    }
    case fx::tremolo:
        effect(out, "tremolo", xm_tremolo, p);
        return;
    case fx::setpan:
        if (st.fifteen_step_pans && !lo(p)) p = spread_pan(p);
        volume_column(effect(out, "panning", xm_setpan, p), uint8_t(0xC0 | hi(p)));
        return;
    case fx::offset:
        effect(out, "sample offset", xm_offset, p);
        return;
    case fx::volslide:
        source_volume_slide(out, p, st);
        return;
    case fx::volslide_2:
        volume_slide(out, "volume slide", hi(p), hi(p) ? 0 : lo(p), false);
        return;
    case fx::volslide_up:
        volume_slide(out, "volume slide", std::max(1, std::min<int>(p, 15)), 0, false);
        return;
    case fx::volslide_dn:
        volume_slide(out, "volume slide", 0, std::max(1, std::min<int>(p, 15)), false);
        return;
    case fx::vslide_up_2:
        volume_slide(out, "volume slide", p, 0, false);
        return;
    case fx::vslide_dn_2:
        if (p) volume_slide(out, "volume slide", 0, p, false);
        else volume_column(effect(out, "volume slide", xm_volslide, 0), 0x60);
        return;
    case fx::f_vslide_up_2:
    case fx::f_vslide_up:
        volume_slide(out, "fine volume slide", std::max(1, int(clamp15(p))), 0, true);
        if (!p) { out.list[out.n - 1].e = xm_extended; out.list[out.n - 1].p = 0xA0; out.list[out.n - 1].v = 0x90; }
        return;
    case fx::f_vslide_dn_2:
    case fx::f_vslide_dn:
        volume_slide(out, "fine volume slide", 0, std::max(1, int(clamp15(p))), true);
        if (!p) { out.list[out.n - 1].e = xm_extended; out.list[out.n - 1].p = 0xB0; out.list[out.n - 1].v = 0x80; }
        return;
    case fx::f_porta_up:
        effect(out, "fine portamento", xm_extended, uint8_t(0x10 | clamp15(p)));
        return;
    case fx::f_porta_dn:
        effect(out, "fine portamento", xm_extended, uint8_t(0x20 | clamp15(p)));
        return;
    case fx::xf_porta:
        effect(out, "extra fine portamento", xm_xf_porta, p);
        return;
    case fx::jump:
        effect(out, "position jump", xm_jump, p);
        return;
    case fx::volset: {
        uint8_t v = uint8_t(scale(p, st.volume_base, 64));
        volume_column(effect(out, "volume", xm_volume, v), uint8_t(0x10 + v));
        return;
    }
    case fx::pattern_break:
        effect(out, "pattern break", xm_break, p);
        return;
    case fx::it_break:
        // XM reads the break row as two decimal digits, the first of them up to 15.
        if (p <= 159) effect(out, "pattern break", xm_break, uint8_t(((p / 10) << 4) | (p % 10)));
        else drops.add("pattern break to a row above 159");
        return;
    case fx::extended:
        extended(out, p, drops);
        return;
    case fx::speed:
        if (p) effect(out, "speed", xm_speed, p);
        return;
    case fx::s3m_speed:
        // XM's Fxx reads values from 32 up as BPM: the playback walk gives higher speeds an
        // equal speed/BPM pair.
        if (p && p < 32) effect(out, "speed", xm_speed, p);
        return;
    case fx::s3m_bpm:
    case fx::it_bpm:
        if (p >= 0x20) effect(out, "tempo", xm_speed, p);  // tempo slides: the playback walk's
        return;
    case fx::patt_delay:
    case fx::it_rowdelay:
        effect(out, "pattern delay", xm_extended, uint8_t(0xE0 | clamp15(p)));
        return;
    case fx::globalvol:
        effect(out, "global volume", xm_globalvol, uint8_t(scale(p, st.global_volume_base, 64)));
        return;
    case fx::gvol_slide: {
        uint8_t h = hi(p), l = lo(p);
        if (st.fine_in_param && ((l == 0xF && h) || (h == 0xF && l))) {
            drops.add("fine global volume slide");
            return;
        }
        int div = st.global_volume_base > 64 ? 2 : 1;
        if (h && l && st.both_nibbles_ignored) return;
        if (h && l) (st.slide_down_first ? h : l) = 0;
        effect(out, "global volume slide", xm_gvol_slide,
               uint8_t((((h + div - 1) / div) << 4) | ((l + div - 1) / div)));
        return;
    }
    case fx::keyoff:
        effect(out, "key off", xm_keyoff, p);
        return;
    case fx::envpos:
        effect(out, "envelope position", xm_envpos, p);
        return;
    case fx::panslide:
        // The source's own Pxy, read as XM reads it: x slides right, y left.
        effect(out, "panning slide", xm_panslide, p);
        return;
    case fx::pansl_nomem:
        // From a volume column: the low nibble slides right, the high one left.
        panning_slide(out, lo(p), hi(p));
        return;
    case fx::it_panslide: {
        uint8_t h = hi(p), l = lo(p);
        if ((h == 0xF && l) || (l == 0xF && h)) {
            drops.add("fine panning slide");
            return;
        }
        panning_slide(out, l, h);
        return;
    }
    case fx::multi_retrig:
        effect(out, "multi retrig", xm_retrig, p);
        return;
    case fx::tremor:
        if (st.tremor_plain && p)
            p = uint8_t(((std::max(1, int(hi(p))) - 1) << 4) | (std::max(1, int(lo(p))) - 1));
        effect(out, "tremor", xm_tremor, p);
        return;
    case fx::trk_vol:
    case fx::trk_vslide:
    case fx::trk_fvslide: return;  // channel volume: folded into the notes' volumes by the walk
    case fx::it_instfunc: drops.add("new note action control (S7x)"); return;
    case fx::flt_cutoff:
    case fx::flt_resn: drops.add("filter (Zxx)"); return;
    case fx::panbrello:
    case fx::panbrello_wf: drops.add("panbrello (Yxy/S5x)"); return;
    case fx::hioffset: drops.add("high sample offset (SAx)"); return;
    case fx::surround: drops.add("surround (S9x/XA4)"); return;
    case fx::finetune: drops.add("set finetune"); return;
    default: {
        static const char hex[] = "0123456789ABCDEF";
        std::string kind = "effect 0x";
        kind += hex[t >> 4];
        kind += hex[t & 15];
        kind += " of the source format";
        drops.add(kind);
        return;
    }
    }
}

} // namespace

uint8_t spread_pan(int pan) { return uint8_t(std::min(255, ((pan >> 4) * 256 + 8) / 15)); }

std::string DropCounts::summary(const char* one, const char* many, const char* what) const
{
    if (total == 0) return {};
    std::string s = std::to_string(total) + " " + (total == 1 ? one : many) + " " + what + " (";
    bool first = true;
    for (const auto& [kind, n] : by_kind) {
        if (!first) s += ", ";
        s += std::to_string(n) + " x " + kind;
        first = false;
    }
    return s + ")";
}

XmCell translate_cell(const SourceEvent& e, const EffectStyle& style, DropCounts& drops)
{
    XmCell c;
    Parts parts;

    if (e.note >= 13 && e.note <= 108) c.note = uint8_t(e.note - 12);
    else if (e.note == source_key_off || e.note == source_key_fade) c.note = xm_key_off;
    else if (e.note == source_key_cut) {
        Part& cut = effect(parts, "note cut", xm_extended, 0xC0);
        volume_column(cut, 0x10);
    } else if (e.note) drops.add("note outside XM's range C-0..B-7");

    if (e.ins && e.ins <= xm_max_instruments) c.instrument = e.ins;
    else if (e.ins) drops.add("instrument number above 128");

    if (e.vol) c.volume = uint8_t(0x10 + scale(e.vol - 1, style.volume_base, 64));

    int first_secondary = parts.n;
    if (e.f2t || e.f2p) translate_effect(e.f2t, e.f2p, true, style, parts, drops);
    for (int i = first_secondary; i < parts.n; ++i) parts.list[i].prefer_v = true;
    int first_primary = parts.n;
    if (e.fxt || e.fxp) translate_effect(e.fxt, e.fxp, false, style, parts, drops);

    bool e_free = true, v_free = c.volume == 0;
    // Commands that came from a volume column go back there first.
    for (int i = 0; i < parts.n; ++i) {
        Part& p = parts.list[i];
        if (p.prefer_v && p.has_v && v_free) {
            c.volume = p.v;
            v_free = false;
            p.done = true;
        }
    }
    // Then the rest: those with a single place first (so that a note cut moves to the volume
    // column rather than push out a jump), in the order note cut, effect, second effect.
    int order[6];
    int count = 0;
    for (int i = 0; i < first_secondary; ++i) order[count++] = i;
    for (int i = first_primary; i < parts.n; ++i) order[count++] = i;
    for (int i = first_secondary; i < first_primary; ++i) order[count++] = i;
    for (int round = 0; round < 2; ++round) {
        for (int k = 0; k < count; ++k) {
            Part& p = parts.list[order[k]];
            if (p.done || (round == 0 && p.has_e && p.has_v)) continue;
            p.done = true;
            if (p.has_e && e_free) {
                c.effect = p.e;
                c.param = p.p;
                e_free = false;
            } else if (p.has_v && v_free) {
                c.volume = p.v;
                v_free = false;
            } else drops.add(p.kind);
        }
    }
    return c;
}

} // namespace xmconv
