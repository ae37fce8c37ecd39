// Edge collapses of short created edges: shortest first, merges kept independent by locking.
// Edges between created points that are much shorter than their target merge
// at their midpoint. Adjacency is rebuilt once per sub-pass in compressed
// lists; locking the closed neighbourhood of every merge keeps the merges of
// a sub-pass independent, so all tests read the positions and adjacency of
// the sub-pass's start.
#include "remesh/collapse.h"

#include "core/edgetab.h"
#include "core/fail.h"
#include "core/params.h"
#include "core/sort.h"
#include "core/stores.h"
#include "core/targets.h"
#include "core/team.h"

#include <omp.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

// k * n + 1 records, or -1 when that does not fit in 64 bits.
static int64_t room(int64_t n, int64_t k)
{
    if (n < 0 || n > (INT64_MAX - 1) / k) return -1;
    return k * n + 1;
}

// Bytes of count records, or SIZE_MAX (which no allocator grants) on overflow.
static size_t bytes_of(int64_t count, size_t size)
{
    if (count < 0 || (uint64_t)count > SIZE_MAX / size) return SIZE_MAX;
    return (size_t)count * size;
}

static void* alloc_or_die(int64_t count, size_t size)
{
    return xrealloc(nullptr, bytes_of(count, size));
}

// The work arrays outlive a sub-pass and grow to the largest one: the
// sub-passes and passes of a run would otherwise page in fresh zeroed memory
// for every table.
static struct {
    int64_t *vf_start, *fill, *nb_start;
    int32_t *vf_face, *nb_vert, *heads, *remap;
    cand *cands, *merged;
    uint8_t *locked, *verdicts;
    int64_t verdicts_cap;
    int64_t vf_start_cap, fill_cap, nb_start_cap, vf_face_cap, nb_vert_cap, heads_cap, remap_cap,
        cands_cap, merged_cap, locked_cap;
    // A one-thread sub-pass leaves the next one of its phase its candidates
    // (last), what it found for those it reached (reached, kUnjudged for the
    // others) and its locks.
    cand* last;
    uint8_t *reached, *last_reached, *last_locked;
    int64_t nlast, last_nv, last_cap, reached_cap, last_reached_cap, last_locked_cap;
    bool last_valid;
    // On one thread, where each row was at the phase's start: o, or ~o once
    // renamed or a corner moved (a team's next flip phase builds anew).
    int32_t* origin;
    int64_t origin_cap, origin_rows;
    bool origin_tracked, origin_identity;
} cws;

// Loops over fewer items than this run on the calling thread. Waking a team
// of 8 sleeping workers took 0.2 ms (median) on a loaded 8-core machine; an
// item here costs 10 to 20 ns, so below about 0.5 ms of work a team saves
// nothing.
constexpr int64_t kParallelMin = 1 << 15;
// A candidate's tests (common neighbours, kept sides, lengths, normals) cost
// about a microsecond: a few thousand pay for a team.
constexpr int64_t kJudgeParallelMin = 2048;
// The judges claim runs of kJudgeRun candidates; the walker tells how far it
// has come every kWalkStep candidates, and the judges start past that.
constexpr int64_t kJudgeRun = 64;
constexpr int64_t kWalkStep = 64;

// Room for count records in *p; what names the failure message, or null for
// the byte count. The old contents are not kept.
template <class T>
static bool reserve(T** p, int64_t* cap, int64_t count, const char* what)
{
    if (count >= 0 && *cap >= count && *p) return true;
    free(*p);
    *p = nullptr;
    *cap = 0;
    const size_t bytes = bytes_of(count, sizeof(T));
    if (!what) {
        *p = (T*)alloc_or_die(count, sizeof(T));
    } else {
        *p = bytes == SIZE_MAX ? nullptr : (T*)malloc(bytes ? bytes : 1);
        if (!*p) return false;
    }
    *cap = count;
    return true;
}

void collapse_release()
{
    free(cws.vf_start);
    free(cws.fill);
    free(cws.nb_start);
    free(cws.vf_face);
    free(cws.nb_vert);
    free(cws.heads);
    free(cws.merged);
    free(cws.remap);
    free(cws.cands);
    free(cws.locked);
    free(cws.verdicts);
    free_and_null(cws.last, cws.reached, cws.last_reached, cws.last_locked);
    free(cws.origin);
    cws = {};
}

static inline bool corner_ok(int32_t v, int64_t nv)
{
    return v >= 0 && v < nv;
}

// A triangle enters the tables only when all its corners are real vertices.
static inline bool tri_ok(const int32_t* t, int64_t nv)
{
    return corner_ok(t[0], nv) && corner_ok(t[1], nv) && corner_ok(t[2], nv);
}

struct adjacency {
    int64_t* vf_start;  // nv + 1
    int32_t* vf_face;   // triangles per vertex; ascending on one thread, any order on a team
    int64_t* nb_start;  // nv + 1
    int32_t* nb_vert;   // neighbours per vertex, ascending, distinct
};

// One walk over the rows lists each vertex's triangles and, beside each
// listing of v at corner j, the two corners either side of it (heads[2 k],
// heads[2 k + 1] for entry k): the neighbours of v are the corners next to
// one of its corners in some row, so the rows are read in order once
// instead of again through every vertex's list.
static void build_vf(adjacency* adj, const tris* ts, int64_t nv, int32_t* heads)
{
    const int64_t nt = ts->n;
    int64_t* start = adj->vf_start;
    int64_t* fill = cws.fill;
    int32_t* face = adj->vf_face;
    memset(start, 0, (size_t)(nv + 1) * sizeof(int64_t));
    // fill[v] runs from start[v] on: one counter a listing reads and bumps.
    auto list = [&](int64_t t, const int32_t* c, int j, int64_t k) {
        face[k] = (int32_t)t;
        heads[2 * k] = c[j == 2 ? 0 : j + 1];
        heads[2 * k + 1] = c[j == 0 ? 2 : j - 1];
    };
    if (3 * nt < kParallelMin || omp_get_max_threads() == 1) {
        for (int64_t t = 0; t < nt; t++) {
            const int32_t* c = ts->tri + 3 * t;
            if (!tri_ok(c, nv)) continue;
            for (int j = 0; j < 3; j++) start[c[j] + 1] += 1;
        }
        for (int64_t v = 0; v < nv; v++) start[v + 1] += start[v];
        memcpy(fill, start, (size_t)nv * sizeof(int64_t));
        for (int64_t t = 0; t < nt; t++) {
            const int32_t* c = ts->tri + 3 * t;
            if (!tri_ok(c, nv)) continue;
            for (int j = 0; j < 3; j++) list(t, c, j, fill[c[j]]++);
        }
        return;
    }
    // On the team the triangles of a vertex arrive in any order, which no
    // test can tell: they read a vertex's triangles as a set (all pass, a
    // count, or the one triangle that holds a side where only one does).
    // Its heads are a set too, which the neighbour lists sort anyway.
#pragma omp parallel for schedule(static)
    for (int64_t t = 0; t < nt; t++) {
        const int32_t* c = ts->tri + 3 * t;
        if (!tri_ok(c, nv)) continue;
        for (int j = 0; j < 3; j++) __atomic_fetch_add(&start[c[j] + 1], 1, __ATOMIC_RELAXED);
    }
    for (int64_t v = 0; v < nv; v++) start[v + 1] += start[v];
    memcpy(fill, start, (size_t)nv * sizeof(int64_t));
#pragma omp parallel for schedule(static)
    for (int64_t t = 0; t < nt; t++) {
        const int32_t* c = ts->tri + 3 * t;
        if (!tri_ok(c, nv)) continue;
        for (int j = 0; j < 3; j++) list(t, c, j, __atomic_fetch_add(&fill[c[j]], 1, __ATOMIC_RELAXED));
    }
}

// The neighbours of v, ascending and distinct, from the heads beside its
// triangle listings: written from out, their count. out may be the heads'
// own first slot, since at most one neighbour is written per head read.
static inline int64_t distinct_heads(const int32_t* h, int64_t nh, int32_t* out)
{
    int64_t n = 0;
    for (int64_t i = 0; i < nh; i++) {
        // Kept ascending and distinct as they come: each head meets the few
        // already listed instead of a sort of all repeats.
        const int32_t w = h[i];
        int64_t at = n;
        while (at > 0 && out[at - 1] > w) at--;
        if (at > 0 && out[at - 1] == w) continue;
        for (int64_t k = n; k > at; k--) out[k] = out[k - 1];
        out[at] = w;
        n++;
    }
    return n;
}

#if defined(__SSE2__)
// The same list for a vertex inside a closed fan of 2 to 8 triangles, where
// every prev head is also a next head and the next heads are distinct: they
// are then the neighbours, and each one's place is the count of nexts below
// it. The tests and places are taken in vector lanes, without the branches
// on every head that the insertion mispredicts; false, with nothing
// written, for any other vertex. Reads 16 heads from h whatever nh is (the
// heads' table has room past its last vertex), writes at most 8 from out.
static inline bool fan_heads(const int32_t* h, int64_t nh, int32_t* out, int64_t* count)
{
    if (nh < 4 || nh > 16) return false;
    const int32_t d = (int32_t)(nh / 2);
    const __m128i v0 = _mm_loadu_si128((const __m128i*)h);
    const __m128i v1 = _mm_loadu_si128((const __m128i*)(h + 4));
    const __m128i v2 = _mm_loadu_si128((const __m128i*)(h + 8));
    const __m128i v3 = _mm_loadu_si128((const __m128i*)(h + 12));
    const __m128i a0 = _mm_shuffle_epi32(v0, _MM_SHUFFLE(3, 1, 2, 0));
    const __m128i a1 = _mm_shuffle_epi32(v1, _MM_SHUFFLE(3, 1, 2, 0));
    const __m128i a2 = _mm_shuffle_epi32(v2, _MM_SHUFFLE(3, 1, 2, 0));
    const __m128i a3 = _mm_shuffle_epi32(v3, _MM_SHUFFLE(3, 1, 2, 0));
    // Lanes past the fan hold INT32_MAX, which no corner is (corners stay
    // below the vertex count): below no next, and equal only to each other.
    const __m128i top = _mm_set1_epi32(INT32_MAX);
    const __m128i nd = _mm_set1_epi32(d);
    const __m128i in0 = _mm_cmpgt_epi32(nd, _mm_setr_epi32(0, 1, 2, 3));
    const __m128i in1 = _mm_cmpgt_epi32(nd, _mm_setr_epi32(4, 5, 6, 7));
    auto keep = [&](__m128i x, __m128i in) { return _mm_or_si128(_mm_and_si128(in, x), _mm_andnot_si128(in, top)); };
    const __m128i n0 = keep(_mm_unpacklo_epi64(a0, a1), in0), n1 = keep(_mm_unpacklo_epi64(a2, a3), in1);
    const __m128i p0 = keep(_mm_unpackhi_epi64(a0, a1), in0), p1 = keep(_mm_unpackhi_epi64(a2, a3), in1);
    // Per lane: nexts below it (as a negative count), nexts equal to it, and
    // whether its prev is some next.
    __m128i below0 = _mm_setzero_si128(), below1 = below0, same0 = below0, same1 = below0;
    __m128i found0 = below0, found1 = below0;
    auto meet = [&](__m128i b) {
        below0 = _mm_add_epi32(below0, _mm_cmpgt_epi32(n0, b));
        below1 = _mm_add_epi32(below1, _mm_cmpgt_epi32(n1, b));
        same0 = _mm_add_epi32(same0, _mm_cmpeq_epi32(n0, b));
        same1 = _mm_add_epi32(same1, _mm_cmpeq_epi32(n1, b));
        found0 = _mm_or_si128(found0, _mm_cmpeq_epi32(p0, b));
        found1 = _mm_or_si128(found1, _mm_cmpeq_epi32(p1, b));
    };
    meet(_mm_shuffle_epi32(n0, _MM_SHUFFLE(0, 0, 0, 0)));
    meet(_mm_shuffle_epi32(n0, _MM_SHUFFLE(1, 1, 1, 1)));
    meet(_mm_shuffle_epi32(n0, _MM_SHUFFLE(2, 2, 2, 2)));
    meet(_mm_shuffle_epi32(n0, _MM_SHUFFLE(3, 3, 3, 3)));
    meet(_mm_shuffle_epi32(n1, _MM_SHUFFLE(0, 0, 0, 0)));
    meet(_mm_shuffle_epi32(n1, _MM_SHUFFLE(1, 1, 1, 1)));
    meet(_mm_shuffle_epi32(n1, _MM_SHUFFLE(2, 2, 2, 2)));
    meet(_mm_shuffle_epi32(n1, _MM_SHUFFLE(3, 3, 3, 3)));
    // Each next met itself once (-1); past the fan the lanes meet each other
    // and their INT32_MAX prevs, so only the fan's lanes are tested.
    const __m128i once = _mm_set1_epi32(-1);
    const __m128i ok0 = _mm_andnot_si128(in0, once), ok1 = _mm_andnot_si128(in1, once);
    const __m128i good0 = _mm_or_si128(ok0, _mm_and_si128(_mm_cmpeq_epi32(same0, once), found0));
    const __m128i good1 = _mm_or_si128(ok1, _mm_and_si128(_mm_cmpeq_epi32(same1, once), found1));
    if (_mm_movemask_epi8(_mm_and_si128(good0, good1)) != 0xffff) return false;
    alignas(16) int32_t next[8], place[8];
    int32_t sorted[9] = {};
    _mm_store_si128((__m128i*)next, n0);
    _mm_store_si128((__m128i*)(next + 4), n1);
    _mm_store_si128((__m128i*)place, _mm_sub_epi32(_mm_setzero_si128(), below0));
    _mm_store_si128((__m128i*)(place + 4), _mm_sub_epi32(_mm_setzero_si128(), below1));
    // Lanes past the fan all land on place d, past the list.
    for (int i = 0; i < 8; i++) sorted[place[i]] = next[i];
    // The list takes no more room than its own heads: 8 slots from out when
    // there are 8 heads or more, else 4.
    _mm_storeu_si128((__m128i*)out, _mm_loadu_si128((const __m128i*)sorted));
    if (d >= 4) _mm_storeu_si128((__m128i*)(out + 4), _mm_loadu_si128((const __m128i*)(sorted + 4)));
    *count = d;
    return true;
}
#endif

// The neighbours of v, ascending and distinct, from the heads: the fan's
// lanes where they apply, the insertion otherwise.
static inline int64_t neighbours_of(const int32_t* h, int64_t nh, int32_t* out)
{
#if defined(__SSE2__)
    int64_t n;
    if (fan_heads(h, nh, out, &n)) return n;
#endif
    return distinct_heads(h, nh, out);
}

int64_t collapse_neighbours(const int32_t* heads, int64_t nh, int32_t* out)
{
    return neighbours_of(heads, nh, out);
}

// The lists of every vertex; one thread packs them down over the heads in
// place (no vertex's list outgrows its heads), a team through a scratch list.
static void build_adjacency(adjacency* adj, const tris* ts, int64_t nv)
{
    const int64_t nt = ts->n;
    // Both requests first, then one test: either failure gives one message.
    const bool got_start = reserve(&cws.vf_start, &cws.vf_start_cap, nv + 1, "vf");
    const bool got_face = reserve(&cws.vf_face, &cws.vf_face_cap, room(nt, 3), "vf");
    if (!got_start || !got_face) die_memory("vf");
    if (!reserve(&cws.fill, &cws.fill_cap, nv + 1, "vf")) die_memory("vf");
    if (!reserve(&cws.nb_start, &cws.nb_start_cap, nv + 1, "nb")) die_memory("nb");
    // Two heads per listing, at most 6 per triangle, and the 16 the fan's
    // lanes read from the last vertex on.
    reserve(&cws.nb_vert, &cws.nb_vert_cap, room(nt + 3, 6), nullptr);
    adj->vf_start = cws.vf_start;
    adj->vf_face = cws.vf_face;
    adj->nb_start = cws.nb_start;
    adj->nb_vert = cws.nb_vert;
    const int64_t* vf = adj->vf_start;
    int64_t* start = adj->nb_start;
    int32_t* out = adj->nb_vert;
    if (3 * nt < kParallelMin || omp_get_max_threads() == 1) {
        build_vf(adj, ts, nv, out);
        int64_t nout = 0;
        for (int64_t v = 0; v < nv; v++) {
            start[v] = nout;
            nout += neighbours_of(out + 2 * vf[v], 2 * (vf[v + 1] - vf[v]), out + nout);
        }
        start[nv] = nout;
        return;
    }
    reserve(&cws.heads, &cws.heads_cap, room(nt + 3, 6), nullptr);
    int32_t* heads = cws.heads;
    build_vf(adj, ts, nv, heads);
    start[0] = 0;
    // The fan's lanes read past a vertex's heads, into those another thread
    // is rewriting: each thread reads its vertex's own heads from a copy.
#pragma omp parallel for schedule(dynamic, 1024)
    for (int64_t v = 0; v < nv; v++) {
        int32_t* h = heads + 2 * vf[v];
        const int64_t nh = 2 * (vf[v + 1] - vf[v]);
        alignas(16) int32_t own[16] = {};
        const int32_t* from = h;
        if (nh <= 16) {
            memcpy(own, h, (size_t)nh * sizeof(int32_t));
            from = own;
        }
        start[v + 1] = neighbours_of(from, nh, h);
    }
    for (int64_t v = 0; v < nv; v++) start[v + 1] += start[v];
#pragma omp parallel for schedule(static)
    for (int64_t v = 0; v < nv; v++)
        memcpy(out + start[v], heads + 2 * vf[v], (size_t)(start[v + 1] - start[v]) * sizeof(int32_t));
}

static inline double dist3(const double* p, const double* q)
{
    double dx = p[0] - q[0], dy = p[1] - q[1], dz = p[2] - q[2];
    return sqrt(dx * dx + dy * dy + dz * dz);
}

// Edges between two created points shorter than collapse x their mean
// target, shortest first, equal lengths in (a, b) order. No length is NaN
// (a NaN never passes the test) or negative, so sorting by length alone
// keeps the list's (a, b) order among equal lengths.
static cand* find_candidates(const adjacency* adj, const verts* vs, int32_t np, int64_t* ncand)
{
    // The neighbour lists hold every side of the tables' triangles once each
    // way, ascending: the heads b >= a of vertex a, a ascending, are the
    // distinct edges in (a, b) order, as unique_edges would list them. An
    // edge seen only in a triangle the tables leave out has its ends locked.
    // Each vertex a counts its candidates, then writes them from its offset:
    // the list is in (a, b) order whatever the team.
    const int64_t nv = vs->n;
    const int64_t a0 = np > 0 ? np : 0;
    const double* xyz = vs->xyz;
    const double* targ = vs->targ;
    const double factor = g_par.collapse;
    int64_t* offset = cws.fill;  // nv + 1, free since the triangle lists are built
    auto is_cand = [&](int32_t a, int32_t b, double* len) {
        *len = dist3(xyz + 3 * (int64_t)a, xyz + 3 * (int64_t)b);
        return (targ[a] + targ[b]) * 0.5 * factor > *len;
    };
    if (nv - a0 < kParallelMin || omp_get_max_threads() == 1) {
        int64_t ne = 0;
        for (int64_t v = a0; v < nv; v++) ne += adj->nb_start[v + 1] - adj->nb_start[v];
        reserve(&cws.cands, &cws.cands_cap, ne + 1, nullptr);
        cand* cands = cws.cands;
        int64_t nc = 0;
        for (int64_t a = a0; a < nv; a++)
            for (int64_t k = adj->nb_start[a]; k < adj->nb_start[a + 1]; k++) {
                const int32_t b = adj->nb_vert[k];
                double len;
                if (b > a && is_cand((int32_t)a, b, &len)) cands[nc++] = cand{len, (int32_t)a, b};
            }
        reserve(&cws.merged, &cws.merged_cap, nc + 1, nullptr);
        sort_cands_by_len(cands, nc, cws.merged);
        *ncand = nc;
        return cands;
    }
    offset[a0] = 0;
#pragma omp parallel for schedule(dynamic, 1024)
    for (int64_t a = a0; a < nv; a++) {
        int64_t n = 0;
        for (int64_t k = adj->nb_start[a]; k < adj->nb_start[a + 1]; k++) {
            const int32_t b = adj->nb_vert[k];
            double len;
            // b == a comes from a triangle with a repeated corner: not an edge.
            if (b > a && is_cand((int32_t)a, b, &len)) n++;
        }
        offset[a + 1] = n;
    }
    for (int64_t a = a0; a < nv; a++) offset[a + 1] += offset[a];
    const int64_t nc = offset[nv];
    reserve(&cws.cands, &cws.cands_cap, nc + 1, nullptr);
    cand* cands = cws.cands;
#pragma omp parallel for schedule(dynamic, 1024)
    for (int64_t a = a0; a < nv; a++) {
        int64_t at = offset[a];
        for (int64_t k = adj->nb_start[a]; k < adj->nb_start[a + 1]; k++) {
            const int32_t b = adj->nb_vert[k];
            double len;
            if (b > a && is_cand((int32_t)a, b, &len)) cands[at++] = cand{len, (int32_t)a, b};
        }
    }
    reserve(&cws.merged, &cws.merged_cap, nc + 1, nullptr);
    sort_cands_by_len(cands, nc, cws.merged);
    *ncand = nc;
    return cands;
}

// Vertices adjacent to both a and b; at most two are written to common.
static int64_t count_common(const adjacency* adj, int32_t a, int32_t b, int32_t* common)
{
    const int32_t* na = adj->nb_vert + adj->nb_start[a];
    const int32_t* nb = adj->nb_vert + adj->nb_start[b];
    int64_t la = adj->nb_start[a + 1] - adj->nb_start[a];
    int64_t lb = adj->nb_start[b + 1] - adj->nb_start[b];
    int64_t i = 0, j = 0, n = 0;
    while (i < la && j < lb) {
        if (na[i] < nb[j]) i++;
        else if (na[i] > nb[j]) j++;
        else {
            if (n < 2) common[n] = na[i];
            n++;
            i++;
            j++;
        }
    }
    return n;
}

static inline bool tri_has(const int32_t* c, int32_t v)
{
    return c[0] == v || c[1] == v || c[2] == v;
}

// The triangle of v that keeps side {v, x} once the merge drops the ones
// holding both ends: the count, and for the last one found whether it runs
// v -> x and its third corner.
struct side_use {
    int64_t n;
    bool forward;
    int32_t third;
};

// Both common neighbours x[0], x[1] in one walk over the triangles of v.
static void kept_sides(const adjacency* adj, const tris* ts, int32_t v, int32_t other,
                       const int32_t* x, side_use* out)
{
    out[0] = out[1] = side_use{0, false, -1};
    for (int64_t k = adj->vf_start[v]; k < adj->vf_start[v + 1]; k++) {
        const int32_t* c = ts->tri + 3 * (int64_t)adj->vf_face[k];
        if (tri_has(c, other)) continue;
        const int jv = c[0] == v ? 0 : c[1] == v ? 1 : 2;
        const int32_t next = c[(jv + 1) % 3], last = c[(jv + 2) % 3];
        for (int i = 0; i < 2; i++) {
            if (!tri_has(c, x[i])) continue;
            out[i].n++;
            out[i].forward = next == x[i];
            out[i].third = next == x[i] ? last : next;
        }
    }
}

// Two common neighbours do not make a merge safe: where the side {a, x}
// and the side {b, x} both survive they become one side, which must then
// hold exactly two triangles, run in opposite directions and not be the
// same triangle twice. Otherwise the merge would leave a side shared by
// three triangles, a winding clash or a duplicate triangle (the ends of a
// tetrahedron, or a side on the cap's boundary whose ends share a
// neighbour across an interior side).
static bool merge_keeps_manifold(const adjacency* adj, const tris* ts, int32_t a, int32_t b,
                                 const int32_t* common)
{
    side_use along_a[2], along_b[2];
    kept_sides(adj, ts, a, b, common, along_a);
    kept_sides(adj, ts, b, a, common, along_b);
    for (int k = 0; k < 2; k++) {
        const side_use& sa = along_a[k];
        const side_use& sb = along_b[k];
        if (sa.n == 0 || sb.n == 0) continue;
        if (sa.n + sb.n > 2) return false;
        if (sa.forward == sb.forward || sa.third == sb.third) return false;
    }
    return true;
}

// No neighbour of a or b may end farther from the midpoint m than the mean
// of its own target and the pair's mean target tm.
static bool lengths_ok(const adjacency* adj, const verts* vs, int32_t a, int32_t b,
                       const double* m, double tm)
{
    const int32_t ends[2] = {a, b};
    for (int e = 0; e < 2; e++) {
        const int32_t v = ends[e];
        for (int64_t k = adj->nb_start[v]; k < adj->nb_start[v + 1]; k++) {
            const int32_t w = adj->nb_vert[k];
            if (w == a || w == b) continue;
            if (dist3(vs->xyz + 3 * (int64_t)w, m) > (vs->targ[w] + tm) * 0.5) return false;
        }
    }
    return true;
}

static inline void tri_normal(const double* p0, const double* p1, const double* p2, double* n)
{
    double u[3] = {p1[0] - p0[0], p1[1] - p0[1], p1[2] - p0[2]};
    double w[3] = {p2[0] - p0[0], p2[1] - p0[1], p2[2] - p0[2]};
    n[0] = u[1] * w[2] - u[2] * w[1];
    n[1] = u[2] * w[0] - u[0] * w[2];
    n[2] = u[0] * w[1] - u[1] * w[0];
}

static inline double dot3(const double* p, const double* q)
{
    return p[0] * q[0] + p[1] * q[1] + p[2] * q[2];
}

// Every surviving triangle around a and b keeps a normal within normal_dot
// (cosine) of its old one, and neither normal is degenerate.
static bool normals_ok(const adjacency* adj, const verts* vs, const tris* ts, int32_t a, int32_t b,
                       const double* m)
{
    const int32_t ends[2] = {a, b};
    for (int e = 0; e < 2; e++) {
        const int32_t v = ends[e];
        for (int64_t k = adj->vf_start[v]; k < adj->vf_start[v + 1]; k++) {
            const int32_t* c = ts->tri + 3 * (int64_t)adj->vf_face[k];
            if (tri_has(c, a) && tri_has(c, b)) continue;
            const double* before[3];
            const double* after[3];
            for (int j = 0; j < 3; j++) {
                before[j] = vs->xyz + 3 * (int64_t)c[j];
                after[j] = (c[j] == a || c[j] == b) ? m : before[j];
            }
            double nb[3], na[3];
            tri_normal(before[0], before[1], before[2], nb);
            tri_normal(after[0], after[1], after[2], na);
            double la = sqrt(dot3(na, na)), lb = sqrt(dot3(nb, nb));
            if (la < 1e-12 || lb < 1e-12) return false;
            if (dot3(na, nb) / (la * lb) < g_par.normal_dot) return false;
        }
    }
    return true;
}

enum : uint8_t { kAccept, kTopo, kLength, kGeo, kUnjudged = 0xff };

// The first test that refuses merging a and b, in the order topological,
// length, geometric; kAccept when none does.
static uint8_t judge(const adjacency* adj, const verts* vs, const tris* ts, int32_t a, int32_t b)
{
    int32_t common[2];
    if (adj->nb_start[a + 1] == adj->nb_start[a] || adj->nb_start[b + 1] == adj->nb_start[b] ||
        count_common(adj, a, b, common) != 2 || !merge_keeps_manifold(adj, ts, a, b, common))
        return kTopo;
    const double* pa = vs->xyz + 3 * (int64_t)a;
    const double* pb = vs->xyz + 3 * (int64_t)b;
    const double m[3] = {(pa[0] + pb[0]) * 0.5, (pa[1] + pb[1]) * 0.5, (pa[2] + pb[2]) * 0.5};
    const double tm = (vs->targ[a] + vs->targ[b]) * 0.5;
    if (!lengths_ok(adj, vs, a, b, m, tm)) return kLength;
    if (!normals_ok(adj, vs, ts, a, b, m)) return kGeo;
    return kAccept;
}


// Corners renamed to their survivors; triangles that lose a corner are
// dropped, the others keep their order and winding.
// Triangle t renamed into c; false when it loses a corner. *moved, where
// asked: whether a corner was renamed or moved.
static inline bool renamed(const int32_t* tri, int64_t t, const int32_t* remap, int64_t nv, int32_t* c,
                           bool* moved = nullptr)
{
    bool m = false;
    for (int j = 0; j < 3; j++) {
        int32_t v = tri[3 * t + j];
        const bool r = corner_ok(v, nv) && remap[v] >= 0;
        m |= r;
        c[j] = r ? remap[v] : v;
    }
    if (moved) *moved = m;
    return c[0] != c[1] && c[1] != c[2] && c[2] != c[0];
}

static void rebuild_tris(tris* ts, const int32_t* remap, int64_t nv)
{
    const int64_t nt = ts->n;
    const int64_t cap = tris_capacity_for(nt);
    int32_t* out = tris_take_spare(cap);
    // Rows only move down, so the origins are rewritten in place.
    int32_t* origin = nullptr;
    if (cws.origin_tracked) {
        if (cws.origin_identity) reserve(&cws.origin, &cws.origin_cap, nt + 1, nullptr);
        origin = cws.origin;
    }
    const bool identity = cws.origin_identity;
    int64_t nout = 0;
    if (nt < kParallelMin || omp_get_max_threads() == 1) {
        for (int64_t t = 0; t < nt; t++) {
            int32_t c[3];
            bool moved;
            if (!renamed(ts->tri, t, remap, nv, c, &moved)) continue;
            memcpy(out + 3 * nout, c, sizeof c);
            if (origin) {
                // A row changed in any sub-pass stays marked.
                const int32_t was = identity ? (int32_t)t : origin[t];
                origin[nout] = moved && was >= 0 ? ~was : was;
            }
            nout++;
        }
    } else {
        nout = team_fill_in_order(
            nt,
            [&](int64_t from, int64_t to) {
                int64_t n = 0;
                int32_t c[3];
                for (int64_t t = from; t < to; t++) n += renamed(ts->tri, t, remap, nv, c);
                return n;
            },
            [](int64_t) { return true; },
            [&](int64_t from, int64_t to, int64_t at) {
                int32_t c[3];
                for (int64_t t = from; t < to; t++)
                    if (renamed(ts->tri, t, remap, nv, c)) memcpy(out + 3 * at++, c, sizeof c);
            });
    }
    if (origin) cws.origin_identity = false;
    tris_keep_spare(ts->tri, ts->cap);
    ts->tri = out;
    ts->n = nout;
    ts->cap = cap;
}

// One sub-pass; adds its counts to *cnt and returns its merges.
static int64_t collapse_subpass(verts* vs, tris* ts, const border* bd, int32_t np,
                                collapse_counts* cnt)
{
    const int64_t nv = vs->n;
    // Without a vertex or a triangle there is no edge to merge; 32-bit
    // corners address no store beyond INT32_MAX vertices.
    if (nv <= 0 || nv > INT32_MAX || ts->n <= 0) return 0;
    adjacency adj;
    build_adjacency(&adj, ts, nv);
    int64_t ncand = 0;
    cand* cands = find_candidates(&adj, vs, np, &ncand);

    reserve(&cws.locked, &cws.locked_cap, nv, nullptr);
    reserve(&cws.remap, &cws.remap_cap, nv, nullptr);
    uint8_t* locked = cws.locked;
    int32_t* remap = cws.remap;
    memset(locked, 0, (size_t)nv);
    for (int64_t v = 0; v < nv; v++) remap[v] = -1;

    // The tables leave out triangles with a corner outside the store; their
    // other corners stay where they are.
    for (int64_t t = 0; t < ts->n; t++) {
        const int32_t* c = ts->tri + 3 * t;
        if (tri_ok(c, nv)) continue;
        for (int j = 0; j < 3; j++)
            if (corner_ok(c[j], nv)) locked[c[j]] = 1;
    }

    // The tests read only the adjacency, positions and targets of the
    // sub-pass's start, which the walk does not change: a candidate's verdict
    // does not depend on which earlier candidates merged, only whether it is
    // reached unlocked does. One thread judges the candidates it reaches. On
    // a team one thread walks while the others judge ahead of it, claiming
    // runs of candidates in order and leaving out those already locked or
    // already passed; the walker judges for itself any candidate it reaches
    // unjudged. The same pure test on the same state either way, so the
    // walk decides alike whoever judged.
    const bool team = ncand >= kJudgeParallelMin && omp_get_max_threads() > 1;
    uint8_t* verdicts = nullptr;
    if (team) {
        reserve(&cws.verdicts, &cws.verdicts_cap, ncand, nullptr);
        verdicts = cws.verdicts;
        memset(verdicts, kUnjudged, (size_t)ncand);
    }
    // One thread judges alone, and spares itself the verdicts that still
    // hold: a merge of x and y changes what the tests of a candidate read
    // (positions, targets, lists, rows) only around the vertices it locks, x,
    // y and their neighbours. A candidate neither of whose ends the last
    // sub-pass locked has the length it had there, so it comes in the same
    // place among the others that kept theirs (both lists are in cmp_cand's
    // order), and finds what it was found to be there.
    const bool keep = !team;
    uint8_t* reached = nullptr;
    if (keep) {
        reserve(&cws.reached, &cws.reached_cap, ncand, nullptr);
        reached = cws.reached;
        memset(reached, kUnjudged, (size_t)ncand);
    }
    // Its locks are read by vertex: only over the same store.
    const cand* last = keep && cws.last_valid && cws.last_nv == nv ? cws.last : nullptr;
    const int64_t nlast = cws.nlast;
    int64_t at_last = 0;
    // Accepted candidates gather in the sort's scratch list, so the walk
    // never writes the list the judges read.
    cand* accepted = cws.merged;
    int64_t merged = 0;
    int64_t claim = 0, walked = 0;
    bool walk_done = false;
    auto is_locked = [&](int32_t v) { return team ? __atomic_load_n(&locked[v], __ATOMIC_RELAXED) : locked[v]; };
    auto lock = [&](int32_t v) {
        if (team) __atomic_store_n(&locked[v], (uint8_t)1, __ATOMIC_RELAXED);
        else locked[v] = 1;
    };
    auto lock_star = [&](int32_t v) {
        lock(v);
        for (int64_t k = adj.nb_start[v]; k < adj.nb_start[v + 1]; k++) lock(adj.nb_vert[k]);
    };
    auto walk = [&]() {
        for (int64_t i = 0; i < ncand; i++) {
            const int32_t a = cands[i].a, b = cands[i].b;
            // Candidates come in length order, their vertices all over the
            // tables: fetch the flags and list starts of one a few places on.
            if (i + 8 < ncand) {
                const int32_t la = cands[i + 8].a, lb = cands[i + 8].b;
                __builtin_prefetch(locked + la);
                __builtin_prefetch(locked + lb);
                __builtin_prefetch(adj.nb_start + la);
                __builtin_prefetch(adj.nb_start + lb);
                __builtin_prefetch(adj.vf_start + la);
                __builtin_prefetch(adj.vf_start + lb);
                if (last) {
                    __builtin_prefetch(cws.last_locked + la);
                    __builtin_prefetch(cws.last_locked + lb);
                }
            }
            // Nearer on, the lists its tests read.
            if (i + 3 < ncand) {
                const int32_t la = cands[i + 3].a, lb = cands[i + 3].b;
                __builtin_prefetch(adj.nb_vert + adj.nb_start[la]);
                __builtin_prefetch(adj.nb_vert + adj.nb_start[lb]);
                __builtin_prefetch(adj.vf_face + adj.vf_start[la]);
                __builtin_prefetch(adj.vf_face + adj.vf_start[lb]);
            }
            // Next on, the rows and neighbours those lists name, unless
            // already locked out, judged ahead or keeping its last verdict
            // (neither end locked last time).
            if (i + 1 < ncand && (!team || __atomic_load_n(&verdicts[i + 1], __ATOMIC_RELAXED) == kUnjudged)) {
                const int32_t la = cands[i + 1].a, lb = cands[i + 1].b;
                const bool kept = last && !cws.last_locked[la] && !cws.last_locked[lb];
                if (!kept && !is_locked(la) && !is_locked(lb))
                    for (const int32_t v : {la, lb}) {
                        for (int64_t k = adj.vf_start[v]; k < adj.vf_start[v + 1]; k++)
                            __builtin_prefetch(ts->tri + 3 * (int64_t)adj.vf_face[k]);
                        for (int64_t k = adj.nb_start[v]; k < adj.nb_start[v + 1]; k++)
                            __builtin_prefetch(vs->xyz + 3 * (int64_t)adj.nb_vert[k]);
                    }
            }
            if (team && i % kWalkStep == 0) __atomic_store_n(&walked, i, __ATOMIC_RELAXED);
            if (is_locked(a) || is_locked(b)) continue;
            uint8_t verdict = team ? __atomic_load_n(&verdicts[i], __ATOMIC_RELAXED) : (uint8_t)kUnjudged;
            if (last && !cws.last_locked[a] && !cws.last_locked[b]) {
                while (at_last < nlast && cmp_cand(&last[at_last], &cands[i]) < 0) at_last++;
                if (at_last < nlast && last[at_last].a == a && last[at_last].b == b)
                    verdict = cws.last_reached[at_last];
            }
            if (verdict == kUnjudged) verdict = judge(&adj, vs, ts, a, b);
            if (keep) reached[i] = verdict;
            if (verdict == kTopo) {
                cnt->topo++;
                continue;
            }
            if (verdict == kLength) {
                cnt->len++;
                continue;
            }
            if (verdict == kGeo) {
                cnt->geo++;
                continue;
            }

            // The smaller index survives at the midpoint; b is named by no
            // triangle after the rebuild. The midpoints and mean bases are
            // written after the walk: it reads xyz, and the bases' misses
            // then overlap instead of stalling it one by one.
            cnt->collapses++;
            accepted[merged++] = cands[i];
            remap[b] = a;
            remap[a] = a;  // moves: its rows change too
            lock_star(a);
            lock_star(b);
        }
    };
    if (!team) {
        walk();
    } else {
#pragma omp parallel
        {
            if (omp_get_thread_num() == 0) {
                walk();
                __atomic_store_n(&walk_done, true, __ATOMIC_RELAXED);
            } else {
                while (!__atomic_load_n(&walk_done, __ATOMIC_RELAXED)) {
                    const int64_t from = __atomic_fetch_add(&claim, kJudgeRun, __ATOMIC_RELAXED);
                    if (from >= ncand) break;
                    const int64_t to = std::min(ncand, from + kJudgeRun);
                    for (int64_t j = std::max(from, __atomic_load_n(&walked, __ATOMIC_RELAXED) + kWalkStep);
                         j < to; j++) {
                        const int32_t ja = cands[j].a, jb = cands[j].b;
                        if (is_locked(ja) || is_locked(jb)) continue;
                        __atomic_store_n(&verdicts[j], judge(&adj, vs, ts, ja, jb), __ATOMIC_RELAXED);
                    }
                }
            }
        }
    }

    if (merged > 0) {
        // No vertex is in two merges: each midpoint reads positions no
        // other merge writes.
        for (int64_t k = 0; k < merged; k++) {
            const int32_t a = accepted[k].a, b = accepted[k].b;
            double* pa = vs->xyz + 3 * (int64_t)a;
            const double* pb = vs->xyz + 3 * (int64_t)b;
            for (int j = 0; j < 3; j++) pa[j] = (pa[j] + pb[j]) * 0.5;
            vs->base[a] = (vs->base[b] + vs->base[a]) * 0.5;
        }
        for (int64_t v = 0; v < nv; v++)
            if (remap[v] >= 0) vs->targ[remap[v]] = NAN;
        targets_fill(bd, vs);
        rebuild_tris(ts, remap, nv);
    }
    if (keep) {
        std::swap(cws.cands, cws.last);
        std::swap(cws.cands_cap, cws.last_cap);
        std::swap(cws.reached, cws.last_reached);
        std::swap(cws.reached_cap, cws.last_reached_cap);
        std::swap(cws.locked, cws.last_locked);
        std::swap(cws.locked_cap, cws.last_locked_cap);
        cws.nlast = ncand;
        cws.last_nv = nv;
    }
    cws.last_valid = keep;
    return merged;
}

void collapse_phase(verts* vs, tris* ts, const border* bd, int32_t np, collapse_counts* out)
{
    *out = collapse_counts{};
    cws.origin_tracked = omp_get_max_threads() == 1;
    cws.origin_identity = true;
    cws.origin_rows = ts->n;
    // Flips since the last phase changed rows the verdicts read.
    cws.last_valid = false;
    for (int32_t s = 0; s < g_par.collapse_passes; s++)
        if (collapse_subpass(vs, ts, bd, np, out) == 0) break;
}

const int32_t* collapse_row_origin(int64_t* rows_before)
{
    *rows_before = cws.origin_tracked ? cws.origin_rows : -1;
    return cws.origin_tracked && !cws.origin_identity ? cws.origin : nullptr;
}
