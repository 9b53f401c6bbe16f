// Facts of the module formats: the MOD tags, and the names of the XM files the converter programs
// write.
#include "convert/module_formats.h"

#include <cstddef>
#include <cstring>
#include <string>

namespace {

// Start of the file part of name (after the last separator).
size_t base_name_start(const std::string& name)
{
    size_t base = name.find_last_of("/\\");
    return base == std::string::npos ? 0 : base + 1;
}

// The first `ext` (case-sensitive) in the file part of the name turned into ".xm", the name cut
// after it or not; "" when the file part has no such text.
std::string replace_first(const std::string& name, const char* ext, bool cut)
{
    size_t at = name.find(ext, base_name_start(name));
    if (at == std::string::npos) return {};
    std::string rest = cut ? std::string() : name.substr(at + std::char_traits<char>::length(ext));
    return name.substr(0, at) + ".xm" + rest;
}

// Start of the last extension of the file part of name (after the last separator), or npos.
size_t last_extension(const std::string& name)
{
    size_t base = base_name_start(name);
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot < base || dot == base) return std::string::npos;
    return dot;
}

std::string replace_last_extension(const std::string& name)
{
    size_t dot = last_extension(name);
    return (dot == std::string::npos ? name : name.substr(0, dot)) + ".xm";
}

bool digit(uint8_t c) { return c >= '0' && c <= '9'; }

} // namespace

int mod_tag_channels(const uint8_t* tag)
{
    auto is = [tag](const char* t) { return std::memcmp(tag, t, 4) == 0; };
    for (const char* t : {"M.K.", "M!K!", "M&K!", "FLT4", "4CHN"})
        if (is(t)) return 4;
    if (is("6CHN")) return 6;
    for (const char* t : {"8CHN", "OCTA", "CD81", "FLT8"})
        if (is(t)) return 8;
    if (digit(tag[0]) && tag[0] != '0' && std::memcmp(tag + 1, "CHN", 3) == 0) return tag[0] - '0';
    if (digit(tag[0]) && tag[0] != '0' && digit(tag[1]) && tag[2] == 'C' && (tag[3] == 'H' || tag[3] == 'N'))
        return (tag[0] - '0') * 10 + (tag[1] - '0');
    return 0;
}


std::string mod2xm_output_name(const std::string& name)
{
    std::string out = replace_first(name, ".s3m", true);
    if (out.empty()) out = replace_first(name, ".mod", true);
    if (out.empty()) out = replace_last_extension(name);
    return out;
}

std::string it2xm_output_name(const std::string& name)
{
    std::string out = replace_first(name, ".it", false);
    if (out.empty()) out = replace_last_extension(name);
    return out;
}
