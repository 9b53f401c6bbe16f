// What both front ends do before a job: find machines.ini and have the XI directory ready.
#pragma once

// machines.ini from the current directory, else the copy shipped beside the executable.
void choose_machines_ini();

// A BMW conversion refers to XI files in xi_dir: creates the directory when it is missing.
void prepare_xi_dir();
