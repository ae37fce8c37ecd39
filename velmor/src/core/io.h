// Input and output files: raw little-endian counts and arrays, no header.
#pragma once

#include <cstdint>
#include <cstdio>

#include "core/stores.h"

// Reads 4 bytes into *out; 1 when all four were read, else 0.
int read_i32(FILE* f, int32_t* out);

// Reads and checks the whole input file into *in; the first failure prints
// its field's message and ends with status 2. The arrays live until exit.
void read_input(const char* path, input* in);

// Writes blocks 1-4, then smoothed (block 5) and draped with dmax (blocks 6,
// 7) where not null, all from vertex np on. A regular file is replaced
// whole or not at all; any failure: "sortie inaccessible : %s\n", status 2.
void write_output(const char* path, const verts* vs, const tris* ts, int32_t np,
                  const double* smoothed, const double* draped, double dmax);
