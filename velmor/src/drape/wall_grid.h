// Uniform grid over the wall triangles and the nearest-wall-triangle query.
#pragma once

#include <cstdint>

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
