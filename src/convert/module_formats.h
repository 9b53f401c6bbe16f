// Facts of the module formats that the readers, the recognisers and the converter programs
// share: the signatures, the MOD tags, and the XM file a converter program writes for a module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

// The signature of an XM module (17 bytes at offset 0) and of an XI instrument (21 bytes).
constexpr char xm_magic[] = "Extended Module: ";
constexpr size_t xm_magic_size = sizeof xm_magic - 1;
constexpr char xi_magic[] = "Extended Instrument: ";
constexpr size_t xi_magic_size = sizeof xi_magic - 1;

// An XM by its signature; the module reader reads anything else as a MOD.
inline bool is_xm_module(const uint8_t* head, size_t n)
{
    return n >= xm_magic_size && std::memcmp(head, xm_magic, xm_magic_size) == 0;
}

// The XM header up to the order table, 80 bytes: the signature, the module name (20), 0x1A, the
// tracker name (20) and the fields below, little-endian.
constexpr size_t xm_header_bytes = 80;
constexpr size_t xm_fields_offset = 58; // where the fields start, after the tracker name
struct XmHeader {
    unsigned version = 0;     // 58  (logged)
    uint32_t header_size = 0; // 60  (logged; the order table follows the BPM field)
    unsigned length = 0;      // 64  entries of the order table in use
    unsigned restart = 0;     // 66  (logged)
    unsigned channels = 0;    // 68  1..max_module_channels
    unsigned patterns = 0;    // 70  1..65535
    unsigned instruments = 0; // 72  0..255 (a cell's instrument is one byte)
    unsigned flags = 0;       // 74  bit 0: linear frequency table
    unsigned tempo = 0;       // 76  ticks per row
    unsigned bpm = 0;         // 78
};
// The fields of the xm_header_bytes bytes at `head`.
XmHeader xm_header(const uint8_t* head);
// Why no module can begin with these first n bytes of an XM file (its signature checked by
// is_xm_module): the header is cut, or its counts of channels, instruments or patterns size a
// module nobody can hold ("has 0 channels, only 1 to 128 possible"). "" when the header is one a
// module can have. The module reader ends the job with it, the console refuses such an input with
// it before a job.
std::string xm_header_problem(const uint8_t* head, size_t n);

// Where a MOD keeps its tag, and the channels the tag says: "M.K.", "M!K!", "M&K!", "FLT4",
// "4CHN" 4; "6CHN" 6; "8CHN", "OCTA", "CD81", "FLT8" 8; "nCHN" n; "nnCH" and "nnCN" nn. 0 for
// anything else (a 15-sample module has no tag).
constexpr size_t mod_tag_offset = 1080;
int mod_tag_channels(const uint8_t* tag);

// The XM file mod2xm writes for `name`: the first ".s3m" in the file part of the name (after the
// last separator) turned into ".xm" and the name cut after it; failing that the same for the
// first ".mod"; failing that the name's last extension replaced by ".xm" (or ".xm" appended when
// it has none). Extensions are matched case-sensitively, as the conversion driver does.
std::string mod2xm_output_name(const std::string& name);

// The XM file it2xm writes for `name`: the first ".it" in the file part of the name turned into
// ".xm", the rest of the name kept ("a.it" gives "a.xm", "a.it.bak" gives "a.xm.bak"); failing
// that the name's last extension replaced by ".xm" (or ".xm" appended).
std::string it2xm_output_name(const std::string& name);
