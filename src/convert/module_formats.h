// Module formats that reach the program through the converter programs: S3M and IT by their
// fixed names, and every other format the converters read (MTM, 669, MED, OKT, STM, FAR, ULT ...)
// through mod2xm. Tells which names those are and which XM file the converter writes for them.
#pragma once

#include <string>

// True when the name ends in the extension of a module format (other than XM, MOD, S3M and IT)
// that mod2xm converts, compared without regard to case: ".mtm", ".669", ".med", ".okt", ".stm",
// ".far", ".ult", ".ptm", ".imf", ".dbm", ".mdl", ".amf", ".gdm", ...
bool is_other_module_format(const std::string& name);

// The XM file mod2xm writes for `name`: the first ".s3m" in the file part of the name (after the
// last separator) turned into ".xm" and the name cut after it; failing that the same for the
// first ".mod"; failing that the name's last extension replaced by ".xm" (or ".xm" appended when
// it has none). Extensions are matched case-sensitively, as the conversion driver does.
std::string mod2xm_output_name(const std::string& name);

// The XM file it2xm writes for `name`: the first ".it" in the file part of the name turned into
// ".xm", the rest of the name kept ("a.it" gives "a.xm", "a.it.bak" gives "a.xm.bak"); failing
// that the name's last extension replaced by ".xm" (or ".xm" appended).
std::string it2xm_output_name(const std::string& name);
