// Collapse sub-passes: short edges between created points merge.
#pragma once

#include <cstdint>

#include "core/stores.h"
#include "core/targets.h"

struct collapse_counts {
    int64_t collapses, topo, geo, len;
};

// Up to collapse_passes sub-passes; counters summed over them.
// Its work arrays stay from sub-pass to sub-pass and pass to pass, grown to
// the largest mesh, until collapse_release frees them.
void collapse_phase(verts* vs, tris* ts, const border* bd, int32_t np, collapse_counts* out);
void collapse_release();
