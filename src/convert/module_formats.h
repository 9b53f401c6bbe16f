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
