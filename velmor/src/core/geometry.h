// Geometry kernels on 3-double points: segment-triangle crossing, smallest
// interior angle, point-triangle distance. Same bytes on every machine.
#pragma once

#include <cmath>
#include <cstdint>

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
