// The job running on this thread, as the Buzz song reader and the merge find it until they take
// their job as an argument: the runner (and whoever reads a song outside a job) names the job's
// log, pool, settings and machine descriptions here for as long as a phase runs. Include it last.
#pragma once

#include <cstdarg>

#include "buzz/machines_ini.h"
#include "core/log.h"
#include "core/pool.h"
#include "settings/settings.h"

struct JobAmbient {
    Log* log = nullptr;
    Pool* pool = nullptr;
    const Settings* settings = nullptr;
    MachineTable* machines = nullptr;
};
// Per thread: two jobs on two threads each see their own.
extern thread_local JobAmbient job_ambient;

// Names a job for the calling thread while it lives, and restores the one before.
class AmbientJob {
public:
    AmbientJob(Log& log, Pool& pool, const Settings& settings, MachineTable& machines)
        : saved_(job_ambient)
    {
        job_ambient = JobAmbient{&log, &pool, &settings, &machines};
    }
    ~AmbientJob() { job_ambient = saved_; }
    AmbientJob(const AmbientJob&) = delete;
    AmbientJob& operator=(const AmbientJob&) = delete;

private:
    JobAmbient saved_;
};

#ifdef KESTRIX_AMBIENT_JOB
int ambient_log_print(const char* fmt, ...) KX_PRINTF(1, 2);
#define log_print ambient_log_print
#define log_state (*job_ambient.log)
#define settings (*job_ambient.settings)
#define machine_table_state (*job_ambient.machines)
using LogState = Log;
inline bool log_active() { return log_active(log_state); }
inline void log_repaint() { log_repaint(log_state); }
template <class T>
T* pool_array(size_t n)
{
    return pool_array<T>(*job_ambient.pool, n);
}
inline const MachineDescription* machine_description(int index) { return machine_description(machine_table_state, index); }
inline int find_machine_description(const char* dll_name) { return find_machine_description(machine_table_state, dll_name); }
inline bool load_machine_descriptions() { return load_machine_descriptions(machine_table_state, *job_ambient.pool, log_state); }
#endif
