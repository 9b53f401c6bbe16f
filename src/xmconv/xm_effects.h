// Translation of one pattern cell as libxmp holds it (notes 1..120 with C-0 = 1, key off/cut/fade
// codes, a volume byte, and two effects in libxmp's effect numbering) into an XM cell: the XM
// note, the volume column and the effect column. Effects XM cannot express are dropped and
// counted by kind.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "xmconv/xm_writer.h"

namespace xmconv {

// libxmp's effect numbers (its loaders turn every format's effects into these).
namespace fx {
constexpr uint8_t arpeggio = 0x00, porta_up = 0x01, porta_dn = 0x02, toneporta = 0x03,
                  vibrato = 0x04, tone_vslide = 0x05, vibra_vslide = 0x06, tremolo = 0x07,
                  setpan = 0x08, offset = 0x09, volslide = 0x0a, jump = 0x0b, volset = 0x0c,
                  pattern_break = 0x0d, extended = 0x0e, speed = 0x0f, globalvol = 0x10,
                  gvol_slide = 0x11, keyoff = 0x14, envpos = 0x15, panslide = 0x19,
                  multi_retrig = 0x1b, tremor = 0x1d, xf_porta = 0x21;
constexpr uint8_t trk_vol = 0x80, trk_vslide = 0x81, trk_fvslide = 0x82, it_instfunc = 0x83,
                  flt_cutoff = 0x84, flt_resn = 0x85, it_bpm = 0x87, it_rowdelay = 0x88,
                  it_panslide = 0x89, panbrello = 0x8a, panbrello_wf = 0x8b, hioffset = 0x8c,
                  surround = 0x8d, it_break = 0x8e;
constexpr uint8_t volslide_up = 0xa0, volslide_dn = 0xa1, s3m_speed = 0xa3, volslide_2 = 0xa4,
                  finetune = 0xa6, s3m_bpm = 0xab, fine_vibrato = 0xac, f_vslide_up = 0xad,
                  f_vslide_dn = 0xae, f_porta_up = 0xaf, f_porta_dn = 0xb0, patt_delay = 0xb3,
                  s3m_arpeggio = 0xb4, pansl_nomem = 0xb5;
constexpr uint8_t vslide_up_2 = 0xc0, vslide_dn_2 = 0xc1, f_vslide_up_2 = 0xc2,
                  f_vslide_dn_2 = 0xc3;
} // namespace fx

// libxmp's special note values.
constexpr uint8_t source_key_off = 0x81, source_key_cut = 0x82, source_key_fade = 0x83;

// One cell as libxmp stores it.
struct SourceEvent {
    uint8_t note = 0;   // 0 none, 1..120 (C-0 = 1, XM's C-0 is 13), or a key code above
    uint8_t ins = 0;    // 0 none, 1-based instrument
    uint8_t vol = 0;    // 0 none, else volume + 1 on the module's volume scale
    uint8_t fxt = 0, fxp = 0;  // effect (effect column)
    uint8_t f2t = 0, f2p = 0;  // second effect (mostly a volume column command)
};

// How the source format reads the shared effect numbers.
struct EffectStyle {
    // Scream Tracker style parameters: Dxy/Exx/Fxx/Kxy/Lxy/Wxy with an F or E nibble are fine
    // slides, and a volume slide with both nibbles set (neither F) slides down (S3M).
    bool fine_in_param = false;
    bool slide_down_first = false;
    // Impulse Tracker ignores such a slide (volume, channel volume, global volume).
    bool both_nibbles_ignored = false;
    // Impulse Tracker: Pxy slides right by y and left by x (XM is the other way round),
    // global volume runs 0..128, and vibrato without "old effects" is half as deep.
    bool it_panning = false;
    // Scream Tracker 3: pans 0..15 (x16 in libxmp's reading) spread over the whole width.
    bool fifteen_step_pans = false;
    int global_volume_base = 64;
    bool half_vibrato = false;
    // Impulse Tracker without "compatible Gxx": tone portamento shares its memory with the
    // portamentos up and down.
    bool shared_porta_memory = false;
    // Tremor on/off times count ticks as they are (XM adds one to each).
    bool tremor_plain = false;
    int volume_base = 64;  // full volume of the module's volume scale
};

// Counts of what could not be expressed in XM, by description.
struct DropCounts {
    std::map<std::string, int> by_kind;
    int total = 0;
    void add(const std::string& kind, int n = 1) { by_kind[kind] += n; total += n; }
    // "12 effects without an XM equivalent dropped (8 x panbrello, 4 x surround)", or "" when
    // nothing was counted.
    std::string summary(const char* one = "effect", const char* many = "effects",
                        const char* what = "without an XM equivalent dropped") const;
};

// A Scream Tracker pan (0..15, times 16) on XM's scale: 0 hard left, 15 hard right.
uint8_t spread_pan(int pan);

// Translates one cell.
XmCell translate_cell(const SourceEvent& e, const EffectStyle& style, DropCounts& drops);

} // namespace xmconv
