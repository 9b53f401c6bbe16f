// SoundFont 2 banks for tests: presets, instruments and samples, laid out by the builder with
// every table's terminal record.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace kxtest {

struct SfGen {
    unsigned oper, amount;
};
inline SfGen sf_range(unsigned oper, unsigned lo, unsigned hi) { return {oper, lo | hi << 8}; }

struct SfBankSample {
    std::string name;
    std::vector<int> frames;
    unsigned loop_start = 0, loop_end = 0; // frames from the sample's start
    unsigned rate = 22050, pitch = 60, link = 0, type = 1;
    int correction = 0;
};

struct SfBankItem {
    std::string name;
    unsigned program = 0, bank = 0;          // presets only
    std::vector<std::vector<SfGen>> zones;   // each zone's generators, the link (41, 53) last
};

struct SfBank {
    std::vector<SfBankItem> presets, instruments;
    std::vector<SfBankSample> samples;
    unsigned version = 2;
    std::map<std::string, size_t> at; // file offset of each pdta table's body, after build()

    Bytes build()
    {
        Bytes smpl;
        std::vector<unsigned> starts;
        for (const SfBankSample& s : samples) {
            starts.push_back(unsigned(smpl.size() / 2));
            for (int v : s.frames) smpl.le16(unsigned(v) & 0xFFFF);
            smpl.fill(92, 0); // 46 zero frames after each sample
        }
        std::vector<std::pair<std::string, Bytes>> t;
        auto items = [&](const char* hdr, const char* bag, const char* gen, const std::vector<SfBankItem>& list, bool preset) {
            Bytes h, b, g;
            unsigned zones = 0, gens = 0;
            for (const SfBankItem& it : list) {
                h.fixed(it.name, 20);
                if (preset) h.le16(it.program).le16(it.bank);
                h.le16(zones);
                if (preset) h.fill(12, 0);
                for (const auto& z : it.zones) {
                    b.le16(gens).le16(0);
                    for (const SfGen& x : z) g.le16(x.oper).le16(x.amount), ++gens;
                    ++zones;
                }
            }
            h.fixed(preset ? "EOP" : "EOI", 20);
            if (preset) h.le16(0).le16(0);
            h.le16(zones);
            if (preset) h.fill(12, 0);
            b.le16(gens).le16(0);
            g.le16(0).le16(0);
            t.push_back({hdr, h});
            t.push_back({bag, b});
            t.push_back({preset ? "pmod" : "imod", Bytes().fill(10, 0)});
            t.push_back({gen, g});
        };
        items("phdr", "pbag", "pgen", presets, true);
        items("inst", "ibag", "igen", instruments, false);
        Bytes sh;
        for (size_t k = 0; k < samples.size(); ++k) {
            const SfBankSample& s = samples[k];
            const unsigned st = starts[k];
            sh.fixed(s.name, 20).le32(st).le32(st + unsigned(s.frames.size())).le32(st + s.loop_start).le32(st + s.loop_end);
            sh.le32(s.rate).u8(s.pitch).u8(unsigned(s.correction) & 0xFF).le16(s.link).le16(s.type);
        }
        sh.fixed("EOS", 20).fill(26, 0);
        t.push_back({"shdr", sh});

        Bytes info = Bytes().str("INFO").str("ifil").le32(4).le16(version).le16(1).str("INAM").le32(8).fixed("testbank", 8);
        Bytes sdta = Bytes().str("sdta").str("smpl").le32(uint32_t(smpl.size())).append(smpl);
        Bytes pdta = Bytes().str("pdta");
        const size_t pdta_at = 12 + 8 + info.size() + 8 + sdta.size() + 8;
        for (auto& [id, body] : t) {
            pdta.str(id).le32(uint32_t(body.size()));
            at[id] = pdta_at + pdta.size();
            pdta.append(body);
        }
        Bytes riff;
        riff.str("LIST").le32(uint32_t(info.size())).append(info);
        riff.str("LIST").le32(uint32_t(sdta.size())).append(sdta);
        riff.str("LIST").le32(uint32_t(pdta.size())).append(pdta);
        return Bytes().str("RIFF").le32(uint32_t(riff.size() + 4)).str("sfbk").append(riff);
    }
};

// Generator numbers the tests use.
enum : unsigned {
    g_attack = 34, g_hold = 35, g_decay = 36, g_sustain = 37, g_release = 38, g_instrument = 41, g_keys = 43,
    g_vels = 44, g_attenuation = 48, g_coarse = 51, g_sample = 53, g_modes = 54, g_root = 58, g_start = 0,
    g_loop_end_offset = 3,
};

// The bank of the tests: a piano whose low keys play a looped sample with an envelope and whose
// high keys a stereo pair; a lead of the pair alone; a kit of a kick (36) and a snare (38).
inline SfBank test_bank()
{
    SfBank b;
    std::vector<int> ramp(64), left(32, 1000), right(32, 3000), kick(20, -2000), snare(24, 500);
    for (int k = 0; k < 64; ++k) ramp[size_t(k)] = k * 100 - 3200;
    b.samples = {{"Ramp", ramp, 16, 48, 22050, 60},
                 {"PadL", left, 0, 0, 44100, 72, 2, 4},
                 {"PadR", right, 0, 0, 44100, 72, 1, 2},
                 {"Kick", kick, 0, 0, 11025, 36},
                 {"Snare", snare, 0, 0, 11025, 60}};
    b.instruments = {
        {"Keys", 0, 0,
         {{{g_attack, uint16_t(-1200)}, {g_decay, 0}, {g_sustain, 60}},  // global zone: 0.5 s attack
          {sf_range(g_keys, 0, 59), {g_modes, 1}, {g_sample, 0}},
          {sf_range(g_keys, 60, 127), {g_sample, 1}},
          {sf_range(g_keys, 60, 127), {g_sample, 2}}}},
        {"Kit", 0, 0,
         {{sf_range(g_keys, 36, 36), {g_sample, 3}},
          {sf_range(g_keys, 38, 38), {g_root, 38}, {g_sample, 4}},
          {sf_range(g_keys, 38, 38), sf_range(g_vels, 0, 10), {g_sample, 3}}}}, // a quiet layer: not taken
    };
    b.presets = {{"Piano", 0, 0, {{{g_attenuation, 60}, {g_instrument, 0}}}},
                 {"Lead", 1, 0, {{sf_range(g_keys, 60, 127), {g_instrument, 0}}}},
                 {"Standard", 0, 128, {{{g_instrument, 1}}}}};
    return b;
}

} // namespace kxtest
