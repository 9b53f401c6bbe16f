// Conversion of libxmp's module record into the XM model.
#include "xmconv/xmp_convert.h"

#include <xmp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>

#include "convert/input_formats.h"

namespace xmconv {

namespace {

// Formats whose effect parameters follow Scream Tracker 3 (fine slides in the parameter, volume
// slides with both nibbles set slide down).
constexpr const char* scream_tracker_like[] = {
    "Scream Tracker 3", "Scream Tracker 2", "STMIK 0.2", "Imago Orpheus v1.0",
    "Poly Tracker", "Liquid Tracker", "Liquid Tracker NO",
};
// Formats whose parameters carry fine slides but slide up first.
constexpr const char* fine_param_formats[] = {
    "Impulse Tracker", "DSMI Advanced Module Format", "DigiBooster Pro", "General Digital Music",
};
// Formats libxmp plays as FastTracker 2 does, and the Amiga trackers: effects pass unchanged.
constexpr const char* ft2_like[] = {
    "Fast Tracker II", "Galaxy Music System 4.0", "Galaxy Music System 5.0 (J2B)",
    "Digitrakker", "Real Tracker", "Amiga Protracker/Compatible",
};
// Formats that always use linear frequency slides.
constexpr const char* linear_formats[] = {"Funktracker", "Imago Orpheus v1.0"};

template <size_t N>
bool listed(const char* const (&list)[N], const std::string& name)
{
    for (const char* s : list)
        if (name == s) return true;
    return false;
}

unsigned le16(const std::vector<uint8_t>& b, size_t at)
{
    return at + 1 < b.size() ? unsigned(b[at] | (b[at + 1] << 8)) : 0u;
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at) { return le16(b, at) | uint32_t(le16(b, at + 2)) << 16; }

std::string cut_name(const char* s, size_t n)
{
    std::string out(s, strnlen(s, n));
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out.substr(0, 22);
}

// The channels that hold anything, counted up to the last one used.
int used_channels(const xmp_module& mod)
{
    int used = 0;
    for (int p = 0; p < mod.pat; ++p) {
        const xmp_pattern* pat = mod.xxp[p];
        if (!pat) continue;
        for (int c = 0; c < mod.chn; ++c) {
            int t = pat->index[c];
            if (t < 0 || t >= mod.trk || !mod.xxt[t]) continue;
            const xmp_track* trk = mod.xxt[t];
            for (int r = 0; r < trk->rows; ++r) {
                const xmp_event& e = trk->event[r];
                if (e.note || e.ins || e.vol || e.fxt || e.fxp || e.f2t || e.f2p) {
                    used = std::max(used, c + 1);
                    break;
                }
            }
        }
    }
    return used;
}

void convert_envelope(const xmp_envelope& src, XmEnvelope& dst, int y_max, bool& truncated)
{
    dst = XmEnvelope();
    if (!(src.flg & XMP_ENVELOPE_ON) || src.npt <= 0) return;
    int n = std::min(src.npt, xm_max_envelope_points);
    truncated = truncated || src.npt > xm_max_envelope_points;
    int last_x = -1;
    for (int i = 0; i < n; ++i) {
        int x = std::clamp<int>(src.data[i * 2], 0, 0xFFFF);
        if (x <= last_x) {  // XM needs rising positions
            n = i;
            break;
        }
        dst.points[size_t(i)][0] = uint16_t(x);
        dst.points[size_t(i)][1] = uint16_t(std::clamp<int>(src.data[i * 2 + 1], 0, y_max));
        last_x = x;
    }
    if (n == 0) return;
    dst.count = uint8_t(n);
    dst.flags = xm_env_on;
    if ((src.flg & XMP_ENVELOPE_SUS) && src.sus >= 0 && src.sus < n) {
        dst.flags |= xm_env_sustain;
        dst.sustain = uint8_t(src.sus);
    }
    if ((src.flg & XMP_ENVELOPE_LOOP) && src.lps >= 0 && src.lps <= src.lpe && src.lpe < n) {
        dst.flags |= xm_env_loop;
        dst.loop_start = uint8_t(src.lps);
        dst.loop_end = uint8_t(src.lpe);
    }
}

void copy_sample_data(const xmp_sample& s, XmSample& out, bool& synth)
{
    if (s.flg & XMP_SAMPLE_SYNTH) {
        synth = true;
        return;
    }
    if (!s.data || s.len <= 0) return;
    size_t len = size_t(s.len);
    out.is_16bit = (s.flg & XMP_SAMPLE_16BIT) != 0;
    out.frames.resize(len);
    if (out.is_16bit) {
        for (size_t i = 0; i < len; ++i) {
            int16_t v;
            std::memcpy(&v, s.data + i * 2, 2);
            out.frames[i] = v;
        }
    } else {
        for (size_t i = 0; i < len; ++i) out.frames[i] = int8_t(s.data[i]);
    }
    int lps = std::max(0, s.lps), lpe = std::min(s.lpe, s.len);
    if ((s.flg & XMP_SAMPLE_LOOP) && lpe > lps) {
        out.loop_start = uint32_t(lps);
        out.loop_length = uint32_t(lpe - lps);
        out.loop_type = (s.flg & XMP_SAMPLE_LOOP_BIDIR) ? xm_loop_pingpong : xm_loop_forward;
    }
}

// The frames of `s` played `ratio` times as fast (a windowed-sinc interpolation; the loop, where
// there is one, continues past its end), the loop `loop_frames` long from its moved start.
void resample(XmSample& s, double ratio, uint32_t loop_frames)
{
    const std::vector<int16_t> in = s.frames;
    const size_t n = in.size();
    const bool looped = s.loop_type != xm_loop_none && s.loop_length > 0;
    auto at = [&](long k) -> double {
        if (k < 0) return 0;
        if (size_t(k) >= n) {
            if (!looped) return 0;
            k = long(s.loop_start) + (k - long(s.loop_start)) % long(s.loop_length);
        }
        return in[size_t(k)];
    };
    size_t out_n = size_t(std::max(1.0, std::floor(double(n) / ratio)));
    const uint32_t loop_start = looped ? uint32_t(std::lround(s.loop_start / ratio)) : 0;
    // A start rounded up must not cut the loop's last frame off.
    if (looped) out_n = std::max(out_n, size_t(loop_start) + loop_frames);
    constexpr int half = 16;
    std::vector<int16_t> out(out_n);
    for (size_t j = 0; j < out_n; ++j) {
        const double x = double(j) * ratio;
        const long base = long(std::floor(x));
        double sum = 0;
        for (long k = base - half + 1; k <= base + half; ++k) {
            const double d = x - double(k);
            const double sinc = d == 0 ? 1 : std::sin(std::numbers::pi * d) / (std::numbers::pi * d);
            const double w = 0.42 + 0.5 * std::cos(std::numbers::pi * d / half) + 0.08 * std::cos(2 * std::numbers::pi * d / half);
            sum += at(k) * sinc * w;
        }
        const double limit = s.is_16bit ? 32767 : 127;
        out[j] = int16_t(std::clamp(std::lround(sum), long(-limit - 1), long(limit)));
    }
    s.frames = std::move(out);
    if (looped) {
        s.loop_start = loop_start;
        s.loop_length = loop_frames;
    }
}

double cents(double ratio) { return 1200 * std::log2(ratio); }

// The longest a short forward loop is unrolled to; how near its tuning a retuned sample is to
// come (nearer than that, a sample is not resampled); and how far off a sample may stay unnamed.
constexpr uint32_t unrolled_loop_frames = 4096;
constexpr double tuning_aim_cents = 0.1, tuning_named_cents = 0.25;

// libxmp keeps a C5 speed as a tuning in whole 1/128 semitones toward 8363 Hz, cut down (up to
// 0.8 cents off): the part it cuts off, from the file's C5 speed, in 1/128 semitones.
double tuning_fraction(const xmp_subinstrument& sub, const SourceInfo& info)
{
    if (sub.sid < 0 || size_t(sub.sid) >= info.c5_speeds.size() || info.c5_speeds[size_t(sub.sid)] == 0) return 0;
    const double c = 1536.0 * std::log(info.c5_speeds[size_t(sub.sid)] / 8363.0) / std::numbers::ln2;
    return int(c) == sub.xpo * 128 + sub.fin ? c - int(c) : 0; // the tuning libxmp made of it
}

// FT2 tunes a sample in steps of 1/16 semitone; `cents128` (1/128 semitones, under 5 either way)
// is what the source's tuning has beyond the step chosen. Alone it is under 4 cents, but two
// channels playing the sample in unison beat against each other otherwise than in the source, so
// the frames are resampled by it. A looped sample's pitch is its loop length, which must stay a
// whole number of frames: a forward loop too short for that is repeated k times inside the sample
// (the frames after its end, never played, left out), with k the smallest that brings the loop
// within tuning_aim_cents of the tuning while it stays within unrolled_loop_frames, else the k that
// comes nearest; a ping-pong loop keeps its one copy. A loop that comes no nearer than half the
// residual is left as it is. Returns the cents the sample still plays off its tuning.
double retune(XmSample& s, double cents128)
{
    if (s.frames.empty()) return 0;
    const double ratio = std::pow(2.0, cents128 / 1536.0), residual = std::fabs(cents(ratio));
    if (residual <= tuning_aim_cents) return residual;
    if (s.loop_type == xm_loop_none || s.loop_length == 0) {
        resample(s, ratio, 0);
        return 0;
    }
    const uint32_t length = s.loop_length;
    const uint32_t most = s.loop_type == xm_loop_forward ? std::max(1u, unrolled_loop_frames / length) : 1;
    uint32_t copies = 0;
    double frames = 0, left = residual;
    for (uint32_t k = 1; k <= most && left > tuning_aim_cents; ++k) {
        const double whole = double(k) * length, f = std::round(whole / ratio);
        const double off = std::fabs(cents(whole / f / ratio));
        if (f != whole && off < left) copies = k, frames = f, left = off;
    }
    if (copies == 0 || left > residual / 2) return residual;
    if (copies > 1) {
        const auto loop = s.frames.begin() + s.loop_start;
        std::vector<int16_t> unrolled(s.frames.begin(), loop + length);
        for (uint32_t k = 1; k < copies; ++k) unrolled.insert(unrolled.end(), loop, loop + length);
        s.frames = std::move(unrolled);
        s.loop_length = length * copies;
    }
    resample(s, double(s.loop_length) / frames, uint32_t(frames));
    return left;
}

// IT's auto-vibrato waveforms (sine, ramp down, square, random) in XM's numbering (sine, square,
// ramp down, ramp up); XM has no random waveform, so it becomes a sine.
uint8_t vibrato_type(int wave, bool impulse_tracker)
{
    static const uint8_t from_it[4] = {0, 2, 1, 0};
    return impulse_tracker ? from_it[wave & 3] : uint8_t(wave & 3);
}

// What an instrument does that XM cannot, counted by kind.
void count_limits(const xmp_instrument& in, const xmp_module& mod, bool pitch_followed, DropCounts& limits)
{
    bool sustain_loop = false;
    for (int i = 0; i < in.nsm; ++i) {
        int sid = in.sub[i].sid;
        sustain_loop = sustain_loop || (sid >= 0 && sid < mod.smp && (mod.xxs[sid].flg & XMP_SAMPLE_SLOOP));
    }
    if (sustain_loop) limits.add("sample sustain loop");
    // A pitch envelope the playback walk follows is still counted: it slides only where the effect
    // column is free.
    if ((in.fei.flg & XMP_ENVELOPE_ON) && in.fei.npt > 0)
        limits.add(in.fei.flg & XMP_ENVELOPE_FLT ? "filter envelope"
                   : pitch_followed             ? "pitch envelope (followed by portamento)"
                                                : "pitch envelope");
    if ((in.aei.flg | in.pei.flg | in.fei.flg) & XMP_ENVELOPE_CARRY) limits.add("envelope carry");
}

// A pitch envelope without loop or sustain (libxmp holds it in cents), which the playback walk
// can follow with portamento (linear slides only: 1/16 semitone a unit).
PitchEnvelope pitch_envelope(const xmp_envelope& e)
{
    PitchEnvelope out;
    const int flags = XMP_ENVELOPE_ON | XMP_ENVELOPE_SUS | XMP_ENVELOPE_LOOP | XMP_ENVELOPE_FLT | XMP_ENVELOPE_SLOOP;
    if ((e.flg & flags) != XMP_ENVELOPE_ON || e.npt < 1 || e.npt > XMP_MAX_ENV_POINTS) return out;
    for (int i = 0; i < e.npt; ++i) {
        if (i && e.data[i * 2] <= out.points.back().first) return {};
        out.points.emplace_back(e.data[i * 2], e.data[i * 2 + 1]);
    }
    return out;
}

void convert_instrument(const xmp_module& mod, int index, const SourceInfo& info, XmInstrument& out,
                        std::vector<SampleSource>& sources, PitchEnvelope& pitch, ConvertReport& report,
                        bool& synth, bool& envelope_cut)
{
    const xmp_instrument& in = mod.xxi[index];
    out.name = cut_name(in.name, sizeof in.name);
    if (in.nsm <= 0 || !in.sub) return;
    if (info.linear_frequencies) pitch = pitch_envelope(in.fei);
    count_limits(in, mod, !pitch.points.empty(), report.limits);

    // Each XM sample is one (libxmp sub-instrument, key transpose) pair, in the order the notes
    // first use them; a key transpose differs only where an IT note map shifts notes.
    struct Pair { int sub; int transpose; };
    std::vector<Pair> pairs;
    bool too_many = false;
    for (int note = 1; note <= 96; ++note) {
        int key = note + 11;
        int sub = in.map[key].ins;
        if (sub >= in.nsm || sub < 0) continue;
        int sid = in.sub[sub].sid;
        if (sid < 0 || sid >= mod.smp) continue;
        int transpose = in.map[key].xpo;
        size_t k = 0;
        while (k < pairs.size() && !(pairs[k].sub == sub && pairs[k].transpose == transpose)) ++k;
        if (k == pairs.size()) {
            if (pairs.size() == size_t(xm_max_samples_per_instrument)) {
                too_many = true;
                continue;
            }
            pairs.push_back({sub, transpose});
        }
        out.note_map[size_t(note - 1)] = uint8_t(k);
    }
    if (too_many)
        report.notes.push_back("instrument " + std::to_string(index + 1) +
                               " uses more than 16 samples; the notes of the others play its first sample");
    if (pairs.empty()) {
        out.note_map.fill(0);
        return;
    }

    // A note sounds at its volume times the sample's and the instrument's global volume (and IT's
    // mix volume): XM has only the note volume, so the sample volume holds the product.
    const int vol_base = info.style.volume_base;
    for (const Pair& pr : pairs) {
        const xmp_subinstrument& sub = in.sub[pr.sub];
        const xmp_sample& smp = mod.xxs[sub.sid];
        XmSample s;
        s.name = cut_name(smp.name, sizeof smp.name);
        copy_sample_data(smp, s, synth);
        SampleSource& from = sources.emplace_back();
        from.volume = std::clamp(vol_base > 0 ? (sub.vol * 64 + vol_base / 2) / vol_base : sub.vol, 0, 64);
        from.fold = std::clamp(sub.gvl, 0, 64) / 64.0 * std::clamp(in.vol, 0, 64) / 64.0 * std::min(info.mix, 1.0);
        from.pan = info.sample_pans && sub.pan >= 0 ? std::min(sub.pan, 255) : -1;
        from.nna = uint8_t(sub.nna & 3);
        from.dct = uint8_t(sub.dct & 3);
        from.dca = uint8_t(sub.dca & 3);
        s.volume = uint8_t(std::lround(from.volume * from.fold));
        // FT2 tunes samples in steps of 1/16 semitone (the finetune's top five bits): a C5 speed
        // is brought to the nearest step rather than cut down to the one below.
        int tune = (sub.xpo + pr.transpose) * 128 + sub.fin;
        const double exact = tune + tuning_fraction(sub, info);
        if (info.round_finetune) tune = int(std::floor(tune / 8.0 + 0.5)) * 8;
        if (tune != exact) {
            char left[96];
            const double off = retune(s, exact - tune);
            std::snprintf(left, sizeof left, "sample %d \"%s\" %.1f cents", sub.sid + 1, s.name.c_str(), off);
            if (off > tuning_named_cents && std::ranges::find(report.tunings_left, left) == report.tunings_left.end())
                report.tunings_left.push_back(left);
        }
        int note = info.round_finetune ? int(std::floor((tune + 64) / 128.0)) : sub.xpo + pr.transpose;
        s.finetune = int8_t(std::clamp(tune - note * 128, -128, 127));
        s.relative_note = int8_t(std::clamp(note, -96, 95));
        s.panning = uint8_t(sub.pan < 0 ? 128 : std::min(sub.pan, 255));
        out.samples.push_back(std::move(s));
    }

    const xmp_subinstrument& first = in.sub[pairs[0].sub];
    out.vibrato_type = vibrato_type(first.vwf, info.impulse_tracker);
    out.vibrato_sweep = uint8_t(std::clamp(first.vsw, 0, 255));
    out.vibrato_depth = uint8_t(std::clamp(first.vde >> 2, 0, 15));
    out.vibrato_rate = uint8_t(std::clamp(first.vra, 0, 63));

    convert_envelope(in.aei, out.volume_envelope, 64, envelope_cut);
    convert_envelope(in.pei, out.panning_envelope, 64, envelope_cut);
    // libxmp keeps the fadeout on a scale of 65536 per tick, XM on 32768.
    out.fadeout = uint16_t(std::clamp(in.rls >> 1, 0, 0xFFF));
    // An IT note-off without a volume envelope lets the note sound on (fading it out when the
    // instrument has a fadeout); XM would cut it. A flat envelope held at its sustain point gives
    // XM's key-off the same effect.
    if (info.impulse_tracker && !(out.volume_envelope.flags & xm_env_on)) {
        XmEnvelope& e = out.volume_envelope;
        e.points[0] = {0, 64};
        e.count = 1;
        e.sustain = 0;
        e.flags = xm_env_on | xm_env_sustain;
    }
}

// Scream Tracker and Impulse Tracker repeat an effect's last parameter when it is given as 00,
// and their volume slides and portamentos keep it per channel across the combined commands. XM's
// own memory would recall the translated command (a fine slide becomes Exx, not Axx), so a
// repeated parameter is written out again where the same pattern and channel gave it before.
// Channel volume slides and tempo slides keep theirs the same way, and so does tone portamento
// where it shares the portamentos' memory.
struct EffectMemory {
    uint8_t volume_slide = 0, portamento = 0, arpeggio = 0, channel_slide = 0, tempo = 0;
    void resolve(uint8_t type, uint8_t& param, const EffectStyle& st)
    {
        uint8_t* slot = nullptr;
        switch (type) {
        case fx::toneporta:
            if (!st.shared_porta_memory) return;
            slot = &portamento;
            break;
        case fx::volslide:
        case fx::tone_vslide:
        case fx::vibra_vslide: slot = &volume_slide; break;
        case fx::porta_up:
        case fx::porta_dn: slot = &portamento; break;
        case fx::s3m_arpeggio: slot = &arpeggio; break;
        case fx::trk_vslide: slot = &channel_slide; break;
        case fx::s3m_bpm:
        case fx::it_bpm: slot = &tempo; break;
        default: return;
        }
        if (param) *slot = param;
        else param = *slot;
    }
};

// What the playback walk needs of one effect beyond its XM translation.
void add_extra(uint8_t type, uint8_t param, const EffectStyle& st, CellExtra& x)
{
    const uint8_t h = param >> 4, l = param & 0x0F;
    switch (type) {
    case fx::trk_vol:
        if (param <= 64) x.channel_volume = int8_t(param);
        break;
    case fx::trk_vslide:  // both nibbles set, neither F: Impulse Tracker ignores it, others slide down
        if (h && l && h != 0xF && l != 0xF) x.channel_slide = st.both_nibbles_ignored ? 0 : l;
        else x.channel_slide = param;
        break;
    case fx::trk_fvslide:
        x.channel_slide = h ? uint8_t(h << 4 | 0x0F) : uint8_t(0xF0 | l);
        break;
    case fx::s3m_speed:
        if (param > 31) x.speed = param;
        break;
    case fx::s3m_bpm:
    case fx::it_bpm:
        if (param < 0x20 && l) x.tempo_slide = param;
        break;
    default: break;
    }
}

// The XM order position a source position plays: the first entry from there on that is not a
// "+++" marker; past the end when the list ends before ("---").
std::vector<int> order_positions(const xmp_module& mod, std::vector<uint8_t>& orders)
{
    std::vector<int> at(256, -1);
    for (int i = 0; i < mod.len && i < XMP_MAX_MOD_LENGTH; ++i) {
        int o = mod.xxo[i];
        if (o >= mod.pat && o == 0xFF) break;
        at[size_t(i)] = int(orders.size());
        if (o >= mod.pat && o == 0xFE) continue;
        orders.push_back(uint8_t(o));
    }
    for (int& a : at)
        if (a < 0) a = int(orders.size());
    return at;
}

} // namespace

SourceInfo describe_source(const std::string& loader, const std::vector<uint8_t>& head, int volume_base)
{
    SourceInfo info;
    info.loader = loader;
    EffectStyle& st = info.style;
    st.volume_base = volume_base > 0 ? volume_base : 64;
    if (listed(scream_tracker_like, loader)) {
        st.fine_in_param = true;
        st.slide_down_first = true;
        st.fifteen_step_pans = loader == "Scream Tracker 3";
    } else if (listed(fine_param_formats, loader)) {
        st.fine_in_param = true;
    }
    st.tremor_plain = !listed(ft2_like, loader);
    info.linear_frequencies = listed(linear_formats, loader);
    info.sample_pans = listed(ft2_like, loader) && loader != "Amiga Protracker/Compatible";
    info.round_finetune = !listed(ft2_like, loader);
    if (loader == "Impulse Tracker") {
        info.impulse_tracker = info.sample_pans = true;
        st.it_panning = st.both_nibbles_ignored = true;
        st.global_volume_base = 128;
        // Header flags at offset 0x2C: bit 3 linear slides, bit 4 old effects, bit 5 compatible
        // Gxx (without it G, E and F share one memory); mix volume at 0x31 (FT2 plays at the
        // level of 48).
        bool is_it = head.size() >= 0x30 && input_format(InputKind::it)->probe(head.data(), head.size()) == Probe::certain;
        unsigned flags = is_it ? le16(head, 0x2C) : 0x28;
        info.linear_frequencies = (flags & 0x08) != 0;
        st.half_vibrato = (flags & 0x10) == 0;
        st.shared_porta_memory = (flags & 0x20) == 0;
        if (is_it && head.size() > 0x31) info.mix = head[0x31] / 48.0;
    } else if (loader == "Fast Tracker II") {
        bool is_xm = head.size() >= 76 && is_xm_module(head.data(), head.size());
        info.linear_frequencies = is_xm ? (le16(head, 74) & 1) != 0 : true;
    }
    return info;
}

void read_mod_effects(const std::vector<uint8_t>& file, const xmp_module& mod, SourceInfo& info)
{
    info.mod_effects.clear();
    if (info.loader != "Amiga Protracker/Compatible" || file.size() < 1084 || mod.chn < 1) return;
    const int channels = mod_tag_channels(file.data() + mod_tag_offset);
    if (channels != mod.chn) return;
    size_t cells = size_t(mod.pat) * 64 * size_t(channels);
    if (1084 + cells * 4 > file.size()) return;
    std::vector<uint8_t> effects(cells * 2);
    for (int p = 0; p < mod.pat; ++p) {
        const xmp_pattern* pat = mod.xxp[p];
        if (!pat || pat->rows != 64) return;
        for (int r = 0; r < 64; ++r)
            for (int c = 0; c < channels; ++c) {
                size_t i = (size_t(p) * 64 + size_t(r)) * size_t(channels) + size_t(c);
                const uint8_t* b = &file[1084 + i * 4];
                int t = pat->index[c];
                if (t < 0 || t >= mod.trk || !mod.xxt[t] || mod.xxt[t]->rows <= r) return;
                if (mod.xxt[t]->event[r].ins != ((b[0] & 0xF0) | (b[2] >> 4))) return;
                effects[i * 2] = b[2] & 0x0F;
                effects[i * 2 + 1] = b[3];
            }
    }
    info.mod_effects = std::move(effects);
}

void read_c5_speeds(const std::vector<uint8_t>& file, const xmp_module& mod, SourceInfo& info)
{
    info.c5_speeds.assign(size_t(std::max(mod.smp, 0)), 0);
    const bool it = info.impulse_tracker && file.size() >= 0xC0 && std::memcmp(file.data(), "IMPM", 4) == 0;
    const bool s3m = info.loader == "Scream Tracker 3" && file.size() >= 0x60 && std::memcmp(&file[0x2C], "SCRM", 4) == 0;
    const size_t orders = le16(file, 0x20), instruments = le16(file, 0x22), samples = it ? le16(file, 0x24) : instruments;
    for (size_t i = 0; (it || s3m) && i < info.c5_speeds.size() && i < samples; ++i) {
        if (it) {
            const size_t at = le32(file, 0xC0 + orders + instruments * 4 + i * 4);
            if (at <= file.size() - 0x40 && std::memcmp(&file[at], "IMPS", 4) == 0) info.c5_speeds[i] = le32(file, at + 0x3C);
        } else {
            // A sample's header (type 1) at a paragraph; its C5 speed's low word, as the player reads it.
            const size_t at = size_t(le16(file, 0x60 + orders + i * 2)) * 16;
            if (at + 0x50 <= file.size() && file[at] == 1) info.c5_speeds[i] = le16(file, at + 0x20);
        }
    }
}

bool convert_module(const xmp_module& mod, const SourceInfo& info, XmModule& out,
                    ConvertReport& report, std::string& error)
{
    out = XmModule();
    out.name = std::string(mod.name, strnlen(mod.name, sizeof mod.name)).substr(0, 20);
    out.linear_frequencies = info.linear_frequencies;
    out.speed = std::clamp(mod.spd, 1, 31);
    out.bpm = std::clamp(mod.bpm, 32, 255);
    if (mod.bpm != out.bpm || mod.spd < 1)
        report.notes.push_back("initial speed " + std::to_string(mod.spd) + " / BPM " +
                               std::to_string(mod.bpm) + " brought into XM's range");

    // Channels: all of the source's, or, when they are more than XM holds, those up to the last
    // one used. FT2 only plays an even number of channels.
    int channels = mod.chn;
    if (channels > xm_max_channels) {
        int used = used_channels(mod);
        if (used > xm_max_channels) {
            error = "the module uses " + std::to_string(used) + " channels, XM allows at most 32";
            return false;
        }
        channels = std::max(used, 1);
    }
    channels = std::max(channels, 1);
    if (channels % 2 && channels < xm_max_channels) ++channels;
    out.channels = channels;

    // Order list: Scream Tracker's "+++" (254) entries are skipped and "---" (255) ends the song,
    // when those numbers are not real patterns; jumps and the restart follow the entries' moves.
    const std::vector<int> position = order_positions(mod, out.orders);
    if (out.orders.empty()) {
        error = "the module has no pattern in its order list";
        return false;
    }
    int max_pattern = std::max(mod.pat - 1, int(*std::max_element(out.orders.begin(), out.orders.end())));
    int restart = mod.rst >= 0 && mod.rst < 256 ? position[size_t(mod.rst)] : 0;
    out.restart = restart < int(out.orders.size()) ? restart : 0;

    // Patterns; an order entry naming a pattern the file lacks plays an empty 64-row pattern.
    const bool mod_file = !info.mod_effects.empty();
    SongSource song;
    song.extras.resize(size_t(max_pattern + 1));
    out.patterns.resize(size_t(max_pattern + 1));
    for (int p = 0; p <= max_pattern; ++p) {
        XmPattern& xp = out.patterns[size_t(p)];
        const xmp_pattern* pat = p < mod.pat ? mod.xxp[p] : nullptr;
        xp.rows = pat ? pat->rows : 64;
        if (xp.rows > xm_max_rows) {
            error = "pattern " + std::to_string(p) + " has " + std::to_string(xp.rows) +
                    " rows, XM allows at most 256";
            return false;
        }
        if (xp.rows < 1) xp.rows = 1;
        xp.cells.assign(size_t(xp.rows) * size_t(channels), XmCell());
        if (!pat) continue;
        std::vector<CellExtra> extras(xp.cells.size());
        bool any_extra = false;
        for (int c = 0; c < std::min(channels, mod.chn); ++c) {
            int t = pat->index[c];
            if (t < 0 || t >= mod.trk || !mod.xxt[t]) continue;
            const xmp_track* trk = mod.xxt[t];
            EffectMemory memory;
            for (int r = 0; r < std::min(xp.rows, trk->rows); ++r) {
                const xmp_event& e = trk->event[r];
                SourceEvent se{e.note, e.ins, e.vol, e.fxt, e.fxp, e.f2t, e.f2p};
                if (info.style.fine_in_param) memory.resolve(se.fxt, se.fxp, info.style);
                const size_t at = size_t(r) * size_t(channels) + size_t(c);
                XmCell& cell = xp.cells[at];
                size_t raw = (size_t(p) * 64 + size_t(r)) * size_t(mod.chn) + size_t(c);
                if (mod_file && raw * 2 + 1 < info.mod_effects.size()) {
                    // A MOD's effects are XM effects of the same number: they go over unchanged.
                    se.fxt = se.fxp = se.f2t = se.f2p = 0;
                    cell = translate_cell(se, info.style, report.drops);
                    cell.effect = info.mod_effects[raw * 2];
                    cell.param = info.mod_effects[raw * 2 + 1];
                    continue;
                }
                cell = translate_cell(se, info.style, report.drops);
                if (cell.effect == 0xB) cell.param = uint8_t(std::min(position[cell.param], 255));
                CellExtra& x = extras[at];
                add_extra(se.fxt, se.fxp, info.style, x);
                add_extra(se.f2t, se.f2p, info.style, x);
                x.note_cut = e.note == source_key_cut;
                any_extra = any_extra || !x.empty();
            }
        }
        if (any_extra) song.extras[size_t(p)] = std::move(extras);
    }

    if (mod.ins > xm_max_instruments) {
        error = "the module has " + std::to_string(mod.ins) + " instruments, XM allows at most 128";
        return false;
    }
    bool synth = false, envelope_cut = false;
    out.instruments.resize(size_t(std::max(mod.ins, 0)));
    song.samples.resize(out.instruments.size());
    song.pitch_envelopes.resize(out.instruments.size());
    for (int i = 0; i < mod.ins; ++i)
        convert_instrument(mod, i, info, out.instruments[size_t(i)], song.samples[size_t(i)],
                           song.pitch_envelopes[size_t(i)], report, synth, envelope_cut);
    if (synth) report.notes.push_back("synthesised (AdLib) instruments left without sample data");
    if (envelope_cut) report.notes.push_back("envelopes cut to their first 12 points");
    if (!report.tunings_left.empty()) {
        std::string line = "tuning residual kept (no whole number of loop frames fits): ";
        for (size_t i = 0; i < report.tunings_left.size(); ++i) line += (i ? ", " : "") + report.tunings_left[i];
        report.notes.push_back(line);
    }

    error = xm_check(out);
    if (!error.empty()) return false;
    if (mod_file) return true;  // a Protracker MOD plays in XM as it is

    // The song as the source's player starts it; the walk writes what FT2 needs besides.
    for (int c = 0; c < channels; ++c) {
        const xmp_channel& ch = mod.xxc[std::min(c, XMP_MAX_CHANNELS - 1)];
        bool surround = (ch.flg & XMP_CHANNEL_SURROUND) != 0;
        if (surround && c < mod.chn) report.limits.add("surround channel");
        int pan = std::clamp(ch.pan, 0, 255);
        if (info.style.fifteen_step_pans && !(pan & 0x0F)) pan = spread_pan(pan);
        song.channel_pans.push_back(surround || c >= mod.chn ? 128 : pan);
        song.channel_volumes.push_back(c < mod.chn ? std::clamp(ch.vol, 0, 64) : 64);
    }
    if (info.mix > 1) report.limits.add("mix volume above 48 (the XM plays quieter)");
    const int gbase = info.style.global_volume_base;
    song.global_volume = std::clamp((mod.gvl * 64 + gbase / 2) / gbase, 0, 64);
    song.speed = std::max(mod.spd, 1);
    song.tempo = std::clamp(mod.bpm, 32, 255);
    song.cut_keeps_volume = info.impulse_tracker;
    song.scream_tracker = info.loader == "Scream Tracker 3";
    PlaybackReport walk = follow_playback(out, song);
    if (walk.unplaced) report.limits.add("volume, pan or tempo without a free column", walk.unplaced);
    if (walk.shared) report.limits.add("pattern state sharing a copy (pattern limit)", walk.shared);
    if (walk.no_channel) report.limits.add("new note action (NNA) without a free channel", walk.no_channel);
    error = xm_check(out);
    return error.empty();
}

int convert_bytes(const std::vector<uint8_t>& file, XmModule& out, ConvertReport& report, std::string& error)
{
    xmp_test_info test{};
    if (xmp_test_module_from_memory(file.data(), long(file.size()), &test) != 0) {
        error = "not a module format this program knows";
        return 3;
    }
    xmp_context ctx = xmp_create_context();
    if (xmp_load_module_from_memory(ctx, file.data(), long(file.size())) != 0) {
        xmp_free_context(ctx);
        error = "damaged or unsupported module";
        return 3;
    }
    xmp_module_info mi{};
    xmp_get_module_info(ctx, &mi);
    bool ok = mi.mod && convert_loaded(*mi.mod, test.type, mi.vol_base, file, out, report, error);
    xmp_release_module(ctx);
    xmp_free_context(ctx);
    return ok ? 0 : 4;
}

bool convert_loaded(const xmp_module& mod, const std::string& loader, int volume_base,
                    const std::vector<uint8_t>& file, XmModule& out, ConvertReport& report, std::string& error)
{
    SourceInfo info = describe_source(loader, file, volume_base);
    read_mod_effects(file, mod, info);
    read_c5_speeds(file, mod, info);
    return convert_module(mod, info, out, report, error);
}

std::string ConvertReport::summary() const
{
    std::string effects = drops.summary("effect", "effects", "without an XM equivalent dropped");
    std::string rest = limits.summary("thing", "things", "XM cannot hold left out");
    return effects.empty() || rest.empty() ? effects + rest : effects + "; " + rest;
}

} // namespace xmconv
