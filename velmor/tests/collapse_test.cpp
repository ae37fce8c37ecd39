// Collapse sub-passes: which short edges merge, the three refusals, the
// merges that would break the surface, locking within a sub-pass, how many
// sub-passes run, and whole runs whose pass lines show merges.
#include "remesh/collapse.h"
#include "core/params.h"
#include "core/sort.h"
#include "core/stores.h"
#include "core/targets.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"
#include "velmor_kit.h"
#include "velmor_stores.h"

namespace {

using velmorkit::Params;

// A mesh in code: points (x, y, z), triangles, the wall point count and
// per-point targets and bases.
struct Fixture {
    std::vector<double> xyz;
    std::vector<int32_t> tri;
    int32_t np = 0;
    std::vector<double> targ, base;

    int32_t add(double x, double y, double z, double t)
    {
        xyz.insert(xyz.end(), {x, y, z});
        targ.push_back(t);
        base.push_back(t);
        return (int32_t)targ.size() - 1;
    }
    void face(int32_t a, int32_t b, int32_t c) { tri.insert(tri.end(), {a, b, c}); }
    double* at(int32_t v) { return &xyz[3 * (size_t)v]; }
};

// The stores and border of a fixture. grad 0 and a high ceiling make a
// refilled target equal to the vertex's base.
struct Stores : velmorkit::OwnedStores {
    border bd{};
    std::vector<int32_t> contour;
    std::vector<double> points;

    explicit Stores(const Fixture& f) : points(f.xyz)
    {
        const int64_t nv = (int64_t)f.targ.size();
        velmorkit::LoadPoints(&vs, f.xyz.data(), nv);
        memcpy(vs.targ, f.targ.data(), sizeof(double) * nv);
        memcpy(vs.base, f.base.data(), sizeof(double) * nv);
        velmorkit::LoadRows(&ts, f.tri, tris_capacity_for((int64_t)f.tri.size() / 3));
        for (int32_t v = 0; v < std::max(f.np, 1); v++) contour.push_back(v);
        bd.n = (int32_t)contour.size();
        bd.contour = contour.data();
        bd.points = points.data();
        bd.ceiling = 1e9;
        g_par.grad = 0;
    }
    collapse_counts run(int32_t np)
    {
        collapse_counts c{-1, -1, -1, -1};
        collapse_phase(&vs, &ts, &bd, np, &c);
        return c;
    }
    std::vector<int32_t> triangles() const { return {ts.tri, ts.tri + 3 * ts.n}; }
    const double* at(int32_t v) const { return vs.xyz + 3 * (int64_t)v; }
};

using Counts = std::array<int64_t, 4>;  // collapses, topo, geo, len

Counts as_array(const collapse_counts& c) { return {c.collapses, c.topo, c.geo, c.len}; }

// Everything that makes a triangle list unfit as a surface, one line each:
// a repeated corner, the same corner set twice, a side held by more than two
// triangles, a side run twice in one direction.
std::vector<std::string> surface_faults(const std::vector<int32_t>& tri)
{
    std::vector<std::string> faults;
    std::set<std::array<int32_t, 3>> seen;
    std::map<std::pair<int32_t, int32_t>, int> sides, directed;
    for (size_t t = 0; t < tri.size() / 3; t++) {
        std::array<int32_t, 3> c = {tri[3 * t], tri[3 * t + 1], tri[3 * t + 2]};
        if (c[0] == c[1] || c[1] == c[2] || c[2] == c[0])
            faults.push_back("repeated corner in triangle " + std::to_string(t));
        std::array<int32_t, 3> sorted = c;
        std::sort(sorted.begin(), sorted.end());
        if (!seen.insert(sorted).second) faults.push_back("duplicate triangle " + std::to_string(t));
        for (int j = 0; j < 3; j++) {
            int32_t a = c[j], b = c[(j + 1) % 3];
            sides[{std::min(a, b), std::max(a, b)}]++;
            if (++directed[{a, b}] == 2)
                faults.push_back("side " + std::to_string(a) + "->" + std::to_string(b) + " run twice");
        }
    }
    for (auto& [side, n] : sides)
        if (n > 2)
            faults.push_back("side " + std::to_string(side.first) + "-" + std::to_string(side.second) +
                             " held by " + std::to_string(n));
    return faults;
}

// z of (b - a) x (c - a): positive for a counter-clockwise triangle seen from +z.
double turn_z(const double* a, const double* b, const double* c)
{
    return (b[0] - a[0]) * (c[1] - a[1]) - (b[1] - a[1]) * (c[0] - a[0]);
}

// Wall points N, E, S, W (0..3) at distance r around two created points
// a = 4 at (-d, 0) and b = 5 at (d, 0); ab is interior, N and S its common
// neighbours. Counter-clockwise seen from +z.
Fixture diamond(double d = 0.1, double r = 0.8, double wall_targ = 1.0, double created_targ = 1.0)
{
    Fixture f;
    const int32_t N = f.add(0, r, 0, wall_targ), E = f.add(r, 0, 0, wall_targ);
    const int32_t S = f.add(0, -r, 0, wall_targ), W = f.add(-r, 0, 0, wall_targ);
    f.np = 4;
    const int32_t a = f.add(-d, 0, 0, created_targ), b = f.add(d, 0, 0, created_targ);
    f.face(a, b, N);
    f.face(b, a, S);
    f.face(b, E, N);
    f.face(b, S, E);
    f.face(a, N, W);
    f.face(a, W, S);
    return f;
}

enum { kN = 0, kE = 1, kS = 2, kW = 3, kA = 4, kB = 5 };

// Wall points 0, 1, ... in the order given, then the short created edge
// a (0, 0, 0) - b (0.1, 0, 0); rows name its ends kEndA and kEndB.
enum { kEndA = -1, kEndB = -2 };
Fixture short_edge_among(const std::vector<std::array<double, 3>>& wall, const std::vector<int32_t>& rows)
{
    Fixture f;
    for (const std::array<double, 3>& p : wall) f.add(p[0], p[1], p[2], 1);
    f.np = (int32_t)wall.size();
    const int32_t a = f.add(0, 0, 0, 1), b = f.add(0.1, 0, 0, 1);
    for (int32_t v : rows) f.tri.push_back(v == kEndA ? a : v == kEndB ? b : v);
    return f;
}

}  // namespace

TEST(CollapseDiamond, CandidatesAndRefusals)
{
    struct Case {
        const char* name;
        std::function<Fixture()> make;
        std::function<void()> params;
        Counts want;
    };
    const Case cases[] = {
        {"short interior edge merges", [] { return diamond(); }, [] {}, {1, 0, 0, 0}},
        {"length exactly at collapse x mean target is no candidate",
         [] { return diamond(0.125, 0.7, 1.0, 0.5); }, [] { g_par.collapse = 0.5; }, {0, 0, 0, 0}},
        {"length just under collapse x mean target merges",
         [] { return diamond(0.125, 0.7, 1.0, 0.5); }, [] { g_par.collapse = 0.5000001; },
         {1, 0, 0, 0}},
        {"a wall point at one end is never a candidate",
         [] { Fixture f = diamond(); f.np = 5; return f; }, [] {}, {0, 0, 0, 0}},
        {"NaN target never qualifies",
         [] { Fixture f = diamond(); f.targ[kB] = NAN; return f; }, [] {}, {0, 0, 0, 0}},
        {"neighbour exactly at its mean target from the midpoint passes",
         [] { return diamond(0.1, 0.75, 1.0, 0.5); }, [] {}, {1, 0, 0, 0}},
        {"neighbour farther from the midpoint than its mean target",
         [] { return diamond(0.1, 0.8, 0.5, 1.0); }, [] {}, {0, 0, 0, 1}},
        {"surrounding triangle turned over",
         [] {
             Fixture f = diamond(0.1, 0.8, 10.0, 1.0);
             f.at(kN)[0] = 0.05, f.at(kN)[1] = 0.1;
             f.at(kE)[0] = 1.0, f.at(kE)[1] = 3.0;
             return f;
         },
         [] {}, {0, 0, 1, 0}},
        {"degenerate surrounding triangle",
         [] {
             Fixture f = diamond();
             f.at(kE)[0] = 0.2, f.at(kE)[1] = -0.8;  // on the line b N
             return f;
         },
         [] {}, {0, 0, 1, 0}},
        {"cosine equal to normal_dot passes", [] { return diamond(); },
         [] { g_par.normal_dot = 1.0; }, {1, 0, 0, 0}},
        {"cosine just under normal_dot is refused", [] { return diamond(); },
         [] { g_par.normal_dot = std::nextafter(1.0, 2.0); }, {0, 0, 1, 0}},
        {"collapse_passes 0 disables the phase", [] { return diamond(); },
         [] { g_par.collapse_passes = 0; }, {0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Params keep;
        c.params();
        const Fixture f = c.make();
        Stores s(f);
        EXPECT_EQ(as_array(s.run(f.np)), c.want);
        if (c.want[0] == 0) {
            EXPECT_EQ(s.triangles(), f.tri);
            EXPECT_EQ(std::vector<double>(s.vs.xyz, s.vs.xyz + f.xyz.size()), f.xyz);
        }
    }
}

TEST(CollapseDiamond, MergeKeepsTheSmallerIndexAtTheMidpoint)
{
    Params keep;
    Fixture f = diamond();
    f.at(kA)[1] = 0.02;
    f.base[kA] = 1.0;
    f.base[kB] = 2.0;
    Stores s(f);
    EXPECT_EQ(as_array(s.run(f.np)), (Counts{1, 0, 0, 0}));

    // The two triangles that held ab are gone; the rest keep their order
    // and their corners' order, b renamed a.
    EXPECT_EQ(s.triangles(), (std::vector<int32_t>{kA, kE, kN, kA, kS, kE, kA, kN, kW, kA, kW, kS}));
    EXPECT_EQ(s.at(kA)[0], 0.0);
    EXPECT_EQ(s.at(kA)[1], 0.01);
    EXPECT_EQ(s.at(kA)[2], 0.0);
    EXPECT_EQ(s.vs.base[kA], 1.5);
    EXPECT_EQ(s.vs.targ[kA], 1.5);  // refilled from the mean base
    // The removed vertex stays in the store, untouched, until compaction.
    EXPECT_EQ(s.vs.n, 6);
    EXPECT_EQ(s.at(kB)[0], 0.1);
    EXPECT_EQ(s.vs.base[kB], 2.0);
    for (int32_t v = 0; v < 4; v++) {
        EXPECT_EQ(std::vector<double>(s.at(v), s.at(v) + 3), std::vector<double>(f.at(v), f.at(v) + 3));
        EXPECT_EQ(s.vs.targ[v], f.targ[v]);
    }
    for (int64_t t = 0; t < s.ts.n; t++) {
        const int32_t* c = s.ts.tri + 3 * t;
        EXPECT_GT(turn_z(s.at(c[0]), s.at(c[1]), s.at(c[2])), 0) << "triangle " << t;
    }
    EXPECT_EQ(s.ts.cap, tris_capacity_for(6));
}

// Merges whose ends share other than exactly the two corners opposite the
// edge. The count of common neighbours alone passes three of them; each
// would leave a broken surface.
TEST(CollapseTopology, MergesThatWouldBreakTheSurfaceAreRefused)
{
    struct Case {
        const char* name;
        std::function<Fixture()> make;
        Counts want;
    };
    // a, b short and created; every other point a wall point.
    const Case cases[] = {
        {"interior edge whose ends share three neighbours",
         [] {
             Fixture f = diamond();
             f.tri = {kA, kB, kN, kB, kA, kS, kB, kE, kN, kB, kS, kE, kA, kN, kE, kA, kE, kS};
             return f;
         },
         {0, 1, 0, 0}},
        {"boundary edge between created points with one common neighbour",
         [] {
             Fixture f = diamond();
             f.tri = {kA, kB, kN, kB, kE, kN, kA, kN, kW};
             return f;
         },
         {0, 1, 0, 0}},
        // Wall points c, d.
        {"ends of a tetrahedron: two faces would fold onto each other",
         [] {
             return short_edge_among({{0.05, 1, 0}, {0.05, 0.3, 1}},
                                     {kEndA, kEndB, 0, kEndA, 0, 1, kEndA, 1, kEndB, kEndB, 1, 0});
         },
         {0, 1, 0, 0}},
        // Wall points c, d, p, q, r.
        {"boundary edge whose ends share an interior side's far end: three triangles on one side",
         [] {
             return short_edge_among({{0.05, 0.5, 0}, {0.05, -0.5, 0}, {-0.5, -0.5, 0}, {-0.5, 0, 0}, {0.6, -0.5, 0}},
                                     {kEndA, kEndB, 0, kEndA, 1, 2, kEndA, 3, 1, kEndB, 1, 4});
         },
         {0, 1, 0, 0}},
        // Wall points c, d, p, r.
        {"boundary ends whose sides to a shared point run the same way",
         [] {
             return short_edge_among({{0.05, 0.5, 0}, {0.05, -0.5, 0}, {-0.5, -0.5, 0}, {0.6, -0.5, 0}},
                                     {kEndA, kEndB, 0, kEndA, 1, 2, kEndB, 1, 3});
         },
         {0, 1, 0, 0}},
        // Wall points n, s, p, q, r, t, then x: last, so counted after n and s.
        {"third common neighbour across two interior sides",
         [] {
             return short_edge_among({{0.05, 0.5, 0}, {0.05, -0.5, 0}, {-0.5, 1, 0}, {-0.5, -1, 0}, {0.6, 1, 0},
                                      {0.6, -1, 0}, {0.05, 2, 1}},
                                     {kEndA, kEndB, 0, kEndB, kEndA, 1, kEndA, 6, 2, kEndA, 3, 6, kEndB, 6, 4,
                                      kEndB, 5, 6});
         },
         {0, 1, 0, 0}},
        {"boundary edge closing a notch merges",
         [] {
             Fixture f = diamond();
             f.tri = {kA, kB, kN, kB, kE, kN, kB, kS, kE, kA, kN, kW, kA, kW, kS};
             return f;
         },
         {1, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Params keep;
        const Fixture f = c.make();
        ASSERT_EQ(surface_faults(f.tri), std::vector<std::string>{});
        Stores s(f);
        EXPECT_EQ(as_array(s.run(f.np)), c.want);
        EXPECT_EQ(surface_faults(s.triangles()), std::vector<std::string>{});
        if (c.want[0] == 0) {
            EXPECT_EQ(s.triangles(), f.tri);
        }
    }
}

namespace {

// Created points in a row at xs (indices ids, after the wall points), each
// pair interior between a wall point above and one below their middle; W
// and E close the row 0.75 beyond its ends. W has target wall_w, the other
// wall points 2, the created points 1.
Fixture chain(const std::vector<double>& xs, const std::vector<int32_t>& ids, double wall_w = 2.0)
{
    const int32_t k = (int32_t)xs.size();
    Fixture f;
    const int32_t W = f.add(xs[0] - 0.75, 0, 0, wall_w), E = f.add(xs[k - 1] + 0.75, 0, 0, 2);
    std::vector<int32_t> top, bottom;
    for (int32_t i = 0; i + 1 < k; i++) {
        top.push_back(f.add((xs[i] + xs[i + 1]) / 2, 1, 0, 2));
        bottom.push_back(f.add((xs[i] + xs[i + 1]) / 2, -1, 0, 2));
    }
    f.np = (int32_t)f.targ.size();
    f.xyz.resize(3 * (size_t)(f.np + k));
    f.targ.resize(f.np + k);
    f.base.resize(f.np + k);
    for (int32_t i = 0; i < k; i++) {
        double* q = f.at(ids[i]);
        q[0] = xs[i], q[1] = 0, q[2] = 0;
        f.targ[ids[i]] = f.base[ids[i]] = 1;
    }
    for (int32_t i = 0; i + 1 < k; i++) {
        f.face(ids[i], ids[i + 1], top[i]);
        f.face(ids[i + 1], ids[i], bottom[i]);
        if (i > 0) {
            f.face(ids[i], top[i], top[i - 1]);
            f.face(ids[i], bottom[i - 1], bottom[i]);
        }
    }
    f.face(ids[0], top[0], W);
    f.face(ids[0], W, bottom[0]);
    f.face(ids[k - 1], E, top[k - 2]);
    f.face(ids[k - 1], bottom[k - 2], E);
    return f;
}

}  // namespace

TEST(CollapseSubPasses, LockingAndTheNumberOfSubPasses)
{
    struct Case {
        const char* name;
        Fixture f;
        int32_t passes;
        Counts want;
        int32_t probe;  // a vertex and where it must end along x
        double probe_x;
    };
    const std::vector<double> row = {-0.25, 0, 0.25};
    const std::vector<double> short_first = {-0.2, 0, 0.25};
    const Case cases[] = {
        // ab and bc are equally long: (6, 7) comes before (7, 8); bc shares
        // b and is passed over without a count.
        {"candidate sharing an end with a merge waits for the next sub-pass",
         chain(row, {6, 7, 8}), 1, {1, 0, 0, 0}, 6, -0.125},
        {"second sub-pass merges what the first locked", chain(row, {6, 7, 8}), 2, {2, 0, 0, 0}, 6,
         0.0625},
        {"a third sub-pass finds no candidate", chain(row, {6, 7, 8}), 3, {2, 0, 0, 0}, 6, 0.0625},
        {"equal lengths go by the smaller index first", chain(row, {8, 6, 7}), 1, {1, 0, 0, 0}, 6,
         0.125},
        // ab, then cd (c is a neighbour of b only): cd waits.
        {"candidate with an end next to a merge waits for the next sub-pass",
         chain({-0.375, -0.125, 0.125, 0.4}, {8, 9, 10, 11}), 1, {1, 0, 0, 0}, 10, 0.125},
        // ab (0.2) is tried first and refused (W too far), which locks
        // nothing: bc still merges. The next sub-pass refuses ab again and
        // merges nothing, which ends the phase.
        {"a refused candidate locks nothing", chain(short_first, {6, 7, 8}, 0.1), 1, {1, 0, 0, 1},
         7, 0.125},
        {"a sub-pass without a merge ends the phase", chain(short_first, {6, 7, 8}, 0.1), 3,
         {1, 0, 0, 2}, 7, 0.125},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Params keep;
        g_par.collapse_passes = c.passes;
        Stores s(c.f);
        EXPECT_EQ(as_array(s.run(c.f.np)), c.want);
        EXPECT_EQ(s.at(c.probe)[0], c.probe_x);
        EXPECT_EQ(surface_faults(s.triangles()), std::vector<std::string>{});
        EXPECT_EQ(s.ts.n, (int64_t)c.f.tri.size() / 3 - 2 * c.want[0]);
        for (int64_t t = 0; t < s.ts.n; t++) {
            const int32_t* r = s.ts.tri + 3 * t;
            EXPECT_GT(turn_z(s.at(r[0]), s.at(r[1]), s.at(r[2])), 0) << "triangle " << t;
        }
        for (int64_t v = 0; v < s.vs.n; v++) EXPECT_FALSE(std::isnan(s.vs.targ[v])) << "vertex " << v;
    }
}

// Heads of a vertex's listings, each (next, prev): closed fans of every
// size, fans with a gap (a prev that is no next), a listing repeated, and
// heads at random; corners up to INT32_MAX - 1. Into a separate list and in
// place, always the sorted distinct heads.
TEST(CollapseNeighbours, EveryFanListsItsDistinctHeads)
{
    std::mt19937 rng(5);
    std::uniform_int_distribution<int32_t> small(0, 40), any(0, INT32_MAX - 1);
    auto corner = [&](int k) { return k % 3 == 0 ? INT32_MAX - 1 - small(rng) : k % 3 == 1 ? small(rng) : any(rng); };
    enum Kind { kClosed, kGap, kRepeat, kRandom };
    for (Kind kind : {kClosed, kGap, kRepeat, kRandom})
        for (int d = 1; d <= 12; d++)
            for (int trial = 0; trial < 40; trial++) {
                SCOPED_TRACE(testing::Message() << "kind " << kind << " degree " << d << " trial " << trial);
                std::set<int32_t> ring;
                while ((int)ring.size() < d) ring.insert(corner(trial + (int)ring.size()));
                std::vector<int32_t> around(ring.begin(), ring.end());
                std::shuffle(around.begin(), around.end(), rng);
                std::vector<std::pair<int32_t, int32_t>> listings;
                for (int k = 0; k < d; k++) listings.push_back({around[k], around[(k + d - 1) % d]});
                if (kind == kGap && d > 1) listings.pop_back();
                if (kind == kRepeat) listings.push_back(listings[rng() % listings.size()]);
                if (kind == kRandom)
                    for (auto& l : listings) l = {around[rng() % d], around[rng() % d]};
                std::shuffle(listings.begin(), listings.end(), rng);
                std::vector<int32_t> heads;
                for (auto [next, prev] : listings) {
                    heads.push_back(next);
                    heads.push_back(prev);
                }
                const std::set<int32_t> distinct(heads.begin(), heads.end());
                const std::vector<int32_t> want(distinct.begin(), distinct.end());
                const int64_t nh = (int64_t)heads.size();
                std::vector<int32_t> padded = heads;
                padded.resize(heads.size() + 16, -7);
                std::vector<int32_t> out(heads.size(), -9);
                const int64_t n = collapse_neighbours(padded.data(), nh, out.data());
                EXPECT_EQ(std::vector<int32_t>(out.begin(), out.begin() + n), want);
                const int64_t m = collapse_neighbours(padded.data(), nh, padded.data());
                EXPECT_EQ(std::vector<int32_t>(padded.begin(), padded.begin() + m), want);
            }
}

TEST(CollapseInput, CornersOutsideTheStoreAreNeverFollowed)
{
    for (int32_t bad : {-1, INT32_MAX, 1 << 30}) {
        SCOPED_TRACE(bad);
        Params keep;
        Fixture f = diamond();
        f.tri[3 * 2 + 1] = bad;  // (b, bad, N)
        Stores s(f);
        // b sits in a triangle that cannot be read: it must not move.
        EXPECT_EQ(as_array(s.run(f.np)), (Counts{0, 0, 0, 0}));
        EXPECT_EQ(s.triangles(), f.tri);
    }
}

// A jittered n x n grid in the plane, bumped a little in z, its first row
// wall points; uniform target t. Large enough for the tables' loops to run
// on the team.
Fixture grid(int n, uint32_t seed, double t)
{
    Fixture f;
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> jit(-0.3, 0.3);
    for (int j = 0; j < n; j++)
        for (int i = 0; i < n; i++)
            f.add(i + (j ? jit(rng) : 0), j + (j ? jit(rng) : 0), 0.05 * jit(rng), t);
    f.np = n;
    for (int j = 0; j + 1 < n; j++)
        for (int i = 0; i + 1 < n; i++) {
            int32_t a = j * n + i, b = a + 1, c = b + n, d = a + n;
            f.face(a, b, c);
            f.face(a, c, d);
        }
    return f;
}

TEST(CollapseLarge, SameMergesForEveryThreadCountAndAfterALargerMesh)
{
    Params keep;
    g_par.collapse_passes = 3;
    struct Result {
        std::array<int64_t, 4> counts;
        std::vector<int32_t> tri;
        std::vector<double> xyz, targ, base;
    };
    const Fixture big = grid(170, 7, 2.2);
    for (uint32_t seed : {1u, 2u}) {
        SCOPED_TRACE(seed);
        const Fixture f = grid(140, seed, 2.2);
        ASSERT_GT(f.targ.size(), 16384u);
        std::vector<Result> results;
        // Fresh tables on one thread, then on teams of 2, 3 and 8 after a
        // larger mesh has grown the tables, then on one thread again.
        const int teams[] = {1, 2, 3, 8, 1};
        for (int i = 0; i < 5; i++) {
            if (i == 0) collapse_release();
            if (i == 1) {
                Stores larger(big);
                larger.run(big.np);
            }
            omp_set_num_threads(teams[i]);
            Stores st(f);
            collapse_counts c = st.run(f.np);
            const int64_t nv = st.vs.n;
            results.push_back({as_array(c), st.triangles(),
                               std::vector<double>(st.vs.xyz, st.vs.xyz + 3 * nv),
                               std::vector<double>(st.vs.targ, st.vs.targ + nv),
                               std::vector<double>(st.vs.base, st.vs.base + nv)});
        }
        omp_set_num_threads(omp_get_num_procs());
        EXPECT_GT(results[0].counts[0], 1000) << "the merges must be exercised";
        EXPECT_TRUE(surface_faults(results[0].tri).empty());
        for (size_t r = 1; r < results.size(); r++) {
            SCOPED_TRACE(teams[r]);
            EXPECT_EQ(results[r].counts, results[0].counts);
            EXPECT_EQ(results[r].tri, results[0].tri);
            EXPECT_EQ(results[r].xyz, results[0].xyz);
            EXPECT_EQ(memcmp(results[r].targ.data(), results[0].targ.data(),
                             results[0].targ.size() * sizeof(double)), 0);
            EXPECT_EQ(results[r].base, results[0].base);
        }
    }
}

TEST(CollapseInputDeathTest, TriangleCountPastEveryArrayIsAMemoryFailure)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Params keep;
    Stores s(diamond());
    // 12 x (2^62 + 1) bytes wrap to 12 in 64 bits: the tables must not be
    // sized from a wrapped count.
    s.ts.n = ((int64_t)1 << 62) + 1;
    EXPECT_EXIT(s.run(4), testing::ExitedWithCode(3), "^memoire insuffisante \\(vf\\)\n$");
    s.ts.n = 6;
}

// ---------------------------------------------------------------- the program

namespace {

using RemeshResult = velmorkit::RemeshRun;

RemeshResult run_remesh(const velmorkit::Mesh& mesh, const std::vector<std::string>& env = {})
{
    return velmorkit::RunRemesh(mesh, {}, env);
}

struct Program {
    const char* name;
    velmorkit::Mesh mesh;
};

// The kit's fixtures, and a disc whose contour is far finer than the
// targets, so that splits crowd created points and merges dominate.
std::vector<Program> programs()
{
    return {{"square hole", velmorkit::SquareHole()},
            {"disc", velmorkit::Disc()},
            {"cylinder", velmorkit::Cylinder()},
            {"fine disc", velmorkit::Disc(10.0, 256, 10.5, 2)}};
}

}  // namespace

TEST(CollapseProgram, PassLinesShowMergesAndTheCapStaysASurface)
{
    const std::regex pass("remaillage passe [0-9]+: ([0-9]+) coupes, ([0-9]+) fusions");
    for (const Program& p : programs()) {
        SCOPED_TRACE(p.name);
        RemeshResult r = run_remesh(p.mesh);
        ASSERT_EQ(r.run.status, 0) << r.run.err;
        EXPECT_NE(r.run.err.find("  remaillage : stable apres "), std::string::npos) << r.run.err;
        EXPECT_TRUE(velmorkit::OutputIsSound(p.mesh, r.bytes, velmorkit::Mode::kRemesh));
        EXPECT_EQ(surface_faults(r.out.tri), std::vector<std::string>{});
        int64_t splits = 0, merges = 0;
        for (std::sregex_iterator it(r.run.err.begin(), r.run.err.end(), pass), end; it != end; ++it) {
            splits += std::stoll((*it)[1]);
            merges += std::stoll((*it)[2]);
        }
        // The square's single split point has no created neighbour.
        const std::string name = p.name;
        if (name != "square hole") {
            EXPECT_GT(merges, 0) << r.run.err;
        }
        if (name == "fine disc") {
            EXPECT_GT(merges * 2, splits) << r.run.err;
        }
    }
}

TEST(CollapseProgram, SameBytesForOneAndEightThreads)
{
    const std::regex times("[0-9]+\\.[0-9]+ s\\b");
    for (const Program& p : programs()) {
        SCOPED_TRACE(p.name);
        RemeshResult one = run_remesh(p.mesh, {"OMP_NUM_THREADS=1"});
        RemeshResult eight = run_remesh(p.mesh, {"OMP_NUM_THREADS=8"});
        ASSERT_EQ(one.run.status, 0);
        EXPECT_EQ(eight.bytes, one.bytes);
        EXPECT_EQ(std::regex_replace(eight.run.err, times, "T s"),
                  std::regex_replace(one.run.err, times, "T s"));
    }
}
