// Names of the module formats handled through the converter programs, and the names of the XM
// files those programs write.
#include "convert/module_formats.h"

#include <cctype>
#include <cstddef>
#include <string>

namespace {

// Extensions (lower case) of the formats mod2xm reads besides .mod and .s3m. XM is read by the
// program itself and IT goes through it2xm, so neither is listed.
constexpr const char* other_module_extensions[] = {
    ".669",  ".amf",  ".dbm",  ".digi", ".dsm",  ".dtm",  ".emod", ".far",  ".fnk",  ".gdm",
    ".imf",  ".ims",  ".j2b",  ".liq",  ".mdl",  ".med",  ".mgt",  ".mmd0", ".mmd1", ".mmd2",
    ".mmd3", ".mtm",  ".okt",  ".okta", ".psm",  ".ptm",  ".rtm",  ".sfx",  ".stm",  ".stx",
    ".sym",  ".ult",  ".umx",  ".wow",
};

std::string lower(std::string s)
{
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

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

} // namespace

bool is_other_module_format(const std::string& name)
{
    size_t dot = last_extension(name);
    if (dot == std::string::npos) return false;
    std::string ext = lower(name.substr(dot));
    for (const char* known : other_module_extensions)
        if (ext == known) return true;
    return false;
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
