// Wall grid: cell layout invariants on special walls, and the nearest-wall
// query against brute force on random walls with near, far, huge and
// non-finite query points.
#include "drape/wall_grid.h"
#include "core/geometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace {

struct Wall {
    std::vector<double> points;
    std::vector<int32_t> faces;
    wall_grid g{};
    std::string line;

    void Build()
    {
        testing::internal::CaptureStderr();
        wall_grid_build(&g, points.data(), (int32_t)(points.size() / 3), faces.data(), (int32_t)(faces.size() / 3));
        line = testing::internal::GetCapturedStderr();
    }
    ~Wall() { wall_grid_free(&g); }
    int32_t nf() const { return (int32_t)(faces.size() / 3); }
    const double* corner(int32_t t, int k) const { return &points[3 * faces[3 * t + k]]; }
    void AddTri(const double a[3], const double b[3], const double c[3])
    {
        int32_t base = (int32_t)(points.size() / 3);
        points.insert(points.end(), {a[0], a[1], a[2], b[0], b[1], b[2], c[0], c[1], c[2]});
        faces.insert(faces.end(), {base, base + 1, base + 2});
    }
};

// Random triangles of mixed sizes, a few of them long, in a box.
void RandomWall(Wall* w, uint64_t seed, int count)
{
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> pos(-20, 20), off(-1, 1);
    for (int t = 0; t < count; t++) {
        double s = t % 17 == 0 ? 12 : 1.5;
        double a[3] = {pos(rng), pos(rng), 0.3 * pos(rng)};
        double b[3] = {a[0] + s * off(rng), a[1] + s * off(rng), a[2] + s * off(rng)};
        double c[3] = {a[0] + s * off(rng), a[1] + s * off(rng), a[2] + s * off(rng)};
        w->AddTri(a, b, c);
    }
}

void ExpectGridInvariants(const Wall& w)
{
    const wall_grid& g = w.g;
    ASSERT_GE(g.nx, 1);
    ASSERT_GE(g.ny, 1);
    ASSERT_GE(g.nz, 1);
    ASSERT_LE(g.nx, 128);
    ASSERT_LE(g.ny, 128);
    ASSERT_LE(g.nz, 128);
    int64_t ncell = (int64_t)g.nx * g.ny * g.nz;
    EXPECT_EQ(g.cell_start[0], 0);
    EXPECT_EQ(g.cell_start[ncell], w.nf());
    std::vector<int> seen(w.nf(), 0);
    for (int64_t c = 0; c < ncell; c++) {
        ASSERT_LE(g.cell_start[c], g.cell_start[c + 1]);
        for (int32_t s = g.cell_start[c]; s < g.cell_start[c + 1]; s++) {
            int32_t t = g.cell_faces[s];
            ASSERT_GE(t, 0);
            ASSERT_LT(t, w.nf());
            seen[t]++;
            if (s > g.cell_start[c]) {
                EXPECT_LT(g.cell_faces[s - 1], t);
            }
        }
    }
    for (int32_t t = 0; t < w.nf(); t++) EXPECT_EQ(seen[t], 1) << t;
}

// Nearest distance over every triangle, and the found one's own distance.
void ExpectTrueNearest(const Wall& w, const double* q)
{
    double best = INFINITY;
    for (int32_t t = 0; t < w.nf(); t++) {
        double d = dist_point_tri(q, w.corner(t, 0), w.corner(t, 1), w.corner(t, 2));
        if (d < best) best = d;
    }
    double out[3] = {NAN, NAN, NAN};
    int32_t tri = -7;
    wall_closest(&w.g, q, out, &tri);
    ASSERT_GE(tri, 0);
    ASSERT_LT(tri, w.nf());
    double dx = q[0] - out[0], dy = q[1] - out[1], dz = q[2] - out[2];
    double got = std::sqrt(dx * dx + dy * dy + dz * dz);
    double tol = 1e-12 * (1 + best);
    EXPECT_NEAR(got, best, tol) << q[0] << " " << q[1] << " " << q[2];
    EXPECT_NEAR(dist_point_tri(q, w.corner(tri, 0), w.corner(tri, 1), w.corner(tri, 2)), got, tol);
    EXPECT_NEAR(dist_point_tri(out, w.corner(tri, 0), w.corner(tri, 1), w.corner(tri, 2)), 0.0, 1e-9 * (1 + best));
}

TEST(WallGrid, SpecialWallsKeepTheCellRules)
{
    {
        SCOPED_TRACE("single triangle");
        Wall w;
        const double a[3] = {1, 2, 3}, b[3] = {4, 2, 3}, c[3] = {1, 6, 3};
        w.AddTri(a, b, c);
        w.Build();
        ExpectGridInvariants(w);
        EXPECT_EQ(w.g.nx * w.g.ny * w.g.nz, 1);
        EXPECT_NE(w.line.find("  grille paroi : 1 x 1 x 1 cellules de "), std::string::npos) << w.line;
        const double queries[][3] = {{0, 0, 0}, {100, -50, 7}, {2, 3, 3}};
        for (const auto& q : queries) {
            double out[3];
            int32_t tri = -1;
            wall_closest(&w.g, q, out, &tri);
            EXPECT_EQ(tri, 0);
        }
    }
    {
        SCOPED_TRACE("triangles collapsed to points");
        Wall w;
        for (int t = 0; t < 5; t++) {
            const double p[3] = {2.5 * t, 0, 0};
            w.AddTri(p, p, p);
        }
        w.Build();
        ExpectGridInvariants(w);
        EXPECT_EQ(w.g.rmax, 0.0);
        EXPECT_EQ(w.g.h, 1.0);
        EXPECT_EQ(w.g.nx, 11);
        const double q[3] = {5.2, 1, 0};
        ExpectTrueNearest(w, q);
    }
    {
        SCOPED_TRACE("long thin wall");
        Wall w;
        for (int t = 0; t < 2000; t++) {
            const double a[3] = {0.5 * t, 0, 0}, b[3] = {0.5 * t + 0.5, 0, 0}, c[3] = {0.5 * t, 0.5, 0.1};
            w.AddTri(a, b, c);
        }
        w.Build();
        ExpectGridInvariants(w);
        EXPECT_GE(w.g.nx, 127);
        EXPECT_LE(w.g.ny, 2);
    }
}

TEST(WallGrid, NearestQueryMatchesBruteForceOnRandomWalls)
{
    for (uint64_t seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        Wall w;
        RandomWall(&w, seed, 400);
        w.Build();
        ExpectGridInvariants(w);
        std::mt19937_64 rng(seed * 77);
        std::uniform_real_distribution<double> near(-24, 24), far(-1e4, 1e4);
        for (int k = 0; k < 300; k++) {
            double q[3] = {near(rng), near(rng), 0.4 * near(rng)};
            ExpectTrueNearest(w, q);
        }
        for (int k = 0; k < 30; k++) {
            double q[3] = {far(rng), far(rng), far(rng)};
            ExpectTrueNearest(w, q);
        }
        // Cell coordinates of these overflow any integer if converted raw.
        const double huge[][3] = {{1e100, 0, 0}, {-1e100, 3, 1e90}, {5, -1e120, 2}, {1e150, 1e150, -1e150}};
        for (const auto& q : huge) ExpectTrueNearest(w, q);
    }
}

TEST(WallGrid, CrowdedCellsMatchBruteForce)
{
    // One big triangle makes the cells wide, so a query meets thousands of
    // small triangles' centroids in its first shells.
    Wall w;
    RandomWall(&w, 21, 3000);
    const double A[3] = {-30, -30, 5}, B[3] = {30, -30, 5}, C[3] = {0, 40, 5};
    w.AddTri(A, B, C);
    w.Build();
    ExpectGridInvariants(w);
    std::mt19937_64 rng(4);
    std::uniform_real_distribution<double> near(-24, 24);
    for (int k = 0; k < 200; k++) {
        double q[3] = {near(rng), near(rng), 0.5 * near(rng)};
        ExpectTrueNearest(w, q);
    }
}

TEST(WallGrid, NonFiniteQueryFindsNoTriangle)
{
    Wall w;
    RandomWall(&w, 9, 50);
    w.Build();
    const double queries[][3] = {{NAN, 0, 0}, {0, INFINITY, 0}, {0, 0, -INFINITY}, {NAN, NAN, NAN}};
    for (const auto& q : queries) {
        double out[3] = {7, 7, 7};
        int32_t tri = 3;
        wall_closest(&w.g, q, out, &tri);
        EXPECT_EQ(tri, -1);
        EXPECT_EQ(out[0], 7);
    }
}

TEST(WallGrid, FindsALargeTriangleWhoseCentroidRanksFar)
{
    // A dense patch of small triangles around the origin, and one big
    // triangle whose edge passes just beside the query while its centroid
    // lies far beyond the 32 nearest small centroids.
    Wall w;
    for (int j = 0; j < 10; j++)
        for (int i = 0; i < 10; i++) {
            const double a[3] = {i * 0.5, j * 0.5, 0}, b[3] = {i * 0.5 + 0.4, j * 0.5, 0},
                         c[3] = {i * 0.5, j * 0.5 + 0.4, 0};
            w.AddTri(a, b, c);
        }
    const double A[3] = {-1, -40, 1.0}, B[3] = {-1, 40, 1.0}, C[3] = {-60, 0, 1.0};
    w.AddTri(A, B, C);
    w.Build();
    const double q[3] = {-0.9, 2.3, 0.9};
    double out[3];
    int32_t tri = -1;
    wall_closest(&w.g, q, out, &tri);
    EXPECT_EQ(tri, 100);
    ExpectTrueNearest(w, q);
}

}  // namespace
