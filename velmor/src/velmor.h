// velmor: shared structures, the parameter block and the contract of every
// function called across files. Lengths in mm, angles in radians, indices
// 32-bit signed, counts and capacities 64-bit signed.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// ---------------------------------------------------------------- parameters

// One field per command-line option, in option-table order; the initial
// values are the defaults.
struct params {
    double rim;              // --rim
    double grad;             // --grad
    double far;              // --far
    double far_ratio;        // --far-ratio
    double collapse;         // --collapse
    double dev_rim;          // --dev-rim
    double dev_in;           // --dev-in
    double area_grow;        // --area-grow
    double normal_dot;       // --normal-dot
    int32_t flip_passes;     // --flip-passes
    int32_t collapse_passes; // --collapse-passes
    int32_t max_passes;      // --max-passes
    double stop_frac;        // --stop-frac
    int64_t max_faces;       // --max-faces
    double radius;           // --radius
    double clear;            // --clear
    double clear_max;        // --clear-max
    double dbord;            // --dbord
    int32_t drap_passes;     // --drap-passes
    double cg_tol;           // --cg-tol
    int64_t cg_max;          // --cg-max
    double rim_grad;         // --rim-grad
};

extern params g_par;

// ---------------------------------------------------------------- failures

// Prints the formatted message to stderr and ends the process with status.
[[noreturn]] void die(int status, const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));

// "memoire insuffisante (<what>)\n", status 3.
[[noreturn]] void die_memory(const char* what);

// ---------------------------------------------------------------- input and output

// The four counts and arrays of the input file; never changed after reading.
struct input {
    int32_t np, nf, n, m;
    double* points;    // 3 * np
    int32_t* faces;    // 3 * nf
    int32_t* contour;  // n
    int32_t* cap;      // 3 * m
};

// Reads 4 bytes into *out; 1 when all four were read, else 0.
int read_i32(FILE* f, int32_t* out);

// Reads and checks the whole input file into *in; the first failure prints
// its field's message and ends with status 2. The arrays live until exit.
void read_input(const char* path, input* in);

struct verts;
struct tris;

// Writes blocks 1-4, then smoothed (block 5) and draped with dmax (blocks 6,
// 7) where not null, all from vertex np on. A regular file is replaced
// whole or not at all; any failure: "sortie inaccessible : %s\n", status 2.
void write_output(const char* path, const verts* vs, const tris* ts, int32_t np,
                  const double* smoothed, const double* draped, double dmax);

// ---------------------------------------------------------------- command line

// Mode word and option pairs into g_par; sets the two mode flags. A bad
// command line prints the usage line or "option inconnue : %s\n", status 2.
void parse_command_line(int argc, char** argv, int* fairing, int* draping);

// ---------------------------------------------------------------- stores

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

// Capacity at least need: 1024 doubled; the three arrays grow together.
void verts_reserve(verts* v, int64_t need);

// Triangle capacity rule: 1024 doubled until it holds need.
int64_t tris_capacity_for(int64_t need);

// Empty stores filled from the input: wall points with targ = base = rim,
// room for np + 16 vertices; the cap triangles, room for m + 16.
void stores_setup(verts* vs, tris* ts, const input* in);

// ---------------------------------------------------------------- edge keys and tables

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

struct edge2 { int32_t a, b; };                 // a <= b
struct pair { int32_t a, b; };                  // directed a -> b
struct cand { double len; int32_t a, b; };      // collapse candidate
struct trip { int32_t row, col; double w; };    // operator contribution

// The contour key set of the n closed-loop contour edges.
void keyset_build(keyset* set, const int32_t* contour, int32_t n);
bool keyset_has(const keyset* set, uint64_t key);

// Empty table for k expected keys; "memoire insuffisante (table d'aretes)\n".
// The caller frees slots and used.
void edgetab_init(edgetab* t, int64_t k);
void edgetab_free(edgetab* t);
// Insert-or-find; *inserted = 1 when the key was new.
edge_slot* edgetab_get(edgetab* t, uint64_t key, int32_t* inserted);
// Find only; nullptr when absent.
edge_slot* edgetab_find(const edgetab* t, uint64_t key);

// Distinct undirected edges of m triangles sorted by (a, b); room for
// 3m + 1 records; the caller frees it. "memoire insuffisante (aretes)\n".
edge2* unique_edges(const int32_t* tri, int64_t m, int64_t* count);

// qsort-style comparators (-1, 0, +1).
int cmp_edge2(const void* l, const void* r);
int cmp_pair(const void* l, const void* r);
int cmp_cand(const void* l, const void* r);
int cmp_trip(const void* l, const void* r);
int cmp_double(const void* l, const void* r);
int cmp_double2(const void* l, const void* r);

// Stable ascending sort of n records of type T by a qsort-style comparator.
template <class T>
void stable_sort_by(T* a, int64_t n, int (*cmp)(const void*, const void*));

// ---------------------------------------------------------------- target field

struct border {
    int32_t n;               // contour length
    const int32_t* contour;  // the input contour
    const double* points;    // the input wall points (never the store)
    double* targ;            // border target per loop position
    double ceiling;          // upper bound of every filled target
};

// Border targets, gradation, cap half-width, ceiling and their lines;
// sets the contour points' base and NaN targ in vs.
void border_setup(border* bd, verts* vs, const input* in);

// Distance from p to the nearest contour point.
double border_nearest(const border* bd, const double* p);

// Parallel fill of every NaN targ: min(base + grad * border distance, ceiling).
void targets_fill(const border* bd, verts* vs);

// ---------------------------------------------------------------- geometry

// Strict crossing of the open segment p0p1 through the open triangle abc;
// on 1 writes the segment parameter t.
int32_t seg_tri_cross_t(const double* p0, const double* p1, const double* a,
                        const double* b, const double* c, double* t);
// Smallest interior angle in radians; 0 when a side is under 1e-12.
double tri_min_angle(const double* a, const double* b, const double* c);
// The cosine of that angle, as a key: the largest clamped corner cosine, 1
// when a side is under 1e-12, -INFINITY when no cosine is a number. The
// angle falls as the key rises: tri_min_angle = angle_of_min_cos(key).
double tri_min_cos(const double* a, const double* b, const double* c);
static inline double angle_of_min_cos(double key)
{
    return key == -INFINITY ? 1e300 : std::acos(key);
}
// Distance from p to the nearest point of triangle abc.
double dist_point_tri(const double* p, const double* a, const double* b, const double* c);

// ---------------------------------------------------------------- remeshing

struct collapse_counts {
    int64_t collapses, topo, geo, len;
};

// Passes of split, flips, collapses, flips; then compaction and statistics.
void remesh(verts* vs, tris* ts, const border* bd, const keyset* ks, int32_t np);

// One flip sweep; returns flips, sets *refusals to deviation refusals.
int64_t flip_pass(verts* vs, tris* ts, const keyset* ks, int32_t np, int64_t* refusals);
// Opens a flip phase: until the next one (or flip_release) positions do not
// move and rows change only by flip_pass, so its calls may reuse decisions.
void flip_phase_begin();
// Frees the table and caches that flip_pass keeps between its calls.
void flip_release();

// Up to collapse_passes sub-passes; counters summed over them.
void collapse_phase(verts* vs, tris* ts, const border* bd, int32_t np, collapse_counts* out);

// Compaction of the created points, target range and statistics lines.
void remesh_finish(verts* vs, tris* ts, int32_t np, double t_start);

// ---------------------------------------------------------------- fairing

struct cot_op {
    int64_t* rowptr;  // n + 1
    int32_t* col;
    double* val;
    double* diag;     // row sums
    double* mass;     // lumped areas
    int64_t n;
};

// Builds the operator of the remeshed cap and prints its line.
void cot_op_build(cot_op* op, const verts* vs, const tris* ts);
void cot_op_free(cot_op* op);

void smooth_matvec(const cot_op* op, const uint8_t* free_mask, const double* v, double* y,
                   const int64_t* list, int64_t nlist, double lambda);

// Moves only free vertices of pos (3 per vertex); rest is read only.
void fair_spring_cg(const cot_op* op, const uint8_t* free_mask, const double* rest, double* pos,
                    int64_t nfree, const char* label, double lambda);

// ---------------------------------------------------------------- wall grid and drape

struct wall_grid {
    int32_t np, nf;
    const double* points;  // borrowed
    const int32_t* faces;  // borrowed
    double* centroids;
    double rmax;
    double min[3];
    double h;
    int32_t nx, ny, nz;
    int32_t* cell_start;
    int32_t* cell_faces;
    double* cell_centroids;  // centroids in cell_faces order, 3 each: cell walks stream them
};

void wall_grid_build(wall_grid* g, const double* points, int32_t np, const int32_t* faces, int32_t nf);
void wall_grid_free(wall_grid* g);
// Nearest wall triangle of q (-1 when none); out written only when found.
void wall_closest(const wall_grid* g, const double* q, double* out, int32_t* tri);

struct drape_job {
    const wall_grid* grid;
    const border* bd;
    const tris* ts;
    const double* pos;
    int32_t** scratch;    // one buffer of nf entries per thread
    int32_t nscratch;     // buffers in scratch; the team never outgrows it
    uint8_t* cross_flag;  // per cap triangle
    uint8_t* far_flag;
    double dmax;
    int64_t nfar;
    int64_t ncross;
};

// Parallel crossing detection over the cap triangles.
void drape(drape_job* job);

// The drape passes from the faired positions; fills draped (3 per vertex)
// and returns the last detection's largest piercing distance.
double drape_passes(const verts* vs, const tris* ts, int32_t np, const double* smoothed,
                    double* draped, const border* bd, const wall_grid* g, const cot_op* op);

#include "core/sort.h"
