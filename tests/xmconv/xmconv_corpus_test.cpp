// The converter programs on the real modules of the corpus, run by conversion jobs as users run
// them: the XM written for each S3M and IT must read back in libopenmpt with the source's order
// list (of patterns or their copies), pattern rows, notes and the instruments they play, and carry
// the source's sample lengths (libopenmpt
// tells no sample lengths, so those come from the files' own headers, walked here); the song must
// read back in the program's own song reader. A MOD converted through mod2xm gives the same
// patterns and wave frames as the same MOD read directly.
#include <gtest/gtest.h>

#include <libopenmpt/libopenmpt.hpp>

#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "buzz/bmx_reader.h"
#include "buzz/machines_ini.h"
#include "core/byteio.h"
#include "core/pool.h"
#include "jobs/job_runner.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

using Lengths = std::vector<std::set<uint32_t>>;  // sample lengths (frames) of each instrument

struct Reader {
    const std::vector<uint8_t>& b;
    uint32_t u16(size_t at) const { return at + 2 <= b.size() ? uint32_t(b[at] | b[at + 1] << 8) : 0; }
    uint32_t u32(size_t at) const { return u16(at) | u16(at + 2) << 16; }
    uint8_t u8(size_t at) const { return at < b.size() ? b[at] : 0; }
};

Lengths s3m_lengths(const Reader& r)
{
    Lengths out(r.u16(0x22));
    for (size_t i = 0; i < out.size(); ++i) {
        size_t at = size_t(r.u16(0x60 + r.u16(0x20) + i * 2)) * 16;
        if (r.u8(at) == 1 && r.u32(at + 0x10)) out[i].insert(r.u32(at + 0x10));
    }
    return out;
}

// Without instrument mode each sample is an instrument; with it, the samples the keys of XM's
// notes C-0..B-7 use.
Lengths it_lengths(const Reader& r)
{
    uint32_t instruments = r.u16(0x22), samples = r.u16(0x24);
    bool instrument_mode = r.u16(0x2C) & 4;
    size_t table = 0xC0 + r.u16(0x20);
    auto length = [&](uint32_t s) {  // s is 0-based
        size_t at = r.u32(table + instruments * 4 + s * 4);
        return (r.u8(at + 0x12) & 1) && r.u32(at + 0x30) > 1 ? r.u32(at + 0x30) : 0;
    };
    Lengths out(instrument_mode ? instruments : samples);
    for (uint32_t i = 0; i < out.size(); ++i) {
        if (!instrument_mode) {
            if (r.u32(r.u32(table + instruments * 4 + i * 4) + 0x30)) out[i].insert(length(i));
            continue;
        }
        size_t at = r.u32(table + i * 4);
        for (unsigned key = 12; key < 108; ++key) {
            uint32_t s = r.u8(at + 0x40 + key * 2 + 1);
            if (s >= 1 && s <= samples) out[i].insert(length(s - 1));
        }
    }
    return out;
}

Lengths xm_lengths(const Reader& r)
{
    Lengths out;
    size_t pos = 60 + r.u32(60);
    for (uint32_t p = 0; p < r.u16(70); ++p) pos += r.u32(pos) + r.u16(pos + 7);
    for (uint32_t i = 0; i < r.u16(72) && pos < r.b.size(); ++i) {
        uint32_t samples = r.u16(pos + 27), header = samples ? r.u32(pos + 29) : 0;
        pos += r.u32(pos);
        std::set<uint32_t>& lengths = out.emplace_back();
        size_t data = 0;
        for (uint32_t s = 0; s < samples; ++s, pos += header) {
            lengths.insert(r.u8(pos + 14) & 0x10 ? r.u32(pos) / 2 : r.u32(pos));
            data += r.u32(pos);
        }
        pos += data;
    }
    return out;
}

// The order list as it plays: skip markers (+++) left out, ending at the first end marker (---).
std::vector<int> playing_orders(openmpt::module& m)
{
    std::vector<int> out;
    for (int i = 0; i < m.get_num_orders(); ++i) {
        int p = m.get_order_pattern(i);
        if (p == 0xFFFF || (p == 0xFF && p >= m.get_num_patterns())) break;
        if (p != 0xFFFE && !(p == 0xFE && p >= m.get_num_patterns())) out.push_back(p);
    }
    return out;
}

// The note an XM can hold for a source note (libopenmpt's numbering: 1 = C-0, 253 fade,
// 254 cut, 255 off): notes outside XM's range and IT's note cuts leave the note column empty.
int expected_xm_note(int note, bool s3m)
{
    if (note == 255 || note == 253 || (note == 254 && s3m)) return 255;  // S3M's ^^^ is a key off
    return note >= 13 && note <= 108 ? note : 0;
}

// What a song holds, as the song reader walks it: every pattern row and every wave's bytes.
struct SongContents {
    std::map<std::tuple<int, int, int, int, int>, std::vector<uint8_t>> rows;  // kind, machine, pattern, track, row
    std::vector<std::vector<uint8_t>> waves;
};
SongContents* collecting = nullptr;

class XmconvCorpusTest : public kxtest::WorkDirTest {
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

TEST_F(XmconvCorpusTest, EveryS3mAndItConvertsFaithfully)
{
    auto files = kxtest::corpus_files({".s3m", ".it"});
    if (files.empty()) GTEST_SKIP() << "no S3M or IT files in the corpus";
    for (const auto& source : files) {
        SCOPED_TRACE(source.filename().string());
        bool s3m = source.extension() == ".s3m";
        fs::copy_file(source, source.filename());
        std::string song = source.stem().string() + ".bmx";
        ASSERT_EQ(convert_job(source.filename().string(), song), "Conversion finished!") << last_log;
        SongContents contents;
        EXPECT_TRUE(read_song(song, contents));
        EXPECT_FALSE(contents.rows.empty() || contents.waves.empty());

        // The conversion removes its converter's XM: the converter makes it once more to compare.
        const std::string program = s3m ? "mod2xm" : "it2xm";
        ASSERT_EQ(platform::run_program("./" + program, {program, source.filename().string(), s3m ? "/o" : "/WC"}), 0);
        std::vector<uint8_t> src_bytes = kxtest::read_file(source);
        std::vector<uint8_t> xm_bytes = kxtest::read_file(source.stem().string() + ".xm");
        openmpt::module src(src_bytes), out(xm_bytes);
        EXPECT_EQ(out.get_metadata("type"), "xm");
        // Along the order list (the XM may play a pattern's copy): the notes of every cell, and the
        // instrument each note plays (the XM may give the number where the source leaves it to the
        // channel's last one, or leave out a repeated one). Channels the source lacks stay empty.
        const std::vector<int> src_orders = playing_orders(src), xm_orders = playing_orders(out);
        ASSERT_EQ(src_orders.size(), xm_orders.size());
        int channels = src.get_num_channels(), mismatches = 0;
        ASSERT_LE(channels, out.get_num_channels());
        for (size_t k = 0; k < src_orders.size(); ++k) {
            const int sp = src_orders[k], xp = xm_orders[k], rows = src.get_pattern_num_rows(sp);
            ASSERT_EQ(rows, out.get_pattern_num_rows(xp)) << "order " << k;
            std::vector<int> src_ins(size_t(out.get_num_channels())), xm_ins(src_ins);
            for (int r = 0; r < rows; ++r)
                for (int c = 0; c < out.get_num_channels(); ++c) {
                    auto cell = [&](openmpt::module& m, int p, int what) {
                        return c < channels || &m == &out ? m.get_pattern_row_channel_command(p, r, c, what) : 0;
                    };
                    int sn = cell(src, sp, openmpt::module::command_note), xn = cell(out, xp, openmpt::module::command_note);
                    int &si = src_ins[size_t(c)], &xi = xm_ins[size_t(c)];
                    if (int i = cell(src, sp, openmpt::module::command_instrument)) si = i;
                    if (int i = cell(out, xp, openmpt::module::command_instrument)) xi = i;
                    if ((xn != expected_xm_note(sn, s3m) || (xn && xn < 97 && si && xi && xi != si)) && ++mismatches <= 5)
                        ADD_FAILURE() << "order " << k << " row " << r << " channel " << c << ": note " << sn << " -> "
                                      << xn << ", instrument " << si << " -> " << xi;
                }
        }
        EXPECT_EQ(mismatches, 0);
        Lengths want = s3m ? s3m_lengths({src_bytes}) : it_lengths({src_bytes});
        EXPECT_EQ(want, xm_lengths({xm_bytes}));
        EXPECT_EQ(out.get_num_instruments(), int(want.size()));
    }
}

TEST_F(XmconvCorpusTest, ModThroughMod2xmEqualsModReadDirectly)
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
            EXPECT_FALSE(fs::exists(fs::path(f.filename()).replace_extension(".xm"))); // mod2xm's is removed
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
