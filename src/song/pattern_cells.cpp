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

// A byte loop: rows are a few bytes, too short for a call to memcmp to pay.
bool is_empty_row(const MachineRecord& m, const uint8_t* row)
{
    if (!m.empty_row) return true;
    const size_t n = row_bytes(m);
    for (size_t i = 0; i < n; ++i)
        if (row[i] != m.empty_row[i]) return false;
    return true;
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

// The duplicate search's hash: four lanes of 64-bit words, each word mixed in by a
// multiplication and a shift (a bijection of the lane, so one changed byte always changes its
// lane), the lanes and the length folded into 32 bits at the end. The bytes come in pieces (the
// entries of one chunk after another); the hash depends only on the bytes, not on the pieces.
class RowHash {
public:
    void feed(const uint8_t* p, size_t n)
    {
        total_ += n;
        if (held_) {
            const size_t take = std::min(sizeof buffer_ - held_, n);
            std::memcpy(buffer_ + held_, p, take);
            held_ += take;
            p += take;
            n -= take;
            if (held_ < sizeof buffer_) return;
            block(buffer_);
            held_ = 0;
        }
        for (; n >= sizeof buffer_; p += sizeof buffer_, n -= sizeof buffer_) block(p);
        std::memcpy(buffer_, p, n);
        held_ = n;
    }
    uint32_t finish()
    {
        for (size_t i = 0, lane = 0; i < held_; i += 8, lane = (lane + 1) & 3) {
            uint64_t w = 0;
            std::memcpy(&w, buffer_ + i, std::min<size_t>(held_ - i, 8));
            mix(h_[lane], w);
        }
        uint64_t f = h_[0];
        mix(f, h_[1]);
        mix(f, h_[2]);
        mix(f, h_[3]);
        mix(f, total_);
        return uint32_t(f ^ (f >> 32));
    }

private:
    static void mix(uint64_t& lane, uint64_t w)
    {
        lane = (lane ^ w) * 0x9E3779B97F4A7C15ull;
        lane ^= lane >> 29;
    }
    void block(const uint8_t* p)
    {
        uint64_t w[4];
        std::memcpy(w, p, sizeof w);
        mix(h_[0], w[0]);
        mix(h_[1], w[1]);
        mix(h_[2], w[2]);
        mix(h_[3], w[3]);
    }
    uint64_t h_[4] = {0x452821E638D01377ull, 0x243F6A8885A308D3ull, 0x13198A2E03707344ull, 0xA4093822299F31D0ull};
    uint64_t total_ = 0;
    uint8_t buffer_[32] = {};
    size_t held_ = 0;
};

size_t block_bytes(const MachineRecord& m, int lines)
{
    return size_t(m.track_count > 0 ? m.track_count : 0) * size_t(lines > 0 ? lines : 0) * row_bytes(m);
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
    if (tp.cells_settled || tp.data) return;
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

uint32_t rows_hash(const uint8_t* data, size_t n)
{
    RowHash h;
    if (data) h.feed(data, n);
    return h.finish();
}

uint32_t track_rows_hash(const MachineRecord& m, const PatternData& tp, int lines)
{
    if (tp.data) return rows_hash(tp.data, block_bytes(m, lines));
    RowHash h;
    for (const CellChunk* k = tp.first_chunk; k; k = k->next) h.feed(k->entries(), k->used);
    return h.finish();
}

bool same_track_rows(const MachineRecord& m, const PatternData& a, const PatternData& b, int lines)
{
    if (a.data || b.data) {
        const size_t n = block_bytes(m, lines);
        return n == 0 || (a.data && b.data && std::memcmp(a.data, b.data, n) == 0);
    }
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
    if (tp.data) {
        std::memcpy(out, tp.data, rows * rb);
        return;
    }
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
