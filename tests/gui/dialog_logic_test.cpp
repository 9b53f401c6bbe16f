// The dialog's rules, page by page, over a table of control values.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "gui/dialog_logic.h"

namespace {

struct FakeControls : DialogControls {
    std::string text(int id, size_t max_chars) override { return texts[id].substr(0, max_chars); }
    void set_text(int id, const std::string& t) override { texts[id] = t; }
    bool checked(int id) override { return checks[id]; }
    void set_checked(int id, bool on) override { checks[id] = on; }
    std::string selected_entry(int) override { return selected; }
    std::map<int, std::string> texts;
    std::map<int, bool> checks;
    std::string selected;
};

struct PagesTest : ::testing::Test {
    // Shows s, lets `edit` change the controls, and reads them back.
    Settings round_trip(Settings s, void (*edit)(FakeControls&) = nullptr)
    {
        c = FakeControls();
        pages_from_settings(s, c, d);
        if (edit) edit(c);
        Settings out = s;
        pages_to_settings(c, out, d);
        return out;
    }
    FakeControls c;
    DialogState d;
};

TEST_F(PagesTest, BasicsOutputNameFollowsTheWaveChoice)
{
    struct Case {
        const char* name;
        int now, last;
        const char* expected;
    } cases[] = {
        {"song.bmx", 1, 2, "song.bmw"},   {"song.bmw", 2, 1, "song.bmx"},  {"song", 1, 2, "song.bmw"},
        {"song", 2, 1, "song.bmx"},       {"song.bmw", -1, 1, "song.bmx"}, {"song.bmx", 2, -1, "song.bmx"},
        {"song.bmw", 1, 2, "song.bmw"},   {"SONG.BMX", 1, 0, "SONG.BMW"},  {"", 1, 2, ""},
        {"C:\\my.bmx\\tune", 1, 2, "C:\\my.bmx\\tune.bmw"},
    };
    for (const Case& k : cases)
        EXPECT_EQ(output_name_on_change(k.name, k.now, k.last), k.expected) << k.name << " " << k.now;
    EXPECT_EQ(output_name_on_init("a.bmw", 2), "a.bmx");
    EXPECT_EQ(output_name_on_init("a.bmx", 1), "a.bmw");
    EXPECT_EQ(output_name_on_init("a", 1), "a");
}

// An input chosen with Browse... names the output unless the user typed a name of their own; the
// extension follows the wave choice, and a name the program put there stays the program's.
TEST_F(PagesTest, BasicsOutputNameFollowsTheInput)
{
    Settings s;
    round_trip(s); // the box shows "kestrix.bmx", the program's name
    on_input_chosen(c, d, "C:\\mods\\song.it");
    EXPECT_EQ(c.texts[ctl::output_file], "C:\\mods\\song.bmx");
    c.checks[ctl::wave_bmx] = false;
    c.checks[ctl::wave_bmw] = true;
    on_wave_choice_changed(c, d);
    on_input_chosen(c, d, "Z:\\a.b\\tune");
    EXPECT_EQ(c.texts[ctl::output_file], "Z:\\a.b\\tune.bmw");
    on_input_chosen(c, d, "old.bmx"); // a Buzz song is only listed: the name stays
    EXPECT_EQ(c.texts[ctl::output_file], "Z:\\a.b\\tune.bmw");
    c.texts[ctl::output_file] = "mine.bmw";
    on_input_chosen(c, d, "other.xm");
    EXPECT_EQ(c.texts[ctl::output_file], "mine.bmw");
    c.texts[ctl::output_file] = "";
    on_input_chosen(c, d, "x.mid");
    EXPECT_EQ(c.texts[ctl::output_file], "x.bmw");
}

TEST_F(PagesTest, ReplaceQuestionsAndLogWindowPlace)
{
    Settings s;
    s.input_file = "a.xm";
    s.output_file = "a.bmx";
    s.merge_output = "m.bmx";
    auto all = [](const char*) { return true; };
    auto only_m = [](const char* n) { return std::string(n) == "m.bmx"; };
    EXPECT_EQ(files_a_job_replaces(s, JobMode::convert, all), std::vector<std::string>{"a.bmx"});
    EXPECT_EQ(files_a_job_replaces(s, JobMode::convert_then_merge, all), (std::vector<std::string>{"a.bmx", "m.bmx"}));
    EXPECT_EQ(files_a_job_replaces(s, JobMode::convert_then_merge, only_m), std::vector<std::string>{"m.bmx"});
    EXPECT_EQ(files_a_job_replaces(s, JobMode::merge, only_m), std::vector<std::string>{"m.bmx"});
    s.merge_output = "a.bmx";
    EXPECT_EQ(files_a_job_replaces(s, JobMode::convert_then_merge, all), std::vector<std::string>{"a.bmx"});
    s.input_file = "song.BMW"; // listed, nothing written
    EXPECT_TRUE(files_a_job_replaces(s, JobMode::convert, all).empty());
    EXPECT_EQ(replace_question("big.bmx"), "big.bmx exists. Replace it?");

    const ScreenRect screen{0, 0, 1024, 740}, dialog{75, 80, 500, 560};
    const struct {
        ScreenRect wanted, dialog;
        bool avoid;
        ScreenRect placed;
    } cases[] = {
        {{10, 10, 510, 410}, dialog, true, {504, 80, 1004, 480}},           // right of the dialog
        {{10, 10, 510, 410}, dialog, false, {10, 10, 510, 410}},           // where the user left it
        {{600, 100, 900, 300}, dialog, true, {600, 100, 900, 300}},        // covers nothing
        {{900, 700, 1400, 1100}, dialog, false, {524, 340, 1024, 740}},    // into the screen
        {{10, 10, 510, 410}, {500, 80, 925, 560}, true, {0, 80, 496, 480}},   // left, narrowed
        {{0, 0, 300, 200}, {0, 100, 1024, 400}, true, {0, 404, 300, 604}}, // below
        {{0, 0, 600, 300}, {100, 0, 724, 740}, true, {728, 0, 1024, 300}}, // the wider side
    };
    for (const auto& k : cases) {
        const ScreenRect r = place_log_window(k.wanted, k.dialog, screen, k.avoid);
        EXPECT_EQ(r, k.placed) << r.left << "," << r.top << " " << r.right << "," << r.bottom;
    }
}

TEST_F(PagesTest, BasicsWaveChoiceAndTarget)
{
    Settings s;
    s.dopfun = 3;
    s.dowave = Waves::bmx;
    s.output_file[0] = 0;
    Settings r = round_trip(s);
    EXPECT_TRUE(c.checks[153] && !c.checks[131]);
    EXPECT_EQ(std::tie(d.wave_choice, r.dopfun, r.dowave), std::make_tuple(-3, 3, Waves::none));

    // Values no button stands for check none; the next read gives 0.
    s = Settings();
    s.dowave = Waves(3);
    s.dotsplit = Split(5);
    r = round_trip(s);
    EXPECT_EQ(std::tie(r.dowave, r.dopfun, r.dotsplit), std::make_tuple(Waves::none, 0, Split::one_machine));

    s = Settings();
    s.dowave = Waves::none;
    round_trip(s);
    EXPECT_TRUE(c.checks[133]);
    s.dopfun = 9; // "Bass-3", the last button of the group
    EXPECT_EQ(round_trip(s).dopfun, 9);
    EXPECT_TRUE(c.checks[159]);

    s = Settings();
    s.dowave = Waves::bmw;
    r = round_trip(s);
    EXPECT_EQ(r.output_file, "kestrix.bmw"); // adjusted once at initialisation
    EXPECT_EQ(r.dowave, Waves::bmw);
}

TEST_F(PagesTest, NumberTexts)
{
    struct Case {
        const char* text;
        bool ok;
        int value;
    } cases[] = {{"24", true, 24}, {"24x", true, 24}, {" -7", true, -7}, {"x24", false, 5}, {"", false, 5}};
    for (const Case& k : cases) {
        int v = 5;
        EXPECT_EQ(scan_leading_int(k.text, v), k.ok) << k.text;
        EXPECT_EQ(v, k.value) << k.text;
    }
    float f = 2;
    EXPECT_TRUE(scan_leading_real("0.25x", f));
    EXPECT_EQ(f, 0.25f);
    EXPECT_FALSE(scan_leading_real("1e39", f)); // beyond a float
    EXPECT_FALSE(scan_leading_real("nan", f));
    EXPECT_EQ(f, 0.25f);

    struct Pair {
        const char* text;
        int first, second;
    } pairs[] = {{"-12,0", -12, 0}, {"5, 7", 5, 7}, {"-3", -3, 9}, {"4 ,2", 4, 9}, {"x,3", 8, 9}};
    for (const Pair& p : pairs) {
        int a = 8, b = 9;
        scan_int_pair(p.text, a, b);
        EXPECT_EQ(a, p.first) << p.text;
        EXPECT_EQ(b, p.second) << p.text;
    }
}

TEST_F(PagesTest, ExtendedAndMidiPages)
{
    Settings s;
    s.transpo = -5;
    s.midi_res = 1.5f;
    s.ptranspo = -24;
    s.drtranspo = 3;
    s.domidi_ext = 1;
    pages_from_settings(s, c, d);
    for (auto [id, text] : {std::pair{175, "-5"}, {233, "1.500"}, {239, "0.000"}, {246, "-24,3"}, {232, "16"}})
        EXPECT_EQ(c.texts[id], text) << id;
    EXPECT_TRUE(c.checks[171] && c.checks[237] && !c.checks[236]); // remove_2pat, extern conversion

    // "MIDI Instruments": extern conversion, else programs or channels.
    struct Instruments {
        int ext, change;
        bool programs, channels;
    } instruments[] = {{0, 0, false, true}, {0, 1, true, false}, {2, 1, false, false}};
    for (const Instruments& k : instruments) {
        Settings m;
        m.domidi_ext = k.ext;
        m.dopchange = k.change;
        round_trip(m);
        EXPECT_EQ(std::tie(c.checks[235], c.checks[236]), std::tie(k.programs, k.channels));
    }

    Settings r = round_trip(s, [](FakeControls& c) {
        c.texts[232] = "letters";     // midi_tpb keeps its value
        c.texts[234] = "1234567890";  // nine characters are read
        c.texts[190] = "30px";
        c.checks[189] = true;         // verbose
        c.checks[237] = false;
        c.checks[235] = true;         // use programs
    });
    EXPECT_EQ(std::tie(r.midi_tpb, r.blines, r.lwind_x, r.verbose, r.domidi_ext, r.dopchange, r.transpo, r.ptranspo),
              std::make_tuple(16, 123456789, 30, 1, 0, 1, -5, -24));
}

TEST_F(PagesTest, TransformPage)
{
    Settings s;
    s.blow_up = 4;
    s.song_repeat = 2; // the smallest count that is on
    s.tune_wave = 3;
    pages_from_settings(s, c, d);
    EXPECT_TRUE(c.checks[418] && c.checks[420]);
    EXPECT_EQ(std::tie(c.texts[419], c.texts[421]), std::make_tuple("4", "2"));
    s.song_repeat = 1;
    pages_from_settings(s, c, d);
    EXPECT_FALSE(c.checks[420]);
    EXPECT_EQ(std::tie(c.texts[421], c.texts[431]), std::make_tuple("1", "3"));

    Settings r = round_trip(s, [](FakeControls& c) {
        c.checks[418] = false;
        c.checks[420] = true;
        c.texts[421] = "6";
        c.checks[436] = true; // rip the wave of 431 too
        c.texts[431] = "2";
    });
    EXPECT_EQ(std::tie(r.blow_up, r.song_repeat, r.tune_wave, r.rip_wave), std::make_tuple(0, 6, 2, 2));

    // "converter output" also checks both second-input options; only "Inputfile II" lets the
    // second name be edited.
    c.checks[440] = c.checks[442] = false;
    c.checks[441] = true;
    s.do_mscale2 = s.do_mishift2 = 0;
    EXPECT_TRUE(on_convout_changed(c, s));
    EXPECT_EQ(s.use_convout, SecondSong::converted_song);
    EXPECT_TRUE(c.checks[448] && c.checks[449]);
    EXPECT_EQ(s.do_mscale2 + s.do_mishift2, 2);
    EXPECT_FALSE(merge_input2_editable(SecondSong::converted_song));
    EXPECT_TRUE(merge_input2_editable(SecondSong::merge_input2));
    s.merge_after = 1;
    EXPECT_EQ(convert_job_mode(s), JobMode::convert_then_merge);
}

TEST_F(PagesTest, MachinePage)
{
    Settings s;
    s.clone2 = 10;
    Settings r = round_trip(s, [](FakeControls& c) { c.selected = " 3: Tracker 2"; });
    EXPECT_TRUE(c.checks[559]);
    EXPECT_EQ(std::tie(r.clone2, r.clone_source), std::make_tuple(10, 3));
    r = round_trip(s, [](FakeControls& c) {
        c.checks[559] = false;
        c.checks[550] = true;
        c.texts[570] = "7";
    });
    EXPECT_EQ(std::tie(r.clone2, r.clone_wave), std::make_tuple(1, 7));
}

// Several inputs: the Input File box's list, a dropped set, the songs of a batch.
TEST_F(PagesTest, Batches)
{
    for (const auto& [box, names] : std::vector<std::pair<std::string, std::vector<std::string>>>{
             {"a.xm", {"a.xm"}}, {"", {}}, {"\"C:\\m\\a.xm\" \"b b.it\"", {"C:\\m\\a.xm", "b b.it"}}, {"\"a.xm\" \"b", {"a.xm", "b"}}}) {
        EXPECT_EQ(input_names(box), names) << box;
        if (!names.empty() && box.back() != 'b') {
            EXPECT_EQ(input_box_text(names), box);
        }
    }
    const auto folder = [](const std::string& p) { return p == "mods" || p == "out"; };
    const auto files = [](const std::string&) { return std::vector<std::string>{"mods/a.it", "mods/b.bmx", "mods/c.txt", "mods/d.MID"}; };
    EXPECT_EQ(dropped_inputs({"x.xm", "mods"}, folder, files), (std::vector<std::string>{"x.xm", "mods/a.it", "mods/d.MID"}));

    std::vector<BatchFile> out;
    std::string why;
    ASSERT_TRUE(batch_files({"m/a.xm", "b.it"}, "", 1, folder, out, why));
    EXPECT_EQ(out[0].output + " " + out[1].output, "m/a.bmw b.bmw"); // beside each module
    ASSERT_TRUE(batch_files({"m/a.xm", "b.it"}, "out", 2, folder, out, why));
    EXPECT_EQ(out[0].output + " " + out[1].output, "out\\a.bmx out\\b.bmx"); // into the folder named
    ASSERT_TRUE(batch_files({"m/a.xm"}, "new/", 2, folder, out, why));
    EXPECT_EQ(out[0].output, "new/a.bmx");
    EXPECT_FALSE(batch_files({"a.xm", "b.xm"}, "song.bmx", 2, folder, out, why));
    EXPECT_NE(why.find("\"song.bmx\" is no folder"), std::string::npos) << why;
    EXPECT_FALSE(batch_files({"m/a.xm", "a.it"}, "out", 2, folder, out, why));
    EXPECT_EQ(why, "out\\a.bmx would be the song of both m/a.xm and a.it");
    EXPECT_FALSE(batch_files({"a.xm", "s.bmx"}, "", 2, folder, out, why));
    EXPECT_EQ(batch_replace_question({"a.bmx"}), "1 of the songs exists: a.bmx. Replace them?");
    EXPECT_EQ(batch_replace_question({"1", "2", "3", "4", "5", "6"}), "6 of the songs exist: 1, 2, 3, 4, 5, .... Replace them?");
}

TEST_F(PagesTest, DirectoriesFromFileDialogs)
{
    EXPECT_EQ(xi_dir_from_choice("D:\\xi\\dummy"), "D:\\xi\\");
    EXPECT_EQ(xi_dir_from_choice("dummy"), "");
    EXPECT_EQ(browse_directory_from_choice("D:\\mods\\a.xm"), "D:\\mods");
    EXPECT_EQ(default_xi_dir("C:/work"), "C:\\work\\xi\\");
    EXPECT_EQ(default_xi_dir("C:\\"), "C:\\xi\\");
}

} // namespace
