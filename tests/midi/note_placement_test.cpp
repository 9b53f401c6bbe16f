// Native MIDI conversions of byte-built files through the conversion driver: time to rows,
// notes to tracks, programs and drums to waves, the song's limits, and files that are broken or
// hostile. Cells are shown as "pattern.row.track:note wave volume effect value" (hex).
#include <algorithm>
#include <cstdio>
#include <functional>

#include "buzz/machines_ini.h"
#include "convert/driver.h"
#include "core/pool.h"
#include "jobs/job_runner.h"
#include "midi/smf_builder.h"
#include "settings/settings.h"
#include "song/midi_state.h"
#include "song/pattern_cells.h"
#include "song/song.h"
#include "transform/merge.h"

namespace {

using kxtest::Bytes;
using kxtest::SmfTrack;
using kxtest::smf;

class MidiConversion : public kxtest::WorkDirTest {
protected:
    void SetUp() override
    {
        WorkDirTest::SetUp();
        kxtest::install_machines_ini();
        settings.dowave = Waves::none;
    }
    // Converts the file with the settings as they are; the log.
    std::string convert_midi(const Bytes& file)
    {
        pool_free_all(pool); // the song of the conversion before
        file.write("in.mid");
        kxtest::FakeWindow w;
        log.window = &w;
        settings.replace_files = 1; // each case writes the song again
        ok = run_guarded(log, [&] { convert(c, "in.mid", "out.bmx"); });
        log.window = nullptr;
        return w.text;
    }
    // Every cell of machine 1 with a note or an effect.
    std::string cells() const
    {
        std::string out;
        const MachineRecord& mr = song.machine_table[1];
        std::vector<uint8_t> rows;
        for (int p = 0; p < song.pattern_count; ++p) {
            rows.resize(size_t(mr.track_count) * song.pattern_table[p].lines * mr.track_row_bytes);
            expand_track_rows(mr, mr.track_patterns[p], song.pattern_table[p].lines, rows.data());
            for (int r = 0; r < song.pattern_table[p].lines; ++r)
                for (int t = 0; t < mr.track_count; ++t) {
                    const uint8_t* c = rows.data() + (size_t(t) * song.pattern_table[p].lines + r) * mr.track_row_bytes;
                    if (!c[0] && !c[3]) continue;
                    char b[64];
                    std::snprintf(b, sizeof b, "%s%d.%d.%d:%02x %02x %02x %02x %02x", out.empty() ? "" : " ", p, r, t,
                                  c[0], c[1], c[2], c[3], c[4]);
                    out += b;
                }
        }
        return out;
    }
    bool ok = false;
};

SmfTrack tempo_track() { return SmfTrack().tempo(500000); }
bool has(const std::string& log, const char* text) { return log.find(text) != std::string::npos; }

// Time to rows, and notes to tracks; each case: cells of machine 1, a line its log must hold.
TEST_F(MidiConversion, TimeBecomesRowsAndNotesTracks)
{
    struct Case {
        const char* what;
        std::function<void()> set;
        Bytes file;
        const char* cells;
        const char* log = "Machines";
    };
    const Case cases[] = {
        {"ticks 96 and 480: row 16 of patterns 0 and 1", [&] {}, smf(1, 96, {tempo_track(), SmfTrack().on(96, 0, 60).on(480, 0, 62)}),
         "0.16.0:41 01 c8 00 00 1.16.1:43 01 c8 00 00", "\n2 Machines (with Master)"},
        {"no tempo event: 120 BPM", [&] {}, smf(0, 96, {SmfTrack().on(96, 0, 60)}), "0.16.0:41 01 c8 00 00"},
        {"SMPTE, 25 frames of 40 ticks: half a second is a beat", [&] {}, smf(0, 0xE728, {SmfTrack().on(500, 0, 60)}),
         "0.16.0:41 01 c8 00 00"},
        {"note delay 8 at tick 15", [&] { settings.use_notedels = 1; }, smf(1, 96, {tempo_track(), SmfTrack().on(15, 0, 60)}),
         "0.2.0:41 01 c8 0d 08"},
        {"first note at tick 960 starts the song", [&] { settings.do_firstnote0 = 1; },
         smf(1, 96, {tempo_track(), SmfTrack().on(960, 1, 60).on(1056, 1, 60)}), "0.0.0:41 02 c8 00 00 0.16.1:41 02 c8 00 00"},
        {"negative shift drops what comes before the start", [&] { settings.midi_shift = -8; },
         smf(1, 96, {tempo_track(), SmfTrack().on(0, 0, 60).on(96, 0, 62)}), "0.8.0:43 01 c8 00 00",
         "\nWarning: 1 notes before the song's start (midi_shift -8 rows) left out"},
        {"midi_res 2, transpo and ptranspo", [&] { settings.midi_res = 2; settings.transpo = 1; settings.ptranspo = 0; },
         smf(1, 96, {tempo_track(), SmfTrack().on(96, 0, 60)}), "0.32.0:52 01 c8 00 00"},
        {"a chord of three notes on tracks 0-2", [&] {},
         smf(0, 96, {SmfTrack().on(0, 0, 60).on(0, 0, 64).on(0, 0, 67).off(96, 0, 60).off(96, 0, 64).off(96, 0, 67)}),
         "0.0.0:41 01 c8 00 00 0.0.1:45 01 c8 00 00 0.0.2:48 01 c8 00 00 0.16.0:ff 01 ff 00 00 0.16.1:ff 01 ff 00 00 "
         "0.16.2:ff 01 ff 00 00", "Machine  1: polyphonie:  3"},
        {"a note where another ends takes a track of its own", [&] {},
         smf(0, 96, {SmfTrack().on(0, 0, 60).off(96, 0, 60).on(96, 0, 62).off(192, 0, 62)}),
         "0.0.0:41 01 c8 00 00 0.16.0:ff 01 ff 00 00 0.16.1:43 01 c8 00 00 0.32.1:ff 01 ff 00 00",
         "Machine  1:( 1 channels added) --> polyphonie:  2"},
        // An unmatched note-off, a key above 127, a velocity above 127 (volume 254, not 144).
        {"a note ending in its own row keeps its note-on", [&] {},
         smf(0, 96, {SmfTrack().on(0, 0, 60).off(3, 0, 60).off(4, 0, 70).at(5, {0x90, 200, 1}).on(96, 0, 60, 200)}),
         "0.0.0:41 01 c8 00 00 0.1.0:ff 01 ff 00 00 0.16.0:41 01 fe 00 00", "\n1 notes shorter than a row kept one row long"},
    };
    for (const Case& c : cases) {
        settings = Settings(); // waves, but no XI file to read them from: a song without waves
        c.set();
        std::string log = convert_midi(c.file);
        ASSERT_TRUE(ok) << c.what << log;
        EXPECT_EQ(cells(), c.cells) << c.what;
        EXPECT_EQ(song.bpm, int(120 * settings.midi_res)) << c.what;
        EXPECT_TRUE(has(log, c.log)) << c.what << log;
    }
}

TEST_F(MidiConversion, ProgramsAndDrumsChooseTheWaves)
{
    settings.dopchange = 1;
    settings.drtranspo = 2;
    // Drum key 36: the instrument of program 164, C-4 + drtranspo; channel 1 plays program 5,
    // channel 2 never had a program (its program byte 0x80 is none): program 0, a wave of its own.
    std::string log = convert_midi(
        smf(0, 96, {SmfTrack().at(0, {0xC0, 5}).at(0, {0xC1, 0x80}).on(0, 9, 36).on(16, 0, 60).on(32, 1, 60)}));
    ASSERT_TRUE(ok) << log;
    const InstrumentRecord* ins = song.instrument_table;
    EXPECT_EQ(std::vector<int>({song.wave_map[5], song.wave_map[164], song.wave_map[0], ins[1].wave_number,
                                ins[2].wave_number, ins[3].wave_number}), std::vector<int>({1, 2, 3, 6, 165, 1}));
    EXPECT_EQ(cells(), "0.0.0:43 03 c8 00 00 0.2.1:41 02 c8 00 00 0.5.2:41 04 c8 00 00");

    // One drum kit: wave 1, the pitch of the key.
    settings.drkit = 1;
    convert_midi(smf(0, 96, {SmfTrack().on(0, 9, 36)}));
    EXPECT_EQ(cells(), "0.0.0:21 01 c8 00 00");
    EXPECT_EQ(song.instrument_table[0].wave_number, 1);

    // vMidiOut: the channel and a changed program in the cell, then program 255; volume halved.
    settings = Settings();
    settings.dowave = Waves::none;
    settings.dopfun = 8;
    convert_midi(smf(0, 96, {SmfTrack().at(0, {0xC2, 7}).on(0, 2, 60).on(96, 2, 62)}));
    EXPECT_EQ(cells(), "0.0.0:41 03 64 03 07 0.16.1:43 03 64 03 ff");
}

TEST_F(MidiConversion, LimitsAndBrokenFiles)
{
    // No song is cut: a note in each of 113 patterns (each another key) and one past row 65535 all
    // play, from 2-byte sequence values and 4-byte positions, also merged with itself and cloned.
    SmfTrack long_song;
    for (int p = 0; p < 113; ++p) long_song.on(96 * 4 * p, 0, 14 + p).off(96 * 4 * p + 96, 0, 14 + p);
    std::string log = convert_midi(smf(0, 96, {long_song.on(96 * 4 * 1025, 0, 62)}));
    ASSERT_TRUE(ok) << log;
    EXPECT_EQ(song.pattern_count, 1026);
    const kxtest::SongSequence s = kxtest::song_sequences(kxtest::read_file("out.bmx")).at(0);
    EXPECT_EQ(std::make_tuple(s.position_width, s.value_width, s.events.size()), std::make_tuple(4, 2, 114u));
    EXPECT_EQ(s.events[113], std::make_pair(1025u * 64, 0x81u));
    settings.clone_source = 1;
    settings.clone2 = role_primifun;
    ASSERT_TRUE(load_machine_descriptions(machines, pool, c.log));
    ASSERT_TRUE(run_guarded(c.log, [&] { merge_songs(merge, "out.bmx", "out.bmx", "merged.bmx"); }));
    const auto merged = kxtest::song_sequences(kxtest::read_file("merged.bmx"));
    ASSERT_EQ(merged.size(), 3u);
    for (const kxtest::SongSequence& t : merged)
        EXPECT_EQ(std::make_tuple(t.position_width, t.value_width, t.events), std::make_tuple(4, 2, s.events)) << t.machine;
    settings = Settings();

    struct Case { const char* what; Bytes file; const char* error; };
    Bytes million = Bytes().u8(0).u8(0x90);
    for (int i = 0; i < 1000000; ++i) million.u8(60).u8(1).u8(0);
    const Case cases[] = {
        {"no MThd", Bytes().str("MTrk junk"), "Error: not a Standard MIDI File (no \"MThd\" header)"},
        {"division 0", smf(0, 0, {SmfTrack().on(0, 0, 60)}), "Error: MIDI file with division 0 (no ticks per quarter note)"},
        {"a million notes in one row", kxtest::chunk("MThd", Bytes().be16(0).be16(1).be16(96)).append(kxtest::chunk("MTrk", million)),
         "Jeskola Tracker allows ony 32 channels,sorry!"},
        {"tempo 0", smf(0, 96, {SmfTrack().tempo(0).on(96, 0, 60)}), nullptr},
        {"a note-off before any note: 26 bytes", kxtest::chunk("MThd", Bytes().be16(0).be16(1).be16(96))
                                                     .append(kxtest::chunk("MTrk", Bytes().u8(0).u8(0x80).u8(60).u8(0))),
         nullptr},
        {"a track cut at a status byte", kxtest::chunk("MThd", Bytes().be16(0).be16(1).be16(96))
                                              .append(kxtest::chunk("MTrk", Bytes().u8(0).u8(0x90).u8(60).u8(1).u8(5), 9)),
         nullptr},
    };
    for (const Case& c : cases) {
        log = convert_midi(c.file);
        EXPECT_EQ(ok, c.error == nullptr) << c.what;
        if (c.error) {
            EXPECT_TRUE(has(log, c.error)) << c.what << log;
        }
    }

    // A note-off without its note, alone in pattern 1: the machine still plays its own pattern 1 there.
    ASSERT_TRUE((convert_midi(smf(0, 96, {SmfTrack().on(0, 0, 60).off(384, 0, 70)})), ok));
    EXPECT_EQ(song.machine_table[1].track_patterns[1].number, 2);

    // 34 notes in one row for a Tracker of 64 tracks: the 1 + 32 tracks a MIDI track may have are
    // full, and the last note takes the last of them.
    std::string ini = kxtest::read_text("machines.ini");
    kxtest::Bytes().str(ini.replace(ini.find(" 32 3 Tracker"), 3, " 64")).write("machines.ini");
    SmfTrack burst;
    for (int i = 0; i < 33; ++i) burst.on(0, 0, 60).off(0, 0, 60);
    log = convert_midi(smf(0, 96, {burst.on(0, 1, 62).off(96, 1, 62)}));
    ASSERT_TRUE(ok) << log;
    EXPECT_TRUE(has(cells(), "0.0.32:43 02 c8 00 00") && cells().ends_with("0.16.32:ff 02 ff 00 00")) << cells();
    EXPECT_TRUE(has(log, "\nWarning: There are   1 suppressed notes")) << log;
}

// The Master's BPM at every row, as "pattern.row:bpm" where it is set.
std::string master_bpms(const Song& song)
{
    std::string out;
    const MachineRecord& m = song.machine_table[0];
    for (int p = 0; p < song.pattern_count; ++p)
        for (int r = 0; r < song.pattern_table[p].lines; ++r) {
            const uint8_t* g = m.global_patterns[p].data + size_t(r) * size_t(m.global_row_bytes);
            if (g[2] == 0xFF && g[3] == 0xFF) continue;
            EXPECT_EQ(m.track_patterns[p].number, p + 1); // a pattern with a change is played
            out += (out.empty() ? "" : " ") + std::to_string(p) + "." + std::to_string(r) + ":" + std::to_string(g[2] | g[3] << 8);
        }
    return out;
}

// Tempo changes after the start: with midi_tempos 0 the first tempo holds and one forced warning
// counts the changes; with 1 the rows follow the beat and the Master plays the tempo map.
TEST_F(MidiConversion, TempoChangesFollowTheSetting)
{
    // 120 BPM, 240 at row 64, 240 again (no change), 120 at row 192; the second tempo at tick 0
    // is the one that holds there. Notes at rows 0 and 256 either way.
    const Bytes file = smf(1, 96, {SmfTrack().tempo(1000000).tempo(500000).tempo(250000, 384).tempo(250000, 768).tempo(500000, 1152),
                                   SmfTrack().on(0, 0, 60).on(1536, 0, 62)});
    for (int follow : {0, 1}) {
        settings = Settings();
        settings.dowave = Waves::none;
        settings.midi_tempos = follow;
        std::string log = convert_midi(file);
        ASSERT_TRUE(ok) << log;
        EXPECT_EQ(cells(), "0.0.0:41 01 c8 00 00 4.0.1:43 01 c8 00 00") << follow;
        EXPECT_EQ(song.bpm, 120);
        EXPECT_EQ(master_bpms(song), follow ? "1.0:240 3.0:120" : "") << follow;
        EXPECT_EQ(has(log, "\nWarning: the file changes tempo 2 times; --set midi_tempos=1 follows them"), !follow) << log;
    }

    // A ritardando of uneven tempos, two changes a beat, then a long stretch at the last, with
    // midi_res 2 and midi_scale 1.5: the Master's whole BPMs keep the song within a row of the
    // file's time (times the scale) at every row.
    settings = Settings();
    settings.dowave = Waves::none;
    settings.midi_tempos = 1;
    settings.midi_res = 2;
    settings.midi_scale = 1.5f;
    SmfTrack ramp;
    std::vector<std::pair<int, int>> tempos; // tick, microseconds per quarter
    for (int i = 0; i < 40; ++i) tempos.push_back({i * 48, 400000 + i * 13331});
    for (auto [tick, us] : tempos) ramp.tempo(uint32_t(us), uint32_t(tick));
    ASSERT_TRUE((convert_midi(smf(1, 96, {ramp, SmfTrack().on(0, 0, 60).on(96 * 30, 0, 62)})), ok));
    const double rows_per_tick = 16 * 2 * 1.5 / 96.0;
    const MachineRecord& m = song.machine_table[0];
    double file_time = 0, song_time = 0;
    int bpm = song.bpm;
    for (int row = 0; row < song.pattern_count * 64; ++row) {
        const uint8_t* g = m.global_patterns[row / 64].data + size_t(row % 64) * 5;
        if (g[2] != 0xFF) bpm = g[2] | g[3] << 8;
        EXPECT_NEAR(song_time, file_time, 60.0 / (bpm * 16)) << row;
        song_time += 60.0 / (bpm * 16);
        const double tick = row / rows_per_tick;
        size_t i = 0;
        while (i + 1 < tempos.size() && tempos[i + 1].first <= tick) ++i;
        file_time += tempos[i].second / 1e6 / 96 / rows_per_tick * 1.5;
    }
    EXPECT_NEAR(song_time, file_time, 60.0 / (bpm * 16));

    // 1200 BPM from row 64 and 12 BPM from row 128 lie beyond the Master's range: 500 and 16.
    settings.midi_res = 1, settings.midi_scale = 1;
    const std::string log = convert_midi(
        smf(1, 96, {SmfTrack().tempo(500000).tempo(50000, 384).tempo(5000000, 768), SmfTrack().on(0, 0, 60).on(1152, 0, 62)}));
    EXPECT_EQ(master_bpms(song), "1.0:500 2.0:16");
    EXPECT_TRUE(has(log, "\nWarning: 2 tempo stretches beyond the Master's 16 to 500 BPM play at the nearest of them")) << log;
}

// Either tempo mode: tempos a hair off a whole BPM (140.00014, 69.99997) put on-beat notes on their
// rows, even 200 beats on, and give the Master that BPM; a note shorter than a row, on a row or
// after it, sounds for one row (its note-off dropped where the next note of its track comes first,
// and after the song's last row).
TEST_F(MidiConversion, NotesOnTheBeatAndShortNotesKept)
{
    SmfTrack notes;
    const uint32_t on_off_key[][3] = {{120, 123, 60}, {128, 130, 62}, {473, 474, 64}, {24000, 24001, 65}, {24473, 24475, 67}};
    for (const auto& n : on_off_key) notes.on(n[0], 0, int(n[2])).off(n[1], 0, int(n[2]));
    for (int us : {428571, 857143})
        for (int follow : {0, 1}) {
            settings.midi_tempos = follow;
            const std::string log = convert_midi(smf(1, 120, {SmfTrack().tempo(uint32_t(us)), notes}));
            EXPECT_EQ(cells(), "0.16.0:41 01 c8 00 00 0.17.0:43 01 c8 00 00 0.18.0:ff 01 ff 00 00 0.63.0:45 01 c8 00 00 "
                               "1.0.0:ff 01 ff 00 00 50.0.0:46 01 c8 00 00 50.1.0:ff 01 ff 00 00 50.63.0:48 01 c8 00 00")
                << us << follow << log;
            EXPECT_EQ(song.bpm, us == 428571 ? 140 : 70);
            EXPECT_EQ(song.machine_table[1].track_patterns[1].number, 2); // the note-off alone there
        }
    // midi_res 0.7, midi_scale 1.3: 120 BPM * 0.7f is 83.99999 BPM; tick 600, row 91, 90.99999.
    settings.midi_res = 0.7f, settings.midi_scale = 1.3f;
    for (int follow : {0, 1}) {
        settings.midi_tempos = follow;
        convert_midi(smf(1, 96, {SmfTrack().tempo(500000).tempo(250000, 600), SmfTrack().on(600, 0, 60)}));
        EXPECT_EQ(cells() + " " + std::to_string(song.bpm) + " " + master_bpms(song),
                  std::string("1.27.0:41 01 c8 00 00 84 ") + (follow ? "1.27:168" : ""));
    }
}

// The listing of every kind of event, shown in the second pass with dolist.
TEST_F(MidiConversion, ListingOfTheSecondPass)
{
    settings.dolist = 1;
    settings.dopchange = 1;
    log.window_height = 1 << 20; // no scrolling
    SmfTrack events = tempo_track().at(0, {0xC0, 0}).at(1, {0xB2, 7, 100, 0, 0xFF, 0x7F, 3, 0, 0, 0x41});
    events.at(1, {0xFF, 0x59, 2, 0xFD, 1, 0, 0xFF, 0x58, 4, 6, 3, 24, 8, 0, 0xFF, 0x58, 4, 2, 0xFE, 24, 8});
    events.at(1, {0xFF, 0x54, 5, 1, 2, 3, 4, 5, 0, 0xFF, 0x0A, 4, 'a', 1, 0x7F, 'b'});
    std::string log = convert_midi(smf(1, 96, {events, SmfTrack().on(96, 0, 60).off(192, 0, 60).off(192, 1, 64)}));
    ASSERT_TRUE(ok) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '!'), 6) << log; // OffNote error!!! in two passes
    log = log.substr(log.find("Header"), log.find("\nWriting") - log.find("Header"));
    EXPECT_EQ(log, "Header format=1 ntrks=2 division=96  maxtime= 192\n"
                   " 0 Track start\n"
                   "Time=0  Tempo, microseconds-per-MIDI-quarter-note=500000\n"
                   "Time=0  Program, chan=1 program=0 mapped to 1\n"
                   "Time=1  Parameter, chan=3 c1=7 c2=100\n"
                   "Time=1  Meta event, sequencer-specific, type=0x7f leng=3\n"
                   "Time=1  Key signature, sharp/flats=-3  minor=1\n"
                   "Time=1  Time signature=6/8  MIDI-clocks/click=24  32nd-notes/24-MIDI-clocks=8\n"
                   "Time=1  Time signature=2/1  MIDI-clocks/click=24  32nd-notes/24-MIDI-clocks=8\n"
                   "Time=1  SMPTE, hour=1 minute=2 second=3 frame=4 fract-frame=5\n"
                   "Time=1  Meta Text, type=0x08 (Unrecognized)  leng=4\n"
                   "     Text = <a\\0x01\\0x7fb>\n"
                   "Time=1  Meta event, end of track\n"
                   " 0 Track end (TrackPolyphonie 0, Machine 0)\n\n"
                   " 1 Track start\n"
                   "Time=96   instr: 2Note on, chan=1 pitch=60 vol=100 :(0,16,0) poly: 1\n"
                   "Time=192  Note off, chan=1 pitch=60 vol=0\n"
                   "-->Time=192  Note on, chan=1 pitch=60 vol=0 :(0,32,0) poly: 0\n"
                   "Time=192  Note off, chan=2 pitch=64 vol=0\n"
                   "-->Time=192  \nOffNote error!!!\n"
                   "Note on, chan=2 pitch=64 vol=0 :(0,32,-1) poly: 0\n"
                   "Time=192  Meta event, end of track\n"
                   " 1 Track end (TrackPolyphonie 1, Machine 1)\n\n");
}

} // namespace
