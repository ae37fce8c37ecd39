// velmor: remeshes a cap over a wall contour, then optionally fairs and
// drapes it. main runs the stages in their one fixed order.
#include "core/edgetab.h"
#include "core/io.h"
#include "core/options.h"
#include "core/params.h"
#include "core/stores.h"
#include "core/targets.h"
#include "drape/drape_passes.h"
#include "drape/wall_grid.h"
#include "fair/cot_op.h"
#include "fair/fairing.h"
#include "remesh/remesh.h"

#include <malloc.h>
#include <omp.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

// Idle OpenMP workers must sleep, not spin: libgomp's default spins each
// worker for about a millisecond after every region, which on a busy
// machine takes processors from the other processes and from the team's own
// late threads (a run on 8 threads beside 8 busy processes took 1.8 times
// as long as with sleeping workers). libgomp reads its wait policy once,
// from the environment, in its own constructor before main, and the C
// library's start-up discards what an earlier hook could set. So when the
// user has chosen no policy, the program starts itself again with the
// passive one, before any work; a user's choice stands, and a failed start
// leaves libgomp's default.
static void sleep_idle_workers(char** argv)
{
    if (getenv("OMP_WAIT_POLICY") || getenv("GOMP_SPINCOUNT")) return;
    // The program's own path, as the kernel (or a tool hosting it, such as
    // valgrind) reports it: /proc/self/exe itself may name the host.
    char self[4096];
    const ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    if (len <= 0 || len >= (ssize_t)sizeof self - 1) return;
    self[len] = '\0';
    if (setenv("OMP_WAIT_POLICY", "passive", 1) != 0) return;
    execv(self, argv);
}

// The passes free tables and take them again at the next phase, larger as
// the cap grows. A block the allocator maps on its own goes back to the
// system when freed, and every page of its successor then costs a fault
// (several microseconds each on a virtual machine). Taken from the heap
// instead and never trimmed, freed pages serve the next tables.
static void keep_freed_pages()
{
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, INT_MAX);
}

int main(int argc, char** argv)
{
    sleep_idle_workers(argv);
    keep_freed_pages();
    int fairing = 0, draping = 0;
    parse_command_line(argc, argv, &fairing, &draping);

    double t_start = omp_get_wtime();
    static input in;
    read_input(argv[2], &in);
    fprintf(stderr, "velmor %s : paroi %d pts / %d faces, contour %d pts, cap %d tris\n", argv[1], in.np,
            in.nf, in.n, in.m);

    static verts vs;
    static tris ts;
    stores_setup(&vs, &ts, &in);

    static keyset ks;
    keyset_build(&ks, in.contour, in.n);

    static border bd;
    border_setup(&bd, &vs, &in);
    targets_fill(&bd, &vs);

    const int32_t np = in.np;
    remesh(&vs, &ts, &bd, &ks, np);
    double dmax = 0.0;

    double* smoothed = nullptr;
    double* draped = nullptr;
    if (fairing && vs.n > np) {
        const int64_t nv = vs.n;
        cot_op op;
        cot_op_build(&op, &vs, &ts);

        uint8_t* free_mask = (uint8_t*)xrealloc(nullptr, (size_t)nv);
        memset(free_mask, 0, (size_t)np);
        memset(free_mask + np, 1, (size_t)(nv - np));
        smoothed = (double*)xrealloc(nullptr, (size_t)nv * 24);
        memcpy(smoothed, vs.xyz, (size_t)nv * 24);
        char label[64];
        snprintf(label, sizeof label, "lissage (rayon %g mm)", g_par.radius);
        fair_spring_cg(&op, free_mask, vs.xyz, smoothed, nv - np, label, g_par.radius * g_par.radius);
        free(free_mask);

        if (draping) {
            wall_grid grid;
            wall_grid_build(&grid, in.points, in.np, in.faces, in.nf);
            draped = (double*)xrealloc(nullptr, (size_t)nv * 24);
            dmax = drape_passes(&vs, &ts, np, smoothed, draped, &bd, &grid, &op);
            wall_grid_free(&grid);
        }
        cot_op_free(&op);
    }

    write_output(argv[3], &vs, &ts, np, smoothed, draped, dmax);
    free(smoothed);
    free(draped);

    fprintf(stderr, "velmor : %d points crees, %d triangles, total %.2f s\n", (int)(vs.n - np), (int)ts.n,
            omp_get_wtime() - t_start);
    return 0;
}
