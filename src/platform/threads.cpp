// Threads: the worker that runs a job beside the dialog, and the jobs of a batch.
#include "platform/platform.h"

#include <algorithm>
#include <cstddef>

#ifdef _WIN32
#include <process.h>
#include <windows.h>
#else
#include <pthread.h>
#include <time.h>
#endif

namespace platform {

namespace {
struct ThreadStart {
    void (*fn)(void*);
    void* arg;
};
#ifdef _WIN32
unsigned __stdcall thread_entry(void* p)
#else
void* thread_entry(void* p)
#endif
{
    ThreadStart start = *static_cast<ThreadStart*>(p);
    delete static_cast<ThreadStart*>(p);
    start.fn(start.arg);
#ifdef _WIN32
    return 0;
#else
    return nullptr;
#endif
}
} // namespace

bool start_thread(Thread& t, void (*fn)(void*), void* arg, unsigned stack_size)
{
    t = Thread{};
    auto* start = new ThreadStart{fn, arg};
#ifdef _WIN32
    uintptr_t h = _beginthreadex(nullptr, stack_size, &thread_entry, start, 0, nullptr);
    if (h == 0) {
        delete start;
        return false;
    }
    t.handle = reinterpret_cast<void*>(h);
#else
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, std::max<size_t>(stack_size, size_t(1) << 20));
    auto* id = new pthread_t;
    const int rc = pthread_create(id, &attr, &thread_entry, start);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete id;
        delete start;
        return false;
    }
    t.handle = id;
#endif
    t.started = true;
    return true;
}

bool join_thread(Thread& t, int timeout_ms)
{
    if (!t.started) return true;
#ifdef _WIN32
    HANDLE h = static_cast<HANDLE>(t.handle);
    if (WaitForSingleObject(h, timeout_ms < 0 ? INFINITE : DWORD(timeout_ms)) != WAIT_OBJECT_0)
        return false;
    CloseHandle(h);
#else
    auto* id = static_cast<pthread_t*>(t.handle);
    if (timeout_ms < 0) {
        pthread_join(*id, nullptr);
    } else {
        timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_sec += timeout_ms / 1000;
        until.tv_nsec += long(timeout_ms % 1000) * 1000000L;
        if (until.tv_nsec >= 1000000000L) {
            until.tv_sec += 1;
            until.tv_nsec -= 1000000000L;
        }
        if (pthread_timedjoin_np(*id, nullptr, &until) != 0) return false;
    }
    delete id;
#endif
    t = Thread{};
    return true;
}

} // namespace platform
