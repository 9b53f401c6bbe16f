// The input formats a conversion takes, each with one recogniser, listed once. The conversion
// driver decides an input's kind with them, the console checks its input with them before a job,
// and the converter programs tell the formats apart with the same facts (the XM signature, the
// MOD tags). Like libxmp's format loaders, each entry names its format, its extensions and a
// probe of the file's first bytes; the module readers of XM and MOD are named beside them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "convert/module_formats.h"
#include "convert/module_reader.h"
#include "settings/settings.h"
#include "song/song.h"

// What a probe makes of a file's first bytes.
enum class Probe {
    no,        // not this format
    plausible, // no signature, but every value the format keeps there is one it can hold
    certain,   // the format's own signature
};

// Bytes every probe may look at: a MOD's tag ends at byte 1084.
constexpr size_t probe_bytes = 1084;

// A module reader: one pass over the module, from the sample headers (MOD) or the header fields
// after the name (XM) on; the start of the file has been read by read_module.
using ModuleReader = void (*)(Conversion& c, FILE* in, const ReadPass& pass);

struct InputFormat {
    InputKind kind;
    const char* text;                        // how the log names it: "an XM module"
    std::span<const char* const> extensions; // lower case, with the dot
    Probe (*probe)(const uint8_t* head, size_t n); // head: the first n bytes (at most probe_bytes)
    ModuleReader read;                       // the module reader for the formats read here
    const char* converter;                   // the converter program that turns it into an XM
};

// Every format, in the order their probes are tried.
std::span<const InputFormat> input_formats();
const InputFormat* input_format(InputKind kind);

// The kind a name says: its last extension (after the last '/' or '\'), in any case.
InputKind kind_by_name(const std::string& path);
// The kind the first bytes clearly say (a certain probe), or none.
InputKind kind_by_content(const uint8_t* head, size_t n);

// The kind an input is converted as. Its name decides, unless its content clearly says another
// kind ("beat.it.remix.xm" holding an XM, an XM named ".mod"): then the content does and
// `by_content` is set. A content of a module read here does not overrule a name without a known
// extension (such a name is read as a module anyway), and a Buzz song decides only by its name:
// a song under another name is no input to convert.
struct InputDecision {
    InputKind kind = InputKind::none;
    bool by_content = false;
};
InputDecision decide_input_kind(const std::string& path, const uint8_t* head, size_t n);
// The same for a file: its first bytes are read (none when it cannot be opened).
InputDecision decide_input_kind(const std::string& path);

// The converter program a conversion of `kind` runs first, or null: it2xm for IT; mod2xm for S3M
// and the other module formats, and for MOD with domod_ext; easyxmid for MIDI with domidi_ext.
const char* converter_program(InputKind kind, const Settings& s);

// One pass over the module in `in`, from its start: an XM by its signature, anything else as a
// MOD. The pass comes from the song's pass_number and counting_pass; the reader fills the module
// half of the song and hands every cell to the effect translation.
void read_module(Conversion& c, FILE* in);
