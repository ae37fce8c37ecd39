// Edge splits at midpoints: long sides looked up in the sorted edge list, faces by split pattern.
// Every edge longer than the mean target of its ends splits at its midpoint,
// numbered in (a, b) edge order; each triangle is replaced by the 1-, 2- or
// 3-split pattern of its sides, keeping its winding.
#include "remesh/split.h"

#include "core/edgetab.h"
#include "core/fail.h"
#include "core/stores.h"
#include "core/targets.h"
#include "core/team.h"

#include <omp.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

static inline const double* at(const double* xyz, int32_t v) { return xyz + 3 * (int64_t)v; }

static inline double dist(const double* x, const double* y)
{
    double dx = x[0] - y[0], dy = x[1] - y[1], dz = x[2] - y[2];
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

// Triangle and vertex indices are 32-bit: a count past INT32_MAX cannot be
// named, so it fails like the array that would have to hold it (capacity by
// the stores' rule, 1024 doubled).
[[noreturn]] static void die_index_range(int64_t bytes_per_item, int64_t need)
{
    die(3, "memoire insuffisante (%zu octets)\n",
        (size_t)(bytes_per_item * tris_capacity_for(need)));
}

// Loops over fewer items than this run on the calling thread: waking the
// team costs about 0.2 ms, an edge or a triangle here 10 to 40 ns.
constexpr int64_t kParallelMin = 1 << 15;

static inline bool on_team(int64_t items) { return items >= kParallelMin && omp_get_max_threads() > 1; }

struct tri_out {
    int32_t* tri;
    int64_t n, cap;
};

static inline void emit(tri_out* o, int32_t x, int32_t y, int32_t z)
{
    if (o->n >= INT32_MAX) die_index_range(12, o->n + 1);
    if (o->n == o->cap) {
        o->cap *= 2;
        o->tri = (int32_t*)xrealloc(o->tri, (size_t)o->cap * 12);
    }
    int32_t* r = o->tri + 3 * o->n;
    r[0] = x; r[1] = y; r[2] = z;
    o->n++;
}

// The midpoints of the split edges, by the sorted edge list: the edges of
// smaller end a are edges[start[a - lo] .. start[a - lo + 1]), ascending by
// b, so a lookup reads a few neighbouring records instead of probing a
// sparse table. Where the smaller ends span far more values than there are
// edges, the whole list is searched instead.
struct split_table {
    const edge2* edges;
    int64_t ne;
    int32_t* mid;    // per edge, -1 when not split
    int64_t* start;  // span + 1, or null
    int32_t lo;
    int64_t span;
    // When few edges split: a flag per vertex below nends, set for the ends
    // of every split edge; or null.
    const uint8_t* ends;
    int64_t nends;
};

// The edge list and the table outlive a phase and grow to the largest mesh,
// like the flip and collapse tables: the passes would otherwise page in fresh
// memory for them every time. split_release frees them.
static struct {
    edge2* edges;
    int32_t* mid;
    int64_t* start;
    uint8_t* ends;
    int64_t edges_cap, mid_cap, start_cap, ends_cap;
} sws;

void split_release()
{
    free_and_null(sws.edges, sws.mid, sws.start, sws.ends);
    sws = {};
}

static void split_table_init(split_table* t, const edge2* edges, int64_t ne)
{
    t->edges = edges;
    t->ne = ne;
    t->start = nullptr;
    t->span = 0;
    t->ends = nullptr;
    t->nends = 0;
    t->lo = ne > 0 ? edges[0].a : 0;
    if (sws.mid_cap < ne + 1) {
        grow_or_die(&sws.mid, ne + 1, "table d'aretes");
        sws.mid_cap = ne + 1;
    }
    t->mid = sws.mid;
    memset(t->mid, 0xff, (size_t)(ne + 1) * sizeof(int32_t));
    if (ne == 0) return;
    const int64_t span = (int64_t)edges[ne - 1].a - t->lo + 1;
    if (span > 2 * ne + 1024) return;
    if (sws.start_cap < span + 1) {
        grow_or_die(&sws.start, span + 1, "table d'aretes");
        sws.start_cap = span + 1;
    }
    t->start = sws.start;
    t->span = span;
    int64_t i = 0;
    for (int64_t s = 0; s <= span; s++) {
        while (i < ne && (int64_t)edges[i].a - t->lo < s) i++;
        t->start[s] = i;
    }
}

// Index of the first edge in [from, to) not below (a, b) in (a, b) order.
static inline int64_t lower_edge(const edge2* e, int64_t from, int64_t to, int32_t a, int32_t b)
{
    while (from < to) {
        const int64_t half = from + (to - from) / 2;
        if (e[half].a < a || (e[half].a == a && e[half].b < b)) from = half + 1;
        else to = half;
    }
    return from;
}

static inline int32_t mid_of(const split_table* t, int32_t x, int32_t y)
{
    const int32_t a = x < y ? x : y, b = x < y ? y : x;
    int64_t from = 0, to = t->ne;
    if (t->start) {
        const int64_t s = (int64_t)a - t->lo;
        if (s < 0 || s >= t->span) return -1;
        from = t->start[s];
        to = t->start[s + 1];
        if (to - from <= 8) {
            for (; from < to; from++)
                if (t->edges[from].b == b) return t->mid[from];
            return -1;
        }
    }
    const int64_t i = lower_edge(t->edges, from, to, a, b);
    return i < to && t->edges[i].a == a && t->edges[i].b == b ? t->mid[i] : -1;
}

// False when no side of triangle v can have split: fewer than two of its
// corners end a split edge (a corner outside the flags may).
static inline bool may_split(const split_table* t, const int32_t* v)
{
    if (!t->ends) return true;
    int n = 0;
    for (int j = 0; j < 3; j++) n += v[j] < 0 || v[j] >= t->nends || t->ends[v[j]];
    return n >= 2;
}

// The triangles that replace triangle v, appended to o.
static inline void replace_triangle(tri_out* o, const int32_t* v, const split_table* tab, const double* xyz)
{
    if (!may_split(tab, v)) {
        emit(o, v[0], v[1], v[2]);
        return;
    }
    int32_t m[3] = {mid_of(tab, v[0], v[1]), mid_of(tab, v[1], v[2]), mid_of(tab, v[2], v[0])};
    int nsplit = (m[0] >= 0) + (m[1] >= 0) + (m[2] >= 0);
    if (nsplit == 0) {
        emit(o, v[0], v[1], v[2]);
    } else if (nsplit == 1) {
        int s = m[0] >= 0 ? 0 : m[1] >= 0 ? 1 : 2;
        int32_t Q = v[s], R = v[(s + 1) % 3], P = v[(s + 2) % 3];
        emit(o, Q, m[s], P);
        emit(o, m[s], R, P);
    } else if (nsplit == 2) {
        int s = m[0] < 0 ? 0 : m[1] < 0 ? 1 : 2;  // the side left whole
        int32_t X = v[s], Y = v[(s + 1) % 3], Z = v[(s + 2) % 3];
        int32_t m1 = m[(s + 1) % 3], m2 = m[(s + 2) % 3];
        emit(o, m1, Z, m2);
        if (dist(at(xyz, m1), at(xyz, X)) > dist(at(xyz, Y), at(xyz, m2))) {
            emit(o, Y, m1, m2);
            emit(o, Y, m2, X);
        } else {
            emit(o, Y, m1, X);
            emit(o, m1, m2, X);
        }
    } else {
        emit(o, v[0], m[0], m[2]);
        emit(o, m[0], v[1], m[1]);
        emit(o, m[2], m[1], v[2]);
        emit(o, m[0], m[1], m[2]);
    }
}

static inline int64_t replacement_count(const int32_t* v, const split_table* tab)
{
    if (!may_split(tab, v)) return 1;
    return 1 + (mid_of(tab, v[0], v[1]) >= 0) + (mid_of(tab, v[1], v[2]) >= 0) + (mid_of(tab, v[2], v[0]) >= 0);
}

// Replaces every triangle by the pattern of its split sides; every new
// triangle keeps the winding of the one it replaces.
static void rebuild_faces(tris* ts, split_table* tab, const double* xyz, int64_t k, int64_t nv)
{
    const int64_t nt = ts->n;
    // With few splits almost every triangle stays whole: flags on the split
    // edges' ends spare it the three lookups.
    if (64 * k < nt) {
        if (sws.ends_cap < nv + 1) {
            grow_or_die(&sws.ends, nv + 1, "table d'aretes");
            sws.ends_cap = nv + 1;
        }
        memset(sws.ends, 0, (size_t)nv);
        for (int64_t i = 0; i < tab->ne; i++)
            if (tab->mid[i] >= 0) {
                const int32_t a = tab->edges[i].a, b = tab->edges[i].b;
                if (a >= 0 && a < nv) sws.ends[a] = 1;
                if (b >= 0 && b < nv) sws.ends[b] = 1;
            }
        tab->ends = sws.ends;
        tab->nends = nv;
    }
    tri_out o;
    o.cap = tris_capacity_for(nt + 3 * k + 16);
    o.tri = tris_take_spare(o.cap);
    o.n = 0;
    if (!on_team(nt)) {
        for (int64_t t = 0; t < nt; t++) replace_triangle(&o, ts->tri + 3 * t, tab, xyz);
    } else {
        o.n = team_fill_in_order(
            nt,
            [&](int64_t from, int64_t to) {
                int64_t n = 0;
                for (int64_t t = from; t < to; t++) n += replacement_count(ts->tri + 3 * t, tab);
                return n;
            },
            [&](int64_t total) {
                // The serial loop's growth, doubling by doubling, and its index limit.
                while (o.cap < std::min<int64_t>(total, INT32_MAX)) {
                    o.cap *= 2;
                    o.tri = (int32_t*)xrealloc(o.tri, (size_t)o.cap * 12);
                }
                if (total > INT32_MAX) die_index_range(12, (int64_t)INT32_MAX + 1);
                return true;
            },
            [&](int64_t from, int64_t to, int64_t at) {
                tri_out part{o.tri + 3 * at, 0, o.cap - at};
                for (int64_t t = from; t < to; t++) replace_triangle(&part, ts->tri + 3 * t, tab, xyz);
            });
    }
    tris_keep_spare(ts->tri, ts->cap);
    ts->tri = o.tri;
    ts->n = o.n;
    ts->cap = o.cap;
}

static inline bool splits(const verts* vs, const keyset* ks, int32_t a, int32_t b)
{
    const double len = dist(at(vs->xyz, a), at(vs->xyz, b));
    const double threshold = (vs->targ[a] + vs->targ[b]) * 0.5;
    return len > threshold && !keyset_has(ks, edge_key(a, b));
}

// The split loop on the team: which edges split, numbered in list order by
// their chunks' offsets, then the midpoints written side by side. The store
// grows doubling by doubling and fails where the serial loop would.
static int64_t split_on_team(verts* vs, const keyset* ks, split_table* tab, int64_t N)
{
    const edge2* edges = tab->edges;
    int32_t* mid = tab->mid;
    return team_fill_in_order(
        tab->ne,
        [&](int64_t from, int64_t to) {
            int64_t n = 0;
            for (int64_t i = from; i < to; i++) {
                const bool split = splits(vs, ks, edges[i].a, edges[i].b);
                mid[i] = split ? 0 : -1;
                n += split;
            }
            return n;
        },
        [&](int64_t k) {
            while (vs->cap < std::min<int64_t>(N + k, INT32_MAX)) verts_reserve(vs, vs->cap + 1);
            if (N + k > INT32_MAX) die_index_range(24, (int64_t)INT32_MAX + 1);
            return true;
        },
        [&](int64_t from, int64_t to, int64_t at) {
            double* xyz = vs->xyz;
            int64_t next = N + at;
            for (int64_t i = from; i < to; i++) {
                if (mid[i] < 0) continue;
                const int32_t a = edges[i].a, b = edges[i].b;
                mid[i] = (int32_t)next;
                double* pm = xyz + 3 * next;
                for (int j = 0; j < 3; j++) pm[j] = (xyz[3 * (int64_t)a + j] + xyz[3 * (int64_t)b + j]) * 0.5;
                vs->base[next] = (vs->base[a] + vs->base[b]) * 0.5;
                vs->targ[next] = std::numeric_limits<double>::quiet_NaN();
                next++;
            }
        });
}

int64_t split_phase(verts* vs, tris* ts, const border* bd, const keyset* ks)
{
    const int64_t ne = unique_edges_into(ts->tri, ts->n, &sws.edges, &sws.edges_cap);
    const edge2* edges = sws.edges;
    split_table tab;
    split_table_init(&tab, edges, ne);
    const int64_t N = vs->n;
    int64_t k = 0;
    if (on_team(ne)) {
        k = split_on_team(vs, ks, &tab, N);
        if (k == 0) return 0;
        vs->n = N + k;
        targets_fill(bd, vs);
        rebuild_faces(ts, &tab, vs->xyz, k, N);
        return k;
    }
    for (int64_t i = 0; i < ne; i++) {
        const int32_t a = edges[i].a, b = edges[i].b;
        // Midpoints are taken between vertices that existed before the phase,
        // so reading through the current arrays is safe across growth.
        const double len = dist(at(vs->xyz, a), at(vs->xyz, b));
        const double threshold = (vs->targ[a] + vs->targ[b]) * 0.5;
        if (!(len > threshold)) continue;
        const uint64_t key = edge_key(a, b);
        if (keyset_has(ks, key)) continue;
        if (N + k >= INT32_MAX) die_index_range(24, N + k + 1);
        tab.mid[i] = (int32_t)(N + k);
        k++;
        verts_reserve(vs, N + k);
        double* pa = vs->xyz + 3 * (int64_t)a;
        double* pb = vs->xyz + 3 * (int64_t)b;
        double* pm = vs->xyz + 3 * (N + k - 1);
        for (int c = 0; c < 3; c++) pm[c] = (pa[c] + pb[c]) * 0.5;
        vs->base[N + k - 1] = (vs->base[a] + vs->base[b]) * 0.5;
        vs->targ[N + k - 1] = std::numeric_limits<double>::quiet_NaN();
    }
    if (k == 0) return 0;
    vs->n = N + k;
    targets_fill(bd, vs);
    rebuild_faces(ts, &tab, vs->xyz, k, N);
    return k;
}
