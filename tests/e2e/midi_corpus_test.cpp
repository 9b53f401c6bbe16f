// The MIDI files of the shared corpus converted natively with the XI instruments of the corpus
// as the gmc_/gmp_ sets of xi_dir: per channel and per program, drums per key and as one kit, to
// BMX, BMW and no waves; every song read back by the program's own reader; and the console run.
#include "e2e/e2e_support.h"

#include "convert/driver.h"
#include "convert/soundfont_waves.h"
#include "settings/settings.h"

namespace fs = std::filesystem;

namespace {

class MidiCorpus : public kxtest::WorkDirTest {
protected:
    void SetUp() override
    {
        WorkDirTest::SetUp();
        kxtest::install_machines_ini();
        xis = kxtest::corpus_files({".xi"});
        fs::create_directories("xi");
        // Every slot a file may ask for: the channels 01-10, the programs and drum keys 00-ff.
        for (int i = 0; i < 256 && !xis.empty(); ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "xi/gmp_%02x.xi", unsigned(i));
            fs::create_symlink(xis[size_t(i) % xis.size()], name);
            std::snprintf(name, sizeof name, "xi/gmc_%02x.xi", unsigned(i));
            if (i >= 1 && i <= 16) fs::create_symlink(xis[size_t(i) % xis.size()], name);
        }
    }
    std::vector<fs::path> xis;
};

TEST_F(MidiCorpus, EveryFileInEveryWaveModeReadsBack)
{
    auto files = kxtest::corpus_files({".mid"});
    if (files.empty() || xis.empty()) GTEST_SKIP() << "no MIDI files or XI instruments at " << kxtest::corpus_dir();
    struct Config { int dopchange, drkit; };
    for (const auto& f : files)
        for (Config c : {Config{0, 0}, Config{1, 0}, Config{1, 1}})
            for (Waves dowave : {Waves::bmx, Waves::bmw, Waves::none}) {
                SCOPED_TRACE(f.filename().string() + " dopchange " + std::to_string(c.dopchange) + " drkit " +
                             std::to_string(c.drkit) + " dowave " + std::to_string(int(dowave)));
                settings = Settings();
                settings.dopchange = c.dopchange;
                settings.drkit = c.drkit;
                settings.dowave = dowave;
                settings.xi_dir = fs::current_path().string() + "/xi/";
                auto r = kxe2e::convert_file(settings, f.string(), "out.bmx");
                ASSERT_TRUE(r.ok) << r.log;
                EXPECT_GE(r.machine_count, 2);
                auto rr = kxe2e::reread_song("out.bmx");
                EXPECT_TRUE(rr.ok) << rr.log;
                EXPECT_EQ(rr.machines, r.machine_count);
                EXPECT_EQ(rr.instruments > 0, dowave != Waves::none) << r.log; // WAVT entries (a BMW has no WAVE)
                EXPECT_EQ(rr.waves, dowave == Waves::bmx ? rr.instruments : 0);
                EXPECT_FALSE(fs::exists("kestrix.tmp"));
            }

    // The console run a user types.
    fs::copy_file(files.front(), "song.mid");
    auto r = kxe2e::run_kestrix("--set xi_dir=" + (fs::current_path() / "xi").string() + "/ --set dopchange=1 song.mid song.bmx");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("Conversion finished!"), std::string::npos) << r.err;
    EXPECT_GT(kxe2e::reread_song("song.bmx").waves, 0);
}

// With Debian's TimGM6mb (timgm6mb-soundfont) every note of every corpus file plays a wave the
// song has, by channel, by program with a wave per drum key, and with the kit as one wave.
using MidiSoundFont = kxtest::WorkDirTest;
TEST_F(MidiSoundFont, EveryNotesWaveFromTimGM6mb)
{
    const char* bank = "/usr/share/sounds/sf2/TimGM6mb.sf2";
    const auto files = kxtest::corpus_files({".mid"});
    if (files.empty() || !fs::exists(bank)) GTEST_SKIP() << "no corpus MIDI files, or no " << bank;
    kxtest::install_machines_ini();
    settings.soundfont = bank;
    settings.xi_dir = "none/";
    settings.replace_files = 1;
    SoundFont sf;
    ASSERT_EQ(read_soundfont(sf, bank), "");
    for (const auto& f : files)
        for (int mode : {0, 1, 2}) {
            SCOPED_TRACE(f.filename().string() + " mode " + std::to_string(mode));
            settings.dopchange = mode > 0;
            settings.drkit = mode == 2;
            ASSERT_TRUE(run_guarded(log, [&] { convert(c, f.string(), "out.bmx"); }));
            const Song& s = c.song;
            int notes = 0;
            for (int m = 1; m < s.machine_count; ++m) {
                const MachineRecord& mr = s.machine_table[m];
                for (int p = 0; p < s.pattern_count; ++p) {
                    const int lines = s.pattern_table[p].lines;
                    for (int t = 0; mr.track_patterns[p].data && t < mr.track_count; ++t)
                        for (int r = 0; r < lines; ++r) {
                            const uint8_t* cell = mr.track_patterns[p].data + size_t(t * lines + r) * 5;
                            if (cell[0] == 0 || cell[0] == 255) continue;
                            ++notes;
                            ASSERT_GE(cell[1], 1);
                            const InstrumentRecord& ins = s.instrument_table[cell[1] - 1];
                            if (ins.wave_number != 0 && ins.sample_count > 0 && ins.wave_entry) continue;
                            // None only for a drum key the kit lacks (a key outside General MIDI's).
                            int program = 0;
                            while (program < 255 && s.wave_map[program] != cell[1] - 1) ++program;
                            SfWave w;
                            const int kit = c.midi.first_program[9] < 0 ? 0 : c.midi.first_program[9];
                            ASSERT_TRUE(mode == 1 && program >= 128 && !soundfont_wave(sf, {128, kit, program - 128, nullptr}, w).empty())
                                << "wave " << int(cell[1]) << " program " << program;
                        }
                }
            }
            EXPECT_GT(notes, 0);
            pool_free_all(pool);
        }
}

} // namespace
