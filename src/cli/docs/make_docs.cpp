// Writes kestrix's manual page and bash completion from its option table, at build time:
//   kestrix_docs DIR   -> DIR/kestrix.1, DIR/kestrix.bash
#include <cstdio>
#include <string>
#include <vector>

#include "cli/option_table.h"
#include "core/version.h"
#include "settings/settings.h"

namespace {

bool write(const std::string& path, const std::string& text)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = std::fclose(f) == 0 && ok;
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: kestrix_docs DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    std::vector<std::string> keys;
    for (const SettingKeyInfo& k : settings_key_list()) keys.push_back(k.name);
    if (!write(dir + "/kestrix.1", manual_page(program_release())) ||
        !write(dir + "/kestrix.bash", bash_completion(keys))) {
        std::perror(dir.c_str());
        return 1;
    }
    return 0;
}
