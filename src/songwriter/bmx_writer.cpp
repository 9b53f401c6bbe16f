// Placeholder until this part of the program is written.
#include "songwriter/bmx_writer.h"
#include "core/log.h"

SongLayout song_layout;
void write_song() { job_abort("song writer missing"); }
