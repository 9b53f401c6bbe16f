// What the platform's files share with the interrupt handler: the registry of scratch files and
// the slots of the outside programs running now. Process-wide on purpose (a signal or a console
// event reaches no job, only a global); each entry still belongs to the job that made it.
#pragma once

#include <sys/types.h>

#ifdef _WIN32
#include <windows.h>
#endif

namespace platform {

struct RunningProgram;

// Registers `path` (inside an InterruptGuard); false when no memory is left for it: the file
// must then not be made.
bool register_scratch(const char* path);
// Forgets one registration of `path` (inside an InterruptGuard).
void forget_scratch(const char* path);

// An outside program as the handler ends it: a process handle (Windows) or a process id.
#ifdef _WIN32
using ChildHandle = HANDLE;
#else
using ChildHandle = pid_t;
#endif
// A free child slot, taken with `marker` until the program's handle is known (inside an
// InterruptGuard); -1 when every slot is taken.
int take_child_slot(ChildHandle marker);
// The program started in a taken slot (inside the same InterruptGuard).
void fill_child_slot(int slot, ChildHandle child);
// Gives a slot back (its program ended, or never started) and wakes a start that waits for one.
void free_child_slot(int slot);
// Every slot is taken: waits a while for one to be freed. False when the job that starts the
// program has been ended meanwhile (its program is then not started at all).
bool wait_for_child_slot(RunningProgram* running);

} // namespace platform
