// Whole conversions through the converter programs: every S3M and IT of the corpus becomes a song
// the program's own song reader reads back, and a MOD converted through mod2xm gives the same
// patterns and wave frames as the same MOD read directly.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "core/byteio.h"
#include "core/job_runner.h"
#include "core/pool.h"
#include "settings/settings.h"
#include "support/test_support.h"
#include "transform/bmx_reader.h"
#include "transform/machines_ini.h"

namespace fs = std::filesystem;

namespace {

// What a song holds, as the song reader walks it: every pattern row and every wave's bytes.
struct SongContents {
    std::map<std::tuple<int, int, int, int, int>, std::vector<uint8_t>> rows;  // kind, machine, pattern, track, row
    std::vector<std::vector<uint8_t>> waves;
};
SongContents* collecting = nullptr;

class XmconvEndToEndTest : public kxtest::WorkDirTest {
protected:
    void SetUp() override
    {
        kxtest::WorkDirTest::SetUp();
        kxtest::install_machines_ini();
        // The driver looks for the converters in the current directory first.
        for (const char* p : {"it2xm", "mod2xm"})
            if (fs::exists(fs::path(KESTRIX_BINARY_DIR) / p)) fs::copy_file(fs::path(KESTRIX_BINARY_DIR) / p, p);
    }

    // Runs a conversion job the way the front ends do; the final message.
    std::string convert_job(const std::string& input, const std::string& output)
    {
        struct Report : JobFrontEnd {
            LogWindow* open_log_window(const char*) override { return &window; }
            void report(const char* t) override { text = t; }
            kxtest::FakeWindow window;
            std::string text;
        } front;
        settings_set_text(settings.input_file, input.c_str());
        settings_set_text(settings.output_file, output.c_str());
        run_job(1, front);
        last_log = front.window.text;
        return front.text;
    }

    // Reads a song with full_parse and the shipped machines.ini, collecting its rows and waves.
    static bool read_song(const std::string& name, SongContents& contents)
    {
        File f = open_file(name.c_str(), "rb");
        if (!f || !load_machine_descriptions()) return false;
        ReaderHooks hooks;
        hooks.row = [](const RowPlace& at, uint8_t* bytes, int size) {
            collecting->rows[{int(at.kind), at.machine, at.pattern, at.track, at.row}].assign(bytes, bytes + size);
        };
        hooks.wave_begin = [](int, uint16_t*, uint8_t, uint32_t) { collecting->waves.emplace_back(); };
        hooks.wave_data = [](int, const uint8_t* data, size_t size) {
            collecting->waves.back().insert(collecting->waves.back().end(), data, data + size);
        };
        collecting = &contents;
        reader_state = ReaderState();
        reader_state.hooks = &hooks;
        reader_state.full_parse = 1;
        reader_state.input_summaries[0].stream = f.get();
        kxtest::FakeWindow window;
        log_state.window = &window;
        bool ok = run_guarded([&] { read_buzz_song(f.get(), 0); });
        log_state.window = nullptr;
        reader_state = ReaderState();
        pool_free_all();
        return ok;
    }

    std::string last_log;
};

TEST_F(XmconvEndToEndTest, EveryS3mAndItBecomesASongTheReaderReads)
{
    auto files = kxtest::corpus_files({".s3m", ".it"});
    if (files.empty()) GTEST_SKIP() << "no S3M or IT files in the corpus";
    for (const auto& f : files) {
        SCOPED_TRACE(f.filename().string());
        fs::copy_file(f, dir / f.filename());
        std::string song = f.stem().string() + ".bmx";
        ASSERT_EQ(convert_job(f.filename().string(), song), "Conversion finished!") << last_log;
        SongContents contents;
        EXPECT_TRUE(read_song(song, contents));
        EXPECT_FALSE(contents.rows.empty());
        EXPECT_FALSE(contents.waves.empty());
    }
}

TEST_F(XmconvEndToEndTest, ModThroughMod2xmEqualsModReadDirectly)
{
    auto files = kxtest::corpus_files({".mod"});
    // Only real MODs: the corpus also has an XM named .mod.
    std::erase_if(files, [](const fs::path& p) {
        auto b = kxtest::read_file(p);
        return b.size() >= 17 && std::memcmp(b.data(), "Extended Module: ", 17) == 0;
    });
    if (files.empty()) GTEST_SKIP() << "no MOD files in the corpus";
    for (const auto& f : files) {
        SCOPED_TRACE(f.filename().string());
        fs::copy_file(f, dir / f.filename());
        SongContents song[2];
        for (int ext = 0; ext < 2; ++ext) {
            settings = Settings();
            settings.domod_ext = ext;
            ASSERT_EQ(convert_job(f.filename().string(), "out.bmx"), "Conversion finished!") << last_log;
            ASSERT_TRUE(read_song("out.bmx", song[ext]));
            EXPECT_EQ(fs::exists(fs::path(f.filename()).replace_extension(".xm")), ext == 1);  // mod2xm's
        }
        EXPECT_FALSE(song[0].rows.empty() || song[0].waves.empty());
        EXPECT_EQ(song[0].rows.size(), song[1].rows.size());
        for (const auto& [at, bytes] : song[0].rows)
            if (song[1].rows[at] != bytes) {
                auto [kind, machine, pattern, track, row] = at;
                ADD_FAILURE() << "first difference: kind " << kind << " machine " << machine << " pattern "
                              << pattern << " track " << track << " row " << row;
                break;
            }
        EXPECT_TRUE(song[0].waves == song[1].waves);
    }
}

} // namespace
