// Spring fairing of the free vertices by preconditioned conjugate gradients.
#pragma once

#include <cstdint>

#include "fair/cot_op.h"

// The reference the tests hold free_matvec against, bit for bit.
// y = A v on the nlist rows of list, over the whole store.
void smooth_matvec(const cot_op* op, const uint8_t* free_mask, const double* v, double* y,
                   const int64_t* list, int64_t nlist, double lambda);

// The free-vertex system renumbered in ascending vertex order: row l is free
// vertex list[l], its entries the free columns of the operator's row in their
// order, weights pre-multiplied by lambda. Every sum of the solve runs in the
// same order as over the full store, so the bits are those of smooth_matvec,
// while each iteration streams only the free rows.
struct free_system {
    int64_t k;
    const int64_t* list;
    int64_t* rowptr;  // k + 1
    int32_t* col;     // renumbered free columns
    double* wl;       // val * lambda
    double* adiag;    // lambda * diag + mass
};

// The system of the k free vertices of list (ascending); free_system_free
// releases it. "memoire insuffisante (CG)\n".
void free_system_build(free_system* fs, const cot_op* op, const uint8_t* free_mask, const int64_t* list,
                       int64_t k, double lambda);
void free_system_free(free_system* fs);
// y = A v over the free system, both by free-list position; returns the sum
// of v * y in row order.
double free_matvec(const free_system* fs, const double* v, double* y);

// Moves only free vertices of pos (3 per vertex); rest is read only.
void fair_spring_cg(const cot_op* op, const uint8_t* free_mask, const double* rest, double* pos,
                    int64_t nfree, const char* label, double lambda);
