// Waves from a SoundFont: a preset (or one drum key of a kit) made into the instrument an XI file
// would give, so that it takes the XI path into the song: its records for the wave table, its
// WAVE data read from the bank, or an XI file for a BMW song and the XI folders of --export-xi.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "convert/soundfont.h"
#include "song/conversion.h"
#include "songwriter/xi_file.h"

constexpr int sf_percussion_bank = 128;
constexpr int sf_wave_samples = 16; // samples of one XI instrument (FastTracker 2's limit)

// One wave asked of a SoundFont.
struct SfWaveRequest {
    int bank = 0;
    int program = 0;
    int drum_key = -1;              // a drum key's own wave: that key alone, sounding at C-4
    const uint8_t* keys = nullptr;  // 16 bytes: the keys the song plays with it (bit k & 7 of byte k >> 3)
};

// One sample of the wave: frames of smpl, a stereo pair's other channel mixed in.
struct SfWaveSample {
    uint32_t start = 0;         // first frame in smpl
    uint32_t partner_start = 0; // the other channel's first frame (partner)
    bool partner = false;
    uint32_t frames = 0;
    uint32_t loop_start = 0;    // frames from start
    uint32_t loop_end = 0;      // loop_end > loop_start when it loops
    int volume = 64;            // 0..64
    int relative_note = 0;      // signed semitones, as an XI sample has them
    int finetune = 0;           // -128..127, 1/128 semitone
    char name[23] = {};
};

// The wave as an XI instrument holds it. The key map's note n (0..95, C-0..B-7) plays MIDI key
// n + 12, as the MIDI conversion's default pitch correction (ptranspo -12) puts key 60 on C-4.
struct SfWave {
    char name[23] = {};
    std::string preset;       // "bank:program name" for the log
    InstrumentBody body;      // key map, volume envelope (points, sustain, type), fadeout
    std::vector<SfWaveSample> samples;
};

// Builds the wave `request` asks for; "" or why the bank has none (no such preset, no sample at
// that key). A percussion kit the bank lacks is taken from kit 0.
std::string soundfont_wave(const SoundFont& sf, const SfWaveRequest& request, SfWave& out);

// Fills instrument record `ins` from the wave as the instrument reader fills it from an XI file:
// name, samples (16-bit lengths and loops in bytes, volume, relative note and finetune, first
// mapped note), envelope and fadeout; wave_bytes counts its WAVE data.
void fill_soundfont_instrument(Conversion& c, const SfWave& w, InstrumentRecord& ins);

// Lays out the WAVE data of instrument `i` (filled above) as read from the bank, which is
// song.wave_sources[source - 1].
void lay_out_soundfont_wave(Conversion& c, const SoundFont& sf, const SfWave& w, int i, int source);

// Writes the wave as an XI file through `xi` (opened by the caller): head, body, sample headers
// and the samples read from the bank, delta-coded; a write that fails ends the job.
void write_soundfont_xi(XiExport& xi, FILE* bank, const SoundFont& sf, const SfWave& w);

// The waves of a native MIDI conversion that no XI file of xi_dir gives: taken from the SoundFont
// of the settings (or the one a front end found), which is read once, on the first wave it is
// asked for. A bank that cannot be read ends the job.
class SoundFontWaves {
public:
    explicit SoundFontWaves(Conversion& c) : c_(c) {}
    // True when the conversion has a SoundFont to ask.
    bool available() const;
    // Gives instrument slot q its wave (pass 0: the records; pass 1: the WAVE layout or, for a BMW
    // song, the XI file under `slot_name`). 1: given; 0: the bank has no wave for it (logged);
    // -1: the slot needs none (a channel that plays no note).
    int give(int q, int pass, const std::string& slot_name);

private:
    SfWaveRequest request_for(int q) const;
    void open_bank();

    Conversion& c_;
    SoundFont sf_;
    bool opened_ = false;
    int source_ = 0;            // its place in song.wave_sources + 1, once a wave uses it
    std::vector<SfWave> waves_; // per slot, from pass 0
    std::vector<char> given_;
};

// kestrix --export-xi: writes the XI set a MIDI conversion looks up into the folder `dir`, from
// the SoundFont `bank`: with dopchange=1 gmp_01.xi ... for the programs of bank 0, gmp_81.xi ...
// for the keys of percussion kit 0 and gmp_00.xi for the whole kit; with dopchange=0 gmc_01.xi ...
// gmc_10.xi, each MIDI channel's instrument before any program change (program 0; channel 10 the
// kit). Returns 1 (the job's conversion phase).
int export_soundfont_xi(Conversion& c, const std::string& bank, const std::string& dir);
