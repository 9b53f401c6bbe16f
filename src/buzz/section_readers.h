// What the files of the Buzz song reader share: the readers of its sections, which the driver
// (bmx_reader.cpp) calls with the input standing at a section's start and its SectionReader
// bounded by the section, and the helpers they have in common.
#pragma once

#include <cstddef>
#include <cstdint>

#include "buzz/bmx_reader.h"

namespace section_readers {

constexpr size_t copy_block = 65536; // bytes per block when copying raw data and waves

// The hooks the reading runs with (none set when nobody gave any).
const ReaderHooks& hooks(ReaderState& rs);
// The counts of the song being read.
InputSummary& summary(ReaderState& rs);

// Bytes between the position and the end of the section, as far as the file holds them.
uint64_t section_room(ReaderState& rs);
void seek_to(ReaderState& rs, uint64_t offset);
// Skips n bytes that the file is known to hold.
void skip_bytes(ReaderState& rs, uint64_t n);
// Passes n bytes the file is known to hold from the input to the merge stream in one go, and
// moves the input past them. A short copy is a failed write (a full disk), or an input cut short
// while it is read.
void copy_to_merge_stream(ReaderState& rs, uint64_t n);

// `count` records of at least `record_bytes` each must fit in the rest of the section.
void require_bytes(ReaderState& rs, uint64_t count, uint64_t record_bytes);
// The count that heads a section, as the count hook has it, in `width` bytes.
void emit_count(ReaderState& rs, int section, uint32_t value, int width);
// A section that is not parsed: with a merge stream its bytes are copied as they are.
void copy_raw(ReaderState& rs, int section);
// A machine whose library machines.ini does not describe ends the job, naming it.
[[noreturn]] void machine_not_found(ReaderState& rs, const char* name);

// The sections, each read from its start to its end.
void read_mach(ReaderState& rs);
void read_conn(ReaderState& rs);
void read_wavt(ReaderState& rs);
void read_patt(ReaderState& rs);
void read_sequ(ReaderState& rs);
void read_wave(ReaderState& rs);

} // namespace section_readers
