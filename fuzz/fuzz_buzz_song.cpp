// The Buzz song reader: a song listed (with its sections' contents), then transformed alone
// (read and written again section by section).
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kxfuzz::enter_work_folder();
    Settings settings;
    settings.dolist = 1;
    kxfuzz::write_file("in.bmx", data, size);
    kxfuzz::run_conversion(settings, "in.bmx");
    settings = Settings{};
    settings.merge_input1 = "in.bmx";
    settings.merge_output = "merged.bmx";
    settings.use_convout = SecondSong::none;
    settings.do_mscale1 = int(size % 2);
    kxfuzz::QuietFrontEnd fe;
    run_job(settings, JobMode::merge, fe);
    std::remove("merged.bmx");
    std::remove("in.bmx");
    return 0;
}
