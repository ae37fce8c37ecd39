// Flip sweep: which candidates flip, which are passed over, which count as
// deviation refusals, and what a sweep keeps on random caps.
#include "velmor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <utility>
#include <vector>

namespace {

// Stores owned by the test, in malloc'd arrays as velmor expects.
struct Mesh {
    verts vs{};
    tris ts{};
    keyset ks{};

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
        ts.n = (int64_t)tri.size() / 3;
        ts.cap = ts.n + 1;
        ts.tri = (int32_t*)malloc(sizeof(int32_t) * 3 * ts.cap);
        if (ts.n) memcpy(ts.tri, tri.data(), sizeof(int32_t) * 3 * ts.n);
        // A contour of fewer than 3 points stands for "no contour edges".
        std::vector<int32_t> loop = contour;
        if (loop.size() < 3) loop = {1000000, 1000001, 1000002};
        keyset_build(&ks, loop.data(), (int32_t)loop.size());
    }
    ~Mesh()
    {
        free(vs.xyz);
        free(vs.targ);
        free(vs.base);
        free(ts.tri);
        free(ks.keys);
    }
    std::vector<int32_t> rows() const { return std::vector<int32_t>(ts.tri, ts.tri + 3 * ts.n); }
};

// Rhombus p(-2,0) q(2,0) c(0,0.5) d(0,-0.5) as indices 0..3, both
// triangles counter-clockwise; lift raises p and q to fold it.
std::vector<double> rhombus(double lift = 0)
{
    return {-2, 0, lift, 2, 0, lift, 0, 0.5, 0, 0, -0.5, 0};
}

struct Params {
    params saved = g_par;
    ~Params() { g_par = saved; }
};

}  // namespace

TEST(FlipPass, CandidateTable)
{
    Params keep;
    g_par.dev_in = 0.3;
    g_par.dev_rim = 0.05;
    g_par.area_grow = 1.001;
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

// A jittered grid over the unit square, boundary points first (the wall),
// each cell cut by a random diagonal, all counter-clockwise in z = 0.
struct RandomCap {
    std::vector<double> xyz;
    std::vector<int32_t> tri, contour;
    int32_t np = 0;
};

RandomCap random_cap(int n, uint32_t seed, double z_noise)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> jit(-0.3, 0.3), zr(-1, 1);
    std::vector<int32_t> id((n + 1) * (n + 1), -1);
    RandomCap cap;
    auto on_rim = [n](int i, int j) { return i == 0 || j == 0 || i == n || j == n; };
    // Contour in loop order: bottom, right, top, left.
    std::vector<std::pair<int, int>> loop;
    for (int i = 0; i < n; i++) loop.push_back({i, 0});
    for (int j = 0; j < n; j++) loop.push_back({n, j});
    for (int i = n; i > 0; i--) loop.push_back({i, n});
    for (int j = n; j > 0; j--) loop.push_back({0, j});
    int32_t next = 0;
    auto add = [&](int i, int j) {
        double x = i, y = j, z = 0;
        if (!on_rim(i, j)) {
            x += jit(rng);
            y += jit(rng);
            z = z_noise * zr(rng);
        }
        cap.xyz.insert(cap.xyz.end(), {x / n, y / n, z});
        id[j * (n + 1) + i] = next++;
    };
    for (auto [i, j] : loop) {
        add(i, j);
        cap.contour.push_back(id[j * (n + 1) + i]);
    }
    cap.np = next;
    for (int j = 1; j < n; j++)
        for (int i = 1; i < n; i++) add(i, j);
    for (int j = 0; j < n; j++)
        for (int i = 0; i < n; i++) {
            int32_t a = id[j * (n + 1) + i], b = id[j * (n + 1) + i + 1];
            int32_t c = id[(j + 1) * (n + 1) + i + 1], d = id[(j + 1) * (n + 1) + i];
            if (rng() & 1) cap.tri.insert(cap.tri.end(), {a, b, c, a, c, d});
            else cap.tri.insert(cap.tri.end(), {a, b, d, b, c, d});
        }
    return cap;
}

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
    g_par.dev_in = 0.3;
    g_par.dev_rim = 0.05;
    g_par.area_grow = 1.001;
    for (uint32_t seed = 1; seed <= 40; seed++) {
        SCOPED_TRACE(seed);
        const bool planar = seed % 2;
        RandomCap cap = random_cap(8 + seed % 5, seed, planar ? 0 : 0.02);
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
    g_par.dev_in = 0.01;  // small enough for deviation refusals on bumpy caps
    g_par.dev_rim = 0.002;
    g_par.area_grow = 1.001;
    for (uint32_t seed = 1; seed <= 12; seed++) {
        SCOPED_TRACE(seed);
        RandomCap cap = random_cap(10 + seed % 4, 100 + seed, 0.03);
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
