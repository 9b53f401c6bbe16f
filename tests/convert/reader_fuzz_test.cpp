// Broken copies of every corpus module and XI file: cut at many points, and with header counts
// and sizes overwritten by what a file read past its end gives (0xFF). Each must read to a clean
// result or a clean job_abort; the sanitizer build catches any stray access.
#include <gtest/gtest.h>

#include <chrono>

#include "convert/module_fixtures.h"
#include "songwriter/xi_file.h"

namespace {

using namespace kxfix;
namespace fs = std::filesystem;

class ReaderFuzzTest : public kxtest::WorkDirTest {
protected:
    // Reads one broken copy the way a conversion would; checks what a clean end leaves behind.
    void read_copy(const std::vector<uint8_t>& data, const std::string& what, int dotsplit)
    {
        SCOPED_TRACE(what);
        pool_free_all();
        pool = Pool();
        song_reset_defaults();
        log_state = LogState();
        settings.dotsplit = dotsplit;
        settings.dowave = 2;
        std::snprintf(song.converter_input, sizeof song.converter_input, "broken.xm");
        Bytes b;
        b.data = data;
        b.write("broken.bin");
        auto start = std::chrono::steady_clock::now();
        bool ok = read_module_passes("broken.bin");
        auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_LT(seconds, 20.0);
        if (ok && fs::exists("kestrix.tmp")) {
            TempFile t = parse_temp(kxtest::read_file("kestrix.tmp"));
            EXPECT_TRUE(t.well_formed);
        }
        fs::remove("kestrix.tmp");
        ++copies;
    }
    int copies = 0;
};

std::vector<size_t> cut_points(size_t size)
{
    std::vector<size_t> cuts = {0, 16, 17, 37, 60, 70, 80, 200, 336, 345, 600, 1080, 1084, 1500};
    for (int k = 1; k < 16; ++k) cuts.push_back(size * size_t(k) / 16);
    cuts.push_back(size - 1);
    std::vector<size_t> out;
    for (size_t c : cuts)
        if (c < size) out.push_back(c);
    return out;
}

TEST_F(ReaderFuzzTest, TruncatedCorpusModules)
{
    auto files = kxtest::corpus_files({".xm", ".mod"});
    if (files.empty()) GTEST_SKIP() << "no corpus";
    for (const auto& path : files) {
        auto full = kxtest::read_file(path);
        for (size_t cut : cut_points(full.size())) {
            std::vector<uint8_t> part(full.begin(), full.begin() + long(cut));
            read_copy(part, path.filename().string() + " cut at " + std::to_string(cut),
                      int(cut % 2));
        }
    }
    EXPECT_GT(copies, 0);
}

TEST_F(ReaderFuzzTest, HostileHeaderFieldsInCorpusModules)
{
    auto files = kxtest::corpus_files({".xm", ".mod"});
    if (files.empty()) GTEST_SKIP() << "no corpus";
    for (const auto& path : files) {
        auto full = kxtest::read_file(path);
        if (full.size() < 1200) continue;
        const bool xm = std::string(full.begin(), full.begin() + 17) == "Extended Module: ";
        // Header words set to 0xFFFF. XM: header size, song length, restart, channels,
        // patterns, instruments, flags, tempo, BPM, first pattern header. MOD: the first
        // sample's length, finetune/volume and loop words, a later sample's length, song
        // length/restart, an order entry, the tag.
        const std::vector<size_t> xm_fields = {60, 62, 64, 66, 68, 70, 72, 74, 76, 78, 336, 341, 343};
        const std::vector<size_t> mod_fields = {42, 44, 46, 48, 432, 950, 960, 1080, 1082};
        for (size_t at : xm ? xm_fields : mod_fields) {
            std::vector<uint8_t> bad = full;
            bad[at] = 0xFF;
            bad[at + 1] = 0xFF;
            read_copy(bad, path.filename().string() + " 0xFFFF at " + std::to_string(at), 1);
        }
        // The first instrument's or sample's size fields of an XM.
        if (xm) {
            size_t pos = 60 + (full[60] | (full[61] << 8));
            unsigned patterns = full[70] | (full[71] << 8);
            for (unsigned p = 0; p < patterns; ++p)
                pos += (full[pos] | (full[pos + 1] << 8)) + (full[pos + 7] | (full[pos + 8] << 8));
            for (size_t off : {size_t(0), size_t(27), size_t(29), size_t(263), size_t(267)}) {
                std::vector<uint8_t> bad = full;
                for (size_t k = 0; k < 4 && pos + off + k < bad.size(); ++k) bad[pos + off + k] = 0xFF;
                read_copy(bad, path.filename().string() + " instrument field +" + std::to_string(off), 0);
            }
        }
    }
}

TEST_F(ReaderFuzzTest, TruncatedCorpusInstruments)
{
    auto files = kxtest::corpus_files({".xi"});
    if (files.empty()) GTEST_SKIP() << "no corpus";
    for (const auto& path : files) {
        auto full = kxtest::read_file(path);
        for (size_t cut : cut_points(full.size())) {
            SCOPED_TRACE(path.filename().string() + " cut at " + std::to_string(cut));
            pool_free_all();
            pool = Pool();
            song_reset_defaults();
            song.is_xi = 1;
            song.instrument_count = 1;
            song.wave_count = 1;
            song.wave_map = pool_array<int>(wave_map_size);
            settings.dowave = 2;
            Bytes b;
            b.data.assign(full.begin(), full.begin() + long(cut));
            b.write("cut.xi");
            File f = open_file("cut.xi", "rb");
            bool ok = run_guarded([&] {
                song.pass_number = 0;
                read_instruments(f.get(), 0);
                if (song.instrument_count == 0) return;
                song.pass_number = 1;
                read_instruments(f.get(), 0);
            });
            close_wave_temp();
            if (ok && song.instrument_count && fs::exists("kestrix.tmp")) {
                EXPECT_TRUE(parse_temp(kxtest::read_file("kestrix.tmp")).well_formed);
            }
            fs::remove("kestrix.tmp");
        }
    }
}

} // namespace
