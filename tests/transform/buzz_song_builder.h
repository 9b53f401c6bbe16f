// Small Buzz songs built byte by byte for the merge's tests: sections behind a header and a
// directory, machine records, patterns and sequences.
#pragma once

#include <algorithm>
#include <bit>
#include <cctype>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"

namespace kxsong {

using kxtest::Bytes;
using Sections = std::vector<std::pair<std::string, Bytes>>;

inline uint32_t dword_le(const std::vector<uint8_t>& b, size_t at)
{
    return b.at(at) | b.at(at + 1) << 8 | b.at(at + 2) << 16 | uint32_t(b.at(at + 3)) << 24;
}

inline Bytes song(const Sections& sections)
{
    Bytes b;
    b.str("Buzz").le32(uint32_t(sections.size()));
    uint32_t offset = uint32_t(8 + 12 * sections.size());
    for (const auto& [name, body] : sections) {
        b.fixed(name, 4).le32(offset).le32(uint32_t(body.size()));
        offset += uint32_t(body.size());
    }
    for (const auto& s : sections) b.append(s.second);
    return b;
}

// One machine record; the track state is repeated for every track.
inline Bytes machine(const std::string& name, const std::string& dll, const Bytes& globals, int tracks = 0,
                     const Bytes& track = {}, const Bytes& data = {}, float x = 0, float y = 0)
{
    Bytes b;
    b.str(name).u8(0).u8(dll.empty() ? 0 : (dll == "Jeskola Reverb" ? 2 : 1));
    if (!dll.empty()) b.str(dll).u8(0);
    b.le32(std::bit_cast<uint32_t>(x)).le32(std::bit_cast<uint32_t>(y)).le32(uint32_t(data.size())).append(data).le16(0).append(globals);
    b.le16(unsigned(tracks));
    for (int t = 0; t < tracks; ++t) b.append(track);
    return b;
}
inline Bytes master(unsigned tempo = 126) { return machine("Master", "", Bytes().le16(0x4000).le16(tempo).u8(4)); }
inline Bytes tracker(const std::string& name, int tracks) { return machine(name, "Jeskola Tracker", Bytes().u8(6), tracks, Bytes().u8(0).u8(0).u8(0xFF).u8(0).u8(0)); }
inline Bytes primifun(const std::string& name) { return machine(name, "PrimiFun", Bytes().u8(0x80).u8(0), 1, Bytes().u8(0).u8(0).u8(0x80).u8(0x30)); }
inline Bytes reverb() { return machine("Reverb", "Jeskola Reverb", Bytes().fill(6, 0x11)); }

// One pattern: name, line count, per input its source and `lines` (amplitude, panning) pairs,
// then `global` and `tracks` rows as given (each holds every line of its part).
inline Bytes pattern(const std::string& name, unsigned lines, const std::vector<unsigned>& inputs,
                     const Bytes& global_rows, const std::vector<Bytes>& track_rows)
{
    Bytes b;
    b.str(name).u8(0).le16(lines);
    for (unsigned source : inputs) {
        b.le16(source);
        for (unsigned r = 0; r < lines; ++r) b.le16(0x4000).le16(0x4000);
    }
    b.append(global_rows);
    for (const Bytes& t : track_rows) b.append(t);
    return b;
}

// `lines` Tracker rows playing `note` with wave `wave` on every other line.
inline Bytes tracker_rows(unsigned lines, uint8_t note, uint8_t wave = 1)
{
    Bytes b;
    for (unsigned r = 0; r < lines; ++r) b.u8(r % 2 ? 0 : note).u8(r % 2 ? 0 : wave).u8(0xFF).u8(0).u8(0);
    return b;
}

// A sequence of one-byte positions and values.
inline Bytes sequence(unsigned machine, const std::vector<unsigned>& positions)
{
    Bytes b;
    b.le16(machine).le32(uint32_t(positions.size()));
    if (!positions.empty()) b.u8(1).u8(1);
    for (unsigned p : positions) b.u8(p).u8(0x10);
    return b;
}

inline Bytes sequ(unsigned end, const std::vector<Bytes>& sequences)
{
    Bytes b;
    b.le32(end).le32(0).le32(end).le16(unsigned(sequences.size()));
    for (const Bytes& s : sequences) b.append(s);
    return b;
}

inline Bytes blah(const std::string& text) { return Bytes().le32(uint32_t(text.size())).str(text); }

// One machine's parameter descriptions (PARA): `globals` and `tracks` word parameters.
inline Bytes para_entry(const std::string& name, const std::string& library, unsigned globals, unsigned tracks)
{
    Bytes b;
    b.str(name).u8(0).str(library).u8(0).le32(globals).le32(tracks);
    for (unsigned p = 0; p < globals + tracks; ++p)
        b.u8(3).str(name + std::to_string(p)).u8(0).le32(0).le32(0x8000).le32(0xFFFF).le32(2).le32(p);
    return b;
}
inline Bytes para(const std::vector<Bytes>& entries)
{
    Bytes b = Bytes().le32(uint32_t(entries.size()));
    for (const Bytes& e : entries) b.append(e);
    return b;
}

// A wave table entry: `frames` per level (stereo: WAVT flag bit 3), rate 22050.
inline Bytes wave_entry(unsigned index, const std::vector<uint32_t>& frames, bool stereo = false)
{
    Bytes b = Bytes().le16(index).str("w.wav").u8(0).str("W").u8(0).le32(0).u8(stereo ? 8 : 0).u8(unsigned(frames.size()));
    for (uint32_t f : frames) b.le32(f).le32(0).le32(0).le32(22050).u8(0x41);
    return b;
}

// Compressed waves (CWAV format 1), packed as Buzz documents them: bits least significant first,
// every block of a level with one method and width; samples (stereo: left, right per frame) are
// multiples of 2^shift.
inline Bytes pack_wave(const std::vector<std::vector<int16_t>>& levels, bool stereo, int method, int width,
                       int block_shift = 2, int shift = 0, bool sum = false)
{
    Bytes out;
    int used = 8;
    auto bits = [&](unsigned v, int n) {
        for (int i = 0; i < n; ++i, ++used) {
            if (used == 8) out.u8(0), used = 0;
            out.data.back() = uint8_t(out.data.back() | ((v >> i) & 1) << used);
        }
    };
    auto run = [&](unsigned zeros) { for (; zeros > 0; zeros -= std::min(zeros, 16u)) bits(0, int(std::min(zeros, 16u))); bits(1, 1); };
    const size_t channels = stereo ? 2 : 1;
    for (const auto& level : levels) {
        run(0), bits(unsigned(block_shift), 4), bits(unsigned(shift), 4), bits(sum, stereo ? 1 : 0);
        uint16_t a[2] = {}, b[2] = {}, r[2] = {}; // each channel's sums
        const size_t frames = level.size() / channels, block = size_t(1) << block_shift;
        for (size_t first = 0; first < frames; first += block) {
            for (size_t c = 0; c < channels; ++c) {
                bits(unsigned(method), 2), bits(unsigned(width), 4);
                for (size_t i = first; i < std::min(frames, first + block); ++i) {
                    uint16_t t = uint16_t(level[i * channels + c] >> shift); // the result wanted
                    if (c == 1 && sum) t = uint16_t(t - uint16_t(level[i * channels] >> shift));
                    const uint16_t v = uint16_t(method == 0 ? t : method == 1 ? t - r[c] : method == 2 ? t - r[c] - a[c] : t - r[c] - a[c] - b[c]);
                    b[c] = uint16_t(method == 0 ? v - r[c] - a[c] : method == 1 ? v - a[c] : method == 2 ? v : b[c] + v);
                    a[c] = uint16_t(method == 0 ? v - r[c] : method == 1 ? v : method == 2 ? a[c] + v : a[c] + b[c]);
                    r[c] = t;
                    const unsigned u = int16_t(v) >= 0 ? 2u * v : 2u * unsigned(-int16_t(v)) - 1;
                    bits(u & ((1u << width) - 1), width), run(u >> width);
                }
            }
        }
    }
    return out;
}
inline Bytes listed(const std::vector<Bytes>& entries) { Bytes b = Bytes().le16(unsigned(entries.size())); for (const Bytes& e : entries) b.append(e); return b; }
inline Bytes packed_entry(unsigned index, const Bytes& stream) { return Bytes().le16(index).u8(1).append(stream); }
inline Bytes raw_entry(unsigned index, const Bytes& samples) { return Bytes().le16(index).u8(0).le32(uint32_t(samples.size())).append(samples); }
inline Bytes samples_le(const std::vector<int16_t>& v) { Bytes b; for (int16_t s : v) b.le16(uint16_t(s)); return b; }

// Why Buzz would not play every machine of a song ("" when it would): a machine from which the
// connections (source, destination pairs) lead nowhere near the master, or a name twice (in
// either case).
inline std::string wiring_fault(const std::vector<std::string>& names, const std::vector<unsigned>& conns)
{
    std::vector<bool> plays(names.size());
    plays.at(0) = true;
    for (size_t pass = 0; pass < names.size(); ++pass)
        for (size_t c = 0; c + 1 < conns.size(); c += 2)
            if (conns[c + 1] < plays.size() && plays[conns[c + 1]] && conns[c] < plays.size()) plays[conns[c]] = true;
    std::map<std::string, int> seen;
    for (size_t m = 0; m < names.size(); ++m) {
        std::string key = names[m].substr(0, names[m].rfind(':')); // "name:tracks" as a name

        for (char& ch : key) ch = char(std::tolower(static_cast<unsigned char>(ch)));
        if (!plays[m] || seen[key]++) return names[m] + (plays[m] ? " is named twice" : " does not reach the master");
    }
    return "";
}

// The sections of a song by name, and their names in directory order.
inline std::map<std::string, std::vector<uint8_t>> sections_of(const std::vector<uint8_t>& b)
{
    std::map<std::string, std::vector<uint8_t>> out;
    for (uint32_t i = 0; i < dword_le(b, 4); ++i) {
        const size_t e = 8 + 12 * i;
        const uint32_t off = dword_le(b, e + 4), len = dword_le(b, e + 8);
        out[std::string(b.begin() + long(e), b.begin() + long(e) + 4)].assign(b.begin() + off, b.begin() + off + len);
    }
    return out;
}
inline std::vector<std::string> directory_of(const std::vector<uint8_t>& b)
{
    std::vector<std::string> out;
    for (uint32_t i = 0; i < dword_le(b, 4); ++i) out.emplace_back(b.begin() + long(8 + 12 * i), b.begin() + long(12 + 12 * i));
    return out;
}

} // namespace kxsong
