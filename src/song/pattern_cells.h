// The track rows of one pattern of one machine: held whole (PatternData::data, track t row r at
// (t * lines + r) * track_row_bytes), or held sparse, where only the rows a cell was written to
// are kept and every other row is the machine's empty row. A split by instrument gives every
// instrument a machine with a track for each channel it plays on, so a module whose patterns
// fill 5 MB becomes 70 MB of Buzz track rows, nearly all of them empty: those are held sparse and
// spelled out one pattern at a time, while the song is written.
//
// A row is kept as an entry: its position (row * track_count + track, 4 bytes in host byte
// order) and its track_row_bytes bytes. Entries are packed into chunks from the job's pool in
// the order they were written; a write to the position written last replaces that entry. Cells
// come row by row, so the entries are nearly always in rising position order already; a pattern
// whose entries are not (or hold an empty row) is put in order once by settle_track_rows.
// Positions stay below 2^32: the layout allows at most 256 MB of pattern rows per song.
#pragma once

#include <cstdint>

#include "core/pool.h"
#include "song/song.h"

struct CellChunk {
    CellChunk* next = nullptr;
    uint32_t used = 0;     // bytes of entries
    uint32_t capacity = 0; // bytes of entries the chunk has room for (they follow the header)
    uint8_t* entries() { return reinterpret_cast<uint8_t*>(this + 1); }
    const uint8_t* entries() const { return reinterpret_cast<const uint8_t*>(this + 1); }
};

// Where row `row` of track `track` of a pattern of m sits.
inline uint32_t track_row_position(const MachineRecord& m, int track, int row)
{
    return uint32_t(row) * uint32_t(m.track_count) + uint32_t(track);
}

// Writes one track row (m.track_row_bytes bytes) at `position` of pattern tp of machine m,
// held sparse.
void put_track_row(Pool& pool, const MachineRecord& m, PatternData& tp, uint32_t position, const uint8_t* row);

// Puts the entries in rising position order, keeps the last one written of each position and
// drops those equal to the empty row: two patterns of m with the same lines then hold the same
// rows exactly when their entries are the same.
void settle_track_rows(const MachineRecord& m, PatternData& tp);

// The duplicate search's hash of n bytes of rows. Equal hashes are only a hint: the rows decide.
uint32_t rows_hash(const uint8_t* data, size_t n);
// Hash of a pattern's track rows (settled when held sparse), and whether two patterns of m with
// `lines` rows hold the same track rows (both held whole, or both sparse and settled).
uint32_t track_rows_hash(const MachineRecord& m, const PatternData& tp, int lines);
bool same_track_rows(const MachineRecord& m, const PatternData& a, const PatternData& b, int lines);

// Spells out the track rows of a pattern of `lines` rows into out: track t row r at
// (t * lines + r) * track_row_bytes, track_count * lines rows in all.
void expand_track_rows(const MachineRecord& m, const PatternData& tp, int lines, uint8_t* out);
