// The in-memory song of one conversion: the module half (what the input said) and the Buzz half
// (what will be written). It belongs to its Conversion (song/conversion.h); every table comes from
// the job's pool and lives until the job's sweep.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/byteio.h"

constexpr int max_module_patterns = 256; // patterns a module's order table can name (a byte each)
constexpr int order_list_size = 256;  // entries of a module's order_list
constexpr int wave_map_size = 256;    // entries of wave_map
constexpr int envelope_max_points = 12;

// The Master's pattern rows and the bound of a song's layout.
constexpr int master_track_row_bytes = 4;  // amplitude word, panning word
constexpr int master_global_row_bytes = 5; // volume word, BPM word, ticks-per-beat byte
constexpr int64_t max_pattern_bytes = int64_t(256) << 20; // pattern data of all machines: a song
                                                          // beyond it cannot be a real module

// The kinds of input a conversion takes (the recognisers are in convert/input_formats.h).
enum class InputKind : uint8_t {
    none,         // no known extension and no signature: read as a module
    xm,
    mod,
    s3m,
    it,
    other_module, // another format mod2xm reads (MTM, 669, MED, OKT, ...)
    midi,         // a Standard MIDI File
    xi,           // one XI instrument
    buzz_song,    // a BMX or BMW song, only listed
};

// How a sample's stored data becomes the 16-bit values of the song's WAVE data.
enum WaveCoding : uint8_t {
    coding_delta8 = 0,  // XM/XI 8-bit: delta-coded bytes, each running value times 256
    coding_delta16 = 1, // XM/XI 16-bit: delta-coded little-endian words
    coding_signed8 = 2, // MOD: plain signed bytes, each times 256
    coding_pcm16 = 3,   // SoundFont: plain signed little-endian words
    coding_mix16 = 4,   // SoundFont stereo pair: two runs of plain words (data_offset, mix_offset), averaged
};

struct SampleRecord {
    int length = 0;          // bytes of sample data (frames after a placeholder: 1)
    int loop_start = 0;      // bytes
    int loop_length = 0;     // bytes
    uint8_t type = 0;        // XM sample type: bit 4 = 16-bit data, bits 0-1 = loop kind
    uint8_t is_16bit = 0;
    uint8_t odd_length = 0;  // 1 when length is odd
    uint8_t is_looping = 0;
    int root_note = 97;      // first note (1..96) the key map gives this sample; 97 = none
    int relative_note = 0;   // signed semitones
    int finetune = 0;        // signed; MOD finetune * 16
    int volume = 0;          // 0..64
    // Its part of the WAVE data, laid out by the reading pass that converts the waves: data_values
    // values decoded from the wave source at data_offset, or, for a sample without data (a
    // placeholder, a generator target, a sample the file ended before), one zero value.
    int64_t data_offset = 0;  // file position of the stored data
    uint32_t data_values = 0; // values: bytes of 8-bit data, words of 16-bit data
    uint8_t data_zero = 0;    // 1: one zero value
    uint8_t coding = coding_delta8;
    int64_t mix_offset = 0;   // coding_mix16: file position of the other channel's data
};

struct InstrumentRecord {
    char name[24] = {};      // up to 23 characters, NUL-terminated
    int sample_count = 0;
    int is_empty = 0;        // an empty instrument turned into a one-sample placeholder
    int wave_number = 0;     // 1-based output wave, 0 = none
    int header_size = 0;     // XM instrument header size as read
    int wave_bytes = 0;      // bytes of converted wave data counted for it
    int wave_entry = 0;      // 1: it has an entry in the WAVE data
    int wave_index = 0;      // the entry's wave index word
    int wave_entry_bytes = 0; // the data byte count the entry declares (counted in the first pass)
    int wave_source = 0;     // where its data is read: 0 the conversion's input, k song.wave_sources[k - 1]
    int envelope_points = 0; // volume envelope: number of points (kept when below 13)
    int envelope_sustain = 0;
    int envelope_type = 0;   // bit 0 on, bit 1 sustain
    uint16_t envelope_x[envelope_max_points] = {}; // ticks
    uint16_t envelope_y[envelope_max_points] = {}; // 0..64
    uint16_t fadeout = 0;
    uint8_t* track_map = nullptr; // dotsplit 2: per input channel, 0 = not played, k = track k
    int track_count = 0;          // dotsplit 2: tracks of its machine
    int machine = 0;              // dotsplit 2: machine that plays it
    int machine_instrument = 0;   // in record m - 1: the instrument machine m plays
    SampleRecord* samples = nullptr;
    const char* xi_file = nullptr; // BMW: the XI file it was exported as, when exported
};

struct OrderEntry {
    int pattern = 0;
    int start_row = 0; // row at which the pattern starts playing here
};

struct PatternInfo {
    int lines = 0;      // rows
    int play_lines = 0; // rows played: lines, or break row + 1
    int start_row = 0;  // target row of breaks into this pattern, 0 = none
    int reserved[3] = {};
};

struct CellChunk; // song/pattern_cells.h

// Where the chunks of sparse track rows are carved from: the rest of the last slab taken from
// the pool.
struct CellSpace {
    uint8_t* next = nullptr;
    size_t left = 0; // bytes
    size_t slab = 0; // bytes of the last slab
};

// One pattern of one machine. Global rows are held whole (data); track rows are held sparse
// (song/pattern_cells.h): only the rows a cell was written to, every other row is the machine's
// empty row.
struct PatternData {
    int number = 0;          // 0 unused; k + 1 written as pattern k (a duplicate names an earlier one)
    uint32_t checksum = 0;   // hash of the rows (the duplicate search)
    uint8_t* data = nullptr; // global rows: row r at r * global_row_bytes
    CellChunk* first_chunk = nullptr; // track rows written, in the order written
    CellChunk* last_chunk = nullptr;
    uint32_t cell_count = 0;    // track rows held
    uint32_t last_position = 0; // position of the row written last
    uint8_t cells_settled = 1;  // 1: rows in rising position order, one per position, none empty
};

struct MachineRecord {
    int kind = 0;            // 0 Master, 1 generator
    int track_row_bytes = 0;
    const uint8_t* empty_row = nullptr; // track_row_bytes bytes: a track row without a cell
    PatternData* track_patterns = nullptr;  // one per pattern
    int global_row_bytes = 0;
    PatternData* global_patterns = nullptr; // Master and machine 1 only
    int track_count = 0;
    int patterns_written = 0;       // kept by the writer
    int plain_patterns_written = 0;
    int sequence_event_count = 0;
    int patterns_left_out = 0;      // beyond the patterns a sequence can name
};

// frequency_mode values
enum FrequencyMode { freq_mod_period = 0, freq_xm_amiga = 1, freq_xm_linear = 2, freq_midi = 3 };

struct Song {
    // --- module half ---
    InstrumentRecord* instrument_table = nullptr;
    int* wave_map = nullptr;         // wave_map_size entries: input instrument -> output wave
    int wave_count = 32;
    OrderEntry* order_list = nullptr; // order_list_room entries
    int order_list_room = order_list_size;
    int song_length = 33;
    int offset_pattern_count = 0;
    int duplicates_removed = 0;
    int pattern_count = 33;
    PatternInfo* pattern_table = nullptr;
    int channel_count = 4;
    int instrument_count = 31;
    int frequency_mode = 0;
    int speed = 6, start_speed = 6; // ticks per row: running value, and the input's own
    int bpm = 125, start_bpm = 125;
    float tempo = 0.0f;             // BPM computed by speed/tempo effects (MIDI: minutes per tick)
    char song_name[24] = {};        // module name (20 characters)

    InputKind input_kind = InputKind::none;    // what the conversion was given (name and content)
    InputKind module_format = InputKind::none; // the module the reader read: xm or mod
    int write_output = 1;           // write an output file
    int write_xi = 0;               // dowave 1: export XI files

    int channel_limit = 0;          // 0 = none (MIDI through the outside converter)
    int tpb_base = 4, tpb_factor = 1; // Master's ticks per beat = base * factor
    int rows_per_beat = 4;
    int tracks_per_generator = 8;

    std::string converter_input; // the name the conversion was given (kept for BLAH)
    std::string current_input;   // what is actually opened

    // reading passes
    int pass_number = 0;            // 0 first pass, 1 second pass
    int counting_pass = 0;          // dotsplit 2 additional pass
    int ended_early = 0;            // 1: a reader met the end of the file before the data it expected
    int notes_out_of_range = 0;     // notes that convert_note moved into the note byte's range

    // WAVE data: the count word its reading pass gave it (-1: no pass laid it out), and the
    // instrument files besides the conversion's input that its samples are read from (the XI
    // slots of a MIDI conversion), open until the song is written.
    int wave_data_count = -1;
    std::vector<File> wave_sources;

    // --- Buzz half ---
    MachineRecord* machine_table = nullptr;
    int machine_count = 2;
    int cur_machine = 0, cur_pattern = 0, cur_row = 0, cur_track = 0, cur_channel = 0;
    uint8_t* channel_instrument = nullptr;       // per input channel: current instrument
    uint8_t* pattern_channel_instrument = nullptr; // dotsplit 2: [pattern * channel_count + channel]
    CellSpace cell_space;                          // chunks of the track rows held sparse
    // What the written song holds, once it is written: the rows its sequences play (SEQU's song
    // end) and the entries of its wave table.
    int song_rows = 0;
    int waves_written = 0;
};

// The module the song names as its input: what is actually opened, else the name given.
inline const std::string& song_input_name(const Song& s) { return s.current_input.empty() ? s.converter_input : s.current_input; }

// Input note -> Buzz note byte (octave high nibble, semitone 1..12 low nibble) by the song's
// frequency_mode, transposed by `transpo` semitones. A note beyond the byte's range (C-0 to B-15)
// becomes the nearest end of it, counted in song.notes_out_of_range. Does not handle the XM
// key-off (the caller maps 97 to 255).
uint8_t convert_note(Song& song, int transpo, int note);
// Note number (0 = C-0) of a MOD period.
int mod_period_note(int period);

// Keeps a sample's loop within its data; a loop of `shortest` bytes or less is no loop.
void clip_sample_loop(SampleRecord& s, int shortest);

// Closes the instrument files the WAVE data would be read from and forgets them.
void close_wave_sources(Song& song);
