// The XI instrument reader: one instrument file converted into a song holding its wave.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kxfuzz::enter_work_folder();
    Settings settings;
    settings.dowave = Waves::bmx;
    kxfuzz::write_file("in.xi", data, size);
    kxfuzz::run_conversion(settings, "in.xi");
    std::remove("in.xi");
    return 0;
}
