// MOD module reader: one pass over a module from its sample headers on (the name has been read).
#pragma once

#include <cstdio>

#include "convert/module_reader.h"

void read_mod(FILE* in, const ReadPass& pass);
