// Buzz song reader: checks and lists a BMX/BMW file section by section. Every byte read goes
// through one byte path (take_* / hold_* / emit_* below) so that the merge can see, change, drop
// or add bytes on their way to the merge stream; when listing there is no merge stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "buzz/machines_ini.h"
#include "buzz/sections.h"
#include "buzz/sequence_fields.h"
#include "core/log.h"
#include "core/pool.h"

// Messages shared by the reader and the merge.
inline constexpr const char* msg_too_short = "File too short!!";
inline constexpr const char* msg_mach_size =
    "\nMachine section size doesn't match, probably wrong machine or machines.ini!!!";
inline constexpr const char* msg_patt_size =
    "\nPattern section size doesn't match, probably wrong machine or machines.ini!!!";
inline constexpr const char* msg_temp_write = "Can't write temporary file (disk full?)";

// One section of a song file, read like a chunk: reads stop at the section's end (or the file's,
// when the file ends first). A read past it yields 0xFF, moves nothing and marks the reader
// `past_end`, so a record that runs over its section can never take the next section's bytes;
// a count is still checked against `room()` before it drives a loop or an allocation.
struct SectionReader {
    FILE* file = nullptr;
    uint64_t file_length = 0; // bytes in the file
    uint64_t pos = 0;         // offset of the next byte (stays at the section's end past it)
    uint64_t end = 0;         // directory offset + length of the section
    bool overrun = false;     // a read has gone past the section's end or the file's

    // Bytes between the position and the end of the section, as far as the file holds them.
    uint64_t room() const;
    // A read has gone past the end of the section (or of the file) since the last seek.
    bool past_end() const { return overrun; }
    // The reader over the section of `length` bytes at `offset` of `file`, at its start.
    static SectionReader at(FILE* file, uint64_t offset, uint64_t length);
    // Moves to an offset (clearing past_end); offsets beyond what the system can seek end the job
    // ("File too short!!").
    void seek(uint64_t offset);
    // Moves n bytes on; a skip past the end of the section (or of the file) stops there and marks
    // the reader past_end, as a read would.
    void skip(uint64_t n);
    uint8_t byte();
    uint16_t word();
    uint32_t dword();
    size_t block(uint8_t* buf, size_t n); // bytes really read; the rest filled with 0xFF
    // A zero-terminated text: its characters up to the terminator (consumed, not counted) or the
    // end of the section; the first keep_size - 1 of them go to keep. Returns the characters.
    size_t text(char* keep, size_t keep_size);
};

// A directory entry of a section the reader does not read itself (any name but the seven's).
struct SectionEntry {
    char name[5] = {};
    uint32_t offset = 0;
    uint32_t length = 0;
    bool before_mach = false; // it comes before MACH in the song's directory
};

// Characters of a machine's name the song readers keep (and compare).
constexpr size_t machine_name_chars = 29;

struct MachineEntry {
    int description = 0; // index into machine_descriptions (0 for the master)
    int kind = 0;        // 0 master, 1 generator, 2 effect
    int tracks = 0;      // 0..65535
    int inputs = 0;      // connections into this machine (counted with full_parse)
    char name[machine_name_chars + 1] = {}; // the first characters of the machine's name
};

// What the stored data of a wave depend on: its levels' frame counts and whether it is stereo
// (WAVT flag bit 3), for the waves a CWAV section packs.
struct WaveShape {
    uint16_t index = 0;       // wave index
    bool stereo = false;
    uint32_t first_level = 0; // its first level in InputSummary::level_frames
    uint32_t levels = 0;      // 0..255
};

struct InputSummary {
    FILE* stream = nullptr;
    int machines = 0;
    int connections = 0;
    int master_connections = 0;
    int instruments = 0;
    int instrument_index_bound = 0;
    int sequences = 0;
    int sequence_adjustment = 0;
    int waves = 0;
    uint32_t section_start[8] = {};  // by SectionId
    uint32_t section_length[8] = {};
    uint32_t song_end = 0, loop_start = 0, loop_end = 0; // SEQU's header, in rows
    // The sections beyond the seven with something in them, in directory order (kept by a read
    // of the whole song); the directory of a merge's output when it is record 0.
    std::vector<SectionEntry> extra_sections;
    bool extra_sections_cut = false; // the song names more of them than are kept
    // WAVT's entries in table order, and the frame counts of their levels.
    std::vector<WaveShape> wave_shapes;
    std::vector<uint32_t> level_frames;
    MachineEntry* machine_list = nullptr;
    int machine_list_count = 0;      // entries allocated in machine_list
};

// Where a row of a pattern sits, for the row hooks.
enum RowKind {
    row_input,  // one (amplitude, panning) pair of an input: 4 bytes
    row_global, // one global row: global_bytes of the machine's description
    row_track,  // one track row: track_bytes of the machine's description
};
struct RowPlace {
    RowKind kind;
    int machine;  // index in MACH order
    int pattern;  // 0-based within the machine
    int track;    // track number (row_track) or input number (row_input); 0 for row_global
    int row;      // 0-based line
};

// The points where the merge and the tools see a song on its way through the reader, with their
// context (`user`) as every hook's first argument. Each pointer may be null: the value then
// passes unchanged. They are called while a song is listed
// as well (the wave ripping works then too); writes go to the merge stream only when one is open.
// A hook that consumes input itself does so through the byte path with `forward` cleared.
struct ReaderHooks {
    // Handed to every hook as its first argument: the merge or the tool the hooks belong to.
    void* user = nullptr;

    // The input stands at the start of a section that is about to be read / the section was read
    // and passed its checks.
    void (*section_begin)(void* user, int section) = nullptr;
    void (*section_end)(void* user, int section) = nullptr;
    // The count that heads MACH, CONN, WAVT, SEQU or WAVE, and BLAH's text length: returns the
    // value to write in its place, or -1 to write nothing.
    int64_t (*count)(void* user, int section, uint32_t value) = nullptr;
    // MACH or PATT without full_parse, and BLAH after its length: called before the rest of the
    // section is copied; may consume a leading part that must not be copied.
    void (*raw_prefix)(void* user, int section) = nullptr;

    // MACH (full_parse). machine_begin false: the record is read but not written.
    bool (*machine_begin)(void* user, int machine) = nullptr;
    // The name to write for the machine instead of its own, or null to keep its own.
    const char* (*machine_name)(void* user, int machine) = nullptr;
    void (*machine_position)(void* user, int machine, float* x, float* y) = nullptr;
    // The machine's data block, before it is written, in parts of at most 64 KiB: `offset` is
    // where the part begins within the block of `total` bytes. Called once with size 0 for an
    // empty block.
    void (*machine_data)(void* user, int machine, const uint8_t* data, size_t size, uint32_t offset,
                         uint32_t total) = nullptr;
    // The machine's global parameter state, before it is written; may change it in place.
    void (*machine_globals)(void* user, int machine, uint8_t* state, int size) = nullptr;

    // CONN: may change every word; false drops the connection.
    bool (*connection)(void* user, uint16_t* source, uint16_t* destination, uint16_t* amplitude,
                       uint16_t* panning) = nullptr;

    // WAVT: entry `ordinal` (0-based in this input) and level `level` (0-based).
    void (*wave_table_index)(void* user, int ordinal, uint16_t* index) = nullptr;
    void (*sample_rate)(void* user, int ordinal, int level, uint32_t* rate) = nullptr;
    // WAVT: entry `ordinal`'s flags (bit 3: its levels are stereo), after its index and names.
    void (*wave_flags)(void* user, int ordinal, uint8_t flags) = nullptr;

    // PATT (full_parse). pattern_machine false: the machine's patterns are read, not written.
    bool (*pattern_machine)(void* user, int machine, int patterns, int tracks) = nullptr;
    // Whether the row hooks below see the rows of a machine's patterns; rows nobody looks at pass
    // on in blocks. Without this hook every machine's rows go to the row hooks that are set.
    bool (*pattern_rows)(void* user, int machine) = nullptr;
    // The line count to write for a pattern whose name and line count were read.
    void (*pattern_lines)(void* user, int machine, int pattern, const char* name, uint16_t* lines) = nullptr;
    void (*input_source)(void* user, int machine, int pattern, uint16_t* source) = nullptr;
    // After a pattern's input blocks, before its global rows: may emit further input blocks of
    // `lines` rows (the line count as written).
    void (*pattern_inputs)(void* user, int machine, int pattern, uint16_t lines) = nullptr;
    // A row before it is written (may change it in place) and after (may emit further rows).
    void (*row)(void* user, const RowPlace& at, uint8_t* bytes, int size) = nullptr;
    void (*row_written)(void* user, const RowPlace& at, const uint8_t* bytes, int size) = nullptr;

    // SEQU. song_header false: the three dwords are not written.
    bool (*song_header)(void* user, uint32_t* song_end, uint32_t* loop_start, uint32_t* loop_end) = nullptr;
    // A sequence's header; the widths are 0 when it has no events. false: the sequence is dropped.
    // The hook may widen the positions written (1, 2 or 4 bytes); they are read in their own width.
    bool (*sequence_begin)(void* user, int ordinal, uint16_t* machine, uint32_t* events, int* position_width,
                           int value_width) = nullptr;
    void (*sequence_event)(void* user, int ordinal, uint32_t* position, uint32_t* value) = nullptr;
    void (*sequence_end)(void* user, int ordinal) = nullptr;

    // WAVE: a wave's header before it is written, then its bytes in blocks, then its end. Without
    // wave_data the bytes go from the song to the merge stream in the kernel.
    void (*wave_begin)(void* user, int ordinal, uint16_t* index, uint8_t format, uint32_t bytes) = nullptr;
    void (*wave_data)(void* user, int ordinal, const uint8_t* data, size_t size) = nullptr;
    void (*wave_end)(void* user, int ordinal) = nullptr;
};

// What the song's reader is told by whoever reads: how much it lists, the clone a merge makes (the
// source machine must be a generator, and its sequence is counted twice), and whether only a
// song's machines are wanted.
struct ReaderOptions {
    int list_level = 0;       // log_enabled for the listing of a whole song (dolist)
    int verbose = 0;          // log_enabled inside the sections (verbose)
    int clone_source = 0;     // the machine a clone is made of, 0 none
    bool clone_sequence = false; // the clone gets the source's sequence (a destination is set)
    int list_generators_only = 0; // only the first song's machines are read (the Machine page's list)
    // A read of the whole song reads its CWAV section too (read_compressed_waves): a listed song.
    bool compressed_waves = false;
};

// One reading of Buzz songs: the counts of the inputs and of the output, the byte path of the
// song being read, the merge stream, and what the reading runs with (the job's log, pool and
// machine descriptions). The merge, the wave tools, a conversion that lists a song and the
// dialog's generator list each read through one of their own.
struct ReaderState {
    ReaderState(Log& job_log, Pool& job_pool, const MachineTable& job_machines)
        : log(job_log), pool(job_pool), machines(job_machines)
    {
    }
    Log& log;
    Pool& pool;                      // the machine lists
    const MachineTable& machines;
    ReaderOptions options;

    // Forgets everything an earlier reading left (the job's log, pool, machines and the options
    // stay).
    void reset();

    InputSummary input_summaries[3]; // 0 merged output, 1 first input, 2 second input
    int current_input = 0;
    int full_parse = 0;
    FILE* merge_stream = nullptr;
    int merging = 0;
    const ReaderHooks* hooks = nullptr; // set by the merge and the tools, none when listing

    // The byte path of the song being read (valid while read_buzz_song runs): the song and the
    // section being read.
    SectionReader in;
    int forward = 1;            // bytes taken are copied to merge_stream
    // Bytes emitted and not yet handed to merge_stream: rows and records are gathered here and
    // written in large blocks (see merge_stream_flush).
    std::vector<uint8_t> pending;
};

// section_selector 0: every section; 1..7 only that section. Everything emitted is in
// merge_stream when it returns.
void read_buzz_song(ReaderState& rs, FILE* in, int section_selector);

// The CWAV section `e` of the song `in`, whose WAVT the reader has read (into the summary of
// current_input): lists each entry and hands it to the wave hooks: wave_begin with its format
// and the bytes of its levels as 16-bit samples, wave_data (when set) with its levels decoded,
// wave_end. Nothing goes to the merge stream. Entries that cannot be read, or that do not end
// exactly at the section's end, end the job.
void read_compressed_waves(ReaderState& rs, FILE* in, const SectionEntry& e);

// Hands the bytes emitted so far to merge_stream (before anything writes to it directly);
// ends the job when the write fails (a full disk).
void merge_stream_flush(ReaderState& rs);
// Offset in merge_stream of the next byte emitted.
uint64_t merge_stream_position(ReaderState& rs);

// The byte path. hold_* read from the section (past its end: 0xFF and past_end), emit_* write to
// the merge stream when one is open and `forward` is set, take_* do both.
uint8_t hold_byte(ReaderState& rs);
uint16_t hold_word(ReaderState& rs);
uint32_t hold_dword(ReaderState& rs);
size_t hold_block(ReaderState& rs, uint8_t* buf, size_t n); // bytes really read; the rest filled with 0xFF
void emit_byte(ReaderState& rs, unsigned b);
void emit_word(ReaderState& rs, unsigned w);
void emit_dword(ReaderState& rs, uint32_t d);
void emit_float(ReaderState& rs, float f);
void emit_block(ReaderState& rs, const uint8_t* data, size_t n);
uint8_t take_byte(ReaderState& rs);
uint16_t take_word(ReaderState& rs);
uint32_t take_dword(ReaderState& rs);
// A zero-terminated text, terminator included; the first keep_size - 1 characters go to keep.
// Ends at the end of the file too. Returns the characters read.
size_t take_text(ReaderState& rs, char* keep, size_t keep_size);
// Copies the rest of the current section; ends the job when the file is shorter than the
// directory says.
void copy_section_rest(ReaderState& rs);
// Passes n bytes of the current section on unchanged (in the kernel where it can), or skips
// them when nothing is forwarded; ends the job with `message` when the section does not hold them.
void pass_bytes(ReaderState& rs, uint64_t n, const char* message);
