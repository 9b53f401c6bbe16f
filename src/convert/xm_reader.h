// XM module reader: one pass over the header fields after the name, the patterns and the
// instruments.
#pragma once

#include <cstdio>

#include "convert/module_reader.h"

void read_xm(Conversion& c, FILE* in, const ReadPass& pass);
