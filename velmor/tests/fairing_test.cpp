// Spring fairing: the operator product, agreement with a dense direct
// solve, the one-free-vertex closed form, tolerance and iteration limits,
// and the two breakdowns that must end on finite positions.
#include "fair/fairing.h"
#include "core/params.h"
#include "core/stores.h"
#include "core/targets.h"
#include "fair/cot_op.h"

#include <gtest/gtest.h>

#include "test_support.h"
#include "velmor_kit.h"
#include "velmor_stores.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <regex>
#include <string>
#include <vector>

namespace {

struct Line {
    std::string text;
    long long nfree = -1, iters = -1;
    double residual = NAN, median = NAN, dmax = NAN;
};

Line ParseLine(const std::string& text, const char* label)
{
    Line l;
    l.text = text;
    std::string fmt = std::string("  ") + label +
                      " : %lld sommets libres, CG %lld iterations (3 coordonnees), residu relatif max %lf, "
                      "ecart a la position remaillee median %lf / max %lf mm";
    if (sscanf(text.c_str(), fmt.c_str(), &l.nfree, &l.iters, &l.residual, &l.median, &l.dmax) != 5)
        ADD_FAILURE() << "unexpected line: " << text;
    return l;
}

// A cap-like patch: an n x n grid, gently curved, its outer ring fixed.
struct Patch {
    int n;
    std::vector<double> rest;
    std::vector<int32_t> tri;
    std::vector<uint8_t> mask;
    cot_op op{};

    explicit Patch(int side, int extra_isolated = 0) : n(side)
    {
        for (int j = 0; j < n; j++)
            for (int i = 0; i < n; i++) {
                double x = i + 0.2 * std::sin(1.7 * i + 3.1 * j), y = j + 0.2 * std::cos(2.3 * i - j);
                rest.insert(rest.end(), {x, y, 0.3 * std::sin(0.9 * x + 0.4 * y)});
                bool border = i == 0 || j == 0 || i == n - 1 || j == n - 1;
                mask.push_back(border ? 0 : 1);
            }
        for (int e = 0; e < extra_isolated; e++) {
            rest.insert(rest.end(), {50.0 + e, -3.0, 7.0});
            mask.push_back(1);
        }
        for (int j = 0; j + 1 < n; j++)
            for (int i = 0; i + 1 < n; i++) {
                int32_t a = j * n + i, b = a + 1, c = a + n + 1, d = a + n;
                tri.insert(tri.end(), {a, b, c, a, c, d});
            }
        verts vs{};
        vs.xyz = rest.data();
        vs.n = (int64_t)rest.size() / 3;
        tris ts{};
        ts.tri = tri.data();
        ts.n = (int64_t)tri.size() / 3;
        testing::internal::CaptureStderr();
        cot_op_build(&op, &vs, &ts);
        testing::internal::GetCapturedStderr();
    }
    ~Patch() { cot_op_free(&op); }
    int64_t nv() const { return (int64_t)rest.size() / 3; }
    int64_t nfree() const
    {
        int64_t k = 0;
        for (uint8_t m : mask) k += m;
        return k;
    }
};

Line Fair(const Patch& p, std::vector<double>& pos, double lambda, int64_t nfree = -1)
{
    testing::internal::CaptureStderr();
    fair_spring_cg(&p.op, p.mask.data(), p.rest.data(), pos.data(), nfree < 0 ? p.nfree() : nfree, "essai",
                   lambda);
    return ParseLine(testing::internal::GetCapturedStderr(), "essai");
}

// Dense solve of the spring system by Gaussian elimination with pivoting.
std::vector<double> DenseSolve(const Patch& p, const std::vector<double>& pos, double lambda)
{
    std::vector<int64_t> idx(p.nv(), -1), list;
    for (int64_t i = 0; i < p.nv(); i++)
        if (p.mask[i]) {
            idx[i] = (int64_t)list.size();
            list.push_back(i);
        }
    size_t k = list.size();
    std::vector<double> out = pos;
    for (int c = 0; c < 3; c++) {
        std::vector<double> A(k * k, 0.0), b(k, 0.0);
        for (size_t r = 0; r < k; r++) {
            int64_t i = list[r];
            A[r * k + r] = lambda * p.op.diag[i] + p.op.mass[i];
            b[r] = p.op.mass[i] * p.rest[3 * i + c];
            for (int64_t e = p.op.rowptr[i]; e < p.op.rowptr[i + 1]; e++) {
                int32_t j = p.op.col[e];
                if (p.mask[j]) A[r * k + idx[j]] -= lambda * p.op.val[e];
                else b[r] += lambda * p.op.val[e] * pos[3 * j + c];
            }
        }
        for (size_t col = 0; col < k; col++) {
            size_t piv = col;
            for (size_t r = col + 1; r < k; r++)
                if (std::fabs(A[r * k + col]) > std::fabs(A[piv * k + col])) piv = r;
            for (size_t x = 0; x < k; x++) std::swap(A[col * k + x], A[piv * k + x]);
            std::swap(b[col], b[piv]);
            for (size_t r = col + 1; r < k; r++) {
                double f = A[r * k + col] / A[col * k + col];
                for (size_t x = col; x < k; x++) A[r * k + x] -= f * A[col * k + x];
                b[r] -= f * b[col];
            }
        }
        for (size_t r = k; r-- > 0;) {
            double s = b[r];
            for (size_t x = r + 1; x < k; x++) s -= A[r * k + x] * b[x];
            b[r] = s / A[r * k + r];
        }
        for (size_t r = 0; r < k; r++) out[3 * list[r] + c] = b[r];
    }
    return out;
}

class Fairing : public testing::Test {
protected:
    void SetUp() override { saved_ = g_par; }
    void TearDown() override { g_par = saved_; }
    params saved_{};
};

TEST_F(Fairing, MatvecMatchesTheSystemRowsAndTouchesOnlyTheList)
{
    Patch p(6);
    const double lambda = 3.5;
    std::vector<int64_t> list;
    for (int64_t i = 0; i < p.nv(); i++)
        if (p.mask[i]) list.push_back(i);
    std::vector<double> v(p.nv()), y(p.nv(), -123.0);
    for (int64_t i = 0; i < p.nv(); i++) v[i] = std::sin(1.3 * i) + 2;
    // Only the first half of the list is applied.
    int64_t half = (int64_t)list.size() / 2;
    smooth_matvec(&p.op, p.mask.data(), v.data(), y.data(), list.data(), half, lambda);
    for (int64_t i = 0; i < p.nv(); i++) {
        bool listed = std::find(list.begin(), list.begin() + half, i) != list.begin() + half;
        if (!listed) {
            EXPECT_EQ(y[i], -123.0) << i;
            continue;
        }
        double want = (lambda * p.op.diag[i] + p.op.mass[i]) * v[i];
        for (int64_t e = p.op.rowptr[i]; e < p.op.rowptr[i + 1]; e++)
            if (p.mask[p.op.col[e]]) want -= lambda * p.op.val[e] * v[p.op.col[e]];
        EXPECT_NEAR(y[i], want, 1e-12 * (1 + std::fabs(want))) << i;
    }
}

// The solve's product streams the free rows renumbered; it must give the
// bits of the product over the whole store, and its v . y in row order.
TEST_F(Fairing, FreeRowProductMatchesTheStoreProductBitForBit)
{
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> value(-3, 3);
    for (int side : {3, 7, 12}) {
        for (double lambda : {0.0, 0.7, 41.0}) {
            SCOPED_TRACE(testing::Message() << side << " x " << side << ", lambda " << lambda);
            Patch p(side, 2);
            // Interior vertices fixed at random too: free rows then have fixed neighbours.
            for (size_t i = 0; i < p.mask.size(); i++)
                if (p.mask[i] && rng() % 4 == 0) p.mask[i] = 0;
            std::vector<int64_t> list;
            for (int64_t i = 0; i < p.nv(); i++)
                if (p.mask[i]) list.push_back(i);
            const int64_t k = (int64_t)list.size();
            std::vector<double> v(p.nv()), y(p.nv(), 0.0), v_free(k), y_free(k, -1.0);
            for (double& x : v) x = value(rng);
            for (int64_t l = 0; l < k; l++) v_free[l] = v[list[l]];

            smooth_matvec(&p.op, p.mask.data(), v.data(), y.data(), list.data(), k, lambda);
            free_system fs;
            free_system_build(&fs, &p.op, p.mask.data(), list.data(), k, lambda);
            const double vy = free_matvec(&fs, v_free.data(), y_free.data());
            free_system_free(&fs);

            double want_vy = 0;
            for (int64_t l = 0; l < k; l++) {
                EXPECT_EQ(std::memcmp(&y_free[l], &y[list[l]], sizeof(double)), 0) << "row of vertex " << list[l];
                want_vy += v[list[l]] * y[list[l]];
            }
            EXPECT_EQ(std::memcmp(&vy, &want_vy, sizeof(double)), 0);
        }
    }
}

TEST_F(Fairing, AgreesWithDenseSolveAndKeepsFixedVerticesBitwise)
{
    g_par.cg_tol = 1e-13;
    for (double lambda : {0.5, 100.0}) {
        SCOPED_TRACE(lambda);
        Patch p(8);
        std::vector<double> start = p.rest;
        // Fixed vertices as boundary data away from rest, free ones start off.
        for (int64_t i = 0; i < p.nv(); i++) start[3 * i + 2] += p.mask[i] ? 0.7 : 0.25 * std::cos(1.0 * i);
        std::vector<double> pos = start;
        Line l = Fair(p, pos, lambda);
        std::vector<double> want = DenseSolve(p, start, lambda);
        for (int64_t i = 0; i < p.nv(); i++)
            for (int c = 0; c < 3; c++) {
                if (p.mask[i]) {
                    EXPECT_NEAR(pos[3 * i + c], want[3 * i + c], 1e-9) << i << "/" << c;
                } else {
                    EXPECT_EQ(std::memcmp(&pos[3 * i + c], &start[3 * i + c], sizeof(double)), 0);
                }
            }
        EXPECT_EQ(l.nfree, 36);
        EXPECT_GT(l.iters, 0);
        EXPECT_LE(l.residual, 1e-13);
        EXPECT_GT(l.dmax, 0);
        EXPECT_LE(l.median, l.dmax);
    }
}

TEST_F(Fairing, OneFreeVertexReachesTheClosedFormInOneIteration)
{
    // A hexagon fan whose centre alone is free.
    Patch p(2);
    p.rest = {0.1, -0.2, 0.3};
    p.mask = {1};
    p.tri.clear();
    for (int k = 0; k < 6; k++) {
        double a = k * M_PI / 3;
        p.rest.insert(p.rest.end(), {2 * std::cos(a), 1.5 * std::sin(a), 0.2 * k});
        p.mask.push_back(0);
        p.tri.insert(p.tri.end(), {0, 1 + k, 1 + (k + 1) % 6});
    }
    cot_op_free(&p.op);
    verts vs{};
    vs.xyz = p.rest.data();
    vs.n = 7;
    tris ts{};
    ts.tri = p.tri.data();
    ts.n = 6;
    testing::internal::CaptureStderr();
    cot_op_build(&p.op, &vs, &ts);
    testing::internal::GetCapturedStderr();

    const double lambda = 100;
    std::vector<double> pos = p.rest;
    pos[0] += 1.0;  // the start need not be the rest position
    Line l = Fair(p, pos, lambda);
    EXPECT_LE(l.iters, 3);
    EXPECT_EQ(l.median, l.dmax);
    for (int c = 0; c < 3; c++) {
        double num = p.op.mass[0] * p.rest[c];
        for (int64_t e = p.op.rowptr[0]; e < p.op.rowptr[1]; e++)
            num += lambda * p.op.val[e] * p.rest[3 * p.op.col[e] + c];
        EXPECT_NEAR(pos[c], num / (lambda * p.op.diag[0] + p.op.mass[0]), 1e-12) << c;
    }
}

TEST_F(Fairing, ResidualUnderToleranceUnlessOutOfIterations)
{
    struct Case {
        double tol;
        int64_t cg_max;
    };
    const Case cases[] = {{1e-12, 20000}, {1e-8, 20000}, {1e-3, 20000}, {1e-12, 4}, {1e-12, 1}, {1e-12, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.tol << " / " << c.cg_max);
        g_par.cg_tol = c.tol;
        g_par.cg_max = c.cg_max;
        Patch p(12);
        std::vector<double> pos = p.rest;
        for (int64_t i = 0; i < p.nv(); i++)
            if (p.mask[i]) pos[3 * i] += 0.5 * std::sin(2.0 * i);
        Line l = Fair(p, pos, 100);
        EXPECT_LE(l.iters, 3 * c.cg_max);
        if (l.iters < c.cg_max) {
            EXPECT_LE(l.residual, c.tol) << l.text;
        }
        if (c.cg_max == 0) {
            // Nothing solved: positions as given, the starting residual shown.
            EXPECT_GT(l.residual, 0) << l.text;
            EXPECT_EQ(l.iters, 0);
        }
        for (double v : pos) EXPECT_TRUE(std::isfinite(v));
    }
}

TEST_F(Fairing, EmptyFreeListLeavesPositionsAndPrintsZeros)
{
    Patch p(4);
    std::fill(p.mask.begin(), p.mask.end(), 0);
    std::vector<double> pos = p.rest;
    pos[5] = 9.0;
    Line l = Fair(p, pos, 100);
    EXPECT_EQ(l.iters, 0);
    EXPECT_NE(l.text.find("residu relatif max 0.0e+00, ecart a la position remaillee median 0.000 / max 0.000"),
              std::string::npos)
        << l.text;
    EXPECT_EQ(pos[5], 9.0);
}

TEST_F(Fairing, FreeListSizedFromTheMaskNotTheAnnouncedCount)
{
    Patch p(7);
    std::vector<double> right = p.rest, low = p.rest;
    for (size_t i = 0; i < right.size(); i += 7) right[i] = low[i] = right[i] + 0.3;
    Fair(p, right, 100);
    Line l = Fair(p, low, 100, 1);
    EXPECT_EQ(l.nfree, 1);
    EXPECT_EQ(std::memcmp(right.data(), low.data(), right.size() * sizeof(double)), 0);
}

TEST_F(Fairing, BreakdownsEndOnFinitePositions)
{
    // Zero right-hand side with a nonzero start: the iterates shrink towards
    // zero until a step's curvature vanishes.
    {
        SCOPED_TRACE("zero right-hand side");
        Patch p(6);
        std::fill(p.rest.begin(), p.rest.end(), 0.0);
        std::vector<double> pos(p.rest.size(), 0.0);
        for (int64_t i = 0; i < p.nv(); i++)
            if (p.mask[i]) pos[3 * i + 1] = 1e-3 * (1 + i % 5);
        g_par.cg_tol = 1e-12;
        Line l = Fair(p, pos, 100);
        for (double v : pos) {
            EXPECT_TRUE(std::isfinite(v));
            EXPECT_LT(std::fabs(v), 1e-3);
        }
        EXPECT_TRUE(std::isfinite(l.residual)) << l.text;
    }
    // A free vertex on no triangle: zero diagonal and mass.
    {
        SCOPED_TRACE("free vertex of zero diagonal");
        Patch with(6, 2), without(6);
        std::vector<double> a = with.rest, b = without.rest;
        for (size_t i = 0; i < b.size(); i += 4) a[i] = b[i] = b[i] + 0.2;
        Line l = Fair(with, a, 100);
        Fair(without, b, 100);
        for (double v : a) EXPECT_TRUE(std::isfinite(v));
        EXPECT_TRUE(std::isfinite(l.residual)) << l.text;
        for (size_t i = 0; i < b.size(); i++) EXPECT_NEAR(a[i], b[i], 1e-10) << i;
        for (size_t i = b.size(); i < a.size(); i++) EXPECT_EQ(a[i], with.rest[i]);
    }
}

// ------------------------------------------------------------ whole runs

struct SmoothRun {
    testsupport::RunResult res;
    std::vector<uint8_t> bytes;
    velmorkit::Output out;
};

SmoothRun RunSmooth(const velmorkit::Mesh& mesh, int threads)
{
    testsupport::TempDir dir;
    velmorkit::WriteInput(dir.file("in.bin"), mesh);
    SmoothRun r;
    r.res = testsupport::Run({VELMOR_EXE, "--smooth", dir.file("in.bin"), dir.file("out.bin")},
                             {"OMP_NUM_THREADS=" + std::to_string(threads)});
    EXPECT_EQ(r.res.status, 0) << r.res.err;
    r.bytes = testsupport::ReadBytes(dir.file("out.bin"));
    std::string error;
    EXPECT_TRUE(velmorkit::ParseOutput(r.bytes, velmorkit::Mode::kSmooth, &r.out, &error)) << error;
    EXPECT_TRUE(velmorkit::OutputIsSound(mesh, r.bytes, velmorkit::Mode::kSmooth));
    return r;
}

std::string MaskTimes(const std::string& err) { return velmorkit::MaskSeconds(err, "#"); }

TEST(SmoothRun, WritesFairedBlockKeepsPlanarCapsFlatAndIgnoresThreadCount)
{
    struct Case {
        const char* name;
        velmorkit::Mesh mesh;
    };
    const Case cases[] = {
        {"square hole", velmorkit::SquareHole()},
        {"disc", velmorkit::Disc()},
        {"cylinder", velmorkit::Cylinder()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SmoothRun one = RunSmooth(c.mesh, 1);
        const int64_t k = one.out.k;
        ASSERT_GT(k, 0) << one.res.err;
        EXPECT_EQ(one.bytes.size(), (size_t)(8 + 48 * k + 12 * (int64_t)one.out.nt));
        EXPECT_NE(one.res.err.find("  lissage (rayon 10 mm) : " + std::to_string(k) + " sommets libres, CG "),
                  std::string::npos)
            << one.res.err;
        EXPECT_NE(one.res.err.find("  operateur cotangente : "), std::string::npos);
        // Every cap lies in z = 0: a zero right-hand side and start in z.
        for (int64_t i = 0; i < k; i++) EXPECT_EQ(one.out.faired[3 * i + 2], 0.0) << i;
        SmoothRun eight = RunSmooth(c.mesh, 8);
        EXPECT_EQ(eight.bytes, one.bytes);
        EXPECT_EQ(MaskTimes(eight.res.err), MaskTimes(one.res.err));
    }
}

TEST(SmoothRun, RemeshModeBuildsNoOperator)
{
    testsupport::TempDir dir;
    velmorkit::WriteInput(dir.file("in.bin"), velmorkit::Disc());
    testsupport::RunResult r = testsupport::Run({VELMOR_EXE, "--remesh", dir.file("in.bin"), dir.file("out.bin")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("operateur cotangente"), std::string::npos);
    EXPECT_EQ(r.err.find("lissage"), std::string::npos);
}

}  // namespace
