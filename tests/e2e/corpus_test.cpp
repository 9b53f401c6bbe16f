// The shared corpus (skipped when ../shared/corpus is absent): every XM and MOD module converted
// with the settings users pick and the song listed again with a full parse (the shipped
// machines.ini); broken copies of every module (cut short, header fields overwritten with
// 0xFF as a file read past its end gives) read to a clean result or a clean job_abort, the
// sanitizer build catching any stray access.
#include "e2e/e2e_support.h"

#include "buzz/bmx_reader.h"
#include "convert/fixtures.h"

namespace fs = std::filesystem;

namespace {

class Corpus : public kxtest::WorkDirTest {};

TEST_F(Corpus, EveryModuleConvertsAndReadsBackInEverySetting)
{
    const auto files = kxtest::corpus_files({".xm", ".mod"});
    if (files.empty()) GTEST_SKIP() << "no corpus at " << kxtest::corpus_dir();
    kxtest::install_machines_ini();
    fs::create_directories("xi");
    // dotsplit, dowave, dopfun; -1: the default
    const int configs[][3] = {{-1, -1, -1}, {0, 0, 0}, {0, 1, 0}, {0, 2, 0}, {1, 0, 0}, {1, 1, 0},
                              {2, 0, 0},    {2, 1, 0}, {2, 2, 0}, {1, 0, 1}, {2, 0, 2}};
    for (const auto& f : files)
        for (const auto& c : configs) {
            SCOPED_TRACE(testing::Message() << f.filename().string() << " " << c[0] << " " << c[1] << " " << c[2]);
            settings = Settings();
            settings.xi_dir = "xi/";
            if (c[0] >= 0) settings.dotsplit = Split(c[0]), settings.dowave = Waves(c[1]), settings.dopfun = c[2];
            const auto r = kxe2e::convert_file(settings, f.string(), "out.bmx");
            ASSERT_TRUE(r.ok) << r.log;
            const auto listed = kxe2e::reread_song("out.bmx"); // machines and patterns walked
            EXPECT_TRUE(listed.ok) << listed.log;
            EXPECT_EQ(listed.machines, r.machine_count);
        }
}

TEST_F(Corpus, BrokenCopiesEndCleanly)
{
    const auto files = kxtest::corpus_files({".xm", ".mod"});
    if (files.empty()) GTEST_SKIP() << "no corpus at " << kxtest::corpus_dir();
    for (const auto& path : files) {
        const auto full = kxtest::read_file(path);
        std::vector<std::pair<std::string, std::vector<uint8_t>>> copies;
        for (size_t cut : {size_t(0), size_t(40), size_t(400), size_t(1084), full.size() / 3, full.size() - 1})
            copies.push_back({"cut at " + std::to_string(cut), {full.begin(), full.begin() + long(cut)}});
        // MOD: the first sample's length, song length, the tag. XM: header size, channels,
        // patterns, instruments, the first pattern's rows and packed size.
        const bool xm = std::equal(full.begin(), full.begin() + 17, "Extended Module: ");
        for (size_t at : xm ? std::vector<size_t>{60, 68, 70, 72, 341, 343} : std::vector<size_t>{42, 950, 1080}) {
            copies.push_back({"0xFFFF at " + std::to_string(at), full});
            copies.back().second[at] = copies.back().second[at + 1] = 0xFF;
        }
        for (const auto& [what, data] : copies) {
            SCOPED_TRACE(path.filename().string() + " " + what);
            Settings s;
            s.dotsplit = Split(data.size() % 2);
            Log l;
            Pool p(l);
            MachineTable m;
            Conversion fresh(s, l, p, m);
            kxtest::Bytes{data}.write("broken.bin");
            kxfix::WaveData waves;
            EXPECT_TRUE(!kxfix::read_module_passes(fresh, "broken.bin", &waves) || waves.well_formed);
            close_wave_sources(fresh.song);
        }
    }
}

} // namespace
