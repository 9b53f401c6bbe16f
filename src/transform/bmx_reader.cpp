// Placeholder until this part of the program is written.
#include "transform/bmx_reader.h"
#include "core/log.h"

ReaderState reader_state;
void read_buzz_song(FILE*, int) { job_abort("song reader missing"); }
