// Edge flips that raise the smallest angle: one greedy sweep in first-side order per call.
// A flip replaces the shared diagonal of two triangles by the other one when
// that raises the smallest angle of the pair without growing its area or
// moving the surface much.
#include "remesh/flip.h"

#include "core/edgetab.h"
#include "core/fail.h"
#include "core/geometry.h"
#include "core/params.h"
#include "core/stores.h"
#include "core/team.h"

#include <omp.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

static inline const double* at(const double* xyz, int32_t v) { return xyz + 3 * (int64_t)v; }

// |(y - x) x (z - x)|: twice the triangle's area.
static inline double cross_len(const double* x, const double* y, const double* z)
{
    double ux = y[0] - x[0], uy = y[1] - x[1], uz = y[2] - x[2];
    double vx = z[0] - x[0], vy = z[1] - x[1], vz = z[2] - x[2];
    double nx = uy * vz - uz * vy, ny = uz * vx - ux * vz, nz = ux * vy - uy * vx;
    return std::sqrt(nx * nx + ny * ny + nz * nz);
}

// The doubled areas of the two rows a flip makes, (P, D, C) and (D, Q, C):
// cross_len of each, side by side in vector lanes, the same bits.
static inline void new_areas(const double* P, const double* Q, const double* C, const double* D, double* n0,
                             double* n1)
{
#if defined(__SSE2__)
    __m128d u[3], v[3];
    for (int k = 0; k < 3; k++) {
        const __m128d x = _mm_setr_pd(P[k], D[k]);
        u[k] = _mm_sub_pd(_mm_setr_pd(D[k], Q[k]), x);
        v[k] = _mm_sub_pd(_mm_set1_pd(C[k]), x);
    }
    const __m128d nx = _mm_sub_pd(_mm_mul_pd(u[1], v[2]), _mm_mul_pd(u[2], v[1]));
    const __m128d ny = _mm_sub_pd(_mm_mul_pd(u[2], v[0]), _mm_mul_pd(u[0], v[2]));
    const __m128d nz = _mm_sub_pd(_mm_mul_pd(u[0], v[1]), _mm_mul_pd(u[1], v[0]));
    const __m128d n =
        _mm_sqrt_pd(_mm_add_pd(_mm_add_pd(_mm_mul_pd(nx, nx), _mm_mul_pd(ny, ny)), _mm_mul_pd(nz, nz)));
    *n0 = _mm_cvtsd_f64(n);
    *n1 = _mm_cvtsd_f64(_mm_unpackhi_pd(n, n));
#else
    *n0 = cross_len(P, D, C);
    *n1 = cross_len(D, Q, C);
#endif
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

// The sweep's edge records, grouped by their smaller end: a bucket per
// vertex holds its edges ascending by the larger end, built by counting the
// sides per vertex and sorting each bucket. The sweep visits them in the
// order their first side appears in the rows (triangle by triangle, side by
// side), which is the order a table filled side by side would list them in;
// each record holds the first two triangles found with the edge and how many
// sides produced it. Edges that flips create are never visited, and stay
// sides until the call ends, so they need no record: per-vertex chains list
// them for the joined-apexes test.
//
// Within a phase the next call's records differ only on the sides of the
// rows this call flips, and an edge this call passed over for good (a test
// on its unchanged rows, or a remembered refusal that counted nothing)
// would be passed over again while its rows stay as they are. So the next
// call patches the records of those sides and visits only them and the
// edges whose outcome could change (joined apexes, counted refusals), in
// first-side order; an edge whose rows one of its flips rewrites around it
// joins the visit if the sweep has not passed it yet.
struct flip_edge {
    int32_t lo, hi;  // ends, lo < hi (lo == hi for a row repeating a corner)
    int32_t face[2];
    int32_t nface;   // sides that produced it, counted up to 3
    int32_t live;    // 1 while a side of some row
    int32_t first;   // 3 x row + side of its first side
};
struct flip_side {
    int32_t hi, side;  // side: 3 x row + side index in the row
};
struct flip_link {
    int32_t lo, hi, next;
};
struct flip_occ {
    int32_t rec, side;
};
// What the sweep would do with a record on the call's starting state.
struct flip_prejudged {
    int32_t c, d;    // the apexes, where the outcome needs them
    int32_t f0, f1;  // the record's rows, so that a pass needs no record
    uint8_t kind;
    uint8_t side;    // side of the edge in its face[0] row
};
template <class T>
struct flip_list {
    T* at;
    int64_t n, cap;
};

// Every array outlives one call and grows to the largest call: the calls of
// a flip phase see the same sizes, so nothing is allocated (or paged in) anew.
static struct {
    int32_t vmin;         // smallest corner: bucket b holds lo = vmin + b
    int64_t nbucket;
    int32_t* bstart;      // nbucket + 1
    int32_t* bend;        // nbucket: end of the distinct records of bucket b
    int32_t* bsorted;     // nbucket: records from here to bend are not sorted
    flip_side* sides;     // 3 nt and the spare room, by bucket, row order within a bucket
    flip_edge* edges;     // as sides
    int32_t* first_of;    // 3 nt: record whose first side is side p, or -1
    int32_t* order;       // records in first-side order
    int32_t* chain_head;  // nbucket: created edges of lo, or -1
    // Records a patch adds to a full bucket go to an overflow area after
    // the buckets, chained by bucket, instead of forcing a full build.
    int32_t* ovf_head;    // nbucket: last overflow record of bucket b, or -1
    int32_t* ovf_next;    // ovf_room: the bucket's overflow record before it, or -1
    int32_t ovf_base, novf, ovf_room;
    int64_t ovf_cap;
    flip_list<int32_t> ovf_used;  // buckets whose ovf_head is set
    flip_link* links;
    int64_t nlinks, links_cap;
    int64_t nbucket_cap, side_cap, first_cap;
    int32_t nrec;         // records to visit, in order
    // Patching within a phase.
    bool patchable;       // the records are those of the rows but for the dirty rows
                          // (kept past the phase's end for a patch after a collapse)
    uint8_t* rec_mark;    // side_cap: 1 visited or to visit in a patched call, 2 made by it
    uint8_t* row_mark;    // triangles
    int64_t row_mark_cap;
    flip_list<int32_t> dirty, unsettled, affected;
    flip_list<flip_occ> occs;
    flip_list<int32_t> side_rec;     // a patch's lookups, side by side
    flip_list<uint64_t> order_keys;  // first side, record: the list in first-side order
    // A patched call visits a few records; those whose rows a flip of the
    // call touches join it (pending) if the sweep has not reached them yet.
    bool patched_call;
    flip_list<int32_t> pending, touched;  // touched: records with rec_mark set
    // Verdicts judged at the start of a call (by record) and the triangles
    // the call has flipped.
    flip_prejudged* pre; // by visiting position
    int64_t pre_cap;
    uint64_t* vflip;     // a bit per corner of a quad flipped in the call
    int64_t vflip_cap;   // words
    uint64_t* side_bits; // a bit per side, clear between calls: a patch's visiting order
    int64_t side_bits_cap; // words
    uint64_t* flipped;   // a bit per triangle flipped in the call: small enough to stay cached
    int64_t flipped_cap; // words
    double* cache;      // 2 per triangle
    int64_t cache_cap;  // triangles
    // Within one flip phase positions stay put and rows change only by flips,
    // so what the area, angle and deviation tests decided for an edge holds in
    // the next call while neither of its two rows has been flipped (stamps).
    // A fresh call starts a new era instead of clearing the decisions: one
    // made in an earlier era never matches, and stamps only need to grow
    // within an era, so neither array is cleared for a phase.
    bool phase_open, phase_fresh;
    int64_t phase_nt;
    uint32_t era;
    uint32_t* stamp;     // flips of each triangle
    struct verdict {
        uint64_t key;    // the side of the face[0] row it was made for; 0: none
        int32_t f1;
        uint32_t s0, s1; // stamps of face[0] and face[1] then
        uint32_t tag;    // era << 1, | 1 when counted as a deviation refusal
    }* verdicts;         // 3 per triangle, by side of its row
    int64_t verdict_cap; // triangles
    // The first call of a phase after a collapse patches the last phase's
    // records (patchable, for phase_nt rows) instead of building them, where
    // the collapse changed few rows.
    const int32_t* carry_origin;  // where each row was (~o: changed); null: no row moved
    int64_t carry_rows;           // rows then, or -1: nothing to carry
} flip_ws;

using flip_verdict = decltype(flip_ws)::verdict;

// The decision kept for edge key whose rows are f0 and f1 now, made in era.
static inline flip_verdict kept_decision(uint64_t key, int64_t f0, int64_t f1, uint32_t era, uint32_t counted)
{
    return {key, (int32_t)f1, flip_ws.stamp[f0], flip_ws.stamp[f1], era << 1 | counted};
}

// True while the decision in seen was made for key in era, on the rows f0
// and f1 as they are now.
static inline bool decision_holds(const flip_verdict* seen, uint64_t key, int64_t f0, int64_t f1, uint32_t era)
{
    return seen->key == key && seen->tag >> 1 == era && seen->f1 == (int32_t)f1 &&
           seen->s0 == flip_ws.stamp[f0] && seen->s1 == flip_ws.stamp[f1];
}

static inline bool bit_of(const uint64_t* bits, int64_t i) { return (bits[i >> 6] >> (i & 63) & 1) != 0; }
static inline void set_bit(uint64_t* bits, int64_t i) { bits[i >> 6] |= 1ull << (i & 63); }
static inline void clear_bit(uint64_t* bits, int64_t i) { bits[i >> 6] &= ~(1ull << (i & 63)); }

// The records stand for the sweep's edge table and fail with its message.
template <class T>
static void grow(T** array, int64_t need)
{
    grow_or_die(array, need, "table d'aretes");
}

// Room for need records in *array for a table that is filled afresh after
// it grows: the old records are dropped, not copied; zeroed: all bits zero.
template <class T>
static void renew(T** array, int64_t need, bool zeroed = false)
{
    free(*array);
    *array = (T*)(zeroed ? calloc((size_t)need, sizeof(T)) : malloc((size_t)need * sizeof(T)));
    if (!*array) die_memory("table d'aretes");
    populate(*array, (size_t)need * sizeof(T));
}

// The same for the caches, which fail with their byte count.
template <class T>
static void renew_bytes(T** array, int64_t need, bool zeroed = false)
{
    free(*array);
    const size_t bytes = (size_t)need * sizeof(T);
    *array = (T*)(zeroed ? calloc((size_t)need, sizeof(T)) : malloc(bytes));
    if (!*array) die(3, "memoire insuffisante (%zu octets)\n", bytes);
    populate(*array, bytes);
}

// A set of n bits, all clear, in *bits of *cap words.
static uint64_t* clear_bits(uint64_t** bits, int64_t* cap, int64_t n)
{
    const int64_t words = n / 64 + 1;
    if (*cap < words) {
        renew(bits, words, true);
        *cap = words;
    } else {
        memset(*bits, 0, (size_t)words * sizeof(uint64_t));
    }
    return *bits;
}

// Room for n entries in list, its entries kept.
template <class T>
static void reserve_list(flip_list<T>* list, int64_t n)
{
    if (list->cap >= n) return;
    list->cap = n > 2 * list->cap ? n : 2 * list->cap;
    grow(&list->at, list->cap);
}

template <class T>
static inline void push(flip_list<T>* list, T value)
{
    if (list->n == list->cap) {
        list->cap = list->cap ? 2 * list->cap : 1024;
        grow(&list->at, list->cap);
    }
    list->at[list->n++] = value;
}

// Loops over fewer items than this run on the calling thread. Waking a team
// of 8 sleeping workers took 0.2 ms (median) on a loaded 8-core machine; a
// side or a triangle here costs 10 to 40 ns, so below about 0.5 ms of work a
// team saves nothing.
constexpr int64_t kParallelMin = 1 << 15;
// An edge's area, angle and deviation tests cost up to a microsecond: a few
// thousand edges pay for a team.
constexpr int64_t kJudgeParallelMin = 4096;
// A collapse that changed more than one row in kCarryShare leaves the next
// flip phase a full build: patching that many rows costs more (on one
// thread, 1 in 2 and 1 in 8 were slower than 1 in 4).
constexpr int64_t kCarryShare = 4;

static inline bool side_before(const flip_side& l, const flip_side& r)
{
    return l.hi < r.hi || (l.hi == r.hi && l.side < r.side);
}

// Sorts a bucket's sides by their larger end, then by side: each group of one
// edge in row order, whatever order the sides were gathered in.
static void sort_sides(flip_side* x, int64_t n)
{
    if (n > 16) {
        std::sort(x, x + n, side_before);
        return;
    }
    for (int64_t i = 1; i < n; i++) {
        const flip_side y = x[i];
        int64_t j = i;
        for (; j > 0 && side_before(y, x[j - 1]); j--) x[j] = x[j - 1];
        x[j] = y;
    }
}

static inline int64_t bucket_of(int32_t lo) { return (int64_t)lo - flip_ws.vmin; }

// The record of edge (lo, hi), or nullptr.
static inline flip_edge* record_of(int32_t lo, int32_t hi)
{
    const int64_t b = bucket_of(lo);
    if (b < 0 || b >= flip_ws.nbucket) return nullptr;
    // Records a patch added follow the sorted ones.
    for (int32_t k = flip_ws.bsorted[b]; k < flip_ws.bend[b]; k++)
        if (flip_ws.edges[k].hi == hi) return flip_ws.edges + k;
    flip_edge* first = flip_ws.edges + flip_ws.bstart[b];
    int64_t n = flip_ws.bsorted[b] - flip_ws.bstart[b];
    // Narrow [first, first + n) around the first record not below hi.
    while (n > 8) {
        const int64_t half = n / 2;
        if (first[half].hi < hi) {
            first += half + 1;
            n -= half + 1;
        } else {
            n = half + 1;
        }
    }
    for (int64_t i = 0; i < n; i++)
        if (first[i].hi == hi) return first + i;
    if (flip_ws.novf == 0) return nullptr;
    for (int32_t k = flip_ws.ovf_head[b]; k >= 0; k = flip_ws.ovf_next[k - flip_ws.ovf_base])
        if (flip_ws.edges[k].hi == hi) return flip_ws.edges + k;
    return nullptr;
}

// True when (lo, hi) is a side of some row now.
static inline bool joined(int32_t lo, int32_t hi)
{
    const flip_edge* r = record_of(lo, hi);
    if (r) return r->live == 1;
    const int64_t b = bucket_of(lo);
    if (b < 0 || b >= flip_ws.nbucket) return false;
    for (int32_t k = flip_ws.chain_head[b]; k >= 0; k = flip_ws.links[k].next)
        if (flip_ws.links[k].hi == hi) return true;
    return false;
}

// Records (c, d) as a side again after a flip made it.
static void mark_created(int32_t lo, int32_t hi)
{
    flip_edge* r = record_of(lo, hi);
    if (r) {
        r->live = 1;
        // Made by this call: a sweep over fresh records would not visit it.
        const int32_t ri = (int32_t)(r - flip_ws.edges);
        if (flip_ws.patched_call && !flip_ws.rec_mark[ri]) {
            flip_ws.rec_mark[ri] = 2;
            push(&flip_ws.touched, ri);
        }
        return;
    }
    const int64_t b = bucket_of(lo);
    if (flip_ws.nlinks == flip_ws.links_cap) {
        flip_ws.links_cap = flip_ws.links_cap ? 2 * flip_ws.links_cap : 1024;
        grow(&flip_ws.links, flip_ws.links_cap);
    }
    const int32_t k = (int32_t)flip_ws.nlinks++;
    flip_ws.links[k] = flip_link{lo, hi, flip_ws.chain_head[b]};
    flip_ws.chain_head[b] = k;
}

static inline void side_ends(const int32_t* row, int s, int32_t* lo, int32_t* hi)
{
    const int32_t u = row[s], v = row[s == 2 ? 0 : s + 1];
    *lo = u < v ? u : v;
    *hi = u < v ? v : u;
}

// Counts the sides of each bucket into bstart[b + 1] for buckets of lo =
// vmin .. vmin + nbucket - 1; false when a side falls outside them.
static bool count_sides(const int32_t* tri, int64_t nt, int32_t vmin, int64_t nbucket, int32_t* bstart)
{
    memset(bstart, 0, (size_t)(nbucket + 1) * sizeof(int32_t));
    bool inside = true;
    const bool team = 3 * nt >= kParallelMin && omp_get_max_threads() > 1;
#pragma omp parallel for schedule(static) reduction(&& : inside) if (team)
    for (int64_t i = 0; i < nt; i++)
        for (int s = 0; s < 3; s++) {
            int32_t lo, hi;
            side_ends(tri + 3 * i, s, &lo, &hi);
            const int64_t b = (int64_t)lo - vmin;
            if (b < 0 || (int64_t)hi - vmin >= nbucket) {
                inside = false;
                continue;
            }
            if (team) __atomic_fetch_add(&bstart[b + 1], 1, __ATOMIC_RELAXED);
            else bstart[b + 1]++;
        }
    return inside;
}

static void reserve_buckets(int64_t nbucket)
{
    if (flip_ws.nbucket_cap >= nbucket + 1) return;
    renew(&flip_ws.bstart, nbucket + 1);
    renew(&flip_ws.bend, nbucket + 1);
    renew(&flip_ws.bsorted, nbucket + 1);
    renew(&flip_ws.chain_head, nbucket + 1);
    renew(&flip_ws.ovf_head, nbucket + 1);
    memset(flip_ws.ovf_head, 0xff, (size_t)(nbucket + 1) * sizeof(int32_t));
    flip_ws.ovf_used.n = 0;
    flip_ws.nbucket_cap = nbucket + 1;
}

// The records of the rows, and their visiting order. nv: the vertex count,
// which bounds every corner of a mesh the remeshing builds.
static void build_records(const int32_t* tri, int64_t nt, int64_t nv)
{
    // Indices of sides and records are 32-bit; a table for more sides could
    // not have been allocated either.
    if (nt > INT32_MAX / 3 || nv > INT32_MAX) die_memory("table d'aretes");
    const int64_t nside = 3 * nt;
    int32_t vmin = 0;
    int64_t nbucket = nv;
    reserve_buckets(nbucket);
    if (!count_sides(tri, nt, vmin, nbucket, flip_ws.bstart)) {
        // Corners outside the store: buckets over the span the corners take.
        int32_t vmax = INT32_MIN;
        vmin = INT32_MAX;
        for (int64_t i = 0; i < nside; i++) {
            if (tri[i] < vmin) vmin = tri[i];
            if (tri[i] > vmax) vmax = tri[i];
        }
        nbucket = (int64_t)vmax - vmin + 1;
        if (nbucket > INT32_MAX) die_memory("table d'aretes");
        reserve_buckets(nbucket);
        count_sides(tri, nt, vmin, nbucket, flip_ws.bstart);
    }
    // Two spare records per bucket, for the edges flips give a vertex that
    // a patch must record (a vertex larger than all its neighbours has no
    // side of its own); not over a span of corners far wider than the mesh.
    // A bucket that runs out chains further records in the overflow area.
    const int64_t spare = nbucket <= 2 * nside + 1024 ? 2 : 0;
    const int64_t room = nside + spare * nbucket;
    const int64_t ovf_room = 1024 + nside / 32;
    const int64_t total = room + 1 + ovf_room;
    if (total >= INT32_MAX) die_memory("table d'aretes");
    if (flip_ws.side_cap < total) {
        renew(&flip_ws.sides, total);
        renew(&flip_ws.edges, total);
        renew(&flip_ws.order, total);
        renew(&flip_ws.rec_mark, total, true);
        flip_ws.side_cap = total;
    }
    if (flip_ws.ovf_cap < ovf_room) {
        renew(&flip_ws.ovf_next, ovf_room);
        flip_ws.ovf_cap = ovf_room;
    }
    flip_ws.ovf_room = (int32_t)ovf_room;
    flip_ws.ovf_base = (int32_t)(room + 1);
    flip_ws.novf = 0;
    for (int64_t i = 0; i < flip_ws.ovf_used.n; i++) flip_ws.ovf_head[flip_ws.ovf_used.at[i]] = -1;
    flip_ws.ovf_used.n = 0;
    if (flip_ws.first_cap < nside + 1) {
        renew(&flip_ws.first_of, nside + 1);
        flip_ws.first_cap = nside + 1;
    }
    flip_ws.vmin = vmin;
    flip_ws.nbucket = nbucket;
    int32_t* bstart = flip_ws.bstart;
    int32_t* bend = flip_ws.bend;
    memset(flip_ws.chain_head, 0xff, (size_t)nbucket * sizeof(int32_t));
    flip_ws.nlinks = 0;

    for (int64_t b = 0; b < nbucket; b++) bstart[b + 1] += bstart[b] + (int32_t)spare;
    memcpy(bend, bstart, (size_t)nbucket * sizeof(int32_t));
    flip_side* sides = flip_ws.sides;
    // The sort below orders each bucket whatever order its sides arrive in,
    // so the team may gather them in any order.
    const bool team = nside >= kParallelMin && omp_get_max_threads() > 1;
    if (!team) {
        for (int64_t i = 0; i < nt; i++)
            for (int s = 0; s < 3; s++) {
                int32_t lo, hi;
                side_ends(tri + 3 * i, s, &lo, &hi);
                sides[bend[lo - vmin]++] = flip_side{hi, (int32_t)(3 * i + s)};
            }
    }
#pragma omp parallel for schedule(static) if (team)
    for (int64_t i = 0; i < (team ? nt : 0); i++)
        for (int s = 0; s < 3; s++) {
            int32_t lo, hi;
            side_ends(tri + 3 * i, s, &lo, &hi);
            const int32_t at = __atomic_fetch_add(&bend[lo - vmin], 1, __ATOMIC_RELAXED);
            sides[at] = flip_side{hi, (int32_t)(3 * i + s)};
        }

    // Each bucket's sides, grouped by edge, become its records in place of
    // order: record j of a bucket never lies past its first side. The sort
    // keeps each group in row order, so its first side is where the edge
    // is first met.
    flip_edge* edges = flip_ws.edges;
    int32_t* first_of = flip_ws.first_of;
    memset(first_of, 0xff, (size_t)nside * sizeof(int32_t));
    // Each bucket writes its own records and the first_of slots of its own sides.
#pragma omp parallel for schedule(dynamic, 512) if (team)
    for (int64_t b = 0; b < nbucket; b++) {
        const int32_t from = bstart[b], to = bend[b];
        sort_sides(sides + from, to - from);
        int32_t out = from;
        for (int32_t k = from; k < to;) {
            const int32_t hi = sides[k].hi, first = sides[k].side;
            flip_edge e{(int32_t)(vmin + b), hi, {first / 3, 0}, 0, 1, first};
            int32_t n = 0;
            for (; k < to && sides[k].hi == hi; k++, n++)
                if (n == 1) e.face[1] = sides[k].side / 3;
            e.nface = n < 3 ? n : 3;
            first_of[first] = out;
            edges[out++] = e;
        }
        bend[b] = out;
        flip_ws.bsorted[b] = out;
    }
    int32_t nrec = 0;
    if (!team) {
        // About half the sides are the first of their edge, in no pattern a
        // branch could learn: every slot is written, and counted only for a
        // first side.
        int32_t* order = flip_ws.order;
        for (int64_t p = 0; p < nside; p++) {
            order[nrec] = first_of[p];
            nrec += first_of[p] >= 0;
        }
    } else {
        nrec = (int32_t)team_fill_in_order(
            nside,
            [&](int64_t from, int64_t to) {
                int64_t n = 0;
                for (int64_t p = from; p < to; p++) n += first_of[p] >= 0;
                return n;
            },
            [](int64_t) { return true; },
            [&](int64_t from, int64_t to, int64_t at) {
                for (int64_t p = from; p < to; p++)
                    if (first_of[p] >= 0) flip_ws.order[at++] = first_of[p];
            });
    }
    flip_ws.nrec = nrec;
}

static void forget_dirty()
{
    for (int64_t i = 0; i < flip_ws.dirty.n; i++) flip_ws.row_mark[flip_ws.dirty.at[i]] = 0;
    flip_ws.dirty.n = 0;
    flip_ws.unsettled.n = 0;
}

static void mark_dirty(int32_t row)
{
    if (flip_ws.row_mark[row]) return;
    flip_ws.row_mark[row] = 1;
    push(&flip_ws.dirty, row);
}

// Brings the records up to the rows after the last call's flips and lists
// what this call must visit; false, with the records left for a full
// build, where a patch cannot know them (an edge of three or more sides, a
// bucket without room for a new edge).
static bool patch_records(const int32_t* tri, int64_t nt)
{
    flip_edge* edges = flip_ws.edges;
    flip_list<int32_t>& affected = flip_ws.affected;
    flip_list<flip_occ>& occs = flip_ws.occs;
    uint8_t* rec_mark = flip_ws.rec_mark;
    affected.n = 0;
    occs.n = 0;
    bool ok = true;
    const int64_t ndirty = flip_ws.dirty.n;
    const bool team = 3 * ndirty >= kParallelMin && omp_get_max_threads() > 1;
    // On the team the records of the dirty rows' sides are looked up side
    // by side first; the loop below makes the missing ones in its order.
    int32_t* side_rec = nullptr;
    if (team) {
        reserve_list(&flip_ws.side_rec, 3 * ndirty);
        side_rec = flip_ws.side_rec.at;
#pragma omp parallel for schedule(static)
        for (int64_t i = 0; i < ndirty; i++)
            for (int s = 0; s < 3; s++) {
                int32_t lo, hi;
                side_ends(tri + 3 * (int64_t)flip_ws.dirty.at[i], s, &lo, &hi);
                const flip_edge* r = record_of(lo, hi);
                side_rec[3 * i + s] = r ? (int32_t)(r - edges) : -1;
            }
    }
    // Every side of a dirty row, and so every edge a flip made (its chain
    // entry), gets a record.
    for (int64_t i = 0; i < ndirty && ok; i++) {
        const int32_t t = flip_ws.dirty.at[i];
        for (int s = 0; s < 3; s++) {
            int32_t lo, hi;
            side_ends(tri + 3 * (int64_t)t, s, &lo, &hi);
            flip_edge* r = side_rec && side_rec[3 * i + s] >= 0 ? edges + side_rec[3 * i + s] : record_of(lo, hi);
            if (!r) {
                const int64_t b = bucket_of(lo);
                if (b < 0 || b >= flip_ws.nbucket) {
                    ok = false;
                    break;
                }
                if (flip_ws.bend[b] < flip_ws.bstart[b + 1]) {
                    r = edges + flip_ws.bend[b]++;
                } else if (flip_ws.novf < flip_ws.ovf_room) {
                    const int32_t k = flip_ws.novf++;
                    flip_ws.ovf_next[k] = flip_ws.ovf_head[b];
                    if (flip_ws.ovf_head[b] < 0) push(&flip_ws.ovf_used, (int32_t)b);
                    flip_ws.ovf_head[b] = flip_ws.ovf_base + k;
                    r = edges + flip_ws.ovf_base + k;
                } else {
                    ok = false;
                    break;
                }
                *r = flip_edge{lo, hi, {0, 0}, 0, 0, 0};
            }
            const int32_t ri = (int32_t)(r - edges);
            if (!rec_mark[ri]) {
                rec_mark[ri] = 1;
                push(&affected, ri);
            }
            push(&occs, flip_occ{ri, 3 * t + s});
        }
    }
    // Its sides in rows no flip touched are in the rows its record names.
    // Each record's are found on its own; the sort below orders them all.
    auto kept_sides = [&](int32_t ri, flip_occ* out) {
        const flip_edge& e = edges[ri];
        int n = 0;
        for (int j = 0; j < e.nface && j < 2; j++) {
            const int32_t x = e.face[j];
            if (flip_ws.row_mark[x] || (j == 1 && x == e.face[0])) continue;
            for (int s = 0; s < 3; s++) {
                int32_t lo, hi;
                side_ends(tri + 3 * (int64_t)x, s, &lo, &hi);
                if (lo == e.lo && hi == e.hi) {
                    if (out) out[n] = flip_occ{ri, 3 * x + s};
                    n++;
                }
            }
        }
        return n;
    };
    if (ok && team) {
        const int64_t had = occs.n;
        bool sound = true;
        const int64_t added = team_fill_in_order(
            affected.n,
            [&](int64_t from, int64_t to) {
                int64_t n = 0;
                for (int64_t i = from; i < to; i++) {
                    if (edges[affected.at[i]].nface >= 3) __atomic_store_n(&sound, false, __ATOMIC_RELAXED);
                    n += kept_sides(affected.at[i], nullptr);
                }
                return n;
            },
            [&](int64_t total) {
                if (!sound) return false;
                reserve_list(&occs, had + total);
                return true;
            },
            [&](int64_t from, int64_t to, int64_t at) {
                at += had;
                for (int64_t i = from; i < to; i++) at += kept_sides(affected.at[i], occs.at + at);
            });
        ok = added >= 0;
        if (ok) occs.n = had + added;
    }
    for (int64_t i = 0; !team && i < affected.n && ok; i++) {
        const int32_t ri = affected.at[i];
        if (edges[ri].nface >= 3) {
            ok = false;
            break;
        }
        flip_occ found[6];
        const int n = kept_sides(ri, found);
        for (int k = 0; k < n; k++) push(&occs, found[k]);
    }
    if (!ok) {
        for (int64_t i = 0; i < affected.n; i++) rec_mark[affected.at[i]] = 0;
        forget_dirty();
        return false;
    }
    // Every occurrence is of an affected record, and the sides are
    // distinct: each record keeps its two smallest sides (in first and
    // face[1] meanwhile) and its count as they come, as its sorted sides
    // would give them.
    // The records lie all over their array: each loop fetches a few ahead.
    constexpr int64_t ahead = 16;
    for (int64_t i = 0; i < affected.n; i++) {
        if (i + ahead < affected.n) __builtin_prefetch(&edges[affected.at[i + ahead]]);
        flip_edge& e = edges[affected.at[i]];
        e.first = e.face[1] = INT32_MAX;
        e.nface = 0;
    }
    for (int64_t k = 0; k < occs.n; k++) {
        if (k + ahead < occs.n) __builtin_prefetch(&edges[occs.at[k + ahead].rec]);
        flip_edge& e = edges[occs.at[k].rec];
        const int32_t side = occs.at[k].side;
        if (side < e.first) {
            e.face[1] = e.first;
            e.first = side;
        } else if (side < e.face[1]) {
            e.face[1] = side;
        }
        e.nface++;
    }
    for (int64_t i = 0; i < affected.n; i++) {
        if (i + ahead < affected.n) __builtin_prefetch(&edges[affected.at[i + ahead]]);
        flip_edge& e = edges[affected.at[i]];
        e.face[0] = e.first / 3;
        e.face[1] = e.nface > 1 ? e.face[1] / 3 : 0;
        if (e.nface > 3) e.nface = 3;
        e.live = 1;
    }
    // The edges flips made are records now.
    for (int64_t k = 0; k < flip_ws.nlinks; k++) flip_ws.chain_head[bucket_of(flip_ws.links[k].lo)] = -1;
    flip_ws.nlinks = 0;

    int32_t* order = flip_ws.order;
    int32_t nrec = 0;
    for (int64_t i = 0; i < affected.n; i++) order[nrec++] = affected.at[i];
    for (int64_t i = 0; i < flip_ws.unsettled.n; i++)
        if (!rec_mark[flip_ws.unsettled.at[i]]) order[nrec++] = flip_ws.unsettled.at[i];
    for (int64_t i = 0; i < nrec; i++) {
        if (!rec_mark[order[i]]) rec_mark[order[i]] = 1;
        push(&flip_ws.touched, order[i]);
    }
    // First sides are distinct. A long list is ordered by a bit per side,
    // set at each record's first side and read in order, the record beside
    // it in first_of (free until the next build); a short one, or one whose
    // first sides are found not distinct after all, by sorting (first,
    // record) keys, which reads no record per comparison.
    const int64_t nside = 3 * nt;
    bool ordered = false;
    if (nrec >= nside / 256 && flip_ws.first_cap >= nside + 1) {
        if (flip_ws.side_bits_cap < nside / 64 + 1) {
            renew(&flip_ws.side_bits, nside / 64 + 1, true);
            flip_ws.side_bits_cap = nside / 64 + 1;
        }
        uint64_t* bits = flip_ws.side_bits;  // all clear between calls
        int32_t* first_of = flip_ws.first_of;
        int32_t set = 0;
        for (; set < nrec; set++) {
            const int32_t p = edges[order[set]].first;
            if (p < 0 || p >= nside || bit_of(bits, p)) break;
            set_bit(bits, p);
            first_of[p] = order[set];
        }
        if (set == nrec) {
            int32_t n = 0;
            for (int64_t w = 0; w <= nside / 64; w++) {
                uint64_t x = bits[w];
                if (!x) continue;
                bits[w] = 0;
                for (; x; x &= x - 1) order[n++] = first_of[64 * w + __builtin_ctzll(x)];
            }
            ordered = true;
        } else {
            for (int32_t i = 0; i < set; i++) clear_bit(bits, edges[order[i]].first);
        }
    }
    if (!ordered) {
        reserve_list(&flip_ws.order_keys, nrec);
        uint64_t* keys = flip_ws.order_keys.at;
        for (int32_t i = 0; i < nrec; i++)
            keys[i] = (uint64_t)(uint32_t)edges[order[i]].first << 32 | (uint32_t)order[i];
        std::sort(keys, keys + nrec);
        for (int32_t i = 0; i < nrec; i++) order[i] = (int32_t)(uint32_t)keys[i];
    }
    flip_ws.nrec = nrec;
    forget_dirty();
    return true;
}

void flip_phase_begin(const int32_t* origin, int64_t rows_before)
{
    flip_ws.phase_open = true;
    flip_ws.phase_fresh = true;
    flip_ws.carry_origin = origin;
    flip_ws.carry_rows = rows_before;
}

void flip_phase_end()
{
    flip_ws.phase_open = false;
}

// Carries the last phase's records over a collapse that moved the rows down
// (kept in order), renamed or moved corners of some and dropped others (those
// that lost a corner, and any that repeated one): each record names its rows'
// new places, and the changed rows join those the last call flipped as
// dirty, for the patch. Corners move or vanish only in changed or dropped
// rows, so a record needs the patch only where one of its rows changed,
// which lists it, or was dropped: its surviving rows are made dirty too, and
// an edge left in no row is no side any more, unless a changed row made it
// again. A record of three or more sides names only two of its rows, so a
// drop among them leaves a full build. False, for a full build, also when
// so many rows changed that the build is cheaper.
static bool carry_records(int64_t nt)
{
    const int32_t* origin = flip_ws.carry_origin;
    const int64_t before = flip_ws.carry_rows;
    // Where each row went, or -1, in first_of: free until the next build.
    int32_t* inv = flip_ws.first_of;
    memset(inv, 0xff, (size_t)(before + 1) * sizeof(int32_t));
    int64_t changed = before - nt;
    for (int64_t t = 0; t < nt; t++) {
        const int32_t v = origin ? origin[t] : (int32_t)t;
        inv[v < 0 ? ~v : v] = (int32_t)t;
        changed += v < 0;
    }
    if (changed > nt / kCarryShare) return false;
    flip_list<int32_t>& was_dirty = flip_ws.side_rec;
    reserve_list(&was_dirty, flip_ws.dirty.n);
    was_dirty.n = flip_ws.dirty.n;
    for (int64_t i = 0; i < flip_ws.dirty.n; i++) {
        was_dirty.at[i] = flip_ws.dirty.at[i];
        flip_ws.row_mark[flip_ws.dirty.at[i]] = 0;
    }
    flip_ws.dirty.n = 0;
    for (int64_t t = 0; origin && t < nt; t++)
        if (origin[t] < 0) mark_dirty((int32_t)t);
    for (int64_t i = 0; i < was_dirty.n; i++)
        if (inv[was_dirty.at[i]] >= 0) mark_dirty(inv[was_dirty.at[i]]);
    auto kept = [&](int32_t r) { return r >= 0 && r < before && inv[r] >= 0; };
    auto row = [&](int32_t r) { return kept(r) ? inv[r] : 0; };
    bool sound = true;
    auto carry = [&](flip_edge& e) {
        const bool has0 = e.nface >= 1, has1 = e.nface >= 2;
        const bool kept0 = has0 && kept(e.face[0]), kept1 = has1 && kept(e.face[1]);
        // Such a record names only two of its rows: a drop among the others
        // could leave it two, where a fresh build would visit it.
        if (e.live == 1 && e.nface >= 3) sound = false;
        if (e.live == 1 && ((has0 && !kept0) || (has1 && !kept1))) {
            if (kept0) mark_dirty(inv[e.face[0]]);
            if (kept1) mark_dirty(inv[e.face[1]]);
            if (!kept0 && !kept1) e.live = 0;
        }
        e.face[0] = row(e.face[0]);
        e.face[1] = row(e.face[1]);
        e.first = 3 * row(e.first / 3) + e.first % 3;
    };
    // Once unsound the records are built anew: the rest need no carrying.
    for (int64_t b = 0; b < flip_ws.nbucket && sound; b++)
        for (int32_t k = flip_ws.bstart[b]; k < flip_ws.bend[b]; k++) carry(flip_ws.edges[k]);
    for (int32_t k = 0; k < flip_ws.novf && sound; k++) carry(flip_ws.edges[flip_ws.ovf_base + k]);
    return sound;
}

void flip_release()
{
    free(flip_ws.bstart);
    free(flip_ws.bend);
    free(flip_ws.chain_head);
    free_and_null(flip_ws.ovf_head, flip_ws.ovf_next, flip_ws.ovf_used.at);
    flip_ws.ovf_used = flip_list<int32_t>{};
    flip_ws.ovf_room = flip_ws.novf = 0;
    flip_ws.ovf_cap = 0;
    free(flip_ws.sides);
    free(flip_ws.edges);
    free(flip_ws.first_of);
    free(flip_ws.order);
    free(flip_ws.links);
    free(flip_ws.bsorted);
    free(flip_ws.rec_mark);
    free(flip_ws.row_mark);
    free(flip_ws.dirty.at);
    free(flip_ws.unsettled.at);
    free(flip_ws.affected.at);
    free(flip_ws.occs.at);
    free_and_null(flip_ws.side_rec.at, flip_ws.order_keys.at);
    flip_ws.side_rec = flip_list<int32_t>{};
    flip_ws.order_keys = flip_list<uint64_t>{};
    free(flip_ws.pending.at);
    free(flip_ws.touched.at);
    flip_ws.pending = flip_ws.touched = flip_list<int32_t>{};
    flip_ws.patched_call = false;
    flip_ws.bsorted = nullptr;
    flip_ws.rec_mark = flip_ws.row_mark = nullptr;
    flip_ws.dirty = flip_ws.unsettled = flip_ws.affected = flip_list<int32_t>{};
    flip_ws.occs = flip_list<flip_occ>{};
    flip_ws.row_mark_cap = 0;
    flip_ws.patchable = false;
    flip_ws.bstart = flip_ws.bend = flip_ws.chain_head = flip_ws.first_of = flip_ws.order = nullptr;
    flip_ws.sides = nullptr;
    flip_ws.edges = nullptr;
    flip_ws.links = nullptr;
    flip_ws.nbucket_cap = flip_ws.side_cap = flip_ws.first_cap = flip_ws.links_cap = flip_ws.nlinks = 0;
    flip_ws.nbucket = 0;
    flip_ws.nrec = 0;
    free(flip_ws.pre);
    free_and_null(flip_ws.vflip, flip_ws.side_bits);
    flip_ws.vflip_cap = flip_ws.side_bits_cap = 0;
    free(flip_ws.flipped);
    flip_ws.pre = nullptr;
    flip_ws.flipped = nullptr;
    flip_ws.pre_cap = flip_ws.flipped_cap = 0;
    free(flip_ws.cache);
    free(flip_ws.stamp);
    free(flip_ws.verdicts);
    flip_ws.cache = nullptr;
    flip_ws.stamp = nullptr;
    flip_ws.verdicts = nullptr;
    flip_ws.cache_cap = flip_ws.verdict_cap = 0;
    flip_ws.phase_open = false;
    flip_ws.carry_origin = nullptr;
    flip_ws.carry_rows = -1;
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

enum : uint8_t { kRefused, kDeviates, kFlips, kUnjudged };
// What else a prejudged record may come to: passed over whatever flips do
// (kStatic), passed over while its rows stay (kPass), settled by a kept
// decision without or with a counted refusal, or its apexes joined where
// the area and angle tests pass.
enum : uint8_t { kStatic = kUnjudged + 1, kPass, kMemoQuiet, kMemoCounted, kJoined };

// The area, angle and deviation tests of the flip of (p, q) to (c, d) with
// the old rows' corners t0 and t1: kRefused, kDeviates or kFlips. area0,
// area1 (-1: not yet) and key0, key1 (2: not yet) are the old rows' doubled
// areas and angle keys, filled in when computed; n0, n1, k0, k1 receive the
// new rows' areas and keys when the flip passes.
static inline uint8_t geometric_verdict(const double* P, const double* Q, const double* C, const double* D,
                                        const double* const t0[3], const double* const t1[3],
                                        double& area0, double& area1, double& key0, double& key1,
                                        double tol, double grow, double* n0, double* n1, double* k0,
                                        double* k1)
{
    new_areas(P, Q, C, D, n0, n1);
    // A NaN area is cached as NaN: only -1 means "not yet".
    if (area0 == -1) area0 = cross_len(t0[0], t0[1], t0[2]);
    if (area1 == -1) area1 = cross_len(t1[0], t1[1], t1[2]);
    double area_new = 0.5 * (*n0 + *n1);
    double area_old = 0.5 * (area0 + area1);
    if (area_new > grow * area_old) return kRefused;

    // The angles fall as their keys rise (acos never rises), so the
    // smaller of two angles is the angle of the larger key, and a pair
    // whose key does not fall cannot gain angle: refused without acos.
    if (key0 == 2) key0 = tri_min_cos(t0[0], t0[1], t0[2]);
    if (key1 == 2) key1 = tri_min_cos(t1[0], t1[1], t1[2]);
    // Keys are never NaN: one new key at or above the old settles it.
    const double key_old = max_of(key0, key1);
    *k0 = tri_min_cos(P, D, C);
    if (*k0 >= key_old) return kRefused;
    *k1 = tri_min_cos(D, Q, C);
    const double key_new = max_of(*k0, *k1);
    if (key_new >= key_old) return kRefused;
    double ang_old = angle_of_min_cos(key_old);
    double ang_new = angle_of_min_cos(key_new);
    if (ang_old + 1e-9 >= ang_new) return kRefused;

    double m_new[3], m_old[3];
    for (int k = 0; k < 3; k++) {
        m_new[k] = (C[k] + D[k]) * 0.5;
        m_old[k] = (P[k] + Q[k]) * 0.5;
    }
    double dev = max_of(min_of(dist_point_tri(m_new, t0[0], t0[1], t0[2]),
                               dist_point_tri(m_new, t1[0], t1[1], t1[2])),
                        min_of(dist_point_tri(m_old, P, D, C), dist_point_tri(m_old, D, Q, C)));
    return dev > tol ? kDeviates : kFlips;
}

// Writes to out what the sweep would do with record e on the call's starting
// state, in its order of tests, reading the triangles' cached areas and keys.
// Each record only reads its decision slot and writes its own out, so the
// records can be judged side by side. Written field by field into its slot: a
// returned struct went through the stack in byte pieces that stalled the judges.
//
// A refusal by the geometric tests is not kept: no flip of the call has
// reached the rows yet, so a later call of the phase visits the record on
// these rows only after a full build, which judges it again to the same end.
static void prejudge(flip_prejudged& out, const flip_edge* e, const int32_t* tri, const double* xyz,
                     const double* area2, const double* angle_key, const keyset* ks, int32_t np, double tol_rim,
                     double tol_in, double grow, bool remember, bool recall, uint32_t era)
{
    out.c = out.d = -1;
    out.f0 = e->face[0];
    out.f1 = e->face[1];
    out.kind = kStatic;
    out.side = 0;
    if (e->nface != 2) return;
    const int32_t a = e->lo, b = e->hi;
    if (b < np) return;
    const int64_t f0 = e->face[0], f1 = e->face[1];
    const int32_t* r0 = tri + 3 * f0;
    const int32_t* r1 = tri + 3 * f1;
    const uint64_t key = edge_key(a, b);
    if (remember) out.side = (uint8_t)side_of(r0, a, b);
    if (recall) {
        const auto* seen = flip_ws.verdicts + 3 * f0 + out.side;
        if (decision_holds(seen, key, f0, f1, era)) {
            out.kind = kMemoQuiet;
            if (seen->tag & 1) {
                out.kind = kMemoCounted;
                out.c = apex(r0, a, b);
                out.d = apex(r1, a, b);
            }
            return;
        }
    }
    out.kind = kPass;
    if (!row_has(r0, a) || !row_has(r0, b) || !row_has(r1, a) || !row_has(r1, b)) return;
    const int32_t c = apex(r0, a, b), d = apex(r1, a, b);
    if (c < 0 || d < 0 || c == d) return;
    if ((c > d ? c : d) < np) return;
    int32_t p = a, q = b;
    if (!row_runs(r0, a, b)) { p = b; q = a; }
    if (!row_runs(r1, q, p)) return;
    out.c = c;
    out.d = d;
    int32_t lo = p < q ? p : q;
    if (c < lo) lo = c;
    if (d < lo) lo = d;
    const double tol = lo < np ? tol_rim : tol_in;
    const double* t0[3] = {at(xyz, r0[0]), at(xyz, r0[1]), at(xyz, r0[2])};
    const double* t1[3] = {at(xyz, r1[0]), at(xyz, r1[1]), at(xyz, r1[2])};
    double area0 = area2[f0], area1 = area2[f1], key0 = angle_key[f0], key1 = angle_key[f1];
    double n0, n1, k0, k1;
    out.kind = geometric_verdict(at(xyz, p), at(xyz, q), at(xyz, c), at(xyz, d), t0, t1, area0, area1, key0,
                                 key1, tol, grow, &n0, &n1, &k0, &k1);
    if (out.kind == kRefused) return;
    if (keyset_has(ks, key)) {
        out.kind = kPass;
        return;
    }
    if (joined(c < d ? c : d, c < d ? d : c)) out.kind = kJoined;
}

int64_t flip_pass(verts* vs, tris* ts, const keyset* ks, int32_t np, int64_t* refusals)
{
    *refusals = 0;
    const double* xyz = vs->xyz;
    int32_t* tri = ts->tri;
    const int64_t nt = ts->n;

    // Each triangle's doubled area and smallest-angle key, computed once per
    // row content instead of once per side (area -1, key 2: not yet); the
    // same calls on the same corners in the same order, so the same bits.
    if (flip_ws.cache_cap < nt + 1) {
        renew_bytes(&flip_ws.cache, 2 * (nt + 1));
        flip_ws.cache_cap = nt + 1;
    }
    double* area2 = flip_ws.cache;
    double* angle_key = area2 + (nt + 1);
    const bool remember = flip_ws.phase_open;
    if (remember && flip_ws.verdict_cap < nt + 1) {
        renew_bytes(&flip_ws.stamp, nt + 1, true);
        renew_bytes(&flip_ws.verdicts, 3 * (nt + 1), true);
        flip_ws.verdict_cap = nt + 1;
        flip_ws.phase_fresh = true;
    }
    const bool fresh = !remember || flip_ws.phase_fresh || flip_ws.phase_nt != nt;
    // A call that opens an era finds no decision of an earlier call and
    // visits each record once: it looks none up.
    const bool recall = remember && !fresh;
    // The first call after a collapse may patch the last phase's records,
    // made for phase_nt rows. On a team the build and the first sweep's
    // judges run side by side and a patch does not: it pays only on one thread.
    bool carried = false;
    if (fresh && remember && flip_ws.patchable && flip_ws.carry_rows >= nt &&
        flip_ws.carry_rows == flip_ws.phase_nt && flip_ws.row_mark_cap >= flip_ws.carry_rows + 1 &&
        flip_ws.first_cap >= flip_ws.carry_rows + 1 && omp_get_max_threads() == 1)
        carried = carry_records(nt);
    flip_ws.carry_rows = -1;
    if (fresh) {
        // With a team, every triangle's keys are computed side by side: each
        // slot is its own, and the same calls on the same corners give the
        // bits the sweep would compute. One thread computes only those the
        // sweep reaches. A row naming a vertex outside the store keeps "not
        // yet".
        const int64_t nv = vs->n;
        const bool team = nt >= kParallelMin / 2 && omp_get_max_threads() > 1;
#pragma omp parallel for schedule(static) if (team)
        for (int64_t i = 0; i < nt; i++) {
            const int32_t* r = tri + 3 * i;
            area2[i] = -1;
            angle_key[i] = 2;
            if (!team || r[0] < 0 || r[0] >= nv || r[1] < 0 || r[1] >= nv || r[2] < 0 || r[2] >= nv)
                continue;
            area2[i] = cross_len(at(xyz, r[0]), at(xyz, r[1]), at(xyz, r[2]));
            angle_key[i] = tri_min_cos(at(xyz, r[0]), at(xyz, r[1]), at(xyz, r[2]));
        }
        if (remember) flip_ws.era++;
        flip_ws.phase_fresh = false;
        flip_ws.phase_nt = nt;
    }
    flip_ws.patched_call = ((!fresh && flip_ws.patchable) || carried) && patch_records(tri, nt);
    if (!flip_ws.patched_call) {
        build_records(tri, nt, vs->n);
        if (flip_ws.row_mark_cap < nt + 1) {
            renew(&flip_ws.row_mark, nt + 1, true);
            flip_ws.row_mark_cap = nt + 1;
            flip_ws.dirty.n = 0;
        }
        forget_dirty();
    }
    flip_ws.patchable = remember;
    uint32_t* stamp = flip_ws.stamp;
    const uint32_t era = flip_ws.era & 0x7fffffffu;

    const double tol_rim = g_par.dev_rim, tol_in = g_par.dev_in, grow = g_par.area_grow;
    int64_t flips = 0;
    const int32_t nrec = flip_ws.nrec;
    const int32_t* order = flip_ws.order;
    flip_edge* edges = flip_ws.edges;
    // On a team, the records of a fresh build (every edge, visited only from
    // the order list) are judged side by side on the rows of the call's
    // start; the sweep then recomputes only where a flip has changed a row.
    uint64_t* flipped = clear_bits(&flip_ws.flipped, &flip_ws.flipped_cap, nt);
    // A patched call prejudges the records of its list; those a flip of the
    // call adds to it take the full path.
    const bool judged = nrec >= kJudgeParallelMin && omp_get_max_threads() > 1;
    // Prejudged records whose rows no flip of the call has touched keep
    // their outcome, but for the joined-apexes test: a flip changes the
    // joins among its four corners only, so the join of c and d is looked
    // up again only where both have been corners of a flip of this call.
    flip_prejudged* pre = nullptr;
    const int64_t nv = vs->n;
    if (judged) {
        // As long as the visiting list, which is well short of the records' room.
        if (flip_ws.pre_cap < nrec) {
            renew(&flip_ws.pre, nrec);
            flip_ws.pre_cap = nrec;
        }
        clear_bits(&flip_ws.vflip, &flip_ws.vflip_cap, nv);
        pre = flip_ws.pre;
        // The records and their rows lie all over their arrays: fetch a later
        // record, then the rows of a nearer one, as the sweep does.
#pragma omp parallel for schedule(dynamic, 512)
        for (int32_t u = 0; u < nrec; u++) {
            if (u + 32 < nrec) __builtin_prefetch(&edges[order[u + 32]]);
            if (u + 12 < nrec) {
                const flip_edge* later = &edges[order[u + 12]];
                for (const int64_t f : {(int64_t)later->face[0], (int64_t)later->face[1]}) {
                    __builtin_prefetch(tri + 3 * f);
                    __builtin_prefetch(area2 + f);
                    __builtin_prefetch(angle_key + f);
                    if (remember) __builtin_prefetch(stamp + f);
                }
            }
            prejudge(pre[u], &edges[order[u]], tri, xyz, area2, angle_key, ks, np, tol_rim, tol_in, grow,
                     remember, recall, era);
        }
    }
    uint64_t* vflip = flip_ws.vflip;
    auto flipped_corner = [&](int32_t v) { return v < 0 || v >= nv || bit_of(vflip, v); };
    flip_list<int32_t>& pending = flip_ws.pending;
    pending.n = 0;
    auto later_first = [edges](int32_t l, int32_t r) { return edges[l].first > edges[r].first; };
    // A record whose rows a flip has just rewritten but which still lies in
    // them is visited like every record of a fresh build, if not yet passed.
    auto reconsider = [&](int32_t lo, int32_t hi, int32_t now) {
        flip_edge* r = record_of(lo, hi);
        if (!r) return;
        const int32_t ri = (int32_t)(r - edges);
        if (flip_ws.rec_mark[ri] || r->first < now) return;
        flip_ws.rec_mark[ri] = 1;
        push(&flip_ws.touched, ri);
        push(&pending, ri);
        std::push_heap(pending.at, pending.at + pending.n, later_first);
    };
    for (int32_t u = 0;;) {
        int32_t ri;
        const flip_prejudged* pj = nullptr;
        if (pending.n > 0 && (u >= nrec || edges[pending.at[0]].first < edges[order[u]].first)) {
            std::pop_heap(pending.at, pending.at + pending.n, later_first);
            ri = pending.at[--pending.n];
        } else if (u < nrec) {
            if (judged) pj = pre + u;
            ri = order[u++];
        } else {
            break;
        }
        // Records lie all over their array and a record's second row far
        // from its first: fetch a later record, then the rows of a nearer one.
        // Prejudged, most records are passed over on their outcome and rows
        // alone, which the outcome holds: fetch the record only for the rest.
        if (!judged) {
            if (u + 32 < nrec) __builtin_prefetch(&edges[order[u + 32]]);
            if (u + 12 < nrec) {
                const int64_t f1 = edges[order[u + 12]].face[1];
                __builtin_prefetch(tri + 3 * f1);
                __builtin_prefetch(area2 + f1);
                __builtin_prefetch(angle_key + f1);
                if (stamp) __builtin_prefetch(stamp + f1);
            }
            // Nearer on, the corners' positions those rows name.
            if (u + 4 < nrec) {
                const flip_edge* near = &edges[order[u + 4]];
                const int32_t* n0 = tri + 3 * (int64_t)near->face[0];
                const int32_t* n1 = tri + 3 * (int64_t)near->face[1];
                for (int k = 0; k < 3; k++) {
                    if (n0[k] >= 0 && n0[k] < nv) __builtin_prefetch(xyz + 3 * (int64_t)n0[k]);
                    if (n1[k] >= 0 && n1[k] < nv) __builtin_prefetch(xyz + 3 * (int64_t)n1[k]);
                }
            }
        } else if (u + 8 < nrec) {
            const flip_prejudged* later = pre + u + 8;
            if (later->kind != kStatic) {
                __builtin_prefetch(flipped + (later->f0 >> 6));
                __builtin_prefetch(flipped + (later->f1 >> 6));
                if (later->kind != kPass && later->kind != kMemoQuiet) __builtin_prefetch(&edges[order[u + 8]]);
            }
        }
        uint8_t prejudged = kUnjudged;
        if (pj) {
            // A record keeps its sides' count and its rows through a call.
            if (pj->kind == kStatic) continue;
            if (!bit_of(flipped, pj->f0) && !bit_of(flipped, pj->f1)) {
                if (pj->kind == kPass || pj->kind == kMemoQuiet) continue;
                if (pj->kind == kMemoCounted) {
                    if (!joined(pj->c < pj->d ? pj->c : pj->d, pj->c < pj->d ? pj->d : pj->c)) (*refusals)++;
                    push(&flip_ws.unsettled, ri);
                    continue;
                }
                // A geometric refusal holds while the rows stay, joined
                // apexes or not; it was kept when it was judged.
                if (pj->kind == kRefused) continue;
                const bool rejoined = flipped_corner(pj->c) && flipped_corner(pj->d);
                if (!rejoined && pj->kind == kJoined) {
                    if (remember) push(&flip_ws.unsettled, ri);
                    continue;
                }
                // The rest take the full path, which finds the same outcome
                // of every test before the geometric ones.
                if (pj->kind != kJoined) prejudged = pj->kind;
            }
        }
        flip_edge* e = &edges[ri];
        if (e->nface != 2) continue;
        // Every step before the deviation test passes an edge over without
        // counting it, so the order of those steps cannot show: the cheap
        // ones that depend only on the two rows go first, where a remembered
        // decision does not already settle the edge. The contour and
        // joined-apexes lookups wait for the area and angle tests: an edge
        // they refuse is passed over uncounted, joined or not, on the
        // contour or not, and so is it at any later visit while its rows stay.
        const uint64_t key = edge_key(e->lo, e->hi);
        const int32_t a = e->lo, b = e->hi;
        if (b < np) continue;
        const int64_t f0 = e->face[0], f1 = e->face[1];
        int32_t* r0 = tri + 3 * f0;
        int32_t* r1 = tri + 3 * f1;
        flip_verdict* seen = nullptr;
        if (remember) {
            // A decision is found only while both rows are as they were when
            // it was made, and it was made only past the tests on the rows:
            // they would pass again. The contour test cannot change either;
            // the joined apexes can, and decide whether a refusal counts.
            seen = flip_ws.verdicts + 3 * f0 + side_of(r0, a, b);
            if (recall && decision_holds(seen, key, f0, f1, era)) {
                if (seen->tag & 1) {
                    const int32_t c = apex(r0, a, b), d = apex(r1, a, b);
                    if (!joined(c < d ? c : d, c < d ? d : c)) (*refusals)++;
                    push(&flip_ws.unsettled, ri);
                }
                continue;
            }
        }
        if (!row_has(r0, a) || !row_has(r0, b) || !row_has(r1, a) || !row_has(r1, b)) continue;
        const int32_t c = apex(r0, a, b), d = apex(r1, a, b);
        if (c < 0 || d < 0 || c == d) continue;
        if ((c > d ? c : d) < np) continue;
        int32_t p = a, q = b;
        if (!row_runs(r0, a, b)) { p = b; q = a; }
        // Two triangles that run the edge the same way are wound inconsistently:
        // the rows (p, d, c), (d, q, c) would turn one of them over.
        if (!row_runs(r1, q, p)) continue;
        const int32_t cd_lo = c < d ? c : d, cd_hi = c < d ? d : c;
        if (recall) seen->key = 0;
        int32_t lo = p < q ? p : q;
        if (c < lo) lo = c;
        if (d < lo) lo = d;
        const double tol = lo < np ? tol_rim : tol_in;
        // Remembers a refusal by the geometric tests for the next call of the phase.
        auto refuse = [&](int32_t counted) {
            if (seen) *seen = kept_decision(key, f0, f1, era, (uint32_t)counted);
        };

        const double *P = at(xyz, p), *Q = at(xyz, q), *C = at(xyz, c), *D = at(xyz, d);
        double n0, n1, k0, k1;
        // A verdict judged at the start of the call holds while neither row
        // has been flipped since.
        uint8_t verdict = prejudged;
        if (verdict == kFlips) {
            new_areas(P, Q, C, D, &n0, &n1);
            k0 = tri_min_cos(P, D, C);
            k1 = tri_min_cos(D, Q, C);
        } else if (verdict == kUnjudged) {
            const double* t0[3] = {at(xyz, r0[0]), at(xyz, r0[1]), at(xyz, r0[2])};
            const double* t1[3] = {at(xyz, r1[0]), at(xyz, r1[1]), at(xyz, r1[2])};
            verdict = geometric_verdict(P, Q, C, D, t0, t1, area2[f0], area2[f1], angle_key[f0], angle_key[f1],
                                        tol, grow, &n0, &n1, &k0, &k1);
        }
        if (verdict == kRefused) {
            // Only a record a flip of this call has reached is visited again
            // on the same rows (the next call's patch lists it); any other
            // visit finds its rows changed, or follows a full build and
            // judges again to the same end.
            if (bit_of(flipped, f0) || bit_of(flipped, f1)) refuse(0);
            continue;
        }
        if (keyset_has(ks, key)) continue;
        if (joined(cd_lo, cd_hi)) {
            if (remember) push(&flip_ws.unsettled, ri);
            continue;
        }
        if (verdict == kDeviates) {
            (*refusals)++;
            refuse(1);
            if (remember) push(&flip_ws.unsettled, ri);
            continue;
        }

        r0[0] = p; r0[1] = d; r0[2] = c;
        r1[0] = d; r1[1] = q; r1[2] = c;
        if (remember) {
            stamp[f0]++;
            stamp[f1]++;
            mark_dirty((int32_t)f0);
            mark_dirty((int32_t)f1);
        }
        area2[f0] = n0;
        area2[f1] = n1;
        angle_key[f0] = k0;
        angle_key[f1] = k1;
        set_bit(flipped, f0);
        set_bit(flipped, f1);
        if (judged)
            for (int32_t v : {p, q, c, d})
                if (v >= 0 && v < nv) set_bit(vflip, v);
        e->live = 0;
        mark_created(cd_lo, cd_hi);
        if (flip_ws.patched_call) {
            reconsider(p < c ? p : c, p < c ? c : p, e->first);
            reconsider(q < d ? q : d, q < d ? d : q, e->first);
        }
        flips++;
    }
    for (int64_t i = 0; i < flip_ws.touched.n; i++) flip_ws.rec_mark[flip_ws.touched.at[i]] = 0;
    flip_ws.touched.n = 0;
    return flips;
}
