// Cotangent operator of the remeshed cap in compressed rows.
#pragma once

#include <cstdint>

#include "core/stores.h"

struct cot_op {
    int64_t* rowptr;  // n + 1
    int32_t* col;
    double* val;
    double* diag;     // row sums
    double* mass;     // lumped areas
    int64_t n;
};

// Builds the operator of the remeshed cap and prints its line.
void cot_op_build(cot_op* op, const verts* vs, const tris* ts);
void cot_op_free(cot_op* op);
