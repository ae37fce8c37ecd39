// Cotangent Laplacian (Pinkall-Polthier) with lumped masses, in compressed sparse rows.
// Half-cotangent weight per triangle corner on the opposite edge, one-third
// area masses, triplets merged after a stable sort.
#include "fair/cot_op.h"

#include "core/fail.h"
#include "core/sort.h"
#include "core/stores.h"

#include <omp.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

static const double kCotClamp = 10000.0;

static inline void sub3(const double* a, const double* b, double* out)
{
    out[0] = a[0] - b[0];
    out[1] = a[1] - b[1];
    out[2] = a[2] - b[2];
}

static inline double cross_len(const double* u, const double* v)
{
    double cx = u[1] * v[2] - u[2] * v[1];
    double cy = u[2] * v[0] - u[0] * v[2];
    double cz = u[0] * v[1] - u[1] * v[0];
    return sqrt(cx * cx + cy * cy + cz * cz);
}

void cot_op_build(cot_op* op, const verts* vs, const tris* ts)
{
    double t_start = omp_get_wtime();
    int64_t nt = ts->n, nv = vs->n;
    trip* trips = (trip*)malloc((size_t)(6 * nt + 1) * sizeof(trip));
    double* mass = (double*)calloc((size_t)nv + 1, sizeof(double));
    if (!trips || !mass) die_memory("laplacien");

    int64_t ndegen = 0, nclamp = 0;
    for (int64_t t = 0; t < nt; t++) {
        const int32_t* idx = ts->tri + 3 * t;
        const double* P[3] = {vs->xyz + 3 * (int64_t)idx[0], vs->xyz + 3 * (int64_t)idx[1],
                              vs->xyz + 3 * (int64_t)idx[2]};
        trip* out = trips + 6 * t;
        for (int k = 0; k < 3; k++) {
            double u[3], v[3];
            sub3(P[(k + 1) % 3], P[k], u);
            sub3(P[(k + 2) % 3], P[k], v);
            double s = cross_len(u, v);
            double cot = 0.0;
            if (s < 1e-12) {
                ndegen++;
            } else {
                cot = (u[0] * v[0] + u[1] * v[1] + u[2] * v[2]) / s;
                // A NaN or infinite cotangent (non-finite corners) would poison
                // every sum it enters: it weighs nothing, like a flat corner.
                if (!std::isfinite(cot)) {
                    cot = 0.0;
                    ndegen++;
                } else if (fabs(cot) > kCotClamp) {
                    nclamp++;
                    cot = cot > 0 ? kCotClamp : -kCotClamp;
                }
            }
            int32_t a = idx[(k + 1) % 3], b = idx[(k + 2) % 3];
            out[2 * k] = trip{a, b, 0.5 * cot};
            out[2 * k + 1] = trip{b, a, 0.5 * cot};
        }
        double e1[3], e2[3];
        sub3(P[1], P[0], e1);
        sub3(P[2], P[0], e2);
        double third = 0.5 * cross_len(e1, e2) / 3;
        mass[idx[0]] += third;
        mass[idx[1]] += third;
        mass[idx[2]] += third;
    }

    // Equal (row, col) keep triangle order, so both directions of an edge sum
    // the same contributions in the same order: the rows are bitwise symmetric.
    int64_t nrec = 6 * nt;
    stable_sort_by(trips, nrec, cmp_trip);
    int64_t nnz = 0;
    for (int64_t e = 0; e < nrec; e++) {
        if (nnz > 0 && trips[nnz - 1].row == trips[e].row && trips[nnz - 1].col == trips[e].col)
            trips[nnz - 1].w += trips[e].w;
        else
            trips[nnz++] = trips[e];
    }

    int64_t* rowptr = (int64_t*)calloc((size_t)nv + 1, sizeof(int64_t));
    int32_t* col = (int32_t*)malloc((size_t)(nnz + 1) * sizeof(int32_t));
    double* val = (double*)malloc((size_t)(nnz + 1) * sizeof(double));
    double* diag = (double*)calloc((size_t)nv + 1, sizeof(double));
    if (!rowptr || !col || !val || !diag) die_memory("laplacien CSR");

    int64_t nneg = 0;
    for (int64_t e = 0; e < nnz; e++) {
        rowptr[trips[e].row + 1]++;
        if (trips[e].w < 0) nneg++;
    }
    for (int64_t i = 0; i < nv; i++) rowptr[i + 1] += rowptr[i];
    for (int64_t e = 0; e < nnz; e++) {
        col[e] = trips[e].col;
        val[e] = trips[e].w;
        diag[trips[e].row] += trips[e].w;
    }
    free(trips);

    op->rowptr = rowptr;
    op->col = col;
    op->val = val;
    op->diag = diag;
    op->mass = mass;
    op->n = nv;

    fprintf(stderr,
            "  operateur cotangente : %lld tris, %lld coin(s) degenere(s), %lld cot plafonnee(s) a %g, "
            "%lld arete(s) a poids negatif, %.1f s\n",
            (long long)nt, (long long)ndegen, (long long)nclamp, kCotClamp, (long long)(nneg / 2),
            omp_get_wtime() - t_start);
}

void cot_op_free(cot_op* op)
{
    free_and_null(op->rowptr, op->col, op->val, op->diag, op->mass);
    op->n = 0;
}
