// XI instrument files and XM instruments: one instrument-body reader for both, the layout of their
// WAVE data, and the XI export of a BMW conversion.
#pragma once

#include <cstdio>
#include <string>

#include "core/byteio.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "song/conversion.h"

// Reads instruments into records first, first + 1, ... from `in` (XM: the rest of the module
// from the current position; XI: one instrument from the start of the file). Pass from
// song.pass_number. wave_source tells the song writer where the WAVE data of these instruments is
// read: 0 the conversion's input, k the stream song.wave_sources[k - 1].
void read_instruments(Conversion& c, FILE* in, int first, int wave_source = 0);

// One exported XI file while it is written (see xi_file.cpp): the scratch file, then its name.
struct XiExport {
    explicit XiExport(Conversion& conversion) : c(conversion) {}
    Conversion& c;
    platform::ScratchFile out;
    char path[2 * settings_text_size] = ""; // the name it gets
    int index = 0;          // the instrument
    // Creates the scratch file for instrument `instrument`; false when it cannot be created.
    bool open(int instrument);
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
void xi_export_name(const Conversion& c, int i, char* out, int out_size);
