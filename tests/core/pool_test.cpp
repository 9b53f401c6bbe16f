// Tracked pool: the consistency walk, the sweep and the out-of-memory report.
#include "support/test_support.h"

#include <cstdlib>

#include "core/pool.h"
#include "jobs/job_runner.h"

namespace {

using TrackedPool = kxtest::LogWindowTest;

// A broken chunk number is reported (forced through, with no "Error:" line of its own); the sweep
// then reports it again and keeps every block instead of raising.
TEST_F(TrackedPool, CorruptNumberIsReported)
{
    pool_alloc(pool, 1);
    pool_alloc(pool, 2);
    pool_alloc(pool, 3);
    pool.head->next->number = 7; // the walk expects 2 there
    log.log_enabled = 0;
    EXPECT_FALSE(run_guarded(log, [&] { pool_check(pool); }));
    pool_free_all(pool);
    EXPECT_EQ(win.text, "\nMemory corrupt(chunk 2 of 3)!!!\nMemory corrupt(chunk 2 of 3)!!!\n"
                        "internal memory error: conversion results may be wrong!");
    EXPECT_EQ(pool.count, 3);
    pool.head->next->number = 2; // mend it so the fixture's sweep can release the blocks
}

// The system heap: refuses 5000 bytes and hands out one dummy block for other large requests,
// so that the accounting can be driven to its limit without the memory.
char dummy_block[1];
void* heap_alloc(size_t n) { return n == 5000 ? nullptr : n > 1000 ? dummy_block : std::malloc(n); }
void heap_free(void* p)
{
    if (p != dummy_block) std::free(p);
}

// A refused block leaves its record without a block, the report names the total including the
// new record, and the sweep still releases everything. The total holds at most 2^31 - 1 bytes:
// a request past that is refused before the heap is asked, one that reaches it exactly is not.
TEST_F(TrackedPool, OutOfMemory)
{
    pool.sys_alloc = heap_alloc;
    pool.sys_free = heap_free;
    pool_alloc(pool, 100);
    EXPECT_FALSE(run_guarded(log, [&] { pool_alloc(pool, 5000); }));
    EXPECT_EQ(pool.head->block, nullptr);
    EXPECT_TRUE(run_guarded(log, [&] { pool_check(pool); }));
    EXPECT_FALSE(run_guarded(log, [&] { pool_array<uint32_t>(pool, size_t(1) << 62); }));
    pool_free_all(pool);
    EXPECT_FALSE(run_guarded(log, [&] { pool_alloc(pool, INT32_MAX - 15); }));
    EXPECT_TRUE(run_guarded(log, [&] { pool_alloc(pool, INT32_MAX - 32); }));
    EXPECT_EQ(pool.total, INT32_MAX);
    EXPECT_EQ(win.text, "Out of Memory(allocated 132, failed to allocate 5000)"
                        "Out of Memory(allocated 148, failed to allocate 9223372036854775807)"
                        "Out of Memory(allocated 16, failed to allocate 2147483632)");
}

} // namespace
