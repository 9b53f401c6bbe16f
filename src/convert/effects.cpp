// Placeholder until this part of the program is written.
#include "convert/effects.h"
#include "core/log.h"

void translate_cell(int, int, int, int, int) {}
