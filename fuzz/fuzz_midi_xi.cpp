// A Standard MIDI File converted natively with its waves from an XI folder: the bytes before the
// file's "MThd" are an XI instrument, which every wave slot of xi/ finds (each gmc_ and gmp_ name
// leads to it); without such bytes every slot is empty. The file's length picks the wave mode,
// the patch mode and the drum kit, so one corpus covers them.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "fuzz_support.h"

namespace {

// xi/ with every slot name a link to xi/instrument.xi, once.
void make_xi_folder()
{
    static bool made = false;
    if (made) return;
    if (mkdir("xi", 0777) != 0 && errno != EEXIST) std::abort();
    char name[32];
    for (const char* kind : {"gmc", "gmp"})
        for (unsigned k = 0; k < (kind[2] == 'c' ? 17u : 256u); ++k) {
            std::snprintf(name, sizeof name, "xi/%s_%02x.xi", kind, k);
            if (symlink("instrument.xi", name) != 0 && errno != EEXIST) std::abort();
        }
    made = true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kxfuzz::enter_work_folder();
    make_xi_folder();
    size_t midi = 0;
    while (midi + 4 <= size && std::memcmp(data + midi, "MThd", 4) != 0) ++midi;
    if (midi + 4 > size) midi = 0;
    std::remove("xi/instrument.xi");
    if (midi > 0) kxfuzz::write_file("xi/instrument.xi", data, midi);

    Settings settings;
    settings.xi_dir = "xi/";
    settings.domidi_ext = 0;
    settings.dowave = size % 2 ? Waves::bmw : Waves::bmx;
    settings.dopchange = int((size / 2) % 2);
    settings.drkit = int((size / 4) % 2);
    settings.replace_files = 1;
    kxfuzz::write_file("in.mid", data + midi, size - midi);
    kxfuzz::run_conversion(settings, "in.mid");
    std::remove("in.mid");
    return 0;
}
