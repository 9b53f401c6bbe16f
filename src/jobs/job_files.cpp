// Files a job expects before it starts.
#include "jobs/job_files.h"

#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "settings/settings.h"

std::vector<std::string> machines_ini_places()
{
    std::vector<std::string> places = {"machines.ini"};
    const std::string dir = platform::executable_directory();
    if (!dir.empty()) {
        const char sep = platform::path_separator;
        places.push_back(dir + sep + "machines.ini");
        places.push_back(dir + sep + ".." + sep + "share" + sep + "kestrix" + sep + "machines.ini");
    }
    return places;
}

std::string choose_machines_ini(Settings& settings)
{
    std::string chosen;
    for (const std::string& p : machines_ini_places())
        if (platform::file_exists(p.c_str())) {
            chosen = p;
            break;
        }
    settings.machines_ini = chosen.empty() ? "machines.ini" : chosen;
    return chosen;
}

bool names_a_file_of_the_job(const Settings& s, const char* path)
{
    for (const std::string* f : {&s.input_file, &s.output_file, &s.merge_input1, &s.merge_input2, &s.merge_output})
        if (!f->empty() && platform::same_file(path, f->c_str())) return true;
    return false;
}

void prepare_xi_dir(const Settings& settings)
{
    if (settings.dopfun == 0 && settings.dowave == 1 && !settings.xi_dir.empty())
        platform::make_directories(settings.xi_dir.c_str());
}
