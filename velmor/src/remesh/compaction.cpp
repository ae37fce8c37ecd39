// Compaction by stable renumbering of the created points still named, then the statistics.
// The created points that triangles still name become np, np + 1, ... in
// their former order; then the target range and the edge and smallest-angle
// statistics of the remeshed cap are printed.
#include "remesh/compaction.h"

#include "core/fail.h"
#include "core/geometry.h"
#include "core/sort.h"
#include "core/stores.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <omp.h>

static void* alloc_or_die(size_t bytes) { return xrealloc(nullptr, bytes ? bytes : 1); }

[[noreturn]] static void die_unmapped() { die(4, "compactage : sommet non remappe\n"); }

// Fewer created points than this are left for the final compaction.
constexpr int64_t kDropMin = 1 << 14;

// New indices: wall points keep theirs, referenced created points follow np
// in their order, the others get -1; the count kept.
static int32_t renumber(const uint8_t* referenced, int64_t nV, int32_t np, int32_t* remap)
{
    int32_t next = np;
    for (int64_t v = 0; v < nV; v++) {
        if (v < np) remap[v] = (int32_t)v;
        else if (referenced[v]) remap[v] = next++;
        else remap[v] = -1;
    }
    return next;
}

// Moves the kept points to their new indices and renames every corner.
static void apply_renumbering(verts* vs, tris* ts, int32_t np, const int32_t* remap, int32_t next)
{
    const int64_t nV = vs->n;
    const int64_t ncorner = 3 * ts->n;
    int32_t* tri = ts->tri;
    // remap[v] <= v: moving upwards never overwrites a vertex not yet moved.
    for (int64_t v = np; v < nV; v++) {
        const int64_t to = remap[v];
        if (to < 0 || to == v) continue;
        memcpy(vs->xyz + 3 * to, vs->xyz + 3 * v, 3 * sizeof(double));
        vs->targ[to] = vs->targ[v];
        vs->base[to] = vs->base[v];
    }
    vs->n = next;
    for (int64_t i = 0; i < ncorner; i++) {
        const int32_t to = remap[tri[i]];
        if (to < 0) die_unmapped();
        tri[i] = to;
    }
}

static void compact(verts* vs, tris* ts, int32_t np)
{
    const int64_t nV = vs->n;
    const int64_t ncorner = 3 * ts->n;
    int32_t* tri = ts->tri;
    uint8_t* referenced = (uint8_t*)alloc_or_die((size_t)nV);
    memset(referenced, 0, (size_t)nV);
    // A corner outside the store has no new index either; refusing it here
    // keeps the flag and remap writes inside their arrays.
    for (int64_t i = 0; i < ncorner; i++) {
        if (tri[i] < 0 || tri[i] >= nV) die_unmapped();
        referenced[tri[i]] = 1;
    }
    int32_t* remap = (int32_t*)alloc_or_die((size_t)nV * 4);
    apply_renumbering(vs, ts, np, remap, renumber(referenced, nV, np, remap));
    free(remap);
    free(referenced);
}

void remesh_drop_unnamed(verts* vs, tris* ts, int32_t np)
{
    const int64_t nV = vs->n;
    const int64_t ncorner = 3 * ts->n;
    const int32_t* tri = ts->tri;
    if (np < 0 || nV - np < kDropMin) return;
    uint8_t* referenced = (uint8_t*)calloc((size_t)nV, 1);
    int32_t* remap = (int32_t*)malloc((size_t)nV * 4);
    bool inside = referenced && remap;
    int64_t named = 0;
    for (int64_t i = 0; inside && i < ncorner; i++) {
        // A corner outside the store is the final compaction's to report.
        if (tri[i] < 0 || tri[i] >= nV) inside = false;
        else if (tri[i] >= np && !referenced[tri[i]]) {
            referenced[tri[i]] = 1;
            named++;
        }
    }
    // Worth a sweep over the store only when many points are gone.
    if (inside && 4 * named < 3 * (nV - np))
        apply_renumbering(vs, ts, np, remap, renumber(referenced, nV, np, remap));
    free(remap);
    free(referenced);
}

void remesh_finish(verts* vs, tris* ts, int32_t np, double t_start)
{
    compact(vs, ts, np);

    const double* xyz = vs->xyz;
    const int64_t nt = ts->n;
    double longest = 0.0;
    double* angles = (double*)alloc_or_die((size_t)(nt + 1) * sizeof(double));
    int64_t nangles = 0, under10 = 0, under5 = 0;
    for (int64_t t = 0; t < nt; t++) {
        const int32_t* r = ts->tri + 3 * t;
        const double* c[3] = {xyz + 3 * (int64_t)r[0], xyz + 3 * (int64_t)r[1],
                              xyz + 3 * (int64_t)r[2]};
        for (int s = 0; s < 3; s++) {
            const double* x = c[s];
            const double* y = c[(s + 1) % 3];
            double dx = y[0] - x[0], dy = y[1] - x[1], dz = y[2] - x[2];
            double len = std::sqrt(dx * dx + dy * dy + dz * dz);
            if (len > longest) longest = len;
        }
        const double rad = tri_min_angle(c[0], c[1], c[2]);
        // A degenerate triangle can leave the kernel's NaN or its 1e300 start
        // value; neither is an angle, and a NaN would break the sort's order.
        if (!std::isfinite(rad) || rad >= 1e300) continue;
        const double deg = rad * 180.0 / 3.141592653589793;
        angles[nangles++] = deg;
        if (deg < 10) {
            under10++;
            if (deg < 5) under5++;
        }
    }
    stable_sort_by(angles, nangles, cmp_double);
    double median = 0.0;
    if (nangles > 0) {
        median = nangles % 2 ? angles[nangles / 2]
                             : (angles[nangles / 2] + angles[nangles / 2 - 1]) * 0.5;
    }

    double tmin = 0.0, tmax = 0.0;
    if (vs->n > np) {
        tmin = 1e300;
        for (int64_t v = np; v < vs->n; v++) {
            if (vs->targ[v] < tmin) tmin = vs->targ[v];
            if (vs->targ[v] > tmax) tmax = vs->targ[v];
        }
    }
    fprintf(stderr, "  cible d'arete des points crees : min %.2f / max %.2f mm\n", tmin, tmax);
    const double elapsed = omp_get_wtime() - t_start;
    fprintf(stderr,
            "  remaillage : %.1f s ; arete max %.2f mm ; plus petit angle : median %.1f deg, "
            "%lld tris < 10 deg, %lld tris < 5 deg\n",
            elapsed, longest, median, (long long)under10, (long long)under5);
    free(angles);
}
