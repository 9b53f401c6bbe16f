// Turns a module loaded by libxmp into an XmModule: header, order list, patterns (through the
// effect mapping), instruments with their note-to-sample maps, envelopes and samples.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "xmconv/playback.h"
#include "xmconv/xm_effects.h"
#include "xmconv/xm_writer.h"

struct xmp_module;

namespace xmconv {

// What the conversion needs to know about the source beyond libxmp's module record.
struct SourceInfo {
    std::string loader;          // libxmp's name of the format ("Impulse Tracker", ...)
    bool linear_frequencies = false;
    EffectStyle style;
    bool impulse_tracker = false;  // IT: vibrato waveform numbering, note offs without envelope
    bool sample_pans = false;      // a sample's default pan moves the channel's pan (IT, XM)
    bool round_finetune = false;   // tunings from C5 speeds, finer than FT2 plays them
    double mix = 1;                // IT mix volume over FT2's level (48)
    // Protracker MOD: the effect and parameter of every cell as the file stores them (pattern by
    // pattern, row by row, channel by channel), used in place of libxmp's reading of them.
    std::vector<uint8_t> mod_effects;
    // Scream Tracker 3 and Impulse Tracker: each sample's C5 speed as the file gives it (0 where
    // it gives none), by libxmp's sample number: the tuning libxmp keeps is cut to 1/128 semitone.
    std::vector<double> c5_speeds;
};

// Describes the source from libxmp's format name, the first bytes of the file (for the flags of
// IT and XM headers) and libxmp's volume scale.
SourceInfo describe_source(const std::string& loader, const std::vector<uint8_t>& head, int volume_base);

// Reads the effects of a Protracker-style MOD file (31 samples, a tag at 1080, 64-row patterns
// from 1084) into info.mod_effects. libxmp leaves out a MOD's 100, 200, 500, 600, A00, EA0, EB0
// and 8xx, which do nothing in Protracker; the XM gets every MOD effect unchanged instead (XM's
// effects 0-F are MOD's), so that it reads in this program exactly as the MOD itself does. Does
// nothing for any other layout, or when the file's instrument numbers disagree with libxmp's.
void read_mod_effects(const std::vector<uint8_t>& file, const xmp_module& mod, SourceInfo& info);

// Reads the C5 speeds of an S3M or IT file's samples into info.c5_speeds.
void read_c5_speeds(const std::vector<uint8_t>& file, const xmp_module& mod, SourceInfo& info);

struct ConvertReport {
    DropCounts drops;    // effects
    DropCounts limits;   // what instruments, channels and the song do that XM cannot
    std::vector<std::string> notes;  // other things changed on the way, one line each
    // Samples that still play off their tuning: "sample 12 "Flute" 1.2 cents" (the source's
    // number), gathered into one of the notes.
    std::vector<std::string> tunings_left;
    // "3 effects without an XM equivalent dropped (...); 2 things XM cannot hold left out (...)",
    // or "" when nothing was left out.
    std::string summary() const;
};

// Converts the module; on failure returns false with the reason in `error`.
bool convert_module(const xmp_module& mod, const SourceInfo& info, XmModule& out,
                    ConvertReport& report, std::string& error);

// Converts a module libxmp loaded from the file whose bytes are `file`, in the format libxmp names
// `loader`, with libxmp's volume scale `volume_base`.
bool convert_loaded(const xmp_module& mod, const std::string& loader, int volume_base,
                    const std::vector<uint8_t>& file, XmModule& out, ConvertReport& report, std::string& error);

// Reads a module from its file's bytes with libxmp and converts it. Returns 0, 3 when libxmp
// cannot read it, or 4 when XM cannot hold it, with the reason in `error`.
int convert_bytes(const std::vector<uint8_t>& file, XmModule& out, ConvertReport& report, std::string& error);

} // namespace xmconv
