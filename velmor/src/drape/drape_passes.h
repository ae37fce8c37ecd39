// Drape passes: detections, pushes off the wall and re-fairings.
#pragma once

#include <cstdint>

#include "core/stores.h"
#include "core/targets.h"
#include "drape/wall_grid.h"
#include "fair/cot_op.h"

// The drape passes from the faired positions; fills draped (3 per vertex)
// and returns the last detection's largest piercing distance.
double drape_passes(const verts* vs, const tris* ts, int32_t np, const double* smoothed,
                    double* draped, const border* bd, const wall_grid* g, const cot_op* op);
