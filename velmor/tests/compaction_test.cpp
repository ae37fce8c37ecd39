// End of remeshing: created points renumbered in order, unused ones dropped,
// and the two statistics lines.
#include "remesh/compaction.h"
#include "core/stores.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "velmor_stores.h"

namespace {

struct Stores : velmorkit::OwnedStores {
    Stores(const std::vector<double>& xyz, const std::vector<double>& targ,
           const std::vector<int32_t>& tri)
    {
        const int64_t nv = (int64_t)targ.size();
        velmorkit::LoadPoints(&vs, xyz.data(), nv);
        for (int64_t v = 0; v < nv; v++) {
            vs.targ[v] = targ[v];
            vs.base[v] = 100 + v;
        }
        velmorkit::LoadRows(&ts, tri, (int64_t)tri.size() / 3 + 1);
    }
    std::string finish(int32_t np)
    {
        return velmorkit::MaskRemeshTime(velmorkit::StderrOf([&] { remesh_finish(&vs, &ts, np, 0.0); }));
    }
};

// Isosceles triangle whose apex angle, the smallest, is deg degrees, with
// its apex at (x, 0, 0) and unit legs.
void add_sliver(std::vector<double>* xyz, std::vector<int32_t>* tri, double x, double deg)
{
    const double half = deg * M_PI / 360;
    const int32_t v = (int32_t)(xyz->size() / 3);
    xyz->insert(xyz->end(), {x, 0, 0, x + std::cos(half), -std::sin(half), 0,
                             x + std::cos(half), std::sin(half), 0});
    tri->insert(tri->end(), {v, v + 1, v + 2});
}

}  // namespace

TEST(Compaction, DropsUnusedCreatedPointsAndKeepsOrder)
{
    // Wall points 0..2 (2 unused); created 3..6, of which 4 is unused.
    std::vector<double> xyz;
    for (int v = 0; v < 7; v++) xyz.insert(xyz.end(), {(double)v, v * 0.5, 0});
    Stores s(xyz, {1, 1, 1, 3, 4, 5, 6}, {0, 3, 5, 1, 6, 3, 5, 6, 1});
    s.finish(3);
    ASSERT_EQ(s.vs.n, 6);
    EXPECT_EQ(std::vector<int32_t>(s.ts.tri, s.ts.tri + 9),
              (std::vector<int32_t>{0, 3, 4, 1, 5, 3, 4, 5, 1}));
    // Old index of each survivor, in the new order.
    const int from[6] = {0, 1, 2, 3, 5, 6};
    for (int v = 0; v < 6; v++) {
        SCOPED_TRACE(v);
        EXPECT_EQ(s.vs.xyz[3 * v], from[v]);
        EXPECT_EQ(s.vs.xyz[3 * v + 1], from[v] * 0.5);
        EXPECT_EQ(s.vs.base[v], 100 + from[v]);
        EXPECT_EQ(s.vs.targ[v], v < 3 ? 1 : from[v]);
    }
}

TEST(Compaction, CornerWithoutNewIndexEndsWithStatus4)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Stores s({0, 0, 0, 1, 0, 0, 0, 1, 0}, {1, 1, 1}, {0, 1, 3});
            remesh_finish(&s.vs, &s.ts, 3, 0.0);
        },
        testing::ExitedWithCode(4), "^compactage : sommet non remappe\n$");
}

TEST(RemeshStatistics, Lines)
{
    struct Case {
        const char* name;
        std::vector<double> angles;  // one triangle each, smallest angle in degrees
        bool nan_triangle;           // plus one triangle with a NaN corner
        const char* want_tail;
    };
    const Case cases[] = {
        {"empty store", {}, false, "arete max 0.00 mm ; plus petit angle : median 0.0 deg, "
                                   "0 tris < 10 deg, 0 tris < 5 deg\n"},
        {"counts under 10 and 5 degrees", {10.5, 7, 3}, false,
         "arete max 1.00 mm ; plus petit angle : median 7.0 deg, 2 tris < 10 deg, "
         "1 tris < 5 deg\n"},
        {"even count: mean of the middle two", {40, 10, 30, 20}, false,
         "arete max 1.00 mm ; plus petit angle : median 25.0 deg, 0 tris < 10 deg, "
         "0 tris < 5 deg\n"},
        {"odd count: the middle one", {10, 30, 20}, false,
         "arete max 1.00 mm ; plus petit angle : median 20.0 deg, 0 tris < 10 deg, "
         "0 tris < 5 deg\n"},
        // A triangle without an angle stays out of the median and the counts.
        {"NaN corner left out", {30, 40}, true,
         "arete max 1.00 mm ; plus petit angle : median 35.0 deg, 0 tris < 10 deg, "
         "0 tris < 5 deg\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<double> xyz;
        std::vector<int32_t> tri;
        for (size_t i = 0; i < c.angles.size(); i++) add_sliver(&xyz, &tri, 10.0 * i, c.angles[i]);
        if (c.nan_triangle) {
            const int32_t v = (int32_t)(xyz.size() / 3);
            xyz.insert(xyz.end(), {NAN, 0, 0, 50, 0, 0, 50, 0.5, 0});
            tri.insert(tri.end(), {v, v + 1, v + 2});
        }
        if (xyz.empty()) xyz = {0, 0, 0, 1, 0, 0, 0, 1, 0};
        const int64_t nv = (int64_t)xyz.size() / 3;
        Stores s(xyz, std::vector<double>(nv, 1.0), tri);
        EXPECT_EQ(s.finish((int32_t)nv),
                  std::string("  cible d'arete des points crees : min 0.00 / max 0.00 mm\n"
                              "  remaillage : T s ; ") + c.want_tail);
        EXPECT_EQ(s.vs.n, nv);
    }
}

TEST(RemeshStatistics, TargetRangeOfTheCreatedPoints)
{
    // Three wall points and three created ones sharing one fan.
    Stores s({0, 0, 0, 1, 0, 0, 0, 1, 0, 0.5, 0, 0, 0.5, 0.5, 0, 0, 0.5, 0},
             {9, 9, 0.01, 2.5, 1.25, 4.75}, {0, 3, 5, 3, 1, 4, 5, 4, 2, 3, 4, 5});
    std::string err = s.finish(3);
    EXPECT_EQ(err.substr(0, err.find('\n') + 1),
              "  cible d'arete des points crees : min 1.25 / max 4.75 mm\n");
}

// Between passes: a store of many created points, most named by no
// triangle, is renumbered as the final compaction would renumber it; a
// store with few unnamed points, or a corner outside it, is left alone.
TEST(DropUnnamed, RenumbersLikeTheFinalCompactionOrLeavesTheStore)
{
    const int32_t np = 4, created = 40000;
    struct Case {
        const char* name;
        int32_t named_every;  // every k-th created point is named
        int32_t stray;        // a corner to add, or 0
        bool drops;
    };
    const Case cases[] = {
        {"three in four unnamed", 4, 0, true},
        {"most named", 1, 0, false},
        {"corner past the store", 4, np + created, false},
        {"negative corner", 4, -1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<double> xyz, targ;
        for (int32_t v = 0; v < np + created; v++) {
            xyz.insert(xyz.end(), {(double)v, 0.5 * v, -0.25 * v});
            targ.push_back(1 + 0.001 * v);
        }
        std::vector<int32_t> tri;
        for (int32_t v = np; v + 2 * c.named_every < np + created; v += 3 * c.named_every)
            tri.insert(tri.end(), {v % 3, v, v + c.named_every, 3, v + 2 * c.named_every, v});
        if (c.stray) tri.insert(tri.end(), {0, 1, c.stray});
        Stores dropped(xyz, targ, tri), kept(xyz, targ, tri);
        remesh_drop_unnamed(&dropped.vs, &dropped.ts, np);
        if (!c.drops) {
            EXPECT_EQ(dropped.vs.n, np + created);
            EXPECT_EQ(std::vector<int32_t>(dropped.ts.tri, dropped.ts.tri + tri.size()), tri);
            continue;
        }
        EXPECT_LT(dropped.vs.n, np + created / 2);
        // Compacting now or later gives the same stores and lines.
        const std::string early = dropped.finish(np), late = kept.finish(np);
        EXPECT_EQ(early, late);
        ASSERT_EQ(dropped.vs.n, kept.vs.n);
        EXPECT_EQ(std::vector<int32_t>(dropped.ts.tri, dropped.ts.tri + tri.size()),
                  std::vector<int32_t>(kept.ts.tri, kept.ts.tri + tri.size()));
        EXPECT_EQ(memcmp(dropped.vs.xyz, kept.vs.xyz, 24 * (size_t)kept.vs.n), 0);
        EXPECT_EQ(memcmp(dropped.vs.targ, kept.vs.targ, 8 * (size_t)kept.vs.n), 0);
        EXPECT_EQ(memcmp(dropped.vs.base, kept.vs.base, 8 * (size_t)kept.vs.n), 0);
    }
}
