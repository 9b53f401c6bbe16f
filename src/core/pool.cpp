// Tracked memory pool: allocation with accounting, the consistency walk and the end-of-job sweep.
#include "core/pool.h"

#include <cstdint>
#include <cstdlib>

#include "core/log.h"

namespace {

void* sys_alloc(Pool& pool, size_t n) { return pool.sys_alloc ? pool.sys_alloc(n) : std::malloc(n ? n : 1); }
void sys_free(Pool& pool, void* p)
{
    if (pool.sys_free)
        pool.sys_free(p);
    else
        std::free(p);
}

// The refused amount is printed in full (a long is only 32 bits on Windows).
[[noreturn]] void out_of_memory(Pool& pool, long long failed)
{
    log_forced(pool.log, "Out of Memory(allocated %d, failed to allocate %lld)", int(pool.total), failed);
    job_abort(" ");
}

// The byte total is a signed 32-bit count. A request that would carry it past its range is
// refused like a failed allocation instead of wrapping the accounting: such a size comes from a
// broken file, and a wrapped total would make the walk report corruption for a healthy pool.
bool fits_total(const Pool& pool, uint64_t more) { return uint64_t(pool.total) + more <= uint64_t(INT32_MAX); }

// Walks the list; returns the expected number where the walk stopped, or -1 when intact.
int walk(const Pool& pool)
{
    uint16_t expected = pool.count;
    int64_t remaining = pool.total; // 64 bits: a corrupt size must not overflow the walk itself
    for (MemChunk* c = pool.head; c; c = c->next) {
        if (c->number != expected) return expected;
        remaining -= int64_t(c->size) + pool_chunk_overhead;
        --expected;
    }
    return remaining != 0 ? expected : -1;
}

void report_corrupt(Pool& pool, int expected)
{
    log_forced(pool.log, "\nMemory corrupt(chunk %d of %d)!!!", expected, int(pool.count));
}

// Steps 1 and 2 of an allocation: the chunk record, counted and made the head.
MemChunk* new_chunk(Pool& pool)
{
    MemChunk* c = fits_total(pool, pool_chunk_overhead)
                      ? static_cast<MemChunk*>(sys_alloc(pool, sizeof(MemChunk)))
                      : nullptr;
    if (!c) out_of_memory(pool, pool_chunk_overhead);
    pool.total += pool_chunk_overhead;
    ++pool.count;
    *c = MemChunk{nullptr, pool.count, 0, pool.head};
    pool.head = c;
    return c;
}

// Releases every chunk and block and empties the registry.
void release_all(Pool& pool)
{
    while (pool.head) {
        MemChunk* c = pool.head;
        if (c->block) {
            sys_free(pool, c->block);
            pool.total -= int32_t(c->size);
        }
        MemChunk* next = c->next;
        sys_free(pool, c);
        pool.total -= pool_chunk_overhead;
        --pool.count;
        pool.head = next;
    }
    pool.head = nullptr;
    pool.total = 0;
    pool.count = 0;
}

} // namespace

Pool::~Pool()
{
    // A corrupt list cannot be walked safely; its memory is left to the process.
    if (walk(*this) < 0) release_all(*this);
}

void* pool_alloc(Pool& pool, uint32_t size)
{
    job_check_cancel(pool.cancel);
    MemChunk* c = new_chunk(pool);
    void* b = fits_total(pool, size) ? sys_alloc(pool, size) : nullptr;
    if (!b) out_of_memory(pool, size); // the record stays, with no block and size 0
    c->block = b;
    pool.total += int32_t(size);
    c->size = size;
    return b;
}

// A request too large for the accounting: counted as a chunk whose block failed.
void pool_alloc_refused(Pool& pool, size_t size)
{
    new_chunk(pool);
    out_of_memory(pool, size > size_t(INT64_MAX) ? INT64_MAX : (long long)(size));
}

void pool_check(Pool& pool)
{
    int expected = walk(pool);
    if (expected >= 0) {
        report_corrupt(pool, expected);
        job_abort(" ");
    }
    if (pool.mem_trace) log_print(pool.log, "Memory ok(chunks: %d)\n", int(pool.count));
}

void pool_free_all(Pool& pool)
{
    int expected = walk(pool);
    if (expected >= 0) {
        report_corrupt(pool, expected);
        log_forced(pool.log, "\ninternal memory error: conversion results may be wrong!");
        return;
    }
    if (pool.mem_trace) {
        log_print(pool.log, "Memory ok(chunks: %d)\n", int(pool.count));
        log_print(pool.log, "Freeing all allocated memory (%d bytes)\n", int(pool.total));
    }
    release_all(pool);
}
