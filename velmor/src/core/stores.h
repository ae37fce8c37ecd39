// The run's data: the input as read, and the vertex and triangle stores the
// stages grow and rewrite. Lengths in mm, indices 32-bit signed, counts and
// capacities 64-bit signed.
#pragma once

#include <cstddef>
#include <cstdint>

// The four counts and arrays of the input file; never changed after reading.
struct input {
    int32_t np, nf, n, m;
    double* points;    // 3 * np
    int32_t* faces;    // 3 * nf
    int32_t* contour;  // n
    int32_t* cap;      // 3 * m
};

struct verts {
    double* xyz;   // 3 per vertex
    double* targ;  // target edge length; NaN = to be recomputed
    double* base;  // base target the fill grows from
    int64_t n;
    int64_t cap;
};

struct tris {
    int32_t* tri;  // 3 vertex indices per triangle
    int64_t n;
    int64_t cap;
};

// realloc, or "memoire insuffisante (%zu octets)\n" and status 3.
void* xrealloc(void* p, size_t bytes);

// Maps in the pages of a freshly allocated table of bytes at p ahead of
// use, where the kernel allows it (a team maps a large one): a team writing
// a fresh table would otherwise fault its pages in one by one, every fault
// taking a lock the others wait on. Contents are kept; tables under 1 MiB
// are left to fault in as they are used.
void populate(void* p, size_t bytes);

// Capacity at least need: 1024 doubled; the three arrays grow together.
void verts_reserve(verts* v, int64_t need);

// Triangle capacity rule: 1024 doubled until it holds need.
int64_t tris_capacity_for(int64_t need);

// Rebuilds of the triangle array write a new array while reading the old
// one. The replaced array is kept for the next rebuild instead of being
// freed, so the passes do not page in fresh memory for every rebuild.
// take: room for cap triangles (the kept array when it is large enough;
// else "memoire insuffisante (%zu octets)\n" on failure); keep: hands over
// a replaced array of room for cap triangles; release frees the kept one.
int32_t* tris_take_spare(int64_t cap);
void tris_keep_spare(int32_t* tri, int64_t cap);
void tris_release_spare();

// Empty stores filled from the input: wall points with targ = base = rim,
// room for np + 16 vertices; the cap triangles, room for m + 16.
void stores_setup(verts* vs, tris* ts, const input* in);
