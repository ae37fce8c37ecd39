// The one sort of velmor: stable, so equal keys keep their input order
// (glibc's qsort gives no such promise). Without room for its buffer
// std::stable_sort falls back to an in-place merge, so it never fails.
#pragma once

#include <algorithm>

template <class T>
void stable_sort_by(T* a, int64_t n, int (*cmp)(const void*, const void*))
{
    if (n < 2) return;
    std::stable_sort(a, a + n, [cmp](const T& l, const T& r) { return cmp(&l, &r) < 0; });
}
