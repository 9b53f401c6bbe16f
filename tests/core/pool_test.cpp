// Tracked pool: accounting, chunk numbering, the consistency walk, the sweep and the
// out-of-memory report.
#include "support/test_support.h"

#include <cstdlib>
#include <string>

#include "core/job_runner.h"
#include "core/pool.h"

namespace {

class TrackedPool : public kxtest::WorkDirTest {
protected:
    void SetUp() override
    {
        WorkDirTest::SetUp();
        log_state.window = &win;
    }
    void TearDown() override
    {
        pool.sys_alloc = nullptr;
        pool.sys_free = nullptr;
        WorkDirTest::TearDown();
    }
    kxtest::FakeWindow win;
};

TEST_F(TrackedPool, AccountingAndNumbering)
{
    pool_alloc(100);
    pool_alloc(200);
    void* last = pool_alloc(300);
    EXPECT_EQ(pool.total, 648);
    EXPECT_EQ(pool.count, 3);
    ASSERT_NE(pool.head, nullptr);
    EXPECT_EQ(pool.head->block, last);
    EXPECT_EQ(pool.head->number, 3);
    EXPECT_EQ(pool.head->next->number, 2);
    EXPECT_EQ(pool.head->next->next->number, 1);
    EXPECT_EQ(pool.head->next->next->size, 100u);
    EXPECT_TRUE(run_guarded(pool_check));
    pool_free_all();
    EXPECT_EQ(pool.head, nullptr);
    EXPECT_EQ(pool.total, 0);
    EXPECT_EQ(pool.count, 0);
    EXPECT_EQ(win.text, ""); // no trace without mem_trace
}

TEST_F(TrackedPool, ZeroByteRequest)
{
    EXPECT_NE(pool_alloc(0), nullptr);
    EXPECT_EQ(pool.total, 16);
    EXPECT_EQ(pool.head->size, 0u);
    EXPECT_TRUE(run_guarded(pool_check));
}

TEST_F(TrackedPool, TraceLines)
{
    pool.mem_trace = true;
    pool_free_all(); // empty pool: still both lines
    EXPECT_EQ(win.text, "Memory ok(chunks: 0)\nFreeing all allocated memory (0 bytes)\n");
    win.text.clear();
    pool_alloc(10);
    pool_check();
    pool_free_all();
    EXPECT_EQ(win.text, "Memory ok(chunks: 1)\nMemory ok(chunks: 1)\n"
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

TEST_F(TrackedPool, CorruptTotalIsReportedAfterTheWalk)
{
    pool_alloc(5);
    pool.total += 1;
    EXPECT_FALSE(run_guarded(pool_check));
    EXPECT_EQ(win.text, "\nMemory corrupt(chunk 0 of 1)!!!");
    pool.total -= 1;
}

TEST_F(TrackedPool, NumbersWrapWithTheCount)
{
    pool.count = 65534; // as if the job had already made that many chunks (not in the list)
    pool_alloc(1);
    pool_alloc(1);
    EXPECT_EQ(pool.count, 0);
    EXPECT_EQ(pool.head->number, 0);
    EXPECT_EQ(pool.head->next->number, 65535);
    // The walk starts at the wrapped count and wraps with it: 0, then 65535.
    EXPECT_TRUE(run_guarded(pool_check));
}

// The system heap refuses the block: the record stays without a block, the report names the
// total including the new record, and the sweep still releases everything.
void* refuse_big(size_t n) { return n > 1000 ? nullptr : std::malloc(n); }
void* refuse_all(size_t) { return nullptr; }

TEST_F(TrackedPool, OutOfMemoryForTheBlock)
{
    pool.sys_alloc = refuse_big;
    pool_alloc(100);
    EXPECT_FALSE(run_guarded([] { pool_alloc(5000); }));
    EXPECT_EQ(win.text, "Out of Memory(allocated 132, failed to allocate 5000)");
    EXPECT_EQ(pool.count, 2);
    EXPECT_EQ(pool.head->block, nullptr);
    EXPECT_EQ(pool.head->size, 0u);
    EXPECT_TRUE(run_guarded(pool_check));
    pool_free_all();
    EXPECT_EQ(pool.total, 0);
    EXPECT_EQ(pool.count, 0);
}

TEST_F(TrackedPool, OutOfMemoryForTheRecord)
{
    pool.sys_alloc = refuse_all;
    EXPECT_FALSE(run_guarded([] { pool_alloc(10); }));
    EXPECT_EQ(win.text, "Out of Memory(allocated 0, failed to allocate 16)");
    EXPECT_EQ(pool.count, 0);
}

// A size that would carry the 32-bit total past its range is refused instead of wrapping the
// accounting; pool_array refuses element counts whose byte size overflows.
TEST_F(TrackedPool, HugeRequestsAreRefused)
{
    EXPECT_FALSE(run_guarded([] { pool_alloc(0xFFFFFFF0u); }));
    EXPECT_EQ(win.text, "Out of Memory(allocated 16, failed to allocate 4294967280)");
    win.text.clear();
    EXPECT_FALSE(run_guarded([] { pool_array<uint32_t>(size_t(1) << 62); }));
    EXPECT_EQ(win.text.rfind("Out of Memory(allocated 32, failed to allocate ", 0), 0u);
    EXPECT_TRUE(run_guarded(pool_check));
    EXPECT_EQ(pool.total, 32);
}

TEST_F(TrackedPool, ArrayIsValueInitialised)
{
    struct Rec {
        int a;
        uint8_t b[3];
    };
    Rec* r = pool_array<Rec>(50);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(r[i].a, 0);
        EXPECT_EQ(r[i].b[2], 0);
    }
    EXPECT_EQ(pool.total, int32_t(16 + 50 * sizeof(Rec)));
}

} // namespace
