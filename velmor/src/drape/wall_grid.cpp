// Nearest wall triangle through a uniform grid: shells of cells searched by centroid distance.
// Cubic cells over the wall triangles' centroids (counting sort into
// compressed cell lists); the query ranks shells of cells by centroid
// distance and finds the exact closest point by the Voronoi-region tests
// (Ericson, Real-Time Collision Detection, 5.1.5).
#include "drape/wall_grid.h"

#include "core/fail.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

static const int kNearest = 32;
static const int kSeen = 1024;

static void* grid_alloc(size_t bytes)
{
    void* p = malloc(bytes ? bytes : 1);
    if (!p) die_memory("grille paroi");
    return p;
}

// Cell coordinate of a scaled offset, clamped to [0, n - 1] in double so
// that NaN, infinite and far values never reach an integer conversion.
static inline int32_t axis_cell(double v, int32_t n)
{
    if (!(v > 0)) return 0;
    if (v >= (double)(n - 1)) return n - 1;
    return (int32_t)v;
}

static inline int32_t axis_count(double extent, double h)
{
    double q = extent / h;
    if (!(q > 0)) return 1;
    if (q >= 127) return 128;
    return (int32_t)q + 1;
}

void wall_grid_build(wall_grid* g, const double* points, int32_t np, const int32_t* faces, int32_t nf)
{
    double t_start = omp_get_wtime();
    g->np = np;
    g->nf = nf;
    g->points = points;
    g->faces = faces;
    double* cen = (double*)grid_alloc((size_t)nf * 3 * sizeof(double));
    g->centroids = cen;

    double mn[3] = {INFINITY, INFINITY, INFINITY}, mx[3] = {-INFINITY, -INFINITY, -INFINITY};
    double r2 = 0;
    for (int32_t t = 0; t < nf; t++) {
        const double* A = points + 3 * (int64_t)faces[3 * t];
        const double* B = points + 3 * (int64_t)faces[3 * t + 1];
        const double* C = points + 3 * (int64_t)faces[3 * t + 2];
        double* c = cen + 3 * (int64_t)t;
        for (int a = 0; a < 3; a++) {
            c[a] = ((A[a] + B[a]) + C[a]) / 3;
            if (c[a] < mn[a]) mn[a] = c[a];
            if (c[a] > mx[a]) mx[a] = c[a];
        }
        const double* corner[3] = {A, B, C};
        for (int k = 0; k < 3; k++) {
            double dx = corner[k][0] - c[0], dy = corner[k][1] - c[1], dz = corner[k][2] - c[2];
            double d2 = dx * dx + dy * dy + dz * dz;
            if (d2 > r2) r2 = d2;
        }
    }
    g->rmax = sqrt(r2);
    double h = 2 * g->rmax;
    if (!(h > 0)) h = 1.0;
    double ext[3];
    for (int a = 0; a < 3; a++) {
        g->min[a] = mn[a];
        ext[a] = mx[a] - mn[a];
    }
    double L = ext[0];
    if (ext[1] > L) L = ext[1];
    if (ext[2] > L) L = ext[2];
    if (L / h > 127) h = L / 127;
    g->h = h;
    g->nx = axis_count(ext[0], h);
    g->ny = axis_count(ext[1], h);
    g->nz = axis_count(ext[2], h);

    int64_t ncell = (int64_t)g->nx * g->ny * g->nz;
    int32_t* start = (int32_t*)calloc((size_t)ncell + 1, sizeof(int32_t));
    if (!start) die_memory("grille paroi");
    int32_t* cell_faces = (int32_t*)grid_alloc((size_t)nf * sizeof(int32_t));
    int32_t* cell_of = (int32_t*)grid_alloc((size_t)nf * sizeof(int32_t));
    for (int32_t t = 0; t < nf; t++) {
        const double* c = cen + 3 * (int64_t)t;
        int32_t ix = axis_cell((c[0] - mn[0]) / h, g->nx);
        int32_t iy = axis_cell((c[1] - mn[1]) / h, g->ny);
        int32_t iz = axis_cell((c[2] - mn[2]) / h, g->nz);
        int32_t cell = (iz * g->ny + iy) * g->nx + ix;
        cell_of[t] = cell;
        start[cell + 1]++;
    }
    for (int64_t c = 0; c < ncell; c++) start[c + 1] += start[c];
    int32_t* fill = (int32_t*)calloc((size_t)ncell, sizeof(int32_t));
    if (!fill) die_memory("grille paroi");
    for (int32_t t = 0; t < nf; t++) {
        int32_t c = cell_of[t];
        cell_faces[start[c] + fill[c]++] = t;
    }
    free(fill);
    free(cell_of);
    double* cell_cen = (double*)grid_alloc((size_t)nf * 3 * sizeof(double));
    for (int32_t s = 0; s < nf; s++)
        for (int a = 0; a < 3; a++) cell_cen[3 * (int64_t)s + a] = cen[3 * (int64_t)cell_faces[s] + a];
    g->cell_start = start;
    g->cell_faces = cell_faces;
    g->cell_centroids = cell_cen;

    fprintf(stderr, "  grille paroi : %d x %d x %d cellules de %.2f mm, %.2f s\n", g->nx, g->ny, g->nz, g->h,
            omp_get_wtime() - t_start);
}

void wall_grid_free(wall_grid* g)
{
    free_and_null(g->centroids, g->cell_start, g->cell_faces, g->cell_centroids);
}

// Closest point X of triangle abc to q; the region order decides ties.
static void closest_on_tri(const double* q, const double* a, const double* b, const double* c, double* X)
{
    double ab[3], ac[3], ap[3], bp[3], cp[3];
    for (int k = 0; k < 3; k++) {
        ab[k] = b[k] - a[k];
        ac[k] = c[k] - a[k];
        ap[k] = q[k] - a[k];
    }
    double d1 = ab[0] * ap[0] + ab[1] * ap[1] + ab[2] * ap[2];
    double d2 = ac[0] * ap[0] + ac[1] * ap[1] + ac[2] * ap[2];
    if (d1 <= 0 && d2 <= 0) {
        for (int k = 0; k < 3; k++) X[k] = a[k];
        return;
    }
    for (int k = 0; k < 3; k++) bp[k] = q[k] - b[k];
    double d3 = ab[0] * bp[0] + ab[1] * bp[1] + ab[2] * bp[2];
    double d4 = ac[0] * bp[0] + ac[1] * bp[1] + ac[2] * bp[2];
    if (d3 >= 0 && d4 <= d3) {
        for (int k = 0; k < 3; k++) X[k] = b[k];
        return;
    }
    double vc = d1 * d4 - d2 * d3;
    if (vc <= 0 && d1 >= 0 && d3 <= 0) {
        double s = d1 / (d1 - d3);
        for (int k = 0; k < 3; k++) X[k] = a[k] + s * ab[k];
        return;
    }
    for (int k = 0; k < 3; k++) cp[k] = q[k] - c[k];
    double d5 = ab[0] * cp[0] + ab[1] * cp[1] + ab[2] * cp[2];
    double d6 = ac[0] * cp[0] + ac[1] * cp[1] + ac[2] * cp[2];
    if (d6 >= 0 && d5 <= d6) {
        for (int k = 0; k < 3; k++) X[k] = c[k];
        return;
    }
    double vb = d5 * d2 - d1 * d6;
    if (vb <= 0 && d2 >= 0 && d6 <= 0) {
        double s = d2 / (d2 - d6);
        for (int k = 0; k < 3; k++) X[k] = a[k] + s * ac[k];
        return;
    }
    double va = d3 * d6 - d5 * d4;
    if (va <= 0 && d4 - d3 >= 0 && d5 - d6 >= 0) {
        double s = (d4 - d3) / ((d4 - d3) + (d5 - d6));
        for (int k = 0; k < 3; k++) X[k] = b[k] + s * (c[k] - b[k]);
        return;
    }
    double s = 1 / ((va + vb) + vc);
    for (int k = 0; k < 3; k++) X[k] = a[k] + ab[k] * (vb * s) + ac[k] * (vc * s);
}

// Lower bound of the squared distance from q to any centroid filed in cell
// index i along one axis: the border cells reach out to infinity (they also
// hold what rounding or clamping put there), the others get a margin for
// the rounding of the cell coordinate.
static inline double axis_gap(const wall_grid* g, int a, int32_t i, int32_t n, double q)
{
    const double h = g->h, slack = 1e-7 * h;
    double lo = i == 0 ? -INFINITY : g->min[a] + i * h - slack;
    double hi = i == n - 1 ? INFINITY : g->min[a] + (i + 1) * h + slack;
    if (q < lo) return lo - q;
    if (q > hi) return q - hi;
    return 0.0;
}

// Calls visit(t, d2) for every triangle of the cells at Chebyshev radius r
// from the home cell, z outermost, then y, then x, each ascending. A cell
// none of whose centroids can come under limit() is passed over: the visits
// that remain, and their order, are those that can change anything.
template <class Limit, class Visit>
static inline void visit_shell(const wall_grid* g, const double* q, const int32_t* home, int32_t r,
                               Limit&& limit, Visit&& visit)
{
    const int32_t n[3] = {g->nx, g->ny, g->nz};
    int32_t lo[3], hi[3];
    for (int a = 0; a < 3; a++) {
        lo[a] = home[a] - r < 0 ? 0 : home[a] - r;
        hi[a] = home[a] + r > n[a] - 1 ? n[a] - 1 : home[a] + r;
    }
    for (int32_t z = lo[2]; z <= hi[2]; z++) {
        bool zr = z == home[2] - r || z == home[2] + r;
        double gz = axis_gap(g, 2, z, n[2], q[2]);
        if (gz * gz * (1 - 1e-9) >= limit()) continue;
        for (int32_t y = lo[1]; y <= hi[1]; y++) {
            bool onface = zr || y == home[1] - r || y == home[1] + r;
            double gy = axis_gap(g, 1, y, n[1], q[1]);
            double gzy = gz * gz + gy * gy;
            // The limit only falls while a row is walked: reading it once
            // per row passes over fewer cells, never one that matters.
            const double lim = limit();
            if (gzy * (1 - 1e-9) >= lim) continue;
            // Off the z and y faces of the shell only its two x ends qualify.
            int32_t step = onface || r == 0 ? 1 : 2 * r;
            int32_t x0 = onface ? lo[0] : home[0] - r;
            for (int32_t x = x0; x <= hi[0]; x += step) {
                if (x < 0) continue;
                double gx = axis_gap(g, 0, x, n[0], q[0]);
                if ((gzy + gx * gx) * (1 - 1e-9) >= lim) continue;
                int32_t cell = (z * g->ny + y) * g->nx + x;
                for (int32_t s = g->cell_start[cell]; s < g->cell_start[cell + 1]; s++) {
                    const double* c = g->cell_centroids + 3 * (int64_t)s;
                    double dx = c[0] - q[0], dy = c[1] - q[1], dz = c[2] - q[2];
                    visit(g->cell_faces[s], dx * dx + dy * dy + dz * dz);
                }
            }
        }
    }
}

static inline double exact_closest(const wall_grid* g, const double* q, int32_t t, double* X)
{
    const int32_t* f = g->faces + 3 * (int64_t)t;
    closest_on_tri(q, g->points + 3 * (int64_t)f[0], g->points + 3 * (int64_t)f[1],
                   g->points + 3 * (int64_t)f[2], X);
    double dx = q[0] - X[0], dy = q[1] - X[1], dz = q[2] - X[2];
    return sqrt(dx * dx + dy * dy + dz * dz);
}

void wall_closest(const wall_grid* g, const double* q, double* out, int32_t* tri)
{
    *tri = -1;
    if (!std::isfinite(q[0]) || !std::isfinite(q[1]) || !std::isfinite(q[2])) return;
    const double h = g->h;
    int32_t home[3] = {axis_cell(floor((q[0] - g->min[0]) / h), g->nx),
                       axis_cell(floor((q[1] - g->min[1]) / h), g->ny),
                       axis_cell(floor((q[2] - g->min[2]) / h), g->nz)};
    int32_t R = 0;
    const int32_t n[3] = {g->nx, g->ny, g->nz};
    for (int a = 0; a < 3; a++) {
        if (home[a] > R) R = home[a];
        if (n[a] - 1 - home[a] > R) R = n[a] - 1 - home[a];
    }

    double cd2[kNearest];
    int32_t ct[kNearest];
    int count = 0;
    // Every visited pair, in visit order, for the search past the 32 below;
    // once it overflows that search walks the cells again instead.
    double seen_d2[kSeen];
    int32_t seen_t[kSeen];
    int nseen = 0;
    auto rank = [&](int32_t t, double d2) {
        if (nseen < kSeen) {
            seen_d2[nseen] = d2;
            seen_t[nseen] = t;
        }
        nseen++;
        if (count == kNearest && !(d2 < cd2[kNearest - 1])) return;
        int pos = count < kNearest ? count : kNearest - 1;
        while (pos > 0 && cd2[pos - 1] > d2) {
            cd2[pos] = cd2[pos - 1];
            ct[pos] = ct[pos - 1];
            pos--;
        }
        cd2[pos] = d2;
        ct[pos] = t;
        if (count < kNearest) count++;
    };
    // Once 32 are listed only a strictly nearer centroid can enter. While
    // pairs are recorded, the search past the 32 also needs every centroid
    // nearer than its final reach, which is at most the nearest centroid's
    // distance (the centroid lies on its triangle) plus rmax.
    auto rank_limit = [&] {
        if (count < kNearest) return (double)INFINITY;
        double lim = cd2[kNearest - 1];
        if (nseen <= kSeen) {
            double reach_bound = sqrt(cd2[0]) * (1 + 1e-9) + g->rmax;
            lim = std::max(lim, reach_bound * reach_bound * (1 + 1e-9));
        }
        return lim;
    };
    int32_t r = 0;
    for (; r <= R; r++) {
        visit_shell(g, q, home, r, rank_limit, rank);
        double reach = r * h;
        if (count == kNearest && reach * reach >= cd2[kNearest - 1]) break;
    }
    if (count == 0) return;

    double best = INFINITY, X[3];
    for (int l = 0; l < count; l++) {
        double d = exact_closest(g, q, ct[l], X);
        if (d < best) {
            best = d;
            *tri = ct[l];
            out[0] = X[0];
            out[1] = X[1];
            out[2] = X[2];
        }
    }

    // A large triangle whose centroid ranked past the 32 listed can still be
    // nearer: every unlisted triangle lies no nearer than its centroid
    // distance minus rmax, and every centroid of a cell no nearer than the
    // cell's box (visit_shell passes over the cells beyond reach).
    if (count < kNearest || !std::isfinite(best)) return;
    double reach = best + g->rmax;
    if (reach * reach <= cd2[kNearest - 1]) return;
    auto consider = [&](int32_t t, double d2) {
        // Nearer centroids than the 32nd were all listed and measured.
        if (d2 < cd2[kNearest - 1] || !(d2 < reach * reach)) return;
        double d = exact_closest(g, q, t, X);
        if (d < best) {
            best = d;
            reach = best + g->rmax;
            *tri = t;
            out[0] = X[0];
            out[1] = X[1];
            out[2] = X[2];
        }
    };
    // The record holds every pair that matters only if no pair was lost and
    // best kept under the nearest centroid's distance (a collapsed triangle
    // can measure NaN and leave best above it).
    int32_t first_unseen = 0;
    if (nseen <= kSeen && best <= sqrt(cd2[0]) * (1 + 1e-9)) {
        for (int l = 0; l < nseen; l++) consider(seen_t[l], seen_d2[l]);
        first_unseen = r + 1;
    }
    for (int32_t s = first_unseen; s <= R; s++) {
        // Every centroid of shell s lies at least (s - 1) h from q.
        if (s > 1 && (s - 1) * h - 1e-9 * h >= reach) break;
        visit_shell(g, q, home, s, [&] { return reach * reach; }, consider);
    }
}
