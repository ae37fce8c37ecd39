// Target edge-length field: border targets along the contour, their ceiling,
// and the fill of every invalidated vertex target. Lengths in mm.
#pragma once

#include <cstdint>

#include "core/stores.h"

struct border {
    int32_t n;               // contour length
    const int32_t* contour;  // the input contour
    const double* points;    // the input wall points (never the store)
    double* targ;            // border target per loop position
    double ceiling;          // upper bound of every filled target
};

// Border targets, gradation, cap half-width, ceiling and their lines;
// sets the contour points' base and NaN targ in vs.
void border_setup(border* bd, verts* vs, const input* in);

// Distance from p to the nearest contour point.
double border_nearest(const border* bd, const double* p);

// Parallel fill of every NaN targ: min(base + grad * border distance, ceiling).
void targets_fill(const border* bd, verts* vs);
