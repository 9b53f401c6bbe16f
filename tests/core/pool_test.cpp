// Tracked pool: accounting, chunk numbering, the consistency walk, the sweep and the
// out-of-memory report.
#include "support/test_support.h"

#include <cstdlib>

#include "core/pool.h"
#include "jobs/job_runner.h"

namespace {

class TrackedPool : public kxtest::WorkDirTest {
protected:
    void SetUp() override
    {
        WorkDirTest::SetUp();
        log_state.window = &win;
    }
    kxtest::FakeWindow win;
};

TEST_F(TrackedPool, AccountingAndNumbering)
{
    pool_alloc(100);
    pool_alloc(200);
    pool_alloc(300);
    EXPECT_EQ(pool.total, 648);
    EXPECT_EQ(pool.head->number, 3);
    EXPECT_EQ(pool.head->next->number, 2);
    EXPECT_EQ(pool.head->next->next->number, 1);
    EXPECT_TRUE(run_guarded(pool_check));
    pool_free_all();
    EXPECT_EQ(pool.head, nullptr);
    EXPECT_EQ(pool.total, 0);
    EXPECT_EQ(win.text, ""); // no trace without mem_trace

    EXPECT_NE(pool_alloc(0), nullptr); // a 0-byte request still gets its record
    EXPECT_EQ(pool.total, 16);
    uint32_t* zeros = pool_array<uint32_t>(4);
    EXPECT_EQ(zeros[0] | zeros[3], 0u);
    EXPECT_TRUE(run_guarded(pool_check));
}

TEST_F(TrackedPool, TraceLinesEvenForAnEmptyPool)
{
    pool.mem_trace = true;
    pool_free_all();
    pool_alloc(10);
    pool_check();
    pool_free_all();
    EXPECT_EQ(win.text, "Memory ok(chunks: 0)\nFreeing all allocated memory (0 bytes)\n"
                        "Memory ok(chunks: 1)\nMemory ok(chunks: 1)\n"
                        "Freeing all allocated memory (26 bytes)\n");
}

TEST_F(TrackedPool, CorruptNumberIsReported)
{
    pool_alloc(1);
    pool_alloc(2);
    pool_alloc(3);
    pool.head->next->number = 7; // the walk expects 2 there
    log_state.log_enabled = 0;   // the report is forced through
    EXPECT_FALSE(run_guarded(pool_check));
    EXPECT_EQ(win.text, "\nMemory corrupt(chunk 2 of 3)!!!"); // no "Error:" line of its own
    win.text.clear();
    pool_free_all(); // reports and keeps everything, without raising
    EXPECT_EQ(win.text, "\nMemory corrupt(chunk 2 of 3)!!!\ninternal memory error: conversion "
                        "results may be wrong!");
    EXPECT_EQ(pool.count, 3);
    pool.head->next->number = 2; // mend it so the fixture's sweep can release the blocks
}

TEST_F(TrackedPool, NumbersWrapWithTheCount)
{
    pool.count = 65534; // as if the job had already made that many chunks (not in the list)
    pool_alloc(1);
    pool_alloc(1);
    EXPECT_EQ(pool.head->number, 0);
    EXPECT_EQ(pool.head->next->number, 65535);
    EXPECT_TRUE(run_guarded(pool_check));
}

// The system heap refuses the block: the record stays without a block, the report names the
// total including the new record, and the sweep still releases everything. Sizes that would
// carry the 32-bit total past its range are refused instead of wrapping the accounting.
void* refuse_big(size_t n) { return n > 1000 ? nullptr : std::malloc(n); }

TEST_F(TrackedPool, OutOfMemory)
{
    pool.sys_alloc = refuse_big;
    pool_alloc(100);
    EXPECT_FALSE(run_guarded([] { pool_alloc(5000); }));
    EXPECT_EQ(win.text, "Out of Memory(allocated 132, failed to allocate 5000)");
    EXPECT_EQ(pool.head->block, nullptr);
    EXPECT_TRUE(run_guarded(pool_check));
    win.text.clear();
    EXPECT_FALSE(run_guarded([] { pool_alloc(0xFFFFFFF0u); }));
    EXPECT_EQ(win.text, "Out of Memory(allocated 148, failed to allocate 4294967280)");
    EXPECT_FALSE(run_guarded([] { pool_array<uint32_t>(size_t(1) << 62); }));
    pool_free_all();
    EXPECT_EQ(pool.total, 0);
    EXPECT_EQ(pool.count, 0);
}

} // namespace
