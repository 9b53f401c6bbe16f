// Waves from a SoundFont, made into the instrument an XI file would give.
//
// A preset's zones (each preset zone an instrument, each of its zones a sample, with the key and
// velocity ranges both levels allow) become the samples of one instrument:
// - the zones that sound at a middle velocity (64) are candidates (all zones when none does);
//   the two zones of a stereo pair (a left and a right sample linked to each other over the same
//   keys) become one sample, its two channels mixed;
// - each key from MIDI key 12 to 107 (the instrument's notes C-0..B-7) takes the first candidate
//   that covers it; an XI instrument holds 16 samples, so of more the 16 are kept that cover the
//   most keys the song plays, then the most keys (then the keys of a kit's usual drums, 35 up);
//   keys no kept zone covers take the nearest key's sample;
// - a sample's frames and loop (loop modes 1 and 3) come with the zone's address offsets; its
//   pitch (the zone's root key, else the sample's own; coarse and fine tuning, the sample's
//   correction, scale tuning) becomes the relative note and finetune of an XI sample, as it
//   sounds at its first note; the attenuation (centibels, instrument plus preset) its volume;
// - the volume envelope (delay, attack, hold, decay, sustain level, release) of the zone that
//   covers the most keys becomes the instrument's envelope points (XM ticks of 20 ms, at most
//   324), the release its fadeout.
// A drum key's own wave is the one zone that covers the key, sounding at C-4 as the key sounds.
#include "convert/soundfont_waves.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/byteio.h"
#include "core/log.h"
#include "core/pool.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "song/song.h"
#include "songwriter/wave_data.h"
#include "songwriter/wave_table.h"

namespace {

constexpr int middle_velocity = 64;
constexpr int lowest_key = 12;            // MIDI key of the instrument's note C-0
constexpr int instrument_notes = 96;
constexpr int single_root = 48;           // C-4: the note a one-sample wave sounds at its rate
constexpr double xm_ticks_per_second = 50.0; // 125 BPM
constexpr int envelope_last_tick = 324;
constexpr size_t copy_frames = size_t(1) << 18; // frames per block copied into an XI file

// A zone of the preset as it sounds: instrument generators with the preset's added.
struct Voice {
    int key_lo = 0, key_hi = 127, vel_lo = 0, vel_hi = 127;
    int sample = -1;
    int32_t g[sf_generator_count] = {};
    int64_t start = 0, end = 0;     // frames of smpl, after the address offsets
    int partner = -1;               // the stereo pair's other voice
    bool taken = false;             // mixed into another voice
};

void set_defaults(int32_t* g)
{
    for (int k = 0; k < sf_generator_count; ++k) g[k] = 0;
    for (int k = sf_delay_vol_env; k <= sf_release_vol_env; ++k) g[k] = -12000; // timecents: about 1 ms
    g[sf_sustain_vol_env] = 0;
    g[sf_key_range] = g[sf_vel_range] = 0x7F00; // 0..127
    g[sf_scale_tuning] = 100;
    g[sf_root_key] = -1;
}

// Applies a zone's generators; returns the instrument or sample it names (`link`), -1 none.
int apply_zone(const std::vector<SfGenerator>& gens, const SfZone& z, uint16_t link, int32_t* g, bool* present)
{
    int named = -1;
    for (uint32_t k = z.first_gen; k < z.end_gen && k < gens.size(); ++k) {
        const SfGenerator& gen = gens[k];
        if (gen.oper == link) {
            named = gen.amount;
            continue;
        }
        if (gen.oper >= sf_generator_count) continue;
        g[gen.oper] = gen.oper == sf_key_range || gen.oper == sf_vel_range ? int32_t(gen.amount) : int32_t(int16_t(gen.amount));
        if (present) present[gen.oper] = true;
    }
    return named;
}

bool zone_names(const std::vector<SfGenerator>& gens, const SfZone& z, uint16_t link)
{
    for (uint32_t k = z.first_gen; k < z.end_gen && k < gens.size(); ++k)
        if (gens[k].oper == link) return true;
    return false;
}

int range_lo(int32_t r) { return r & 0xFF; }
int range_hi(int32_t r) { return (r >> 8) & 0xFF; }

int64_t clamp64(int64_t v, int64_t lo, int64_t hi) { return v < lo ? lo : v > hi ? hi : v; }

// Generators a preset zone adds to its instrument's.
constexpr int preset_adds[] = {sf_delay_vol_env, sf_attack_vol_env, sf_hold_vol_env, sf_decay_vol_env,
                               sf_sustain_vol_env, sf_release_vol_env, sf_attenuation, sf_coarse_tune,
                               sf_fine_tune, sf_scale_tuning};

std::vector<Voice> preset_voices(const SoundFont& sf, const SfPreset& p)
{
    std::vector<Voice> out;
    int32_t pglobal[sf_generator_count];
    bool pglobal_set[sf_generator_count] = {};
    for (int k = 0; k < sf_generator_count; ++k) pglobal[k] = 0;
    pglobal[sf_key_range] = pglobal[sf_vel_range] = 0x7F00;
    for (uint32_t pz = p.first_zone; pz < p.end_zone; ++pz) {
        const SfZone& zone = sf.preset_zones[pz];
        if (!zone_names(sf.preset_gens, zone, sf_instrument)) {
            if (pz == p.first_zone) apply_zone(sf.preset_gens, zone, sf_instrument, pglobal, pglobal_set);
            continue;
        }
        int32_t pg[sf_generator_count];
        bool pset[sf_generator_count];
        std::copy(pglobal, pglobal + sf_generator_count, pg);
        std::copy(pglobal_set, pglobal_set + sf_generator_count, pset);
        const int inst = apply_zone(sf.preset_gens, zone, sf_instrument, pg, pset);
        if (inst < 0 || size_t(inst) >= sf.instruments.size()) continue;
        const SfPreset& in = sf.instruments[size_t(inst)];
        int32_t iglobal[sf_generator_count];
        set_defaults(iglobal);
        for (uint32_t iz = in.first_zone; iz < in.end_zone; ++iz) {
            const SfZone& izone = sf.instrument_zones[iz];
            if (!zone_names(sf.instrument_gens, izone, sf_sample_id)) {
                if (iz == in.first_zone) apply_zone(sf.instrument_gens, izone, sf_sample_id, iglobal, nullptr);
                continue;
            }
            Voice v;
            std::copy(iglobal, iglobal + sf_generator_count, v.g);
            v.sample = apply_zone(sf.instrument_gens, izone, sf_sample_id, v.g, nullptr);
            if (v.sample < 0 || size_t(v.sample) >= sf.samples.size()) continue;
            for (int k : preset_adds)
                if (pset[k]) v.g[k] += pg[k];
            v.key_lo = std::max(range_lo(v.g[sf_key_range]), range_lo(pg[sf_key_range]));
            v.key_hi = std::min(range_hi(v.g[sf_key_range]), range_hi(pg[sf_key_range]));
            v.vel_lo = std::max(range_lo(v.g[sf_vel_range]), range_lo(pg[sf_vel_range]));
            v.vel_hi = std::min(range_hi(v.g[sf_vel_range]), range_hi(pg[sf_vel_range]));
            if (v.key_lo > v.key_hi || v.vel_lo > v.vel_hi) continue;
            const SfSample& s = sf.samples[size_t(v.sample)];
            if (s.type & sf_rom_sample) continue;
            const int64_t frames = sf.sample_frames;
            v.start = clamp64(int64_t(s.start) + v.g[sf_start_offset] + 32768 * int64_t(v.g[sf_start_coarse_offset]), 0, frames);
            v.end = clamp64(int64_t(s.end) + v.g[sf_end_offset] + 32768 * int64_t(v.g[sf_end_coarse_offset]), 0, frames);
            if (v.end <= v.start) continue;
            out.push_back(v);
        }
    }
    return out;
}

// The candidates: zones sounding at a middle velocity (all when none does), stereo pairs joined.
std::vector<Voice*> candidates(const SoundFont& sf, std::vector<Voice>& voices)
{
    std::vector<Voice*> c;
    for (Voice& v : voices)
        if (v.vel_lo <= middle_velocity && middle_velocity <= v.vel_hi) c.push_back(&v);
    if (c.empty())
        for (Voice& v : voices) c.push_back(&v);
    for (size_t i = 0; i < c.size(); ++i) {
        Voice& v = *c[i];
        const SfSample& s = sf.samples[size_t(v.sample)];
        if (v.taken || !(s.type & (sf_left_sample | sf_right_sample))) continue;
        for (size_t j = i + 1; j < c.size(); ++j) {
            Voice& w = *c[j];
            if (!w.taken && w.sample == int(s.link) && w.key_lo == v.key_lo && w.key_hi == v.key_hi) {
                v.partner = int(&w - voices.data());
                w.taken = true;
                break;
            }
        }
    }
    std::vector<Voice*> out;
    for (Voice* v : c)
        if (!v->taken) out.push_back(v);
    return out;
}

bool key_set(const uint8_t* keys, int k) { return keys && (keys[k >> 3] >> (k & 7) & 1); }

// Of equal zones, a kit's usual drums first: keys 35 up, then those below.
int key_order(int k) { return k >= 35 ? k - 35 : 100 + 35 - k; }

// XI relative note and finetune of a sample whose note `r` (0..95) sounds as MIDI key `kr`.
void set_tuning(SfWaveSample& ws, const Voice& v, const SfSample& s, int r, int kr)
{
    const int32_t rk = v.g[sf_root_key];
    const int root = rk >= 0 && rk <= 127 ? rk : s.pitch <= 127 ? s.pitch : 60;
    const double semitones = (kr - root) * v.g[sf_scale_tuning] / 100.0 + v.g[sf_coarse_tune] +
                             (v.g[sf_fine_tune] + s.correction) / 100.0;
    const double t = 12.0 * std::log2(double(s.rate) / 8363.0) + semitones + single_root - r;
    const long rel = std::clamp(std::lround(t), -127L, 128L);
    ws.relative_note = int(rel);
    ws.finetune = int(std::clamp(std::lround((t - double(rel)) * 128.0), -128L, 127L));
}

void set_sample(SfWaveSample& ws, const SoundFont& sf, const std::vector<Voice>& voices, const Voice& v, int r, int kr)
{
    const SfSample& s = sf.samples[size_t(v.sample)];
    std::snprintf(ws.name, sizeof ws.name, "%.22s", s.name);
    ws.start = uint32_t(v.start);
    uint64_t frames = uint64_t(v.end - v.start);
    if (v.partner >= 0) {
        const Voice& p = voices[size_t(v.partner)];
        ws.partner = true;
        ws.partner_start = uint32_t(p.start);
        frames = std::min<uint64_t>(frames, uint64_t(p.end - p.start));
    }
    ws.frames = uint32_t(frames);
    const int64_t ls = int64_t(s.loop_start) + v.g[sf_loop_start_offset] + 32768 * int64_t(v.g[sf_loop_start_coarse_offset]) - v.start;
    const int64_t le = int64_t(s.loop_end) + v.g[sf_loop_end_offset] + 32768 * int64_t(v.g[sf_loop_end_coarse_offset]) - v.start;
    const int64_t lo = clamp64(ls, 0, int64_t(frames)), hi = clamp64(le, 0, int64_t(frames));
    if ((v.g[sf_sample_modes] & 1) && hi > lo) {
        ws.loop_start = uint32_t(lo);
        ws.loop_end = uint32_t(hi);
    }
    const double cb = std::max<int32_t>(0, v.g[sf_attenuation]);
    ws.volume = int(std::lround(64.0 * std::pow(10.0, -cb / 200.0)));
    set_tuning(ws, v, s, r, kr);
}

// The volume envelope of a zone as XI envelope points (ticks, 0..64), its sustain and fadeout.
void set_envelope(InstrumentBody& b, const Voice& v)
{
    auto ticks = [](int32_t tc) { return std::pow(2.0, std::clamp(tc, -12000, 8000) / 1200.0) * xm_ticks_per_second; };
    const double delay = ticks(v.g[sf_delay_vol_env]), attack = ticks(v.g[sf_attack_vol_env]);
    const double hold = ticks(v.g[sf_hold_vol_env]), decay = ticks(v.g[sf_decay_vol_env]);
    const double release = ticks(v.g[sf_release_vol_env]);
    const int sustain_cb = std::clamp(v.g[sf_sustain_vol_env], 0, 1000); // 1000: silence
    std::vector<std::pair<double, double>> pts;
    double x = 0;
    if (delay >= 1 || attack >= 1) pts.emplace_back(0, 0);
    if (delay >= 1) pts.emplace_back(x += delay, 0);
    pts.emplace_back(x += attack, 64);
    if (hold >= 1) pts.emplace_back(x += hold, 64);
    const double level = sustain_cb >= 1000 ? 0 : 64.0 * std::pow(10.0, -sustain_cb / 200.0);
    if (sustain_cb > 0) {
        // Linear in decibels: half the time, half the decibels.
        const double t = decay * sustain_cb / 1000.0;
        pts.emplace_back(x + t / 2, 64.0 * std::pow(10.0, -sustain_cb / 400.0));
        pts.emplace_back(x += t, level);
    }
    int n = 0, last = -1;
    for (const auto& p : pts) {
        if (n == envelope_max_points || last >= envelope_last_tick) break;
        const int px = std::min(envelope_last_tick, std::max(last + 1, int(std::lround(p.first))));
        b.volume_envelope[2 * n] = uint16_t(px);
        b.volume_envelope[2 * n + 1] = uint16_t(std::lround(p.second));
        last = px;
        ++n;
    }
    const bool sustains = level >= 0.5;
    b.points[0] = uint8_t(n);       // volume points
    b.points[2] = uint8_t(n - 1);   // sustain point: the last
    b.points[8] = sustains ? 3 : 1; // on, with sustain while it sounds
    b.fadeout = sustains ? uint16_t(std::clamp(std::lround(65536.0 / std::max(1.0, release)), 1L, 4095L)) : 0;
}

} // namespace

std::string soundfont_wave(const SoundFont& sf, const SfWaveRequest& r, SfWave& out)
{
    out = SfWave();
    const SfPreset* p = find_preset(sf, r.bank, r.program);
    if (!p && r.bank == sf_percussion_bank) p = find_preset(sf, r.bank, 0);
    char id[64];
    std::snprintf(id, sizeof id, "%d:%d", r.bank, r.program);
    if (!p) return std::string("the SoundFont has no preset ") + id;
    out.preset = std::to_string(p->bank) + ":" + std::to_string(p->program) + " " + p->name;
    std::vector<Voice> voices = preset_voices(sf, *p);
    std::vector<Voice*> cand = candidates(sf, voices);

    if (r.drum_key >= 0) {
        for (Voice* v : cand)
            if (v->key_lo <= r.drum_key && r.drum_key <= v->key_hi) {
                out.samples.resize(1);
                set_sample(out.samples[0], sf, voices, *v, single_root, r.drum_key);
                std::snprintf(out.name, sizeof out.name, "%.22s", sf.samples[size_t(v->sample)].name);
                set_envelope(out.body, *v);
                return "";
            }
        return std::string("preset ") + out.preset + " plays no sample at key " + std::to_string(r.drum_key);
    }

    // The zone of each note; then at most 16 zones, the others' notes to the nearest kept one.
    int owner[instrument_notes];
    std::vector<int> used(cand.size(), 0), played(cand.size(), 0);
    for (int n = 0; n < instrument_notes; ++n) {
        owner[n] = -1;
        for (size_t k = 0; k < cand.size(); ++k)
            if (cand[k]->key_lo <= n + lowest_key && n + lowest_key <= cand[k]->key_hi) {
                owner[n] = int(k);
                ++used[k];
                if (key_set(r.keys, n + lowest_key)) ++played[k];
                break;
            }
    }
    std::vector<int> rank;
    for (size_t k = 0; k < cand.size(); ++k)
        if (used[k]) rank.push_back(int(k));
    if (rank.empty()) return std::string("preset ") + out.preset + " plays no sample";
    auto first_note = [&](int k) {
        for (int n = 0; n < instrument_notes; ++n)
            if (owner[n] == k) return n;
        return instrument_notes;
    };
    std::stable_sort(rank.begin(), rank.end(), [&](int a, int b) {
        if (played[size_t(a)] != played[size_t(b)]) return played[size_t(a)] > played[size_t(b)];
        if (used[size_t(a)] != used[size_t(b)]) return used[size_t(a)] > used[size_t(b)];
        return key_order(first_note(a) + lowest_key) < key_order(first_note(b) + lowest_key);
    });
    if (rank.size() > size_t(sf_wave_samples)) {
        for (size_t j = sf_wave_samples; j < rank.size(); ++j)
            for (int& o : owner)
                if (o == rank[j]) o = -1;
        rank.resize(sf_wave_samples);
    }
    int filled[instrument_notes];
    for (int n = 0; n < instrument_notes; ++n) {
        filled[n] = owner[n];
        for (int d = 1; filled[n] < 0 && d < instrument_notes; ++d) {
            if (n - d >= 0 && owner[n - d] >= 0) filled[n] = owner[n - d];
            else if (n + d < instrument_notes && owner[n + d] >= 0) filled[n] = owner[n + d];
        }
    }
    // Samples numbered in the order of their first notes.
    std::vector<int> order;
    for (int n = 0; n < instrument_notes; ++n)
        if (std::find(order.begin(), order.end(), filled[n]) == order.end()) order.push_back(filled[n]);
    const bool single = order.size() == 1;
    out.samples.resize(order.size());
    for (size_t j = 0; j < order.size(); ++j) {
        int first = instrument_notes;
        for (int n = 0; n < instrument_notes; ++n) {
            if (filled[n] == order[j]) {
                out.body.key_map[n] = uint8_t(j);
                if (first == instrument_notes) first = n;
            }
        }
        const int root = single ? single_root : first;
        set_sample(out.samples[j], sf, voices, *cand[size_t(order[j])], root, root + lowest_key);
    }
    std::snprintf(out.name, sizeof out.name, "%.22s", p->name);
    set_envelope(out.body, *cand[size_t(rank[0])]);
    return "";
}

void fill_soundfont_instrument(Conversion& c, const SfWave& w, InstrumentRecord& ins)
{
    // As the instrument reader takes the name from an XI file: the 23 characters before its 0x1A,
    // so that the wave is the same whether it comes from the bank or from its exported XI file.
    std::snprintf(ins.name, sizeof ins.name, " %-22.22s", w.name);
    const int count = int(w.samples.size());
    ins.sample_count = count;
    ins.is_empty = 0;
    ins.samples = pool_array<SampleRecord>(c.pool, size_t(count));
    for (int p = 0; p < envelope_max_points; ++p) {
        ins.envelope_x[p] = w.body.volume_envelope[2 * p];
        ins.envelope_y[p] = w.body.volume_envelope[2 * p + 1];
    }
    ins.envelope_points = w.body.points[0];
    ins.envelope_sustain = w.body.points[2];
    ins.envelope_type = w.body.points[8];
    ins.fadeout = w.body.fadeout;
    int64_t bytes = 0;
    int last = -1;
    for (int j = 0; j < count; ++j) ins.samples[j].root_note = 97;
    for (int n = 0; n < instrument_notes; ++n) {
        const int s = w.body.key_map[n];
        if (s > last && s < count) {
            ins.samples[s].root_note = n + 1;
            last = s;
        }
    }
    for (int j = 0; j < count; ++j) {
        const SfWaveSample& ws = w.samples[size_t(j)];
        SampleRecord& s = ins.samples[j];
        s.length = int(2 * int64_t(ws.frames));
        s.loop_start = int(2 * int64_t(ws.loop_start));
        s.loop_length = int(2 * int64_t(ws.loop_end - ws.loop_start));
        s.is_looping = ws.loop_end > ws.loop_start;
        s.type = uint8_t(0x10 | (s.is_looping ? 1 : 0));
        s.is_16bit = 1;
        s.volume = ws.volume;
        s.finetune = ws.finetune;
        s.relative_note = ws.relative_note;
        clip_sample_loop(s, 0);
        bytes += c.settings.dopfun == 0 ? 2 * int64_t(ws.frames) : 2;
    }
    if (bytes > INT32_MAX) job_abort("SoundFont wave of more than 2 GiB!!");
    ins.wave_bytes = int(bytes);
}

void lay_out_soundfont_wave(Conversion& c, const SoundFont& sf, const SfWave& w, int i, int source)
{
    InstrumentRecord& ins = c.song.instrument_table[i];
    begin_wave_layout(c, i, i + 1);
    lay_out_wave_entry(ins, i, source);
    for (int j = 0; j < ins.sample_count; ++j) {
        SampleRecord& s = ins.samples[j];
        const SfWaveSample& ws = w.samples[size_t(j)];
        clear_sample_layout(s);
        const int64_t at = int64_t(sf.sample_data + 2 * uint64_t(ws.start));
        if (c.settings.dopfun != 0)
            lay_out_silent_sample(s);
        else if (ws.partner)
            lay_out_mixed_sample_data(s, at, int64_t(sf.sample_data + 2 * uint64_t(ws.partner_start)), ws.frames);
        else
            lay_out_sample_data(s, at, ws.frames, coding_pcm16);
    }
}

void write_soundfont_xi(XiExport& xi, FILE* bank, const SoundFont& sf, const SfWave& w)
{
    xi.write_head(w.name);
    xi.write_body(w.body, unsigned(w.samples.size()));
    for (const SfWaveSample& ws : w.samples) {
        SampleHeader h;
        h.length = 2 * ws.frames;
        h.loop_start = 2 * ws.loop_start;
        h.loop_length = 2 * (ws.loop_end - ws.loop_start);
        h.volume = uint8_t(ws.volume);
        h.finetune = uint8_t(ws.finetune);
        h.type = uint8_t(0x10 | (ws.loop_end > ws.loop_start ? 1 : 0));
        h.panning = 0x80;
        h.relative_note = uint8_t(ws.relative_note);
        std::snprintf(h.name, sizeof h.name, "%s", ws.name);
        xi.write_sample_header(h);
    }
    // The data: the bank's words (a pair's average), delta-coded as XI files keep 16-bit samples.
    std::vector<uint8_t> a(2 * copy_frames), b(2 * copy_frames), out(2 * copy_frames);
    for (const SfWaveSample& ws : w.samples) {
        uint16_t last = 0;
        for (uint32_t done = 0; done < ws.frames;) {
            const size_t n = std::min<size_t>(copy_frames, ws.frames - done);
            if (!stream_seek(bank, int64_t(sf.sample_data + 2 * (uint64_t(ws.start) + done))) ||
                read_bytes(bank, a.data(), 2 * n) < 2 * n)
                job_abort("SoundFont changed during conversion!!");
            const uint8_t* v = a.data();
            if (ws.partner) {
                if (!stream_seek(bank, int64_t(sf.sample_data + 2 * (uint64_t(ws.partner_start) + done))) ||
                    read_bytes(bank, b.data(), 2 * n) < 2 * n)
                    job_abort("SoundFont changed during conversion!!");
                mix_pcm16(a.data(), b.data(), n, out.data());
                v = out.data();
            }
            for (size_t k = 0; k < n; ++k) {
                const uint16_t x = uint16_t(v[2 * k] | v[2 * k + 1] << 8);
                store_le16(out.data() + 2 * k, uint16_t(x - last));
                last = x;
            }
            xi.write_data(out.data(), 2 * n);
            done += uint32_t(n);
        }
    }
}

// --- The waves of a MIDI conversion ---------------------------------------------------------

namespace {
// The bank of the settings: the one they name, else the one a front end found ("" none).
std::string bank_path(const Settings& s)
{
    const std::string named = s.soundfont;
    if (!named.empty() && named != "none") return named;
    return named.empty() ? s.soundfont_found : std::string();
}
} // namespace

bool SoundFontWaves::available() const { return !bank_path(c_.settings).empty(); }

void SoundFontWaves::open_bank()
{
    if (opened_) return;
    opened_ = true;
    const std::string path = bank_path(c_.settings);
    const std::string why = read_soundfont(sf_, path.c_str());
    if (!why.empty()) {
        Failure f = file_failure(FailedFile::soundfont, path, 0, ("SoundFont " + path + ": " + why).c_str());
        f.reason = why;
        job_abort(std::move(f));
    }
    log_forced(c_.log, "\nWaves from the SoundFont %s", path.c_str());
    if (path != std::string(c_.settings.soundfont)) {
        log_forced(c_.log, " (found on this system)");
    }
    // The bank stays open: the WAVE data and the XI files are read from it.
    c_.song.wave_sources.push_back(std::move(sf_.file));
    source_ = int(c_.song.wave_sources.size());
}

SfWaveRequest SoundFontWaves::request_for(int q) const
{
    const MidiState& ms = c_.midi;
    const int kit = ms.first_program[midi_drum_channel] >= 0 ? ms.first_program[midi_drum_channel] : 0;
    SfWaveRequest r;
    if (patch_mode(c_)) {
        const int program = q == 0 ? -1 : c_.song.instrument_table[q].wave_number - 1;
        if (q == 0 || program >= sf_percussion_bank) {
            r.bank = sf_percussion_bank;
            r.program = kit;
            if (q == 0) r.keys = ms.keys_played[midi_drum_channel];
            else r.drum_key = program - sf_percussion_bank;
        } else {
            r.program = program;
        }
        return r;
    }
    r.keys = ms.keys_played[q];
    if (q == midi_drum_channel) {
        r.bank = sf_percussion_bank;
        r.program = kit;
    } else {
        r.program = ms.first_program[q] >= 0 ? ms.first_program[q] : 0;
    }
    return r;
}

int SoundFontWaves::give(int q, int pass, const std::string& slot_name)
{
    const int count = c_.song.instrument_count;
    if (waves_.empty()) {
        waves_.resize(size_t(count));
        given_.assign(size_t(count), 0);
    }
    if (q < 0 || q >= count) return 0;
    InstrumentRecord& ins = c_.song.instrument_table[q];
    if (pass == 0) {
        // A channel that plays no note needs no wave.
        if (!patch_mode(c_)) {
            const uint8_t* keys = c_.midi.keys_played[q];
            if (std::all_of(keys, keys + 16, [](uint8_t b) { return b == 0; })) return -1;
        }
        open_bank();
        const SfWaveRequest r = request_for(q);
        const std::string why = soundfont_wave(sf_, r, waves_[size_t(q)]);
        if (!why.empty()) {
            log_forced(c_.log, "\nNo wave %d from the SoundFont: %s", q, why.c_str());
            return 0;
        }
        fill_soundfont_instrument(c_, waves_[size_t(q)], ins);
        given_[size_t(q)] = 1;
        return 1;
    }
    if (!given_[size_t(q)]) return 0;
    const SfWave& w = waves_[size_t(q)];
    log_forced(c_.log, "\nInstrument %d (SoundFont preset %s)", q, w.preset.c_str());
    if (c_.settings.dowave == Waves::bmx) lay_out_soundfont_wave(c_, sf_, w, q, source_);
    if (c_.settings.dowave == Waves::bmw) {
        XiExport xi(c_);
        if (!xi.open_as(q, slot_name)) {
            c_.log.log_enabled = 2;
            log_print(c_.log, "\nCould not create XI-file %s!!", slot_name.c_str());
            xi.write_failed();
        }
        write_soundfont_xi(xi, c_.song.wave_sources[size_t(source_ - 1)].get(), sf_, w);
        xi.finish();
    }
    return 1;
}

// --- kestrix --export-xi ----------------------------------------------------------------------

int export_soundfont_xi(Conversion& c, const std::string& bank, const std::string& dir)
{
    Song& s = c.song;
    s = Song();
    s.instrument_count = 256;
    s.instrument_table = pool_array<InstrumentRecord>(c.pool, 256);
    SoundFont sf;
    const std::string why = read_soundfont(sf, bank.c_str());
    if (!why.empty()) {
        Failure f = file_failure(FailedFile::soundfont, bank, 0, ("SoundFont " + bank + ": " + why).c_str());
        f.reason = why;
        job_abort(std::move(f));
    }
    std::string folder = dir;
    if (!folder.empty() && folder.back() != '/' && folder.back() != '\\') folder += platform::path_separator;
    if (!folder.empty()) platform::make_directories(folder.c_str());
    log_forced(c.log, "\nXI files of the SoundFont %s", bank.c_str());
    log_forced(c.log, " into %s", folder.empty() ? "the current folder" : folder.c_str());

    // The files written stay the job's until every one is: a failure removes them all.
    struct Keep {
        Conversion& c;
        bool done = false;
        ~Keep() { if (!done) c.exported_xi_files.remove_all(); }
    } keep{c};

    const bool patch = c.settings.dopchange != 0;
    struct Item {
        unsigned number;
        SfWaveRequest request;
    };
    std::vector<Item> items;
    if (patch) {
        items.push_back({0, {sf_percussion_bank, 0, -1, nullptr}});
        for (int p = 0; p < 128; ++p)
            if (find_preset(sf, 0, p)) items.push_back({unsigned(p + 1), {0, p, -1, nullptr}});
        for (int k = 0; 129 + k <= 255; ++k) items.push_back({unsigned(129 + k), {sf_percussion_bank, 0, k, nullptr}});
    } else {
        for (int ch = 0; ch < 16; ++ch)
            items.push_back({unsigned(ch + 1), {ch == midi_drum_channel ? sf_percussion_bank : 0, 0, -1, nullptr}});
    }
    int written = 0;
    FILE* in = sf.file.get();
    for (const Item& it : items) {
        SfWave w;
        const std::string none = soundfont_wave(sf, it.request, w);
        if (!none.empty()) {
            if (it.request.drum_key < 0) {
                log_forced(c.log, "\nNo XI file %02x: %s", it.number, none.c_str());
            }
            continue;
        }
        char tail[16];
        std::snprintf(tail, sizeof tail, "%s%02x.xi", patch ? "gmp_" : "gmc_", it.number);
        const std::string name = folder + tail;
        XiExport xi(c);
        xi.replace = c.settings.replace_files != 0;
        if (!xi.open_as(int(it.number), name)) {
            c.log.log_enabled = 2;
            log_print(c.log, "\nCould not create XI-file %s!!", name.c_str());
            xi.write_failed();
        }
        write_soundfont_xi(xi, in, sf, w);
        xi.finish();
        if (c.settings.dolist) {
            log_forced(c.log, "\n%s: %s", tail, w.preset.c_str());
        }
        ++written;
    }
    if (const int xe = c.exported_xi_files.keep_all()) {
        log_forced(c.log, "\n%s: %s", folder.empty() ? "." : folder.c_str(), std::strerror(xe));
        job_abort(file_failure(FailedFile::xi_file, folder.empty() ? "." : folder, xe, "Could not write XI-files!!"));
    }
    keep.done = true;
    log_forced(c.log, "\n%d XI files written", written);
    return 1;
}
