// easyxmid on the MIDI files of the corpus: libopenmpt opens each XM and finds every note the
// MIDI file plays (key, and channel as instrument), the conversion driver's extern MIDI
// conversion reads it into a song; and its arguments and failures.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <libopenmpt/libopenmpt.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "buzz/bmx_reader.h"
#include "buzz/machines_ini.h"
#include "core/byteio.h"
#include "core/pool.h"
#include "jobs/job_runner.h"
#include "midi/smf_reader.h"
#include "settings/settings.h"
#include "song/midi_state.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

using Notes = std::map<std::pair<int, int>, int>; // (channel, key) -> notes played

// The notes a MIDI file plays, as the program's reader finds them.
std::vector<uint8_t> midi;
size_t midi_pos;
Notes* counting;
Notes midi_notes(const fs::path& file)
{
    static constexpr MidiHooks hooks = {
        [] { return midi_pos < midi.size() ? int(midi[midi_pos++]) : -1; }, [](const char*) {},
        [](int, int n, int) { midi_state.track_total = n; }, nullptr, [] { ++midi_state.track_index; },
        [](int c, int k, int v) {
            if (v && k >= 12 && k <= 107) ++(*counting)[{c, k}];
        },
        nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
        nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    Notes n;
    counting = &n;
    midi = kxtest::read_file(file);
    midi_pos = 0;
    midi_state_reset();
    mfread(hooks);
    return n;
}

int run(const std::string& args, std::string& err)
{
    int st = std::system(("'" + std::string(KESTRIX_BINARY_DIR) + "/easyxmid' " + args + " 2>err.txt >out.txt").c_str());
    err = kxtest::read_text("err.txt");
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

class Easyxmid : public kxtest::WorkDirTest {};

TEST_F(Easyxmid, CorpusNotesReachTheXmAndTheSong)
{
    auto files = kxtest::corpus_files({".mid"});
    if (files.empty()) GTEST_SKIP() << "no MIDI files in the corpus";
    kxtest::install_machines_ini();
    fs::copy_file(fs::path(KESTRIX_BINARY_DIR) / "easyxmid", "easyxmid");
    for (const auto& f : files) {
        SCOPED_TRACE(f.filename().string());
        std::string err;
        ASSERT_EQ(run("'" + f.string() + "' out.xm 4 10", err), 0) << err;
        EXPECT_EQ(err, "");
        openmpt::module xm(kxtest::read_file("out.xm"));
        Notes found;
        int channels = xm.get_num_channels();
        for (int o = 0; o < xm.get_num_orders(); ++o)
            for (int r = 0, p = xm.get_order_pattern(o); r < xm.get_pattern_num_rows(p); ++r)
                for (int c = 0; c < channels; ++c) {
                    int note = xm.get_pattern_row_channel_command(p, r, c, openmpt::module::command_note);
                    int ins = xm.get_pattern_row_channel_command(p, r, c, openmpt::module::command_instrument);
                    if (note >= 1 && note <= 120) ++found[{ins - 1, note - 1}];  // libopenmpt: 61 is middle C
                }
        EXPECT_EQ(found, midi_notes(f));
        EXPECT_EQ(xm.get_metadata("title").substr(0, 2), (channels < 10 ? "0" : "") + std::to_string(channels));

        // The driver's extern conversion: one machine per XM channel, the name's channel count.
        settings = Settings();
        settings.domidi_ext = 1;
        fs::copy_file(f, "in.mid", fs::copy_options::overwrite_existing);
        struct Report : JobFrontEnd {
            LogWindow* open_log_window(const char*) override { return &window; }
            void report(const char* t) override { text = t; }
            kxtest::FakeWindow window;
            std::string text;
        } front;
        settings_set_text(settings.input_file, "in.mid");
        settings_set_text(settings.output_file, "in.bmx");
        run_job(1, front);
        ASSERT_EQ(front.text, "Conversion finished!") << front.window.text;
        EXPECT_NE(front.window.text.find("Input restricted to " + std::to_string(channels) + " tracks"), std::string::npos);
        File song = open_file("in.bmx", "rb");
        ASSERT_TRUE(song && load_machine_descriptions());
        reader_state = ReaderState();
        reader_state.input_summaries[0].stream = song.get();
        EXPECT_TRUE(run_guarded([&] { read_buzz_song(song.get(), 0); })) << front.window.text;
        EXPECT_EQ(reader_state.input_summaries[0].machines, channels + 1);
        reader_state = ReaderState();
        pool_free_all();
        EXPECT_FALSE(fs::exists("in.bmx.midrix.xm") || fs::exists("kestrix.tmp"));
    }
}

TEST_F(Easyxmid, ArgumentsAndFailures)
{
    kxtest::Bytes().str("MThd").be16(0).be16(6).be16(0).be16(1).be16(96).str("MTrk").be16(0).be16(50).u8(0x81).write("cut.mid");
    kxtest::Bytes().str("RIFF").write("riff.mid");
    struct Case { std::string args; int status; const char* what; };
    const Case cases[] = {
        {"--help", 0, ""},
        {"only.mid", 2, "usage"},
        {"cut.mid out.xm 0 10", 2, "usage"},
        {"missing.mid out.xm", 3, "missing.mid"},
        {"cut.mid out.xm", 3, "premature EOF"},
        {"riff.mid out.xm", 3, "not a Standard MIDI File"},
    };
    for (const Case& c : cases) {
        std::string err;
        EXPECT_EQ(run(c.args, err), c.status) << c.args;
        EXPECT_EQ(err.empty(), c.status == 0) << err;
        if (c.status == 0) {
            EXPECT_NE(kxtest::read_text("out.txt").find("RES"), std::string::npos);
        } else {
            EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
            EXPECT_NE(err.find(c.what), std::string::npos) << err;
        }
    }
    EXPECT_FALSE(fs::exists("out.xm"));
}

} // namespace
