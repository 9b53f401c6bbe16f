// Whole conversions through the converter programs: every S3M and IT of the corpus becomes a song
// the program's own song reader reads back, and a MOD converted through mod2xm (also under the
// name of another format mod2xm reads) gives the same patterns and wave frames as the same MOD
// read directly.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "core/job_runner.h"
#include "core/pool.h"
#include "settings/settings.h"
#include "support/test_support.h"
#include "transform/bmx_reader.h"
#include "transform/machines_ini.h"

namespace fs = std::filesystem;

namespace {

class Report : public JobFrontEnd {
public:
    LogWindow* open_log_window(const char*) override { return &window; }
    void report(const char* t) override { text = t; }
    kxtest::FakeWindow window;
    std::string text;
};

// What a song holds, as the song reader walks it: every pattern row and every wave's bytes.
struct SongContents {
    std::map<std::tuple<int, int, int, int, int>, std::vector<uint8_t>> rows;  // kind, machine, pattern, track, row
    std::vector<std::vector<uint8_t>> waves;
};
SongContents* collecting = nullptr;

void collect_row(const RowPlace& at, uint8_t* bytes, int size)
{
    collecting->rows[{int(at.kind), at.machine, at.pattern, at.track, at.row}] =
        std::vector<uint8_t>(bytes, bytes + size);
}
void collect_wave_begin(int, uint16_t*, uint8_t, uint32_t) { collecting->waves.emplace_back(); }
void collect_wave_data(int, const uint8_t* data, size_t size)
{
    collecting->waves.back().insert(collecting->waves.back().end(), data, data + size);
}

class XmconvEndToEndTest : public kxtest::WorkDirTest {
protected:
    void SetUp() override
    {
        kxtest::WorkDirTest::SetUp();
        kxtest::install_machines_ini();
        // The driver looks for the converters in the current directory first.
        for (const char* p : {"it2xm", "mod2xm"}) {
            fs::path exe = fs::path(KESTRIX_BINARY_DIR) / p;
            if (fs::exists(exe)) fs::copy_file(exe, dir / p);
        }
    }

    // Runs a conversion job the way the front ends do; the final message.
    std::string convert_job(const std::string& input, const std::string& output)
    {
        settings_set_text(settings.input_file, input.c_str());
        settings_set_text(settings.output_file, output.c_str());
        Report front;
        run_job(1, front);
        last_log = front.window.text;
        return front.text;
    }

    // Reads a song with the song reader, listing it as a song input does.
    bool read_song(const std::string& name, SongContents* contents)
    {
        FILE* f = std::fopen(name.c_str(), "rb");
        if (!f) return false;
        ReaderHooks hooks;
        hooks.row = collect_row;
        hooks.wave_begin = collect_wave_begin;
        hooks.wave_data = collect_wave_data;
        collecting = contents;
        reader_state = ReaderState();
        reader_state.hooks = contents ? &hooks : nullptr;
        // Rows are seen one by one only when the reader parses the machines fully.
        reader_state.full_parse = load_machine_descriptions() ? 1 : 0;
        reader_state.input_summaries[0].stream = f;
        kxtest::FakeWindow window;
        log_state.window = &window;
        bool ok = reader_state.full_parse == 1;
        ok = ok && run_guarded([&] { read_buzz_song(f, 0); });
        log_state.window = nullptr;
        reader_state.hooks = nullptr;
        reader_state.input_summaries[0].stream = nullptr;
        std::fclose(f);
        pool_free_all();
        collecting = nullptr;
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
        ASSERT_TRUE(fs::exists(song));
        SongContents contents;
        EXPECT_TRUE(read_song(song, &contents));
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
        std::string name = f.filename().string();
        SongContents direct, converted;
        settings = Settings();
        settings.domod_ext = 0;
        ASSERT_EQ(convert_job(name, "direct.bmx"), "Conversion finished!") << last_log;
        settings = Settings();
        settings.domod_ext = 1;
        ASSERT_EQ(convert_job(name, "converted.bmx"), "Conversion finished!") << last_log;
        ASSERT_TRUE(read_song("direct.bmx", &direct));
        ASSERT_TRUE(read_song("converted.bmx", &converted));

        ASSERT_EQ(direct.rows.size(), converted.rows.size());
        int differing = 0;
        for (const auto& [at, bytes] : direct.rows) {
            auto it = converted.rows.find(at);
            if (it == converted.rows.end() || it->second != bytes) {
                if (++differing <= 5)
                    ADD_FAILURE() << "machine " << std::get<1>(at) << " pattern " << std::get<2>(at) << " track "
                                  << std::get<3>(at) << " row " << std::get<4>(at) << " differs: "
                                  << ::testing::PrintToString(bytes) << " / "
                                  << (it == converted.rows.end() ? std::string("none")
                                                                 : ::testing::PrintToString(it->second));
            }
        }
        EXPECT_EQ(differing, 0);
        ASSERT_EQ(direct.waves.size(), converted.waves.size());
        for (size_t w = 0; w < direct.waves.size(); ++w)
            EXPECT_EQ(direct.waves[w], converted.waves[w]) << "wave " << w;

        // Under the name of another format mod2xm reads, the same module takes the same way.
        fs::copy_file(f, dir / "other.wow");
        SongContents other;
        settings = Settings();
        ASSERT_EQ(convert_job("other.wow", "other.bmx"), "Conversion finished!") << last_log;
        ASSERT_TRUE(fs::exists("other.xm"));
        ASSERT_TRUE(read_song("other.bmx", &other));
        EXPECT_TRUE(other.rows == converted.rows);
        EXPECT_TRUE(other.waves == converted.waves);
        fs::remove("other.wow");
    }
}

} // namespace
