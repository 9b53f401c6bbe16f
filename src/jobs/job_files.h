// What both front ends do before a job: find machines.ini and have the XI directory ready.
#pragma once

#include <string>
#include <vector>

#include "settings/settings.h"

// Where machines.ini is looked for, in order: the current directory, beside the executable, then
// ../share/kestrix/ next to the executable's folder (an installed copy).
std::vector<std::string> machines_ini_places();

// Points a job's machine loader (settings.machines_ini) at the first of those places that holds
// the file and returns it; "" when none does (the loader then reports the file missing under its
// plain name).
std::string choose_machines_ini(Settings& settings);

// A BMW conversion refers to XI files in xi_dir: creates the directory when it is missing.
void prepare_xi_dir(const Settings& settings);

// True when `path` names a file the job of `s` reads or writes (its input, output, merge songs):
// a log file of that name would destroy it or be replaced by it.
bool names_a_file_of_the_job(const Settings& s, const char* path);
