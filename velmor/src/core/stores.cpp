// Vertex and triangle stores: checked growth, capacities of 1024 times a
// power of two, and their set-up from the input file.
#include "core/stores.h"

#include "core/fail.h"
#include "core/params.h"

#include <sys/mman.h>

#include <omp.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

void* xrealloc(void* p, size_t bytes)
{
    // realloc(p, 0) may free p and return null: keep a live block instead.
    void* q = realloc(p, bytes ? bytes : 1);
    if (!q) die(3, "memoire insuffisante (%zu octets)\n", bytes);
    return q;
}

void populate(void* p, size_t bytes)
{
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif
    if (!p || bytes < (size_t)1 << 20) return;
    const uintptr_t page = 4096;
    const uintptr_t from = ((uintptr_t)p + page - 1) & ~(page - 1);
    const uintptr_t to = ((uintptr_t)p + bytes) & ~(page - 1);
    if (to <= from) return;
    // A large table is mapped in by the team, each thread its own stretches
    // of whole 2 MiB page-table spans, so that no two share a lock. An
    // older kernel refuses the advice: the pages then fault in on use.
    const uintptr_t span = (uintptr_t)2 << 20, base = from & ~(span - 1);
    const int64_t nspan = (int64_t)((to - base + span - 1) / span);
    const bool team = nspan >= 8 && omp_get_max_threads() > 1;
#pragma omp parallel for schedule(static) if (team)
    for (int64_t k = 0; k < nspan; k++) {
        const uintptr_t lo = std::max(from, base + (uintptr_t)k * span);
        const uintptr_t hi = std::min(to, base + (uintptr_t)(k + 1) * span);
        if (hi > lo) (void)madvise((void*)lo, hi - lo, MADV_POPULATE_WRITE);
    }
}

void verts_reserve(verts* v, int64_t need)
{
    if (v->cap >= need) return;
    int64_t c;
    if (v->cap == 0) {
        c = 1024;
        if (need > 1024) {
            c = 2048;
            while (need > c) c *= 2;
        }
    } else {
        c = v->cap * 2;
        while (need > c) c *= 2;
    }
    v->xyz = (double*)xrealloc(v->xyz, (size_t)c * 24);
    v->targ = (double*)xrealloc(v->targ, (size_t)c * 8);
    v->base = (double*)xrealloc(v->base, (size_t)c * 8);
    v->cap = c;
}

int64_t tris_capacity_for(int64_t need)
{
    int64_t c = 1024;
    while (c < need) c *= 2;
    return c;
}

static struct {
    int32_t* tri;
    int64_t cap;
} spare;

int32_t* tris_take_spare(int64_t cap)
{
    if (spare.tri && spare.cap >= cap) {
        int32_t* tri = spare.tri;
        spare = {};
        return tri;
    }
    tris_release_spare();
    // 12 bytes a triangle, and no byte count that wraps.
    const size_t bytes = cap < 0 || (uint64_t)cap > SIZE_MAX / 12 ? SIZE_MAX : (size_t)cap * 12;
    return (int32_t*)xrealloc(nullptr, bytes);
}

void tris_keep_spare(int32_t* tri, int64_t cap)
{
    if (spare.tri && spare.cap >= cap) {
        free(tri);
        return;
    }
    free(spare.tri);
    spare = {tri, cap};
}

void tris_release_spare()
{
    free(spare.tri);
    spare = {};
}

void stores_setup(verts* vs, tris* ts, const input* in)
{
    *vs = verts{};
    verts_reserve(vs, (int64_t)in->np + 16);
    memcpy(vs->xyz, in->points, (size_t)in->np * 24);
    for (int64_t i = 0; i < in->np; i++) {
        vs->targ[i] = g_par.rim;
        vs->base[i] = g_par.rim;
    }
    vs->n = in->np;

    *ts = tris{};
    ts->cap = tris_capacity_for((int64_t)in->m + 16);
    ts->tri = (int32_t*)xrealloc(nullptr, (size_t)ts->cap * 12);
    memcpy(ts->tri, in->cap, (size_t)in->m * 12);
    ts->n = in->m;
}
