// Placeholder until this part of the program is written.
#include "convert/xm_reader.h"
#include "core/log.h"

void read_module(FILE*) { job_abort("module reader missing"); }
