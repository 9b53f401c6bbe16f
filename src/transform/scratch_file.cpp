// Scratch files: unique, exclusive, removed unless committed.
#include "transform/scratch_file.h"

#include "platform/platform.h"

bool ScratchFile::create(const std::string& beside)
{
    discard();
    file.reset(platform::create_unique_file(platform::scratch_stem(beside.c_str()) + "-", ".tmp", name));
    if (!file) name.clear();
    return bool(file);
}

void ScratchFile::discard()
{
    file.reset();
    if (!name.empty()) platform::remove_file(name.c_str());
    name.clear();
}

bool ScratchFile::flush_ok()
{
    return file && std::fflush(file.get()) == 0 && !std::ferror(file.get());
}

bool ScratchFile::commit(const char* final_name)
{
    bool ok = flush_ok();
    FILE* f = file.release();
    if (f) ok = std::fclose(f) == 0 && ok;
    if (ok && !platform::replace_file(name.c_str(), final_name)) ok = false;
    if (ok) {
        name.clear();
    } else {
        discard();
    }
    return ok;
}

std::string folder_of(const std::string& path)
{
    const size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}
