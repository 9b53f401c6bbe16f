// Tracked memory pool: allocation with accounting, the consistency walk and the end-of-job sweep.
#include "core/pool.h"

#include <cstdint>
#include <cstdlib>

#include "core/log.h"

Pool pool;

namespace {

void* sys_alloc(size_t n) { return pool.sys_alloc ? pool.sys_alloc(n) : std::malloc(n ? n : 1); }
void sys_free(void* p)
{
    if (pool.sys_free)
        pool.sys_free(p);
    else
        std::free(p);
}

// The refused amount is printed in full (a long is only 32 bits on Windows).
[[noreturn]] void out_of_memory(long long failed)
{
    log_state.log_force = 1;
    log_print("Out of Memory(allocated %d, failed to allocate %lld)", int(pool.total), failed);
    job_abort(" ");
}

// The byte total is a signed 32-bit count. A request that would carry it past its range is
// refused like a failed allocation instead of wrapping the accounting: such a size comes from a
// broken file, and a wrapped total would make the walk report corruption for a healthy pool.
bool fits_total(uint64_t more) { return uint64_t(pool.total) + more <= uint64_t(INT32_MAX); }

// Walks the list; returns the expected number where the walk stopped, or -1 when intact.
int walk()
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

void report_corrupt(int expected)
{
    log_state.log_force = 1;
    log_print("\nMemory corrupt(chunk %d of %d)!!!", expected, int(pool.count));
}

} // namespace

namespace {
// Steps 1 and 2 of an allocation: the chunk record, counted and made the head.
MemChunk* new_chunk()
{
    MemChunk* c = fits_total(pool_chunk_overhead)
                      ? static_cast<MemChunk*>(sys_alloc(sizeof(MemChunk)))
                      : nullptr;
    if (!c) out_of_memory(pool_chunk_overhead);
    pool.total += pool_chunk_overhead;
    ++pool.count;
    *c = MemChunk{nullptr, pool.count, 0, pool.head};
    pool.head = c;
    return c;
}
} // namespace

void* pool_alloc(uint32_t size)
{
    job_check_cancel();
    MemChunk* c = new_chunk();
    void* b = fits_total(size) ? sys_alloc(size) : nullptr;
    if (!b) out_of_memory(size); // the record stays, with no block and size 0
    c->block = b;
    pool.total += int32_t(size);
    c->size = size;
    return b;
}

// A request too large for the accounting: counted as a chunk whose block failed.
void pool_alloc_refused(size_t size)
{
    new_chunk();
    out_of_memory(size > size_t(INT64_MAX) ? INT64_MAX : (long long)(size));
}

void pool_check()
{
    int expected = walk();
    if (expected >= 0) {
        report_corrupt(expected);
        job_abort(" ");
    }
    if (pool.mem_trace) log_print("Memory ok(chunks: %d)\n", int(pool.count));
}

void pool_free_all()
{
    int expected = walk();
    if (expected >= 0) {
        report_corrupt(expected);
        log_state.log_force = 1;
        log_print("\ninternal memory error: conversion results may be wrong!");
        return;
    }
    if (pool.mem_trace) {
        log_print("Memory ok(chunks: %d)\n", int(pool.count));
        log_print("Freeing all allocated memory (%d bytes)\n", int(pool.total));
    }
    while (pool.head) {
        MemChunk* c = pool.head;
        if (c->block) {
            sys_free(c->block);
            pool.total -= int32_t(c->size);
        }
        MemChunk* next = c->next;
        sys_free(c);
        pool.total -= pool_chunk_overhead;
        --pool.count;
        pool.head = next;
    }
    pool.head = nullptr;
    pool.total = 0;
    pool.count = 0;
}
