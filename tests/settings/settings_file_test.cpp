// kestrix.ini: the saved text of the defaults, load/save round trips and the loader's rules.
#include "support/test_support.h"

#include <fstream>
#include <string>

#include "core/pool.h"
#include "platform/platform.h"
#include "settings/settings.h"

namespace {

// The 86 lines that saving the defaults must give, byte for byte.
const char* const default_ini =
        ";Basic options:  (cl: corresponding commandline option for non-GUI version)\n"
        ";splitting to several machines; 0:none  (cl: -s) 1: by track (cl: +s) 2: by instrument (cl: +S)\n"
        "dotsplit= 1  \n"
        ";target machine; 0:tracker (cl: -p) 1: PrimiFun (cl +p) >1: look into machines.ini (cl: +p...) \n"
        "dopfun= 0    \n"
        ";Wave handling; 0:none (cl: -w) 1: try to make BMW (cl: +w) 2: BMX with waves (cl: +W)\n"
        "dowave= 2    \n"
        ";MIDI Device for vMidiOut\n"
        "midi_device=0                 \n"
        "\n"
        ";Extended options:\n"
        ";transpose the whole song (cl: +/-nn)\n"
        "transpo=  0   \n"
        ";remove duplicate patterns\n"
        "remove_2pat= 1  ;       --\n"
        ";shorten song length by one\n"
        "dosminus= 0  ;       --\n"
        ";convert XI/XM envelopes\n"
        "do_envs= 0    \n"
        "do_0loops= 0  \n"
        "do_0track= 0  \n"
        "do_lnvol= 0  \n"
        ";use mod2xm not only for S3M, but also for MOD\n"
        "domod_ext= 0          \n"
        ";amount of information output, only useful for DOS (cl:+l,+L)\n"
        "dolist= 0    ;       l\n"
        "verbose= 0   ;       v\n"
        ";coordinates of output window\n"
        "lwind_x=10   \n"
        "lwind_y=10   \n"
        "lwind_dx=500   \n"
        "lwind_dy=400   \n"
        ";directory of buzz.exe (with final \\)\n"
        "buzz_path=..\\\n"
        "\n"
        ";MIDI options:\n"
        ";MIDI Ticks per beat\n"
        "midi_tpb=16                 \n"
        ";MIDI resolution   (cl: +m...)\n"
        "midi_res=1.000000                 \n"
        ";MIDI time scaling (cl: +x*...)\n"
        "midi_scale=1.000000               \n"
        ";MIDI time shift (in BUZZ rows) (cl: +x+...)\n"
        "midi_shift=0.000000               \n"
        ";number of lines/pattern\n"
        "blines=64               \n"
        ";start time/patterns with first note event\n"
        "do_firstnote0= 0       \n"
        ";use note-delay command (for better timing, but not for note-off :(\n"
        "use_notedels= 0        \n"
        ";use EasyXMid as extern converter (no samples!) (cl: -m)\n"
        "domidi_ext= 0          \n"
        ";0: use one sample for every channel (cl:+m) or 1: every MIDI patch (cl:+M)\n"
        "dopchange= 0           \n"
        ";0: drums are gmp_81.xi...gmp_ff.xi  1: use single multi-sampled drumset gmp_00.xi \n"
        "drkit= 0  \n"
        ";0: drums use C-4 +transp+drtranspo  1:pitch+...  \n"
        "drfollow= 0  \n"
        "ptranspo=-12  \n"
        "drtranspo=  0  \n"
        ";remove loop-flag from drum-patches\n"
        "drloopno= 1  \n"
        ";Directory for/with XI-instruments\n"
        "xi_dir=\n"
        "\n"
        ";Merging/Transformation options:\n"
        ";position scaling for first and second input\n"
        "do_mscale1= 0  \n"
        "do_mscale2= 0  \n"
        ";shift wave instruments for second file\n"
        "do_mishift2= 0 \n"
        ";0: use second input 1: converter output 2: no second file\n"
        "use_convout= 2 \n"
        ";start merge inmediatedly after conversion\n"
        "merge_after= 0 \n"
        ";0,1: nothing, >1: multiply BPM rate, pattern sizes...by adding empty lines\n"
        "blow_up= 1  \n"
        ";0,1: nothing, >1: repeat all sequences\n"
        "song_repeat= 1  \n"
        "\n"
        ";Machine Transformation options:\n"
        "mtranspo=  0  \n"
        "clone_trans=  0  \n"
        "clone_wave=  1  \n"
        "clone2=  0  \n"
        "rip_es9= 0    \n"
    ;

class SettingsFile : public kxtest::WorkDirTest {
protected:
    void write_ini(const std::string& text)
    {
        std::ofstream("kestrix.ini", std::ios::binary) << text;
    }
    std::string saved()
    {
        EXPECT_TRUE(save_settings());
        return kxtest::read_text("kestrix.ini");
    }
};

TEST_F(SettingsFile, SavingAndLoadingTheDefaults)
{
    EXPECT_EQ(saved(), default_ini);
    settings.dotsplit = 0;
    settings.ptranspo = 0;
    ASSERT_TRUE(load_settings());
    EXPECT_EQ(settings.dotsplit, 1);
    EXPECT_EQ(settings.ptranspo, -12);
    EXPECT_EQ(saved(), default_ini);
}

// Every persistent field set to a value unlike its default survives load and save: the second
// save could only match the first if each value was read back.
TEST_F(SettingsFile, RoundTripKeepsEveryValue)
{
    int Settings::*ints[] = {
        &Settings::dotsplit, &Settings::dopfun, &Settings::dowave, &Settings::midi_device,
        &Settings::transpo, &Settings::remove_2pat, &Settings::dosminus, &Settings::do_envs,
        &Settings::do_0loops, &Settings::do_0track, &Settings::do_lnvol, &Settings::domod_ext,
        &Settings::dolist, &Settings::lwind_x, &Settings::lwind_y, &Settings::lwind_dx,
        &Settings::lwind_dy, &Settings::midi_tpb, &Settings::blines, &Settings::do_firstnote0,
        &Settings::use_notedels, &Settings::domidi_ext, &Settings::dopchange, &Settings::drkit,
        &Settings::drfollow, &Settings::ptranspo, &Settings::drtranspo, &Settings::drloopno,
        &Settings::do_mscale1, &Settings::do_mscale2, &Settings::do_mishift2,
        &Settings::use_convout, &Settings::merge_after, &Settings::blow_up, &Settings::song_repeat,
        &Settings::mtranspo, &Settings::clone_trans, &Settings::clone_wave, &Settings::clone2,
        &Settings::rip_es9,
    };
    int v = 1000;
    for (auto f : ints) {
        v += 7;
        settings.*f = v % 2 ? -v : v;
    }
    settings.verbose = 1;
    settings.midi_res = 2.5f;
    settings.midi_scale = 0.125f;
    settings.midi_shift = -3.75f;
    settings_set_text(settings.buzz_path, "C:\\Buzz\\");
    settings_set_text(settings.xi_dir, "D:\\xi\\");
    std::string first = saved();
    settings = Settings();
    ASSERT_TRUE(load_settings());
    EXPECT_FALSE(pool.mem_trace);
    EXPECT_EQ(saved(), first);
}

// Directories with blanks are saved in double quotes and come back whole; a file that has them
// without quotes still stops at the blank. A line break in a text cannot break out of its line.
TEST_F(SettingsFile, TextsWithBlanksAndBreaks)
{
    settings_set_text(settings.buzz_path, "C:\\Program Files\\Buzz\\");
    settings_set_text(settings.xi_dir, "xi\\\ndotsplit=0");
    EXPECT_NE(saved().find("\nbuzz_path=\"C:\\Program Files\\Buzz\\\"\n"), std::string::npos);
    settings = Settings();
    ASSERT_TRUE(load_settings());
    EXPECT_STREQ(settings.buzz_path, "C:\\Program Files\\Buzz\\");
    EXPECT_STREQ(settings.xi_dir, "xi\\");
    EXPECT_EQ(settings.dotsplit, 1);

    write_ini("buzz_path=C:\\Program Files\\Buzz\\\nxi_dir=\"\"\n");
    ASSERT_TRUE(load_settings());
    EXPECT_STREQ(settings.buzz_path, "C:\\Program");
    EXPECT_STREQ(settings.xi_dir, ""); // an empty quoted text empties the field
}

// Each line is loaded on its own into the defaults. verbose above one or below zero becomes 1
// and turns on the memory trace.
TEST_F(SettingsFile, KeyRules)
{
    struct Case {
        const char* line;
        int Settings::*field;
        int want;
    };
    for (const Case& c : {Case{"dotsplit= 2", &Settings::dotsplit, 2}, // blank after "=" is fine
                          Case{"dopfun =3", &Settings::dopfun, 0},     // blank before "=": no key
                          Case{" dowave=1", &Settings::dowave, 2},     // indented: skipped
                          Case{"mtranspo=5", &Settings::transpo, 0},
                          Case{"mtranspo=5", &Settings::mtranspo, 5},
                          Case{"Transpo=9", &Settings::transpo, 0}, // keys are case-sensitive
                          Case{"blines=32;comment", &Settings::blines, 32},
                          Case{"blines=x", &Settings::blines, 64},
                          Case{"midi_tpb=", &Settings::midi_tpb, 16},
                          Case{"clone2=99999999999", &Settings::clone2, 0}, // does not fit an int
                          Case{"ptranspo=-7\r", &Settings::ptranspo, -7},
                          Case{"verbose=5", &Settings::verbose, 1},
                          Case{"verbose=-1", &Settings::verbose, 1}}) {
        SCOPED_TRACE(c.line);
        settings = Settings();
        pool.mem_trace = false;
        write_ini(std::string(c.line) + "\n");
        ASSERT_TRUE(load_settings());
        EXPECT_EQ(settings.*c.field, c.want);
        EXPECT_EQ(pool.mem_trace, c.field == &Settings::verbose);
    }
    write_ini("midi_res=  0.5\nmidi_scale=nan\nmidi_shift=1e99\n");
    ASSERT_TRUE(load_settings());
    EXPECT_EQ(settings.midi_res, 0.5f);
    EXPECT_EQ(settings.midi_scale, 1.0f);
    EXPECT_EQ(settings.midi_shift, 0.0f);
}

// xi_dir gets a final separator when it has none; nothing after "=" leaves it unchanged.
TEST_F(SettingsFile, XiDirKeepsAFinalSeparator)
{
    write_ini("xi_dir=instruments\nxi_dir=\nxi_dir=   \n");
    ASSERT_TRUE(load_settings());
    EXPECT_EQ(std::string(settings.xi_dir), std::string("instruments") + platform::path_separator);
    write_ini("xi_dir=C:\\xi\\\n"); // either separator will do
    ASSERT_TRUE(load_settings());
    EXPECT_STREQ(settings.xi_dir, "C:\\xi\\");
}

// Values and lines longer than their fields are cut, never written past them; the rest of an
// over-long line is not read as a line of its own.
TEST_F(SettingsFile, OverlongValuesAndLines)
{
    // The tail would start a 500th character: exactly where a reader that splits long lines
    // would begin a "line" of its own.
    std::string tail = std::string(499 - 9, ';') + "dotsplit=0";
    write_ini("buzz_path=" + std::string(300, 'b') + "\n"
              "xi_dir=" + std::string(400, 'd') + "\n"
              "midi_tpb=" + std::string(480, ' ') + "77\n" + // inside the 499 characters
              "blines=" + std::string(500, ' ') + "77\n" +   // beyond them: not seen
              "rip_es9=1" + tail + "\n"                      // the tail is skipped
              "clone2=3\n");
    ASSERT_TRUE(load_settings());
    EXPECT_EQ(std::string(settings.buzz_path), std::string(255, 'b'));
    EXPECT_EQ(std::string(settings.xi_dir), std::string(254, 'd') + platform::path_separator);
    EXPECT_EQ(settings.midi_tpb, 77);
    EXPECT_EQ(settings.blines, 64);
    EXPECT_EQ(settings.rip_es9, 1);
    EXPECT_EQ(settings.dotsplit, 1);
    EXPECT_EQ(settings.clone2, 3);

    settings_set_text(settings.buzz_path, std::string(1000, 'x').c_str());
    EXPECT_EQ(std::string(settings.buzz_path), std::string(255, 'x'));
}

TEST_F(SettingsFile, ApplyLine)
{
    for (const char* bad : {"nosuchkey=1", "dotsplit=two", "dotsplit", "", (const char*)nullptr})
        EXPECT_FALSE(settings_apply_line(bad)) << (bad ? bad : "null");
    EXPECT_TRUE(settings_apply_line("dotsplit=0"));
    EXPECT_TRUE(settings_apply_line("midi_res=0.25\n"));
    EXPECT_EQ(settings.dotsplit, 0);
    EXPECT_EQ(settings.midi_res, 0.25f);
}

// No file: nothing changes; a file that cannot be created: save says so.
TEST_F(SettingsFile, FileProblems)
{
    settings.dotsplit = 7;
    EXPECT_FALSE(load_settings());
    EXPECT_EQ(settings.dotsplit, 7);
    std::filesystem::create_directory("kestrix.ini");
    EXPECT_FALSE(save_settings());
}

} // namespace
