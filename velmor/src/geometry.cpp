// Geometry kernels: segment-triangle crossing, smallest angle, point-triangle distance.
#include "velmor.h"

int32_t seg_tri_cross_t(const double*, const double*, const double*, const double*, const double*, double*) { return 0; }
double tri_min_angle(const double*, const double*, const double*) { return 0; }
double dist_point_tri(const double*, const double*, const double*, const double*) { return 0; }
