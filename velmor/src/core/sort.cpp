// Sort comparators in the qsort convention (-1, 0, +1), all ascending.
// Callers sort with stable_sort_by, so equal records keep their input order.
#include "core/sort.h"

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
