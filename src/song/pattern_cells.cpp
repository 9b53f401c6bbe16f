// Sparse track rows of a pattern: entries of position and row bytes in pool chunks.
#include "song/pattern_cells.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr uint32_t first_chunk_entries = 16;
constexpr uint32_t largest_chunk_bytes = 4096; // a chunk grows to this, so a pattern wastes at most one

size_t row_bytes(const MachineRecord& m) { return m.track_row_bytes > 0 ? size_t(m.track_row_bytes) : 0; }
size_t entry_bytes(const MachineRecord& m) { return sizeof(uint32_t) + row_bytes(m); }

uint32_t entry_position(const uint8_t* e)
{
    uint32_t p;
    std::memcpy(&p, e, sizeof p);
    return p;
}

bool is_empty_row(const MachineRecord& m, const uint8_t* row)
{
    return !m.empty_row || std::memcmp(row, m.empty_row, row_bytes(m)) == 0;
}

// Room for one more entry at the end of the pattern's last chunk.
uint8_t* new_entry(Pool& pool, PatternData& tp, size_t size)
{
    CellChunk* last = tp.last_chunk;
    if (!last || last->capacity - last->used < size) {
        uint32_t capacity = uint32_t(size) * first_chunk_entries;
        if (last) capacity = std::max(std::min(last->capacity * 2, largest_chunk_bytes) / uint32_t(size), 1u) * uint32_t(size);
        auto* chunk = static_cast<CellChunk*>(pool_alloc(pool, uint32_t(sizeof(CellChunk) + capacity)));
        new (chunk) CellChunk();
        chunk->capacity = capacity;
        if (last)
            last->next = chunk;
        else
            tp.first_chunk = chunk;
        tp.last_chunk = last = chunk;
    }
    uint8_t* e = last->entries() + last->used;
    last->used += uint32_t(size);
    return e;
}

// Walks the entries of a pattern in the order they are held.
struct EntryCursor {
    const CellChunk* chunk;
    uint32_t at = 0;
    explicit EntryCursor(const PatternData& tp) : chunk(tp.first_chunk) { skip_spent(); }
    void skip_spent()
    {
        while (chunk && at >= chunk->used) {
            chunk = chunk->next;
            at = 0;
        }
    }
    const uint8_t* get() const { return chunk ? chunk->entries() + at : nullptr; }
    void next(size_t size)
    {
        at += uint32_t(size);
        skip_spent();
    }
};

void mix(uint64_t& h, uint64_t w)
{
    h = (h ^ w) * 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
}

} // namespace

void put_track_row(Pool& pool, const MachineRecord& m, PatternData& tp, uint32_t position, const uint8_t* row)
{
    const size_t rb = row_bytes(m), size = entry_bytes(m);
    const bool empty = is_empty_row(m, row);
    if (tp.cell_count && position == tp.last_position) {
        // The last entry ends the last chunk: replaced in place.
        std::memcpy(tp.last_chunk->entries() + tp.last_chunk->used - size + sizeof(uint32_t), row, rb);
        if (empty) tp.cells_settled = 0;
        return;
    }
    if (tp.cell_count && position < tp.last_position) {
        tp.cells_settled = 0;
    } else if (empty && tp.cells_settled) {
        return; // no entry holds this position: it is empty already
    }
    uint8_t* e = new_entry(pool, tp, size);
    std::memcpy(e, &position, sizeof position);
    std::memcpy(e + sizeof position, row, rb);
    tp.last_position = position;
    ++tp.cell_count;
}

void settle_track_rows(const MachineRecord& m, PatternData& tp)
{
    if (tp.cells_settled) return;
    const size_t size = entry_bytes(m);
    std::vector<uint8_t> held;
    held.reserve(size_t(tp.cell_count) * size);
    for (EntryCursor e(tp); e.get(); e.next(size)) held.insert(held.end(), e.get(), e.get() + size);
    const size_t n = held.size() / size;
    std::vector<uint32_t> order(n);
    for (size_t i = 0; i < n; ++i) order[i] = uint32_t(i);
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        return entry_position(&held[a * size]) < entry_position(&held[b * size]);
    });

    // Written back into the same chunks, which hold at least as many entries as are kept.
    CellChunk* chunk = tp.first_chunk;
    for (CellChunk* k = chunk; k; k = k->next) k->used = 0;
    tp.cell_count = 0;
    tp.last_position = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* e = &held[size_t(order[i]) * size];
        if (i + 1 < n && entry_position(&held[size_t(order[i + 1]) * size]) == entry_position(e)) continue;
        if (is_empty_row(m, e + sizeof(uint32_t))) continue;
        while (chunk->capacity - chunk->used < size) chunk = chunk->next;
        std::memcpy(chunk->entries() + chunk->used, e, size);
        chunk->used += uint32_t(size);
        tp.last_position = entry_position(e);
        ++tp.cell_count;
    }
    // New entries would follow the last one kept.
    tp.last_chunk = tp.cell_count ? chunk : tp.first_chunk;
    if (tp.last_chunk) tp.last_chunk->next = nullptr;
    tp.cells_settled = 1;
}

uint32_t track_rows_hash(const MachineRecord& m, const PatternData& tp)
{
    const size_t rb = row_bytes(m), size = entry_bytes(m);
    uint64_t h = tp.cell_count;
    for (EntryCursor c(tp); c.get(); c.next(size)) {
        const uint8_t* e = c.get();
        // The position and the row's first four bytes in one word, the rest in words of eight.
        uint64_t w = entry_position(e);
        uint32_t head = 0;
        size_t k = std::min<size_t>(rb, 4);
        std::memcpy(&head, e + sizeof(uint32_t), k);
        mix(h, w | uint64_t(head) << 32);
        for (; k < rb; k += 8) {
            uint64_t rest = 0;
            std::memcpy(&rest, e + sizeof(uint32_t) + k, std::min<size_t>(rb - k, 8));
            mix(h, rest);
        }
    }
    return uint32_t(h ^ (h >> 32));
}

bool same_track_rows(const MachineRecord& m, const PatternData& a, const PatternData& b)
{
    if (a.cell_count != b.cell_count) return false;
    const size_t size = entry_bytes(m);
    EntryCursor x(a), y(b);
    for (; x.get() && y.get(); x.next(size), y.next(size))
        if (std::memcmp(x.get(), y.get(), size) != 0) return false;
    return !x.get() && !y.get();
}

void expand_track_rows(const MachineRecord& m, const PatternData& tp, int lines, uint8_t* out)
{
    const size_t rb = row_bytes(m), size = entry_bytes(m);
    const size_t tracks = m.track_count > 0 ? size_t(m.track_count) : 0;
    const size_t rows = tracks * size_t(lines > 0 ? lines : 0);
    if (rows == 0 || rb == 0) return;
    if (m.empty_row)
        std::memcpy(out, m.empty_row, rb);
    else
        std::memset(out, 0, rb);
    // Doubling copies: each copies every row filled so far.
    for (size_t filled = 1; filled < rows;) {
        const size_t n = std::min(filled, rows - filled);
        std::memcpy(out + filled * rb, out, n * rb);
        filled += n;
    }
    for (EntryCursor c(tp); c.get(); c.next(size)) {
        const uint32_t position = entry_position(c.get());
        const size_t track = position % tracks, row = position / tracks;
        if (row < size_t(lines)) std::memcpy(out + (track * size_t(lines) + row) * rb, c.get() + sizeof(uint32_t), rb);
    }
}
