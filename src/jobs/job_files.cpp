// Files a job expects before it starts.
#include "jobs/job_files.h"

#include <cstdio>
#include <string>

#include "buzz/machines_ini.h"
#include "platform/platform.h"
#include "settings/settings.h"

void choose_machines_ini()
{
    char(&path)[sizeof machine_table_state.machines_ini_path] = machine_table_state.machines_ini_path;
    std::string chosen = "machines.ini";
    if (!platform::file_exists("machines.ini")) {
        std::string dir = platform::executable_directory();
        std::string beside = dir + platform::path_separator + "machines.ini";
        if (!dir.empty() && platform::file_exists(beside.c_str()) && beside.size() < sizeof path)
            chosen = beside;
    }
    std::snprintf(path, sizeof path, "%s", chosen.c_str());
}

void prepare_xi_dir()
{
    if (settings.dopfun == 0 && settings.dowave == 1 && settings.xi_dir[0])
        platform::make_directories(settings.xi_dir);
}
