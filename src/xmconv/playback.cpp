// Walks a converted song as the source's player and as FT2 play it, row by row, and writes into the
// XM what FT2 needs to sound as the source: the two players are modelled only as far as what they
// hold from row to row (instrument, sample, note volume, pan, channel volume, released notes,
// speed, tempo, global volume), at the resolution of rows: slides add up their ticks.
#include "xmconv/playback.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <numeric>
#include <type_traits>

namespace xmconv {

namespace {

enum : uint8_t {
    xm_porta_up = 0x1, xm_porta_dn = 0x2, xm_toneporta = 0x3, xm_tone_vslide = 0x5, xm_vibra_vslide = 0x6, xm_setpan = 0x8, xm_volslide = 0xA,
    xm_jump = 0xB, xm_volume = 0xC, xm_break = 0xD, xm_extended = 0xE, xm_speed = 0xF, xm_globalvol = 0x10,
    xm_gvol_slide = 0x11, xm_keyoff = 0x14, xm_panslide = 0x19, xm_retrig = 0x1B, xm_extra_fine = 0x21,
};

constexpr long max_rows_walked = 1L << 20;  // a song whose walk never ends is cut here

bool tone_portamento(const XmCell& c)
{
    return c.effect == xm_toneporta || c.effect == xm_tone_vslide || (c.volume >> 4) == 0xF;
}
bool plays_note(const XmCell& c) { return c.note >= 1 && c.note <= 96 && !tone_portamento(c); }
bool effect_free(const XmCell& c) { return c.effect == 0 && c.param == 0; }
bool set_volume_or_free(uint8_t v) { return v == 0 || (v >= 0x10 && v <= 0x50); }
bool volume_slide(uint8_t e) { return e == xm_volslide || e == xm_tone_vslide || e == xm_vibra_vslide; }

// One channel as a player holds it.
struct Voice {
    int ins = 0;        // instrument (1-based), 0 none
    int sample = -1;    // the instrument's sample the last note chose
    int vol = 0;        // note volume 0..64
    int pan = 128;      // 0..255
    int cv = 64;        // channel volume 0..64 (the source's)
    bool sounding = false;
    bool released = false;
    uint8_t slide_memory = 0, fine_up_memory = 0, fine_down_memory = 0, pan_slide_memory = 0;
};

// The song-wide part.
struct Globals {
    int speed = 6, tempo = 125, volume = 64;
    int tempo_slide = 0;  // per tick, this row
    uint8_t slide_memory = 0;
};

// One player's view: the source's (`source`) or FT2's.
class Side {
public:
    Side(const XmModule& m, const SongSource& src, bool source) : m(m), src(src), source(source)
    {
        voices.resize(size_t(m.channels));
        for (size_t c = 0; c < voices.size(); ++c) {
            if (source && c < src.channel_pans.size()) voices[c].pan = src.channel_pans[c];
            if (source && c < src.channel_volumes.size()) voices[c].cv = src.channel_volumes[c];
        }
        g.speed = source ? src.speed : m.speed;
        g.tempo = source ? src.tempo : m.bpm;
        g.volume = source ? src.global_volume : 64;
    }

    bool has_sample(int ins, int sample) const
    {
        return ins >= 1 && size_t(ins) <= m.instruments.size() && sample >= 0 &&
               size_t(sample) < m.instruments[size_t(ins - 1)].samples.size();
    }
    const SampleSource* source_sample(int ins, int sample) const
    {
        if (!has_sample(ins, sample) || size_t(ins) > src.samples.size()) return nullptr;
        const auto& list = src.samples[size_t(ins - 1)];
        return size_t(sample) < list.size() ? &list[size_t(sample)] : nullptr;
    }
    // The volume a note of this voice sounds with, on XM's scale.
    int heard_volume(const Voice& v) const
    {
        const SampleSource* s = source_sample(v.ins, v.sample);
        double fold = s ? s->fold : 1;
        return int(std::lround(v.vol * v.cv / 64.0 * fold));
    }

    void key_off(Voice& v) const
    {
        v.released = true;
        if (!has_sample(v.ins, v.sample) ||
            !(m.instruments[size_t(v.ins - 1)].volume_envelope.flags & xm_env_on))
            v.vol = 0;  // a note without volume envelope stops at a note off
    }
    void cut(Voice& v) const
    {
        if (source && src.cut_keeps_volume) v.sounding = false;
        else v.vol = 0;
    }

    // Tick 0 of a cell on channel c.
    void start(size_t c, XmCell cell, const CellExtra& x)
    {
        Voice& v = voices[c];
        if (source && x.note_cut && src.cut_keeps_volume) {
            v.sounding = false;
            if (cell.volume == 0x10) cell.volume = 0;
            if (cell.effect == xm_extended && cell.param == 0xC0) cell.effect = cell.param = 0;
        }
        if (cell.instrument) v.ins = cell.instrument;
        if (plays_note(cell)) {
            bool known = v.ins >= 1 && size_t(v.ins) <= m.instruments.size();
            const XmInstrument* in = known ? &m.instruments[size_t(v.ins - 1)] : nullptr;
            v.sample = in && !in->samples.empty() ? in->note_map[size_t(cell.note - 1)] : -1;
            v.sounding = v.sample >= 0;
            if (source) v.released = false;  // the source's players start every note afresh
        }
        if (cell.instrument && cell.note != xm_key_off && has_sample(v.ins, v.sample)) {
            const XmSample& s = m.instruments[size_t(v.ins - 1)].samples[size_t(v.sample)];
            const SampleSource* ss = source_sample(v.ins, v.sample);
            v.vol = source && ss ? ss->volume : s.volume;
            int pan = source ? (ss ? ss->pan : -1) : s.panning;
            if (pan >= 0) v.pan = pan;
            v.released = false;
        }
        if (cell.note == xm_key_off || (cell.effect == xm_keyoff && cell.param == 0)) key_off(v);

        const uint8_t vc = cell.volume, vx = vc & 0x0F;
        if (vc >= 0x10 && vc <= 0x50) v.vol = vc - 0x10;
        else if ((vc >> 4) == 0x8) v.vol = std::max(0, v.vol - vx);
        else if ((vc >> 4) == 0x9) v.vol = std::min(64, v.vol + vx);
        else if ((vc >> 4) == 0xC) v.pan = vx << 4;

        const uint8_t p = cell.param, px = p & 0x0F;
        switch (cell.effect) {
        case xm_volume: v.vol = std::min<int>(p, 64); break;
        case xm_setpan: v.pan = p; break;
        case xm_volslide:
        case xm_tone_vslide:
        case xm_vibra_vslide:
            if (p) v.slide_memory = p;
            break;
        case xm_panslide:
            if (p) v.pan_slide_memory = p;
            break;
        case xm_extended:
            if ((p >> 4) == 0xA) {
                if (px) v.fine_up_memory = px;
                v.vol = std::min(64, v.vol + v.fine_up_memory);
            } else if ((p >> 4) == 0xB) {
                if (px) v.fine_down_memory = px;
                v.vol = std::max(0, v.vol - v.fine_down_memory);
            } else if (p == 0xC0) {
                cut(v);
            }
            break;
        default: break;
        }
        if (!source) return;
        if (x.channel_volume >= 0 && x.channel_volume <= 64) v.cv = x.channel_volume;
        uint8_t hi = x.channel_slide >> 4, lo = x.channel_slide & 0x0F;
        if (lo == 0xF && hi) v.cv = std::min(64, v.cv + hi);
        else if (hi == 0xF && lo) v.cv = std::max(0, v.cv - lo);
    }

    // The row's other ticks (`ticks` in all) on channel c.
    void rest(size_t c, const XmCell& cell, const CellExtra& x, int ticks)
    {
        Voice& v = voices[c];
        const int n = ticks - 1;
        const uint8_t vc = cell.volume, vx = vc & 0x0F, p = cell.param;
        if (n <= 0) return;
        if ((vc >> 4) == 0x6) v.vol -= vx * n;
        else if ((vc >> 4) == 0x7) v.vol += vx * n;
        else if ((vc >> 4) == 0xD) v.pan -= vx * n;
        else if ((vc >> 4) == 0xE) v.pan += vx * n;
        if (volume_slide(cell.effect)) {
            uint8_t s = v.slide_memory;
            v.vol += (s >> 4) ? (s >> 4) * n : -(s & 0x0F) * n;
        } else if (cell.effect == xm_panslide) {
            uint8_t s = v.pan_slide_memory;
            v.pan += (s >> 4) ? (s >> 4) * n : -(s & 0x0F) * n;
        } else if (cell.effect == xm_extended && (p >> 4) == 0xC && (p & 0x0F) && (p & 0x0F) < ticks) {
            cut(v);
        } else if (cell.effect == xm_keyoff && p && p < ticks) {
            key_off(v);
        }
        v.vol = std::clamp(v.vol, 0, 64);
        v.pan = std::clamp(v.pan, 0, 255);
        if (!source) return;
        uint8_t hi = x.channel_slide >> 4, lo = x.channel_slide & 0x0F;
        if (hi && !lo) v.cv = std::min(64, v.cv + hi * n);
        else if (lo && !hi) v.cv = std::max(0, v.cv - lo * n);
    }

    // Tick 0 of the song-wide effects of a row.
    void start_globals(const XmCell* cells, const CellExtra* extras)
    {
        g.tempo_slide = 0;
        for (size_t c = 0; c < voices.size(); ++c) {
            const XmCell& cell = cells[c];
            if (cell.effect == xm_speed && cell.param) {
                if (cell.param < 32) g.speed = cell.param;
                else g.tempo = cell.param;
            } else if (cell.effect == xm_globalvol) {
                g.volume = std::min<int>(cell.param, 64);
            } else if (cell.effect == xm_gvol_slide && cell.param) {
                g.slide_memory = cell.param;
            }
            if (source && extras) {
                const CellExtra& x = extras[c];
                if (x.speed) g.speed = x.speed;
                if (x.tempo_slide) g.tempo_slide = (x.tempo_slide >> 4) ? (x.tempo_slide & 0x0F) : -(x.tempo_slide & 0x0F);
            }
        }
    }

    void rest_globals(const XmCell* cells, int ticks)
    {
        const int n = ticks - 1;
        if (n <= 0) return;
        for (size_t c = 0; c < voices.size(); ++c)
            if (cells[c].effect == xm_gvol_slide) {
                uint8_t s = g.slide_memory;
                g.volume = std::clamp(g.volume + ((s >> 4) ? (s >> 4) * n : -(s & 0x0F) * n), 0, 64);
            }
        if (g.tempo_slide) g.tempo = std::clamp(g.tempo + g.tempo_slide * n, 32, 255);
    }

    const XmModule& m;
    const SongSource& src;
    const bool source;
    std::vector<Voice> voices;
    Globals g;
};

int scaled(int v, double factor, int most) { return v ? std::clamp(int(std::lround(v * factor)), 1, most) : 0; }

// A cell's slides made to reach, in FT2's ticks, where the source's reach in its own: `level` is
// the share of the note volume that sounds (a quieter channel or instrument slides by that part),
// `ticks` the source's sliding ticks over FT2's.
void scale_slides(XmCell& c, double level, double ticks)
{
    const uint8_t vc = c.volume >> 4, e = c.effect, hi = c.param >> 4, lo = c.param & 0x0F;
    if (vc == 0x6 || vc == 0x7) c.volume = uint8_t(vc << 4 | scaled(c.volume & 0x0F, level * ticks, 15));
    else if (vc == 0x8 || vc == 0x9) c.volume = uint8_t(vc << 4 | scaled(c.volume & 0x0F, level, 15));
    else if (vc == 0xD || vc == 0xE) c.volume = uint8_t(vc << 4 | scaled(c.volume & 0x0F, ticks, 15));
    if (volume_slide(e)) c.param = uint8_t(scaled(hi, level * ticks, 15) << 4 | scaled(lo, level * ticks, 15));
    else if (e == xm_extended && (hi == 0xA || hi == 0xB)) c.param = uint8_t(hi << 4 | scaled(lo, level, 15));
    else if (e == xm_panslide || e == xm_gvol_slide) c.param = uint8_t(scaled(hi, ticks, 15) << 4 | scaled(lo, ticks, 15));
    else if (e == xm_porta_up || e == xm_porta_dn || e == xm_toneporta) c.param = uint8_t(scaled(c.param, ticks, 255));
}

// Frees a cell's effect column by moving its effect to the empty volume column, where the volume
// column has the same command: volume slides, fine volume slides and panning.
bool move_to_volume_column(XmCell& c)
{
    if (c.volume) return false;
    const uint8_t hi = c.param >> 4, lo = c.param & 0x0F;
    if (c.effect == xm_volslide && c.param && (!hi || !lo)) c.volume = uint8_t(hi ? 0x70 | hi : 0x60 | lo);
    else if (c.effect == xm_extended && (hi == 0xA || hi == 0xB) && lo) c.volume = uint8_t((hi == 0xA ? 0x90 : 0x80) | lo);
    else if (c.effect == xm_setpan) c.volume = uint8_t(0xC0 | std::min(15, (c.param + 8) >> 4));
    else return false;
    c.effect = c.param = 0;
    return true;
}

// A note's pitch envelope as FT2 plays it: portamento in 1/16 semitones a tick.
struct Bend {
    const PitchEnvelope* envelope = nullptr;
    int tick = 0;     // ticks since the note started
    int applied = 0;  // 1/16 semitones the XM has slid so far
};

// A channel of the XM as the new-note actions use it: the foreground of a source channel (the
// channel its cells go to), a note ringing on in the background, or free.
struct Lane {
    int owner = -1;           // source channel, -1 free
    bool background = false;  // a note left ringing by a new note of its owner
    int ins = 0, sample = -1, note = 0;  // the note it plays
    double start = 0, end = 0;  // when that note started and when it stops sounding, seconds of the source
};

constexpr double forever = std::numeric_limits<double>::infinity();

class Walk {
public:
    Walk(XmModule& m, const SongSource& src, int source_channels, bool routing)
        : m(m), src(src), source_channels(source_channels), routing(routing)
    {
    }

    // Plays the song through once; with `write` the corrections go into the pattern copies.
    void run(bool write)
    {
        const size_t orders = m.orders.size();
        copies.assign(orders, {});
        done.assign(orders, {});
        late = 0;
        Side source(m, src, true), xm(m, src, false);
        std::vector<int> loop_start(size_t(m.channels), 0), loop_count(size_t(m.channels), 0);
        std::vector<std::vector<char>> visited(orders);
        bends.assign(size_t(m.channels), Bend());
        pending.assign(size_t(m.channels), 0);
        st3_count.assign(size_t(m.channels), 0);
        periods.assign(size_t(m.channels), 0);
        st3_memory.assign(size_t(m.channels), 0);
        ft2_count.assign(size_t(m.channels), 0);
        fg.resize(size_t(source_channels));
        std::iota(fg.begin(), fg.end(), 0);
        lanes.assign(size_t(m.channels), Lane());
        for (int c = 0; c < source_channels; ++c) lanes[size_t(c)].owner = c;
        now = 0;
        no_channel = 0;
        std::vector<XmCell> routed(size_t(m.channels));
        std::vector<CellExtra> routed_extras(size_t(m.channels));
        size_t k = 0;
        int row = 0;
        for (long walked = 0; k < orders && walked < max_rows_walked; ++walked) {
            const XmPattern& pat = m.patterns[m.orders[k]];
            if (copies[k].empty()) {
                copies[k] = pat.cells;
                done[k].assign(size_t(pat.rows), 0);
                visited[k].assign(size_t(pat.rows), 0);
            }
            if (row >= pat.rows) row = 0;
            if (visited[k][size_t(row)]) break;  // the song starts over
            visited[k][size_t(row)] = 1;
            const size_t at = size_t(row) * size_t(m.channels);
            const size_t p = m.orders[k];
            const CellExtra* extras = p < src.extras.size() && !src.extras[p].empty() ? &src.extras[p][at] : nullptr;
            const XmCell* base = &pat.cells[at];
            if (routing) {
                route(source, base, extras, routed.data(), routed_extras.data(),
                      done[k][size_t(row)] ? nullptr : &copies[k][at]);
                base = routed.data();
                if (extras) extras = routed_extras.data();
            }
            play_row(source, xm, base, &copies[k][at], extras, write && !done[k][size_t(row)]);
            done[k][size_t(row)] = 1;
            now += source.g.speed * (1 + row_delay(base)) * 2.5 / std::max(source.g.tempo, 1);

            // Where the row leads, read from the XM cells (jumps already name XM positions).
            int jump = -1, target_row = -1, loop_to = -1;
            for (size_t c = 0; c < size_t(m.channels); ++c) {
                const XmCell& cell = copies[k][at + c];
                if (cell.effect == xm_jump) jump = cell.param;
                else if (cell.effect == xm_break) target_row = (cell.param >> 4) * 10 + (cell.param & 0x0F);
                else if (cell.effect == xm_extended && (cell.param >> 4) == 0x6) {
                    int n = cell.param & 0x0F;
                    if (n == 0) loop_start[c] = row;
                    else if (loop_count[c] == 0) loop_count[c] = n, loop_to = loop_start[c];
                    else if (--loop_count[c] > 0) loop_to = loop_start[c];
                }
            }
            if (loop_to >= 0) {
                std::fill(visited[k].begin() + loop_to, visited[k].begin() + row + 1, 0);
                row = loop_to;
            } else if (jump >= 0 || target_row >= 0) {
                k = jump >= 0 ? size_t(jump) : k + 1;
                row = std::max(target_row, 0);
                std::fill(loop_start.begin(), loop_start.end(), 0);
            } else if (++row >= pat.rows) {
                ++k;
                row = 0;
                std::fill(loop_start.begin(), loop_start.end(), 0);
            }
        }
    }

    // Gives each XM sample the pan its notes mostly want (counted by the first run).
    void choose_sample_pans()
    {
        for (auto& [key, counts] : pans) {
            auto best = std::max_element(counts.begin(), counts.end(),
                                         [](const auto& a, const auto& b) { return a.second < b.second; });
            m.instruments[size_t(key.first - 1)].samples[size_t(key.second)].panning = uint8_t(best->first);
        }
        pans.clear();
    }

    // The copies become the XM's patterns: identical copies of a pattern share one, the first keeps
    // the pattern's own number.
    void install(PlaybackReport& report)
    {
        const size_t source_patterns = m.patterns.size();
        std::vector<std::vector<size_t>> numbers(source_patterns);  // per pattern: its copies' numbers
        for (size_t k = 0; k < m.orders.size(); ++k) {
            const size_t p = m.orders[k];
            if (copies[k].empty()) copies[k] = m.patterns[p].cells;
            size_t number = SIZE_MAX;
            for (size_t n : numbers[p])
                if (m.patterns[n].cells == copies[k]) number = n;
            if (number == SIZE_MAX && numbers[p].empty()) {
                number = p;
                m.patterns[p].cells = copies[k];
            } else if (number == SIZE_MAX && m.patterns.size() < size_t(src.max_patterns)) {
                number = m.patterns.size();
                m.patterns.push_back({m.patterns[p].rows, copies[k]});
            } else if (number == SIZE_MAX) {
                number = numbers[p].front();
                ++report.shared;
            }
            if (std::find(numbers[p].begin(), numbers[p].end(), number) == numbers[p].end())
                numbers[p].push_back(number);
            m.orders[k] = uint8_t(number);
        }
    }

    int unplaced = 0;
    int no_channel = 0;  // new notes whose old note could not ring on
    int widest = 0;      // highest XM channel a note was moved to

private:
    bool alive(const Side& source, size_t x) const
    {
        const Lane& l = lanes[x];
        return l.ins > 0 && now < l.end && source.voices[x].sounding && source.voices[x].vol > 0;
    }

    // When a note that starts now on lane x stops by itself: the end of an unlooped sample, or of
    // a volume envelope that falls to 0 without sustain or loop.
    void start_note(const Side& source, size_t x, int ins, int sample, int note)
    {
        Lane& l = lanes[x];
        l.ins = ins, l.sample = sample, l.note = note, l.start = now, l.end = forever;
        if (!source.has_sample(ins, sample)) {
            l.end = now;
            return;
        }
        const XmInstrument& in = m.instruments[size_t(ins - 1)];
        const XmSample& smp = in.samples[size_t(sample)];
        if (smp.loop_type == xm_loop_none || smp.loop_length == 0) {
            const double rate = 8363.0 * std::pow(2.0, (note - 49 + smp.relative_note + smp.finetune / 128.0) / 12.0);
            l.end = now + double(smp.frames.size()) / rate;
        }
        const XmEnvelope& e = in.volume_envelope;
        if ((e.flags & xm_env_on) && !(e.flags & (xm_env_sustain | xm_env_loop)) && e.count > 0 &&
            e.points[size_t(e.count - 1)][1] == 0)
            l.end = std::min(l.end, now + e.points[size_t(e.count - 1)][0] * tick(source));
    }

    // A key-off (or fade) on lane x now: the note ends with the fadeout, or where its envelope
    // falls to 0 past the sustain point.
    void release(const Side& source, size_t x)
    {
        Lane& l = lanes[x];
        if (!source.has_sample(l.ins, l.sample)) return;
        const XmInstrument& in = m.instruments[size_t(l.ins - 1)];
        if (in.fadeout) l.end = std::min(l.end, now + 32768.0 / in.fadeout * tick(source));
        const XmEnvelope& e = in.volume_envelope;
        if ((e.flags & xm_env_on) && !(e.flags & xm_env_loop) && e.count > 0 && e.points[size_t(e.count - 1)][1] == 0) {
            const int from = (e.flags & xm_env_sustain) && e.sustain < e.count ? e.points[e.sustain][0] : 0;
            l.end = std::min(l.end, now + std::max(0, e.points[size_t(e.count - 1)][0] - from) * tick(source));
        }
    }

    static double tick(const Side& source) { return 2.5 / std::max(source.g.tempo, 1); }

    // A duplicate check of type `type` of a new note (instrument, sample, note) against lane x.
    bool duplicate(const Lane& l, uint8_t type, int ins, int sample, int note) const
    {
        switch (type) {
        case duplicate_note: return l.ins == ins && l.note == note;
        case duplicate_sample: return l.ins == ins && l.sample == sample;
        case duplicate_instrument: return l.ins == ins;
        default: return false;
        }
    }

    // The source's row, with each source channel's cells on the XM channel that plays its notes
    // now (`out`, `out_extras`), and the key-offs and cuts of the new-note actions on the channels
    // of the notes they end. `copy` (the XM's row, when it is still to be written) gets the same,
    // and an instrument number where a note moved to another channel needs one.
    void route(Side& source, const XmCell* cells, const CellExtra* extras, XmCell* out, CellExtra* out_extras,
               XmCell* copy)
    {
        const size_t width = size_t(m.channels);
        std::fill(out, out + width, XmCell());
        std::fill(out_extras, out_extras + width, CellExtra());
        std::vector<size_t> needs_instrument;
        for (size_t x = 0; x < width; ++x)
            if (lanes[x].background && !alive(source, x)) lanes[x] = Lane();
        for (int c = 0; c < source_channels; ++c) {
            const XmCell& cell = cells[c];
            size_t a = size_t(fg[size_t(c)]);
            if (plays_note(cell)) {
                const Voice& v = source.voices[a];
                const int ins = cell.instrument ? cell.instrument : v.ins;
                const bool known = ins >= 1 && size_t(ins) <= m.instruments.size() && !m.instruments[size_t(ins - 1)].samples.empty();
                const int sample = known ? m.instruments[size_t(ins - 1)].note_map[size_t(cell.note - 1)] : -1;
                const SampleSource* fresh = source.source_sample(ins, sample);
                const SampleSource* old = source.source_sample(lanes[a].ins, lanes[a].sample);
                // The old note rings on unless its action (or the duplicate check) cuts it.
                bool keep = old && old->nna != action_cut && alive(source, a);
                uint8_t action = old ? old->nna : uint8_t(action_cut);
                if (fresh && fresh->dct != duplicate_none) {
                    for (size_t x = 0; x < width; ++x) {
                        const Lane& l = lanes[x];
                        if (x == a || !l.background || l.owner != c || !alive(source, x) ||
                            !duplicate(l, fresh->dct, ins, sample, cell.note))
                            continue;
                        if (fresh->dca == action_cut) {
                            out[x].volume = 0x10;
                            lanes[x].end = now;
                        } else {
                            out[x].note = xm_key_off;
                            release(source, x);
                        }
                    }
                    if (keep && duplicate(lanes[a], fresh->dct, ins, sample, cell.note)) {
                        if (fresh->dca == action_cut) keep = false;
                        else action = fresh->dca;
                    }
                }
                if (keep) {
                    size_t s = width;
                    for (size_t x = 0; x < width && s == width; ++x)
                        if (lanes[x].owner < 0) s = x;
                    if (s == width) {
                        // No channel is free: the note that has rung longest in the background
                        // gives up its channel.
                        ++no_channel;
                        for (size_t x = 0; x < width; ++x)
                            if (lanes[x].background && (s == width || lanes[x].start < lanes[s].start)) s = x;
                    }
                    if (s < width) {
                        lanes[a].background = true;
                        if (action == action_off || action == action_fade) {
                            out[a].note = xm_key_off;
                            release(source, a);
                        }
                        lanes[s] = Lane();
                        lanes[s].owner = c;
                        source.voices[s] = source.voices[a];  // the channel's volume, pan and memories
                        bends[s] = Bend();
                        fg[size_t(c)] = int(s);
                        a = s;
                        widest = std::max(widest, int(s));
                        if (!cell.instrument) needs_instrument.push_back(s);
                    }
                }
                start_note(source, a, ins, sample, cell.note);
            } else if (cell.note == xm_key_off || (cell.effect == xm_keyoff && cell.param == 0)) {
                release(source, a);
            }
            out[a] = cell;
            if (extras) out_extras[a] = extras[c];
        }
        if (!copy) return;
        std::copy(out, out + width, copy);
        for (size_t x : needs_instrument) copy[x].instrument = uint8_t(source.voices[x].ins);
    }

    void play_row(Side& source, Side& xm, const XmCell* base, XmCell* out, const CellExtra* extras, bool write)
    {
        static const CellExtra none;
        const size_t channels = size_t(m.channels);
        for (size_t c = 0; c < channels; ++c) source.start(c, base[c], extras ? extras[c] : none);
        source.start_globals(base, extras);
        Globals before = xm.g;
        xm.start_globals(out, nullptr);
        if (write) place_globals(source, xm, before, base, out);

        const int source_ticks = source.g.speed * (1 + row_delay(base)), xm_ticks = xm.g.speed * (1 + row_delay(out));
        const double tick_share = xm_ticks > 1 ? (source_ticks - 1) / double(xm_ticks - 1) : 1;

        if (src.scream_tracker)
            for (size_t c = 0; c < channels; ++c) retrigger(c, base[c], out[c], source_ticks, xm_ticks, write);
        for (size_t c = 0; c < channels; ++c) {
            const CellExtra& x = extras ? extras[c] : none;
            const Voice& want = source.voices[c];
            Voice was = xm.voices[c];
            if (write) {
                // A note after a note off starts afresh in the source; FT2 needs the instrument.
                if (plays_note(base[c]) && !base[c].instrument && was.released && want.ins >= 1 &&
                    want.ins <= xm_max_instruments && source.heard_volume(want) > 0)
                    out[c].instrument = uint8_t(want.ins);
                if (keeps_pan_without_instrument(source, xm, c, was, out[c])) out[c].instrument = 0;
                const SampleSource* s = source.source_sample(want.ins, want.sample);
                scale_slides(out[c], want.cv / 64.0 * (s ? s->fold : 1), tick_share);
            }
            xm.start(c, out[c], x);
            if (src.scream_tracker) limit_slide_down(c, xm, out[c], xm_ticks, write);
            if (!write) {
                // Notes with no free column for a pan of their own count most.
                if (out[c].note >= 1 && out[c].note <= 96 && out[c].instrument && want.sounding &&
                    xm.has_sample(xm.voices[c].ins, xm.voices[c].sample))
                    pans[{xm.voices[c].ins, xm.voices[c].sample}][want.pan] +=
                        effect_free(out[c]) || !out[c].volume ? 1 : 16;
            } else if (want.sounding) {
                correct_voice(source, xm, c, was, out[c], x);
            }
        }
        for (size_t c = 0; c < channels; ++c) {
            bend(c, source, base[c], out[c], source_ticks, xm_ticks, write);
            source.rest(c, base[c], extras ? extras[c] : none, source_ticks);
            xm.rest(c, out[c], none, xm_ticks);
        }
        source.rest_globals(base, source_ticks);
        xm.rest_globals(out, xm_ticks);
    }

    // An instrument number makes FT2 take the sample's pan; where the channel already has the
    // pan the note wants and no column is free to give it again (the effect column is taken, the
    // volume column sets a volume), the note goes without the number: the same instrument, without
    // envelopes or auto-vibrato that the number would restart.
    bool keeps_pan_without_instrument(const Side& source, const Side& xm, size_t c, const Voice& was,
                                      const XmCell& cell) const
    {
        const Voice& want = source.voices[c];
        if (cell.note == xm_key_off || !cell.instrument || cell.instrument != was.ins || was.released ||
            !xm.has_sample(want.ins, want.sample) || std::abs(was.pan - want.pan) > 8)
            return false;
        const XmInstrument& in = m.instruments[size_t(want.ins - 1)];
        if (std::abs(in.samples[size_t(want.sample)].panning - want.pan) <= 8 || (in.volume_envelope.flags & xm_env_on) ||
            (in.panning_envelope.flags & xm_env_on) || in.vibrato_depth)
            return false;
        return !effect_free(cell) && cell.volume >= 0x10 && cell.volume <= 0x50;
    }

    // Follows the pitch envelope of the note on channel c through the row with portamento.
    void bend(size_t c, const Side& source, const XmCell& base, XmCell& out, int source_ticks, int xm_ticks,
              bool write)
    {
        Bend& b = bends[c];
        if (plays_note(base)) {
            const int ins = source.voices[c].ins;
            const bool has = m.linear_frequencies && ins >= 1 && size_t(ins) <= src.pitch_envelopes.size() &&
                             !src.pitch_envelopes[size_t(ins - 1)].points.empty();
            b = {has ? &src.pitch_envelopes[size_t(ins - 1)] : nullptr, 0, 0};
        }
        if (!b.envelope) return;
        const int target = int(std::lround(b.envelope->cents_at(b.tick + source_ticks - 1) * 0.16));
        const int slides = xm_ticks - 1, step = slides > 0 ? (target - b.applied) / slides : 0;
        if (write && step && effect_free(out)) {
            out.effect = step > 0 ? xm_porta_up : xm_porta_dn;
            out.param = uint8_t(std::min(std::abs(step), 255));
            b.applied += (step > 0 ? 1 : -1) * out.param * slides;
        }
        b.tick += source_ticks;
        if (b.tick > b.envelope->points.back().first && std::abs(target - b.applied) < std::max(slides, 1))
            b.envelope = nullptr;
    }

    // The ticks of a row (`ticks` long) at which FT2 retriggers the note of XM cell `cell`, from
    // the channel's retrigger counter `count` (-1: not known), which it updates. Rxy counts every
    // tick and retriggers at y (restarting from 1 on a note with an instrument; a set volume
    // holds the count on the first tick); E9x retriggers at each multiple of x past tick 0 (E90:
    // at tick 0) and leaves the counter where this model does not follow it.
    static std::vector<int> ft2_retriggers(const XmCell& cell, int ticks, int& count)
    {
        std::vector<int> at;
        const bool note = cell.note >= 1 && cell.note <= 96;
        if (cell.effect == xm_extended && (cell.param >> 4) == 0x9) {
            const int x = cell.param & 0x0F;
            if (!x) at.push_back(0);
            for (int t = x; x && t < ticks; t += x) at.push_back(t);
            count = -1;
            return at;
        }
        if (cell.effect != xm_retrig) return at;
        const int y = cell.param & 0x0F;
        for (int t = 0; t < ticks; ++t) {
            if (t == 0 && note && cell.instrument) count = 1;
            if (count < 0) return at;
            if (t == 0 && cell.volume > 0x10 && cell.volume <= 0x50) continue;
            if (count >= y && (t > 0 || !note)) {
                at.push_back(t);
                count = 0;
            }
            ++count;
        }
        return at;
    }

    // Scream Tracker's retriggers on channel c (see SongSource): where they fall in this row, and
    // the XM effect (Rxy, E9x or none) that makes FT2 retrigger on the same ticks from its own
    // counter, where one does.
    void retrigger(size_t c, const XmCell& base, XmCell& out, int source_ticks, int xm_ticks, bool write)
    {
        if (plays_note(base)) st3_count[c] = 0;
        if (base.effect == xm_retrig) {
            if (base.param) st3_memory[c] = base.param;
            const int p = st3_memory[c], y = std::max(p & 0x0F, 1);
            std::vector<int> want;
            for (int t = 0; t < source_ticks; ++t, ++st3_count[c])
                if (st3_count[c] && st3_count[c] % y == 0) want.push_back(t);
            if (write && source_ticks == xm_ticks && out.effect == xm_retrig) {
                auto fits = [&](uint8_t effect, int param) {
                    XmCell trial = out;
                    trial.effect = effect;
                    trial.param = uint8_t(param);
                    int count = ft2_count[c];
                    return ft2_retriggers(trial, xm_ticks, count) == want;
                };
                const int volume = p & 0xF0;
                // Rxy first (FT2's counter stays known), then nothing, then E9x.
                std::vector<std::pair<uint8_t, int>> choices{{xm_retrig, volume | y}};
                for (int k = 1; k < 16; ++k) choices.push_back({xm_retrig, volume | k});
                if (want.empty()) choices.push_back({0, 0});
                if (volume == 0 || volume == 0x80)
                    for (int x = 0; x < 16; ++x) choices.push_back({xm_extended, 0x90 | x});
                for (auto [effect, param] : choices)
                    if (fits(effect, param)) {
                        out.effect = effect;
                        out.param = uint8_t(param);
                        break;
                    }
                if (out.effect == xm_retrig && !out.param) out.param = uint8_t(volume | y);
            }
        }
        ft2_retriggers(out, xm_ticks, ft2_count[c]);
    }

    // Scream Tracker holds a slide down at its longest period (0x7FFF, in periods of 1/4 Amiga
    // period); FT2 slides on past it. Channel c's period is followed through its notes and
    // slides, and a slide down that would pass the limit is shortened (or left out) to stop there.
    void limit_slide_down(size_t c, const Side& xm, XmCell& cell, int ticks, bool write)
    {
        constexpr double longest = 0x7FFF, clock = 14317056.0;  // period = clock / rate
        double& p = periods[c];
        const Voice& v = xm.voices[c];
        if (plays_note(cell) && xm.has_sample(v.ins, v.sample)) {
            const XmSample& s = m.instruments[size_t(v.ins - 1)].samples[size_t(v.sample)];
            p = clock / (8363.0 * std::pow(2.0, (cell.note - 49 + s.relative_note + s.finetune / 128.0) / 12.0));
        } else if (tone_portamento(cell)) {
            p = 0;  // somewhere between two notes: not followed
        }
        if (p <= 0) return;
        const uint8_t e = cell.effect, hi = cell.param >> 4, lo = cell.param & 0x0F;
        const int slides = std::max(ticks - 1, 0);
        double step = 0, down = 0;  // period units of one step of the parameter, and all the row slides down
        if (e == xm_porta_dn) step = 4.0 * slides, down = step * cell.param;
        else if (e == xm_extended && hi == 0x2) step = 4, down = 4.0 * lo;
        else if (e == xm_extra_fine && hi == 0x2) step = 1, down = lo;
        else if (e == xm_porta_up) p -= 4.0 * slides * cell.param;
        else if (e == xm_extended && hi == 0x1) p -= 4.0 * lo;
        else if (e == xm_extra_fine && hi == 0x1) p -= lo;
        p = std::max(p, 1.0);
        if (down <= 0) return;
        if (write && p + down > longest) {
            const int k = int((longest - p) / step);
            if (k < 1) cell.effect = cell.param = 0;
            else cell.param = uint8_t(e == xm_porta_dn ? k : hi << 4 | k);
        }
        p = std::min(p + down, longest);
    }

    // FT2 repeats a row with EEx (the first one of the row counts).
    int row_delay(const XmCell* cells) const
    {
        for (size_t c = 0; c < size_t(m.channels); ++c)
            if (cells[c].effect == xm_extended && (cells[c].param >> 4) == 0xE) return cells[c].param & 0x0F;
        return 0;
    }

    // Writes the volume and pan the source's note has where FT2's differs, in a free column.
    void correct_voice(const Side& source, Side& xm, size_t c, const Voice& was, XmCell& cell, const CellExtra& x)
    {
        const Voice& want = source.voices[c];
        const int volume = source.heard_volume(want);
        auto replay = [&] {
            xm.voices[c] = was;
            xm.start(c, cell, x);
        };
        if (xm.voices[c].vol != volume) {
            if (set_volume_or_free(cell.volume)) {
                cell.volume = uint8_t(0x10 + volume);
                replay();
                if (xm.voices[c].vol != volume) {  // a fine slide in the effect column follows
                    cell.volume = uint8_t(std::clamp(0x10 + 2 * volume - xm.voices[c].vol, 0x10, 0x50));
                    replay();
                }
            } else if (effect_free(cell)) {
                cell.effect = xm_volume;
                cell.param = uint8_t(volume);
                replay();
            }
        }
        if (std::abs(xm.voices[c].pan - want.pan) > 8) {
            if (effect_free(cell)) {
                cell.effect = xm_setpan;
                cell.param = uint8_t(want.pan);
                replay();
            } else if (cell.volume == 0) {
                cell.volume = uint8_t(0xC0 | std::min(15, (want.pan + 8) >> 4));
                replay();
            }
        }
        // What found no column is counted once until it is placed.
        const bool missing = xm.voices[c].vol != volume || std::abs(xm.voices[c].pan - want.pan) > 8;
        unplaced += missing && !pending[c];
        pending[c] = missing;
    }

    // Speed, BPM and global volume: FT2's made equal to the source's on this row.
    void place_globals(const Side& source, Side& xm, const Globals& before, const XmCell* base, XmCell* out)
    {
        const size_t channels = size_t(m.channels);
        SpeedPair want = xm_speed_pair(source.g.speed, source.g.tempo, source.g.tempo_slide,
                                       row_delay(base) == 0 && row_delay(out) == 0, late);
        std::vector<XmCell*> columns;
        auto take = [&](uint8_t effect, int param) {
            if (columns.empty()) {
                ++unplaced;
                return;
            }
            columns.back()->effect = effect;
            columns.back()->param = uint8_t(param);
            columns.pop_back();
        };
        const bool retime = xm.g.speed != want.speed || xm.g.tempo != want.bpm;
        if (retime)
            for (size_t c = 0; c < channels; ++c)
                if (out[c].effect == xm_speed) out[c].effect = out[c].param = 0;
        // Free effect columns, the last channel's taken first; when too few, effects that the
        // volume column can hold move there.
        int needed = (retime && before.speed != want.speed) + (retime && before.tempo != want.bpm) +
                     (want.repeats > 0) + (xm.g.volume != source.g.volume);
        // Channels that new-note actions may have added beyond those in use so far are left out.
        const size_t usable = routing ? std::min(channels, size_t(std::max(source_channels, widest + 1))) : channels;
        for (size_t c = 0; c < usable; ++c)
            if (effect_free(out[c])) columns.push_back(&out[c]);
        for (size_t c = 0; c < usable && int(columns.size()) < needed; ++c)
            if (move_to_volume_column(out[c])) columns.insert(columns.begin(), &out[c]);
        if (retime && before.speed != want.speed) take(xm_speed, want.speed);
        if (retime && before.tempo != want.bpm) take(xm_speed, want.bpm);
        if (want.repeats) take(xm_extended, 0xE0 | want.repeats);
        if (xm.g.volume != source.g.volume) {
            XmCell* g = nullptr;
            for (size_t c = 0; c < channels; ++c)
                if (out[c].effect == xm_globalvol) g = &out[c];
            if (g) g->param = uint8_t(source.g.volume);
            else take(xm_globalvol, source.g.volume);
        }
        xm.g = before;
        xm.start_globals(out, nullptr);
    }

    XmModule& m;
    const SongSource& src;
    std::vector<std::vector<XmCell>> copies;  // per order position: its pattern as played there
    std::vector<std::vector<char>> done;      // rows of the copies already written
    std::map<std::pair<int, int>, std::map<int, int>> pans;  // (instrument, sample) -> pan -> notes
    double late = 0;  // seconds the XM is behind the source
    std::vector<Bend> bends;  // per channel
    std::vector<char> pending;  // per channel: a volume or pan still waiting for a free column
    const int source_channels;  // channels whose cells the patterns hold
    const bool routing;         // new-note actions move notes to other channels
    std::vector<int> fg;        // per source channel: the XM channel its cells go to
    std::vector<Lane> lanes;    // per XM channel
    double now = 0;             // seconds of the source at the row being played
    std::vector<int> st3_count, st3_memory;  // per channel: Scream Tracker's retrigger counter and Q memory
    std::vector<int> ft2_count;              // per channel: FT2's retrigger counter, -1 not known
    std::vector<double> periods;             // per channel: Scream Tracker's period, 0 not followed
};

// Every pattern `width` channels wide (cells of the channels beyond the old width empty, those
// beyond the new one dropped), and the extras with them.
void set_width(XmModule& m, std::vector<std::vector<CellExtra>>* extras, int width)
{
    const size_t old = size_t(m.channels), w = size_t(width);
    auto widen = [&](auto& cells, size_t rows) {
        std::remove_reference_t<decltype(cells)> out(rows * w);
        for (size_t r = 0; r < rows; ++r)
            for (size_t c = 0; c < std::min(old, w); ++c) out[r * w + c] = cells[r * old + c];
        cells = std::move(out);
    };
    for (size_t p = 0; p < m.patterns.size(); ++p) {
        widen(m.patterns[p].cells, size_t(m.patterns[p].rows));
        if (extras && p < extras->size() && !(*extras)[p].empty()) widen((*extras)[p], size_t(m.patterns[p].rows));
    }
    m.channels = width;
}

} // namespace

int PitchEnvelope::cents_at(int tick) const
{
    if (points.empty()) return 0;
    if (tick <= points.front().first) return points.front().second;
    for (size_t i = 1; i < points.size(); ++i) {
        auto [x1, y1] = points[i];
        if (tick > x1) continue;
        auto [x0, y0] = points[i - 1];
        return y0 + (y1 - y0) * (tick - x0) / std::max(x1 - x0, 1);
    }
    return points.back().second;
}

SpeedPair xm_speed_pair(int speed, int tempo, int slide, bool may_repeat, double& late)
{
    speed = std::max(speed, 1);
    tempo = std::clamp(tempo, 32, 255);
    if (speed <= 31 && !slide) return {speed, tempo, 0};
    double length = 2.5 / tempo;  // the source's row, in seconds
    for (int t = 1; t < speed; ++t) length += 2.5 / std::clamp(tempo + slide * t, 32, 255);
    // As many ticks as the source has (envelopes and slides advance by ticks): more than 31 as a
    // row repeated (speed x (1 + repeats)); the BPM makes up the time.
    SpeedPair pair{std::min(speed, 31), 0, 0};
    for (int r = 1; may_repeat && r <= 15 && speed > 31; ++r) {
        int s = std::min(31, int(std::lround(speed / double(r + 1))));
        if (std::abs(s * (r + 1) - speed) < std::abs(pair.speed * (pair.repeats + 1) - speed)) pair = {s, 0, r};
    }
    const double target = std::max(length - late, 0.01);
    pair.bpm = std::clamp(int(std::lround(pair.speed * (pair.repeats + 1) * 2.5 / target)), 32, 255);
    late += pair.speed * (pair.repeats + 1) * 2.5 / pair.bpm - length;
    return pair;
}

PlaybackReport follow_playback(XmModule& m, const SongSource& src)
{
    PlaybackReport report;
    double late = 0;  // the header cannot repeat rows: the first row does
    SpeedPair start = xm_speed_pair(src.speed, src.tempo, 0, true, late);
    m.speed = start.speed;
    m.bpm = start.bpm;
    // New-note actions that let a note ring on: the walk may use every channel XM has, and the
    // song keeps as many as it used.
    bool rings_on = false;
    for (const auto& list : src.samples)
        for (const SampleSource& s : list) rings_on = rings_on || s.nna != action_cut;
    const int own = m.channels;
    SongSource wide;
    if (rings_on && own < xm_max_channels) {
        wide = src;
        set_width(m, &wide.extras, xm_max_channels);
        wide.channel_pans.resize(size_t(xm_max_channels), 128);
        wide.channel_volumes.resize(size_t(xm_max_channels), 64);
    }
    Walk walk(m, rings_on && own < xm_max_channels ? wide : src, own, rings_on);
    walk.run(false);
    walk.choose_sample_pans();
    walk.run(true);
    walk.install(report);
    report.unplaced = walk.unplaced;
    report.no_channel = walk.no_channel;
    if (m.channels != own) set_width(m, nullptr, std::min(xm_max_channels, (std::max(own, walk.widest + 1) + 1) / 2 * 2));
    return report;
}

} // namespace xmconv
