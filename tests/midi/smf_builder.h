// Standard MIDI Files for tests: chunks, and tracks of events at absolute ticks (the builder
// writes the delta times).
#pragma once

#include <initializer_list>

#include "support/test_support.h"

namespace kxtest {

// A variable-length number (below 2^28): 7 bits a byte, the first bytes with bit 7 set.
inline Bytes& varlen(Bytes& b, uint32_t v)
{
    for (int shift = 21; shift > 0; shift -= 7)
        if (v >> shift) b.u8(0x80 | (v >> shift & 0x7F));
    return b.u8(v & 0x7F);
}

inline Bytes chunk(const char* tag, const Bytes& body, int64_t length = -1)
{
    Bytes b;
    b.str(tag).be16(uint32_t(length < 0 ? body.size() : length) >> 16).be16(uint32_t(length < 0 ? body.size() : length));
    return b.append(body);
}

class SmfTrack {
public:
    // An event at `tick` (not before the one before it): its bytes after the delta time.
    SmfTrack& at(uint32_t tick, std::initializer_list<int> bytes)
    {
        varlen(data, tick - now);
        now = tick;
        for (int v : bytes) data.u8(unsigned(v));
        return *this;
    }
    SmfTrack& on(uint32_t tick, int ch, int key, int vel = 100) { return at(tick, {0x90 | ch, key, vel}); }
    SmfTrack& off(uint32_t tick, int ch, int key) { return at(tick, {0x80 | ch, key, 0}); }
    SmfTrack& tempo(uint32_t us, uint32_t tick = 0)
    {
        return at(tick, {0xFF, 0x51, 3, int(us >> 16), int(us >> 8 & 0xFF), int(us & 0xFF)});
    }
    Bytes data;
    uint32_t now = 0;
};

// "MThd" (format, track count, division) and the tracks, each closed by an end-of-track event.
inline Bytes smf(int format, int division, std::initializer_list<SmfTrack> tracks)
{
    Bytes b = chunk("MThd", Bytes().be16(unsigned(format)).be16(unsigned(tracks.size())).be16(unsigned(division)));
    for (SmfTrack t : tracks) b.append(chunk("MTrk", t.at(t.now, {0xFF, 0x2F, 0}).data));
    return b;
}

} // namespace kxtest
