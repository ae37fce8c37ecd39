// Edge keys in open-addressing tables: the contour key set, the edge table
// with its insertion-ordered used list, and sorted distinct edge lists.
#pragma once

#include <cstdint>

#include "core/sort.h"

// Smaller index in the high half, +1 so that 0 marks an empty slot.
static inline uint64_t edge_key(int32_t a, int32_t b)
{
    uint64_t lo = (uint64_t)(uint32_t)(a < b ? a : b);
    uint64_t hi = (uint64_t)(uint32_t)(a < b ? b : a);
    return ((lo << 32) | hi) + 1;
}

// MurmurHash3 64-bit finaliser.
static inline uint64_t fmix64(uint64_t k)
{
    k ^= k >> 33;
    k *= 0xff51afd7ed558ccdULL;
    k ^= k >> 33;
    k *= 0xc4ceb9fe1a85ec53ULL;
    k ^= k >> 33;
    return k;
}

struct keyset {
    uint64_t* keys;  // 0 = empty
    uint64_t mask;   // slot count - 1
};

struct edge_slot {
    uint64_t key;     // 0 = empty
    int32_t data[4];  // payload owned by the caller; zero when first taken
};

struct edgetab {
    edge_slot* slots;
    uint64_t mask;
    int64_t* used;   // occupied slots in insertion order
    int64_t nused;
    int64_t ucap;    // room in used
};

// The contour key set of the n closed-loop contour edges.
void keyset_build(keyset* set, const int32_t* contour, int32_t n);
bool keyset_has(const keyset* set, uint64_t key);

// The reference the tests hold the flip sweep's and the split phase's edge records against.
// Empty table for k expected keys, room for 2k + 16 of them;
// "memoire insuffisante (table d'aretes)\n". edgetab_free releases it.
void edgetab_init(edgetab* t, int64_t k);
void edgetab_free(edgetab* t);
// Insert-or-find; *inserted = 1 when the key was new.
edge_slot* edgetab_get(edgetab* t, uint64_t key, int32_t* inserted);
// Find only; nullptr when absent.
edge_slot* edgetab_find(const edgetab* t, uint64_t key);

// Distinct undirected edges of m triangles sorted by (a, b); room for
// 3m + 1 records; the caller frees it. "memoire insuffisante (aretes)\n".
edge2* unique_edges(const int32_t* tri, int64_t m, int64_t* count);
// The same list into *buf, which holds *cap records and is grown (never
// shrunk) to 3m + 1 under the same message; returns the count.
int64_t unique_edges_into(const int32_t* tri, int64_t m, edge2** buf, int64_t* cap);
