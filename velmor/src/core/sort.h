// The one sort of velmor: stable, so equal keys keep their input order
// (glibc's qsort gives no such promise). Without room for its buffer
// std::stable_sort falls back to an in-place merge, so it never fails.
#pragma once

#include <algorithm>
#include <cstdint>

struct edge2 { int32_t a, b; };                 // a <= b
struct pair { int32_t a, b; };                  // directed a -> b
struct cand { double len; int32_t a, b; };      // collapse candidate
struct trip { int32_t row, col; double w; };    // operator contribution

// qsort-style comparators (-1, 0, +1).
int cmp_edge2(const void* l, const void* r);
int cmp_pair(const void* l, const void* r);
int cmp_cand(const void* l, const void* r);
int cmp_trip(const void* l, const void* r);
int cmp_double(const void* l, const void* r);

// Stable sort of n candidates by length alone, for lengths that are
// neither negative nor NaN; tmp has room for n. Candidates listed in (a, b)
// order come out in cmp_cand's order. A team sorts the larger lists.
void sort_cands_by_len(cand* x, int64_t n, cand* tmp);

// Stable ascending sort of n records of type T by a qsort-style comparator.
template <class T>
void stable_sort_by(T* a, int64_t n, int (*cmp)(const void*, const void*))
{
    if (n < 2) return;
    std::stable_sort(a, a + n, [cmp](const T& l, const T& r) { return cmp(&l, &r) < 0; });
}
