// Merge and transformation: one song, or the song merged with itself, through the tools the last
// byte picks (blow-up, repetition, position scaling with wave shifting, a clone of machine 1 onto
// a generator the byte names, a tuned and a ripped wave, the ES-9 data rip), then the song's
// facts as the console's --list --json gives them. Every file the job makes is removed again.
#include <filesystem>

#include "jobs/song_facts.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kxfuzz::enter_work_folder();
    const unsigned pick = size ? data[size - 1] : 0;
    kxfuzz::write_file("in.bmx", data, size);

    Settings settings;
    settings.merge_input1 = "in.bmx";
    settings.merge_input2 = "in.bmx";
    settings.merge_output = "merged.bmx";
    settings.use_convout = pick & 1 ? SecondSong::merge_input2 : SecondSong::none;
    settings.blow_up = pick & 2 ? 2 : 1;
    settings.song_repeat = pick & 4 ? 2 : 1;
    settings.do_mscale1 = settings.do_mscale2 = settings.do_mishift2 = (pick & 8) ? 1 : 0;
    if (pick & 16) {
        settings.clone_source = 1;
        settings.clone2 = int((size / 2) % 10) + 1;
        settings.clone_trans = 12;
        settings.mtranspo = -1;
        settings.rip_es9 = (pick & 128) ? 1 : 0;
    }
    if (pick & 32) settings.tune_wave = 1, settings.tune_level = 1, settings.tune_rate = 8000;
    if (pick & 64) settings.rip_wave = 1;
    settings.replace_files = 1;
    kxfuzz::QuietFrontEnd fe;
    run_job(settings, JobMode::merge, fe);
    for (const char* made : {"merged.bmx", "kxrip01.wav", "es-9.dat"}) std::remove(made);

    const SongFacts facts = gather_song_facts(settings, "in.bmx");
    if (facts.read && facts_json("in.bmx", facts).empty()) std::abort();
    std::remove("in.bmx");
    return 0;
}
