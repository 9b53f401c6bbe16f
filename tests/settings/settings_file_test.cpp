// kestrix.ini: the saved text of the defaults, load/save round trips and the loader's rules.
#include "support/test_support.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <tuple>

#include "core/pool.h"
#include "platform/platform.h"
#include "settings/settings.h"

namespace {

class SettingsFile : public kxtest::WorkDirTest {
protected:
    void write_ini(const std::string& text) { std::ofstream("kestrix.ini", std::ios::binary) << text; }
    std::string saved()
    {
        EXPECT_TRUE(save_settings(settings));
        return kxtest::read_text("kestrix.ini");
    }
    // The 88 lines that saving the defaults must give, byte for byte.
    const std::string defaults = kxtest::read_text(kxtest::source_dir() / "tests/settings/default_kestrix.ini");
};

TEST_F(SettingsFile, SavingAndLoadingTheDefaults)
{
    settings.dotsplit = Split::one_machine;
    EXPECT_FALSE(load_settings(settings)); // no file: nothing changes
    EXPECT_EQ(settings.dotsplit, Split::one_machine);
    settings = Settings();
    ASSERT_FALSE(defaults.empty());
    EXPECT_EQ(saved(), defaults);
    settings.dotsplit = Split::one_machine;
    settings.ptranspo = 0;
    ASSERT_TRUE(load_settings(settings)); // every value comes back as saved
    EXPECT_EQ(saved(), defaults);
    std::filesystem::remove("kestrix.ini");
    std::filesystem::create_directory("kestrix.ini");
    EXPECT_FALSE(save_settings(settings)); // a file that cannot be created
}

// Every key of the file, each loaded with a value of its own, saves that value again (verbose
// below zero is kept as 1): a key that read or wrote another key's field would lose one.
TEST_F(SettingsFile, EveryKeyKeepsItsOwnValue)
{
    std::istringstream keys(defaults);
    std::string line, ini, want, got;
    for (int v = 101; std::getline(keys, line); ++v) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        ini += line.substr(0, eq + 1) + std::to_string(-v) + "\n";
        want += line.substr(0, eq + 1) + (line.starts_with("verbose") ? "1" : std::to_string(-v)) + "\n";
    }
    write_ini(ini);
    ASSERT_TRUE(load_settings(settings));
    std::istringstream back(saved());
    while (std::getline(back, line)) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos)
            got += line.substr(0, eq + 1) + std::to_string(std::strtol(&line[eq + 1], nullptr, 10)) + "\n";
    }
    EXPECT_EQ(got, want);
}

// A text runs to the end of its line: directories with blanks are saved as they are and come back
// whole, from files of any age (quoted ones too); blanks at its ends come back through quotes.
// A text the file cannot hold (a line break) is refused and the file stays as it was. xi_dir
// keeps a final separator of either kind, or gets one.
TEST_F(SettingsFile, Texts)
{
    settings.buzz_path = "C:\\Program Files\\Buzz\\";
    EXPECT_NE(saved().find("\nbuzz_path=C:\\Program Files\\Buzz\\\n"), std::string::npos);
    settings.buzz_path = " Buzz\\ ";
    settings.xi_dir = "\"xi\\\"";
    saved();
    settings.xi_dir = "xi\\\ndotsplit=0";
    std::string why;
    EXPECT_FALSE(save_settings(settings, &why));
    EXPECT_EQ(why, "xi_dir holds a line break, which kestrix.ini cannot hold");
    settings = Settings();
    ASSERT_TRUE(load_settings(settings));
    EXPECT_EQ(settings.buzz_path, " Buzz\\ ");
    EXPECT_EQ(settings.xi_dir, "\"xi\\\"" + std::string(1, platform::path_separator));
    EXPECT_EQ(settings.dotsplit, Split::by_track);

    write_ini("buzz_path=  \"C:\\Program Files\\\"  \r\nxi_dir=\"\"\n");
    ASSERT_TRUE(load_settings(settings));
    EXPECT_EQ(settings.buzz_path, "C:\\Program Files\\");
    EXPECT_EQ(settings.xi_dir, ""); // an empty quoted text empties the field

    for (const char* dir : {"C:\\Program\\Files\\", "xi/"}) {
        EXPECT_TRUE(settings_apply_line(settings, (std::string("xi_dir=") + dir).c_str()));
        EXPECT_EQ(settings.xi_dir, dir);
    }
    EXPECT_TRUE(settings_apply_line(settings, "xi_dir=instruments")); // shorter than what the field held
    EXPECT_FALSE(settings_apply_line(settings, "xi_dir=   "));        // no text: the field stays
    EXPECT_EQ(std::string(settings.xi_dir), std::string("instruments") + platform::path_separator);
}

// One line at a time, with the loader's rules. verbose above one or below zero becomes 1 and
// turns on the memory trace.
TEST_F(SettingsFile, KeyRules)
{
    struct Case {
        const char* line;
        bool ok;
        IntField field;
        int want;
    };
    for (const Case& c : {Case{"dotsplit= 2", true, int_field<&Settings::dotsplit>, 2}, // blanks after "="
                          Case{"dopfun =3", false, int_field<&Settings::dopfun>, 0},    // blank before "="
                          Case{" dowave=1", false, int_field<&Settings::dowave>, 2},    // indented
                          Case{"mtranspo=5", true, int_field<&Settings::transpo>, 0},
                          Case{"blines=32;comment", true, int_field<&Settings::blines>, 32},
                          Case{"blines=x", false, int_field<&Settings::blines>, 64},
                          Case{"clone2=99999999999", false, int_field<&Settings::clone2>, 0}, // not an int
                          Case{"nosuchkey=1", false, int_field<&Settings::dotsplit>, 1},
                          Case{"verbose=5", true, int_field<&Settings::verbose>, 1},
                          Case{"verbose=-1", true, int_field<&Settings::verbose>, 1}}) {
        SCOPED_TRACE(c.line);
        settings = Settings();
        EXPECT_EQ(settings_apply_line(settings, c.line), c.ok);
        EXPECT_EQ(c.field.get(settings), c.want);
        EXPECT_EQ(settings.mem_trace, c.field.get == int_field<&Settings::verbose>.get);
    }
    EXPECT_FALSE(settings_apply_line(settings, nullptr));
    EXPECT_FALSE(settings_apply_line(settings, "midi_scale=nan")); // reals must be finite floats
    EXPECT_FALSE(settings_apply_line(settings, "midi_shift=1e99"));
    EXPECT_TRUE(settings_apply_line(settings, "midi_res=  0.5"));
    EXPECT_EQ(settings.midi_res, 0.5f);
}

// Texts are kept whole up to what a kestrix.ini line holds (499 characters); a longer one is
// refused, never cut: on loading its field keeps its value, on saving nothing is written. The
// rest of an over-long line is not read as a line of its own; --set takes a text of any length.
TEST_F(SettingsFile, OverlongValuesAndLines)
{
    // The tail would start a 500th character: exactly where a reader that splits long lines
    // would begin a "line" of its own.
    std::string tail = std::string(499 - 9, ';') + "dotsplit=0";
    write_ini("buzz_path=" + std::string(489, 'b') + "\n"
              "xi_dir=" + std::string(493, 'd') + "\n" +        // one beyond: refused
              "midi_tpb=" + std::string(480, ' ') + "77\n" + // inside the 499 characters
              "blines=" + std::string(500, ' ') + "77\n" +   // beyond them: not seen
              "rip_es9=1" + tail + "\n"                      // the tail is skipped
              "clone2=3\n");
    std::vector<std::string> warnings;
    ASSERT_TRUE(load_settings(settings, warnings));
    EXPECT_EQ(settings.buzz_path, std::string(489, 'b'));
    EXPECT_EQ(settings.xi_dir, "");
    EXPECT_EQ(std::tie(settings.midi_tpb, settings.blines, settings.rip_es9, settings.dotsplit, settings.clone2),
              std::make_tuple(77, 64, 1, Split::by_track, 3));
    ASSERT_EQ(warnings.size(), 2u); // xi_dir, and blines' value that is not there
    EXPECT_EQ(warnings[0], "kestrix.ini line 2: xi_dir: a text longer than the 499 characters a kestrix.ini line "
                           "holds (kept as it was)");

    const std::string before = saved();
    settings.xi_dir = std::string(492, 'x');
    EXPECT_EQ(saved().size(), before.size() + 492);
    settings.xi_dir += 'x';
    std::string why;
    EXPECT_FALSE(save_settings(settings, &why));
    EXPECT_EQ(why, "xi_dir is 493 characters long; a kestrix.ini line holds 492 after \"xi_dir=\"");
    EXPECT_EQ(kxtest::read_text("kestrix.ini").size(), before.size() + 492);

    EXPECT_TRUE(settings_apply_line(settings, ("buzz_path=" + std::string(1000, 'x')).c_str()));
    EXPECT_EQ(settings.buzz_path, std::string(1000, 'x'));
}

} // namespace
