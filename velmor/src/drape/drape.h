// Crossing detection of the draped cap against the wall.
#pragma once

#include <cstdint>

#include "core/stores.h"
#include "core/targets.h"
#include "drape/wall_grid.h"

struct drape_job {
    const wall_grid* grid;
    const border* bd;
    const tris* ts;
    const double* pos;
    int32_t** scratch;    // one buffer of nf entries per thread
    int32_t nscratch;     // buffers in scratch; the team never outgrows it
    uint8_t* cross_flag;  // per cap triangle
    uint8_t* far_flag;
    double dmax;
    int64_t nfar;
    int64_t ncross;
};

// Parallel crossing detection over the cap triangles.
void drape(drape_job* job);
