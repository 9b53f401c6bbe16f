// XI instrument files written for a BMW conversion: an XM instrument exported again as the
// instrument reader (convert/instrument_reader.h) hands it over, a MOD sample as a one-sample
// instrument; and the check of an XI file given as input.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "core/byteio.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "song/conversion.h"

// The instrument body XM instruments and XI files share (230 bytes on disk), as read.
struct InstrumentBody {
    uint8_t key_map[96] = {};            // sample (0-based) for each of the 96 notes
    uint16_t volume_envelope[24] = {};   // 12 points: word x (ticks), word y (0..64)
    uint16_t panning_envelope[24] = {};  // 12 points: word x (ticks), word y (0..64)
    // Volume points, panning points, volume sustain, volume loop start and end, panning sustain,
    // panning loop start and end, volume type (bit 0 on, bit 1 sustain, bit 2 loop), panning
    // type, vibrato type, sweep, depth, rate.
    uint8_t points[14] = {};
    uint16_t fadeout = 0;                // volume fadeout
    uint16_t reserved = 0;               // the first reserved word (the other 20 bytes are not kept)
};

// One sample header (40 bytes on disk), as read.
struct SampleHeader {
    uint32_t length = 0;      // bytes
    uint32_t loop_start = 0;  // bytes
    uint32_t loop_length = 0; // bytes
    uint8_t volume = 0;       // 0..64
    uint8_t finetune = 0;     // signed
    uint8_t type = 0;         // bit 4: 16-bit data, bits 0-1: loop kind
    uint8_t panning = 0;
    uint8_t relative_note = 0; // signed semitones
    uint8_t reserved = 0;
    char name[23] = {};       // up to 22 characters
};

// One exported XI file while it is written (see xi_file.cpp): the scratch file, then its name.
// An XM instrument is written in the order it is read: head, body, sample headers, sample data.
struct XiExport {
    explicit XiExport(Conversion& conversion) : c(conversion) {}
    Conversion& c;
    platform::ScratchFile out;
    std::string path;       // the name it gets
    int index = 0;          // the instrument
    // The name the file gets when it is not the module's usual one: a MIDI wave's slot file
    // ("<xi_dir>gmp_01.xi"); a name taken by another file then moves on to "gmp_01~1.xi", ...
    std::string fixed_name;
    bool replace = false;   // an existing file of the name is replaced (--export-xi with -y)
    // Creates the scratch file for instrument `instrument`; false when it cannot be created.
    bool open(int instrument);
    // The same for a file named `name` (fixed_name).
    bool open_as(int instrument, const std::string& name);
    // Ends the job: the file could not be created or written.
    [[noreturn]] void write_failed() const;
    // The XI head with the instrument's name; the body (version 0x0102 first) with the sample
    // count the instrument declares; one sample header; stored sample data as it is read. A write
    // that fails ends the job.
    void write_head(const char* name);
    void write_body(const InstrumentBody& body, unsigned sample_count);
    void write_sample_header(const SampleHeader& h);
    void write_data(const void* data, size_t n);
    // Drops the file (an instrument with no sample header left).
    void discard() { out.discard(); }
    // Closes it and gives it its name (recorded as the instrument's xi_file); a write that failed
    // ends the job.
    void finish();
};

// Why the file `path` is no XI instrument a song can be made of, or "" when it is one: the tag
// "Extended Instrument: ", the whole 298-byte header, version 0x0101 or 0x0102, at least one sample
// and every sample header within the file. ("cut at 30 bytes, an XI header takes 298")
std::string xi_instrument_problem(const char* path);

// Writes one 8-bit MOD sample as an XI instrument (a one-sample instrument over every key) for a
// BMW song: `bytes` bytes of signed PCM from `offset` of `in`.
void export_mod_sample_xi(Conversion& c, int instrument, FILE* in, int64_t offset, uint32_t bytes);

// The XI file name of instrument i for a module input: xi_dir + base name (at most 6 characters,
// up to its first '.') + "%02x" + ".xi".
std::string xi_export_name(const Conversion& c, int i);
