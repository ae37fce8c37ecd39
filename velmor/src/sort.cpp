// Sort comparators in the qsort convention.
#include "velmor.h"

int cmp_edge2(const void*, const void*) { return 0; }
int cmp_pair(const void*, const void*) { return 0; }
int cmp_cand(const void*, const void*) { return 0; }
int cmp_trip(const void*, const void*) { return 0; }
int cmp_double(const void*, const void*) { return 0; }
int cmp_double2(const void*, const void*) { return 0; }
