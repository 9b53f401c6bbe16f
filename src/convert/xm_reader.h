// XM and MOD module reader: one call per pass over the open module.
#pragma once

#include <cstdio>

// Reads the module from the start of `in` for the pass named by song.pass_number and
// song.counting_pass; fills the module half and hands every cell to translate_cell.
void read_module(FILE* in);
