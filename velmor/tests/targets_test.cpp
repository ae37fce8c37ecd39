// Target field on small walls built in code: border targets, gradation,
// ceiling and its line, nearest contour point, and the parallel fill.
#include "core/targets.h"
#include "core/params.h"
#include "core/stores.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

// A wall, contour and cap held in vectors, with the stores as the run sets
// them up: every wall point at targ = base = rim.
struct Scene {
    std::vector<double> points;
    std::vector<int32_t> faces, contour, cap;
    std::vector<double> xyz, targ, base;
    input in{};
    verts vs{};
    border bd{};

    int32_t add_point(double x, double y, double z)
    {
        points.insert(points.end(), {x, y, z});
        return (int32_t)(points.size() / 3 - 1);
    }
    void add_face(int32_t a, int32_t b, int32_t c) { faces.insert(faces.end(), {a, b, c}); }

    // Runs the border set-up and returns what it printed.
    std::string setup()
    {
        in = {(int32_t)(points.size() / 3), (int32_t)(faces.size() / 3), (int32_t)contour.size(),
              (int32_t)(cap.size() / 3), points.data(), faces.data(), contour.data(), cap.data()};
        xyz = points;
        targ.assign(points.size() / 3, g_par.rim);
        base = targ;
        vs = {xyz.data(), targ.data(), base.data(), (int64_t)(points.size() / 3), 0};
        testing::internal::CaptureStderr();
        border_setup(&bd, &vs, &in);
        return testing::internal::GetCapturedStderr();
    }
    ~Scene() { free(bd.targ); }
};

class Targets : public testing::Test {
protected:
    void SetUp() override { saved_ = g_par; }
    void TearDown() override { g_par = saved_; }
    params saved_;
};

// Contour point 0 lies in two wall triangles whose sides there measure
// 1, 3 (shared) and 1; contour points 1 and 2 touch no wall triangle.
void two_triangle_wall(Scene& s)
{
    int32_t c = s.add_point(0, 0, 0);
    int32_t x = s.add_point(1, 0, 0);
    int32_t y = s.add_point(0, 3, 0);
    int32_t z = s.add_point(-1, 0, 0);
    s.add_face(c, x, y);
    s.add_face(c, y, z);
    int32_t p = s.add_point(10, 10, 0), q = s.add_point(-10, 10, 0);
    s.contour = {c, p, q};
    s.cap = {c, p, q};
}

TEST_F(Targets, SharedSideCountsOncePerTriangle)
{
    Scene s;
    two_triangle_wall(s);
    s.setup();
    EXPECT_EQ(s.bd.targ[0], 2.0);  // (1 + 3 + 3 + 1) / 4, not 5 / 3
    EXPECT_EQ(s.base[0], 2.0);
    EXPECT_TRUE(std::isnan(s.targ[0]));
    for (int k : {1, 2}) {
        SCOPED_TRACE(k);
        EXPECT_EQ(s.bd.targ[k], g_par.rim) << "untouched contour point gets rim";
        EXPECT_EQ(s.base[s.contour[k]], g_par.rim);
        EXPECT_TRUE(std::isnan(s.targ[s.contour[k]]));
    }
    // Wall points off the contour keep what the stores gave them.
    for (int v : {1, 2, 3}) {
        EXPECT_EQ(s.targ[v], g_par.rim);
        EXPECT_EQ(s.base[v], g_par.rim);
    }
}

TEST_F(Targets, RimFloorsShortWallSides)
{
    g_par.rim = 2.5;
    Scene s;
    two_triangle_wall(s);
    s.setup();
    EXPECT_EQ(s.bd.targ[0], 2.5);
    EXPECT_EQ(s.base[0], 2.5);
}

// Three contour points, each the corner of its own wall triangle with two
// sides of length L there: border targets L.
void three_targets(Scene& s, const double (&len)[3])
{
    for (int k = 0; k < 3; k++) {
        double x0 = 100.0 * k;
        int32_t c = s.add_point(x0, 0, 0);
        int32_t a = s.add_point(x0 + len[k], 0, 0);
        int32_t b = s.add_point(x0, len[k], 0);
        s.add_face(c, a, b);
        s.contour.push_back(c);
    }
    s.cap = {s.contour[0], s.contour[1], s.contour[2]};
}

TEST_F(Targets, GradationAlongTheContour)
{
    struct Case {
        const char* name;
        double rim_grad;
        double want[3];
        const char* line;  // nullptr: no gradation line
    };
    const Case cases[] = {
        {"off by default", 0.0, {1, 1, 8}, nullptr},
        {"factor 1 changes nothing", 1.0, {1, 1, 8}, nullptr},
        {"NaN changes nothing", NAN, {1, 1, 8}, nullptr},
        // Position 1 is raised twice (to 2, then 4); both raises count.
        {"factor 2", 2.0, {4, 4, 8}, "  cible : gradation 2 le long du bord, 3 relevement(s)\n"},
        {"factor 16, already within", 16.0, {1, 1, 8}, "  cible : gradation 16 le long du bord, 0 relevement(s)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_par.rim = 0.1;
        g_par.rim_grad = c.rim_grad;
        Scene s;
        three_targets(s, {1, 1, 8});
        std::string err = s.setup();
        for (int k = 0; k < 3; k++) {
            EXPECT_EQ(s.bd.targ[k], c.want[k]) << k;
            EXPECT_EQ(s.base[s.contour[k]], c.want[k]) << k;
        }
        std::string min_max = c.want[0] == 4 ? "bord min 4.00 / max 8.00" : "bord min 1.00 / max 8.00";
        EXPECT_NE(err.find(min_max), std::string::npos) << err;
        if (c.line) {
            EXPECT_EQ(err.rfind(c.line, 0), 0u) << err;
        } else {
            EXPECT_EQ(err.find("gradation"), std::string::npos) << err;
        }
    }
}

TEST_F(Targets, GradationRaisesAllTheWayRound)
{
    // One large target on a long loop lifts every position, both ways.
    g_par.rim = 0.1;
    g_par.rim_grad = 1.5;
    Scene s;
    const int n = 12;
    for (int k = 0; k < n; k++) {
        double len = k == 5 ? 81.0 : 1.0;
        int32_t c = s.add_point(1000.0 * k, 0, 0);
        s.add_face(c, s.add_point(1000.0 * k + len, 0, 0), s.add_point(1000.0 * k, len, 0));
        s.contour.push_back(c);
    }
    s.cap = {s.contour[0], s.contour[4], s.contour[8]};
    s.setup();
    for (int k = 0; k < n; k++) {
        int hops = std::min((k - 5 + n) % n, (5 - k + n) % n);
        double want = 81.0;
        for (int h = 0; h < hops; h++) want /= 1.5;
        EXPECT_NEAR(s.bd.targ[k], std::max(want, 1.0), 1e-12) << k;
    }
}

// Square contour of side 10 in z = 0; a small wall triangle at each corner
// gives it the border target 1; the cap is one triangle over the square and
// one reaching up to an apex.
void square(Scene& s)
{
    const double corner[4][2] = {{0, 0}, {10, 0}, {10, 10}, {0, 10}};
    for (const auto& c : corner) s.contour.push_back(s.add_point(c[0], c[1], 0));
    for (int k = 0; k < 4; k++) {
        int32_t c = s.contour[k];
        s.add_face(c, s.add_point(corner[k][0], corner[k][1], -1), s.add_point(corner[k][0], corner[k][1], 1));
    }
    // The far cap corner stands 30 mm off the plane so the centroid of the
    // second triangle is well away from every contour point.
    int32_t apex = s.add_point(5, 5, 30);
    s.cap = {s.contour[0], s.contour[1], s.contour[2], s.contour[0], s.contour[2], apex};
}

TEST_F(Targets, CeilingAndItsLine)
{
    // Centroid of the apex triangle: (5, 5, 10); nearest corner at
    // sqrt(25 + 25 + 100) = sqrt(150); the other centroid is nearer.
    const double W = std::sqrt(150.0);
    struct Case {
        const char* name;
        double far, far_ratio, rim;
        double ceiling;
        double contour_targ;
    };
    const Case cases[] = {
        {"half-width decides", 6.0, 0.35, 0.5, 0.35 * W, 1.0},
        {"far caps the half-width", 3.0, 0.35, 0.5, 3.0, 1.0},
        {"border target decides", 6.0, 0.01, 0.5, 1.0, 1.0},
        // The contour's own targets are capped while its base keeps 4.
        {"far below the border targets", 2.0, 0.35, 4.0, 2.0, 2.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_par.far = c.far;
        g_par.far_ratio = c.far_ratio;
        g_par.rim = c.rim;
        Scene s;
        square(s);
        std::string err = s.setup();
        EXPECT_DOUBLE_EQ(s.bd.ceiling, c.ceiling);
        double bt = std::max(c.rim, 1.0);
        char want[256];
        snprintf(want, sizeof want,
                 "  cible : bord min %.2f / max %.2f mm (plancher %g), +%g mm/mm, plafond %.2f mm "
                 "(%g x %.1f mm de demi-largeur, max %g)\n",
                 bt, bt, c.rim, 0.5, c.ceiling, c.far_ratio, W, c.far);
        EXPECT_EQ(err, want);
        targets_fill(&s.bd, &s.vs);
        for (int k = 0; k < 4; k++) {
            EXPECT_EQ(s.bd.targ[k], bt);
            EXPECT_EQ(s.base[s.contour[k]], bt);
            EXPECT_EQ(s.targ[s.contour[k]], c.contour_targ);
        }
        for (double t : s.targ) EXPECT_FALSE(std::isnan(t));
    }
}

TEST_F(Targets, LineByHand)
{
    // Defaults; border targets 1 at every corner; W = sqrt(150) = 12.247...,
    // 0.35 W = 4.2866, under far = 6.
    Scene s;
    square(s);
    EXPECT_EQ(s.setup(),
              "  cible : bord min 1.00 / max 1.00 mm (plancher 0.5), +0.5 mm/mm, plafond 4.29 mm "
              "(0.35 x 12.2 mm de demi-largeur, max 6)\n");
}

TEST_F(Targets, NearestContourPointNotSegment)
{
    Scene s;
    square(s);
    s.setup();
    struct Case { const char* name; double p[3], want; };
    const Case cases[] = {
        {"on a corner", {10, 10, 0}, 0},
        {"halfway along an edge", {5, 0, 0}, 5},
        {"centre", {5, 5, 0}, std::sqrt(50.0)},
        {"above a corner", {0, 0, 7}, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_DOUBLE_EQ(border_nearest(&s.bd, c.p), c.want);
    }
    const double nan_point[3] = {NAN, 0, 0};
    EXPECT_EQ(border_nearest(&s.bd, nan_point), 1e150) << "a NaN distance never wins";
}

TEST_F(Targets, FillGrowsWithDistanceUnderTheCeiling)
{
    Scene s;
    square(s);
    s.setup();  // ceiling 0.35 * sqrt(150)
    // Created points appended as the remeshing does: base set, targ NaN.
    struct Created { double p[3], base, targ, want; };
    const double ceiling = s.bd.ceiling;
    const Created created[] = {
        {{5, 0, 0}, 1.0, NAN, 1.0 + 0.5 * 5},
        {{5, 5, 0}, 1.0, NAN, std::min(1.0 + 0.5 * std::sqrt(50.0), ceiling)},
        {{5, 5, 30}, 1.0, NAN, ceiling},
        {{5, 5, 0}, 1.0, 0.25, 0.25},  // already set: kept
    };
    for (const Created& c : created) {
        s.xyz.insert(s.xyz.end(), c.p, c.p + 3);
        s.base.push_back(c.base);
        s.targ.push_back(c.targ);
    }
    s.vs = {s.xyz.data(), s.targ.data(), s.base.data(), (int64_t)s.targ.size(), 0};
    targets_fill(&s.bd, &s.vs);
    int64_t first = (int64_t)s.points.size() / 3;
    for (int i = 0; i < 4; i++) EXPECT_DOUBLE_EQ(s.targ[first + i], created[i].want) << i;
    for (double t : s.targ) {
        EXPECT_FALSE(std::isnan(t));
        EXPECT_LE(t, ceiling);
    }
}

TEST_F(Targets, FillIsTheSameForEveryThreadCount)
{
    // A ring contour and many scattered vertices, half of them invalidated;
    // more than one chunk of 256 per thread.
    std::mt19937_64 rng(17);
    std::uniform_real_distribution<double> u(-50, 50);
    std::vector<double> points;
    std::vector<int32_t> contour;
    for (int k = 0; k < 400; k++) {
        double a = 2 * M_PI * k / 400;
        points.insert(points.end(), {40 * std::cos(a), 40 * std::sin(a), 0.1 * k});
        contour.push_back(k);
    }
    border bd{(int32_t)contour.size(), contour.data(), points.data(), nullptr, 7.5};
    const int64_t nv = 30000;
    std::vector<double> xyz(3 * nv), base(nv), start(nv);
    for (int64_t i = 0; i < nv; i++) {
        for (int j = 0; j < 3; j++) xyz[3 * i + j] = u(rng);
        base[i] = 0.5 + (double)(rng() % 100) / 37;
        start[i] = rng() % 2 ? NAN : 1.25;
    }
    std::vector<std::vector<double>> results;
    for (int threads : {1, 2, 3, 8}) {
        std::vector<double> targ = start;
        verts vs{xyz.data(), targ.data(), base.data(), nv, 0};
        omp_set_num_threads(threads);
        targets_fill(&bd, &vs);
        results.push_back(targ);
    }
    omp_set_num_threads(omp_get_num_procs());
    for (size_t r = 1; r < results.size(); r++)
        EXPECT_EQ(memcmp(results[0].data(), results[r].data(), nv * sizeof(double)), 0) << r;
    // And the value is the formula, in its order of operations.
    for (int64_t i = 0; i < nv; i++) {
        if (!std::isnan(start[i])) {
            ASSERT_EQ(results[0][i], 1.25);
            continue;
        }
        double v = border_nearest(&bd, &xyz[3 * i]) * 0.5 + base[i];
        ASSERT_EQ(results[0][i], v < 7.5 ? v : 7.5) << i;
    }
}

// With no growth the distance cannot matter, but the bits must still be
// those of d x grad + base: a zero of grad's sign added to base (which shows
// on a base of -0), and the ceiling over it.
TEST_F(Targets, FillWithoutGrowthKeepsTheFormulasBits)
{
    Scene s;
    square(s);
    s.setup();
    const double ceiling = s.bd.ceiling;
    struct Created { double p[3], base; };
    const Created created[] = {
        {{5, 0, 0}, 1.0}, {{500, -300, 7}, 1.5}, {{NAN, 0, 0}, 0.75},
        {{2, 2, 0}, -0.0}, {{1, 1, 0}, ceiling * 4}, {{3, 1, 0}, NAN},
    };
    for (double grad : {0.0, -0.0}) {
        SCOPED_TRACE(grad);
        g_par.grad = grad;
        std::vector<double> xyz = s.points, targ(s.points.size() / 3, 0.5), base = targ;
        for (const Created& c : created) {
            xyz.insert(xyz.end(), c.p, c.p + 3);
            base.push_back(c.base);
            targ.push_back(NAN);
        }
        verts vs{xyz.data(), targ.data(), base.data(), (int64_t)targ.size(), 0};
        targets_fill(&s.bd, &vs);
        for (int64_t i = (int64_t)s.points.size() / 3; i < vs.n; i++) {
            double v = border_nearest(&s.bd, &xyz[3 * i]) * grad + base[i];
            double want = v < ceiling ? v : ceiling;
            EXPECT_EQ(memcmp(&targ[i], &want, sizeof want), 0) << i << ": " << targ[i] << " vs " << want;
        }
    }
}

}  // namespace

// ---------------------------------------------------------------- whole runs

#include "test_support.h"
#include "velmor_kit.h"

namespace {

std::string run_remesh_stderr(const velmorkit::Mesh& mesh, const std::vector<std::string>& options)
{
    testsupport::TempDir dir;
    velmorkit::WriteInput(dir.file("in.bin"), mesh);
    std::vector<std::string> argv = {VELMOR_EXE, "--remesh", dir.file("in.bin"), dir.file("out.bin")};
    argv.insert(argv.end(), options.begin(), options.end());
    testsupport::RunResult r = testsupport::Run(argv);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.err;
}

// The disc with the second-ring point behind contour points 7 and 8 pulled
// out to radius 60: their wall sides grow to about 50 mm.
velmorkit::Mesh bumped_disc()
{
    velmorkit::Mesh mesh = velmorkit::Disc();
    const double a = 2 * M_PI * 8 / 32;
    mesh.points[3 * (32 + 8)] = 60 * std::cos(a);
    mesh.points[3 * (32 + 8) + 1] = 60 * std::sin(a);
    return mesh;
}

TEST(TargetLines, PrintedByTheRun)
{
    // Square hole (10 mm in a 30 mm square): each hole corner meets six wall
    // sides, two of sqrt(200), two of sqrt(500) and two of 10 (the hole side
    // shared by two wall triangles): mean 15.50. Both cap centroids lie
    // 10 sqrt(2) / 3 = 4.71 from the nearest corner; 0.35 x 4.71 < 15.50, and
    // far = 6 caps the ceiling.
    const std::string square =
        "  cible : bord min 15.50 / max 15.50 mm (plancher 0.5), +0.5 mm/mm, plafond 6.00 mm "
        "(0.35 x 4.7 mm de demi-largeur, max 6)\n";
    // Disc of radius 10 in 32 segments, next ring at 12: each contour point
    // meets two radial sides of 2, two chords of 1.960 and two diagonals of
    // 2.935: mean 2.30. The fan triangles next to the far side have their
    // centroid 10/3 from the centre, 6.67 from the contour; 0.35 x 6.67 =
    // 2.33 is the ceiling.
    const std::string disc =
        "  cible : bord min 2.30 / max 2.30 mm (plancher 0.5), +0.5 mm/mm, plafond 2.33 mm "
        "(0.35 x 6.7 mm de demi-largeur, max 6)\n";
    // Bumped disc: contour points 7 and 8 get 18.06 and 18.30; with a
    // factor 2 their neighbours 6, 5 and 9, 10 are raised (4 raises), the
    // rest stays 2.30; far 20 leaves the largest border target as ceiling.
    const std::string bumped =
        "  cible : bord min 2.30 / max 18.30 mm (plancher 0.5), +0.5 mm/mm, plafond 18.30 mm "
        "(0.35 x 6.7 mm de demi-largeur, max 20)\n";
    struct Case {
        const char* name;
        velmorkit::Mesh mesh;
        std::vector<std::string> options;
        std::string gradation;  // empty: no gradation line
        std::string line;
    };
    const Case cases[] = {
        {"square hole", velmorkit::SquareHole(), {}, "", square},
        {"square hole, factor 2", velmorkit::SquareHole(), {"--rim-grad", "2"},
         "  cible : gradation 2 le long du bord, 0 relevement(s)\n", square},
        {"disc", velmorkit::Disc(), {}, "", disc},
        {"disc, factor 2", velmorkit::Disc(), {"--rim-grad", "2"},
         "  cible : gradation 2 le long du bord, 0 relevement(s)\n", disc},
        {"bumped disc", bumped_disc(), {"--far", "20"}, "", bumped},
        {"bumped disc, factor 2", bumped_disc(), {"--far", "20", "--rim-grad", "2"},
         "  cible : gradation 2 le long du bord, 4 relevement(s)\n", bumped},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string err = run_remesh_stderr(c.mesh, c.options);
        // Right after the header line, gradation first.
        size_t header_end = err.find('\n');
        ASSERT_NE(header_end, std::string::npos) << err;
        EXPECT_EQ(err.substr(header_end + 1, c.gradation.size() + c.line.size()), c.gradation + c.line)
            << err;
        if (c.gradation.empty()) {
            EXPECT_EQ(err.find("gradation"), std::string::npos) << err;
        }
    }
}

}  // namespace
