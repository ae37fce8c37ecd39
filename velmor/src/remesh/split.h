// Split phase of the remeshing passes.
#pragma once

#include <cstdint>

#include "core/edgetab.h"
#include "core/stores.h"
#include "core/targets.h"

// Splits every long non-contour edge at its midpoint, refills the new
// points' targets and rebuilds the faces; returns the number split.
// Its edge list and table stay from pass to pass, grown to the largest mesh,
// until split_release frees them.
int64_t split_phase(verts* vs, tris* ts, const border* bd, const keyset* ks);
void split_release();
