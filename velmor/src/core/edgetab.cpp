// Edge keys in open-addressing tables (linear probing from the fmix64 home slot).
// The contour key set, the edge table with its insertion-ordered used list,
// and sorted distinct edge lists. Tables never grow or delete, so a slot
// pointer stays valid for the life of its table.
#include "core/edgetab.h"

#include "core/fail.h"
#include "core/sort.h"

#include <omp.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

// Least power of two not below max(16, 4k), or 0 when the slot array could
// not be addressed. slots is a multiple of 4, so slots / 4 < k is slots < 4k
// without computing 4k.
static uint64_t slot_count_for(int64_t k, size_t slot_bytes)
{
    uint64_t slots = 16;
    while (k > 0 && slots / 4 < (uint64_t)k) {
        if (slots > SIZE_MAX / slot_bytes / 2) return 0;
        slots *= 2;
    }
    return slots;
}

void keyset_build(keyset* set, const int32_t* contour, int32_t n)
{
    uint64_t slots = slot_count_for(n, sizeof(uint64_t));
    uint64_t* keys = slots ? (uint64_t*)calloc(slots, sizeof(uint64_t)) : nullptr;
    if (!keys) die_memory("ensemble CBS");
    set->keys = keys;
    set->mask = slots - 1;
    // n keys in at least 4n slots: every probe meets an empty slot.
    for (int32_t k = 0; k < n; k++) {
        uint64_t key = edge_key(contour[k], contour[(k + 1) % n]);
        uint64_t s = fmix64(key) & set->mask;
        while (keys[s] != 0 && keys[s] != key) s = (s + 1) & set->mask;
        keys[s] = key;
    }
}

bool keyset_has(const keyset* set, uint64_t key)
{
    for (uint64_t s = fmix64(key) & set->mask;; s = (s + 1) & set->mask) {
        if (set->keys[s] == key) return true;
        if (set->keys[s] == 0) return false;
    }
}

void edgetab_init(edgetab* t, int64_t k)
{
    if (k < 0) k = 0;
    uint64_t slots = slot_count_for(k, sizeof(edge_slot));
    bool room = k <= (INT64_MAX - 16) / 2 && (uint64_t)(2 * k + 16) <= SIZE_MAX / sizeof(int64_t);
    int64_t ucap = room ? 2 * k + 16 : 0;
    // Both requests first, then one test, so either failure gives one message.
    edge_slot* s = slots ? (edge_slot*)calloc(slots, sizeof(edge_slot)) : nullptr;
    int64_t* used = room ? (int64_t*)malloc((size_t)ucap * sizeof(int64_t)) : nullptr;
    if (!s || !used) die_memory("table d'aretes");
    t->slots = s;
    t->mask = slots - 1;
    t->used = used;
    t->nused = 0;
    t->ucap = ucap;
}

void edgetab_free(edgetab* t)
{
    free_and_null(t->slots, t->used);
    t->nused = 0;
    t->ucap = 0;
}

edge_slot* edgetab_get(edgetab* t, uint64_t key, int32_t* inserted)
{
    for (uint64_t s = fmix64(key) & t->mask;; s = (s + 1) & t->mask) {
        edge_slot* e = &t->slots[s];
        if (e->key == key) {
            *inserted = 0;
            return e;
        }
        if (e->key == 0) {
            // Past the announced room a later probe could find no empty
            // slot and never end: stop here instead.
            if (t->nused >= t->ucap || (uint64_t)t->nused >= t->mask)
                die_memory("table d'aretes");
            e->key = key;
            t->used[t->nused++] = (int64_t)s;
            *inserted = 1;
            return e;
        }
    }
}

edge_slot* edgetab_find(const edgetab* t, uint64_t key)
{
    for (uint64_t s = fmix64(key) & t->mask;; s = (s + 1) & t->mask) {
        edge_slot* e = &t->slots[s];
        if (e->key == key) return e;
        if (e->key == 0) return nullptr;
    }
}

// cmp_edge2's order, inlined for the sort.
static inline bool edge2_less(const edge2& l, const edge2& r)
{
    return l.a < r.a || (l.a == r.a && l.b < r.b);
}

// Sorts one bucket of records with equal a by b. Buckets hold a vertex's
// few sides; a fan's hub can hold thousands, so long ones go to std::sort.
static void sort_bucket_by_b(edge2* e, int64_t n)
{
    if (n > 24) {
        std::sort(e, e + n, [](const edge2& l, const edge2& r) { return l.b < r.b; });
        return;
    }
    for (int64_t i = 1; i < n; i++) {
        const edge2 x = e[i];
        int64_t j = i;
        for (; j > 0 && e[j - 1].b > x.b; j--) e[j] = e[j - 1];
        e[j] = x;
    }
}

// Bucket sort by the smaller end, then each bucket by the larger: the
// (a, b) order of cmp_edge2 in time linear in the sides and the index span.
// Returns false, touching nothing, when the span is too wide for it to pay
// or its counts cannot be allocated.
// Fewer sides than this are bucketed on the calling thread: a team's
// wake-up (about 0.2 ms) is worth it only for some ten thousand triangles.
constexpr int64_t kTeamSides = 1 << 15;

// The same buckets on the team: sides counted and placed with atomic
// slots, so a bucket's sides arrive in any order; the sort by b makes them
// one order again (records of equal b are equal edges).
static void bucket_sides_on_team(const int32_t* tri, int64_t nside, int32_t lo, int64_t span, int64_t* start,
                                 edge2* e)
{
#pragma omp parallel for schedule(static)
    for (int64_t f = 0; f < nside; f += 3) {
        const int32_t* t = tri + f;
        for (int j = 0; j < 3; j++) {
            int32_t u = t[j], v = t[j == 2 ? 0 : j + 1];
            __atomic_fetch_add(&start[(int64_t)(u < v ? u : v) - lo + 1], 1, __ATOMIC_RELAXED);
        }
    }
    for (int64_t s = 0; s < span; s++) start[s + 1] += start[s];
#pragma omp parallel for schedule(static)
    for (int64_t f = 0; f < nside; f += 3) {
        const int32_t* t = tri + f;
        for (int j = 0; j < 3; j++) {
            int32_t u = t[j], v = t[j == 2 ? 0 : j + 1];
            const int64_t at = __atomic_fetch_add(&start[(int64_t)(u < v ? u : v) - lo], 1, __ATOMIC_RELAXED);
            e[at] = u < v ? edge2{u, v} : edge2{v, u};
        }
    }
    // start[s] is now the end of bucket s.
#pragma omp parallel for schedule(dynamic, 1024)
    for (int64_t s = 0; s < span; s++) {
        const int64_t from = s > 0 ? start[s - 1] : 0;
        sort_bucket_by_b(e + from, start[s] - from);
    }
}

static bool sort_sides_by_bucket(const int32_t* tri, int64_t nside, edge2* e)
{
    if (nside == 0) return true;
    const bool team = nside >= kTeamSides && omp_get_max_threads() > 1;
    int32_t lo = INT32_MAX, hi = INT32_MIN;
#pragma omp parallel for schedule(static) reduction(min : lo) reduction(max : hi) if (team)
    for (int64_t i = 0; i < nside; i++) {
        if (tri[i] < lo) lo = tri[i];
        if (tri[i] > hi) hi = tri[i];
    }
    const int64_t span = (int64_t)hi - lo + 1;
    if (span > 2 * nside + 1024) return false;
    int64_t* start = (int64_t*)calloc((size_t)span + 1, sizeof(int64_t));
    if (!start) return false;
    if (team) {
        bucket_sides_on_team(tri, nside, lo, span, start, e);
        free(start);
        return true;
    }
    for (int64_t f = 0; f < nside; f += 3) {
        const int32_t* t = tri + f;
        for (int j = 0; j < 3; j++) {
            int32_t u = t[j], v = t[j == 2 ? 0 : j + 1];
            start[(int64_t)(u < v ? u : v) - lo + 1]++;
        }
    }
    for (int64_t s = 0; s < span; s++) start[s + 1] += start[s];
    // start[s] walks to the end of bucket s, which is where bucket s + 1 begins.
    for (int64_t f = 0; f < nside; f += 3) {
        const int32_t* t = tri + f;
        for (int j = 0; j < 3; j++) {
            int32_t u = t[j], v = t[j == 2 ? 0 : j + 1];
            e[start[(int64_t)(u < v ? u : v) - lo]++] = u < v ? edge2{u, v} : edge2{v, u};
        }
    }
    int64_t from = 0;
    for (int64_t s = 0; s < span; s++) {
        sort_bucket_by_b(e + from, start[s] - from);
        from = start[s];
    }
    free(start);
    return true;
}

int64_t unique_edges_into(const int32_t* tri, int64_t m, edge2** buf, int64_t* cap)
{
    if (m < 0) m = 0;
    if (m > (int64_t)((SIZE_MAX / sizeof(edge2) - 1) / 3)) die_memory("aretes");
    if (*cap < 3 * m + 1) {
        grow_or_die(buf, 3 * m + 1, "aretes");
        *cap = 3 * m + 1;
    }
    edge2* e = *buf;
    int64_t n = 3 * m;
    if (!sort_sides_by_bucket(tri, n, e)) {
        for (int64_t f = 0; f < m; f++) {
            const int32_t* t = tri + 3 * f;
            for (int j = 0; j < 3; j++) {
                int32_t u = t[j], v = t[j == 2 ? 0 : j + 1];
                e[3 * f + j] = u < v ? edge2{u, v} : edge2{v, u};
            }
        }
        // Equal records are identical, so stability cannot show here; the
        // sort is stable like every sort of the program.
        std::stable_sort(e, e + n, edge2_less);
    }
    // Most edges come twice: each record is written over the next free slot
    // and kept when it differs, instead of a branch that guesses wrong.
    if (n == 0) return 0;
    int64_t kept = 1;
    for (int64_t i = 1; i < n; i++) {
        const edge2 x = e[i];
        e[kept] = x;
        kept += x.a != e[kept - 1].a || x.b != e[kept - 1].b;
    }
    return kept;
}

edge2* unique_edges(const int32_t* tri, int64_t m, int64_t* count)
{
    edge2* e = nullptr;
    int64_t cap = 0;
    *count = unique_edges_into(tri, m, &e, &cap);
    return e;
}
