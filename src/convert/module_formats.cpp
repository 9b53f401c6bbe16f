// Facts of the module formats: the MOD tags, and the names of the XM files the converter programs
// write.
#include "convert/module_formats.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include "convert/module_reader.h"

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

constexpr int xm_cell_instruments = 255; // a cell's instrument is one byte

} // namespace

XmHeader xm_header(const uint8_t* head)
{
    const auto word = [head](size_t at) { return unsigned(head[at] | head[at + 1] << 8); };
    XmHeader h;
    h.version = word(58);
    h.header_size = uint32_t(word(60)) | uint32_t(word(62)) << 16;
    h.length = word(64);
    h.restart = word(66);
    h.channels = word(68);
    h.patterns = word(70);
    h.instruments = word(72);
    h.flags = word(74);
    h.tempo = word(76);
    h.bpm = word(78);
    return h;
}

std::string xm_header_problem(const uint8_t* head, size_t n)
{
    char text[96];
    if (n < xm_header_bytes) {
        std::snprintf(text, sizeof text, "is cut at %zu bytes, an XM header takes %zu", n, xm_header_bytes);
        return text;
    }
    const XmHeader h = xm_header(head);
    if (h.channels == 0 || h.channels > unsigned(max_module_channels)) {
        std::snprintf(text, sizeof text, "has %u channels, only 1 to %d possible", h.channels, max_module_channels);
        return text;
    }
    if (h.instruments > unsigned(xm_cell_instruments)) {
        std::snprintf(text, sizeof text, "has %u instruments, only up to %d possible", h.instruments, xm_cell_instruments);
        return text;
    }
    if (h.patterns == 0) return "has no patterns";
    return "";
}

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
