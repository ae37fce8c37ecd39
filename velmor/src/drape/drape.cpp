// Cap-wall crossing detection: grid-culled candidates, segment-triangle tests both ways.
// Per cap triangle, wall candidates come from the grid cells around it, then
// both triangles' edges are tested through the other, on the OpenMP team.
#include "drape/drape.h"

#include "core/geometry.h"
#include "core/params.h"
#include "core/targets.h"
#include "drape/wall_grid.h"

#include <omp.h>

#include <cmath>

static inline int32_t box_cell(double v, int32_t n)
{
    // Clamped in double: NaN, infinite and far corners convert safely.
    if (!(v > 0)) return 0;
    if (v >= (double)(n - 1)) return n - 1;
    return (int32_t)v;
}

static inline double dist2(const double* a, const double* b)
{
    double dx = a[0] - b[0], dy = a[1] - b[1], dz = a[2] - b[2];
    return dx * dx + dy * dy + dz * dz;
}

// Gathers the candidates of one cap triangle into buf; returns their count.
static int64_t gather(const wall_grid* g, const double* const P[3], int32_t* buf)
{
    double c[3];
    for (int a = 0; a < 3; a++) c[a] = ((P[0][a] + P[1][a]) + P[2][a]) / 3;
    // The farthest corner bounds the triangle around its centroid; a fixed
    // fraction of the longest edge can fall short of it by up to 2/3 L.
    double reach2 = dist2(P[0], c);
    double d2 = dist2(P[1], c);
    if (d2 > reach2) reach2 = d2;
    d2 = dist2(P[2], c);
    if (d2 > reach2) reach2 = d2;
    double r = (sqrt(reach2) + g->rmax) + 1e-6;
    double r2 = r * r;

    const int32_t n[3] = {g->nx, g->ny, g->nz};
    int32_t lo[3], hi[3];
    for (int a = 0; a < 3; a++) {
        lo[a] = box_cell(floor(((c[a] - r) - g->min[a]) / g->h), n[a]);
        hi[a] = box_cell(floor(((c[a] + r) - g->min[a]) / g->h), n[a]);
    }
    int64_t count = 0;
    for (int32_t z = lo[2]; z <= hi[2]; z++)
        for (int32_t y = lo[1]; y <= hi[1]; y++) {
            int32_t row = (z * g->ny + y) * g->nx;
            for (int32_t s = g->cell_start[row + lo[0]]; s < g->cell_start[row + hi[0] + 1]; s++) {
                if (dist2(g->cell_centroids + 3 * (int64_t)s, c) <= r2) buf[count++] = g->cell_faces[s];
            }
        }
    return count;
}

// Drops the wall triangles that share an edge or all corners with the cap
// triangle, keeping the order of the rest.
static int64_t skip_shared(const wall_grid* g, const double* const P[3], int32_t* buf, int64_t count)
{
    int64_t kept = 0;
    for (int64_t l = 0; l < count; l++) {
        const int32_t* f = g->faces + 3 * (int64_t)buf[l];
        int shared = 0;
        for (int k = 0; k < 3; k++) {
            const double* W = g->points + 3 * (int64_t)f[k];
            double m = dist2(W, P[0]);
            double d = dist2(W, P[1]);
            if (d < m) m = d;
            d = dist2(W, P[2]);
            if (d < m) m = d;
            if (m < 1e-18) shared++;
        }
        if (shared < 2) buf[kept++] = buf[l];
    }
    return kept;
}

// Crossings of the cap triangle P with the candidates; returns the hits and
// sets *dfar to the largest border distance of a piercing point.
static int64_t cross_tests(const drape_job* job, const double* const P[3], const int32_t* buf,
                           int64_t count, double* dfar)
{
    const wall_grid* g = job->grid;
    int64_t hits = 0;
    double far = 0.0;
    for (int64_t l = 0; l < count; l++) {
        const int32_t* f = g->faces + 3 * (int64_t)buf[l];
        const double* W[3] = {g->points + 3 * (int64_t)f[0], g->points + 3 * (int64_t)f[1],
                              g->points + 3 * (int64_t)f[2]};
        for (int k = 1; k <= 3; k++) {
            int j = k % 3;
            double t, X[3];
            if (seg_tri_cross_t(P[k - 1], P[j], W[0], W[1], W[2], &t)) {
                for (int a = 0; a < 3; a++) X[a] = P[k - 1][a] + t * (P[j][a] - P[k - 1][a]);
                hits++;
                double d = border_nearest(job->bd, X);
                if (d > far) far = d;
            }
            if (seg_tri_cross_t(W[k - 1], W[j], P[0], P[1], P[2], &t)) {
                for (int a = 0; a < 3; a++) X[a] = W[k - 1][a] + t * (W[j][a] - W[k - 1][a]);
                hits++;
                double d = border_nearest(job->bd, X);
                if (d > far) far = d;
            }
        }
    }
    *dfar = far;
    return hits;
}

void drape(drape_job* job)
{
    const wall_grid* g = job->grid;
    const int32_t* tri = job->ts->tri;
    const int64_t nt = job->ts->n;
    const double* pos = job->pos;
    int nthreads = job->nscratch > 0 ? job->nscratch : 1;

    // Waking a team of 8 sleeping workers took 0.2 ms on a loaded machine,
    // about what one thread needs for the detection of a few hundred cap
    // triangles (the small-hole benchmark): below this, one thread.
    constexpr int64_t kParallelMin = 1024;
    // One candidate buffer per thread number: the team is capped at their count.
#pragma omp parallel num_threads(nthreads) if (nt >= kParallelMin)
    {
        int32_t* buf = job->scratch[omp_get_thread_num()];
        int64_t my_cross = 0, my_far = 0;
        double my_max = -INFINITY;
#pragma omp for schedule(dynamic, 64) nowait
        for (int64_t t = 0; t < nt; t++) {
            const double* P[3] = {pos + 3 * (int64_t)tri[3 * t], pos + 3 * (int64_t)tri[3 * t + 1],
                                  pos + 3 * (int64_t)tri[3 * t + 2]};
            uint8_t crossing = 0, far = 0;
            int64_t count = gather(g, P, buf);
            if (count > 0) count = skip_shared(g, P, buf, count);
            if (count > 0) {
                double dfar = 0.0;
                if (cross_tests(job, P, buf, count, &dfar) > 0) {
                    crossing = 1;
                    my_cross++;
                    if (dfar > g_par.dbord) {
                        far = 1;
                        my_far++;
                    }
                    if (dfar > my_max) my_max = dfar;
                }
            }
            job->cross_flag[t] = crossing;
            job->far_flag[t] = far;
        }
        // Sums and a maximum: the same results whatever the order of threads.
#pragma omp critical
        {
            job->ncross += my_cross;
            job->nfar += my_far;
            if (my_max > job->dmax) job->dmax = my_max;
        }
    }
}
