// Crossing detection against a brute-force double loop for any team size,
// and whole --drape runs: a flat wall that nothing pierces, a wall with a
// spike through the cap, the pass limits, and thread-count independence.
#include "drape/drape.h"
#include "core/geometry.h"
#include "core/params.h"
#include "core/stores.h"
#include "core/targets.h"
#include "drape/wall_grid.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "test_support.h"
#include "velmor_kit.h"
#include "velmor_stores.h"

namespace {

using testsupport::Run;
using testsupport::TempDir;
using velmorkit::Mesh;
using velmorkit::Mode;

struct Result {
    std::vector<uint8_t> cross, far;
    int64_t ncross = 0, nfar = 0;
    double dmax = 0;
};

struct Scene {
    std::vector<double> wall_pts;
    std::vector<int32_t> wall_tri;
    std::vector<int32_t> contour;
    std::vector<double> pos;  // cap positions; indices below the wall count share wall points
    std::vector<int32_t> cap;
    wall_grid g{};
    border bd{};

    void Build()
    {
        testing::internal::CaptureStderr();
        wall_grid_build(&g, wall_pts.data(), (int32_t)(wall_pts.size() / 3), wall_tri.data(),
                        (int32_t)(wall_tri.size() / 3));
        testing::internal::GetCapturedStderr();
        bd.n = (int32_t)contour.size();
        bd.contour = contour.data();
        bd.points = wall_pts.data();
    }
    ~Scene() { wall_grid_free(&g); }

    Result Detect(int32_t nbuf)
    {
        std::vector<std::vector<int32_t>> bufs(nbuf, std::vector<int32_t>(wall_tri.size() / 3 + 1, -1));
        std::vector<int32_t*> table(nbuf);
        for (int32_t b = 0; b < nbuf; b++) table[b] = bufs[b].data();
        Result r;
        r.cross.assign(cap.size() / 3, 9);
        r.far.assign(cap.size() / 3, 9);
        tris ts{};
        ts.tri = cap.data();
        ts.n = (int64_t)cap.size() / 3;
        drape_job job{};
        job.grid = &g;
        job.bd = &bd;
        job.ts = &ts;
        job.pos = pos.data();
        job.scratch = table.data();
        job.nscratch = nbuf;
        job.cross_flag = r.cross.data();
        job.far_flag = r.far.data();
        drape(&job);
        r.ncross = job.ncross;
        r.nfar = job.nfar;
        r.dmax = job.dmax;
        return r;
    }

    // Every cap triangle against every wall triangle, by the same rules.
    Result Brute() const
    {
        Result r;
        for (size_t t = 0; t < cap.size(); t += 3) {
            const double* P[3] = {&pos[3 * cap[t]], &pos[3 * cap[t + 1]], &pos[3 * cap[t + 2]]};
            int64_t hits = 0;
            double dfar = 0;
            for (size_t w = 0; w < wall_tri.size(); w += 3) {
                const double* W[3] = {&wall_pts[3 * wall_tri[w]], &wall_pts[3 * wall_tri[w + 1]],
                                      &wall_pts[3 * wall_tri[w + 2]]};
                int shared = 0;
                for (const double* c : W) {
                    double m = INFINITY;
                    for (const double* p : P) {
                        double dx = c[0] - p[0], dy = c[1] - p[1], dz = c[2] - p[2];
                        m = std::min(m, dx * dx + dy * dy + dz * dz);
                    }
                    shared += m < 1e-18;
                }
                if (shared >= 2) continue;
                for (int k = 1; k <= 3; k++) {
                    int j = k % 3;
                    double s, X[3];
                    if (seg_tri_cross_t(P[k - 1], P[j], W[0], W[1], W[2], &s)) {
                        for (int a = 0; a < 3; a++) X[a] = P[k - 1][a] + s * (P[j][a] - P[k - 1][a]);
                        hits++;
                        dfar = std::max(dfar, border_nearest(&bd, X));
                    }
                    if (seg_tri_cross_t(W[k - 1], W[j], P[0], P[1], P[2], &s)) {
                        for (int a = 0; a < 3; a++) X[a] = W[k - 1][a] + s * (W[j][a] - W[k - 1][a]);
                        hits++;
                        dfar = std::max(dfar, border_nearest(&bd, X));
                    }
                }
            }
            uint8_t c = hits > 0, f = hits > 0 && dfar > g_par.dbord;
            r.cross.push_back(c);
            r.far.push_back(f);
            r.ncross += c;
            r.nfar += f;
            if (c) r.dmax = std::max(r.dmax, dfar);
        }
        return r;
    }
};

void ExpectSame(const Result& got, const Result& want)
{
    EXPECT_EQ(got.cross, want.cross);
    EXPECT_EQ(got.far, want.far);
    EXPECT_EQ(got.ncross, want.ncross);
    EXPECT_EQ(got.nfar, want.nfar);
    EXPECT_EQ(got.dmax, want.dmax);
}

TEST(Detection, MatchesBruteForceForEveryTeamSize)
{
    const params saved = g_par;
    g_par.dbord = 3.0;
    for (uint64_t seed : {11u, 12u}) {
        SCOPED_TRACE(seed);
        Scene s;
        std::mt19937_64 rng(seed);
        std::uniform_real_distribution<double> u(-8, 8), o(-1, 1);
        // A wavy wall sheet over a grid, its border the contour.
        const int n = 24;
        for (int j = 0; j < n; j++)
            for (int i = 0; i < n; i++) {
                double x = -9 + 18.0 * i / (n - 1), y = -9 + 18.0 * j / (n - 1);
                s.wall_pts.insert(s.wall_pts.end(), {x, y, 0.8 * std::sin(0.7 * x) * std::cos(0.5 * y)});
            }
        for (int j = 0; j + 1 < n; j++)
            for (int i = 0; i + 1 < n; i++) {
                int32_t a = j * n + i;
                s.wall_tri.insert(s.wall_tri.end(), {a, a + 1, a + n + 1, a, a + n + 1, a + n});
            }
        for (int i = 0; i < n; i++) s.contour.push_back(i);
        s.pos = s.wall_pts;
        // Cap triangles of every shape, some slim with a far corner, some
        // sharing wall points, some lying on the wall itself.
        int32_t nw = (int32_t)(s.pos.size() / 3);
        for (int t = 0; t < 600; t++) {
            int32_t base = (int32_t)(s.pos.size() / 3);
            double c[3] = {u(rng), u(rng), 1.2 * o(rng)};
            double len = t % 5 == 0 ? 6 : 1.2;
            for (int k = 0; k < 3; k++) {
                double f = (k == 2 && t % 5 == 0) ? 1.0 : 0.15;
                s.pos.insert(s.pos.end(), {c[0] + len * f * o(rng), c[1] + len * f * o(rng), c[2] + len * f * o(rng)});
            }
            if (t % 7 == 0) {
                s.cap.insert(s.cap.end(), {(int32_t)(rng() % nw), base + 1, base + 2});
            } else {
                s.cap.insert(s.cap.end(), {base, base + 1, base + 2});
            }
        }
        s.cap.insert(s.cap.end(), {s.wall_tri[30], s.wall_tri[31], s.wall_tri[32]});
        s.Build();
        Result want = s.Brute();
        EXPECT_GT(want.ncross, 20);
        EXPECT_GT(want.nfar, 0);
        EXPECT_LT(want.nfar, want.ncross);
        EXPECT_EQ(want.cross.back(), 0);
        for (int32_t threads : {1, 2, 3, 8}) {
            SCOPED_TRACE(threads);
            ExpectSame(s.Detect(threads), want);
        }
    }
    g_par = saved;
}

TEST(Detection, SlimTriangleCrossingNearItsFarCorner)
{
    // The wall is one small triangle; the cap triangle is a long sliver whose
    // far corner pokes through it, well over 0.6 of its length from its centroid.
    Scene s;
    s.wall_pts = {9.9, -0.05, -0.05, 9.9, 0.05, -0.05, 9.9, 0.0, 0.06};
    s.wall_tri = {0, 1, 2};
    s.contour = {0, 1, 2};
    s.pos = {0, -0.01, 0, 0, 0.01, 0, 10, 0, 0};
    s.cap = {0, 1, 2};
    s.Build();
    Result got = s.Detect(2);
    EXPECT_EQ(got.ncross, 1);
    ExpectSame(got, s.Brute());
}

TEST(Detection, NoCrossingKeepsZeroResults)
{
    Scene s;
    s.wall_pts = {0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0};
    s.wall_tri = {0, 1, 2, 1, 3, 2};
    s.contour = {0, 1, 3, 2};
    // Lying on the wall (all corners shared), touching it at one corner, above it.
    s.pos = s.wall_pts;
    s.pos.insert(s.pos.end(), {0.3, 0.3, 1, 0.6, 0.2, 1, 2, 2, 2});
    s.cap = {0, 1, 2, 3, 4, 5, 0, 6, 5};
    s.Build();
    Result got = s.Detect(3);
    EXPECT_EQ(got.ncross, 0);
    EXPECT_EQ(got.nfar, 0);
    EXPECT_EQ(got.dmax, 0.0);
    EXPECT_EQ(got.cross, std::vector<uint8_t>(3, 0));
    EXPECT_EQ(got.far, std::vector<uint8_t>(3, 0));
}

// ------------------------------------------------------------ whole runs

// The disc fixture with a closed, low pyramid rising from under the cap
// through its middle; outward normals, so the material side is outside it.
Mesh Spiked()
{
    Mesh m = velmorkit::Disc();
    int32_t b = m.np();
    const double half = 4.0, cx = 1.0, cy = 0.5;
    const double corner[4][2] = {{-1, -1}, {1, -1}, {1, 1}, {-1, 1}};
    for (const auto& c : corner) m.points.insert(m.points.end(), {cx + half * c[0], cy + half * c[1], -1.0});
    m.points.insert(m.points.end(), {cx, cy, 0.6});
    for (int i = 0; i < 4; i++) m.faces.insert(m.faces.end(), {b + i, b + (i + 1) % 4, b + 4});
    m.faces.insert(m.faces.end(), {b, b + 3, b + 2, b, b + 2, b + 1});
    return m;
}

struct RunOut {
    testsupport::RunResult res;
    std::vector<uint8_t> bytes;
    velmorkit::Output out;
};

RunOut RunVelmor(const Mesh& mesh, Mode mode, const std::vector<std::string>& opts, int threads = 0)
{
    TempDir dir;
    velmorkit::WriteInput(dir.file("in.bin"), mesh);
    std::vector<std::string> argv = {VELMOR_EXE, velmorkit::ModeWord(mode), dir.file("in.bin"), dir.file("out.bin")};
    argv.insert(argv.end(), opts.begin(), opts.end());
    std::vector<std::string> env;
    if (threads > 0) env.push_back("OMP_NUM_THREADS=" + std::to_string(threads));
    RunOut r;
    r.res = Run(argv, env);
    if (r.res.status != 0) {
        ADD_FAILURE() << r.res.err;
        return r;
    }
    r.bytes = testsupport::ReadBytes(dir.file("out.bin"));
    std::string error;
    EXPECT_TRUE(velmorkit::ParseOutput(r.bytes, mode, &r.out, &error)) << error;
    EXPECT_TRUE(velmorkit::OutputIsSound(mesh, r.bytes, mode));
    return r;
}

int Count(const std::string& text, const std::string& piece)
{
    int n = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) n++;
    return n;
}

std::string MaskTimes(const std::string& err) { return velmorkit::MaskSeconds(err, "#"); }

double WallDistance(const Mesh& m, const double* p, double* signed_dist)
{
    double best = INFINITY;
    for (int32_t t = 0; t < m.nf(); t++) {
        const double* A = &m.points[3 * m.faces[3 * t]];
        const double* B = &m.points[3 * m.faces[3 * t + 1]];
        const double* C = &m.points[3 * m.faces[3 * t + 2]];
        double d = dist_point_tri(p, A, B, C);
        if (d < best) {
            best = d;
            double u[3] = {B[0] - A[0], B[1] - A[1], B[2] - A[2]}, v[3] = {C[0] - A[0], C[1] - A[1], C[2] - A[2]};
            double n[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
            *signed_dist = (p[0] - A[0]) * n[0] + (p[1] - A[1]) * n[1] + (p[2] - A[2]) * n[2];
        }
    }
    return best;
}

// A run that froze nothing, left nothing crossing and moved no point.
void ExpectNothingPushed(const RunOut& r)
{
    EXPECT_NE(r.res.err.find("drap : 0 sommet(s) fige(s) au total (repoussages par sommet :), traversants "
                             "restants = 0, distance max au bord des points de percement = 0.00 mm\n"),
              std::string::npos)
        << r.res.err;
    EXPECT_EQ(r.out.draped, r.out.faired);
    EXPECT_EQ(r.out.dmax, 0.0);
}

TEST(DrapeRun, FlatWallNeedsNoPush)
{
    Mesh mesh = velmorkit::SquareHole();
    RunOut r = RunVelmor(mesh, Mode::kDrape, {});
    ASSERT_GT(r.out.k, 0);
    EXPECT_EQ(r.bytes.size(), 16 + 72 * (size_t)r.out.k + 12 * (size_t)r.out.nt);
    EXPECT_EQ(Count(r.res.err, "  drap : detection "), 1) << r.res.err;
    EXPECT_NE(r.res.err.find("  drap : detection 0 : 0 triangle(s) traversant(s), 0 avec"), std::string::npos);
    EXPECT_EQ(Count(r.res.err, "drap passe"), 0);
    ExpectNothingPushed(r);
}

TEST(DrapeRun, SpikeIsPushedOffToGuardDistancesOnTheMaterialSide)
{
    Mesh mesh = Spiked();
    RunOut r = RunVelmor(mesh, Mode::kDrape, {});
    ASSERT_GT(r.out.k, 0);
    const std::string& err = r.res.err;
    EXPECT_NE(err.find("  cote matiere : signe +1 x normale"), std::string::npos) << err;
    EXPECT_GE(Count(err, "drap passe"), 1) << err;
    EXPECT_GE(Count(err, "relissage"), 1) << err;
    int moved = 0;
    for (int32_t i = 0; i < r.out.k; i++) {
        const double* f = &r.out.faired[3 * i];
        const double* d = &r.out.draped[3 * i];
        double sd = 0, dist = WallDistance(mesh, d, &sd);
        bool pushed = false;
        // A frozen point sits exactly at one of its guards: nothing moved it later.
        for (int k = 1; k <= 5; k++)
            if (std::fabs(dist - 0.3 * k) < 1e-9) pushed = true;
        if (!pushed) continue;
        moved++;
        EXPECT_GT(sd, 0) << i;
        EXPECT_NE(std::memcmp(f, d, 24), 0);
    }
    EXPECT_GT(moved, 0);
    // The last detection finds no crossing away from the contour.
    std::smatch last;
    std::string tail = err.substr(err.rfind("  drap : detection "));
    ASSERT_TRUE(std::regex_search(tail, last, std::regex("traversant\\(s\\), ([0-9]+) avec")));
    EXPECT_EQ(last[1], "0") << err;
    EXPECT_GE(r.out.dmax, 0.0);
}

TEST(DrapeRun, PassLimits)
{
    Mesh mesh = Spiked();
    {
        SCOPED_TRACE("no pass");
        RunOut r = RunVelmor(mesh, Mode::kDrape, {"--drap-passes", "0"});
        EXPECT_EQ(Count(r.res.err, "  drap : detection "), 1) << r.res.err;
        EXPECT_EQ(Count(r.res.err, "drap passe"), 0);
        EXPECT_EQ(Count(r.res.err, "frolement"), 0);
        EXPECT_EQ(r.out.draped, r.out.faired);
        EXPECT_GT(r.out.dmax, g_par.dbord);
        char want[64];
        snprintf(want, sizeof want, "= %.2f mm\n", r.out.dmax);
        EXPECT_NE(r.res.err.find(want), std::string::npos) << r.res.err;
    }
    {
        SCOPED_TRACE("negative");
        RunOut r = RunVelmor(mesh, Mode::kDrape, {"--drap-passes", "-2"});
        EXPECT_EQ(Count(r.res.err, "  drap : detection "), 0) << r.res.err;
        ExpectNothingPushed(r);
    }
    {
        SCOPED_TRACE("guard not a number");
        RunOut r = RunVelmor(mesh, Mode::kDrape, {"--clear", "nan"});
        for (double v : r.out.draped) EXPECT_TRUE(std::isfinite(v));
        EXPECT_EQ(r.out.draped, r.out.faired);
    }
}

TEST(DrapeRun, SameBytesForEveryThreadCount)
{
    Mesh mesh = Spiked();
    RunOut one = RunVelmor(mesh, Mode::kDrape, {}, 1);
    ASSERT_FALSE(one.bytes.empty());
    for (int threads : {2, 3, 8}) {
        SCOPED_TRACE(threads);
        RunOut r = RunVelmor(mesh, Mode::kDrape, {}, threads);
        EXPECT_EQ(r.bytes, one.bytes);
        EXPECT_EQ(MaskTimes(r.res.err), MaskTimes(one.res.err));
    }
}

}  // namespace
