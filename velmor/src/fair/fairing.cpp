// Spring fairing by Jacobi-preconditioned conjugate gradients over the free vertices.
// Each free vertex is tied to its rest position (lumped mass) and to its
// neighbours (cotangent weight times lambda), solved per coordinate
// (Hestenes-Stiefel); fixed vertices are boundary data.
#include "fair/fairing.h"

#include "core/fail.h"
#include "core/params.h"
#include "core/sort.h"
#include "fair/cot_op.h"

#include <omp.h>

#include <cmath>
#include <cstdio>
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

void free_system_build(free_system* fs, const cot_op* op, const uint8_t* free_mask, const int64_t* list,
                       int64_t k, double lambda)
{
    int32_t* renum = (int32_t*)cg_alloc((size_t)op->n * sizeof(int32_t));
    for (int64_t l = 0; l < k; l++) renum[list[l]] = (int32_t)l;
    int64_t nnz = 0;
    for (int64_t l = 0; l < k; l++)
        for (int64_t e = op->rowptr[list[l]]; e < op->rowptr[list[l] + 1]; e++) nnz += free_mask[op->col[e]] != 0;
    fs->k = k;
    fs->list = list;
    fs->rowptr = (int64_t*)cg_alloc((size_t)(k + 1) * sizeof(int64_t));
    fs->col = (int32_t*)cg_alloc((size_t)(nnz + 1) * sizeof(int32_t));
    fs->wl = (double*)cg_alloc((size_t)(nnz + 1) * sizeof(double));
    fs->adiag = (double*)cg_alloc((size_t)(k + 1) * sizeof(double));
    int64_t at = 0;
    for (int64_t l = 0; l < k; l++) {
        int64_t i = list[l];
        fs->rowptr[l] = at;
        fs->adiag[l] = lambda * op->diag[i] + op->mass[i];
        for (int64_t e = op->rowptr[i]; e < op->rowptr[i + 1]; e++) {
            int32_t j = op->col[e];
            if (!free_mask[j]) continue;
            fs->col[at] = renum[j];
            fs->wl[at] = op->val[e] * lambda;
            at++;
        }
    }
    fs->rowptr[k] = at;
    free(renum);
}

void free_system_free(free_system* fs)
{
    free(fs->rowptr);
    free(fs->col);
    free(fs->wl);
    free(fs->adiag);
}

double free_matvec(const free_system* fs, const double* v, double* y)
{
    const int64_t* rowptr = fs->rowptr;
    const int32_t* col = fs->col;
    const double* wl = fs->wl;
    double vy = 0;
    for (int64_t l = 0; l < fs->k; l++) {
        double acc = fs->adiag[l] * v[l];
        for (int64_t e = rowptr[l]; e < rowptr[l + 1]; e++) acc -= wl[e] * v[col[e]];
        y[l] = acc;
        vy += v[l] * acc;
    }
    return vy;
}

// Solves coordinate c from the positions in pos, leaving the solution in x
// (renumbered). Returns the iterations run and sets *rel to the relative
// residual reached.
static int64_t cg_coordinate(const cot_op* op, const free_system* fs, const uint8_t* free_mask,
                             const double* rest, const double* pos, int c, double lambda, double* x, double* b,
                             double* r, double* z, double* p, double* q, const double* M, double* rel)
{
    const int64_t k = fs->k;
    const int64_t* list = fs->list;
    for (int64_t l = 0; l < k; l++) {
        int64_t i = list[l];
        x[l] = pos[3 * i + c];
        double bi = op->mass[i] * rest[3 * i + c];
        for (int64_t e = op->rowptr[i]; e < op->rowptr[i + 1]; e++) {
            int32_t j = op->col[e];
            if (!free_mask[j]) bi += (op->val[e] * lambda) * pos[3 * (int64_t)j + c];
        }
        b[l] = bi;
    }

    free_matvec(fs, x, q);
    double bb = 0, rho = 0, rr = 0;
    for (int64_t l = 0; l < k; l++) {
        r[l] = b[l] - q[l];
        z[l] = r[l] / M[l];
        p[l] = z[l];
        bb += b[l] * b[l];
        rho += r[l] * z[l];
        rr += r[l] * r[l];
    }

    const double stop = (g_par.cg_tol * g_par.cg_tol) * bb;
    int64_t it = 0;
    while (rr > stop && it < g_par.cg_max) {
        double pq = free_matvec(fs, p, q);
        double alpha = rho / pq;
        // Breakdown (a zero or non-finite curvature along p): stop on the last
        // finite iterate rather than write NaN positions.
        if (!(std::isfinite(pq) && pq > 0) || !std::isfinite(alpha)) break;
        double rr_new = 0, rho_new = 0;
        for (int64_t l = 0; l < k; l++) {
            x[l] += alpha * p[l];
            double rl = r[l] - alpha * q[l];
            r[l] = rl;
            rr_new += rl * rl;
            double zl = rl / M[l];
            z[l] = zl;
            rho_new += rl * zl;
        }
        double beta = rho_new / rho;
        for (int64_t l = 0; l < k; l++) p[l] = z[l] + beta * p[l];
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
    // Sized from the mask itself, whatever count the caller announces.
    int64_t k = 0;
    for (int64_t i = 0; i < n; i++) k += free_mask[i] != 0;
    int64_t* list = (int64_t*)cg_alloc((size_t)(k + 1) * sizeof(int64_t));
    k = 0;
    for (int64_t i = 0; i < n; i++)
        if (free_mask[i]) list[k++] = i;

    // Work vectors indexed by free-list position.
    size_t vec = (size_t)(k + 1) * sizeof(double);
    double* x = (double*)cg_alloc(vec);
    double* b = (double*)cg_alloc(vec);
    double* r = (double*)cg_alloc(vec);
    double* z = (double*)cg_alloc(vec);
    double* p = (double*)cg_alloc(vec);
    double* q = (double*)cg_alloc(vec);
    double* M = (double*)cg_alloc(vec);

    free_system fs;
    free_system_build(&fs, op, free_mask, list, k, lambda);
    for (int64_t l = 0; l < k; l++) {
        double m = fs.adiag[l];
        // A row without positive finite diagonal cannot scale its residual.
        M[l] = (std::isfinite(m) && m > 0) ? m : 1.0;
    }

    double rel_max = 0;
    int64_t iters = 0;
    for (int c = 0; c < 3; c++) {
        if (k == 0) continue;
        double rel = 0;
        iters += cg_coordinate(op, &fs, free_mask, rest, pos, c, lambda, x, b, r, z, p, q, M, &rel);
        if (rel > rel_max) rel_max = rel;
        for (int64_t l = 0; l < k; l++)
            if (std::isfinite(x[l])) pos[3 * list[l] + c] = x[l];
    }
    free_system_free(&fs);

    double* disp = (double*)cg_alloc((size_t)(k + 1) * sizeof(double));
    for (int64_t l = 0; l < k; l++) {
        int64_t i = list[l];
        double dx = pos[3 * i] - rest[3 * i];
        double dy = pos[3 * i + 1] - rest[3 * i + 1];
        double dz = pos[3 * i + 2] - rest[3 * i + 2];
        disp[l] = sqrt(dx * dx + dy * dy + dz * dz);
    }
    stable_sort_by(disp, k, cmp_double);
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
