// Geometry kernels: Moller-Trumbore crossing, law-of-cosines angles, Ericson's closest point.
// Segment-triangle crossing with strict margins, smallest interior angle,
// point-triangle distance by Voronoi regions in Ericson's order of tests.
// Every operation keeps the written order: -ffp-contract=off and no
// reassociation, so results are the same bytes on every machine.
#include "core/geometry.h"

#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

static inline double dot3(const double* u, const double* v)
{
    return u[0] * v[0] + u[1] * v[1] + u[2] * v[2];
}

static inline void sub3(const double* u, const double* v, double* out)
{
    out[0] = u[0] - v[0];
    out[1] = u[1] - v[1];
    out[2] = u[2] - v[2];
}

static inline void cross3(const double* u, const double* v, double* out)
{
    out[0] = u[1] * v[2] - u[2] * v[1];
    out[1] = u[2] * v[0] - u[0] * v[2];
    out[2] = u[0] * v[1] - u[1] * v[0];
}

static inline double norm3(const double* u)
{
    return std::sqrt(dot3(u, u));
}

// Distance from p to the segment xy; a zero-length segment is its point.
static double dist_point_segment(const double* p, const double* x, const double* y)
{
    double xy[3], xp[3];
    sub3(y, x, xy);
    sub3(p, x, xp);
    double len2 = dot3(xy, xy);
    double t = 0;
    if (len2 > 0) {
        t = dot3(xp, xy) / len2;
        if (t < 0) t = 0;
        if (t > 1) t = 1;
    }
    double d[3] = {xp[0] - xy[0] * t, xp[1] - xy[1] * t, xp[2] - xy[2] * t};
    return norm3(d);
}

// A triangle whose region tests met a zero denominator has collapsed to a
// segment or a point: the nearest of its three sides is the answer, where
// the region formula would have given 0/0.
static double dist_point_flat_tri(const double* p, const double* a, const double* b,
                                  const double* c)
{
    double dab = dist_point_segment(p, a, b);
    double dbc = dist_point_segment(p, b, c);
    double dca = dist_point_segment(p, c, a);
    double best = dab;
    if (dbc < best) best = dbc;
    if (dca < best) best = dca;
    return best;
}

int32_t seg_tri_cross_t(const double* p0, const double* p1, const double* a,
                        const double* b, const double* c, double* t)
{
    double e1[3], e2[3], d[3], h[3], s[3], q[3];
    sub3(b, a, e1);
    sub3(c, a, e2);
    sub3(p1, p0, d);
    cross3(d, e2, h);
    double det = dot3(e1, h);
    if (std::fabs(det) <= 1e-12) return 0;
    double f = 1.0 / det;
    sub3(p0, a, s);
    double u = f * dot3(s, h);
    if (!(1e-6 < u && u < 0.999999)) return 0;
    cross3(s, e1, q);
    double v = f * dot3(d, q);
    if (!(1e-6 < v && u + v < 0.999999)) return 0;
    double tt = f * dot3(e2, q);
    if (!(1e-6 < tt && tt < 0.999999)) return 0;
    *t = tt;
    return 1;
}

#if defined(__SSE2__)
// Two of the three sides and two of the three cosines side by side in
// vector lanes: the same operations on the same operands in each lane, so
// the same bits, with one square root and one division fewer in line.
double tri_min_cos(const double* a, const double* b, const double* c)
{
    const __m128d dx = _mm_sub_pd(_mm_setr_pd(b[0], c[0]), _mm_setr_pd(a[0], b[0]));
    const __m128d dy = _mm_sub_pd(_mm_setr_pd(b[1], c[1]), _mm_setr_pd(a[1], b[1]));
    const __m128d dz = _mm_sub_pd(_mm_setr_pd(b[2], c[2]), _mm_setr_pd(a[2], b[2]));
    const __m128d l_ca = _mm_sqrt_pd(_mm_add_pd(_mm_add_pd(_mm_mul_pd(dx, dx), _mm_mul_pd(dy, dy)), _mm_mul_pd(dz, dz)));
    double ca[3];
    sub3(a, c, ca);
    const double lb = norm3(ca);
    const double lc = _mm_cvtsd_f64(l_ca), la = _mm_cvtsd_f64(_mm_unpackhi_pd(l_ca, l_ca));
    double shortest = la;
    if (lb < shortest) shortest = lb;
    if (lc < shortest) shortest = lc;
    if (shortest < 1e-12) return 1;  // the angle 0: acos(1) is +0

    // Corners C and A in the lanes (opposite side x, the two sides y, z
    // meeting there), corner B alone.
    const __m128d x = l_ca;
    const __m128d y = _mm_unpackhi_pd(l_ca, _mm_set1_pd(lb));
    const __m128d z = _mm_unpacklo_pd(_mm_set1_pd(lb), l_ca);
    const __m128d num = _mm_sub_pd(_mm_add_pd(_mm_mul_pd(y, y), _mm_mul_pd(z, z)), _mm_mul_pd(x, x));
    __m128d cs = _mm_div_pd(num, _mm_mul_pd(_mm_mul_pd(_mm_set1_pd(2), y), z));
    // max and min return their second operand when one is NaN, so a NaN
    // cosine stays NaN, as the clamps of corner B leave it.
    cs = _mm_min_pd(_mm_set1_pd(1), _mm_max_pd(_mm_set1_pd(-1), cs));
    double cs_b = (lc * lc + la * la - lb * lb) / (2 * lc * la);
    if (cs_b < -1) cs_b = -1;
    if (cs_b > 1) cs_b = 1;
    const double cosines[3] = {_mm_cvtsd_f64(cs), _mm_cvtsd_f64(_mm_unpackhi_pd(cs, cs)), cs_b};
    double best_cos = -2;  // below every clamped cosine; a NaN is never kept
    for (double v : cosines)
        if (v > best_cos) best_cos = v;
    return best_cos == -2 ? -INFINITY : best_cos;
}
#else
double tri_min_cos(const double* a, const double* b, const double* c)
{
    double ab[3], bc[3], ca[3];
    sub3(b, a, ab);
    sub3(c, b, bc);
    sub3(a, c, ca);
    double lc = norm3(ab), la = norm3(bc), lb = norm3(ca);
    double shortest = la;
    if (lb < shortest) shortest = lb;
    if (lc < shortest) shortest = lc;
    if (shortest < 1e-12) return 1;  // the angle 0: acos(1) is +0

    // Corners C, A, B: opposite side first, then the two sides meeting there.
    const double sides[3][3] = {{lc, la, lb}, {la, lb, lc}, {lb, lc, la}};
    double best_cos = -2;  // below every clamped cosine; a NaN is never kept
    for (const auto& s : sides) {
        double x = s[0], y = s[1], z = s[2];
        double cs = (y * y + z * z - x * x) / (2 * y * z);
        if (cs < -1) cs = -1;
        if (cs > 1) cs = 1;
        if (cs > best_cos) best_cos = cs;
    }
    return best_cos == -2 ? -INFINITY : best_cos;
}
#endif

// acos never rises between neighbouring doubles, so the arc cosine of the
// largest cosine is the smallest of the three arc cosines, bit for bit
// (geometry_test checks both claims): one acos instead of three.
double tri_min_angle(const double* a, const double* b, const double* c)
{
    return angle_of_min_cos(tri_min_cos(a, b, c));
}

// A side point is the side scaled by one quotient, a + (d1 / den) * ab,
// the grouping the nearest-wall query uses too: both must agree bit for bit.
double dist_point_tri(const double* p, const double* a, const double* b, const double* c)
{
    double ab[3], ac[3], ap[3], bp[3], cp[3], closest[3];
    sub3(b, a, ab);
    sub3(c, a, ac);
    sub3(p, a, ap);
    sub3(p, b, bp);
    sub3(p, c, cp);

    double d1 = dot3(ab, ap), d2 = dot3(ac, ap);
    if (d1 <= 0 && d2 <= 0) {
        double r[3];
        sub3(p, a, r);
        return norm3(r);
    }
    double d3 = dot3(ab, bp), d4 = dot3(ac, bp);
    if (d3 >= 0 && d4 <= d3) {
        double r[3];
        sub3(p, b, r);
        return norm3(r);
    }
    double vc = d1 * d4 - d3 * d2;
    if (vc <= 0 && d1 >= 0 && d3 <= 0) {
        double den = d1 - d3;
        if (den == 0) return dist_point_flat_tri(p, a, b, c);
        double s = d1 / den;
        for (int i = 0; i < 3; i++) closest[i] = a[i] + ab[i] * s;
    } else {
        double d5 = dot3(ab, cp), d6 = dot3(ac, cp);
        if (d6 >= 0 && d5 <= d6) {
            double r[3];
            sub3(p, c, r);
            return norm3(r);
        }
        double vb = d5 * d2 - d1 * d6;
        double va = d3 * d6 - d5 * d4;
        if (vb <= 0 && d2 >= 0 && d6 <= 0) {
            double den = d2 - d6;
            if (den == 0) return dist_point_flat_tri(p, a, b, c);
            double s = d2 / den;
            for (int i = 0; i < 3; i++) closest[i] = a[i] + ac[i] * s;
        } else if (va <= 0 && d4 - d3 >= 0 && d5 - d6 >= 0) {
            double den = (d4 - d3) + (d5 - d6);
            if (den == 0) return dist_point_flat_tri(p, a, b, c);
            double s = (d4 - d3) / den;
            for (int i = 0; i < 3; i++) closest[i] = b[i] + (c[i] - b[i]) * s;
        } else {
            double den = va + vb + vc;
            if (den == 0) return dist_point_flat_tri(p, a, b, c);
            double k = 1 / den;
            double v = vb * k, w = vc * k;
            for (int i = 0; i < 3; i++) closest[i] = a[i] + ab[i] * v + ac[i] * w;
        }
    }
    double r[3];
    sub3(p, closest, r);
    return norm3(r);
}
