// Sort comparators in the qsort convention (-1, 0, +1), all ascending.
// Callers sort with stable_sort_by, so equal records keep their input order.
#include "core/sort.h"

#include <omp.h>

#include <cstring>

static inline int cmp_i32(int32_t l, int32_t r)
{
    return l < r ? -1 : (l > r ? 1 : 0);
}

// -1 below, +1 above, 0 otherwise: a NaN compares equal to everything and
// +0 equals -0. Callers keep NaNs out so that the order stays strict weak.
static inline int cmp_f64(double l, double r)
{
    if (l < r) return -1;
    if (l > r) return 1;
    return 0;
}

int cmp_edge2(const void* l, const void* r)
{
    const edge2* x = (const edge2*)l;
    const edge2* y = (const edge2*)r;
    int c = cmp_i32(x->a, y->a);
    return c ? c : cmp_i32(x->b, y->b);
}

int cmp_pair(const void* l, const void* r)
{
    const pair* x = (const pair*)l;
    const pair* y = (const pair*)r;
    int c = cmp_i32(x->a, y->a);
    return c ? c : cmp_i32(x->b, y->b);
}

int cmp_cand(const void* l, const void* r)
{
    const cand* x = (const cand*)l;
    const cand* y = (const cand*)r;
    if (x->len < y->len) return -1;
    if (x->len > y->len) return 1;
    if (!(x->len == y->len)) return 1;  // unordered: a NaN length
    int c = cmp_i32(x->a, y->a);
    return c ? c : cmp_i32(x->b, y->b);
}

// The weight is not compared: equal (row, col) triplets stay in the order
// they were generated, which fixes the order of their sum.
int cmp_trip(const void* l, const void* r)
{
    const trip* x = (const trip*)l;
    const trip* y = (const trip*)r;
    int c = cmp_i32(x->row, y->row);
    return c ? c : cmp_i32(x->col, y->col);
}

int cmp_double(const void* l, const void* r)
{
    return cmp_f64(*(const double*)l, *(const double*)r);
}

// Least significant digit first, 11 bits a round: the bits of a length that
// is neither negative nor NaN order as the length does, and each round keeps
// the order of equal digits, so the whole sort is stable. Rounds whose digit
// is the same in every key are left out. On a team each part of the list
// counts its digits and scatters its records from its own offsets, parts in
// list order: the same stable result for any team.
void sort_cands_by_len(cand* x, int64_t n, cand* tmp)
{
    if (n < 2) return;
    constexpr int kBits = 11, kDigits = 1 << kBits;
    constexpr int64_t kTeamMin = 1 << 15;
    constexpr int kMaxParts = 16;
    auto key = [](const cand& c) {
        uint64_t k;
        memcpy(&k, &c.len, sizeof k);
        return k;
    };
    int parts = 1;
    if (n >= kTeamMin) parts = omp_get_max_threads() < kMaxParts ? omp_get_max_threads() : kMaxParts;
    const bool team = parts > 1;
    // The bits that differ from the first key's somewhere.
    const uint64_t k0 = key(x[0]);
    uint64_t differ = 0;
#pragma omp parallel for schedule(static) reduction(| : differ) if (team)
    for (int64_t i = 1; i < n; i++) differ |= key(x[i]) ^ k0;
    // The counts of each part (one caller at a time sorts).
    static int64_t count[kMaxParts][kDigits];
    cand* src = x;
    cand* dst = tmp;
    for (int shift = 0; shift < 64; shift += kBits) {
        if (((differ >> shift) & (kDigits - 1)) == 0) continue;
        auto digit = [shift](uint64_t k) { return (int)((k >> shift) & (kDigits - 1)); };
#pragma omp parallel for schedule(static, 1) num_threads(parts) if (team)
        for (int p = 0; p < parts; p++) {
            int64_t* c = count[p];
            memset(c, 0, sizeof count[p]);
            for (int64_t i = n * p / parts, end = n * (p + 1) / parts; i < end; i++) c[digit(key(src[i]))]++;
        }
        // Offsets: digit by digit, each part's records after the earlier parts'.
        int64_t at = 0;
        for (int d = 0; d < kDigits; d++)
            for (int p = 0; p < parts; p++) {
                const int64_t k = count[p][d];
                count[p][d] = at;
                at += k;
            }
#pragma omp parallel for schedule(static, 1) num_threads(parts) if (team)
        for (int p = 0; p < parts; p++) {
            int64_t* c = count[p];
            for (int64_t i = n * p / parts, end = n * (p + 1) / parts; i < end; i++)
                dst[c[digit(key(src[i]))]++] = src[i];
        }
        cand* t = src;
        src = dst;
        dst = t;
    }
    if (src != x) memcpy(x, src, (size_t)n * sizeof(cand));
}
