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

#include <omp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv)
{
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
