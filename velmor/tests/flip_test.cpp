// Flip sweep: which candidates flip, which are passed over, which count as
// deviation refusals, and what a sweep keeps on random caps.
#include "remesh/flip.h"
#include "core/edgetab.h"
#include "core/geometry.h"
#include "core/params.h"
#include "core/stores.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "velmor_stores.h"

namespace {

// Stores owned by the test, in malloc'd arrays as velmor expects.
struct Mesh : velmorkit::OwnedStores {
    Mesh(const std::vector<double>& xyz, const std::vector<int32_t>& tri,
         const std::vector<int32_t>& contour = {})
    {
        int64_t nv = (int64_t)xyz.size() / 3;
        vs.cap = nv + 1;
        vs.n = nv;
        vs.xyz = (double*)malloc(sizeof(double) * 3 * vs.cap);
        vs.targ = (double*)malloc(sizeof(double) * vs.cap);
        vs.base = (double*)malloc(sizeof(double) * vs.cap);
        if (nv) memcpy(vs.xyz, xyz.data(), sizeof(double) * 3 * nv);
        for (int64_t i = 0; i < nv; i++) vs.targ[i] = vs.base[i] = 1.0;
        velmorkit::LoadRows(&ts, tri, (int64_t)tri.size() / 3 + 1);
        // A contour of fewer than 3 points stands for "no contour edges".
        std::vector<int32_t> loop = contour;
        if (loop.size() < 3) loop = {1000000, 1000001, 1000002};
        keyset_build(&ks, loop.data(), (int32_t)loop.size());
    }
    std::vector<int32_t> rows() const { return std::vector<int32_t>(ts.tri, ts.tri + 3 * ts.n); }
};

// Rhombus p(-2,0) q(2,0) c(0,0.5) d(0,-0.5) as indices 0..3, both
// triangles counter-clockwise; lift raises p and q to fold it.
std::vector<double> rhombus(double lift = 0)
{
    return {-2, 0, lift, 2, 0, lift, 0, 0.5, 0, 0, -0.5, 0};
}

using velmorkit::Params;
using velmorkit::RandomCap;
using velmorkit::RandomGridCap;

// Deviation limits inside and next to the wall; the area may grow 0.1 %.
void flip_limits(double dev_in, double dev_rim)
{
    g_par.dev_in = dev_in;
    g_par.dev_rim = dev_rim;
    g_par.area_grow = 1.001;
}

}  // namespace

TEST(FlipPass, CandidateTable)
{
    Params keep;
    flip_limits(0.3, 0.05);
    // The rhombus flips to (p, d, c), (d, q, c) when nothing stops it.
    const std::vector<int32_t> pair = {0, 1, 2, 1, 0, 3};
    const std::vector<int32_t> flipped = {0, 3, 2, 3, 1, 2};
    struct Case {
        const char* name;
        std::vector<double> xyz;
        std::vector<int32_t> tri;
        int32_t np;
        std::vector<int32_t> contour;
        int64_t flips, refusals;
        std::vector<int32_t> want;  // empty: rows unchanged
    };
    const Case cases[] = {
        {"rhombus of created points flips", rhombus(), pair, 0, {}, 1, 0, flipped},
        {"one wall corner, flat: still flips", rhombus(), pair, 1, {}, 1, 0, flipped},
        {"fold of 0.1 mm inside flips", rhombus(0.1), pair, 0, {}, 1, 0, flipped},
        {"fold of 0.1 mm next to the wall is refused", rhombus(0.1), pair, 1, {}, 0, 1, {}},
        {"non-convex quad is not flipped nor counted",
         {0, 0, 0, 4, 0, 0, -1, 1, 0, -1, -1, 0}, pair, 0, {}, 0, 0, {}},
        {"contour edge", rhombus(), pair, 0, {0, 1, 2}, 0, 0, {}},
        {"boundary edge of a single triangle", rhombus(), {0, 1, 2}, 0, {}, 0, 0, {}},
        {"edge shared by three triangles",
         {-2, 0, 0, 2, 0, 0, 0, 0.5, 0, 0, -0.5, 0, 0, 0, 3},
         {0, 1, 2, 1, 0, 3, 0, 1, 4}, 0, {}, 0, 0, {}},
        {"both ends of the edge are wall points", rhombus(), pair, 2, {}, 0, 0, {}},
        {"both apexes are wall points", rhombus(), {2, 3, 0, 3, 2, 1}, 2, {}, 0, 0, {}},
        {"apexes already joined by another edge",
         {-2, 0, 0, 2, 0, 0, 0, 0.5, 0, 0, -0.5, 0, 5, 0, 0},
         {0, 1, 2, 1, 0, 3, 3, 4, 2}, 0, {}, 0, 0, {}},
        // Both rows run p -> q: flipping would turn one triangle over.
        {"inconsistently wound pair", rhombus(), {0, 1, 2, 0, 1, 3}, 0, {}, 0, 0, {}},
        {"square: both diagonals give the same angles",
         {0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0}, {0, 1, 2, 2, 3, 0}, 0, {}, 0, 0, {}},
        {"no triangles", {}, {}, 0, {}, 0, 0, {}},
        // A second rhombus over the same apexes, slightly lifted: the first
        // flip joins c and d, so the second may not.
        {"apexes joined by a flip earlier in the sweep",
         {-2, 0, 0, 2, 0, 0, 0, 0.5, 0, 0, -0.5, 0, -2, 0, 0.01, 2, 0, 0.01},
         {0, 1, 2, 1, 0, 3, 4, 5, 2, 5, 4, 3}, 0, {}, 1, 0, {0, 3, 2, 3, 1, 2, 4, 5, 2, 5, 4, 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Mesh m(c.xyz, c.tri, c.contour);
        int64_t refusals = -1;
        EXPECT_EQ(flip_pass(&m.vs, &m.ts, &m.ks, c.np, &refusals), c.flips);
        EXPECT_EQ(refusals, c.refusals);
        EXPECT_EQ(m.rows(), c.want.empty() ? c.tri : c.want);
        EXPECT_EQ(m.ts.n, (int64_t)c.tri.size() / 3);
    }
}

TEST(FlipPass, RefusalsAreRecountedEachCall)
{
    Params keep;
    g_par.dev_rim = 0.05;
    Mesh m(rhombus(0.1), {0, 1, 2, 1, 0, 3});
    for (int call = 0; call < 2; call++) {
        int64_t refusals = 7;
        EXPECT_EQ(flip_pass(&m.vs, &m.ts, &m.ks, 1, &refusals), 0);
        EXPECT_EQ(refusals, 1);
    }
}

namespace {

// Directed sides and how often each occurs.
std::map<std::pair<int32_t, int32_t>, int> directed_sides(const tris& ts)
{
    std::map<std::pair<int32_t, int32_t>, int> sides;
    for (int64_t t = 0; t < ts.n; t++)
        for (int s = 0; s < 3; s++) sides[{ts.tri[3 * t + s], ts.tri[3 * t + (s + 1) % 3]}]++;
    return sides;
}

}  // namespace

TEST(FlipPass, RandomCapsKeepCountWindingAndContour)
{
    Params keep;
    flip_limits(0.3, 0.05);
    for (uint32_t seed = 1; seed <= 40; seed++) {
        SCOPED_TRACE(seed);
        const bool planar = seed % 2;
        RandomCap cap = RandomGridCap(8 + seed % 5, seed, planar ? 0 : 0.02);
        Mesh m(cap.xyz, cap.tri, cap.contour);
        const int64_t nt = m.ts.n;
        int64_t total = 0;
        for (int call = 0; call < 5; call++) {
            int64_t r = 0;
            int64_t f = flip_pass(&m.vs, &m.ts, &m.ks, cap.np, &r);
            EXPECT_GE(r, 0);
            total += f;
            if (f == 0) break;
        }
        EXPECT_GT(total, 0);
        ASSERT_EQ(m.ts.n, nt);
        auto sides = directed_sides(m.ts);
        // Consistent winding: no directed side twice, every interior side
        // once each way, and the contour in its input direction.
        for (auto& [side, count] : sides) {
            EXPECT_EQ(count, 1) << side.first << "->" << side.second;
            bool on_contour = side.first < cap.np && side.second < cap.np &&
                              keyset_has(&m.ks, edge_key(side.first, side.second));
            if (!on_contour) {
                EXPECT_TRUE(sides.count({side.second, side.first}))
                    << side.first << "->" << side.second;
            }
        }
        for (size_t k = 0; k < cap.contour.size(); k++) {
            int32_t a = cap.contour[k], b = cap.contour[(k + 1) % cap.contour.size()];
            EXPECT_TRUE(sides.count({a, b})) << a << "->" << b;
        }
        if (planar) {
            for (int64_t t = 0; t < m.ts.n; t++) {
                const double* A = m.vs.xyz + 3 * m.ts.tri[3 * t];
                const double* B = m.vs.xyz + 3 * m.ts.tri[3 * t + 1];
                const double* C = m.vs.xyz + 3 * m.ts.tri[3 * t + 2];
                EXPECT_GT((B[0] - A[0]) * (C[1] - A[1]) - (B[1] - A[1]) * (C[0] - A[0]), 0)
                    << "triangle " << t;
            }
        }
    }
}

TEST(FlipPass, DecisionsKeptWithinAPhaseChangeNothing)
{
    Params keep;
    flip_limits(0.01, 0.002);  // small enough for deviation refusals on bumpy caps
    for (uint32_t seed = 1; seed <= 12; seed++) {
        SCOPED_TRACE(seed);
        RandomCap cap = RandomGridCap(10 + seed % 4, 100 + seed, 0.03);
        struct Call { int64_t flips, refusals; std::vector<int32_t> rows; };
        // Each call on its own, then the same calls as one phase.
        std::vector<Call> fresh, phase;
        {
            Mesh m(cap.xyz, cap.tri, cap.contour);
            for (int call = 0; call < 6; call++) {
                flip_release();
                int64_t r = 0;
                int64_t f = flip_pass(&m.vs, &m.ts, &m.ks, cap.np, &r);
                fresh.push_back({f, r, m.rows()});
            }
        }
        {
            Mesh m(cap.xyz, cap.tri, cap.contour);
            flip_phase_begin();
            for (int call = 0; call < 6; call++) {
                int64_t r = 0;
                int64_t f = flip_pass(&m.vs, &m.ts, &m.ks, cap.np, &r);
                phase.push_back({f, r, m.rows()});
            }
            flip_release();
        }
        int64_t refused_later = 0;
        for (int call = 0; call < 6; call++) {
            SCOPED_TRACE(call);
            EXPECT_EQ(phase[call].flips, fresh[call].flips);
            EXPECT_EQ(phase[call].refusals, fresh[call].refusals);
            EXPECT_EQ(phase[call].rows, fresh[call].rows);
            if (call > 0) refused_later += fresh[call].refusals;
        }
        EXPECT_GT(refused_later, 0) << "the remembered refusals must be exercised";
    }
}

TEST(FlipPass, TablesKeptFromAnEarlierPhaseChangeNothing)
{
    // A phase on a larger cap, then one on a smaller and one on a larger
    // again, each closed without freeing the tables: every call must flip as
    // it does on freshly built tables.
    Params keep;
    g_par.dev_in = 0.01;
    g_par.dev_rim = 0.002;
    for (uint32_t seed = 1; seed <= 6; seed++) {
        SCOPED_TRACE(seed);
        const RandomCap caps[] = {RandomGridCap(14, 300 + seed, 0.03), RandomGridCap(9, 400 + seed, 0.03),
                                  RandomGridCap(16, 500 + seed, 0.03)};
        // Four calls of one phase on a fresh copy of cap: flips, refusals, rows.
        struct Phase { int64_t flips = 0, refusals = 0; std::vector<int32_t> rows; };
        auto four_calls = [](const RandomCap& cap) {
            Mesh m(cap.xyz, cap.tri, cap.contour);
            Phase p;
            flip_phase_begin();
            for (int call = 0; call < 4; call++) {
                int64_t r = 0;
                p.flips += flip_pass(&m.vs, &m.ts, &m.ks, cap.np, &r);
                p.refusals += r;
            }
            flip_phase_end();
            p.rows = m.rows();
            return p;
        };
        for (const RandomCap& cap : caps) {
            flip_release();
            const Phase fresh = four_calls(cap);
            flip_release();
            for (const RandomCap& before : caps) {
                Mesh other(before.xyz, before.tri, before.contour);
                flip_phase_begin();
                int64_t r = 0;
                flip_pass(&other.vs, &other.ts, &other.ks, before.np, &r);
                flip_phase_end();
            }
            const Phase kept = four_calls(cap);
            flip_release();
            EXPECT_GT(fresh.flips, 0);
            EXPECT_EQ(kept.flips, fresh.flips);
            EXPECT_EQ(kept.refusals, fresh.refusals);
            EXPECT_EQ(kept.rows, fresh.rows);
        }
    }
}

namespace {

// The sweep written plainly over an edge table: one record per edge key,
// visited in the table's insertion order (the order the keys were first
// met, flips appending theirs); every test in its written order. Record
// data: the first two faces, the sides that produced it, live.
int64_t plain_flip_pass(Mesh& m, int32_t np, int64_t* refusals)
{
    enum { kFace0, kFace1, kSides, kLive };
    // Only first-met edges flip, each making one key: 6 nt keys at most.
    edgetab recs;
    edgetab_init(&recs, 3 * m.ts.n);
    int32_t* tri = m.ts.tri;
    auto row = [&](int64_t t) { return tri + 3 * t; };
    auto pos = [&](int32_t v) { return m.vs.xyz + 3 * (int64_t)v; };
    for (int64_t i = 0; i < m.ts.n; i++)
        for (int s = 0; s < 3; s++) {
            int32_t fresh = 0;
            int32_t* r = edgetab_get(&recs, edge_key(row(i)[s], row(i)[(s + 1) % 3]), &fresh)->data;
            if (fresh) r[kLive] = 1;
            if (r[kSides] < 2) r[kFace0 + r[kSides]] = (int32_t)i;
            r[kSides]++;
        }
    auto has = [](const int32_t* r, int32_t v) { return r[0] == v || r[1] == v || r[2] == v; };
    auto runs = [](const int32_t* r, int32_t x, int32_t y) {
        return (r[0] == x && r[1] == y) || (r[1] == x && r[2] == y) || (r[2] == x && r[0] == y);
    };
    auto apex = [](const int32_t* r, int32_t a, int32_t b) {
        for (int i = 0; i < 3; i++)
            if (r[i] != a && r[i] != b) return r[i];
        return -1;
    };
    auto area2 = [&](int32_t x, int32_t y, int32_t z) {
        const double *X = pos(x), *Y = pos(y), *Z = pos(z);
        double u[3] = {Y[0] - X[0], Y[1] - X[1], Y[2] - X[2]};
        double w[3] = {Z[0] - X[0], Z[1] - X[1], Z[2] - X[2]};
        double n[3] = {u[1] * w[2] - u[2] * w[1], u[2] * w[0] - u[0] * w[2], u[0] * w[1] - u[1] * w[0]};
        return std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    };
    auto lesser = [](double x, double y) { return x < y ? x : y; };
    *refusals = 0;
    int64_t flips = 0;
    for (int64_t u = 0; u < recs.nused; u++) {
        const uint64_t key = recs.slots[recs.used[u]].key;
        int32_t* e = recs.slots[recs.used[u]].data;
        if (e[kSides] != 2 || keyset_has(&m.ks, key)) continue;
        const int32_t a = (int32_t)((key - 1) >> 32), b = (int32_t)((key - 1) & 0xffffffffu);
        if (b < np) continue;
        int32_t *r0 = row(e[kFace0]), *r1 = row(e[kFace1]);
        if (!has(r0, a) || !has(r0, b) || !has(r1, a) || !has(r1, b)) continue;
        const int32_t c = apex(r0, a, b), d = apex(r1, a, b);
        if (c < 0 || d < 0 || c == d) continue;
        const edge_slot* cd = edgetab_find(&recs, edge_key(c, d));
        if (cd && cd->data[kLive] == 1) continue;
        if (std::max(c, d) < np) continue;
        const int32_t p = runs(r0, a, b) ? a : b, q = p == a ? b : a;
        if (!runs(r1, q, p)) continue;
        const double tol = std::min({p, q, c, d}) < np ? g_par.dev_rim : g_par.dev_in;
        if (0.5 * (area2(p, d, c) + area2(d, q, c)) >
            g_par.area_grow * (0.5 * (area2(r0[0], r0[1], r0[2]) + area2(r1[0], r1[1], r1[2]))))
            continue;
        const double before = lesser(tri_min_angle(pos(r0[0]), pos(r0[1]), pos(r0[2])),
                                     tri_min_angle(pos(r1[0]), pos(r1[1]), pos(r1[2])));
        const double after = lesser(tri_min_angle(pos(p), pos(d), pos(c)), tri_min_angle(pos(d), pos(q), pos(c)));
        if (before + 1e-9 >= after) continue;
        double m_new[3], m_old[3];
        for (int k = 0; k < 3; k++) {
            m_new[k] = (pos(c)[k] + pos(d)[k]) * 0.5;
            m_old[k] = (pos(p)[k] + pos(q)[k]) * 0.5;
        }
        const double moved_new = lesser(dist_point_tri(m_new, pos(r0[0]), pos(r0[1]), pos(r0[2])),
                                        dist_point_tri(m_new, pos(r1[0]), pos(r1[1]), pos(r1[2])));
        const double moved_old = lesser(dist_point_tri(m_old, pos(p), pos(d), pos(c)),
                                        dist_point_tri(m_old, pos(d), pos(q), pos(c)));
        if ((moved_new > moved_old ? moved_new : moved_old) > tol) {
            (*refusals)++;
            continue;
        }
        r0[0] = p; r0[1] = d; r0[2] = c;
        r1[0] = d; r1[1] = q; r1[2] = c;
        e[kLive] = 0;
        int32_t fresh = 0;
        edgetab_get(&recs, edge_key(c, d), &fresh)->data[kLive] = 1;
        flips++;
    }
    edgetab_free(&recs);
    return flips;
}

// Fans whose hub joins dozens of rim points, rims at random radii so that
// many spokes flip, vertex numbers and row order shuffled.
RandomCap random_fans(int fans, int spokes, std::mt19937& rng)
{
    std::uniform_real_distribution<double> radius(0.4, 1.6);
    RandomCap cap;
    for (int f = 0; f < fans; f++) {
        const int32_t hub = (int32_t)cap.xyz.size() / 3;
        cap.xyz.insert(cap.xyz.end(), {3.5 * f, 0, 0});
        for (int k = 0; k < spokes; k++) {
            double a = 2 * M_PI * k / spokes, r = radius(rng);
            cap.xyz.insert(cap.xyz.end(), {3.5 * f + r * std::cos(a), r * std::sin(a), 0});
        }
        for (int k = 0; k < spokes; k++)
            cap.tri.insert(cap.tri.end(), {hub, hub + 1 + k, hub + 1 + (k + 1) % spokes});
    }
    const int32_t nv = (int32_t)cap.xyz.size() / 3;
    std::vector<int32_t> rename(nv);
    for (int32_t v = 0; v < nv; v++) rename[v] = v;
    std::shuffle(rename.begin(), rename.end(), rng);
    std::vector<double> xyz(cap.xyz.size());
    for (int32_t v = 0; v < nv; v++)
        for (int k = 0; k < 3; k++) xyz[3 * rename[v] + k] = cap.xyz[3 * v + k];
    cap.xyz = xyz;
    for (int32_t& c : cap.tri) c = rename[c];
    return cap;
}

}  // namespace

// The sweep's edge records (buckets, their search, the edges flips create)
// must give the plain edge table's flips and refusals, call after call.
TEST(FlipPass, SweepsMatchAPlainEdgeTable)
{
    Params keep;
    flip_limits(0.01, 0.002);
    std::mt19937 rng(77);
    for (uint32_t seed = 1; seed <= 24; seed++) {
        SCOPED_TRACE(seed);
        RandomCap cap = seed % 2 ? random_fans(1 + seed % 3, 12 + 7 * (seed % 5), rng)
                                 : RandomGridCap(6 + seed % 5, 300 + seed, 0.03);
        // Rows in random order: the order edges are first met changes.
        std::vector<int32_t> order(cap.tri.size() / 3);
        for (size_t t = 0; t < order.size(); t++) order[t] = (int32_t)t;
        std::shuffle(order.begin(), order.end(), rng);
        std::vector<int32_t> rows;
        for (int32_t t : order) rows.insert(rows.end(), cap.tri.begin() + 3 * t, cap.tri.begin() + 3 * t + 3);
        const int32_t np = seed % 2 ? 0 : cap.np;
        // Fresh calls, and the same calls as one phase (decisions kept,
        // records patched from one call to the next).
        for (bool phase : {false, true}) {
            SCOPED_TRACE(phase ? "one phase" : "fresh calls");
            Mesh mine(cap.xyz, rows, seed % 2 ? std::vector<int32_t>{} : cap.contour);
            Mesh plain(cap.xyz, rows, seed % 2 ? std::vector<int32_t>{} : cap.contour);
            flip_release();
            if (phase) flip_phase_begin();
            int64_t flipped = 0;
            for (int call = 0; call < 8; call++) {
                SCOPED_TRACE(call);
                int64_t r_mine = -1, r_plain = -1;
                const int64_t f_mine = flip_pass(&mine.vs, &mine.ts, &mine.ks, np, &r_mine);
                const int64_t f_plain = plain_flip_pass(plain, np, &r_plain);
                ASSERT_EQ(f_mine, f_plain);
                ASSERT_EQ(r_mine, r_plain);
                ASSERT_EQ(mine.rows(), plain.rows());
                flipped += f_mine;
            }
            flip_release();
            EXPECT_GT(flipped, 0);
        }
    }
}

// Every k-th triangle split at its centroid: points with three edges, whose
// spokes' apexes are joined until a flip of the far side parts them.
RandomCap with_hubs(RandomCap cap, size_t k)
{
    const size_t nt = cap.tri.size() / 3;
    for (size_t t = 0; t < nt; t += k) {
        const int32_t hub = (int32_t)(cap.xyz.size() / 3);
        const int32_t x = cap.tri[3 * t], y = cap.tri[3 * t + 1], z = cap.tri[3 * t + 2];
        for (int j = 0; j < 3; j++)
            cap.xyz.push_back((cap.xyz[3 * x + j] + cap.xyz[3 * y + j] + cap.xyz[3 * z + j]) / 3);
        cap.tri[3 * t + 2] = hub;
        cap.tri.insert(cap.tri.end(), {y, z, hub, z, x, hub});
    }
    return cap;
}

// A fin on the first side of every k-th triangle: a third triangle on it,
// which no flip may touch and which a patch of the records cannot follow.
RandomCap with_fins(RandomCap cap, size_t k)
{
    const size_t nt = cap.tri.size() / 3;
    for (size_t t = 0; t < nt; t += k) {
        const int32_t tip = (int32_t)(cap.xyz.size() / 3);
        const int32_t x = cap.tri[3 * t], y = cap.tri[3 * t + 1];
        for (int j = 0; j < 3; j++) cap.xyz.push_back((cap.xyz[3 * x + j] + cap.xyz[3 * y + j]) / 2 + (j == 2 ? 0.01 : 0));
        cap.tri.insert(cap.tri.end(), {x, y, tip});
    }
    return cap;
}

TEST(FlipPass, LargeCapsFlipAlikeOnEveryTeam)
{
    // Caps large enough for the records and the triangles' keys to be built
    // on the team: every team size must sweep like the plain edge map. With
    // points of three edges a flip changes which apexes are joined for
    // edges whose rows it leaves alone; with fins, calls after the first
    // build their records afresh while kept decisions still hold.
    Params keep;
    g_par.dev_in = 0.01;
    g_par.dev_rim = 0.002;
    std::mt19937 rng(91);
    for (uint32_t seed = 1; seed <= 4; seed++) {
        SCOPED_TRACE(seed);
        RandomCap cap = RandomGridCap(120, 900 + seed, 0.03);
        if (seed == 3) cap = with_hubs(cap, 5);
        if (seed == 4) cap = with_fins(cap, 97);
        ASSERT_GT(cap.tri.size() / 3, 16384u);
        std::vector<int32_t> order(cap.tri.size() / 3);
        for (size_t t = 0; t < order.size(); t++) order[t] = (int32_t)t;
        std::shuffle(order.begin(), order.end(), rng);
        std::vector<int32_t> rows;
        for (int32_t t : order) rows.insert(rows.end(), cap.tri.begin() + 3 * t, cap.tri.begin() + 3 * t + 3);
        struct Call { int64_t flips, refusals; std::vector<int32_t> rows; };
        std::vector<Call> want;
        {
            Mesh plain(cap.xyz, rows, cap.contour);
            for (int call = 0; call < 4; call++) {
                int64_t r = -1;
                const int64_t f = plain_flip_pass(plain, cap.np, &r);
                want.push_back({f, r, plain.rows()});
            }
        }
        EXPECT_GT(want[0].flips, 1000);
        for (int team : {1, 2, 3, 8}) {
            SCOPED_TRACE(team);
            omp_set_num_threads(team);
            Mesh mine(cap.xyz, rows, cap.contour);
            flip_phase_begin();
            for (int call = 0; call < 4; call++) {
                SCOPED_TRACE(call);
                int64_t r = -1;
                const int64_t f = flip_pass(&mine.vs, &mine.ts, &mine.ks, cap.np, &r);
                EXPECT_EQ(f, want[call].flips);
                EXPECT_EQ(r, want[call].refusals);
                EXPECT_EQ(mine.rows(), want[call].rows);
            }
            flip_phase_end();
        }
        omp_set_num_threads(omp_get_num_procs());
        flip_release();
    }
}

// The rhombus p, q, c, d whose apexes c and d are joined elsewhere, with c
// holding many more edges to vertices numbered around d: the join must be
// found wherever d falls among them, and (p, q) stays.
TEST(FlipPass, JoinedApexesFoundAmongManyEdgesOfOneVertex)
{
    Params keep;
    for (int extra : {9, 12, 17, 24}) {
        for (int rank = 0; rank <= extra + 1; rank++) {
            SCOPED_TRACE(testing::Message() << extra << " extra edges, d of rank " << rank);
            const int32_t d = 3 + rank;
            std::vector<int32_t> others;  // X, then the fan E_1 .. E_extra
            for (int32_t v = 3; v <= 3 + extra + 1; v++)
                if (v != d) others.push_back(v);
            std::vector<double> xyz = rhombus();
            xyz.resize(3 * (4 + extra + 1));
            std::vector<double> place(3 * (4 + extra + 1));
            const double at_d[3] = {0, -0.5, 0};
            for (int k = 0; k < 3; k++) place[3 * d + k] = at_d[k];
            for (size_t i = 0; i < others.size(); i++) {
                place[3 * others[i]] = i == 0 ? 0.0 : 20.0 + (double)i;
                place[3 * others[i] + 1] = i == 0 ? -3.0 : 5.0 + 0.1 * (double)(i % 2);
            }
            for (int v = 3; v < (int)xyz.size() / 3; v++)
                for (int k = 0; k < 3; k++) xyz[3 * v + k] = place[3 * v + k];
            std::vector<int32_t> tri = {0, 1, 2, 1, 0, d, d, others[0], 2};
            for (size_t i = 1; i + 1 < others.size(); i++) tri.insert(tri.end(), {2, others[i], others[i + 1]});
            Mesh m(xyz, tri);
            int64_t refusals = 0;
            flip_pass(&m.vs, &m.ts, &m.ks, 0, &refusals);
            EXPECT_EQ(std::vector<int32_t>(m.ts.tri, m.ts.tri + 6), (std::vector<int32_t>{0, 1, 2, 1, 0, d}));
        }
    }
}

// Two calls, fresh and within a phase, where the first changes what the
// second must see: its flips and refusals, and the first two rows after it.
TEST(FlipPass, SecondCallSeesWhatTheFirstChanged)
{
    struct Call {
        int64_t flips, refusals;        // refusals -1: not checked
        std::vector<int32_t> first_rows;  // empty: not checked
    };
    struct Case {
        const char* name;
        double dev_in;
        std::vector<double> xyz;
        std::vector<int32_t> tri;
        Call calls[2];
    };
    const Case cases[] = {
        // A folded rhombus refused for its deviation, then a flat one over the
        // same apexes that flips and joins them: from then on the folded one
        // is passed over uncounted, also where its refusal was remembered.
        {"refusal no longer counted once its apexes are joined", 0.05,
         {0, 0.5, 0, 0, -0.5, 0, -2, 0, 0.1, 2, 0, 0.1, -2, 0, 0, 2, 0, 0},
         {2, 3, 0, 3, 2, 1, 4, 5, 0, 5, 4, 1},
         {{1, 1, {}}, {0, 0, {}}}},
        // x, y, c, d: the rhombus (x, y) over c and d, passed over while (c, d)
        // joins its apexes; (c, d) is the long diagonal of a thin rhombus over
        // u and w, which flips later in the call, so the next call flips (x, y),
        // also within a phase, where only some edges are looked at again.
        {"apexes separated later in the call are seen by the next", 0.3,
         {-2, 0, 0, 2, 0, 0, 0, 0.5, 0, 0, -0.5, 0, -0.1, 0, 0, 0.1, 0, 0},
         {0, 1, 2, 1, 0, 3, 3, 2, 4, 2, 3, 5},
         {{1, -1, {0, 1, 2, 1, 0, 3}}, {1, -1, {0, 3, 2, 3, 1, 2}}}},
    };
    for (const Case& c : cases) {
        Params keep;
        flip_limits(c.dev_in, g_par.dev_rim);
        for (bool phase : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.name << (phase ? ", within a phase" : ", fresh calls"));
            Mesh m(c.xyz, c.tri);
            flip_release();
            if (phase) flip_phase_begin();
            for (const Call& want : c.calls) {
                int64_t refusals = -1;
                EXPECT_EQ(flip_pass(&m.vs, &m.ts, &m.ks, 0, &refusals), want.flips);
                if (want.refusals >= 0) {
                    EXPECT_EQ(refusals, want.refusals);
                }
                if (!want.first_rows.empty()) {
                    EXPECT_EQ(std::vector<int32_t>(m.ts.tri, m.ts.tri + 6), want.first_rows);
                }
            }
            flip_release();
        }
    }
}

// A phase after a collapse may patch the last phase's records (one thread):
// every call must flip as the plain table does on the rows it left. The
// collapse here moves some points (their rows change), drops some rows (an
// edge loses a row or all of them) and drops rows that repeat a corner,
// which gave a side a third row after its two.
TEST(FlipPass, PhaseAfterACollapseFlipsAsOnFreshTables)
{
    Params keep;
    flip_limits(0.01, 0.002);
    const int threads = omp_get_max_threads();
    omp_set_num_threads(1);
    std::mt19937 rng(5);
    int64_t second_phase_flips = 0;
    for (uint32_t seed = 1; seed <= 12; seed++) {
        SCOPED_TRACE(seed);
        RandomCap cap = RandomGridCap(10 + seed % 4, 700 + seed, 0.03);
        const size_t m0 = cap.tri.size() / 3;
        if (seed % 3 == 0)
            for (size_t t = 0; t < m0; t += 16) {
                const int32_t x = cap.tri[3 * t + t % 3], y = cap.tri[3 * t + (t + 1) % 3];
                cap.tri.insert(cap.tri.end(), {y, x, y});
            }
        Mesh mine(cap.xyz, cap.tri, cap.contour);
        flip_release();
        flip_phase_begin();
        for (int call = 0; call < 5; call++) {
            int64_t r = 0;
            if (flip_pass(&mine.vs, &mine.ts, &mine.ks, cap.np, &r) == 0) break;
        }
        flip_phase_end();

        // The collapse: moved points, dropped rows, rows kept in order.
        const int64_t before = mine.ts.n;
        std::vector<char> moved(mine.vs.n, 0);
        for (int64_t v = cap.np; v < mine.vs.n; v++)
            if (rng() % 25 == 0) {
                moved[v] = 1;
                for (int j = 0; j < 2; j++) mine.vs.xyz[3 * v + j] += 0.2 * ((double)(rng() % 1000) / 1000 - 0.5);
            }
        std::vector<int32_t> origin, rows;
        for (int64_t t = 0; t < before; t++) {
            const int32_t* r = mine.ts.tri + 3 * t;
            const bool repeats = r[0] == r[1] || r[1] == r[2] || r[2] == r[0];
            if (repeats || rng() % 60 == 0) continue;
            const bool changed = moved[r[0]] || moved[r[1]] || moved[r[2]];
            origin.push_back(changed ? ~(int32_t)t : (int32_t)t);
            rows.insert(rows.end(), r, r + 3);
        }
        memcpy(mine.ts.tri, rows.data(), rows.size() * sizeof(int32_t));
        mine.ts.n = (int64_t)origin.size();
        Mesh plain(std::vector<double>(mine.vs.xyz, mine.vs.xyz + 3 * mine.vs.n), rows, cap.contour);

        flip_phase_begin(origin.data(), before);
        for (int call = 0; call < 5; call++) {
            SCOPED_TRACE(call);
            int64_t r_mine = -1, r_plain = -1;
            const int64_t f_mine = flip_pass(&mine.vs, &mine.ts, &mine.ks, cap.np, &r_mine);
            const int64_t f_plain = plain_flip_pass(plain, cap.np, &r_plain);
            ASSERT_EQ(f_mine, f_plain);
            ASSERT_EQ(r_mine, r_plain);
            ASSERT_EQ(mine.rows(), plain.rows());
            second_phase_flips += f_mine;
            if (f_mine == 0) break;
        }
        flip_phase_end();
        flip_release();
    }
    omp_set_num_threads(threads);
    EXPECT_GT(second_phase_flips, 0);
}
