// Names of the module formats handled through the converter programs, and the names of the XM
// files those programs write.
#include "convert/module_formats.h"

#include <cctype>
#include <cstddef>

namespace {

// Extensions (lower case) of the formats mod2xm reads besides .mod and .s3m. XM is read by the
// program itself and IT goes through it2xm, so neither is listed.
constexpr const char* other_module_extensions[] = {
    ".669",  ".amf",  ".dbm",  ".digi", ".dsm",  ".dtm",  ".emod", ".far",  ".fnk",  ".gdm",
    ".imf",  ".ims",  ".j2b",  ".liq",  ".mdl",  ".med",  ".mgt",  ".mmd0", ".mmd1", ".mmd2",
    ".mmd3", ".mtm",  ".okt",  ".okta", ".psm",  ".ptm",  ".rtm",  ".sfx",  ".stm",  ".stx",
    ".sym",  ".ult",  ".umx",  ".wow",
};

// Start of the last extension of the file part of name (after the last separator), or npos.
size_t last_extension(const std::string& name)
{
    size_t base = name.find_last_of("/\\");
    base = base == std::string::npos ? 0 : base + 1;
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot < base || dot == base) return std::string::npos;
    return dot;
}

std::string lower(std::string s)
{
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The first `ext` (case-sensitive) turned into ".xm" with the name cut after it; "" when absent.
std::string replace_first(const std::string& name, const char* ext)
{
    size_t at = name.find(ext);
    if (at == std::string::npos) return {};
    return name.substr(0, at) + ".xm";
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
    std::string out = replace_first(name, ".s3m");
    if (out.empty()) out = replace_first(name, ".mod");
    if (out.empty()) out = replace_last_extension(name);
    return out;
}

std::string it2xm_output_name(const std::string& name)
{
    std::string out = replace_first(name, ".it");
    if (out.empty()) out = replace_last_extension(name);
    return out;
}
