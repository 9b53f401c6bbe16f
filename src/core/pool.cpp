// Tracked memory pool: allocation with accounting, the consistency walk and the end-of-job sweep.
#include "core/pool.h"

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

[[noreturn]] void out_of_memory(long failed)
{
    log_state.log_force = 1;
    log_print("Out of Memory(allocated %d, failed to allocate %ld)", int(pool.total), failed);
    job_abort(" ");
}

// Walks the list; returns the expected number where the walk stopped, or -1 when intact.
int walk()
{
    uint16_t expected = pool.count;
    int32_t remaining = pool.total;
    for (MemChunk* c = pool.head; c; c = c->next) {
        if (c->number != expected) return expected;
        remaining -= int32_t(c->size) + pool_chunk_overhead;
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

void* pool_alloc(uint32_t size)
{
    auto* c = static_cast<MemChunk*>(sys_alloc(sizeof(MemChunk)));
    if (!c) out_of_memory(pool_chunk_overhead);
    pool.total += pool_chunk_overhead;
    ++pool.count;
    c->block = nullptr;
    c->size = 0;
    c->number = pool.count;
    c->next = pool.head;
    pool.head = c;
    void* b = sys_alloc(size);
    if (!b) out_of_memory(long(size));
    c->block = b;
    pool.total += int32_t(size);
    c->size = size;
    return b;
}

// A request too large for the accounting: counted as a chunk whose block failed.
void pool_alloc_refused(size_t size)
{
    auto* c = static_cast<MemChunk*>(sys_alloc(sizeof(MemChunk)));
    if (!c) out_of_memory(pool_chunk_overhead);
    pool.total += pool_chunk_overhead;
    ++pool.count;
    *c = MemChunk{nullptr, pool.count, 0, pool.head};
    pool.head = c;
    out_of_memory(long(size));
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
