// Remeshing passes: which edges split, the face patterns that replace a
// split triangle, the pass loop's lines, its ceiling and its stability test.
#include "remesh/collapse.h"
#include "remesh/compaction.h"
#include "remesh/flip.h"
#include "remesh/remesh.h"
#include "remesh/split.h"
#include "core/edgetab.h"
#include "core/params.h"
#include "core/stores.h"
#include "core/targets.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <regex>
#include <string>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "test_support.h"
#include "velmor_kit.h"
#include "velmor_stores.h"

namespace {

using velmorkit::Params;

// Stores, contour key set and border over the given points; every point is
// a wall point unless np says otherwise. Targets start at targ (base alike)
// and new points get their base back (grad 0, no ceiling in the way).
struct Cap : velmorkit::OwnedStores {
    std::vector<double> points;
    std::vector<int32_t> contour;
    border bd{};

    Cap(const std::vector<double>& xyz, const std::vector<int32_t>& tri,
        const std::vector<double>& targ, std::vector<int32_t> loop = {})
        : points(xyz), contour(std::move(loop))
    {
        const int64_t nv = (int64_t)xyz.size() / 3;
        velmorkit::LoadPoints(&vs, xyz.data(), nv);
        for (int64_t i = 0; i < nv; i++) vs.targ[i] = vs.base[i] = targ[i];
        velmorkit::LoadRows(&ts, tri, tris_capacity_for((int64_t)tri.size() / 3 + 16));
        // No contour given: a loop over points no edge of the cap joins.
        std::vector<int32_t> keys = contour;
        if (keys.size() < 3) keys = {INT32_MAX - 2, INT32_MAX - 1, INT32_MAX};
        keyset_build(&ks, keys.data(), (int32_t)keys.size());
        if (contour.empty()) contour = {0};
        bd.n = (int32_t)contour.size();
        bd.contour = contour.data();
        bd.points = points.data();
        bd.targ = nullptr;
        bd.ceiling = 1e9;
        g_par.grad = 0;
    }
    // Runs remesh with stderr captured; returns it with the timing masked.
    std::string run(int32_t np)
    {
        return velmorkit::MaskRemeshTime(velmorkit::StderrOf([&] { remesh(&vs, &ts, &bd, &ks, np); }));
    }
    const double* at(int32_t v) const { return vs.xyz + 3 * (int64_t)v; }
};

// One pass that only splits: no flips, no collapses.
void split_only()
{
    g_par.max_passes = 1;
    g_par.flip_passes = 0;
    g_par.collapse_passes = 0;
    g_par.max_faces = 1 << 30;
    g_par.stop_frac = 0.0005;
}

double signed_area_z(const Cap& c, const int32_t* r)
{
    const double *a = c.at(r[0]), *b = c.at(r[1]), *d = c.at(r[2]);
    return (b[0] - a[0]) * (d[1] - a[1]) - (b[1] - a[1]) * (d[0] - a[0]);
}

}  // namespace

TEST(SplitPhase, FacePatterns)
{
    Params keep;
    split_only();
    // A (-1, 0), B (1, 0), C (cx, 2), counter-clockwise; sides AB = 2,
    // BC = CA = sqrt(5) when cx = 0. Per-corner targets choose the split
    // sides; labels mAB, mBC, mCA name midpoints.
    struct Case {
        const char* name;
        double cx;
        std::vector<int32_t> row;
        std::vector<double> targ;  // of A, B, C
        std::vector<std::vector<std::string>> want;
    };
    const Case cases[] = {
        {"nothing split", 0, {0, 1, 2}, {3, 3, 3}, {{"A", "B", "C"}}},
        {"only BC", 0, {0, 1, 2}, {3, 2, 2}, {{"B", "mBC", "A"}, {"mBC", "C", "A"}}},
        {"only AB", 0, {0, 1, 2}, {1, 1, 5}, {{"A", "mAB", "C"}, {"mAB", "B", "C"}}},
        {"only CA", 0, {0, 1, 2}, {2, 3, 2}, {{"C", "mCA", "B"}, {"mCA", "A", "B"}}},
        {"only BC, row starting at B", 0, {1, 2, 0}, {3, 2, 2},
         {{"B", "mBC", "A"}, {"mBC", "C", "A"}}},
        {"BC and CA, equal diagonals cut from A", 0, {0, 1, 2}, {2.1, 2.1, 2.1},
         {{"mBC", "C", "mCA"}, {"B", "mBC", "A"}, {"mBC", "mCA", "A"}}},
        {"BC and CA, shorter diagonal from B", 0.3, {0, 1, 2}, {2.05, 2.05, 2.05},
         {{"mBC", "C", "mCA"}, {"B", "mBC", "mCA"}, {"B", "mCA", "A"}}},
        {"AB and BC, shorter diagonal from A", 0, {0, 1, 2}, {2.5, 1, 2},
         {{"mAB", "B", "mBC"}, {"A", "mAB", "mBC"}, {"A", "mBC", "C"}}},
        {"AB and BC, row starting at C", 0, {2, 0, 1}, {2.5, 1, 2},
         {{"mAB", "B", "mBC"}, {"A", "mAB", "mBC"}, {"A", "mBC", "C"}}},
        {"all three", 0, {0, 1, 2}, {1, 1, 1},
         {{"A", "mAB", "mCA"}, {"mAB", "B", "mBC"}, {"mCA", "mBC", "C"},
          {"mAB", "mBC", "mCA"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<double> xyz = {-1, 0, 0, 1, 0, 0, c.cx, 2, 0};
        Cap cap(xyz, c.row, c.targ);
        cap.run(3);
        // Name every output corner by its position.
        auto label = [&](int32_t v) -> std::string {
            const char* names[] = {"A", "B", "C"};
            if (v < 3) return names[v];
            const char* sides[] = {"mAB", "mBC", "mCA"};
            for (int s = 0; s < 3; s++) {
                const double *p = &xyz[3 * s], *q = &xyz[3 * ((s + 1) % 3)];
                bool same = true;
                for (int k = 0; k < 3; k++) same &= cap.at(v)[k] == (p[k] + q[k]) * 0.5;
                if (same) return sides[s];
            }
            return "?";
        };
        std::vector<std::vector<std::string>> got;
        for (int64_t t = 0; t < cap.ts.n; t++) {
            const int32_t* r = cap.ts.tri + 3 * t;
            got.push_back({label(r[0]), label(r[1]), label(r[2])});
            EXPECT_GT(signed_area_z(cap, r), 0) << "winding of triangle " << t;
        }
        EXPECT_EQ(got, c.want);
        EXPECT_EQ(cap.vs.n, 3 + (int64_t)c.want.size() - 1) << "one created point per split side";
    }
}

// The split sides are looked up by their corners' numbers: corners far
// apart in the store (a few edges over a wide span of numbers) must find
// their midpoints as well as neighbouring ones.
TEST(SplitPhase, SidesFoundWhereverTheCornersAreNumbered)
{
    Params keep;
    split_only();
    struct Case { const char* name; std::vector<double> targ; int64_t triangles; };
    const Case cases[] = {{"all three sides", {1, 1, 1}, 4}, {"only AB", {1, 1, 5}, 2}, {"none", {3, 3, 3}, 1}};
    for (int32_t gap : {1, 3000}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << c.name << ", corners " << gap << " apart");
            const int32_t n = 2 * gap + 1;
            std::vector<double> xyz(3 * (size_t)n, 50.0), targ((size_t)n, 1.0);
            const double corner[3][3] = {{-1, 0, 0}, {1, 0, 0}, {0, 2, 0}};
            for (int k = 0; k < 3; k++) {
                for (int j = 0; j < 3; j++) xyz[3 * (size_t)(k * gap) + j] = corner[k][j];
                targ[(size_t)(k * gap)] = c.targ[k];
            }
            Cap cap(xyz, {0, gap, 2 * gap}, targ);
            cap.run(n);
            EXPECT_EQ(cap.ts.n, c.triangles);
            EXPECT_EQ(cap.vs.n, n + c.triangles - 1);
            for (int64_t t = 0; t < cap.ts.n; t++) EXPECT_GT(signed_area_z(cap, cap.ts.tri + 3 * t), 0) << t;
        }
    }
}

// The split phase's midpoint lookups held against a plain edge table on
// random caps, corners numbered side by side or far apart, with targets
// that split many sides or only those near one point (where the phase
// skips the lookups for triangles away from split edges): every long
// non-contour side splits in both its triangles, its midpoint numbered in
// (a, b) order, and no split side survives whole.
TEST(SplitPhase, RandomCapsMatchAPlainEdgeTable)
{
    Params keep;
    split_only();
    for (bool few : {false, true}) {
        for (int32_t spread : {1, 997}) {
            for (uint32_t seed = 1; seed <= 8; seed++) {
                SCOPED_TRACE(testing::Message() << "seed " << seed << ", corners " << spread << " apart"
                                                << (few ? ", few splits" : ""));
                const int grid_n = few ? 40 + (int)seed % 4 : 5 + (int)seed % 4;
                const velmorkit::RandomCap grid = velmorkit::RandomGridCap(grid_n, 500 + seed, 0.02);
                const int32_t nv = (int32_t)grid.xyz.size() / 3;
                const int32_t n = (nv - 1) * spread + 1;
                std::vector<double> xyz(3 * (size_t)n, 50.0), targ((size_t)n, 1.0);
                std::mt19937 rng(seed);
                std::uniform_real_distribution<double> steps(0.8, 1.6);
                const double cx = 0.3 + 0.05 * seed, cy = 0.6 - 0.03 * seed;
                for (int32_t v = 0; v < nv; v++) {
                    const double* p = &grid.xyz[3 * (size_t)v];
                    for (int k = 0; k < 3; k++) xyz[3 * (size_t)(v * spread) + k] = p[k];
                    const bool near = std::hypot(p[0] - cx, p[1] - cy) < 1.6 / grid_n;
                    targ[(size_t)(v * spread)] = few && !near ? 1e3 : steps(rng) / grid_n;
                }
                std::vector<int32_t> rows = grid.tri, loop = grid.contour;
                for (int32_t& c : rows) c *= spread;
                for (int32_t& c : loop) c *= spread;
                Cap cap(xyz, rows, targ, loop);

                // data[0]: the side's midpoint, 0 while whole.
                edgetab plain;
                edgetab_init(&plain, (int64_t)rows.size());
                for (size_t t = 0; t < rows.size(); t += 3)
                    for (int s = 0; s < 3; s++) {
                        int32_t fresh = 0;
                        edgetab_get(&plain, edge_key(rows[t + s], rows[t + (s + 1) % 3]), &fresh);
                    }
                std::vector<uint64_t> keys;
                for (int64_t u = 0; u < plain.nused; u++) keys.push_back(plain.slots[plain.used[u]].key);
                std::sort(keys.begin(), keys.end());  // (a, b) order
                int32_t next = n;
                for (uint64_t key : keys) {
                    const int32_t a = (int32_t)((key - 1) >> 32), b = (int32_t)((key - 1) & 0xffffffffu);
                    const double *pa = &xyz[3 * (size_t)a], *pb = &xyz[3 * (size_t)b];
                    const double dx = pa[0] - pb[0], dy = pa[1] - pb[1], dz = pa[2] - pb[2];
                    if (std::sqrt(dx * dx + dy * dy + dz * dz) > (targ[a] + targ[b]) * 0.5 && !keyset_has(&cap.ks, key))
                        edgetab_find(&plain, key)->data[0] = next++;
                }
                int64_t want_rows = 0;
                for (size_t t = 0; t < rows.size(); t += 3) {
                    want_rows++;
                    for (int s = 0; s < 3; s++)
                        want_rows += edgetab_find(&plain, edge_key(rows[t + s], rows[t + (s + 1) % 3]))->data[0] != 0;
                }

                cap.run(n);
                ASSERT_GT(next, n) << "some sides must split";
                if (few) {
                    ASSERT_LT(64 * (int64_t)(next - n), (int64_t)rows.size() / 3) << "the few-splits path";
                }
                ASSERT_EQ(cap.vs.n, next);
                EXPECT_EQ(cap.ts.n, want_rows);
                edgetab sides;
                edgetab_init(&sides, 3 * cap.ts.n);
                for (int64_t t = 0; t < cap.ts.n; t++)
                    for (int s = 0; s < 3; s++) {
                        const int32_t* r = cap.ts.tri + 3 * t;
                        const uint64_t key = edge_key(r[s], r[(s + 1) % 3]);
                        const edge_slot* was = edgetab_find(&plain, key);
                        EXPECT_TRUE(!was || was->data[0] == 0) << r[s] << "-" << r[(s + 1) % 3] << " split yet whole";
                        int32_t fresh = 0;
                        edgetab_get(&sides, key, &fresh);
                    }
                for (uint64_t key : keys) {
                    const int32_t m = edgetab_find(&plain, key)->data[0];
                    if (m == 0) continue;
                    const int32_t a = (int32_t)((key - 1) >> 32), b = (int32_t)((key - 1) & 0xffffffffu);
                    for (int k = 0; k < 3; k++)
                        EXPECT_EQ(cap.at(m)[k], (xyz[3 * (size_t)a + k] + xyz[3 * (size_t)b + k]) * 0.5);
                    EXPECT_TRUE(edgetab_find(&sides, edge_key(a, m)) && edgetab_find(&sides, edge_key(m, b)))
                        << "halves of " << a << "-" << b;
                }
                edgetab_free(&sides);
                edgetab_free(&plain);
            }
        }
    }
}

// The split phase keeps its edge list and table between calls: after calls on
// larger and smaller caps, corners side by side (indexed lookup) or far
// apart (searched list), a call must split as it does on fresh tables.
TEST(SplitPhase, TablesKeptFromEarlierCallsChangeNothing)
{
    Params keep;
    split_only();
    struct Shape { int grid_n; uint32_t seed; int32_t spread; };
    const Shape shapes[] = {{9, 601, 1}, {5, 602, 1}, {7, 603, 997}, {10, 604, 1}, {6, 605, 997}};
    struct Result { int64_t k = 0; std::vector<double> xyz; std::vector<int32_t> rows; };
    auto split_once = [](const Shape& sh) {
        const velmorkit::RandomCap grid = velmorkit::RandomGridCap(sh.grid_n, sh.seed, 0.02);
        const int32_t nv = (int32_t)grid.xyz.size() / 3;
        const int32_t n = (nv - 1) * sh.spread + 1;
        std::vector<double> xyz(3 * (size_t)n, 50.0), targ((size_t)n, 1.0);
        std::mt19937 rng(sh.seed);
        std::uniform_real_distribution<double> steps(0.8, 1.6);
        for (int32_t v = 0; v < nv; v++) {
            for (int k = 0; k < 3; k++) xyz[3 * (size_t)(v * sh.spread) + k] = grid.xyz[3 * (size_t)v + k];
            targ[(size_t)(v * sh.spread)] = steps(rng) / sh.grid_n;
        }
        std::vector<int32_t> rows = grid.tri, loop = grid.contour;
        for (int32_t& c : rows) c *= sh.spread;
        for (int32_t& c : loop) c *= sh.spread;
        Cap cap(xyz, rows, targ, loop);
        Result r;
        r.k = split_phase(&cap.vs, &cap.ts, &cap.bd, &cap.ks);
        r.xyz.assign(cap.vs.xyz, cap.vs.xyz + 3 * cap.vs.n);
        r.rows.assign(cap.ts.tri, cap.ts.tri + 3 * cap.ts.n);
        return r;
    };
    for (const Shape& sh : shapes) {
        SCOPED_TRACE(testing::Message() << "grid " << sh.grid_n << ", corners " << sh.spread << " apart");
        split_release();
        const Result fresh = split_once(sh);
        split_release();
        for (const Shape& before : shapes) split_once(before);
        const Result kept = split_once(sh);
        split_release();
        EXPECT_GT(fresh.k, 0);
        EXPECT_EQ(kept.k, fresh.k);
        EXPECT_EQ(kept.xyz, fresh.xyz);
        EXPECT_EQ(kept.rows, fresh.rows);
    }
}

// A cap large enough for the split loop and the face rebuild to run on the
// team: every team size must number the midpoints and write the rows as one
// thread does, and grow the stores to the same capacities.
TEST(SplitPhase, LargeCapsSplitAlikeOnEveryTeam)
{
    Params keep;
    split_only();
    const int grid_n = 150;
    const velmorkit::RandomCap grid = velmorkit::RandomGridCap(grid_n, 606, 0.02);
    const int32_t n = (int32_t)grid.xyz.size() / 3;
    std::vector<double> targ((size_t)n);
    std::mt19937 rng(606);
    std::uniform_real_distribution<double> steps(0.8, 1.6);
    for (double& t : targ) t = steps(rng) / grid_n;
    ASSERT_GT(grid.tri.size() / 3, 40000u) << "large enough for the team";
    struct Result {
        int64_t k, vcap, tcap;
        std::vector<double> xyz, targ, base;
        std::vector<int32_t> rows;
    };
    std::vector<Result> results;
    const int teams[] = {1, 2, 3, 8};
    for (int team : teams) {
        omp_set_num_threads(team);
        split_release();
        Cap cap(grid.xyz, grid.tri, targ, grid.contour);
        Result r;
        r.k = split_phase(&cap.vs, &cap.ts, &cap.bd, &cap.ks);
        r.vcap = cap.vs.cap;
        r.tcap = cap.ts.cap;
        r.xyz.assign(cap.vs.xyz, cap.vs.xyz + 3 * cap.vs.n);
        r.targ.assign(cap.vs.targ, cap.vs.targ + cap.vs.n);
        r.base.assign(cap.vs.base, cap.vs.base + cap.vs.n);
        r.rows.assign(cap.ts.tri, cap.ts.tri + 3 * cap.ts.n);
        results.push_back(r);
    }
    omp_set_num_threads(omp_get_num_procs());
    split_release();
    ASSERT_GT(results[0].k, 1000);
    ASSERT_LT(results[0].k, (int64_t)grid.tri.size()) << "some sides must stay whole";
    for (size_t i = 1; i < results.size(); i++) {
        SCOPED_TRACE(teams[i]);
        EXPECT_EQ(results[i].k, results[0].k);
        EXPECT_EQ(results[i].vcap, results[0].vcap);
        EXPECT_EQ(results[i].tcap, results[0].tcap);
        EXPECT_EQ(results[i].xyz, results[0].xyz);
        EXPECT_EQ(results[i].targ, results[0].targ);
        EXPECT_EQ(results[i].base, results[0].base);
        EXPECT_EQ(results[i].rows, results[0].rows);
    }
}

TEST(SplitPhase, WhichEdgesSplit)
{
    Params keep;
    split_only();
    // Square 0 (0,0) 1 (2,0) 2 (2,2) 3 (0,2) as two triangles sharing the
    // diagonal 0-2 (length 2 sqrt 2); sides are 2 long.
    const std::vector<double> xyz = {0, 0, 0, 2, 0, 0, 2, 2, 0, 0, 2, 0};
    const std::vector<int32_t> tri = {0, 1, 2, 0, 2, 3};
    struct Case {
        const char* name;
        double targ;
        std::vector<int32_t> contour;
        int64_t created;
    };
    const Case cases[] = {
        {"sides exactly at their threshold stay, the diagonal splits", 2.0, {}, 1},
        {"sides a little longer split", 2.0 - 1e-12, {}, 5},
        {"contour edges never split, the chord 0-2 does", 0.1, {0, 1, 2, 3}, 1},
        {"another loop over the same points: its chords split", 0.1, {0, 1, 3, 2}, 2},
        {"nothing longer than its target", 3.0, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Cap cap(xyz, tri, std::vector<double>(4, c.targ), c.contour);
        cap.run(4);
        EXPECT_EQ(cap.vs.n - 4, c.created);
    }
}

TEST(SplitPhase, NewPointsAreMidpointsWithMeanBaseAndFilledTarget)
{
    Params keep;
    split_only();
    Cap cap({0, 0, 0, 4, 0, 0, 0, 3, 0}, {0, 1, 2}, {1, 3, 4});
    cap.run(3);
    ASSERT_EQ(cap.vs.n, 6);
    // Edges in (a, b) order: (0,1), (0,2), (1,2).
    const double want_xyz[3][3] = {{2, 0, 0}, {0, 1.5, 0}, {2, 1.5, 0}};
    const double want_base[3] = {2, 2.5, 3.5};
    for (int i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        for (int k = 0; k < 3; k++) EXPECT_EQ(cap.at(3 + i)[k], want_xyz[i][k]);
        EXPECT_EQ(cap.vs.base[3 + i], want_base[i]);
        EXPECT_EQ(cap.vs.targ[3 + i], want_base[i]);  // grad 0: the fill gives base
    }
}

TEST(SplitPhase, VertexIndexRangeEndsAsMemoryFailure)
{
    Params keep;
    split_only();
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Cap cap({0, 0, 0, 4, 0, 0, 0, 3, 0}, {0, 1, 2}, {1, 1, 1});
            // A store claiming INT32_MAX vertices: the next point has no index.
            cap.vs.n = INT32_MAX;
            cap.vs.cap = (int64_t)1 << 40;
            remesh(&cap.vs, &cap.ts, &cap.bd, &cap.ks, 3);
        },
        testing::ExitedWithCode(3), "^memoire insuffisante \\([0-9]+ octets\\)\n$");
}

namespace {

// A strip of three unit equilateral triangles; with targets 0.8 every edge
// splits once and none of the halves again.
std::vector<double> strip_xyz()
{
    const double h = std::sqrt(3.0) / 2;
    return {0, 0, 0, 1, 0, 0, 2, 0, 0, 0.5, h, 0, 1.5, h, 0};
}
const std::vector<int32_t> kStrip = {0, 1, 3, 1, 4, 3, 1, 2, 4};

const char* kNoPointLines =
    "  cible d'arete des points crees : min 0.00 / max 0.00 mm\n";

}  // namespace

// A disc of radius r spanned by a fan over its n contour points, all wall
// points; targets at the contour spacing.
Cap fan_disc(double r, int n)
{
    std::vector<double> xyz;
    std::vector<int32_t> tri, loop;
    for (int i = 0; i < n; i++) {
        xyz.insert(xyz.end(), {r * std::cos(2 * M_PI * i / n), r * std::sin(2 * M_PI * i / n), 0});
        loop.push_back(i);
    }
    for (int i = 1; i + 1 < n; i++) tri.insert(tri.end(), {0, i, i + 1});
    return Cap(xyz, tri, std::vector<double>((size_t)n, 2 * M_PI * r / n), loop);
}

// One remeshing pass as remesh runs it, without its line.
void one_pass(Cap& c, int32_t np)
{
    split_phase(&c.vs, &c.ts, &c.bd, &c.ks);
    for (int phase = 0; phase < 2; phase++) {
        flip_phase_begin();
        for (int i = 0; i < g_par.flip_passes; i++) {
            int64_t refused = 0;
            if (flip_pass(&c.vs, &c.ts, &c.ks, np, &refused) == 0) break;
        }
        flip_phase_end();
        if (phase == 0) {
            collapse_counts cc;
            collapse_phase(&c.vs, &c.ts, &c.bd, np, &cc);
        }
    }
}

// Dropping the unnamed created points between passes keeps every order of
// indices the passes decide by: the next pass and the final compaction give
// the same cap as when they stay.
TEST(PassLoop, UnnamedPointsDroppedBetweenPassesChangeNothing)
{
    Params keep;
    g_par.max_faces = 1 << 30;
    const int n = 200;
    Cap dropped = fan_disc(15, n), kept = fan_disc(15, n);
    for (int p = 0; p < 8; p++) {
        one_pass(dropped, n);
        one_pass(kept, n);
    }
    ASSERT_EQ(dropped.vs.n, kept.vs.n);
    remesh_drop_unnamed(&dropped.vs, &dropped.ts, n);
    ASSERT_LT(dropped.vs.n, kept.vs.n) << "the cap must have lost many points";
    one_pass(dropped, n);
    one_pass(kept, n);
    const std::string early = velmorkit::StderrOf([&] { remesh_finish(&dropped.vs, &dropped.ts, n, 0.0); });
    const std::string late = velmorkit::StderrOf([&] { remesh_finish(&kept.vs, &kept.ts, n, 0.0); });
    flip_release();
    collapse_release();
    split_release();
    EXPECT_EQ(velmorkit::MaskRemeshTime(early), velmorkit::MaskRemeshTime(late));
    ASSERT_EQ(dropped.vs.n, kept.vs.n);
    ASSERT_EQ(dropped.ts.n, kept.ts.n);
    EXPECT_EQ(memcmp(dropped.ts.tri, kept.ts.tri, 12 * (size_t)kept.ts.n), 0);
    EXPECT_EQ(memcmp(dropped.vs.xyz, kept.vs.xyz, 24 * (size_t)kept.vs.n), 0);
    EXPECT_EQ(memcmp(dropped.vs.targ, kept.vs.targ, 8 * (size_t)kept.vs.n), 0);
}

TEST(PassLoop, LinesAndEndings)
{
    Params keep;
    g_par.flip_passes = 5;
    g_par.collapse_passes = 0;
    g_par.max_faces = 400000;
    struct Case {
        const char* name;
        int32_t max_passes;
        int64_t max_faces;
        double stop_frac;
        int32_t flip_passes;
        std::string want;
    };
    const std::string pass0 =
        "  remaillage passe 0: 7 coupes, 0 fusions (refus topo 0, geo 0, longueur 0), "
        "0 bascules (refus ecart 0), 12 faces\n";
    const std::string pass1 =
        "  remaillage passe 1: 0 coupes, 0 fusions (refus topo 0, geo 0, longueur 0), "
        "0 bascules (refus ecart 0), 12 faces\n";
    const std::string stats =
        "  cible d'arete des points crees : min 0.80 / max 0.80 mm\n"
        "  remaillage : T s ; arete max 0.50 mm ; plus petit angle : median 60.0 deg, "
        "0 tris < 10 deg, 0 tris < 5 deg\n";
    const Case cases[] = {
        {"no pass", 0, 400000, 0.0005, 5,
         std::string(kNoPointLines) +
             "  remaillage : T s ; arete max 1.00 mm ; plus petit angle : median 60.0 deg, "
             "0 tris < 10 deg, 0 tris < 5 deg\n"},
        {"face ceiling below the input", 40, 2, 0.0005, 5,
         "  coupe : PLAFOND 2 faces depasse, arret\n" + stats},
        {"7 changes over 12 faces: not stable, then stable", 40, 400000, 0.0005, 5,
         pass0 + pass1 + "  remaillage : stable apres 2 passe(s) (0 coupes + 0 fusions "
                         "residuelles)\n" + stats},
        {"stop fraction raising the floor to 12", 40, 400000, 1.0, 5,
         pass0 + "  remaillage : stable apres 1 passe(s) (7 coupes + 0 fusions residuelles)\n" +
             stats},
        {"passes run out", 1, 400000, 0.0005, 5, pass0 + stats},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_par.max_passes = c.max_passes;
        g_par.max_faces = c.max_faces;
        g_par.stop_frac = c.stop_frac;
        g_par.flip_passes = c.flip_passes;
        Cap cap(strip_xyz(), kStrip, std::vector<double>(5, 0.8));
        EXPECT_EQ(cap.run(5), c.want);
        if (c.max_passes == 0) {
            EXPECT_EQ(cap.vs.n, 5);
            EXPECT_EQ(std::vector<int32_t>(cap.ts.tri, cap.ts.tri + 9), kStrip);
        }
    }
}

TEST(PassLoop, PassWithoutSplitsKeepsTheArrayAndStillFlips)
{
    Params keep;
    g_par.max_passes = 1;
    g_par.collapse_passes = 0;
    g_par.max_faces = 400000;
    g_par.dev_in = 0.3;
    g_par.area_grow = 1.001;
    struct Case { int32_t flip_passes; const char* flips; };
    const Case cases[] = {{5, "1 bascules"}, {0, "0 bascules"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flip_passes);
        g_par.flip_passes = c.flip_passes;
        // A rhombus of created points whose targets forbid any split.
        Cap cap({-2, 0, 0, 2, 0, 0, 0, 0.5, 0, 0, -0.5, 0}, {0, 1, 2, 1, 0, 3},
                std::vector<double>(4, 10));
        const int32_t* before = cap.ts.tri;
        std::string err = cap.run(0);
        EXPECT_EQ(cap.ts.tri, before);
        const std::string line = std::string("  remaillage passe 0: 0 coupes, 0 fusions (refus topo 0, "
                                 "geo 0, longueur 0), ") + c.flips + " (refus ecart 0), 2 faces\n";
        EXPECT_NE(err.find(line), std::string::npos) << err;
    }
}

// ---------------------------------------------------------------- the program

namespace {

using velmorkit::RemeshRun;

RemeshRun run_remesh(const velmorkit::Mesh& mesh, const std::vector<std::string>& options = {},
                     const std::vector<std::string>& env = {})
{
    return velmorkit::RunRemesh(mesh, options, env);
}

std::string mask_times(const std::string& err) { return velmorkit::MaskSeconds(err, "T"); }

// Even-odd test against the contour polygon in the xy plane.
bool inside_polygon(const velmorkit::Mesh& mesh, double x, double y)
{
    bool in = false;
    const size_t n = mesh.contour.size();
    for (size_t i = 0, j = n - 1; i < n; j = i++) {
        const double* a = &mesh.points[3 * mesh.contour[i]];
        const double* b = &mesh.points[3 * mesh.contour[j]];
        if ((a[1] > y) != (b[1] > y) && x < (b[0] - a[0]) * (y - a[1]) / (b[1] - a[1]) + a[0])
            in = !in;
    }
    return in;
}

struct Fixture {
    const char* name;
    velmorkit::Mesh mesh;
};

std::vector<Fixture> fixtures()
{
    return {{"square hole", velmorkit::SquareHole()},
            {"disc", velmorkit::Disc()},
            {"cylinder", velmorkit::Cylinder()}};
}

// The disc with rows that repeat a corner after every few of its triangles:
// a side then has three rows, and the first collapse drops the repeats.
velmorkit::Mesh disc_with_repeated_corners()
{
    velmorkit::Mesh mesh = velmorkit::Disc();
    const size_t m = mesh.cap.size() / 3;
    for (size_t t = 0; t < m; t += 5) {
        const int32_t x = mesh.cap[3 * t], y = mesh.cap[3 * t + 1];
        mesh.cap.insert(mesh.cap.end(), {y, x, y});
    }
    return mesh;
}

}  // namespace

TEST(RemeshProgram, KitFixturesReachAStableSoundCap)
{
    for (const Fixture& f : fixtures()) {
        SCOPED_TRACE(f.name);
        const velmorkit::Mesh& mesh = f.mesh;
        RemeshRun r = run_remesh(mesh);
        ASSERT_EQ(r.run.status, 0) << r.run.err;
        EXPECT_NE(r.run.err.find("  remaillage : stable apres "), std::string::npos) << r.run.err;
        EXPECT_TRUE(velmorkit::OutputIsSound(mesh, r.bytes, velmorkit::Mode::kRemesh));
        EXPECT_GT(r.out.k, 0);
        const int32_t np = mesh.np();
        // Created points lie in the cap's plane, inside its contour.
        for (int32_t i = 0; i < r.out.k; i++) {
            const double* p = &r.out.xyz[3 * i];
            EXPECT_EQ(p[2], 0.0) << "point " << i;
            EXPECT_TRUE(inside_polygon(mesh, p[0], p[1])) << "point " << i;
        }
        std::set<int32_t> cap_walls(mesh.cap.begin(), mesh.cap.end());
        std::map<std::pair<int32_t, int32_t>, int> sides;
        for (int32_t t = 0; t < r.out.nt; t++)
            for (int s = 0; s < 3; s++) {
                int32_t a = r.out.tri[3 * t + s], b = r.out.tri[3 * t + (s + 1) % 3];
                if (a < np) {
                    EXPECT_TRUE(cap_walls.count(a)) << "wall point " << a;
                }
                sides[{a, b}]++;
            }
        // The sides used once, with no partner the other way, are exactly the
        // contour edges in the input cap's direction.
        std::set<std::pair<int32_t, int32_t>> boundary, contour;
        for (auto& [side, count] : sides) {
            if (!sides.count({side.second, side.first})) boundary.insert(side);
        }
        std::map<std::pair<int32_t, int32_t>, int> input_sides;
        for (int32_t t = 0; t < mesh.m(); t++)
            for (int s = 0; s < 3; s++)
                input_sides[{mesh.cap[3 * t + s], mesh.cap[3 * t + (s + 1) % 3]}]++;
        for (size_t i = 0; i < mesh.contour.size(); i++) {
            int32_t a = mesh.contour[i], b = mesh.contour[(i + 1) % mesh.contour.size()];
            contour.insert(input_sides.count({a, b}) ? std::make_pair(a, b) : std::make_pair(b, a));
        }
        EXPECT_EQ(boundary, contour);
    }
}

TEST(RemeshProgram, OptionsThatStopOrDisableWork)
{
    const velmorkit::Mesh mesh = velmorkit::Disc();
    struct Case {
        const char* name;
        std::vector<std::string> options;
        std::function<void(const RemeshRun&)> check;
    };
    const Case cases[] = {
        {"--max-passes 0 keeps the input cap", {"--max-passes", "0"},
         [&](const RemeshRun& r) {
             EXPECT_EQ(r.out.k, 0);
             EXPECT_EQ(r.out.tri, mesh.cap);
             EXPECT_EQ(r.run.err.find("remaillage passe"), std::string::npos);
             EXPECT_NE(r.run.err.find("  cible d'arete des points crees : min 0.00 / max 0.00 mm\n"),
                       std::string::npos);
         }},
        {"--max-faces below the input count", {"--max-faces", "5"},
         [&](const RemeshRun& r) {
             EXPECT_NE(r.run.err.find("  coupe : PLAFOND 5 faces depasse, arret\n"),
                       std::string::npos);
             EXPECT_EQ(r.run.err.find("remaillage passe"), std::string::npos);
             EXPECT_TRUE(velmorkit::OutputIsSound(mesh, r.bytes, velmorkit::Mode::kRemesh));
         }},
        {"--flip-passes 0", {"--flip-passes", "0"},
         [&](const RemeshRun& r) {
             std::regex pass("remaillage passe [0-9]+: .* ([0-9]+) bascules \\(refus ecart ([0-9]+)\\)");
             int lines = 0;
             for (std::sregex_iterator it(r.run.err.begin(), r.run.err.end(), pass), end; it != end;
                  ++it, ++lines) {
                 EXPECT_EQ((*it)[1], "0");
                 EXPECT_EQ((*it)[2], "0");
             }
             EXPECT_GT(lines, 0);
             EXPECT_TRUE(velmorkit::OutputIsSound(mesh, r.bytes, velmorkit::Mode::kRemesh));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RemeshRun r = run_remesh(mesh, c.options);
        ASSERT_EQ(r.run.status, 0) << r.run.err;
        c.check(r);
    }
}

TEST(RemeshProgram, SameBytesAndLinesForEveryThreadCount)
{
    // One thread patches the flip records over a collapse where a team
    // builds them again. A single flip sweep leaves a phase with rows still
    // to visit, a single collapse sub-pass changes fewer rows, and a finer
    // target gives sweeps of thousands of rows whose flips reach records the
    // patch did not list.
    const std::vector<std::vector<std::string>> option_sets = {
        {}, {"--flip-passes", "1"}, {"--collapse-passes", "1"}, {"--rim", "0.5", "--far", "0.5"}};
    std::vector<Fixture> inputs = fixtures();
    inputs.push_back({"disc with repeated corners", disc_with_repeated_corners()});
    for (const Fixture& f : inputs)
        for (const std::vector<std::string>& options : option_sets) {
            std::string trace = f.name;
            for (const std::string& o : options) trace += " " + o;
            SCOPED_TRACE(trace);
            RemeshRun one = run_remesh(f.mesh, options, {"OMP_NUM_THREADS=1"});
            ASSERT_EQ(one.run.status, 0);
            for (const char* threads : {"OMP_NUM_THREADS=2", "OMP_NUM_THREADS=8"}) {
                RemeshRun other = run_remesh(f.mesh, options, {threads});
                EXPECT_EQ(other.bytes, one.bytes) << threads;
                EXPECT_EQ(mask_times(other.run.err), mask_times(one.run.err)) << threads;
            }
        }
}
