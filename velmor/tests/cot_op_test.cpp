// Cotangent operator: known weights and masses, structural invariants on a
// bumpy grid, clamped and degenerate corners.
#include "fair/cot_op.h"
#include "core/stores.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Built {
    std::vector<double> xyz;
    std::vector<int32_t> tri;
    cot_op op{};
    std::string line;
    long long nt = -1, degen = -1, clamp = -1, neg = -1;

    Built(std::vector<double> p, std::vector<int32_t> t) : xyz(std::move(p)), tri(std::move(t))
    {
        verts vs{};
        vs.xyz = xyz.data();
        vs.n = (int64_t)xyz.size() / 3;
        tris ts{};
        ts.tri = tri.data();
        ts.n = (int64_t)tri.size() / 3;
        testing::internal::CaptureStderr();
        cot_op_build(&op, &vs, &ts);
        line = testing::internal::GetCapturedStderr();
        sscanf(line.c_str(),
               "  operateur cotangente : %lld tris, %lld coin(s) degenere(s), %lld cot plafonnee(s) a 10000, "
               "%lld arete(s) a poids negatif",
               &nt, &degen, &clamp, &neg);
    }
    ~Built() { cot_op_free(&op); }

    // Weight of entry (i, j); NAN when the entry does not exist.
    double w(int32_t i, int32_t j) const
    {
        for (int64_t e = op.rowptr[i]; e < op.rowptr[i + 1]; e++)
            if (op.col[e] == j) return op.val[e];
        return NAN;
    }
};

double tri_area(const double* a, const double* b, const double* c)
{
    double u[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
    double v[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
    double x = u[1] * v[2] - u[2] * v[1], y = u[2] * v[0] - u[0] * v[2], z = u[0] * v[1] - u[1] * v[0];
    return 0.5 * std::sqrt(x * x + y * y + z * z);
}

// n x n grid of points with a deterministic bump, split into triangles with
// alternating diagonals (some obtuse corners), plus one isolated point.
Built BumpyGrid(int n)
{
    std::vector<double> p;
    for (int j = 0; j < n; j++)
        for (int i = 0; i < n; i++) {
            double x = i + 0.3 * std::sin(7.0 * j + i), y = j + 0.25 * std::cos(3.0 * i * j);
            p.insert(p.end(), {x, y, 0.4 * std::sin(x) * std::cos(y)});
        }
    p.insert(p.end(), {100.0, 100.0, 100.0});
    std::vector<int32_t> t;
    for (int j = 0; j + 1 < n; j++)
        for (int i = 0; i + 1 < n; i++) {
            int32_t a = j * n + i, b = a + 1, c = a + n + 1, d = a + n;
            if ((i + j) % 2) {
                t.insert(t.end(), {a, b, c, a, c, d});
            } else {
                t.insert(t.end(), {a, b, d, b, c, d});
            }
        }
    return Built(std::move(p), std::move(t));
}

TEST(CotOp, UnitSquareWeightsAndMasses)
{
    Built b({0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0}, {0, 1, 2, 0, 2, 3});
    ASSERT_EQ(b.op.n, 4);
    EXPECT_EQ(b.op.rowptr[4], 10);
    const int32_t sides[4][2] = {{0, 1}, {1, 2}, {2, 3}, {3, 0}};
    for (const auto& s : sides) {
        EXPECT_NEAR(b.w(s[0], s[1]), 0.5, 1e-15);
        EXPECT_NEAR(b.w(s[1], s[0]), 0.5, 1e-15);
    }
    // The diagonal's two entries exist and weigh cot 90 + cot 90 = 0.
    EXPECT_NEAR(b.w(0, 2), 0.0, 1e-15);
    EXPECT_NEAR(b.w(2, 0), 0.0, 1e-15);
    EXPECT_TRUE(std::isnan(b.w(1, 3)));
    EXPECT_NEAR(b.op.mass[0], 1.0 / 3, 1e-15);
    EXPECT_NEAR(b.op.mass[2], 1.0 / 3, 1e-15);
    EXPECT_NEAR(b.op.mass[1], 1.0 / 6, 1e-15);
    EXPECT_NEAR(b.op.mass[3], 1.0 / 6, 1e-15);
    EXPECT_EQ(b.nt, 2);
    EXPECT_EQ(b.degen, 0);
    EXPECT_EQ(b.clamp, 0);
    EXPECT_EQ(b.neg, 0);
}

TEST(CotOp, RowsSortedSymmetricWithRowSumDiagonalAndAreaMass)
{
    Built b = BumpyGrid(9);
    const cot_op& op = b.op;
    ASSERT_EQ(op.n, 82);
    EXPECT_EQ(op.rowptr[0], 0);
    double total_mass = 0, total_area = 0;
    for (size_t t = 0; t < b.tri.size(); t += 3)
        total_area += tri_area(&b.xyz[3 * b.tri[t]], &b.xyz[3 * b.tri[t + 1]], &b.xyz[3 * b.tri[t + 2]]);
    for (int64_t i = 0; i < op.n; i++) {
        double sum = 0;
        for (int64_t e = op.rowptr[i]; e < op.rowptr[i + 1]; e++) {
            if (e > op.rowptr[i]) {
                EXPECT_LT(op.col[e - 1], op.col[e]);
            }
            double back = b.w(op.col[e], (int32_t)i);
            EXPECT_EQ(std::memcmp(&back, &op.val[e], sizeof(double)), 0) << i << "," << op.col[e];
            sum += op.val[e];
        }
        EXPECT_EQ(std::memcmp(&sum, &op.diag[i], sizeof(double)), 0) << i;
        total_mass += op.mass[i];
    }
    EXPECT_NEAR(total_mass, total_area, 1e-12 * total_area);
    // The isolated point has an empty row and no mass.
    EXPECT_EQ(op.rowptr[81], op.rowptr[82]);
    EXPECT_EQ(op.diag[81], 0.0);
    EXPECT_EQ(op.mass[81], 0.0);
    // Every edge of a triangle has an entry; no edge crossing a quad does.
    EXPECT_EQ(op.rowptr[82], 2 * (2 * 8 * 9 + 64));
}

TEST(CotOp, ClampsAndNeutralisesBadCorners)
{
    struct Case {
        const char* name;
        std::vector<double> p;
        long long degen, clamp, neg;
        double w12, w01;  // weights of edges (1, 2) and (0, 1)
    };
    const Case cases[] = {
        // Corners 0 and 1 have cotangent 50000 and the apex -25000.
        {"needle", {0, 0, 0, 1, 0, 0, 0.5, 1e-5, 0}, 0, 3, 1, 5000, -5000},
        {"repeated corner", {0, 0, 0, 0, 0, 0, 1, 0, 0}, 3, 0, 0, 0, 0},
        {"collinear", {0, 0, 0, 1, 0, 0, 2, 0, 0}, 3, 0, 0, 0, 0},
        {"infinite corner", {0, 0, 0, 1, 0, 0, INFINITY, 1, 0}, 3, 0, 0, 0, 0},
        {"NaN corner", {0, 0, 0, 1, 0, 0, NAN, 1, 0}, 3, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Built b(c.p, {0, 1, 2});
        EXPECT_EQ(b.degen, c.degen) << b.line;
        EXPECT_EQ(b.clamp, c.clamp) << b.line;
        EXPECT_EQ(b.neg, c.neg) << b.line;
        EXPECT_EQ(b.w(1, 2), c.w12);
        EXPECT_EQ(b.w(0, 1), c.w01);
        for (int64_t e = 0; e < b.op.rowptr[3]; e++) EXPECT_TRUE(std::isfinite(b.op.val[e]));
    }
}

TEST(CotOp, ObtuseOppositeAnglesGiveOneNegativeEdge)
{
    // Two flat triangles sharing (0, 1) whose apexes see it at about 160
    // degrees each: cot sum negative, counted once for its two entries.
    Built b({0, 0, 0, 1, 0, 0, 0.5, 0.09, 0, 0.5, -0.09, 0}, {0, 1, 2, 1, 0, 3});
    EXPECT_LT(b.w(0, 1), 0);
    EXPECT_EQ(b.w(0, 1), b.w(1, 0));
    EXPECT_EQ(b.neg, 1) << b.line;
    EXPECT_EQ(b.degen, 0);
}

}  // namespace
