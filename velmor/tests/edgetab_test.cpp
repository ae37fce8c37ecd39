// Edge keys, the contour key set, the edge table and distinct edge lists,
// checked against std::set / std::map references.
#include "core/edgetab.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <utility>
#include <vector>

namespace {

int64_t count_keys(const keyset& ks)
{
    int64_t n = 0;
    for (uint64_t s = 0; s <= ks.mask; s++) n += ks.keys[s] != 0;
    return n;
}

TEST(EdgeKey, SymmetricAndDecodable)
{
    EXPECT_EQ(edge_key(0, 0), 1u);
    EXPECT_EQ(edge_key(3, 7), 3ull * (1ull << 32) + 8);
    const int32_t pairs[][2] = {{3, 7}, {0, 1}, {5, 5}, {INT32_MAX, 0}, {INT32_MAX, INT32_MAX - 1}};
    for (const auto& p : pairs) {
        uint64_t k = edge_key(p[0], p[1]);
        EXPECT_EQ(k, edge_key(p[1], p[0]));
        EXPECT_NE(k, 0u);
        int32_t lo = (int32_t)((k - 1) >> 32), hi = (int32_t)((k - 1) & 0xffffffffu);
        EXPECT_EQ(lo, std::min(p[0], p[1]));
        EXPECT_EQ(hi, std::max(p[0], p[1]));
    }
}

TEST(EdgeKey, HomeSlotIsTheMurmurFinaliser)
{
    // Reference values of MurmurHash3's fmix64.
    EXPECT_EQ(fmix64(0), 0u);
    EXPECT_EQ(fmix64(1), 0xb456bcfc34c2cb2cull);
    EXPECT_EQ(fmix64(0xffffffffffffffffull), 0x64b5720b4b825f21ull);
}

TEST(Keyset, SizesAndMembership)
{
    struct Case {
        const char* name;
        std::vector<int32_t> contour;
        uint64_t slots;
        int64_t keys;
    };
    const Case cases[] = {
        {"triangle", {0, 1, 2}, 16, 3},
        {"five points", {4, 3, 2, 1, 0}, 32, 5},
        {"edge listed twice", {0, 1, 0, 1}, 16, 1},
        {"edge in both directions", {0, 1, 2, 1}, 16, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        keyset ks;
        keyset_build(&ks, c.contour.data(), (int32_t)c.contour.size());
        EXPECT_EQ(ks.mask + 1, c.slots);
        EXPECT_EQ(count_keys(ks), c.keys);
        int32_t n = (int32_t)c.contour.size();
        for (int32_t k = 0; k < n; k++) {
            EXPECT_TRUE(keyset_has(&ks, edge_key(c.contour[k], c.contour[(k + 1) % n])));
            EXPECT_TRUE(keyset_has(&ks, edge_key(c.contour[(k + 1) % n], c.contour[k])));
        }
        free(ks.keys);
    }
}

TEST(Keyset, ChordOfTheLoopIsNotAContourEdge)
{
    const int32_t contour[] = {10, 11, 12, 13, 14, 15};
    keyset ks;
    keyset_build(&ks, contour, 6);
    EXPECT_TRUE(keyset_has(&ks, edge_key(15, 10)));  // closing edge
    EXPECT_FALSE(keyset_has(&ks, edge_key(10, 12)));
    EXPECT_FALSE(keyset_has(&ks, edge_key(11, 14)));
    EXPECT_FALSE(keyset_has(&ks, edge_key(0, 1)));
    free(ks.keys);
}

TEST(Keyset, ManyEdgesAgainstASet)
{
    std::mt19937 rng(5);
    std::vector<int32_t> contour(3000);
    for (auto& v : contour) v = (int32_t)(rng() % 500);
    std::set<uint64_t> ref;
    for (size_t k = 0; k < contour.size(); k++)
        ref.insert(edge_key(contour[k], contour[(k + 1) % contour.size()]));
    keyset ks;
    keyset_build(&ks, contour.data(), (int32_t)contour.size());
    EXPECT_EQ(ks.mask + 1, 16384u);
    EXPECT_EQ(count_keys(ks), (int64_t)ref.size());
    for (int32_t a = 0; a < 500; a++)
        for (int32_t b = a; b < 500; b += 7)
            ASSERT_EQ(keyset_has(&ks, edge_key(a, b)), ref.count(edge_key(a, b)) == 1);
    free(ks.keys);
}

TEST(Edgetab, InitSizes)
{
    struct Case { int64_t k; uint64_t slots; int64_t used_room; };
    const Case cases[] = {{0, 16, 16}, {4, 16, 24}, {5, 32, 26}, {1000, 4096, 2016}, {-3, 16, 16}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.k);
        edgetab t;
        edgetab_init(&t, c.k);
        EXPECT_EQ(t.mask + 1, c.slots);
        EXPECT_EQ(t.ucap, c.used_room);
        EXPECT_EQ(t.nused, 0);
        for (uint64_t s = 0; s <= t.mask; s++) {
            EXPECT_EQ(t.slots[s].key, 0u);
            for (int w = 0; w < 4; w++) EXPECT_EQ(t.slots[s].data[w], 0);
        }
        edgetab_free(&t);
    }
}

TEST(Edgetab, GetTwiceFindAndMissing)
{
    edgetab t;
    edgetab_init(&t, 4);
    int32_t ins = -1;
    edge_slot* e = edgetab_get(&t, edge_key(2, 9), &ins);
    EXPECT_EQ(ins, 1);
    EXPECT_EQ(e->key, edge_key(9, 2));
    e->data[0] = 42;
    edge_slot* again = edgetab_get(&t, edge_key(9, 2), &ins);
    EXPECT_EQ(ins, 0);
    EXPECT_EQ(again, e);
    EXPECT_EQ(again->data[0], 42);
    EXPECT_EQ(t.nused, 1);
    EXPECT_EQ(edgetab_find(&t, edge_key(2, 9)), e);
    EXPECT_EQ(edgetab_find(&t, edge_key(2, 8)), nullptr);
    EXPECT_EQ(t.nused, 1);
    edgetab_free(&t);
}

TEST(Edgetab, AgreesWithAMapAndKeepsInsertionOrder)
{
    std::mt19937 rng(9);
    const int64_t k = 5000;
    edgetab t;
    edgetab_init(&t, k);
    std::map<uint64_t, int32_t> ref;
    std::vector<uint64_t> order;
    std::vector<edge_slot*> first_slot;
    // Small index range, so many keys repeat and collide.
    for (int it = 0; it < 20000 && (int64_t)ref.size() < k; it++) {
        uint64_t key = edge_key((int32_t)(rng() % 150), (int32_t)(rng() % 150));
        int32_t ins = -1;
        edge_slot* e = edgetab_get(&t, key, &ins);
        ASSERT_EQ(e->key, key);
        auto found = ref.find(key);
        if (found == ref.end()) {
            ASSERT_EQ(ins, 1);
            ASSERT_EQ(e->data[0], 0);
            e->data[0] = (int32_t)order.size() + 1;
            ref[key] = e->data[0];
            order.push_back(key);
            first_slot.push_back(e);
        } else {
            ASSERT_EQ(ins, 0);
            ASSERT_EQ(e->data[0], found->second);
        }
    }
    ASSERT_EQ(t.nused, (int64_t)order.size());
    for (int64_t i = 0; i < t.nused; i++) {
        EXPECT_EQ(t.slots[t.used[i]].key, order[i]);
        EXPECT_EQ(&t.slots[t.used[i]], first_slot[i]) << "a slot moved";
    }
    for (int32_t a = 0; a < 160; a++)
        for (int32_t b = a; b < 160; b++) {
            const edge_slot* e = edgetab_find(&t, edge_key(a, b));
            auto found = ref.find(edge_key(a, b));
            ASSERT_EQ(e != nullptr, found != ref.end());
            if (e) {
                ASSERT_EQ(e->data[0], found->second);
            }
        }
    edgetab_free(&t);
}

using EdgetabDeathTest = ::testing::Test;

TEST(EdgetabDeathTest, OverfullTableEndsTheRunInsteadOfProbingForever)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char* msg = "^memoire insuffisante \\(table d'aretes\\)\n$";
    struct Case { const char* name; int64_t k; int fits; };
    // k = 0: 16 slots, room 16: the 16th key would fill the last empty slot.
    // k = 5: 32 slots, room 26: the 27th key overflows the used list.
    const Case cases[] = {{"last empty slot", 0, 15}, {"used list", 5, 26}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto fill = [&](int keys) {
            edgetab t;
            edgetab_init(&t, c.k);
            int32_t ins;
            for (int i = 0; i < keys; i++) edgetab_get(&t, edge_key(i, i + 1), &ins);
            // Repeats stay allowed once the room is used up.
            edgetab_get(&t, edge_key(0, 1), &ins);
            edgetab_find(&t, edge_key(1000, 1001));
            edgetab_free(&t);
        };
        fill(c.fits);
        EXPECT_EXIT(fill(c.fits + 1), ::testing::ExitedWithCode(3), msg);
    }
}

TEST(EdgetabDeathTest, UnaddressableSizesEndTheRunWithTheirMessage)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    edgetab t;
    EXPECT_EXIT(edgetab_init(&t, INT64_MAX), ::testing::ExitedWithCode(3),
                "^memoire insuffisante \\(table d'aretes\\)\n$");
    EXPECT_EXIT(edgetab_init(&t, INT64_MAX / 4 + 1), ::testing::ExitedWithCode(3),
                "^memoire insuffisante \\(table d'aretes\\)\n$");
    int64_t count;
    const int32_t tri[3] = {0, 1, 2};
    EXPECT_EXIT(unique_edges(tri, INT64_MAX / 3, &count), ::testing::ExitedWithCode(3),
                "^memoire insuffisante \\(aretes\\)\n$");
}

std::vector<std::pair<int32_t, int32_t>> edges_of(const edge2* e, int64_t n)
{
    std::vector<std::pair<int32_t, int32_t>> out;
    for (int64_t i = 0; i < n; i++) out.emplace_back(e[i].a, e[i].b);
    return out;
}

TEST(UniqueEdges, SmallMeshes)
{
    using E = std::vector<std::pair<int32_t, int32_t>>;
    struct Case { const char* name; std::vector<int32_t> tri; E want; };
    const Case cases[] = {
        {"two triangles sharing a side", {0, 1, 2, 2, 1, 3}, {{0, 1}, {0, 2}, {1, 2}, {1, 3}, {2, 3}}},
        {"no triangles", {}, {}},
        {"repeated corner", {4, 4, 9}, {{4, 4}, {4, 9}}},
        {"same triangle twice, both windings", {5, 6, 7, 7, 6, 5}, {{5, 6}, {5, 7}, {6, 7}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int64_t count = -1;
        edge2* e = unique_edges(c.tri.data(), (int64_t)c.tri.size() / 3, &count);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(edges_of(e, count), c.want);
        free(e);
    }
}

TEST(UniqueEdges, RandomTrianglesAgainstASet)
{
    std::mt19937 rng(21);
    for (int round = 0; round < 20; round++) {
        int64_t m = 1 + rng() % 3000;
        int32_t nv = 3 + (int32_t)(rng() % 400);
        std::vector<int32_t> tri(3 * m);
        for (auto& v : tri) v = (int32_t)(rng() % nv);
        std::set<std::pair<int32_t, int32_t>> ref;
        for (int64_t f = 0; f < m; f++)
            for (int j = 0; j < 3; j++) {
                int32_t u = tri[3 * f + j], v = tri[3 * f + (j + 1) % 3];
                ref.emplace(std::min(u, v), std::max(u, v));
            }
        int64_t count = -1;
        edge2* e = unique_edges(tri.data(), m, &count);
        const std::vector<std::pair<int32_t, int32_t>> want(ref.begin(), ref.end());
        EXPECT_EQ(edges_of(e, count), want);
        free(e);
    }
}

// The bucketed sort and its fallback must give the same sorted set: corners
// far apart or negative (the fallback), a fan whose hub holds thousands of
// sides in one bucket, and meshes large enough for the team.
TEST(UniqueEdges, IndexSpansOfEveryKind)
{
    std::mt19937 rng(5);
    struct Case { const char* name; std::vector<int32_t> tri; };
    std::vector<Case> cases;
    std::vector<int32_t> fan;
    for (int32_t i = 1; i < 3000; i++) fan.insert(fan.end(), {0, i, i + 1});
    std::shuffle(fan.begin(), fan.end(), rng);
    cases.push_back({"fan hub", fan});
    cases.push_back({"negative corners", {-3, 5, 2, 2, 5, -1, -3, -3, 7}});
    cases.push_back({"extreme corners", {INT32_MIN, 0, INT32_MAX, INT32_MAX, 0, 1}});
    std::vector<int32_t> offset(600);
    for (auto& v : offset) v = 1000000 + (int32_t)(rng() % 50);
    cases.push_back({"span far from zero", offset});
    // Enough sides for the buckets to be filled on the team.
    std::vector<int32_t> big(3 * 40000);
    for (auto& v : big) v = (int32_t)(rng() % 30000);
    cases.push_back({"large, on the team", big});
    std::vector<int32_t> big_fan;
    for (int32_t i = 1; i < 40000; i++) big_fan.insert(big_fan.end(), {0, i, i + 1});
    std::shuffle(big_fan.begin(), big_fan.end(), rng);
    cases.push_back({"large fan hub, on the team", big_fan});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int64_t m = (int64_t)c.tri.size() / 3;
        std::set<std::pair<int32_t, int32_t>> ref;
        for (int64_t f = 0; f < m; f++)
            for (int j = 0; j < 3; j++) {
                int32_t u = c.tri[3 * f + j], v = c.tri[3 * f + (j + 1) % 3];
                ref.emplace(std::min(u, v), std::max(u, v));
            }
        int64_t count = -1;
        edge2* e = unique_edges(c.tri.data(), m, &count);
        const std::vector<std::pair<int32_t, int32_t>> want(ref.begin(), ref.end());
        EXPECT_EQ(edges_of(e, count), want);
        free(e);
    }
}

}  // namespace
