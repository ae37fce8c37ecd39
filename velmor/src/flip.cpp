// Quality flips of the cap: one sweep over the edges, replacing the shared
// diagonal of two triangles by the other one when that raises the smallest
// angle of the pair without growing its area or moving the surface much.
#include "velmor.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

// Payload words of a flip-table entry.
enum { FACE0 = 0, FACE1 = 1, NFACE = 2, LIVE = 3 };

static inline const double* at(const double* xyz, int32_t v) { return xyz + 3 * (int64_t)v; }

// |(y - x) x (z - x)|: twice the triangle's area.
static inline double cross_len(const double* x, const double* y, const double* z)
{
    double ux = y[0] - x[0], uy = y[1] - x[1], uz = y[2] - x[2];
    double vx = z[0] - x[0], vy = z[1] - x[1], vz = z[2] - x[2];
    double nx = uy * vz - uz * vy, ny = uz * vx - ux * vz, nz = ux * vy - uy * vx;
    return std::sqrt(nx * nx + ny * ny + nz * nz);
}

static inline double min_of(double x, double y) { return x < y ? x : y; }
static inline double max_of(double x, double y) { return x > y ? x : y; }

static inline bool row_has(const int32_t* row, int32_t v)
{
    return row[0] == v || row[1] == v || row[2] == v;
}

// The first corner of row that is neither a nor b, or -1.
static inline int32_t apex(const int32_t* row, int32_t a, int32_t b)
{
    for (int i = 0; i < 3; i++)
        if (row[i] != a && row[i] != b) return row[i];
    return -1;
}

// True when row holds x directly followed by y in its cyclic order.
static inline bool row_runs(const int32_t* row, int32_t x, int32_t y)
{
    return (row[0] == x && row[1] == y) || (row[1] == x && row[2] == y) ||
           (row[2] == x && row[0] == y);
}

// The sweep's table and per-triangle caches outlive one call: the calls of a
// flip phase see the same triangle count, so the table is kept and emptied
// through its used list rather than allocated and zeroed (and paged in) anew.
// A slot array up to twice the least size changes only probe lengths: every
// lookup and the used order stay the same, so results do not change.
static struct {
    edgetab tab;
    bool live;
    double* cache;      // 2 per triangle
    int64_t cache_cap;  // triangles
    // Within one flip phase positions stay put and rows change only by flips,
    // so what the area, angle and deviation tests decided for an edge holds in
    // the next call while neither of its two rows has been flipped (stamps).
    bool phase_open, phase_fresh;
    int64_t phase_nt;
    uint32_t* stamp;     // flips of each triangle in this phase
    struct verdict {
        uint64_t key;    // the side of the face[0] row it was made for; 0: none
        int32_t f1;
        uint32_t s0, s1; // stamps of face[0] and face[1] then
        int32_t refused; // 1: counted as a deviation refusal
    }* verdicts;         // 3 per triangle, by side of its row
    int64_t verdict_cap; // triangles
} flip_ws;

static edgetab* flip_table(int64_t k)
{
    uint64_t least = 16;
    while (least / 4 < (uint64_t)k) least *= 2;
    edgetab* t = &flip_ws.tab;
    if (flip_ws.live && t->ucap >= 2 * k + 16 && t->mask + 1 >= least && t->mask + 1 <= 2 * least) {
        for (int64_t i = 0; i < t->nused; i++) t->slots[t->used[i]] = edge_slot{};
        t->nused = 0;
        return t;
    }
    if (flip_ws.live) edgetab_free(t);
    edgetab_init(t, k);
    flip_ws.live = true;
    return t;
}

void flip_phase_begin()
{
    flip_ws.phase_open = true;
    flip_ws.phase_fresh = true;
}

void flip_release()
{
    if (flip_ws.live) edgetab_free(&flip_ws.tab);
    flip_ws.live = false;
    free(flip_ws.cache);
    free(flip_ws.stamp);
    free(flip_ws.verdicts);
    flip_ws.cache = nullptr;
    flip_ws.stamp = nullptr;
    flip_ws.verdicts = nullptr;
    flip_ws.cache_cap = flip_ws.verdict_cap = 0;
    flip_ws.phase_open = false;
}

// Index s of the side (row[s], row[s + 1]) joining a and b.
static inline int side_of(const int32_t* row, int32_t a, int32_t b)
{
    for (int s = 0; s < 2; s++) {
        int32_t x = row[s], y = row[s + 1];
        if ((x == a && y == b) || (x == b && y == a)) return s;
    }
    return 2;
}

int64_t flip_pass(verts* vs, tris* ts, const keyset* ks, int32_t np, int64_t* refusals)
{
    *refusals = 0;
    const double* xyz = vs->xyz;
    int32_t* tri = ts->tri;
    const int64_t nt = ts->n;

    edgetab& tab = *flip_table(3 * nt);
    // The inserts land all over the slot array: ask for the home slots of a
    // later triangle's sides ahead of time.
    const int64_t ahead = 8;
    for (int64_t i = 0; i < nt; i++) {
        if (i + ahead < nt) {
            const int32_t* later = tri + 3 * (i + ahead);
            for (int s = 0; s < 3; s++)
                __builtin_prefetch(&tab.slots[fmix64(edge_key(later[s], later[(s + 1) % 3])) & tab.mask]);
        }
        const int32_t* row = tri + 3 * i;
        for (int s = 0; s < 3; s++) {
            int32_t ins;
            edge_slot* e = edgetab_get(&tab, edge_key(row[s], row[(s + 1) % 3]), &ins);
            if (ins) {
                e->data[LIVE] = 1;
                e->data[FACE0] = (int32_t)i;
                e->data[NFACE] = 1;
            } else {
                if (e->data[NFACE] < 2) e->data[e->data[NFACE]] = (int32_t)i;
                e->data[NFACE]++;
            }
        }
    }

    // Each triangle's doubled area and smallest angle, computed once per row
    // content instead of once per side (-1: not yet); the same calls on the
    // same corners in the same order, so the same bits.
    if (flip_ws.cache_cap < nt + 1) {
        flip_ws.cache = (double*)xrealloc(flip_ws.cache, (size_t)(nt + 1) * 2 * sizeof(double));
        flip_ws.cache_cap = nt + 1;
    }
    double* area2 = flip_ws.cache;
    double* angle = area2 + (nt + 1);
    const bool remember = flip_ws.phase_open;
    if (remember && flip_ws.verdict_cap < nt + 1) {
        flip_ws.stamp = (uint32_t*)xrealloc(flip_ws.stamp, (size_t)(nt + 1) * sizeof(uint32_t));
        flip_ws.verdicts = (decltype(flip_ws.verdicts))xrealloc(
            flip_ws.verdicts, (size_t)(nt + 1) * 3 * sizeof(*flip_ws.verdicts));
        flip_ws.verdict_cap = nt + 1;
        flip_ws.phase_fresh = true;
    }
    if (!remember || flip_ws.phase_fresh || flip_ws.phase_nt != nt) {
        for (int64_t i = 0; i < nt; i++) area2[i] = angle[i] = -1;
        if (remember) {
            memset(flip_ws.stamp, 0, (size_t)nt * sizeof(uint32_t));
            memset(flip_ws.verdicts, 0, (size_t)nt * 3 * sizeof(*flip_ws.verdicts));
        }
        flip_ws.phase_fresh = false;
        flip_ws.phase_nt = nt;
    }
    uint32_t* stamp = flip_ws.stamp;

    const double tol_rim = g_par.dev_rim, tol_in = g_par.dev_in, grow = g_par.area_grow;
    int64_t flips = 0;
    // nused is re-read: entries appended by flips are reached and skipped.
    for (int64_t u = 0; u < tab.nused; u++) {
        // Two-stage look-ahead: the entry 16 on, then for the entry 6 on (its
        // slot fetched by now) the slot its (c, d) lookup will probe.
        if (u + 16 < tab.nused) __builtin_prefetch(&tab.slots[tab.used[u + 16]]);
        if (u + 6 < tab.nused) {
            const edge_slot* later = &tab.slots[tab.used[u + 6]];
            if (later->data[NFACE] == 2) {
                const int32_t la = (int32_t)((later->key - 1) >> 32);
                const int32_t lb = (int32_t)((later->key - 1) & 0xffffffffu);
                const int32_t lc = apex(tri + 3 * (int64_t)later->data[FACE0], la, lb);
                const int32_t ld = apex(tri + 3 * (int64_t)later->data[FACE1], la, lb);
                __builtin_prefetch(&tab.slots[fmix64(edge_key(lc, ld)) & tab.mask]);
            }
        }
        edge_slot* e = &tab.slots[tab.used[u]];
        if (e->data[NFACE] != 2) continue;
        if (keyset_has(ks, e->key)) continue;
        const int32_t a = (int32_t)((e->key - 1) >> 32);
        const int32_t b = (int32_t)((e->key - 1) & 0xffffffffu);
        if (b < np) continue;
        const int64_t f0 = e->data[FACE0], f1 = e->data[FACE1];
        int32_t* r0 = tri + 3 * f0;
        int32_t* r1 = tri + 3 * f1;
        if (!row_has(r0, a) || !row_has(r0, b) || !row_has(r1, a) || !row_has(r1, b)) continue;
        const int32_t c = apex(r0, a, b), d = apex(r1, a, b);
        if (c < 0 || d < 0 || c == d) continue;
        const uint64_t cd_key = edge_key(c, d);
        const edge_slot* cd = edgetab_find(&tab, cd_key);
        if (cd && cd->data[LIVE] == 1) continue;
        if ((c > d ? c : d) < np) continue;
        int32_t p = a, q = b;
        if (!row_runs(r0, a, b)) { p = b; q = a; }
        // Two triangles that run the edge the same way are wound inconsistently:
        // the rows (p, d, c), (d, q, c) would turn one of them over.
        if (!row_runs(r1, q, p)) continue;
        int32_t lo = p < q ? p : q;
        if (c < lo) lo = c;
        if (d < lo) lo = d;
        const double tol = lo < np ? tol_rim : tol_in;

        decltype(flip_ws.verdicts) seen = nullptr;
        if (remember) {
            seen = flip_ws.verdicts + 3 * f0 + side_of(r0, a, b);
            if (seen->key == e->key && seen->f1 == (int32_t)f1 && seen->s0 == stamp[f0] &&
                seen->s1 == stamp[f1]) {
                if (seen->refused) (*refusals)++;
                continue;
            }
            seen->key = 0;
        }
        // Remembers a refusal by the geometric tests for the next call of the phase.
        auto refuse = [&](int32_t counted) {
            if (seen) *seen = {e->key, (int32_t)f1, stamp[f0], stamp[f1], counted};
        };

        const double *P = at(xyz, p), *Q = at(xyz, q), *C = at(xyz, c), *D = at(xyz, d);
        const double *t00 = at(xyz, r0[0]), *t01 = at(xyz, r0[1]), *t02 = at(xyz, r0[2]);
        const double *t10 = at(xyz, r1[0]), *t11 = at(xyz, r1[1]), *t12 = at(xyz, r1[2]);
        const double n0 = cross_len(P, D, C), n1 = cross_len(D, Q, C);
        // A NaN area is cached as NaN: only -1 means "not yet".
        if (area2[f0] == -1) area2[f0] = cross_len(t00, t01, t02);
        if (area2[f1] == -1) area2[f1] = cross_len(t10, t11, t12);
        double area_new = 0.5 * (n0 + n1);
        double area_old = 0.5 * (area2[f0] + area2[f1]);
        if (area_new > grow * area_old) {
            refuse(0);
            continue;
        }

        if (angle[f0] == -1) angle[f0] = tri_min_angle(t00, t01, t02);
        if (angle[f1] == -1) angle[f1] = tri_min_angle(t10, t11, t12);
        const double a0 = tri_min_angle(P, D, C), a1 = tri_min_angle(D, Q, C);
        double ang_old = min_of(angle[f0], angle[f1]);
        double ang_new = min_of(a0, a1);
        if (ang_old + 1e-9 >= ang_new) {
            refuse(0);
            continue;
        }

        double m_new[3], m_old[3];
        for (int k = 0; k < 3; k++) {
            m_new[k] = (C[k] + D[k]) * 0.5;
            m_old[k] = (P[k] + Q[k]) * 0.5;
        }
        double dev = max_of(min_of(dist_point_tri(m_new, t00, t01, t02),
                                   dist_point_tri(m_new, t10, t11, t12)),
                            min_of(dist_point_tri(m_old, P, D, C),
                                   dist_point_tri(m_old, D, Q, C)));
        if (dev > tol) {
            (*refusals)++;
            refuse(1);
            continue;
        }

        r0[0] = p; r0[1] = d; r0[2] = c;
        r1[0] = d; r1[1] = q; r1[2] = c;
        if (remember) {
            stamp[f0]++;
            stamp[f1]++;
        }
        area2[f0] = n0;
        area2[f1] = n1;
        angle[f0] = a0;
        angle[f1] = a1;
        e->data[LIVE] = 0;
        int32_t ins;
        edge_slot* ne = edgetab_get(&tab, cd_key, &ins);
        if (ins) ne->data[NFACE] = 0;
        ne->data[LIVE] = 1;
        flips++;
    }
    return flips;
}
