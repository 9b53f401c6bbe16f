// Tracked memory pool: every block of song data a job needs comes from its pool and is released
// in one sweep at the end of the job. Each job has its own pool, so two jobs never share one.
// Each chunk is accounted as 16 bytes of overhead plus the size asked for; chunk numbers are
// 16-bit and wrap with the chunk count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>

struct MemChunk {
    void* block;       // the caller's block, null until obtained
    uint16_t number;   // chunk count just after this chunk was counted (1 = first of the job)
    uint32_t size;     // bytes asked for, 0 until the block was obtained
    MemChunk* next;    // the chunk allocated before this one
};

constexpr int32_t pool_chunk_overhead = 16; // bytes accounted per chunk record

struct Log;
struct JobCancel;

struct Pool {
    explicit Pool(Log& job_log) : log(job_log) {}
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;
    // Whatever a job left behind (a test that never swept) is released without a word.
    ~Pool();

    MemChunk* head = nullptr;  // newest chunk
    int32_t total = 0;         // sum over the chunks of 16 + size
    uint16_t count = 0;        // chunks in the list (wraps at 65536)
    bool mem_trace = false;    // write the "ok" and "freeing" lines (verbose > 1 in kestrix.ini)
    Log& log;                  // the job's log: the out-of-memory and trace reports
    JobCancel* cancel = nullptr; // the job's kill request, checked at every allocation; null: none
    // The system heap; tests swap these to provoke the out-of-memory path.
    void* (*sys_alloc)(size_t) = nullptr;
    void (*sys_free)(void*) = nullptr;
};

// Returns a new uninitialised block; never returns null (a failure ends the job). A request that
// would carry the byte total past 2^31 - 1 is refused as out of memory.
void* pool_alloc(Pool& pool, uint32_t size);
// Verifies the bookkeeping; returns only when it is intact.
void pool_check(Pool& pool);
// Releases every block; reports corrupt bookkeeping without raising.
void pool_free_all(Pool& pool);

// Counts a chunk whose block is refused and ends the job with the out-of-memory report.
[[noreturn]] void pool_alloc_refused(Pool& pool, size_t size);

// n value-initialised elements of T from the pool. A request whose byte size does not fit the
// pool's 32-bit accounting is refused like any other failed allocation.
template <class T>
T* pool_array(Pool& pool, size_t n)
{
    static_assert(std::is_trivially_destructible_v<T>, "pool memory is never destructed");
    constexpr size_t limit = size_t(std::numeric_limits<int32_t>::max());
    if (n > limit / sizeof(T))
        pool_alloc_refused(pool, n > SIZE_MAX / sizeof(T) ? SIZE_MAX : n * sizeof(T));
    T* a = static_cast<T*>(pool_alloc(pool, uint32_t(n * sizeof(T))));
    for (size_t i = 0; i < n; ++i) new (a + i) T();
    return a;
}
