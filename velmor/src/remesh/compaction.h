// End of remeshing: compaction of the created points and the statistics.
#pragma once

#include <cstdint>

#include "core/stores.h"

// Between passes: when most created points are named by no triangle any
// more, the others move down in their order as the final compaction would
// move them. Every order between indices stays, so the passes decide as
// before, while tables sized by the vertex count shrink. Left to the final
// compaction when a corner lies outside the store or memory is short.
void remesh_drop_unnamed(verts* vs, tris* ts, int32_t np);

// Compaction of the created points, target range and statistics lines.
void remesh_finish(verts* vs, tris* ts, int32_t np, double t_start);
