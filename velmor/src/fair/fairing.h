// Spring fairing of the free vertices by preconditioned conjugate gradients.
#pragma once

#include <cstdint>

#include "fair/cot_op.h"

void smooth_matvec(const cot_op* op, const uint8_t* free_mask, const double* v, double* y,
                   const int64_t* list, int64_t nlist, double lambda);

// Moves only free vertices of pos (3 per vertex); rest is read only.
void fair_spring_cg(const cot_op* op, const uint8_t* free_mask, const double* rest, double* pos,
                    int64_t nfree, const char* label, double lambda);
