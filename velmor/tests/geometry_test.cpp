// Geometry kernels on small triangles with known answers.
#include "core/geometry.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace {

const double kA[3] = {0, 0, 0}, kB[3] = {1, 0, 0}, kC[3] = {0, 1, 0};

TEST(SegTriCross, StrictCrossingsOnly)
{
    struct Case {
        const char* name;
        double p0[3], p1[3];
        int want;
        double want_t;
    };
    const double third = 1.0 / 3.0;
    const Case cases[] = {
        {"through inside", {0.2, 0.2, -1}, {0.2, 0.2, 1}, 1, 0.5},
        {"reversed segment", {0.2, 0.2, 1}, {0.2, 0.2, -1}, 1, 0.5},
        {"off-centre t", {0.2, 0.2, -1}, {0.2, 0.2, 3}, 1, 0.25},
        {"through centroid", {third, third, -1}, {third, third, 1}, 1, 0.5},
        {"through side AC", {0, 0.2, -1}, {0, 0.2, 1}, 0, 0},
        {"through side AB", {0.2, 0, -1}, {0.2, 0, 1}, 0, 0},
        {"through side BC midpoint", {0.5, 0.5, -1}, {0.5, 0.5, 1}, 0, 0},
        {"through a corner", {0, 0, -1}, {0, 0, 1}, 0, 0},
        {"outside", {0.8, 0.8, -1}, {0.8, 0.8, 1}, 0, 0},
        {"stops on the plane", {0.2, 0.2, -1}, {0.2, 0.2, 0}, 0, 0},
        {"starts on the plane", {0.2, 0.2, 0}, {0.2, 0.2, 1}, 0, 0},
        {"short of the plane", {0.2, 0.2, -1}, {0.2, 0.2, -0.5}, 0, 0},
        {"in the plane", {-1, 0.2, 0}, {2, 0.2, 0}, 0, 0},
        {"parallel above", {-1, 0.2, 1}, {2, 0.2, 1}, 0, 0},
        {"zero-length segment", {0.2, 0.2, 0}, {0.2, 0.2, 0}, 0, 0},
        {"NaN end", {NAN, 0.2, -1}, {0.2, 0.2, 1}, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Both windings of the triangle: orientation must not matter.
        const double* orders[2][3] = {{kA, kB, kC}, {kA, kC, kB}};
        for (const auto& o : orders) {
            double t = -7;
            int got = seg_tri_cross_t(c.p0, c.p1, o[0], o[1], o[2], &t);
            EXPECT_EQ(got, c.want);
            if (c.want)
                EXPECT_NEAR(t, c.want_t, 1e-15);
            else
                EXPECT_EQ(t, -7) << "t written on a miss";
        }
    }
}

TEST(SegTriCross, DegenerateTriangleNeverCrosses)
{
    const double p0[3] = {0.2, 0.2, -1}, p1[3] = {0.2, 0.2, 1};
    const double a[3] = {0, 0, 0}, b[3] = {1, 1, 0}, c[3] = {2, 2, 0};
    double t = -7;
    EXPECT_EQ(seg_tri_cross_t(p0, p1, a, b, c, &t), 0);
    EXPECT_EQ(seg_tri_cross_t(p0, p1, a, a, c, &t), 0);
    EXPECT_EQ(t, -7);
}

TEST(TriMinAngle, KnownTriangles)
{
    const double h = std::sqrt(3.0) / 2;
    struct Case { const char* name; double a[3], b[3], c[3], want, tol; };
    const Case cases[] = {
        {"right isosceles", {0, 0, 0}, {1, 0, 0}, {0, 1, 0}, M_PI / 4, 1e-15},
        {"equilateral", {0, 0, 0}, {1, 0, 0}, {0.5, h, 0}, M_PI / 3, 1e-15},
        {"3-4-5", {0, 0, 0}, {4, 0, 0}, {0, 3, 0}, std::atan2(3.0, 4.0), 1e-15},
        {"side under 1e-12", {0, 0, 0}, {1e-13, 0, 0}, {0, 1, 0}, 0, 0},
        {"side 1e-13 among large angles", {0, 0, 0}, {1, 0, 0}, {0.5, 1e-13, 0}, 0, 0},
        {"repeated corner", {0, 0, 0}, {0, 0, 0}, {0, 1, 0}, 0, 0},
        {"all corners equal", {2, 2, 2}, {2, 2, 2}, {2, 2, 2}, 0, 0},
        {"collinear", {0, 0, 0}, {1, 0, 0}, {3, 0, 0}, 0, 0},
        {"collinear, a cosine rounds past 1", {0, 0, 0}, {0.1 * 9, 0, 0}, {0.3 * 9 + 0.7, 0, 0}, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        double got = tri_min_angle(c.a, c.b, c.c);
        EXPECT_FALSE(std::isnan(got));
        EXPECT_NEAR(got, c.want, c.tol);
        // Any corner rotation gives the same smallest angle.
        EXPECT_NEAR(tri_min_angle(c.b, c.c, c.a), c.want, c.tol);
    }
}

TEST(TriMinAngle, MatchesTheCosineLawInItsOrder)
{
    // The result is compared bit for bit with the law of cosines taken at
    // C, A, B, so a shortcut that changes rounding shows here.
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(-10, 10);
    for (int it = 0; it < 2000; it++) {
        double a[3], b[3], c[3];
        for (int i = 0; i < 3; i++) a[i] = u(rng), b[i] = u(rng), c[i] = u(rng);
        auto len = [](const double* p, const double* q) {
            double dx = p[0] - q[0], dy = p[1] - q[1], dz = p[2] - q[2];
            return std::sqrt(dx * dx + dy * dy + dz * dz);
        };
        double lc = len(b, a), la = len(c, b), lb = len(a, c);
        auto ang = [](double x, double y, double z) {
            double cs = (y * y + z * z - x * x) / (2 * y * z);
            return std::acos(std::fmin(1.0, std::fmax(-1.0, cs)));
        };
        double want = std::fmin(ang(lc, la, lb), std::fmin(ang(la, lb, lc), ang(lb, lc, la)));
        ASSERT_EQ(tri_min_angle(a, b, c), want) << "iteration " << it;
    }
}

TEST(DistPointTri, RegionsOfTheUnitTriangle)
{
    struct Case { const char* name; double p[3], want; };
    const Case cases[] = {
        {"inside, above", {0.25, 0.25, 2}, 2},
        {"corner A", {-1, -1, 0}, std::sqrt(2.0)},
        {"side AB", {0.5, -1, 0}, 1},
        {"side BC", {1, 1, 0}, std::sqrt(2.0) / 2},
        {"corner C", {0, 3, 0}, 2},
        {"corner B", {3, -1, 0}, std::sqrt(5.0)},
        {"side AC", {-2, 0.5, 0}, 2},
        {"on the triangle", {0.1, 0.2, 0}, 0},
        {"on corner B", {1, 0, 0}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_NEAR(dist_point_tri(c.p, kA, kB, kC), c.want, 1e-15);
        EXPECT_NEAR(dist_point_tri(c.p, kB, kC, kA), c.want, 1e-15);
        EXPECT_NEAR(dist_point_tri(c.p, kA, kC, kB), c.want, 1e-15);
    }
}

// Reference: the nearest point over a fine barycentric sampling can only be
// farther than the true distance, by at most the sampling step.
static double sampled_distance(const double* p, const double* a, const double* b, const double* c)
{
    const int steps = 400;
    double best = INFINITY;
    for (int i = 0; i <= steps; i++)
        for (int j = 0; i + j <= steps; j++) {
            double v = (double)i / steps, w = (double)j / steps;
            double x[3];
            for (int k = 0; k < 3; k++) x[k] = a[k] + (b[k] - a[k]) * v + (c[k] - a[k]) * w;
            double dx = p[0] - x[0], dy = p[1] - x[1], dz = p[2] - x[2];
            best = std::fmin(best, std::sqrt(dx * dx + dy * dy + dz * dz));
        }
    return best;
}

// The region steps transcribed as written, a side point being the side
// scaled by one quotient; proper triangles only, so no step divides 0 by 0.
static double region_steps_distance(const double* p, const double* a, const double* b, const double* c)
{
    auto dot = [](const double* u, const double* v) { return u[0] * v[0] + u[1] * v[1] + u[2] * v[2]; };
    double ab[3], ac[3], ap[3], bp[3], cp[3], x[3];
    for (int i = 0; i < 3; i++) {
        ab[i] = b[i] - a[i], ac[i] = c[i] - a[i];
        ap[i] = p[i] - a[i], bp[i] = p[i] - b[i], cp[i] = p[i] - c[i];
    }
    double d1 = dot(ab, ap), d2 = dot(ac, ap), d3 = dot(ab, bp), d4 = dot(ac, bp);
    double d5 = dot(ab, cp), d6 = dot(ac, cp);
    double vc = d1 * d4 - d3 * d2, vb = d5 * d2 - d1 * d6, va = d3 * d6 - d5 * d4;
    for (int i = 0; i < 3; i++) {
        if (d1 <= 0 && d2 <= 0) x[i] = a[i];
        else if (d3 >= 0 && d4 <= d3) x[i] = b[i];
        else if (vc <= 0 && d1 >= 0 && d3 <= 0) x[i] = a[i] + (d1 / (d1 - d3)) * ab[i];
        else if (d6 >= 0 && d5 <= d6) x[i] = c[i];
        else if (vb <= 0 && d2 >= 0 && d6 <= 0) x[i] = a[i] + (d2 / (d2 - d6)) * ac[i];
        else if (va <= 0 && d4 - d3 >= 0 && d5 - d6 >= 0)
            x[i] = b[i] + ((d4 - d3) / ((d4 - d3) + (d5 - d6))) * (c[i] - b[i]);
        else {
            double k = 1 / (va + vb + vc), v = vb * k, w = vc * k;
            x[i] = a[i] + ab[i] * v + ac[i] * w;
        }
    }
    double r[3] = {p[0] - x[0], p[1] - x[1], p[2] - x[2]};
    return std::sqrt(dot(r, r));
}

TEST(DistPointTri, MatchesTheRegionStepsBitForBit)
{
    // The flip pass compares these distances with its tolerances, so a
    // regrouped product or quotient changes flips; a sweep over random
    // triangles reaches every region, sides included.
    std::mt19937_64 rng(13);
    std::uniform_real_distribution<double> u(-5, 5);
    for (int it = 0; it < 20000; it++) {
        double a[3], b[3], c[3], p[3];
        for (int i = 0; i < 3; i++) a[i] = u(rng), b[i] = u(rng), c[i] = u(rng), p[i] = u(rng);
        ASSERT_EQ(dist_point_tri(p, a, b, c), region_steps_distance(p, a, b, c)) << "iteration " << it;
    }
}

TEST(DistPointTri, DegenerateTrianglesGiveTheSegmentOrPointDistance)
{
    const double p0[3] = {0, 0, 0}, p1[3] = {2, 0, 0}, p2[3] = {1, 1, 0};
    const double q1[3] = {1, 0, 0}, q3[3] = {3, 0, 0};
    struct Case { const char* name; const double *a, *b, *c; double p[3], want; };
    const Case cases[] = {
        // A == B: the side steps divide 0 by 0 for points beside AC.
        {"A=B, beside the segment", p0, p0, p1, {1, 2, 0}, 2},
        {"A=B, past its far end", p0, p0, p1, {3, 0, 1}, std::sqrt(2.0)},
        {"A=B, before its start", p0, p0, p1, {-1, 0, 0}, 1},
        {"B=C", p0, p1, p1, {1, 2, 0}, 2},
        {"A=C", p1, p0, p1, {1, -3, 0}, 3},
        {"three equal corners", p2, p2, p2, {1, 1, 5}, 5},
        {"collinear distinct", p0, q1, q3, {2, 1, 0}, 1},
        {"collinear, middle corner last", q3, p0, q1, {4, 0, 2}, std::sqrt(5.0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        double got = dist_point_tri(c.p, c.a, c.b, c.c);
        EXPECT_TRUE(std::isfinite(got));
        EXPECT_NEAR(got, c.want, 1e-12);
    }
    // A sweep of points around a triangle with two equal corners, in every
    // corner order: finite and equal to the segment distance.
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> u(-3, 3);
    for (int it = 0; it < 300; it++) {
        double p[3] = {u(rng), u(rng), u(rng)};
        const double* corners[3][3] = {{p0, p0, p1}, {p0, p1, p0}, {p1, p0, p0}};
        for (const auto& o : corners) {
            double got = dist_point_tri(p, o[0], o[1], o[2]);
            ASSERT_TRUE(std::isfinite(got)) << "iteration " << it;
            double t = std::fmin(1.0, std::fmax(0.0, p[0] / 2));
            double dx = p[0] - 2 * t, want = std::sqrt(dx * dx + p[1] * p[1] + p[2] * p[2]);
            ASSERT_NEAR(got, want, 1e-12) << "iteration " << it;
        }
    }
}

TEST(DistPointTri, AgreesWithSamplingOnRandomTriangles)
{
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> u(-2, 2);
    for (int it = 0; it < 60; it++) {
        double a[3], b[3], c[3], p[3];
        for (int i = 0; i < 3; i++) a[i] = u(rng), b[i] = u(rng), c[i] = u(rng), p[i] = u(rng);
        double got = dist_point_tri(p, a, b, c);
        double ref = sampled_distance(p, a, b, c);
        ASSERT_LE(got, ref + 1e-12) << "iteration " << it;
        ASSERT_GE(got, ref - 0.05) << "iteration " << it;
    }
}

}  // namespace

namespace {

// The smallest angle as the law of cosines gives it corner by corner, one
// arc cosine each, the smallest kept (NaN never, 1e300 when none).
double min_angle_three_acos(const double* a, const double* b, const double* c)
{
    auto len = [](const double* p, const double* q) {
        double dx = p[0] - q[0], dy = p[1] - q[1], dz = p[2] - q[2];
        return std::sqrt(dx * dx + dy * dy + dz * dz);
    };
    double lc = len(b, a), la = len(c, b), lb = len(a, c);
    double shortest = la;
    if (lb < shortest) shortest = lb;
    if (lc < shortest) shortest = lc;
    if (shortest < 1e-12) return 0;
    const double sides[3][3] = {{lc, la, lb}, {la, lb, lc}, {lb, lc, la}};
    double best = 1e300;
    for (const auto& s : sides) {
        double cs = (s[1] * s[1] + s[2] * s[2] - s[0] * s[0]) / (2 * s[1] * s[2]);
        if (cs < -1) cs = -1;
        if (cs > 1) cs = 1;
        double ang = std::acos(cs);
        if (ang < best) best = ang;
    }
    return best;
}

}  // namespace

// The kernel may take one arc cosine of the largest cosine: that is the
// same value only while acos never rises between neighbouring doubles, and
// the same bits as three arc cosines on every kind of triangle.
TEST(TriMinAngle, OneArcCosineGivesTheSameBitsAsThree)
{
    std::mt19937_64 rng(20261210);
    std::uniform_real_distribution<double> unit(-1, 1);
    for (int it = 0; it < 4000000; it++) {
        double x = unit(rng);
        if (it % 4 == 0) x = std::ldexp(x, -(int)(rng() % 60));  // near 0
        if (it % 4 == 1) x = std::copysign(1 - std::ldexp(std::fabs(x), -(int)(rng() % 50)), x);
        double up = std::nextafter(x, 2.0);
        if (up > 1) continue;
        ASSERT_LE(std::acos(up), std::acos(x)) << std::hexfloat << x;
    }
    std::uniform_real_distribution<double> coord(-10, 10);
    std::uniform_real_distribution<double> tiny(-1e-6, 1e-6);
    const char* kinds[] = {"random", "sliver", "near equilateral", "near isosceles",
                           "grid points", "scaled"};
    for (int kind = 0; kind < 6; kind++) {
        SCOPED_TRACE(kinds[kind]);
        for (int it = 0; it < 1000000; it++) {
            double a[3], b[3], c[3];
            for (int i = 0; i < 3; i++) a[i] = coord(rng), b[i] = coord(rng), c[i] = coord(rng);
            switch (kind) {
            case 1: {  // c close to the segment ab, or beyond it
                double t = unit(rng) * 1.5;
                for (int i = 0; i < 3; i++)
                    c[i] = a[i] + (b[i] - a[i]) * t + std::ldexp(tiny(rng), -(int)(rng() % 40));
                break;
            }
            case 2: {  // equilateral in a random plane, corners nudged
                const double h = std::sqrt(3.0) / 2;
                double e1[3] = {coord(rng), coord(rng), coord(rng)}, e2[3];
                double n = std::sqrt(e1[0] * e1[0] + e1[1] * e1[1] + e1[2] * e1[2]);
                for (double& v : e1) v /= n;
                e2[0] = -e1[1], e2[1] = e1[0], e2[2] = 0;
                n = std::sqrt(e2[0] * e2[0] + e2[1] * e2[1]);
                if (n == 0) continue;
                for (double& v : e2) v /= n;
                for (int i = 0; i < 3; i++) {
                    b[i] = a[i] + e1[i] + tiny(rng);
                    c[i] = a[i] + 0.5 * e1[i] + h * e2[i] + tiny(rng);
                }
                break;
            }
            case 3:  // c on the bisecting plane of ab, nudged
                for (int i = 0; i < 3; i++) c[i] = (a[i] + b[i]) * 0.5 + coord(rng) * 0.3;
                {
                    double m[3], d[3], dd = 0, md = 0;
                    for (int i = 0; i < 3; i++) {
                        m[i] = (a[i] + b[i]) * 0.5;
                        d[i] = b[i] - a[i];
                        dd += d[i] * d[i];
                        md += (c[i] - m[i]) * d[i];
                    }
                    for (int i = 0; i < 3; i++) c[i] -= d[i] * md / dd + tiny(rng) * 1e-3;
                }
                break;
            case 4:  // small integers: exact ties between cosines
                for (int i = 0; i < 3; i++) {
                    a[i] = (double)(rng() % 5);
                    b[i] = (double)(rng() % 5);
                    c[i] = (double)(rng() % 5);
                }
                break;
            case 5: {  // from 1e-9 mm to 1e6 mm
                double s = std::ldexp(1.0, (int)(rng() % 50) - 30);
                for (int i = 0; i < 3; i++) a[i] *= s, b[i] *= s, c[i] *= s;
                break;
            }
            }
            double want = min_angle_three_acos(a, b, c);
            double got = tri_min_angle(a, b, c);
            ASSERT_EQ(std::memcmp(&got, &want, sizeof got), 0)
                << std::hexfloat << "iteration " << it << ": " << got << " vs " << want;
        }
    }
}

// The flip test compares smallest angles through their cosine keys: a key
// that does not fall must mean an angle that does not rise, and the smaller
// of two angles must be the angle of the larger key, also for the special
// answers (a short side: 0; no cosine a number: 1e300).
TEST(TriMinCos, KeysOrderAnglesBitForBit)
{
    const double h = std::sqrt(3.0) / 2;
    std::vector<std::array<double, 9>> tris = {
        {0, 0, 0, 1, 0, 0, 0.5, h, 0},          // equilateral
        {0, 0, 0, 1, 0, 0, 0, 1, 0},            // right isosceles
        {0, 0, 0, 1e-13, 0, 0, 0, 1, 0},        // short side
        {0, 0, 0, 1, 0, 0, 3, 0, 0},            // collinear
        {NAN, 0, 0, 1, 0, 0, 0, 1, 0},          // no cosine a number
        {0, 0, 0, 1e200, 0, 0, 0, 1e200, 0},    // squares overflow
    };
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> coord(-5, 5);
    for (int i = 0; i < 4000; i++) {
        std::array<double, 9> t;
        for (double& v : t) v = coord(rng);
        if (i % 3 == 0)
            for (int k = 0; k < 3; k++) t[6 + k] = (t[k] + t[3 + k]) * 0.5 + 1e-7 * coord(rng);
        tris.push_back(t);
    }
    std::vector<double> key, angle;
    for (const auto& t : tris) {
        key.push_back(tri_min_cos(&t[0], &t[3], &t[6]));
        angle.push_back(tri_min_angle(&t[0], &t[3], &t[6]));
        ASSERT_FALSE(std::isnan(key.back()));
    }
    EXPECT_EQ(key[2], 1.0);
    EXPECT_EQ(angle[2], 0.0);
    EXPECT_EQ(key[4], -INFINITY);
    EXPECT_EQ(angle[4], 1e300);
    for (size_t x = 0; x < tris.size(); x += (x < 6 ? 1 : 37))
        for (size_t y = 0; y < tris.size(); y++) {
            if (key[x] >= key[y]) {
                ASSERT_LE(angle[x], angle[y]) << x << " " << y;
            }
            double smaller = angle[x] < angle[y] ? angle[x] : angle[y];
            double of_key = angle_of_min_cos(key[x] > key[y] ? key[x] : key[y]);
            ASSERT_EQ(std::memcmp(&smaller, &of_key, sizeof smaller), 0) << x << " " << y;
        }
}
