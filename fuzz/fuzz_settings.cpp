// kestrix.ini: loaded whole, every line also given as a --set line, then saved and loaded twice
// (what the program saves must read back as it was saved).
#include <cstring>
#include <string>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kxfuzz::enter_work_folder();
    Settings settings;
    kxfuzz::write_file("kestrix.ini", data, size);
    load_settings(settings);
    std::string text(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        settings_apply_line(settings, text.substr(start, end - start).c_str());
        start = end + 1;
    }
    if (save_settings(settings)) {
        load_settings(settings);
        const Settings first = settings;
        if (!save_settings(settings)) std::abort();
        settings = Settings{};
        load_settings(settings);
        if (first.xi_dir != settings.xi_dir || first.buzz_path != settings.buzz_path ||
            first.dowave != settings.dowave || first.dotsplit != settings.dotsplit ||
            first.dopfun != settings.dopfun)
            std::abort(); // saved settings do not read back
    }
    std::remove("kestrix.ini");
    return 0;
}
