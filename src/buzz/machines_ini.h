// Machine descriptions from "machines.ini": the byte layouts of the machines a song may hold.
// Records 0..10 have fixed roles; the rest describe further machines songs may contain.
#pragma once

#include <cstdint>
#include <string>

// A machine's global and track byte counts are 0..255 each (the shipped generators use at most 20
// together; machines of real songs use more, e.g. 38 global and 9 track bytes).
constexpr int machine_max_bytes = 255;
constexpr int machine_bytes_area = 2 * machine_max_bytes; // init_bytes / empty_bytes: global, then track bytes

struct MachineDescription {
    char dll_name[64] = {};   // library name as stored in songs (matched case-insensitively)
    int type = 0;             // 0 master, 1 generator, 2 effect
    int global_bytes = 0;     // bytes of the global state and of one global row
    int track_bytes = 0;      // bytes of one track's state and of one track row
    int note_byte = 0;        // type 1: 1-based position of the note in a track row
    int wave_byte = 0;        // type 1: 1-based position of the wave
    int volume_byte = 0;      // type 1: 1-based position of the volume
    int max_tracks = 0;       // type 1: most tracks the machine allows
    int attribute_count = 0;  // type 1
    int attributes_read = 0;  // type 1: count from the first colon line
    char short_name[20] = {}; // type 1: name for new instances
    uint8_t init_bytes[machine_bytes_area] = {};  // global_bytes bytes, then track_bytes bytes
    uint8_t empty_bytes[machine_bytes_area] = {}; // same layout; lists shorter than the counts end in 0
};

// Fixed record indexes.
enum MachineRole {
    role_master = 0, role_tracker = 1, role_primifun = 2, role_organ = 3, role_omega1 = 4,
    role_plucked = 5, role_bass = 6, role_bass2 = 7, role_es9 = 8, role_vmidiout = 9, role_bass3 = 10,
};
constexpr int fixed_machine_records = 11;

// The descriptions a job loaded. Each job has its own table; its records live in the job's pool.
struct MachineTable {
    MachineDescription* machine_descriptions = nullptr; // pool memory, valid for one job
    int machine_description_count = 0;
    std::string machines_ini_path = "machines.ini";     // where the loader looks
};

struct Log;
struct Pool;

// Loads the descriptions into `mt` from the job's pool, logging the version line; false when the
// file cannot be opened (the table is left empty).
bool load_machine_descriptions(MachineTable& mt, Pool& pool, Log& log);
// Ends the job: machines.ini gives no generator for the target `dopfun` (its record dopfun + 1 is
// missing, no generator, or of unusable byte counts). The log shows `text`; the failure names
// machines.ini and the record.
[[noreturn]] void no_target_generator(const MachineTable& mt, int dopfun, const char* text);
// Empties the table (the pool sweep releases its memory).
void machine_descriptions_reset(MachineTable& mt);
// Record by index, or nullptr when the table does not hold it.
const MachineDescription* machine_description(const MachineTable& mt, int index);
// First record whose dll_name equals name case-insensitively, or -1.
int find_machine_description(const MachineTable& mt, const char* dll_name);
// Buzz note transposed by semitones; 0 and 255 unchanged; a note beyond the byte's range (C-0 to
// B-15) becomes the lowest note, counted in *out_of_range when given.
uint8_t transpose_note(uint8_t note, int semitones, int* out_of_range = nullptr);
