// End of remeshing: compaction of the created points and the statistics.
#pragma once

#include <cstdint>

#include "core/stores.h"

// Compaction of the created points, target range and statistics lines.
void remesh_finish(verts* vs, tris* ts, int32_t np, double t_start);
