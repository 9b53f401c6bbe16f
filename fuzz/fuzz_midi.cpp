// The Standard MIDI File reader and the note placement behind it: a MIDI file converted natively.
// The file's length picks the patch mode, the split and whether the rows follow the tempo
// changes (the Master's BPM changes), so one corpus covers them.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kxfuzz::enter_work_folder();
    Settings settings;
    settings.domidi_ext = 0;
    settings.dowave = Waves::none;
    settings.dopchange = int(size % 2);
    settings.dotsplit = Split((size / 2) % 3);
    settings.midi_tempos = int((size / 6) % 2);
    kxfuzz::write_file("in.mid", data, size);
    kxfuzz::run_conversion(settings, "in.mid");
    std::remove("in.mid");
    return 0;
}
