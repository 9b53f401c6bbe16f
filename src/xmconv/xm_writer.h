// FastTracker 2 extended module (XM, version 0x0104) writer: a plain in-memory module and the
// function that lays it out as an XM file. The layout is the standard one FT2 writes: a 276-byte
// header after the 60-byte file head, packed patterns, instruments with a 263-byte header (empty
// ones too), 40-byte sample headers and delta-coded 8- or 16-bit sample data.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace xmconv {

// Limits of the format as FT2 reads it.
constexpr int xm_max_channels = 32;
constexpr int xm_max_rows = 256;
constexpr int xm_max_patterns = 256;
constexpr int xm_max_orders = 256;
constexpr int xm_max_instruments = 128;
constexpr int xm_max_samples_per_instrument = 16;
constexpr int xm_max_envelope_points = 12;

// XM note values: 1 = C-0 ... 96 = B-7, 97 = key off.
constexpr uint8_t xm_key_off = 97;

struct XmCell {
    uint8_t note = 0;        // 0 none, 1..96, 97 key off
    uint8_t instrument = 0;  // 0 none, 1..128
    uint8_t volume = 0;      // volume column byte: 0 none, 0x10..0x50 volume, 0x60..0xFF effects
    uint8_t effect = 0;      // effect type 0..35 (0x21 = X extra fine portamento)
    uint8_t param = 0;       // effect parameter
    bool empty() const { return !note && !instrument && !volume && !effect && !param; }
    bool operator==(const XmCell&) const = default;
};

struct XmPattern {
    int rows = 64;               // 1..256
    std::vector<XmCell> cells;   // rows x channels, row by row
};

struct XmEnvelope {
    std::array<std::array<uint16_t, 2>, xm_max_envelope_points> points{};  // x (ticks), y (0..64)
    uint8_t count = 0;       // points in use, 0..12
    uint8_t sustain = 0;     // sustain point
    uint8_t loop_start = 0;  // loop start point
    uint8_t loop_end = 0;    // loop end point
    uint8_t flags = 0;       // bit 0 on, bit 1 sustain, bit 2 loop
};

enum : uint8_t { xm_env_on = 1, xm_env_sustain = 2, xm_env_loop = 4 };
enum : uint8_t { xm_loop_none = 0, xm_loop_forward = 1, xm_loop_pingpong = 2 };

struct XmSample {
    std::string name;              // up to 22 characters
    bool is_16bit = false;
    std::vector<int16_t> frames;   // sample values; -128..127 for 8-bit samples
    uint32_t loop_start = 0;       // in frames
    uint32_t loop_length = 0;      // in frames
    uint8_t loop_type = xm_loop_none;
    uint8_t volume = 64;           // 0..64
    int8_t finetune = 0;           // -128..127, 1/128 semitone
    uint8_t panning = 128;         // 0..255
    int8_t relative_note = 0;      // semitones from C-4 at 8363 Hz
};

struct XmInstrument {
    std::string name;                    // up to 22 characters
    std::array<uint8_t, 96> note_map{};  // sample number (0-based) for each note 1..96
    XmEnvelope volume_envelope;
    XmEnvelope panning_envelope;
    uint8_t vibrato_type = 0, vibrato_sweep = 0, vibrato_depth = 0, vibrato_rate = 0;
    uint16_t fadeout = 0;                // 0..0xFFF
    std::vector<XmSample> samples;       // 0..16
};

struct XmModule {
    std::string name;                    // up to 20 characters
    std::string tracker = "kestrix xmconv";  // up to 20 characters
    int channels = 4;                    // 1..32
    bool linear_frequencies = true;      // header flag bit 0
    int speed = 6;                       // ticks per row, 1..31
    int bpm = 125;                       // 32..255
    int restart = 0;                     // order position
    std::vector<uint8_t> orders;         // 1..256 pattern numbers
    std::vector<XmPattern> patterns;     // 1..256
    std::vector<XmInstrument> instruments;  // 0..128
};

// Why the module cannot be written as XM, or "" when it can.
std::string xm_check(const XmModule& m);

// The XM file's bytes. The module must pass xm_check.
std::vector<uint8_t> xm_encode(const XmModule& m);

// Checks the module and writes it to `path` through a temporary file beside it, so that a failure
// never leaves a partial XM file. On failure returns false with the reason in `error`.
bool xm_write_file(const XmModule& m, const std::string& path, std::string& error);

} // namespace xmconv
