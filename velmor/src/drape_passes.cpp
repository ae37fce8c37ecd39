// Drape passes: material side, pushes, freezing and re-fairing.
#include "velmor.h"

double drape_passes(const verts*, const tris*, int32_t, const double*, double*, const border*, const wall_grid*, const cot_op*) { return 0; }
