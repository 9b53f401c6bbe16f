// The interrupt handler and what it reaches: the process-wide registry of scratch files and of the
// outside programs running now, and the guard that keeps the handler out while they change.
#include "platform/interrupts.h"

#include "platform/names.h"
#include "platform/platform.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#endif

namespace platform {

namespace {
// The outside programs running now, for the interrupt handler to end them: a batch runs several
// jobs at once, and each may wait for a converter. A slot is free while its handle is null / 0.
// Process-wide because the handler reaches no job; ending one job goes through that job's own
// RunningProgram instead. One slot for each program that may run at once; a start that finds
// them all taken waits for one to be freed (g_child_freed).
std::atomic<ChildHandle> g_children[max_programs_at_once];
std::mutex g_child_wait;
std::condition_variable g_child_freed;
// Guarded sections (InterruptGuard) under way on any thread, and the interrupt handler's word that
// the process ends: the handler waits until no guarded section is under way, and a thread that
// then enters one waits there for the end. So every file and program made before the handler
// looks is registered, and none is made after it (the jobs of a batch run on several threads).
std::atomic<int> g_guarded{0};
std::atomic<bool> g_stopping{false};
#ifndef _WIN32
thread_local int g_guard_depth = 0; // guarded sections of this thread, one inside the other
#endif

// Registered files. The interrupt handler reads this registry: on POSIX it runs in the middle of
// whatever the program does, so it only follows pointers that are already there and calls unlink.
// Every change of a registration (with its file) happens inside an InterruptGuard, which the
// handler waits for (POSIX) or takes itself (Windows), so it never sees a change half made.
// A job registers its scratch files and, until it is done, the XI files and rips it gave new
// names (a BMW of 128 instruments: 128 of them), and a batch runs many jobs at once: the slots
// come in blocks, and a block is chained on when all are taken. A block stays for the process's
// life, so the chain the handler walks only ever grows. The first block is part of the program
// (zero pages until a file is registered).
constexpr int scratch_block_slots = 256;
struct ScratchBlock {
    std::atomic<char*> paths[scratch_block_slots] = {}; // a registered name (its own copy); null: free
    std::atomic<ScratchBlock*> next{nullptr};
};
constinit ScratchBlock g_scratch;
// What only the registering threads use, under g_scratch_change: the free slots below the
// highest ever used, every block in order, and where each registered name is.
struct ScratchIndex {
    std::vector<std::atomic<char*>*> free;
    std::vector<ScratchBlock*> blocks{&g_scratch};
    size_t used = 0; // slots handed out at least once, from the first block on
    std::unordered_multimap<std::string, std::atomic<char*>*> where;
};
std::mutex g_scratch_change;
ScratchIndex& scratch_index()
{
    static ScratchIndex index;
    return index;
}

// The signals that end the process after the registered files are removed.
#ifndef _WIN32
constexpr int interrupt_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};
#endif

// Keeps the interrupt handler out while a registration and its file change together: on POSIX
// by blocking the signals, on Windows (where the handler runs on a thread of its own) by a lock
// the handler takes too.
#ifdef _WIN32
std::recursive_mutex g_scratch_lock;
#endif
} // namespace

bool register_scratch(const char* path)
{
    std::lock_guard<std::mutex> lock(g_scratch_change);
    ScratchIndex& x = scratch_index();
    const size_t n = std::strlen(path);
    char* copy = new (std::nothrow) char[n + 1];
    if (!copy) return false;
    std::memcpy(copy, path, n + 1);
    std::atomic<char*>* slot = nullptr;
    if (!x.free.empty()) {
        slot = x.free.back();
        x.free.pop_back();
    } else {
        if (x.used == x.blocks.size() * scratch_block_slots) {
            ScratchBlock* block = new (std::nothrow) ScratchBlock;
            if (!block) {
                delete[] copy;
                return false;
            }
            x.blocks.push_back(block);
            x.blocks[x.blocks.size() - 2]->next.store(block); // now the handler walks it too
        }
        slot = &x.blocks[x.used / scratch_block_slots]->paths[x.used % scratch_block_slots];
        ++x.used;
    }
    slot->store(copy);
    x.where.emplace(std::string(path, n), slot);
    return true;
}

void forget_scratch(const char* path)
{
    std::lock_guard<std::mutex> lock(g_scratch_change);
    ScratchIndex& x = scratch_index();
    const auto at = x.where.find(path);
    if (at == x.where.end()) return;
    std::atomic<char*>* slot = at->second;
    x.where.erase(at);
    delete[] slot->exchange(nullptr);
    x.free.push_back(slot);
}

int take_child_slot(ChildHandle marker)
{
    for (int i = 0; i < max_programs_at_once; ++i) {
        ChildHandle free_slot{};
        if (g_children[i].compare_exchange_strong(free_slot, marker)) return i;
    }
    return -1;
}

void fill_child_slot(int slot, ChildHandle child) { g_children[slot] = child; }

void free_child_slot(int slot)
{
    g_children[slot] = ChildHandle{};
    { std::lock_guard<std::mutex> lock(g_child_wait); }
    g_child_freed.notify_one();
}

bool wait_for_child_slot(RunningProgram* running)
{
    {
        std::unique_lock<std::mutex> lock(g_child_wait);
        g_child_freed.wait_for(lock, std::chrono::milliseconds(100)); // also when the word was missed
    }
    if (!running) return true;
    std::lock_guard<std::mutex> lock(running->mutex);
    return !running->ended;
}

namespace {
// Removes every registered scratch file (the interrupt handler; async-signal-safe on POSIX).
void remove_registered_scratch()
{
    for (ScratchBlock* block = &g_scratch; block; block = block->next.load())
        for (std::atomic<char*>& slot : block->paths) {
            const char* path = slot.load();
            if (!path) continue;
#ifdef _WIN32
            DeleteFileW(widen(path).c_str());
#else
            ::unlink(path);
#endif
        }
}

// Ends every registered program and waits for its end (the interrupt handler; async-signal-safe
// on POSIX, where it first lets the guarded sections of other threads finish).
void end_registered_programs()
{
#ifndef _WIN32
    g_stopping = true;
    while (g_guarded.load() > 0) {
        const timespec ms{0, 1000000};
        ::nanosleep(&ms, nullptr);
    }
#endif
    for (std::atomic<ChildHandle>& slot : g_children) {
        const ChildHandle child = slot.load();
#ifdef _WIN32
        if (!child || child == INVALID_HANDLE_VALUE) continue;
        TerminateProcess(child, 1);
        WaitForSingleObject(child, 2000);
#else
        if (child <= 0) continue;
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
#endif
    }
}

#ifdef _WIN32
BOOL WINAPI on_console_event(DWORD)
{
    // Held until the process ends: no other thread makes a file or starts a program from now on.
    g_scratch_lock.lock();
    end_registered_programs();
    remove_registered_scratch();
    return FALSE; // the default handler ends the process
}
#else
void on_interrupt(int sig)
{
    end_registered_programs();
    remove_registered_scratch();
    ::raise(sig); // the handler was reset: the signal ends the process once this returns
}
#endif
} // namespace

InterruptGuard::InterruptGuard()
{
#ifdef _WIN32
    g_scratch_lock.lock();
#else
    sigset_t block;
    sigemptyset(&block);
    for (int sig : interrupt_signals) sigaddset(&block, sig);
    pthread_sigmask(SIG_BLOCK, &block, &saved_);
    ++g_guarded;
    if (g_guard_depth++ == 0 && g_stopping) {
        // The interrupt handler runs on another thread: this one waits for the end.
        --g_guarded;
        for (;;) ::pause();
    }
#endif
}

InterruptGuard::~InterruptGuard()
{
#ifdef _WIN32
    g_scratch_lock.unlock();
#else
    --g_guard_depth;
    --g_guarded;
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
#endif
}

void watch_scratch(const char* path)
{
    InterruptGuard guard;
    register_scratch(path);
}

void remove_scratch(const char* path)
{
    InterruptGuard guard;
    remove_file(path);
    forget_scratch(path);
}

void remove_scratch_on_interrupt()
{
#ifdef _WIN32
    SetConsoleCtrlHandler(on_console_event, TRUE);
#else
    struct sigaction sa {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    for (int sig : interrupt_signals) sigaddset(&sa.sa_mask, sig);
    sa.sa_flags = SA_RESETHAND;
    for (int sig : interrupt_signals) {
        // A signal the caller's shell set to be ignored (nohup) stays ignored.
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(sig, &sa, nullptr);
    }
    // Past a file-size limit a write fails (EFBIG) instead of ending the process.
    ::signal(SIGXFSZ, SIG_IGN);
#endif
}

} // namespace platform
