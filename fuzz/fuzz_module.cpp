// The XM and MOD readers with the pattern and song writers behind them. The file's length picks
// the split and wave handling, so one corpus covers every combination.
#include <filesystem>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kxfuzz::enter_work_folder();
    Settings settings;
    settings.dotsplit = Split(size % 3);
    settings.dowave = (size / 3) % 2 ? Waves::bmw : Waves::bmx;
    settings.remove_2pat = int((size / 6) % 2);
    settings.xi_dir = "xi/";
    const bool mod = size >= 1084 && data[1080] == 'M' && data[1081] == '.';
    const char* name = mod ? "in.mod" : "in.xm";
    kxfuzz::write_file(name, data, size);
    std::error_code ec;
    std::filesystem::create_directory("xi", ec); // where a BMW's XI files go
    kxfuzz::run_conversion(settings, name);
    std::remove(name);
    std::filesystem::remove_all("xi", ec);
    return 0;
}
