// Merge and transformation over songs built byte by byte: every section's rules, the machine and
// wave tools, refused overflows, and what a failed merge leaves behind. The output is read back
// with the program's own song reader, whose hooks note what the song holds.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "buzz/machines_ini.h"
#include "jobs/song_facts.h"
#include "core/byteio.h"
#include "core/pool.h"
#include "jobs/job_runner.h"
#include "settings/settings.h"
#include "transform/buzz_song_builder.h"
#include "transform/merge.h"

namespace fs = std::filesystem;
using namespace kxsong;

namespace {

// What the reader saw of a song.
struct Seen {
    std::vector<std::string> machines; // name:tracks
    std::vector<float> positions;      // x, y of each machine
    std::vector<unsigned> conns;       // source, destination of each connection
    std::vector<unsigned> waves;       // WAVT indexes, then WAVE indexes
    std::vector<uint32_t> rates;
    std::vector<unsigned> lines, sources;               // every pattern's line count; input sources
    std::map<std::string, std::vector<uint8_t>> rows;  // "machine kind track" -> its rows
    std::vector<uint32_t> header, sequences;           // song end, loop; per sequence machine, positions...
    std::vector<int> widths;                           // position width of each sequence
};
Seen* seen = nullptr;

Seen read_back(ReaderState& reader_state, const char* path)
{
    Seen s;
    seen = &s;
    ReaderHooks h;
    h.machine_position = [](void*, int, float* x, float* y) { seen->positions.insert(seen->positions.end(), {*x, *y}); };
    h.connection = [](void*, uint16_t* a, uint16_t* b, uint16_t*, uint16_t*) { seen->conns.insert(seen->conns.end(), {*a, *b}); return true; };
    h.wave_table_index = [](void*, int, uint16_t* i) { seen->waves.push_back(*i); };
    h.sample_rate = [](void*, int, int, uint32_t* r) { seen->rates.push_back(*r); };
    h.wave_begin = [](void*, int, uint16_t* i, uint8_t, uint32_t) { seen->waves.push_back(*i); };
    h.pattern_lines = [](void*, int, int, const char*, uint16_t* l) { seen->lines.push_back(*l); };
    h.input_source = [](void*, int, int, uint16_t* m) { seen->sources.push_back(*m); };
    h.row = [](void*, const RowPlace& at, uint8_t* b, int n) {
        auto& r = seen->rows[std::to_string(at.machine) + " " + std::to_string(at.kind) + " " + std::to_string(at.track)];
        r.insert(r.end(), b, b + n);
    };
    h.song_header = [](void*, uint32_t* e, uint32_t* ls, uint32_t* le) { seen->header = {*e, *ls, *le}; return true; };
    h.sequence_begin = [](void*, int, uint16_t* m, uint32_t*, int* w, int) {
        seen->sequences.push_back(*m);
        seen->widths.push_back(*w);
        return true;
    };
    h.sequence_event = [](void*, int, uint32_t* p, uint32_t*) { seen->sequences.push_back(*p); };
    reader_state.reset();
    reader_state.hooks = &h;
    reader_state.full_parse = 1;
    File f = open_file(path, "rb");
    EXPECT_TRUE(f && run_guarded(reader_state.log, [&] { read_buzz_song(reader_state, f.get(), 0); })) << path;
    const InputSummary& in = reader_state.input_summaries[0];
    for (int m = 0; in.machine_list && m < in.machines; ++m)
        s.machines.push_back(std::string(in.machine_list[m].name) + ":" + std::to_string(in.machine_list[m].tracks));
    reader_state.reset();
    return s;
}

// Buzz plays every machine of the song.
void expect_plays_whole(const Seen& s) { EXPECT_EQ(wiring_fault(s.machines, s.conns), ""); }

// Song A: Master (tempo 126), PrimiFun "P", Tracker "T" with 3 tracks; 64-line patterns; three
// waves with indexes 0, 5, 2; song end 16; a text of 10 characters. Further sections before MACH
// and after WAVE.
Bytes song_a(const Sections& before = {}, const Sections& after = {}, unsigned tempo = 126)
{
    Bytes master_rows, p_globals, p_track, t_globals;
    for (int r = 0; r < 64; ++r) {
        master_rows.le16(0xFFFF).le16(r == 0 ? 126 : 0xFFFF).u8(0xFF);
        p_globals.u8(0xFF).u8(0xFF);
        p_track.u8(r == 0 ? 0x41 : 0).u8(0xFF).u8(0xFF).u8(0xFF);
        t_globals.u8(r == 0 ? 6 : 0);
    }
    Bytes patt;
    patt.le16(1).le16(0).append(pattern("00", 64, {1, 2}, master_rows, {}));
    patt.le16(1).le16(1).append(pattern("00", 64, {}, p_globals, {p_track}));
    patt.le16(1).le16(3).append(pattern("00", 64, {}, t_globals, {tracker_rows(64, 0x41), tracker_rows(64, 0x52, 2), tracker_rows(64, 0)}));
    Bytes wavt = Bytes().le16(3);
    const unsigned index[] = {0, 5, 2};
    for (int w = 0; w < 3; ++w) {
        wavt.le16(index[w]).str("w.wav").u8(0).str("W").u8(0).le32(0).u8(0).u8(w == 0 ? 2 : 1);
        for (int l = 0; l < (w == 0 ? 2 : 1); ++l) wavt.le32(2).le32(0).le32(0).le32(w == 2 ? 22050 : 11025 + l).u8(0x41);
    }
    Bytes wave = Bytes().le16(3);
    for (int w = 0; w < 3; ++w) wave.le16(index[w]).u8(0).le32(w == 1 ? 5 : 4).fill(w == 1 ? 5 : 4, uint8_t(0xA0 + w));
    Sections s = {{"MACH", Bytes().le16(3).append(master(tempo)).append(primifun("P")).append(tracker("T", 3))},
                  {"CONN", Bytes().le16(2).le16(1).le16(0).le32(0x40004000).le16(2).le16(0).le32(0x40004000)},
                  {"WAVT", wavt}, {"PATT", patt},
                  {"SEQU", sequ(16, {sequence(0, {}), sequence(1, {0}), sequence(2, {0, 8})})},
                  {"BLAH", blah("0123456789")}, {"WAVE", wave}};
    s.insert(s.begin(), before.begin(), before.end());
    s.insert(s.end(), after.begin(), after.end());
    return kxsong::song(s);
}

// Song B: Master (tempo 140), Tracker "U", a Reverb fed by it, PrimiFun "Q"; 4-line patterns; one
// wave; song end 4; a text of 20 characters.
Bytes song_b(const Sections& before = {}, const Sections& after = {}, unsigned end = 4, unsigned loop_start = 0, unsigned loop_end = 4)
{
    Bytes patt;
    patt.le16(1).le16(0).append(pattern("m", 4, {2, 3}, Bytes().fill(20, 0xFF), {}));
    patt.le16(1).le16(1).append(pattern("u", 4, {}, Bytes().fill(4, 0), {tracker_rows(4, 0x30, 1)}));
    patt.le16(1).le16(0).append(pattern("r", 4, {1}, Bytes().fill(24, 0x22), {}));
    patt.le16(1).le16(1).append(pattern("q", 4, {}, Bytes().fill(8, 0xFF), {Bytes().fill(16, 0xFF)}));
    Bytes conn = Bytes().le16(3);
    for (unsigned c : {0x0201u, 0x0002u, 0x0003u}) conn.le16(c & 0xFF).le16(c >> 8).le32(0x40004000);
    Bytes seq = Bytes().le32(end).le32(loop_start).le32(loop_end).le16(3);
    seq.append(sequence(0, {0})).append(sequence(1, {0})).append(sequence(3, {2}));
    Sections s = {{"MACH", Bytes().le16(4).append(master(140)).append(tracker("U", 1)).append(reverb()).append(primifun("Q"))},
                  {"CONN", conn},
                  {"WAVT", Bytes().le16(1).le16(0).u8(0).u8(0).le32(0).u8(0).u8(1).le32(2).le32(0).le32(0).le32(8000).u8(0x41)},
                  {"PATT", patt},
                  {"SEQU", seq},
                  {"BLAH", blah("abcdefghijklmnopqrst")},
                  {"WAVE", Bytes().le16(1).le16(0).u8(0).le32(2).u8(1).u8(2)}};
    s.insert(s.begin(), before.begin(), before.end());
    s.insert(s.end(), after.begin(), after.end());
    return kxsong::song(s);
}

// The machines of songs A and B described as Buzz keeps them (PARA).
Bytes para_a()
{
    return para({para_entry("Master", "Master", 3, 0), para_entry("P", "PrimiFun", 2, 4), para_entry("T", "Jeskola Tracker", 1, 5)});
}
Bytes para_b()
{
    return para({para_entry("Master", "Master", 3, 0), para_entry("U", "Jeskola Tracker", 1, 5),
                 para_entry("Reverb", "Jeskola Reverb", 6, 0), para_entry("Q", "PrimiFun", 2, 4)});
}

// Song C: Master and Tracker "V", its waves compressed as Buzz saves them: wave 0 of two mono
// levels packed, wave 3 of a stereo level raw (format 0).
const std::vector<int16_t> c_levels = {100, -100, 2000, 0, 5, -32768, 32767, 1}, c_stereo = {1, 2, 3, 4, 5, 6, 7, 8};
Bytes c_packed(unsigned index)
{
    return packed_entry(index, pack_wave({{c_levels.begin(), c_levels.begin() + 5}, {c_levels.begin() + 5, c_levels.end()}}, false, 2, 12));
}
Bytes song_c(const std::vector<Bytes>& cwav = {c_packed(0), raw_entry(3, samples_le(c_stereo))},
             const std::vector<Bytes>& wavt = {wave_entry(0, {5, 3}), wave_entry(3, {4}, true)}, const Bytes& after = {})
{
    const Bytes patt = Bytes().le32(0).le16(1).le16(1).append(pattern("v", 4, {}, Bytes().fill(4, 6), {tracker_rows(4, 0x41, 4)}));
    return kxsong::song({{"MACH", Bytes().le16(2).append(master()).append(tracker("V", 1))},
                         {"CONN", Bytes().le16(1).le16(1).le16(0).le32(0x40004000)}, {"WAVT", listed(wavt)}, {"PATT", patt},
                         {"SEQU", sequ(4, {sequence(1, {0})})}, {"CWAV", listed(cwav).append(after)}});
}

class MergeTest : public kxtest::WorkDirTest {
protected:
    void SetUp() override
    {
        WorkDirTest::SetUp();
        reader_state.reset();
        settings.replace_files = 1; // the tests write out.bmx again and again
        kxtest::install_machines_ini();
        std::ofstream("machines.ini", std::ios::app) << "\"Guru\" 1 23 0 0 0 0 16 0 Guru\n";
        ASSERT_TRUE(load_machine_descriptions(machines, pool, log));
        song_a().write("a.bmx");
        song_b().write("b.bmx");
    }
    void TearDown() override
    {
        reader_state.reset();
        WorkDirTest::TearDown();
    }
    // "" when the merge passed, else its fatal message.
    std::string run_merge(const char* first, const char* second, const char* out = "out.bmx")
    {
        try {
            merge_songs(merge, first, second, out);
            return "";
        } catch (const JobAbort& e) {
            return e.what();
        }
    }
    kxtest::LogCapture captured{log};
};

TEST_F(MergeTest, AllOptionsOffKeepsEverySectionBehindANewHeader)
{
    ASSERT_EQ(run_merge("a.bmx", " b.bmx"), "");      // a name beginning with a blank is no input
    EXPECT_EQ(merge_is_merging(merge), 0);
    const auto out_bytes = kxtest::read_file("out.bmx");
    EXPECT_EQ(dword_le(out_bytes, 4), 7u);
    EXPECT_EQ(dword_le(out_bytes, 12), 380u); // MACH right behind the header of 31 entries
    EXPECT_EQ(sections_of(out_bytes), sections_of(kxtest::read_file("a.bmx")));
    EXPECT_NE(captured.text().find("\nTransformation finished"), std::string::npos);
    ASSERT_EQ(run_merge("out.bmx", nullptr, "again.bmx"), ""); // a song with the same layout: the same bytes
    EXPECT_TRUE(kxtest::read_file("again.bmx") == out_bytes);
}

// The later of the two songs' ends ends the merged song; a loop to the first song's end runs on
// to it, a loop inside the first song stays.
TEST_F(MergeTest, TheMergedSongEndsWhereTheLongerOneEnds)
{
    const struct {
        const char *first, *second;
        int blow, repeat;
        unsigned b_loop_start, b_loop_end;
        std::vector<uint32_t> header;
    } cases[] = {
        {"a.bmx", "b.bmx", 1, 1, 0, 4, {16, 0, 16}}, // the second song is shorter: as it was
        {"b.bmx", "a.bmx", 1, 1, 0, 4, {16, 0, 16}}, // A's 16 rows play to their end
        {"b.bmx", "a.bmx", 1, 1, 1, 2, {16, 1, 2}},  // B's loop inside B stays
        {"b.bmx", "a.bmx", 2, 3, 1, 4, {24, 6, 24}}, // B blown up and repeated is the longer one
        {"b.bmx", "a.bmx", 2, 1, 1, 4, {16, 2, 16}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.first) + " " + std::to_string(c.blow) + " " + std::to_string(c.b_loop_end));
        song_b({}, {}, 4, c.b_loop_start, c.b_loop_end).write("b.bmx");
        settings.blow_up = c.blow, settings.song_repeat = c.repeat;
        ASSERT_EQ(run_merge(c.first, c.second), "");
        EXPECT_EQ(read_back(reader_state, "out.bmx").header, c.header);
    }
    kxsong::song({{"MACH", Bytes().le16(1).append(master())}}).write("bare.bmx"); // no SEQU at all
    ASSERT_EQ(run_merge("bare.bmx", "a.bmx"), "");
    EXPECT_EQ(read_back(reader_state, "out.bmx").header, (std::vector<uint32_t>{16, 0, 16}));
}

TEST_F(MergeTest, TwoSongsBecomeOne)
{
    settings.do_mishift2 = 1;
    settings.do_mscale1 = settings.do_mscale2 = 1;
    ASSERT_EQ(run_merge("a.bmx", "b.bmx"), "");
    EXPECT_EQ(merge_is_merging(merge), 1);
    const Seen s = read_back(reader_state, "out.bmx");
    EXPECT_EQ(s.machines, (std::vector<std::string>{"Master:0", "P:1", "T:3", "U:1", "Reverb:0", "Q:1"}));
    EXPECT_EQ(s.positions[0], -0.5f); // (0 - 1) / 2
    EXPECT_EQ(s.positions[7], 0.5f);  // the second song's first machine: (0 + 1) / 2
    EXPECT_EQ(s.conns, (std::vector<unsigned>{1, 0, 2, 0, 3, 4, 4, 0, 5, 0})); // B's into A's master
    EXPECT_EQ(s.sources, (std::vector<unsigned>{1, 2, 4, 5, 3})); // A's master's inputs, the Reverb's
    EXPECT_EQ(s.waves, (std::vector<unsigned>{0, 5, 2, 6, 0, 5, 2, 6})); // B's wave behind bound 6
    EXPECT_EQ(s.rows.at("3 2 0")[1], 7);                                  // and its Tracker plays it
    EXPECT_EQ(s.header, (std::vector<uint32_t>{16, 0, 16}));
    EXPECT_EQ(s.sequences, (std::vector<uint32_t>{0, 1, 0, 2, 0, 8, 3, 0, 5, 2})); // B's master's gone
    EXPECT_EQ(sections_of(kxtest::read_file("out.bmx")).at("BLAH"),
              blah("0123456789\r\n" + std::string(40, '-') + "\r\nabcdefghijklmnopqrst").data);

    // A second song whose machines do not feed each other: its rows are read for the wave shift
    // alone, its positions scaled without the first song's.
    settings.do_mscale1 = 0;
    ASSERT_EQ(run_merge("b.bmx", "a.bmx"), "");
    const Seen t = read_back(reader_state, "out.bmx");
    EXPECT_EQ(t.rows.at("5 2 1")[1], 3); // wave 2 behind B's bound 1
    settings.do_mishift2 = settings.do_mscale2 = 0;
    ASSERT_EQ(run_merge("b.bmx", "a.bmx"), "");
    const Seen plain = read_back(reader_state, "out.bmx");
    EXPECT_EQ(std::vector<float>(t.positions.begin(), t.positions.begin() + 8),
              std::vector<float>(plain.positions.begin(), plain.positions.begin() + 8));
    for (size_t i = 8; i < t.positions.size(); ++i) EXPECT_EQ(t.positions[i], (plain.positions[i] + 1) / 2) << i;
}

// Every machine of a merged or cloned song plays: the second song's machines reach the output's
// master through their own connections, a clone is connected wherever its source is (through an
// effect too); each connection an input block that changes nothing in every pattern of its
// destination. No two machines share a name (as the readers compare names: their first 29
// characters, either case): the added ones take free names, in PARA too.
TEST_F(MergeTest, AddedMachinesAreWiredAndNamedOnce)
{
    song_a({{"PARA", para_a()}}).write("pa.bmx");
    kxsong::song({{"MACH", Bytes().le16(3).append(master()).append(primifun("ABCDEFGHIJKLMNOPQRSTUVWXYZ123456")).append(primifun("p"))},
                  {"CONN", Bytes().le16(2).le16(1).le16(0).le32(0x40004000).le16(2).le16(0).le32(0x40004000)}})
        .write("l.bmx");
    settings.clone_source = 1, settings.clone2 = role_primifun;
    ASSERT_EQ(run_merge("a.bmx", nullptr, "c.bmx"), ""); // A with "Clone PrimiFun", wired like P
    const struct {
        const char *first, *second;
        int blow, clone_source;
        std::vector<std::string> machines;
        std::vector<unsigned> conns, sources; // every pattern's input sources, machine by machine
        const char* added;                    // rows of an added input block, of `lines` lines
        size_t lines;
    } cases[] = {
        {"a.bmx", "a.bmx", 2, 0, {"Master:0", "P:1", "T:3", "P 2:1", "T 2:3"}, {1, 0, 2, 0, 3, 0, 4, 0}, {1, 2, 3, 4}, "0 0 2", 128},
        {"b.bmx", "a.bmx", 1, 1, {"Master:0", "U:1", "Reverb:0", "Q:1", "P:1", "T:3", "Clone PrimiFun:1"},
         {1, 2, 2, 0, 3, 0, 4, 0, 5, 0, 6, 2}, {2, 3, 4, 5, 1, 6}, "2 0 1", 4},
        {"c.bmx", "c.bmx", 1, 1, {"Master:0", "P:1", "T:3", "Clone PrimiFun:1", "P 2:1", "T 2:3", "Clone PrimiFun 2:1", "Clone PrimiFun 3:1"},
         {1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0}, {1, 2, 3, 4, 5, 6, 7}, "0 0 6", 64},
        {"a.bmx", "l.bmx", 1, 0, {"Master:0", "P:1", "T:3", "ABCDEFGHIJKLMNOPQRSTUVWXYZ123:1", "p 2:1"}, {1, 0, 2, 0, 3, 0, 4, 0}, {1, 2, 3, 4}, "0 0 2", 64},
        {"l.bmx", "l.bmx", 1, 0, {"Master:0", "ABCDEFGHIJKLMNOPQRSTUVWXYZ123:1", "p:1", "ABCDEFGHIJKLMNOPQRSTUVWXYZ1 2:1", "p 2:1"},
         {1, 0, 2, 0, 3, 0, 4, 0}, {}, nullptr, 0},
        {"pa.bmx", "pa.bmx", 1, 0, {"Master:0", "P:1", "T:3", "P 2:1", "T 2:3"}, {1, 0, 2, 0, 3, 0, 4, 0}, {1, 2, 3, 4}, "0 0 3", 64},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.first) + " " + c.second);
        settings.blow_up = c.blow, settings.clone_source = c.clone_source;
        ASSERT_EQ(run_merge(c.first, c.second), "");
        const Seen s = read_back(reader_state, "out.bmx");
        EXPECT_EQ(s.machines, c.machines);
        EXPECT_EQ(s.conns, c.conns);
        EXPECT_EQ(s.sources, c.sources);
        EXPECT_EQ(c.added ? s.rows.at(c.added) : std::vector<uint8_t>(), std::vector<uint8_t>(c.lines * 4, 0xFF));
        expect_plays_whole(s);
    }
    EXPECT_TRUE(captured.has("\nMachine P of pa.bmx renamed P 2, its name is taken"));
    EXPECT_TRUE(captured.has("\nThe clone is named Clone PrimiFun 3, Clone PrimiFun is taken"));
    const auto para = sections_of(kxtest::read_file("out.bmx")).at("PARA");
    Bytes renamed = para_entry("P", "PrimiFun", 2, 4); // its parameters are named after its old name
    renamed.data.insert(renamed.data.begin() + 1, {' ', '2'});
    EXPECT_NE(std::search(para.begin(), para.end(), renamed.data.begin(), renamed.data.end()), para.end());
    // A song whose machines machines.ini does not describe keeps its names, with a warning.
    kxsong::song({{"MACH", Bytes().le16(2).append(master()).append(machine("X", "Nobody", Bytes()))}}).write("x.bmx");
    ASSERT_EQ(run_merge("x.bmx", "a.bmx"), "");
    EXPECT_TRUE(captured.has("\nWarning: the names of the machines of x.bmx are not checked for clashes, Nobody is not in machines.ini!"));
}

TEST_F(MergeTest, BlowUpAndRepeat)
{
    settings.blow_up = 2;
    settings.song_repeat = 3;
    ASSERT_EQ(run_merge("a.bmx", nullptr), "");
    const Seen s = read_back(reader_state, "out.bmx");
    EXPECT_EQ(s.lines, (std::vector<unsigned>{128, 128, 128}));
    EXPECT_EQ(s.header, (std::vector<uint32_t>{96, 0, 96}));
    // Events at 0 (and 8) blown up, then two more plays a blown-up song end (32) apart.
    EXPECT_EQ(s.sequences, (std::vector<uint32_t>{0, 1, 0, 32, 64, 2, 0, 16, 32, 48, 64, 80}));
    const auto& master = s.rows.at("0 1 0");
    EXPECT_EQ(master[2] | master[3] << 8, 252);
    EXPECT_EQ(std::vector<uint8_t>(master.begin() + 5, master.begin() + 10), std::vector<uint8_t>(master.begin(), master.begin() + 5));
    const auto& p = s.rows.at("1 2 0"); // PrimiFun: odd rows are its empty rows
    EXPECT_EQ(std::vector<uint8_t>(p.begin(), p.begin() + 8), (std::vector<uint8_t>{0x41, 0xFF, 0xFF, 0xFF, 0, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(s.rows.at("0 0 1").size(), 128u * 4); // input pairs doubled
    const auto mach = sections_of(kxtest::read_file("out.bmx")).at("MACH");
    EXPECT_EQ(mach[26] | mach[27] << 8, 252); // the master's state
    // Only the master's tempo is blown up: song B's Reverb (six global bytes) keeps its state.
    song_b().write("b.bmx");
    const auto mach_b = sections_of(kxtest::read_file("b.bmx")).at("MACH");
    ASSERT_EQ(run_merge("b.bmx", nullptr), "");
    auto mach_out = sections_of(kxtest::read_file("out.bmx")).at("MACH");
    ASSERT_EQ(mach_out.size(), mach_b.size());
    EXPECT_EQ(mach_out[26] | mach_out[27] << 8, 280);
    mach_out[26] = mach_b[26], mach_out[27] = mach_b[27];
    EXPECT_TRUE(mach_out == mach_b);

    settings.blow_up = 1;
    ASSERT_EQ(run_merge("a.bmx", nullptr), ""); // repeat 3 alone: end 16 -> 48, events 0, 16, 32
    EXPECT_EQ(read_back(reader_state, "out.bmx").sequences, (std::vector<uint32_t>{0, 1, 0, 16, 32, 2, 0, 8, 16, 24, 32, 40}));
}

TEST_F(MergeTest, CloneAndTransposition)
{
    settings.clone_source = 2; // the Tracker with three tracks
    settings.clone2 = role_primifun;
    settings.clone_trans = 12;
    ASSERT_EQ(run_merge("a.bmx", nullptr), "");
    Seen s = read_back(reader_state, "out.bmx");
    EXPECT_EQ(s.machines.back(), "Clone PrimiFun:3");
    EXPECT_EQ(std::vector<float>(s.positions.end() - 2, s.positions.end()), (std::vector<float>{0.9f, -0.9f}));
    const auto& c = s.rows.at("3 2 1"); // row 1 has no note and no wave: PrimiFun's empty wave byte
    EXPECT_EQ(std::vector<uint8_t>(c.begin(), c.begin() + 8), (std::vector<uint8_t>{0x62, 1, 0xFF, 0xFF, 0, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(s.sequences, (std::vector<uint32_t>{0, 1, 0, 2, 0, 8, 3, 0, 8})); // the clone's after its source's

    settings.clone2 = 0; // only the source's notes move
    settings.mtranspo = 2;
    ASSERT_EQ(run_merge("a.bmx", nullptr), "");
    s = read_back(reader_state, "out.bmx");
    EXPECT_EQ(s.machines.size(), 3u);
    EXPECT_EQ(s.sequences.size(), 6u);
    EXPECT_EQ(s.rows.at("2 2 1")[0], 0x54);
    EXPECT_EQ(s.rows.at("1 2 0")[0], 0x41);
    settings.mtranspo = -120; // every note of the source below C-0: each one counted
    ASSERT_EQ(run_merge("a.bmx", nullptr), "");
    EXPECT_NE(captured.text().find("\nWarning: 64 notes transposed beyond C-0 to B-15 (the notes a Buzz note byte holds) play as C-0"),
              std::string::npos);
    settings.mtranspo = 0;

    settings.clone2 = role_tracker; // the Tracker plays the source's waves
    settings.clone_wave = 0;
    ASSERT_EQ(run_merge("a.bmx", nullptr), "");
    s = read_back(reader_state, "out.bmx");
    EXPECT_EQ(s.rows.at("3 2 1")[1], 2);
    EXPECT_EQ(s.rows.at("3 1 0")[0], 6); // Tracker to Tracker keeps the ticks per row

    settings.clone_source = 3;
    EXPECT_EQ(run_merge("a.bmx", nullptr), "No generator choosen, reselect source machine");
    kxsong::song(Sections{{"MACH", Bytes().le16(2).append(master()).append(reverb())}}).write("fx.bmx");
    settings.clone_source = 1;
    EXPECT_EQ(run_merge("fx.bmx", nullptr), "No generator choosen, reselect source machine");
}

TEST_F(MergeTest, WaveTuningAndRipping)
{
    struct Case { int rip, tune_wave, tune_level; std::string file; uint32_t rate; std::vector<uint32_t> rates; } cases[] = {
        {3, 0, 1, "kxrip03.wav", 22050, {11025, 11026, 11025, 22050}}, // the entry of index 2
        {6, 1, 2, "kxrip06.wav", 11025, {11025, 8000, 11025, 22050}},  // index 5: the second entry
        {1, 1, 1, "kxrip01.wav", 8000, {8000, 11026, 11025, 22050}},   // tuned before it is taken
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        settings.rip_wave = c.rip, settings.tune_wave = c.tune_wave, settings.tune_level = c.tune_level;
        settings.tune_rate = 8000;
        ASSERT_EQ(run_merge("a.bmx", nullptr), "");
        EXPECT_EQ(read_back(reader_state, "out.bmx").rates, c.rates);  // of the output's wave table
        const unsigned bytes = c.rip == 6 ? 5 : 4; // an odd count gets RIFF's pad byte
        Bytes wav = Bytes().str("RIFF").le32(36 + bytes + (bytes & 1)).str("WAVEfmt ").le32(16).le16(1).le16(1);
        wav.le32(c.rate).le32(2 * c.rate).le16(2).le16(16).str("data").le32(bytes);
        wav.fill(bytes, c.rip == 6 ? 0xA1 : c.rip == 3 ? 0xA2 : 0xA0).fill(bytes & 1, 0);
        EXPECT_EQ(kxtest::read_file(c.file), wav.data);
        fs::remove(c.file);
    }
    // A wave or level the song lacks, or a WAV name that is taken, fails the job before the song
    // is written: no copy that silently lacks what was asked for, no WAV.
    struct Failing { int rip, tune_wave, tune_level, replace, rate; const char* message; } failing[] = {
        {99, 0, 1, 1, 8000, "no wave 99 (the song has waves 1, 3, 6)"},
        {0, 9, 1, 1, 8000, "no wave 9 (the song has waves 1 to 3)"},
        {0, 2, 5, 1, 8000, "wave 2 has no level 5 (it has level 1)"},
        {6, 0, 1, 0, 8000, "Can't write kxrip06.wav: exists; -y (--force) replaces it"},
        // A rate whose byte rate would wrap the WAV header's dword.
        {1, 1, 1, 1, -1, "wave 1's sample rate 4294967295 is more than a WAV file holds"},
    };
    std::ofstream("kxrip06.wav") << "mine";
    for (const Failing& c : failing) {
        SCOPED_TRACE(c.message);
        settings.rip_wave = c.rip, settings.tune_wave = c.tune_wave, settings.tune_level = c.tune_level;
        settings.replace_files = c.replace, settings.tune_rate = c.rate;
        EXPECT_EQ(run_merge("a.bmx", nullptr, "t.bmx"), c.message);
        EXPECT_FALSE(fs::exists("t.bmx"));
    }
    EXPECT_EQ(kxtest::read_text("kxrip06.wav"), "mine");
}

// Compressed waves (both formats) through merges, rips, tuning and the listing: the first song's
// entries byte for byte, the second song's with their indexes shifted, raw waves joining them as
// format-0 entries; a ripped wave decoded; tuning changes the wave table only.
TEST_F(MergeTest, CompressedWavesMergedRippedAndTuned)
{
    song_c().write("c.bmx");
    const auto c_cwav = sections_of(kxtest::read_file("c.bmx")).at("CWAV");
    const Bytes c_shifted = Bytes().append(c_packed(4)).append(raw_entry(7, samples_le(c_stereo)));
    const std::pair<const char*, Bytes> cases[] = {
        {"c.bmx", Bytes().le16(4).append(Bytes{{c_cwav.begin() + 2, c_cwav.end()}}).append(c_shifted)},
        {"b.bmx", Bytes().le16(3).append(raw_entry(0, Bytes().u8(1).u8(2))).append(c_packed(1)).append(raw_entry(4, samples_le(c_stereo)))},
    };
    for (const auto& [first, cwav] : cases) {
        ASSERT_EQ(run_merge(first, "c.bmx"), "");
        const auto out = kxtest::read_file("out.bmx");
        EXPECT_EQ(sections_of(out).at("CWAV"), cwav.data) << first;
        EXPECT_EQ(directory_of(out).back(), "CWAV");
        EXPECT_TRUE(sections_of(out).at("WAVE").size() <= 2) << first; // no waves left there
        expect_plays_whole(read_back(reader_state, "out.bmx"));
    }
    const std::string listed = facts_summary("c.bmx", gather_song_facts(settings, "c.bmx"));
    EXPECT_NE(listed.find("    1  W                        24 bytes, compressed (16 raw)\n    4  W                        16 bytes, raw\n"), std::string::npos) << listed;

    // Ripped decoded, from either format, a stereo wave into a stereo WAV; tuned in the table alone.
    const struct {
        int rip, tune_wave;
        const char* wav;
        std::vector<int16_t> data;
        unsigned channels, rate;
    } tools[] = {{1, 0, "kxrip01.wav", c_levels, 1, 22050}, {4, 2, "kxrip04.wav", c_stereo, 2, 8000}};
    for (const auto& t : tools) {
        settings.rip_wave = t.rip, settings.tune_wave = t.tune_wave, settings.tune_level = 1, settings.tune_rate = 8000;
        ASSERT_EQ(run_merge("c.bmx", nullptr), "");
        const auto wav = kxtest::read_file(t.wav);
        EXPECT_EQ(std::vector<uint8_t>(wav.begin() + 44, wav.end()), samples_le(t.data).data);
        EXPECT_EQ(std::vector<uint8_t>(wav.begin() + 22, wav.begin() + 34),
                  Bytes().le16(t.channels).le32(t.rate).le32(t.rate * 2 * t.channels).le16(2 * t.channels).data);
        EXPECT_EQ(sections_of(kxtest::read_file("out.bmx")).at("CWAV"), c_cwav);
    }
    EXPECT_EQ(read_back(reader_state, "out.bmx").rates, (std::vector<uint32_t>{22050, 22050, 8000}));
}

// Compressed waves decoded, as a rip reads them: frames worked out by hand for each method, mono
// and stereo; streams packed by the tests' encoder (16-bit wrap, shifts, two levels, two waves);
// entries that end early or late, or that cannot be decoded, refused with one line.
TEST_F(MergeTest, CompressedWavesDecoded)
{
    struct Case { std::vector<Bytes> wavt, cwav; int rip; std::vector<int16_t> samples; std::string message; Bytes after = {}; };
    std::vector<Case> cases = {
        // Blocks of 2: method 1 (v 3, -2), width 2; method 2 (v 1), width 0, with a carried over.
        {{wave_entry(0, {3})}, {packed_entry(0, Bytes{{0x03, 0x12, 0xBD, 0x40}})}, 1, {3, 1, 0}, ""},
        // Method 3, width 1: v 1, 1 give b 1, 2, a 1, 3, result 1, 4.
        {{wave_entry(0, {2})}, {packed_entry(0, Bytes{{0x03, 0x0E, 0x12}})}, 1, {1, 4}, ""},
        // Stereo, result shift 2, "sum": left v 1 (sample 4), right v -1 plus the left result 1; and without "sum".
        {{wave_entry(0, {1}, true)}, {packed_entry(0, Bytes{{0x41, 0x02, 0x04, 0x04}})}, 1, {4, 0}, ""},
        {{wave_entry(0, {1}, true)}, {packed_entry(0, Bytes{{0x41, 0x00, 0x04, 0x04}})}, 1, {4, -4}, ""},
    };
    const std::vector<int16_t> mono = {0, 7, -7, 32767, -32768, 30000, -30000, 12, 12, 0, -1};
    std::vector<int16_t> stereo, shifted;
    for (int16_t s : mono) stereo.insert(stereo.end(), {s, int16_t(s / 3 * 2)}), shifted.push_back(int16_t(s & ~7));
    for (int method = 0; method < 4; ++method) {
        const uint32_t n = uint32_t(mono.size());
        cases.push_back({{wave_entry(0, {n})}, {packed_entry(0, pack_wave({mono}, false, method, 3))}, 1, mono, ""}); // last block of 3
        cases.push_back({{wave_entry(0, {n}, true)}, {packed_entry(0, pack_wave({stereo}, true, method, 15, 0))}, 1, stereo, ""});
        cases.push_back({{wave_entry(0, {n}, true)}, {packed_entry(0, pack_wave({stereo}, true, method, 6, 15, 0, true))}, 1, stereo, ""});
        cases.push_back({{wave_entry(0, {n})}, {packed_entry(0, pack_wave({shifted}, false, method, 0, 3, 3))}, 1, shifted, ""});
    }
    // Two levels in one stream, and two waves: the second begins at the next whole byte.
    const std::vector<int16_t> a = {1, 2, 3}, b = {-5, 5, -5, 5, 9};
    const std::vector<Bytes> two = {packed_entry(4, pack_wave({a, b}, false, 1, 2)), raw_entry(9, samples_le({6, 6})), packed_entry(2, pack_wave({b}, false, 3, 4))};
    const std::vector<Bytes> table = {wave_entry(2, {5}), wave_entry(4, {3, 5})};
    cases.push_back({table, two, 5, {1, 2, 3, -5, 5, -5, 5, 9}, ""});
    cases.push_back({table, two, 3, b, ""});
    const Bytes packed = packed_entry(0, pack_wave({{1, 2, 3, 4, 5}}, false, 2, 1));
    const std::string unreadable = "CWAV section unreadable: ";
    const std::vector<Bytes> five = {wave_entry(0, {5})};
    cases.push_back({five, {Bytes{{packed.data.begin(), packed.data.end() - 1}}}, 1, {}, unreadable + "wave 0 runs past the section's end!!"});
    cases.push_back({five, {packed}, 1, {}, unreadable + "its waves end before the section does (1 bytes left)!!", Bytes().u8(0)});
    cases.push_back({five, {packed_entry(3, Bytes().u8(0))}, 1, {}, unreadable + "wave 3 is not in the wave table!!"});
    cases.push_back({five, {Bytes().le16(0).u8(2)}, 1, {}, unreadable + "wave 0 has the unknown format 2!!"});
    cases.push_back({five, {packed_entry(0, Bytes().u8(0x04))}, 1, {}, unreadable + "wave 0 is packed by unknown method 2!!"});
    cases.push_back({{wave_entry(0, {1 << 28})}, {packed}, 1, {}, unreadable + "wave 0 runs past the section's end!!"}); // not decoded
    for (const Case& c : cases) {
        song_c(c.cwav, c.wavt, c.after).write("w.bmx");
        settings.rip_wave = c.rip;
        ASSERT_EQ(run_merge("w.bmx", nullptr), c.message) << c.samples.size();
        if (!c.message.empty()) continue;
        const auto wav = kxtest::read_file("kxrip0" + std::to_string(c.rip) + ".wav");
        EXPECT_EQ(std::vector<uint8_t>(wav.begin() + 44, wav.end()), samples_le(c.samples).data) << c.samples.size();
    }
}

// Values that outgrow their fields: a tempo or a line count is refused; sequence positions get
// wider ones (the sequence's own and its clone's), the other sequences keep theirs.
TEST_F(MergeTest, ValuesThatOutgrowTheirFields)
{
    settings.clone_source = 2;
    settings.clone2 = role_primifun;
    const struct {
        unsigned tempo;
        int blow, repeat;
        std::string message;
        std::vector<int> widths;         // of the master's (no events), P's, T's and the clone's sequences
        std::vector<uint32_t> sequences; // per sequence its machine, then its positions
    } cases[] = {
        {126, 600, 1, "Tempo 126 times 600 is more than 65535, use a smaller blow-up factor!!", {}, {}},
        {50, 1100, 1, "Pattern 00 of 64 lines blown up 1100 times has more than 65535 lines!!", {}, {}},
        {126, 1, 1, "", {0, 1, 1, 1}, {0, 1, 0, 2, 0, 8, 3, 0, 8}},
        {126, 520, 1, "", {0, 1, 2, 2}, {0, 1, 0, 2, 0, 4160, 3, 0, 4160}},
        {126, 2, 9, "", {0, 2, 2, 2}, {}}, // the last play's events at 256 and 272
        {126, 100, 50, "", {0, 4, 4, 4}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.blow) + "x" + std::to_string(c.repeat));
        song_a({}, {}, c.tempo).write("a.bmx");
        settings.blow_up = c.blow, settings.song_repeat = c.repeat;
        ASSERT_EQ(run_merge("a.bmx", nullptr), c.message);
        if (!c.message.empty()) continue;
        const Seen s = read_back(reader_state, "out.bmx");
        EXPECT_EQ(s.widths, c.widths);
        if (!c.sequences.empty()) {
            EXPECT_EQ(s.sequences, c.sequences);
        }
    }
    EXPECT_EQ(read_back(reader_state, "out.bmx").sequences.back(), 8u * 100 + 49 * 1600); // read back from 4 bytes
}

// Sections beyond the seven: a transformation keeps every one byte for byte in its place; a merge
// or a clone keeps the first song's that stay true, adds the new machines' parameter descriptions,
// and says which sections it leaves out.
TEST_F(MergeTest, SectionsBeyondTheSeven)
{
    const Bytes bver = Bytes().str("Buzz 1.2 BETA").u8(0), midi_a = Bytes().str("T").u8(0).u8(0).u8(0).u8(1).u8(0).u8(7).u8(0);
    const Bytes pdlg_a = Bytes().u8(1).str("P").u8(0).le32(10).le32(20).le32(300).le32(400).u8(0);
    const Bytes cwav_a = Bytes().le16(1).append(packed_entry(5, pack_wave({{1, 2}}, false, 1, 2)));
    const Sections before = {{"BVER", bver}, {"PARA", para_a()}};
    const Sections after = {{"PDLG", pdlg_a}, {"MIDI", midi_a}, {"CWAV", cwav_a}, {"XTRA", Bytes().fill(5, 9)}};
    song_a(before, after).write("a.bmx");
    const auto in = sections_of(kxtest::read_file("a.bmx"));
    const std::vector<std::string> all = {"BVER", "PARA", "MACH", "CONN", "WAVT", "PATT", "SEQU", "BLAH", "WAVE",
                                          "PDLG", "MIDI", "CWAV", "XTRA"};
    for (int variant = 0; variant < 3; ++variant) {
        SCOPED_TRACE(variant);
        settings = Settings();
        settings.replace_files = 1;
        if (variant == 1) settings.blow_up = 2, settings.song_repeat = 3, settings.tune_wave = 1;
        if (variant == 2) settings.clone_source = 1, settings.mtranspo = 5, settings.do_mscale1 = 1; // no clone
        ASSERT_EQ(run_merge("a.bmx", nullptr), "");
        const auto out_bytes = kxtest::read_file("out.bmx");
        EXPECT_EQ(directory_of(out_bytes), all);
        auto out = sections_of(out_bytes);
        for (const char* name : {"BVER", "PARA", "PDLG", "MIDI", "CWAV", "XTRA"}) EXPECT_EQ(out.at(name), in.at(name)) << name;
    }
    EXPECT_EQ(captured.text().find("Warning: section"), std::string::npos);

    // Merged with B (empty window and MIDI lists, no compressed waves) and a PrimiFun clone of P.
    settings = Settings();
    settings.replace_files = 1;
    settings.clone_source = 1;
    settings.clone2 = role_primifun;
    song_b({{"PARA", para_b()}, {"BVER", Bytes().str("other").u8(0)}},
           {{"PDLG", Bytes().u8(1).u8(0)}, {"MIDI", Bytes().u8(0)}, {"CWAV", Bytes().le16(0)}})
        .write("b.bmx");
    ASSERT_EQ(run_merge("a.bmx", "b.bmx"), "");
    auto out = sections_of(kxtest::read_file("out.bmx"));
    EXPECT_EQ(directory_of(kxtest::read_file("out.bmx")),
              (std::vector<std::string>{"BVER", "PARA", "MACH", "CONN", "WAVT", "PATT", "SEQU", "BLAH", "WAVE", "PDLG",
                                        "MIDI", "CWAV"}));
    Bytes clone_entry = para_entry("P", "PrimiFun", 2, 4);
    clone_entry.data.erase(clone_entry.data.begin(), clone_entry.data.begin() + 2); // "P" and its end
    const std::vector<uint8_t> pa = para_a().data, pb = para_b().data;
    Bytes want = Bytes().le32(7).append(Bytes{std::vector<uint8_t>(pa.begin() + 4, pa.end())});
    want.append(Bytes{std::vector<uint8_t>(pb.begin() + 4 + long(para_entry("Master", "Master", 3, 0).size()), pb.end())});
    want.str("Clone PrimiFun").u8(0).append(clone_entry);
    EXPECT_TRUE(out.at("PARA") == want.data);
    for (const char* name : {"BVER", "PDLG", "MIDI"}) EXPECT_EQ(out.at(name), in.at(name)) << name;
    // A's waves are compressed: B's wave goes there too, behind A's raw ones, and WAVE holds none.
    const auto& wave_a = in.at("WAVE");
    Bytes cwav = Bytes().le16(5).append(Bytes{std::vector<uint8_t>(cwav_a.data.begin() + 2, cwav_a.data.end())});
    cwav.append(Bytes{std::vector<uint8_t>(wave_a.begin() + 2, wave_a.end())}).le16(6).u8(0).le32(2).u8(1).u8(2);
    EXPECT_EQ(out.at("CWAV"), cwav.data);
    EXPECT_EQ(out.at("WAVE"), Bytes().le16(0).data);
    EXPECT_NE(captured.text().find("\nWarning: section XTRA of a.bmx is left out, it may not hold for the added machines!"),
              std::string::npos);
    EXPECT_EQ(captured.text().find("of b.bmx is left out"), std::string::npos); // nothing of B's is lost

    // What cannot be made true for the new song is left out with a warning; compressed waves that
    // cannot be read are refused before anything is written.
    const struct {
        Sections b_before, b_after;
        int clone2;
        std::string result, warning;
    } cases[] = {
        {{}, {}, 0, "", "\nWarning: section PARA of a.bmx is left out, the second song has no parameter descriptions of its machines!"},
        {{{"PARA", para_b()}}, {}, role_organ, "",
         "\nWarning: section PARA of a.bmx is left out, neither song has a machine of the clone's kind to describe it!"},
        {{{"PARA", para_b()}}, {{"PDLG", pdlg_a}, {"MIDI", midi_a}}, 0, "", "\nWarning: section MIDI of b.bmx is left out, it cannot be merged!"},
        {{{"PARA", para_b()}}, {{"CWAV", cwav_a}}, 0, "CWAV section unreadable: wave 5 is not in the wave table!!", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.warning + c.result);
        fs::remove("out.bmx");
        settings.clone2 = c.clone2;
        song_b(c.b_before, c.b_after).write("b.bmx");
        EXPECT_EQ(run_merge("a.bmx", "b.bmx"), c.result);
        EXPECT_NE(captured.text().find(c.warning), std::string::npos);
        EXPECT_EQ(fs::exists("out.bmx"), c.result.empty());
    }
    EXPECT_NE(captured.text().find("\nWarning: section PDLG of b.bmx is left out, it cannot be merged!"), std::string::npos);
    song_a().write("plain.bmx");
    song_b({{"PARA", para_b()}}).write("b.bmx");
    ASSERT_EQ(run_merge("plain.bmx", "b.bmx"), ""); // the second song's PARA, with none in the first
    EXPECT_NE(captured.text().find("\nWarning: section PARA of b.bmx is left out, the first song has no parameter descriptions"),
              std::string::npos);
    EXPECT_EQ(sections_of(kxtest::read_file("out.bmx")).count("PARA"), 0u);
}

TEST_F(MergeTest, Es9DataRippedForItsCloneAndAMasterOnlySong)
{
    const Bytes es9 = machine("E", "Jeskola ES-9", Bytes().fill(4, 0x80), 1, Bytes().fill(4, 0), Bytes().str("DATA5"));
    const Bytes patt = pattern("e", 1, {}, Bytes().fill(4, 0xFF), {Bytes().u8(0x41).fill(3, 0xFF)});
    kxsong::song({{"MACH", Bytes().le16(2).append(master()).append(es9)}, {"PATT", Bytes().le32(0).le16(1).le16(1).append(patt)}})
        .write("e.bmx");
    kxsong::song({{"MACH", Bytes().le16(1).append(master())}}).write("empty.bmx");
    settings.clone_source = 1;
    settings.clone2 = role_es9;
    settings.rip_es9 = 1;
    ASSERT_EQ(run_merge("e.bmx", "empty.bmx"), ""); // the second song has nothing but its master
    EXPECT_EQ(kxtest::read_text("es-9.dat"), "DATA5");
    const auto mach = sections_of(kxtest::read_file("out.bmx")).at("MACH");
    const std::string text(mach.begin(), mach.end());
    EXPECT_EQ(mach[0], 3);
    EXPECT_NE(text.find("Clone ES-9"), std::string::npos);
    EXPECT_NE(text.find("DATA5", text.find("DATA5") + 1), std::string::npos); // the clone carries it
    // An existing es-9.dat is replaced only with replace_files: else the merge fails, writes nothing.
    std::ofstream("es-9.dat") << "mine";
    settings.replace_files = 0;
    EXPECT_EQ(run_merge("e.bmx", nullptr, "other.bmx"), "Can't write es-9.dat: exists; -y (--force) replaces it");
    EXPECT_EQ(kxtest::read_text("es-9.dat"), "mine");
    EXPECT_FALSE(fs::exists("other.bmx"));
}

// Real songs hold machines with more than 20 bytes per row and large data blocks.
TEST_F(MergeTest, MachinesWithLargeStateAreRead)
{
    const Bytes guru = machine("Guru 2", "Guru", Bytes().fill(23, 3), 0, {}, Bytes().fill(3000, 9));
    Bytes patt = Bytes().le16(0).le16(0).le16(1).le16(0).append(pattern("g", 2, {}, Bytes().fill(46, 4), {}));
    kxsong::song({{"MACH", Bytes().le16(2).append(master()).append(guru)}, {"CONN", Bytes().le16(1).le32(1).le32(0x40004000)},
          {"PATT", patt}, {"SEQU", sequ(2, {})}}).write("real.bmx");
    settings.blow_up = 3;
    ASSERT_EQ(run_merge("real.bmx", "real.bmx"), "");
    EXPECT_TRUE(captured.text().find("\nWarning: machine Guru 2 holds 3000 bytes of data (more than 2000)!") != std::string::npos);
    const Seen s = read_back(reader_state, "out.bmx");
    EXPECT_EQ(s.lines, (std::vector<unsigned>{6, 2}));
    std::vector<uint8_t> rows;
    for (int r = 0; r < 6; ++r) rows.insert(rows.end(), 23, r % 3 ? 0 : 4);
    EXPECT_EQ(s.rows.at("1 1 0"), rows); // each row, then two empty rows (the description has none: 0s)
}

// A merge that fails leaves no output, keeps an existing song of the output's name (an input
// too) and removes its scratch files.
TEST_F(MergeTest, FailedMergesLeaveNothingBehind)
{
    const Bytes a = song_a();
    settings.clone_source = 2;
    settings.clone2 = role_primifun;
    settings.rip_wave = 1;
    for (size_t cut : {size_t(20), size_t(200), a.size() / 2, a.size() - 3}) {
        Bytes c = a;
        c.data.resize(cut);
        c.write("cut.bmx");
        EXPECT_NE(run_merge("a.bmx", "cut.bmx", "b.bmx"), "") << cut;
        EXPECT_NE(run_merge("cut.bmx", "a.bmx", "b.bmx"), "") << cut;
    }
    EXPECT_NE(run_merge("a.bmx", "missing.bmx", "b.bmx"), "");
    EXPECT_TRUE(kxtest::read_file("b.bmx") == song_b().data);
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(".")) left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"a.bmx", "b.bmx", "cut.bmx", "machines.ini"}));

    settings.clone_source = settings.rip_wave = 0;
    ASSERT_EQ(run_merge("a.bmx", "a.bmx", "a.bmx"), ""); // into itself
    EXPECT_EQ(read_back(reader_state, "a.bmx").machines.size(), 5u);
}

} // namespace
