// Spring fairing: each free vertex tied to its rest position (lumped mass)
// and to its neighbours (cotangent weight times lambda), solved per
// coordinate by Jacobi-preconditioned conjugate gradients (Hestenes-Stiefel)
// over the free vertices only; fixed vertices are boundary data.
#include "velmor.h"

#include <omp.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

void smooth_matvec(const cot_op* op, const uint8_t* free_mask, const double* v, double* y,
                   const int64_t* list, int64_t nlist, double lambda)
{
    const int64_t* rowptr = op->rowptr;
    const int32_t* col = op->col;
    const double* val = op->val;
    for (int64_t l = 0; l < nlist; l++) {
        int64_t i = list[l];
        double acc = (lambda * op->diag[i] + op->mass[i]) * v[i];
        for (int64_t e = rowptr[i]; e < rowptr[i + 1]; e++) {
            int32_t j = col[e];
            if (free_mask[j]) acc -= (val[e] * lambda) * v[j];
        }
        y[i] = acc;
    }
}

static void* cg_alloc(size_t bytes)
{
    void* p = malloc(bytes ? bytes : 1);
    if (!p) die_memory("CG");
    return p;
}

// Solves one coordinate in place in x (free entries). Returns the iterations
// run and sets *rel to the relative residual reached.
static int64_t cg_coordinate(const cot_op* op, const uint8_t* free_mask, const double* rest,
                             const double* pos, int c, const int64_t* list, int64_t k,
                             double lambda, double* x, double* b, double* r, double* z,
                             double* p, double* q, const double* M, double* rel)
{
    const int64_t* rowptr = op->rowptr;
    const int32_t* col = op->col;
    const double* val = op->val;
    for (int64_t l = 0; l < k; l++) {
        int64_t i = list[l];
        x[i] = pos[3 * i + c];
        double bi = op->mass[i] * rest[3 * i + c];
        for (int64_t e = rowptr[i]; e < rowptr[i + 1]; e++) {
            int32_t j = col[e];
            if (!free_mask[j]) bi += (val[e] * lambda) * pos[3 * (int64_t)j + c];
        }
        b[i] = bi;
    }

    smooth_matvec(op, free_mask, x, q, list, k, lambda);
    double bb = 0, rho = 0, rr = 0;
    for (int64_t l = 0; l < k; l++) {
        int64_t i = list[l];
        r[i] = b[i] - q[i];
        z[i] = r[i] / M[i];
        p[i] = z[i];
        bb += b[i] * b[i];
        rho += r[i] * z[i];
    }
    for (int64_t l = 0; l < k; l++) rr += r[list[l]] * r[list[l]];

    const double stop = (g_par.cg_tol * g_par.cg_tol) * bb;
    int64_t it = 0;
    while (rr > stop && it < g_par.cg_max) {
        smooth_matvec(op, free_mask, p, q, list, k, lambda);
        double pq = 0;
        for (int64_t l = 0; l < k; l++) pq += p[list[l]] * q[list[l]];
        double alpha = rho / pq;
        // Breakdown (a zero or non-finite curvature along p): stop on the last
        // finite iterate rather than write NaN positions.
        if (!(std::isfinite(pq) && pq > 0) || !std::isfinite(alpha)) break;
        double rr_new = 0;
        for (int64_t l = 0; l < k; l++) {
            int64_t i = list[l];
            x[i] += alpha * p[i];
            r[i] -= alpha * q[i];
            rr_new += r[i] * r[i];
        }
        double rho_new = 0;
        for (int64_t l = 0; l < k; l++) {
            int64_t i = list[l];
            z[i] = r[i] / M[i];
            rho_new += r[i] * z[i];
        }
        double beta = rho_new / rho;
        for (int64_t l = 0; l < k; l++) {
            int64_t i = list[l];
            p[i] = z[i] + beta * p[i];
        }
        rr = rr_new;
        it++;
        if (!(rr > stop)) break;
        rho = rho_new;
    }
    *rel = bb > 0 ? sqrt(rr / bb) : 0.0;
    return it;
}

void fair_spring_cg(const cot_op* op, const uint8_t* free_mask, const double* rest, double* pos,
                    int64_t nfree, const char* label, double lambda)
{
    double t_start = omp_get_wtime();
    int64_t n = op->n;
    size_t vec = (size_t)n * sizeof(double);
    double* x = (double*)cg_alloc(vec);
    double* b = (double*)cg_alloc(vec);
    double* r = (double*)cg_alloc(vec);
    double* z = (double*)cg_alloc(vec);
    double* p = (double*)cg_alloc(vec);
    double* q = (double*)cg_alloc(vec);
    double* M = (double*)cg_alloc(vec);

    // Sized from the mask itself, whatever count the caller announces.
    int64_t k = 0;
    for (int64_t i = 0; i < n; i++) k += free_mask[i] != 0;
    int64_t* list = (int64_t*)cg_alloc((size_t)(k + 1) * sizeof(int64_t));
    k = 0;
    for (int64_t i = 0; i < n; i++)
        if (free_mask[i]) list[k++] = i;

    for (int64_t l = 0; l < k; l++) {
        int64_t i = list[l];
        double m = lambda * op->diag[i] + op->mass[i];
        // A row without positive finite diagonal cannot scale its residual.
        M[i] = (std::isfinite(m) && m > 0) ? m : 1.0;
    }

    double rel_max = 0;
    int64_t iters = 0;
    for (int c = 0; c < 3; c++) {
        if (k == 0) continue;
        double rel = 0;
        iters += cg_coordinate(op, free_mask, rest, pos, c, list, k, lambda, x, b, r, z, p, q, M, &rel);
        if (rel > rel_max) rel_max = rel;
        for (int64_t l = 0; l < k; l++) {
            int64_t i = list[l];
            if (std::isfinite(x[i])) pos[3 * i + c] = x[i];
        }
    }

    double* disp = (double*)cg_alloc((size_t)(k + 1) * sizeof(double));
    for (int64_t l = 0; l < k; l++) {
        int64_t i = list[l];
        double dx = pos[3 * i] - rest[3 * i];
        double dy = pos[3 * i + 1] - rest[3 * i + 1];
        double dz = pos[3 * i + 2] - rest[3 * i + 2];
        disp[l] = sqrt(dx * dx + dy * dy + dz * dz);
    }
    stable_sort_by(disp, k, cmp_double2);
    double median = 0, dmax = 0;
    if (k > 0) {
        int64_t h = k / 2;
        median = (k % 2) ? disp[h] : (disp[h - 1] + disp[h]) * 0.5;
        dmax = disp[k - 1];
    }

    fprintf(stderr,
            "  %s : %lld sommets libres, CG %lld iterations (3 coordonnees), residu relatif max %.1e, "
            "ecart a la position remaillee median %.3f / max %.3f mm, %.2f s\n",
            label, (long long)nfree, (long long)iters, rel_max, median, dmax, omp_get_wtime() - t_start);

    free(disp);
    free(list);
    free(x);
    free(b);
    free(r);
    free(z);
    free(p);
    free(q);
    free(M);
}
