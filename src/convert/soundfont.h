// SoundFont 2 banks (RIFF "sfbk"): the preset, instrument and sample tables of a bank, read once
// per job, and where its 16-bit sample data lies; the sample data itself stays in the file and is
// read only for the samples a song uses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/byteio.h"

// Generator operators this program reads (the numbers of the SoundFont 2 format).
enum SfGeneratorId : uint16_t {
    sf_start_offset = 0,
    sf_end_offset = 1,
    sf_loop_start_offset = 2,
    sf_loop_end_offset = 3,
    sf_start_coarse_offset = 4,
    sf_end_coarse_offset = 12,
    sf_delay_vol_env = 33,
    sf_attack_vol_env = 34,
    sf_hold_vol_env = 35,
    sf_decay_vol_env = 36,
    sf_sustain_vol_env = 37,
    sf_release_vol_env = 38,
    sf_instrument = 41,
    sf_key_range = 43,
    sf_vel_range = 44,
    sf_loop_start_coarse_offset = 45,
    sf_attenuation = 48,
    sf_loop_end_coarse_offset = 50,
    sf_coarse_tune = 51,
    sf_fine_tune = 52,
    sf_sample_id = 53,
    sf_sample_modes = 54,
    sf_scale_tuning = 56,
    sf_root_key = 58,
    sf_generator_count = 61, // operators 0..60; higher ones are ignored
};

// Sample types (shdr's sfSampleType).
constexpr uint16_t sf_right_sample = 2;
constexpr uint16_t sf_left_sample = 4;
constexpr uint16_t sf_linked_sample = 8;
constexpr uint16_t sf_compressed_sample = 0x10; // SF3: Ogg Vorbis data
constexpr uint16_t sf_rom_sample = 0x8000;

struct SfGenerator {
    uint16_t oper = 0;
    uint16_t amount = 0; // a signed value, or a range: low byte lowest, high byte highest
};

// A zone of a preset or an instrument: its generators gens[first_gen, end_gen).
struct SfZone {
    uint32_t first_gen = 0;
    uint32_t end_gen = 0;
};

// A preset or an instrument: its zones zones[first_zone, end_zone).
struct SfPreset {
    char name[21] = {};
    uint16_t program = 0; // 0..127
    uint16_t bank = 0;    // 0 melodic, 128 percussion
    uint32_t first_zone = 0;
    uint32_t end_zone = 0;
};

struct SfSample {
    char name[21] = {};
    uint32_t start = 0;      // frames from the start of smpl; start <= end <= the frames smpl holds
    uint32_t end = 0;        // one past the last frame
    uint32_t loop_start = 0; // frames from the start of smpl (not checked: a zone clips its loop)
    uint32_t loop_end = 0;
    uint32_t rate = 0;       // Hz, above 0
    uint8_t pitch = 60;      // MIDI key of the recording (255: unpitched)
    int8_t correction = 0;   // cents
    uint16_t link = 0;       // the other sample of a stereo pair
    uint16_t type = 1;       // 1 mono, 2 right, 4 left, 8 linked; 0x8000 ROM
};

struct SoundFont {
    std::string path;
    std::string name;           // INFO/INAM
    File file;                  // open while the bank is in use: the sample data is read from it
    uint64_t sample_data = 0;   // file offset of smpl's first byte
    uint32_t sample_frames = 0; // 16-bit values smpl holds
    std::vector<SfPreset> presets;          // without the terminal record
    std::vector<SfZone> preset_zones;       // with the terminal record
    std::vector<SfGenerator> preset_gens;
    std::vector<SfPreset> instruments;      // program and bank unused; without the terminal record
    std::vector<SfZone> instrument_zones;   // with the terminal record
    std::vector<SfGenerator> instrument_gens;
    std::vector<SfSample> samples;          // without the terminal record
};

// Reads the bank at `path` into `sf` (its tables; the file stays open for the sample data). A file
// that is no SoundFont 2 bank, an SF3 bank, or a bank whose chunks or indices do not hold
// together is refused: the result is "" or one line that names the chunk and what is wrong
// ("pdta/pbag: zone 7 names generators 12..9 (pgen holds 40)").
std::string read_soundfont(SoundFont& sf, const char* path);

// The preset of `bank`:`program`, nullptr when the bank has none.
const SfPreset* find_preset(const SoundFont& sf, int bank, int program);
