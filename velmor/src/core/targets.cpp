// Sizing field: border targets graded along the contour, filled inward by distance, capped.
// Border targets come from the incident wall sides, graded along the
// contour, under a ceiling from the cap half-width; the parallel fill
// min(base + grad * distance to the nearest contour point, ceiling) serves
// every invalidated vertex target.
#include "core/targets.h"

#include "core/fail.h"
#include "core/params.h"
#include "core/stores.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

static void* zeroed_or_die(size_t count, size_t size)
{
    void* p = calloc(count, size);
    if (!p) die(3, "memoire insuffisante (%zu octets)\n", count * size);
    return p;
}

// Both sweeps walk twice around the loop so that a large target can lift
// its neighbours all the way round; two rounds of the pair.
static long long grade_along_contour(double* targ, int32_t n, double g)
{
    long long raises = 0;
    for (int round = 0; round < 2; round++) {
        for (int64_t i = 1; i <= 2 * (int64_t)n; i++) {
            double c = targ[(i - 1) % n] / g;
            if (c > targ[i % n]) {
                targ[i % n] = c;
                raises++;
            }
        }
        for (int64_t j = 2 * (int64_t)n; j >= 1; j--) {
            double c = targ[j % n] / g;
            if (c > targ[(j - 1) % n]) {
                targ[(j - 1) % n] = c;
                raises++;
            }
        }
    }
    return raises;
}

void border_setup(border* bd, verts* vs, const input* in)
{
    const int32_t np = in->np, n = in->n;
    const double* P = in->points;
    bd->n = n;
    bd->contour = in->contour;
    bd->points = P;

    uint8_t* on_contour = (uint8_t*)zeroed_or_die((size_t)np, 1);
    double* sum = (double*)zeroed_or_die((size_t)np, sizeof(double));
    int64_t* count = (int64_t*)zeroed_or_die((size_t)np, sizeof(int64_t));
    for (int32_t k = 0; k < n; k++) on_contour[in->contour[k]] = 1;

    // A side shared by two wall triangles counts once per triangle.
    for (int32_t f = 0; f < in->nf; f++) {
        const int32_t* t = in->faces + 3 * (int64_t)f;
        for (int j = 0; j < 3; j++) {
            int32_t u = t[j], v = t[j == 2 ? 0 : j + 1];
            if (!on_contour[u] && !on_contour[v]) continue;
            double dx = P[3 * (int64_t)v] - P[3 * (int64_t)u];
            double dy = P[3 * (int64_t)v + 1] - P[3 * (int64_t)u + 1];
            double dz = P[3 * (int64_t)v + 2] - P[3 * (int64_t)u + 2];
            double len = std::sqrt(dx * dx + dy * dy + dz * dz);
            if (on_contour[u]) sum[u] += len, count[u]++;
            if (on_contour[v]) sum[v] += len, count[v]++;
        }
    }

    const double rim = g_par.rim;
    double* T = (double*)zeroed_or_die((size_t)n, sizeof(double));
    double tmin = 1e300, tmax = 0;
    for (int32_t k = 0; k < n; k++) {
        int32_t c = in->contour[k];
        double mean = count[c] ? sum[c] / (double)count[c] : 0;
        double target = rim > mean ? rim : mean;
        T[k] = target;
        vs->base[c] = target;
        vs->targ[c] = NAN;
        if (target < tmin) tmin = target;
        if (target > tmax) tmax = target;
    }
    bd->targ = T;

    const double g = g_par.rim_grad;
    if (g > 1) {
        long long raises = grade_along_contour(T, n, g);
        tmin = 1e300;
        tmax = 0;
        for (int32_t k = 0; k < n; k++) {
            vs->base[in->contour[k]] = T[k];
            if (T[k] < tmin) tmin = T[k];
            if (T[k] > tmax) tmax = T[k];
        }
        fprintf(stderr, "  cible : gradation %g le long du bord, %lld relevement(s)\n", g, raises);
    }
    free(on_contour);
    free(sum);
    free(count);

    // Half-width over the input cap, before any remeshing.
    double W = 0;
    for (int32_t f = 0; f < in->m; f++) {
        const int32_t* t = in->cap + 3 * (int64_t)f;
        const double *a = P + 3 * (int64_t)t[0], *b = P + 3 * (int64_t)t[1], *c = P + 3 * (int64_t)t[2];
        double centroid[3];
        for (int i = 0; i < 3; i++) centroid[i] = ((a[i] + b[i]) + c[i]) / 3;
        double d = border_nearest(bd, centroid);
        if (d > W) W = d;
    }
    // A NaN option drops out of the min and max rather than poisoning the
    // ceiling; tmax is never NaN.
    double spread = g_par.far_ratio * W;
    double upper = spread > tmax ? spread : tmax;
    bd->ceiling = g_par.far < upper ? g_par.far : upper;
    fprintf(stderr,
            "  cible : bord min %.2f / max %.2f mm (plancher %g), +%g mm/mm, plafond %.2f mm "
            "(%g x %.1f mm de demi-largeur, max %g)\n",
            tmin, tmax, rim, g_par.grad, bd->ceiling, g_par.far_ratio, W, g_par.far);
}

double border_nearest(const border* bd, const double* p)
{
    const double* P = bd->points;
    double best = 1e300;  // squared
    for (int32_t k = 0; k < bd->n; k++) {
        const double* q = P + 3 * (int64_t)bd->contour[k];
        double dx = p[0] - q[0], dy = p[1] - q[1], dz = p[2] - q[2];
        double d2 = dx * dx + dy * dy + dz * dz;
        if (d2 < best) best = d2;
    }
    return std::sqrt(best);
}

void targets_fill(const border* bd, verts* vs)
{
    const double grad = g_par.grad, ceiling = bd->ceiling;
    const double* xyz = vs->xyz;
    const double* base = vs->base;
    double* targ = vs->targ;
    const int64_t n = vs->n;
    // The distance is finite and not negative (at most sqrt(1e300)), so with
    // no growth d x grad is a zero of grad's sign whatever d: the scan of
    // the contour can be skipped without changing a bit.
    if (grad == 0) {
        const double zero = 0.0 * grad;
        for (int64_t i = 0; i < n; i++) {
            if (!std::isnan(targ[i])) continue;
            double v = zero + base[i];
            targ[i] = v < ceiling ? v : ceiling;
        }
        return;
    }
    // Waking a team of 8 sleeping workers took 0.2 ms (median) on a loaded
    // 8-core machine, and a contour distance costs about 2 ns: a fill of
    // fewer distances than this is done sooner by the calling thread alone.
    constexpr int64_t kParallelMin = 1 << 19;
    int64_t nfill = 0;
    for (int64_t i = 0; i < n; i++) nfill += std::isnan(targ[i]);
    const bool team = nfill * (int64_t)bd->n >= kParallelMin;
    // Each iteration writes only its own slot: same bytes for any thread count.
#pragma omp parallel for schedule(dynamic, 256) if (team)
    for (int64_t i = 0; i < n; i++) {
        if (!std::isnan(targ[i])) continue;
        double v = border_nearest(bd, xyz + 3 * i) * grad + base[i];
        targ[i] = v < ceiling ? v : ceiling;
    }
}
