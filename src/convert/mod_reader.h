// MOD module reader: one pass over a module from its sample headers on (the name has been read).
#pragma once

#include <cstdio>

#include "convert/module_reader.h"

void read_mod(Conversion& c, FILE* in, const ReadPass& pass);
