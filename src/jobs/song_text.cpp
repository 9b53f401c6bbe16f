// Texts from Buzz songs: Windows-1252 to UTF-8, JSON strings.
#include "jobs/song_text.h"

#include <cstdint>
#include <cstdio>

namespace {

// Code points of Windows-1252's bytes 0x80..0x9F (the undefined ones keep their number).
constexpr uint16_t cp1252_high[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

void put_utf8(std::string& out, uint32_t cp)
{
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

// Length of the valid UTF-8 sequence at s[i] (overlong forms, surrogates and code points above
// U+10FFFF are not valid), or 0.
size_t sequence_length(std::string_view s, size_t i)
{
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned c = b(i);
    if (c < 0x80) return 1;
    size_t n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k)
        if ((b(i + k) & 0xC0) != 0x80) return 0;
    if ((c == 0xE0 && b(i + 1) < 0xA0) || (c == 0xED && b(i + 1) > 0x9F) || (c == 0xF0 && b(i + 1) < 0x90) ||
        (c == 0xF4 && b(i + 1) > 0x8F))
        return 0;
    return n;
}

} // namespace

std::string utf8_from_windows1252(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        const unsigned c = static_cast<unsigned char>(ch);
        put_utf8(out, c >= 0x80 && c < 0xA0 ? cp1252_high[c - 0x80] : c);
    }
    return out;
}

std::string valid_utf8(std::string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const size_t n = sequence_length(text, i);
        if (n == 0) {
            put_utf8(out, 0xFFFD);
            ++i;
        } else {
            out.append(text.substr(i, n));
            i += n;
        }
    }
    return out;
}

std::string json_string(std::string_view utf8)
{
    std::string o = "\"";
    for (size_t i = 0; i < utf8.size(); ++i) {
        const unsigned c = static_cast<unsigned char>(utf8[i]);
        // U+0080..U+009F are C2 80..C2 9F.
        const bool c1 = c == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) < 0xA0;
        if (c == '"' || c == '\\') {
            o += '\\';
            o += char(c);
        } else if (c < 0x20 || c == 0x7F || c1) {
            char b[8];
            std::snprintf(b, sizeof b, "\\u%04x", c1 ? static_cast<unsigned char>(utf8[++i]) : c);
            o += b;
        } else {
            o += char(c);
        }
    }
    return o + "\"";
}

size_t utf8_length(std::string_view utf8)
{
    size_t n = 0;
    for (char c : utf8) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}
