// SoundFont banks as the source of a MIDI song's waves: hostile banks refused, presets made into
// XI instruments, MIDI songs converted with a bank into BMX and BMW songs, the XI files a BMW song
// exports giving the same song again, and the XI set of --export-xi.
#include <algorithm>
#include <cmath>
#include <filesystem>

#include "convert/soundfont.h"
#include "convert/soundfont_builder.h"
#include "convert/soundfont_waves.h"
#include "e2e/e2e_support.h"
#include "midi/smf_builder.h"

namespace fs = std::filesystem;

namespace {

using kxtest::Bytes;

class SoundFontTest : public kxtest::WorkDirTest {
protected:
    std::string read(Bytes b)
    {
        b.write("bank.sf2");
        return read_soundfont(sf, "bank.sf2");
    }
    // The rate a wave level gets from an XI sample at its first note r (0..95), as the wave table
    // writes it.
    static double rate(const SfWaveSample& s, int r) { return 8363.0 * std::pow(2.0, (r - 48 + s.relative_note) / 12.0 + s.finetune / 1536.0); }
    SoundFont sf;
};

TEST_F(SoundFontTest, HostileBanksAreRefusedWithTheirChunk)
{
    auto patch32 = [](Bytes b, size_t at, uint32_t v) {
        for (int k = 0; k < 4; ++k) b.data[at + size_t(k)] = uint8_t(v >> (8 * k));
        return b;
    };
    kxtest::SfBank bank = kxtest::test_bank();
    const Bytes good = bank.build();
    Bytes cut = good;
    cut.data.resize(good.size() - 10);
    kxtest::SfBank far = kxtest::test_bank(), lost = far, sf3 = far;
    far.instruments[0].zones[1].back() = {kxtest::g_sample, 9};
    lost.presets[0].zones[0].back() = {kxtest::g_instrument, 7};
    sf3.version = 3;
    const struct {
        Bytes file;
        const char* line;
    } cases[] = {
        {Bytes().str("RIFX").fill(40, 0), "not a SoundFont"},
        {cut, "RIFF: cut"},
        {patch32(good, bank.at["pbag"] - 4, 9999), "pdta/pbag: cut"},           // a table past pdta
        {patch32(good, bank.at["pbag"], 9999), "pdta/pbag: zone 0 names"},     // generators past pgen
        {patch32(good, bank.at["phdr"] + 38 + 24, 50), "pdta/phdr: preset 0"}, // zones past pbag
        {far.build(), "pdta/igen: generator"},
        {lost.build(), "pdta/pgen: generator"},
        {patch32(good, bank.at["shdr"] + 24, 1u << 30), "pdta/shdr: sample 0"},  // data past smpl
        {patch32(good, bank.at["shdr"] + 36, 0), "sample rate of 0"},
        {sf3.build(), "SF3"},
    };
    EXPECT_EQ(read(good), "");
    for (const auto& c : cases) EXPECT_NE(read(c.file).find(c.line), std::string::npos) << c.line << ": " << read(c.file);
}

TEST_F(SoundFontTest, PresetsBecomeXiInstruments)
{
    // Preset 0:2 has 18 zones: keys 0-39, then one zone for each key from 40 to 56.
    kxtest::SfBank bank = kxtest::test_bank();
    bank.instruments.push_back({"Many", 0, 0, {{kxtest::sf_range(kxtest::g_keys, 0, 39), {kxtest::g_sample, 3}}}});
    for (unsigned k = 40; k <= 56; ++k)
        bank.instruments.back().zones.push_back({kxtest::sf_range(kxtest::g_keys, k, k), {kxtest::g_sample, 3}});
    bank.presets.push_back({"Many", 2, 0, {{{kxtest::g_instrument, 2}}}});
    ASSERT_EQ(read(bank.build()), "");
    SfWave w;
    // The piano: keys up to 59 the looped ramp (note 0 sounds as key 12), from 60 the stereo pair
    // mixed (note 48, C-4, sounds as key 60, an octave below the pair's root 72).
    ASSERT_EQ(soundfont_wave(sf, {0, 0, -1, nullptr}, w), "");
    ASSERT_EQ(w.samples.size(), 2u);
    EXPECT_EQ(w.body.key_map[47], 0);
    EXPECT_EQ(w.body.key_map[48], 1);
    EXPECT_EQ(w.body.key_map[95], 1);
    const SfWaveSample &ramp = w.samples[0], &pad = w.samples[1];
    EXPECT_EQ(ramp.frames, 64u);
    EXPECT_EQ(ramp.loop_start, 16u);
    EXPECT_EQ(ramp.loop_end, 48u);
    EXPECT_NEAR(rate(ramp, 0), 22050.0 / 16, 3);
    EXPECT_TRUE(pad.partner);
    EXPECT_EQ(pad.loop_end, 0u);
    EXPECT_NEAR(rate(pad, 48), 22050, 40);
    EXPECT_EQ(ramp.volume, 32); // 60 centibels
    // Envelope: attack 0.5 s (25 ticks) to 64, decay towards 60 centibels (32), held there.
    EXPECT_EQ(w.body.points[0], 4);
    EXPECT_EQ(w.body.volume_envelope[2], 25);
    EXPECT_EQ(w.body.volume_envelope[3], 64);
    EXPECT_EQ(w.body.volume_envelope[7], 32);
    EXPECT_EQ(w.body.points[2], 3);
    EXPECT_EQ(w.body.points[8], 3);
    // The lead's one sample sounds at C-4 as key 60; drum keys at C-4 as themselves.
    ASSERT_EQ(soundfont_wave(sf, {0, 1, -1, nullptr}, w), "");
    ASSERT_EQ(w.samples.size(), 1u);
    EXPECT_NEAR(rate(w.samples[0], 48), 22050, 40);
    ASSERT_EQ(soundfont_wave(sf, {128, 0, 38, nullptr}, w), "");
    EXPECT_STREQ(w.name, "Snare");
    EXPECT_NEAR(rate(w.samples[0], 48), 11025, 20);
    ASSERT_EQ(soundfont_wave(sf, {128, 5, -1, nullptr}, w), ""); // a kit the bank lacks: kit 0
    EXPECT_EQ(w.samples.size(), 2u);
    EXPECT_NE(soundfont_wave(sf, {128, 0, 40, nullptr}, w).find("no sample at key 40"), std::string::npos);
    EXPECT_NE(soundfont_wave(sf, {0, 9, -1, nullptr}, w).find("no preset 0:9"), std::string::npos);
    // Of 18 zones the 16 kept: the one the song plays (key 56), the one of most keys, then the
    // lowest drum keys up from 35; keys 54 and 55 go to their nearest kept neighbours.
    const uint8_t played[16] = {0, 0, 0, 0, 0, 0, 0, 1}; // key 56
    ASSERT_EQ(soundfont_wave(sf, {0, 2, -1, played}, w), "");
    EXPECT_EQ(w.samples.size(), 16u);
    EXPECT_NE(w.body.key_map[0], w.body.key_map[28]);
    EXPECT_EQ(w.body.key_map[42], w.body.key_map[41]);
    EXPECT_EQ(w.body.key_map[43], w.body.key_map[44]);
    EXPECT_NE(w.body.key_map[44], w.body.key_map[41]);
}

// A song of two channels (programs 0 and 1) and drums, converted with the bank into a BMX and a
// BMW; the BMW's XI files, found in xi_dir, then give the BMX byte for byte.
TEST_F(SoundFontTest, MidiSongsTakeTheirWavesFromTheBank)
{
    kxtest::install_machines_ini();
    kxtest::test_bank().build().write("bank.sf2");
    using kxtest::SmfTrack;
    kxtest::smf(1, 96, {SmfTrack().tempo(500000),
                        SmfTrack().at(0, {0xC1, 1}).on(0, 0, 48).on(0, 1, 72).off(96, 0, 48).off(96, 1, 72),
                        SmfTrack().on(0, 9, 36).on(48, 9, 38).off(60, 9, 36).off(96, 9, 38)})
        .write("song.mid");
    struct Case {
        int dopchange, drkit;
        std::vector<std::string> xi;
    } cases[] = {{0, 0, {"gmc_01.xi", "gmc_02.xi", "gmc_0a.xi"}},
                 {1, 0, {"gmp_01.xi", "gmp_02.xi", "gmp_a5.xi", "gmp_a7.xi"}},
                 {1, 1, {"gmp_00.xi", "gmp_01.xi", "gmp_02.xi"}}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.dopchange * 10 + k.drkit);
        fs::remove_all("xi");
        fs::create_directory("xi");
        settings.dopchange = k.dopchange;
        settings.drkit = k.drkit;
        settings.xi_dir = "xi/";
        settings.soundfont = "bank.sf2";
        for (Waves dowave : {Waves::bmx, Waves::bmw}) {
            settings.dowave = dowave;
            const auto r = kxe2e::convert_file(settings, "song.mid", dowave == Waves::bmx ? "a.bmx" : "a.bmw");
            ASSERT_TRUE(r.ok) << r.log;
            EXPECT_EQ(kxe2e::reread_song(dowave == Waves::bmx ? "a.bmx" : "a.bmw").instruments, int(k.xi.size()));
        }
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator("xi")) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, k.xi);
        settings.dowave = Waves::bmx;
        settings.soundfont = "none";
        ASSERT_TRUE(kxe2e::convert_file(settings, "song.mid", "b.bmx").ok);
        const std::vector<uint8_t> a = kxtest::read_file("a.bmx");
        EXPECT_EQ(a, kxtest::read_file("b.bmx"));
        // The stereo pair mixed: (1000 + 3000) / 2 = 2000, 32 frames.
        std::vector<uint8_t> mixed;
        for (int f = 0; f < 32; ++f) mixed.insert(mixed.end(), {0xD0, 0x07});
        EXPECT_NE(std::search(a.begin(), a.end(), mixed.begin(), mixed.end()), a.end());
    }
}

TEST_F(SoundFontTest, ExportXiWritesTheSetAConversionLooksUp)
{
    kxtest::install_machines_ini();
    kxtest::test_bank().build().write("bank.sf2");
    auto r = kxe2e::run_kestrix("--export-xi bank.sf2 set");
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator("set")) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"gmp_00.xi", "gmp_01.xi", "gmp_02.xi", "gmp_a5.xi", "gmp_a7.xi"}));
    r = kxe2e::run_kestrix("--export-xi bank.sf2 set");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("set/gmp_00.xi: exists; -y"), std::string::npos) << r.err;
    EXPECT_EQ(kxe2e::run_kestrix("-q -y --export-xi bank.sf2 set").status, 0);
    EXPECT_EQ(kxe2e::run_kestrix("-q --export-xi --set dopchange=0 bank.sf2 channels").status, 0);
    EXPECT_TRUE(fs::exists("channels/gmc_10.xi"));
    EXPECT_FALSE(fs::exists("channels/gmc_11.xi"));
    // Each file is an instrument the program reads again.
    EXPECT_EQ(kxe2e::run_kestrix("-q set/gmp_01.xi piano.bmx").status, 0);
    EXPECT_EQ(kxe2e::reread_song("piano.bmx").waves, 1);
}

} // namespace
