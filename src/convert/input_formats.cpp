// The input formats and their recognisers, and the start of a module run, which hands the module
// to the reader its signature names.
#include "convert/input_formats.h"

#include <array>
#include <cctype>
#include <cstring>

#include "convert/mod_reader.h"
#include "convert/xm_reader.h"
#include "core/byteio.h"

namespace {

bool text_at(const uint8_t* head, size_t n, size_t offset, const char* text)
{
    const size_t len = std::strlen(text);
    return n >= offset + len && std::memcmp(head + offset, text, len) == 0;
}

Probe certain_if(bool b) { return b ? Probe::certain : Probe::no; }

Probe probe_xm(const uint8_t* h, size_t n) { return certain_if(is_xm_module(h, n)); }
Probe probe_xi(const uint8_t* h, size_t n) { return certain_if(text_at(h, n, 0, xi_magic)); }
Probe probe_midi(const uint8_t* h, size_t n) { return certain_if(text_at(h, n, 0, "MThd")); }
Probe probe_it(const uint8_t* h, size_t n) { return certain_if(text_at(h, n, 0, "IMPM")); }
Probe probe_s3m(const uint8_t* h, size_t n) { return certain_if(text_at(h, n, 44, "SCRM")); }
Probe probe_buzz(const uint8_t* h, size_t n) { return certain_if(text_at(h, n, 0, "Buzz")); }

// A MOD by its tag; without one, a 15-sample module is plausible when its sample headers and
// order list hold values such a module can hold (finetunes up to 15, volumes up to 64, 1 to 128
// orders of patterns below 128).
Probe probe_mod(const uint8_t* h, size_t n)
{
    if (n >= mod_tag_offset + 4 && mod_tag_channels(h + mod_tag_offset) > 0) return Probe::certain;
    if (n < 600) return Probe::no;
    for (int i = 0; i < 15; ++i) {
        const uint8_t* s = h + 20 + 30 * i;
        if (s[24] > 15 || s[25] > 64) return Probe::no;
    }
    if (h[470] == 0 || h[470] > 128) return Probe::no;
    for (int i = 0; i < 128; ++i)
        if (h[472 + i] >= 128) return Probe::no;
    return Probe::plausible;
}

constexpr const char* xm_extensions[] = {".xm"};
constexpr const char* mod_extensions[] = {".mod"};
constexpr const char* s3m_extensions[] = {".s3m"};
constexpr const char* it_extensions[] = {".it"};
constexpr const char* midi_extensions[] = {".mid", ".midi"};
constexpr const char* xi_extensions[] = {".xi"};
constexpr const char* song_extensions[] = {".bmx", ".bmw"};
// The formats mod2xm reads besides MOD and S3M (XM is read here, IT goes through it2xm).
constexpr const char* other_module_extensions[] = {
    ".669",  ".amf",  ".dbm",  ".digi", ".dsm",  ".dtm",  ".emod", ".far",  ".fnk",  ".gdm",
    ".imf",  ".ims",  ".j2b",  ".liq",  ".mdl",  ".med",  ".mgt",  ".mmd0", ".mmd1", ".mmd2",
    ".mmd3", ".mtm",  ".okt",  ".okta", ".psm",  ".ptm",  ".rtm",  ".sfx",  ".stm",  ".stx",
    ".sym",  ".ult",  ".umx",  ".wow",
};

// Probes are tried in this order: an XM's tracker name may hold "SCRM" where an S3M keeps it, and
// a Buzz song is told before a MOD tag that its data may hold.
const InputFormat formats[] = {
    {InputKind::xm, "an XM module", xm_extensions, probe_xm, read_xm, nullptr},
    {InputKind::xi, "an XI instrument", xi_extensions, probe_xi, nullptr, nullptr},
    {InputKind::midi, "a MIDI file", midi_extensions, probe_midi, nullptr, "easyxmid"},
    {InputKind::it, "an IT module", it_extensions, probe_it, nullptr, "it2xm"},
    {InputKind::s3m, "an S3M module", s3m_extensions, probe_s3m, nullptr, "mod2xm"},
    {InputKind::buzz_song, "a Buzz song", song_extensions, probe_buzz, nullptr, nullptr},
    {InputKind::mod, "a MOD module", mod_extensions, probe_mod, read_mod, "mod2xm"},
    {InputKind::other_module, "a module", other_module_extensions, nullptr, nullptr, "mod2xm"},
};

} // namespace

std::span<const InputFormat> input_formats() { return formats; }

const InputFormat* input_format(InputKind kind)
{
    for (const InputFormat& f : formats)
        if (f.kind == kind) return &f;
    return nullptr;
}

const char* converter_program(InputKind kind, const Settings& s)
{
    const InputFormat* f = input_format(kind);
    if (!f || !f->converter) return nullptr;
    if (kind == InputKind::mod && !s.domod_ext) return nullptr;
    if (kind == InputKind::midi && !s.domidi_ext) return nullptr;
    return f->converter;
}

InputKind kind_by_name(const std::string& path)
{
    const size_t slash = path.find_last_of("/\\");
    const size_t base = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot <= base) return InputKind::none;
    std::string ext = path.substr(dot);
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    for (const InputFormat& f : formats)
        for (const char* e : f.extensions)
            if (ext == e) return f.kind;
    return InputKind::none;
}

InputKind kind_by_content(const uint8_t* head, size_t n)
{
    for (const InputFormat& f : formats)
        if (f.probe && f.probe(head, n) == Probe::certain) return f.kind;
    return InputKind::none;
}

InputDecision decide_input_kind(const std::string& path, const uint8_t* head, size_t n)
{
    InputDecision d;
    d.kind = kind_by_name(path);
    const InputKind content = kind_by_content(head, n);
    const bool read_here = content == InputKind::xm || content == InputKind::mod;
    if (content != InputKind::none && content != InputKind::buzz_song && content != d.kind &&
        !(read_here && d.kind == InputKind::none)) {
        d.kind = content;
        d.by_content = true;
    }
    return d;
}

InputDecision decide_input_kind(const std::string& path)
{
    uint8_t head[probe_bytes] = {};
    size_t n = 0;
    if (File f = open_file(path.c_str(), "rb")) n = std::fread(head, 1, sizeof head, f.get());
    return decide_input_kind(path, head, n);
}

void read_module(Conversion& c, FILE* in)
{
    const ReadPass pass = module_read_pass(c);
    const bool xm = read_module_start(c, in, pass);
    input_format(xm ? InputKind::xm : InputKind::mod)->read(c, in, pass);
}
