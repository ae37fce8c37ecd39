// Draping by push and re-fairing: far crossings pushed off the wall until none is left.
// A vote of the material side, then detections, each followed by pushes of
// the far crossings' created corners to a growing guard off the wall, their
// freezing, and a re-fairing of the points still free.
#include "drape/drape_passes.h"

#include "core/fail.h"
#include "core/params.h"
#include "core/stores.h"
#include "core/targets.h"
#include "drape/drape.h"
#include "drape/wall_grid.h"
#include "fair/cot_op.h"
#include "fair/fairing.h"

#include <omp.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static void* drape_alloc(size_t bytes, bool zeroed)
{
    void* p = zeroed ? calloc(bytes ? bytes : 1, 1) : malloc(bytes ? bytes : 1);
    if (!p) die(3, "memoire insuffisante (%zu octets)\n", bytes);
    return p;
}

// Normal (B - A) x (C - A) of wall triangle f and its length.
static double wall_normal(const wall_grid* g, int32_t f, double* nrm)
{
    const int32_t* idx = g->faces + 3 * (int64_t)f;
    const double* A = g->points + 3 * (int64_t)idx[0];
    const double* B = g->points + 3 * (int64_t)idx[1];
    const double* C = g->points + 3 * (int64_t)idx[2];
    double u[3] = {B[0] - A[0], B[1] - A[1], B[2] - A[2]};
    double v[3] = {C[0] - A[0], C[1] - A[1], C[2] - A[2]};
    nrm[0] = u[1] * v[2] - u[2] * v[1];
    nrm[1] = u[2] * v[0] - u[0] * v[2];
    nrm[2] = u[0] * v[1] - u[1] * v[0];
    return sqrt(nrm[0] * nrm[0] + nrm[1] * nrm[1] + nrm[2] * nrm[2]);
}

static double vote_side(const verts* vs, int32_t np, const wall_grid* g)
{
    int64_t votes = 0, sum = 0;
    for (int64_t v = np; v < vs->n; v++) {
        const double* X = vs->xyz + 3 * v;
        double q[3], nrm[3];
        int32_t f;
        wall_closest(g, X, q, &f);
        if (f < 0) continue;
        double len = wall_normal(g, f, nrm);
        if (!(len >= 1e-15)) continue;
        double s = ((X[0] - q[0]) * nrm[0] + (X[1] - q[1]) * nrm[1] + (X[2] - q[2]) * nrm[2]) / len;
        if (!(fabs(s) >= 1e-9)) continue;
        votes++;
        sum += s > 0 ? 1 : -1;
    }
    double side = sum < 0 ? -1.0 : 1.0;
    double agree = votes > 0 ? (double)((sum < 0 ? -sum : sum) + votes) * 100 / (double)(2 * votes) : 0.0;
    fprintf(stderr, "  cote matiere : signe %+.0f x normale, vote de %lld points remailles, %.1f%% d'accord\n",
            side, (long long)votes, agree);
    return side;
}

struct push_stats {
    int64_t attempts, failures, repushes, opposite;
    double gmax;
};

// One push of created vertex v to its next guard; false when not attempted.
static bool push_vertex(const verts* vs, const wall_grid* g, int64_t v, double side, double* draped,
                        int32_t* pushes, uint8_t* movable, int64_t* frozen, push_stats* st)
{
    int32_t k = pushes[v] + 1;
    double guard = k * g_par.clear;
    if (guard > g_par.clear_max + 1e-9) return false;
    double gd = g_par.clear_max < guard ? g_par.clear_max : guard;
    // A guard that is not a finite distance (a NaN or infinite option) would
    // write NaN positions: no push at all.
    if (!std::isfinite(gd)) return false;
    st->attempts++;
    double* X = draped + 3 * v;
    double q[3], nrm[3];
    int32_t f;
    wall_closest(g, X, q, &f);
    double len = f >= 0 ? wall_normal(g, f, nrm) : 0.0;
    if (f < 0 || !(len >= 1e-15)) {
        st->failures++;
        return true;
    }
    double u[3] = {nrm[0] / len, nrm[1] / len, nrm[2] / len};
    const double* S = vs->xyz + 3 * v;
    double sigma = ((S[0] - q[0]) * u[0] + (S[1] - q[1]) * u[1] + (S[2] - q[2]) * u[2]) >= 0 ? 1.0 : -1.0;
    if (sigma != side) st->opposite++;
    pushes[v] = k;
    if (k > 1) st->repushes++;
    if (gd > st->gmax) st->gmax = gd;
    double off = gd * side;
    for (int a = 0; a < 3; a++) X[a] = q[a] + off * u[a];
    if (movable[v]) {
        movable[v] = 0;
        (*frozen)++;
    }
    return true;
}

double drape_passes(const verts* vs, const tris* ts, int32_t np, const double* smoothed, double* draped,
                    const border* bd, const wall_grid* g, const cot_op* op)
{
    const int64_t nv = vs->n, nt = ts->n;
    memcpy(draped, smoothed, (size_t)nv * 3 * sizeof(double));
    double side = vote_side(vs, np, g);

    uint8_t* movable = (uint8_t*)drape_alloc((size_t)nv, true);
    int32_t* pushes = (int32_t*)drape_alloc((size_t)nv * sizeof(int32_t), true);
    for (int64_t v = np; v < nv; v++) movable[v] = 1;
    int32_t nbuf = omp_get_max_threads();
    int32_t** scratch = (int32_t**)drape_alloc((size_t)nbuf * sizeof(int32_t*), false);
    for (int32_t b = 0; b < nbuf; b++) scratch[b] = (int32_t*)drape_alloc((size_t)g->nf * sizeof(int32_t), false);
    uint8_t* cross_flag = (uint8_t*)drape_alloc((size_t)nt, true);
    uint8_t* far_flag = (uint8_t*)drape_alloc((size_t)nt, true);

    const double lambda = g_par.radius * g_par.radius;
    int64_t frozen = 0, last_cross = 0;
    double last_dmax = 0.0;
    for (int32_t d = 0; d <= g_par.drap_passes;) {
        drape_job job;
        job.grid = g;
        job.bd = bd;
        job.ts = ts;
        job.pos = draped;
        job.scratch = scratch;
        job.nscratch = nbuf;
        job.cross_flag = cross_flag;
        job.far_flag = far_flag;
        job.dmax = 0.0;
        job.nfar = 0;
        job.ncross = 0;
        double t_detect = omp_get_wtime();
        drape(&job);
        last_cross = job.ncross;
        last_dmax = job.dmax;
        fprintf(stderr,
                "  drap : detection %d : %lld triangle(s) traversant(s), %lld avec un point de percement a "
                "plus de %g mm du bord (%.1f s)\n",
                d, (long long)job.ncross, (long long)job.nfar, g_par.dbord, omp_get_wtime() - t_detect);
        if (job.ncross == 0) break;
        if (d == g_par.drap_passes) break;
        if (job.nfar == 0) {
            fprintf(stderr, "  drap : %lld frolement(s) au ras du bord laisses tels quels, rien a repousser\n",
                    (long long)job.ncross);
            break;
        }

        uint8_t* mark = (uint8_t*)drape_alloc((size_t)nv, true);
        int64_t nmarked = 0;
        for (int64_t t = 0; t < nt; t++) {
            if (!far_flag[t]) continue;
            for (int k = 0; k < 3; k++) {
                int32_t v = ts->tri[3 * t + k];
                if (v >= np && !mark[v]) {
                    mark[v] = 1;
                    nmarked++;
                }
            }
        }
        push_stats st = {0, 0, 0, 0, 0.0};
        for (int64_t v = np; v < nv; v++)
            if (mark[v]) push_vertex(vs, g, v, side, draped, pushes, movable, &frozen, &st);
        free(mark);
        if (st.attempts == 0) {
            fprintf(stderr, "  drap : %lld sommet(s) cree(s) deja a la garde maximale %g mm, arret\n",
                    (long long)nmarked, g_par.clear_max);
            break;
        }
        d++;
        int64_t pushed = st.attempts - st.failures;
        fprintf(stderr,
                "  drap passe %d : %lld sommet(s) repousse(s) cote matiere (%lld nouveaux a %g mm, %lld "
                "re-repousses, garde max %.1f mm), dont %lld a l'oppose de la regle du squelette\n",
                d, (long long)pushed, (long long)(pushed - st.repushes), g_par.clear, (long long)st.repushes,
                st.gmax, (long long)st.opposite);
        int64_t nfree = (nv - np) - frozen;
        if (nfree > 0) {
            char label[64];
            snprintf(label, sizeof label, "relissage %d", d);
            fair_spring_cg(op, movable, vs->xyz, draped, nfree, label, lambda);
        }
    }

    int64_t buckets[8] = {0};
    for (int64_t v = np; v < nv; v++)
        if (pushes[v] > 0) buckets[pushes[v] >= 7 ? 7 : pushes[v]]++;
    fprintf(stderr, "drap : %lld sommet(s) fige(s) au total (repoussages par sommet :", (long long)frozen);
    for (int b = 1; b <= 7; b++)
        if (buckets[b] > 0) fprintf(stderr, " %lld x%d%s", (long long)buckets[b], b, b == 7 ? "+" : "");
    fprintf(stderr, "), traversants restants = %lld, distance max au bord des points de percement = %.2f mm\n",
            (long long)last_cross, last_dmax);

    for (int32_t b = 0; b < nbuf; b++) free(scratch[b]);
    free(scratch);
    free(cross_flag);
    free(far_flag);
    free(movable);
    free(pushes);
    return last_dmax;
}
