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

#include "convert/driver.h"
#include "core/pool.h"
#include "jobs/job_runner.h"
#include "midi/smf_reader.h"
#include "settings/settings.h"
#include "song/midi_state.h"
#include "song/song.h"
#include "midi/smf_builder.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

using kxtest::SmfTrack;
using Notes = std::map<std::pair<int, int>, int>; // (channel, key) -> notes played

// The notes a MIDI file plays, as the program's reader finds them: (channel, key) with keys
// outside C-0..B-7 folded in by octaves.
class NoteCounter : public MidiHooks {
public:
    void Mf_on_note_on(int channel, int k, int velocity) override
    {
        if (velocity && k <= 127) ++notes[{channel, k < 12 ? k + (23 - k) / 12 * 12 : k > 107 ? k - (k - 96) / 12 * 12 : k}];
    }
    Notes notes;
};
Notes midi_notes(const fs::path& file)
{
    const std::vector<uint8_t> midi = kxtest::read_file(file);
    Log log;
    SmfReader reader(log);
    NoteCounter counter;
    smf_bytes_open(reader, midi.data(), midi.size());
    mfread(reader, counter);
    return counter.notes;
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
    // The driver finds the converter on PATH (the test program has none beside it).
    const std::string old_path = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", (std::string(KESTRIX_BINARY_DIR) + ":" + old_path).c_str(), 1);
    for (const auto& f : files) {
        SCOPED_TRACE(f.filename().string());
        std::string err;
        ASSERT_EQ(run("'" + f.string() + "' out.xm 4 10", err), 0) << err;
        EXPECT_EQ(err.find("left out"), err.find(" 0 left out")) << err; // every note has its place
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

        // The driver's extern conversion reads it: one machine per XM channel, as its name says.
        settings = Settings();
        settings.domidi_ext = 1;
        settings.replace_files = 1;
        kxtest::FakeWindow w;
        log.window = &w;
        EXPECT_TRUE(run_guarded(log, [&] { convert(c, f.string().c_str(), "in.bmx"); })) << w.text;
        log.window = nullptr;
        EXPECT_EQ(song.machine_count, channels + 1);
        pool_free_all(pool);
        for (const auto& e : fs::directory_iterator(".")) // no scratch file left beside the song
            EXPECT_EQ(e.path().filename().string().find("-kx"), std::string::npos) << e.path();
    }
    ::setenv("PATH", old_path.c_str(), 1);
}

// Rows follow the beat (16 a quarter note); drums get no key-off and hold a channel for their own
// row only; speed 6 and the BPM of the tempo at tick 0 (the last there), a later tempo an Fxx BPM at
// its row; volumes from velocities; keys folded into C-0..B-7; tracks whose notes need more than
// 32 channels share them.
TEST_F(Easyxmid, RowsDrumsAndTempo)
{
    SmfTrack tune = SmfTrack().tempo(1000000).tempo(500000).on(0, 0, 60).off(48, 0, 60);
    tune.tempo(1000000, 96).on(96, 0, 62, 127).off(144, 0, 62).on(192, 1, 64, 1).on(200, 1, 5).on(200, 1, 120); // half speed
    kxtest::smf(1, 96, {tune, SmfTrack().on(0, 9, 36).off(6, 9, 36).on(6, 9, 38)}).write("t.mid");
    std::string err;
    ASSERT_EQ(run("./t.mid t.xm 4 10", err), 0) << err;
    openmpt::module xm(kxtest::read_file("t.xm"));
    std::string cells;
    for (int r = 0; r < xm.get_pattern_num_rows(0); ++r)
        for (int c = 0; c < xm.get_num_channels(); ++c) {
            auto at = [&](int what) { return std::to_string(xm.get_pattern_row_channel_command(0, r, c, what)); };
            if (xm.get_pattern_row_channel_command(0, r, c, openmpt::module::command_note))
                cells += std::to_string(r) + "." + std::to_string(c) + ":" + at(openmpt::module::command_note) + "," +
                         at(openmpt::module::command_instrument) + "," + at(openmpt::module::command_volume) + " ";
        }
    EXPECT_EQ(cells, "0.0:61,1,50 0.2:37,10,50 1.2:39,10,50 8.0:255,0,0 16.0:63,1,64 24.0:255,0,0 32.0:65,2,1 "
                     "33.0:18,2,50 33.1:97,2,50 ");
    EXPECT_EQ(xm.format_pattern_row_channel_command(0, 16, 0, openmpt::module::command_effect) +
                  xm.format_pattern_row_channel_command(0, 16, 0, openmpt::module::command_parameter), "F3C");
    EXPECT_EQ(xm.get_metadata("title"), "03 t.mid");
    EXPECT_EQ(xm.get_current_speed(), 6);
    EXPECT_EQ(xm.get_current_tempo(), 120);
    EXPECT_EQ(err, "easyxmid: 2 notes folded into C-0..B-7, 0 cut short, 0 left out (chords beyond 32 channels, rows beyond 256 patterns)\n");

    // Two tracks of 20 notes at once share the 32 channels: 16 each, 4 notes of each cut short.
    SmfTrack a, b;
    for (int i = 0; i < 20; ++i) a.on(i * 6, 0, 40 + i), b.on(i * 6, 1, 40 + i);
    for (int i = 0; i < 20; ++i) a.off(960, 0, 40 + i), b.off(960, 1, 40 + i);
    kxtest::smf(1, 96, {a, b}).write("full.mid");
    ASSERT_EQ(run("full.mid full.xm", err), 0) << err;
    EXPECT_EQ(err, "easyxmid: 0 notes folded into C-0..B-7, 8 cut short, 0 left out (chords beyond 32 channels, rows beyond 256 patterns)\n");
    EXPECT_EQ(openmpt::module(kxtest::read_file("full.xm")).get_num_channels(), 32);
    // One after the other, each takes the channels the other leaves free: nothing is cut.
    SmfTrack c, d;
    for (int i = 0; i < 20; ++i) c.on(i * 6, 0, 40 + i);
    for (int i = 0; i < 20; ++i) c.off(480, 0, 40 + i), d.on(480 + i * 6, 1, 40 + i);
    for (int i = 0; i < 20; ++i) d.off(960, 1, 40 + i);
    kxtest::smf(1, 96, {c, d}).write("turns.mid");
    ASSERT_EQ(run("turns.mid turns.xm", err), 0) << err;
    EXPECT_EQ(err, "");

    // Patterns of 64 rows up to the 256 an XM holds, longer ones beyond; a song that 256 patterns
    // of 256 rows cannot hold is cut, and said so.
    kxtest::smf(0, 96, {SmfTrack().on(0, 0, 60).off(6, 0, 60).on(6 * 64 * 199, 0, 62).off(6 * 64 * 199 + 6, 0, 62)}).write("long.mid");
    ASSERT_EQ(run("long.mid long.xm", err), 0) << err;
    openmpt::module long_xm(kxtest::read_file("long.xm"));
    EXPECT_EQ(std::make_pair(long_xm.get_num_patterns(), long_xm.get_pattern_num_rows(0)), std::make_pair(200, 64));
    kxtest::smf(0, 96, {SmfTrack().on(0, 0, 60).off(6, 0, 60).on(6 * 70000, 0, 62).off(6 * 70001, 0, 62)}).write("long.mid");
    ASSERT_EQ(run("long.mid long.xm", err), 0) << err;
    EXPECT_EQ(err, "easyxmid: song cut at 256 patterns of 256 rows: 65536 of 70002 rows kept, 1 notes after them left out\n"
                   "easyxmid: 0 notes folded into C-0..B-7, 0 cut short, 1 left out (chords beyond 32 channels, rows beyond 256 patterns)\n");
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
        {"many.mid out.xm", 4, "33 tracks with notes, an XM holds 32 channels"},
    };
    kxtest::Bytes many = kxtest::chunk("MThd", kxtest::Bytes().be16(1).be16(33).be16(96));
    for (int t = 0; t < 33; ++t) many.append(kxtest::chunk("MTrk", SmfTrack().on(0, 0, 60).at(0, {0xFF, 0x2F, 0}).data));
    many.write("many.mid");
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
