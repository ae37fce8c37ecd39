// Quality flips of the cap's shared diagonals.
#pragma once

#include <cstdint>

#include "core/edgetab.h"
#include "core/stores.h"

// One flip sweep; returns flips, sets *refusals to deviation refusals.
int64_t flip_pass(verts* vs, tris* ts, const keyset* ks, int32_t np, int64_t* refusals);
// Opens a flip phase: until the next one (or flip_release) positions do not
// move and rows change only by flip_pass, so its calls may reuse decisions.
// After a collapse, origin (where each row was at its start, ~o where it
// changed; null: no row moved) and the rows then let one thread patch the
// last phase's records; rows_before -1 carries nothing over.
void flip_phase_begin(const int32_t* origin = nullptr, int64_t rows_before = -1);
// Closes the flip phase: the next call starts from the rows again, but the
// tables keep their room for it.
void flip_phase_end();
// Frees the table and caches that flip_pass keeps between its calls.
void flip_release();
