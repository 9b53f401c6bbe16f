// Placeholder until this part of the program is written.
#include "songwriter/wave_table.h"
#include "core/log.h"

void write_wavt_section() { job_abort("WAVT writer missing"); }
void load_xi_instruments(FILE*) { job_abort("XI loading missing"); }
void wave_file_name(int, char* out, int) { out[0] = 0; }
