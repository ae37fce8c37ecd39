// Uniform grid over the wall triangles and the nearest-triangle query.
#include "velmor.h"

void wall_grid_build(wall_grid*, const double*, int32_t, const int32_t*, int32_t) {}
void wall_grid_free(wall_grid*) {}
void wall_closest(const wall_grid*, const double*, double*, int32_t* tri) { *tri = -1; }
