// machines.ini: loaded, then every record looked at and looked up by name.
#include <cstring>

#include "buzz/machines_ini.h"
#include "core/log.h"
#include "core/pool.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    kxfuzz::enter_work_folder();
    kxfuzz::write_file("machines.ini", data, size);
    Log log;
    log.log_enabled = 0;
    Pool pool(log);
    MachineTable machines;
    try {
        if (load_machine_descriptions(machines, pool, log)) {
            for (int i = 0; i < 300; ++i) {
                const MachineDescription* m = machine_description(machines, i);
                if (!m) continue;
                volatile size_t n = std::strlen(m->dll_name);
                (void)n;
                find_machine_description(machines, m->dll_name);
            }
        }
    } catch (const JobAbort&) {
    }
    pool_free_all(pool);
    std::remove("machines.ini");
    return 0;
}
