// The SoundFont reader and what a MIDI conversion makes of a bank: the input is the bank, which a
// small MIDI file (two channels and drums) takes its waves from. The input's length picks the wave
// mode (BMX, BMW), the patch mode and the drum kit; every seventh length writes the bank's XI set
// instead, as kestrix --export-xi does. Its seeds are one bank at three lengths (1602 bytes: a
// BMX; 1603: the XI set; 1605: a BMW), so that each way is taken from the start.
#include <cstdio>

#include "convert/soundfont_waves.h"
#include "fuzz_support.h"

namespace {

// song.mid: program 1 on channel 1, notes on channels 1 and 2, two drum keys.
void write_song()
{
    static const uint8_t song[] = {
        'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 96,
        'M', 'T', 'r', 'k', 0, 0, 0, 31,
        0, 0xC0, 1, 0, 0x90, 60, 100, 0, 0x91, 40, 100, 0, 0x99, 36, 100,
        48, 0x99, 38, 100, 48, 0x80, 60, 0, 0, 0x81, 40, 0, 0, 0xFF, 0x2F, 0};
    static bool written = false;
    if (written) return;
    kxfuzz::write_file("song.mid", song, sizeof song);
    written = true;
}

int export_set(Conversion& c, const std::string& bank, const std::string&) { return export_soundfont_xi(c, bank, "set"); }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kxfuzz::enter_work_folder();
    write_song();
    kxfuzz::write_file("bank.sf2", data, size);
    Settings settings;
    settings.soundfont = "bank.sf2";
    settings.xi_dir = "xi/";
    settings.dowave = size % 2 ? Waves::bmw : Waves::bmx;
    settings.dopchange = int((size / 2) % 2);
    settings.drkit = int((size / 4) % 2);
    settings.replace_files = 1;
    if (size % 7 == 0) {
        settings.input_file = "bank.sf2";
        kxfuzz::QuietFrontEnd fe;
        Job job(settings, fe);
        job.phases.convert = &export_set;
        job.run(JobMode::convert);
    } else {
        kxfuzz::run_conversion(settings, "song.mid");
    }
    // The XI files a BMW or the set wrote would win over the bank next time.
    std::error_code ec;
    std::filesystem::remove_all("xi", ec);
    std::filesystem::remove_all("set", ec);
    std::remove("bank.sf2");
    return 0;
}
