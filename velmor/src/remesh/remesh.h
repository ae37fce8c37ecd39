// Remeshing of the cap: passes of split, flips, collapses, flips.
#pragma once

#include <cstdint>

#include "core/edgetab.h"
#include "core/stores.h"
#include "core/targets.h"

// Passes of split, flips, collapses, flips; then compaction and statistics.
void remesh(verts* vs, tris* ts, const border* bd, const keyset* ks, int32_t np);
