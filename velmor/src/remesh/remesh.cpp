// Incremental remeshing loop: split, flip, collapse, flip, until a pass changes almost nothing.
// The face ceiling ends the loop early; compaction and statistics close it.
#include "remesh/remesh.h"

#include "core/edgetab.h"
#include "core/params.h"
#include "core/stores.h"
#include "core/targets.h"
#include "remesh/collapse.h"
#include "remesh/compaction.h"
#include "remesh/flip.h"
#include "remesh/split.h"

#include <cstdio>
#include <omp.h>

// Up to flip_passes sweeps, stopping after the first that flips nothing.
static void flip_phase(verts* vs, tris* ts, const keyset* ks, int32_t np, int64_t* flips,
                       int64_t* refusals, const int32_t* origin = nullptr, int64_t rows_before = -1)
{
    flip_phase_begin(origin, rows_before);
    for (int32_t i = 0; i < g_par.flip_passes; i++) {
        int64_t refused = 0;
        int64_t done = flip_pass(vs, ts, ks, np, &refused);
        *flips += done;
        *refusals += refused;
        if (done == 0) break;
    }
    // The tables stay for the next phase: sized once for the largest mesh,
    // they are not paged in again at every phase.
    flip_phase_end();
}

void remesh(verts* vs, tris* ts, const border* bd, const keyset* ks, int32_t np)
{
    const double t_start = omp_get_wtime();
    for (int32_t p = 0; p < g_par.max_passes; p++) {
        const int64_t k = split_phase(vs, ts, bd, ks);
        if (ts->n > g_par.max_faces) {
            fprintf(stderr, "  coupe : PLAFOND %lld faces depasse, arret\n",
                    (long long)g_par.max_faces);
            break;
        }
        int64_t flips = 0, refusals = 0;
        flip_phase(vs, ts, ks, np, &flips, &refusals);
        collapse_counts cc = {0, 0, 0, 0};
        collapse_phase(vs, ts, bd, np, &cc);
        int64_t rows_before = -1;
        const int32_t* origin = collapse_row_origin(&rows_before);
        flip_phase(vs, ts, ks, np, &flips, &refusals, origin, rows_before);
        fprintf(stderr,
                "  remaillage passe %d: %lld coupes, %lld fusions (refus topo %lld, geo %lld, "
                "longueur %lld), %lld bascules (refus ecart %lld), %lld faces\n",
                (int)p, (long long)k, (long long)cc.collapses, (long long)cc.topo,
                (long long)cc.geo, (long long)cc.len, (long long)flips, (long long)refusals,
                (long long)ts->n);
        if (cc.collapses > 0) remesh_drop_unnamed(vs, ts, np);
        const double floor_changes = (double)ts->n * g_par.stop_frac;
        const double threshold = floor_changes > 5.0 ? floor_changes : 5.0;
        if (threshold >= (double)(k + cc.collapses)) {
            fprintf(stderr,
                    "  remaillage : stable apres %d passe(s) (%lld coupes + %lld fusions "
                    "residuelles)\n",
                    (int)(p + 1), (long long)k, (long long)cc.collapses);
            break;
        }
    }
    split_release();
    flip_release();
    collapse_release();
    tris_release_spare();
    remesh_finish(vs, ts, np, t_start);
}
