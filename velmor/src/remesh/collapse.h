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
// Where each row after the last phase (on one thread) was at its start: its
// index o then, or ~o when it was renamed or one of its corners moved; null
// when no row changed. *rows_before: the rows at its start, or -1 after a
// phase on a team, which keeps no origins.
const int32_t* collapse_row_origin(int64_t* rows_before);

// The neighbours of a vertex, ascending and distinct, from the two corners
// beside each of its triangle listings (nh heads; 16 must be readable from
// heads): written from out, which may be heads itself and is written no
// further than nh entries, and counted. What the
// adjacency lists every vertex with; the tests hold it against a plain set.
int64_t collapse_neighbours(const int32_t* heads, int64_t nh, int32_t* out);
