// PARA: the parameter descriptions of a song's machines (layout in para_section.h).
#include "buzz/para_section.h"

#include <cstring>

#include "buzz/machines_ini.h"

namespace {

constexpr uint64_t min_entry_bytes = 10;     // two empty texts, two counts
constexpr uint64_t min_parameter_bytes = 22; // type, an empty name, five dwords
constexpr uint64_t parameter_values_bytes = 20;

// A text that ends inside the section: false when the section ends before its terminator.
bool read_text(SectionReader& in, char* keep, size_t keep_size)
{
    const uint64_t before = in.room();
    const size_t n = in.text(keep, keep_size);
    return before > n; // the terminator was there too
}

} // namespace

bool read_para_section(SectionReader& in, uint32_t machines, const MachineTable& table, int description,
                       ParaSection& out)
{
    out = ParaSection();
    if (in.room() < 4) return false;
    out.machines = in.dword();
    if (out.machines != machines || uint64_t(machines) * min_entry_bytes > in.room()) return false;
    out.first_entry = in.pos;
    out.second_entry = in.end;
    for (uint32_t m = 0; m < machines; ++m) {
        if (m == 1) out.second_entry = in.pos;
        out.entry_name.push_back(in.pos);
        char name[256];
        if (!read_text(in, nullptr, 0)) return false;
        const uint64_t library_at = in.pos;
        out.entry_library.push_back(library_at);
        if (!read_text(in, name, sizeof name) || in.room() < 8) return false;
        const uint64_t parameters = uint64_t(in.dword()) + in.dword();
        if (parameters * min_parameter_bytes > in.room()) return false;
        for (uint64_t p = 0; p < parameters; ++p) {
            in.byte();
            if (!read_text(in, nullptr, 0) || in.room() < parameter_values_bytes) return false;
            uint8_t values[parameter_values_bytes];
            in.block(values, sizeof values);
        }
        if (description >= 0 && out.match_end == 0 && std::strlen(name) < sizeof name - 1 &&
            find_machine_description(table, name) == description) {
            out.match_library = library_at;
            out.match_end = in.pos;
        }
    }
    out.end = in.pos;
    return in.room() == 0 && !in.at_eof();
}
