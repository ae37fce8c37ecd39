// Comparators: order, ties, NaN rules, and stability of stable_sort_by.
#include "core/sort.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace {

TEST(Comparators, OrderAndTies)
{
    edge2 e[] = {{1, 2}, {1, 3}, {2, 0}, {-1, 5}};
    EXPECT_EQ(cmp_edge2(&e[0], &e[1]), -1);
    EXPECT_EQ(cmp_edge2(&e[1], &e[0]), 1);
    EXPECT_EQ(cmp_edge2(&e[1], &e[2]), -1);
    EXPECT_EQ(cmp_edge2(&e[3], &e[0]), -1);  // signed
    EXPECT_EQ(cmp_edge2(&e[0], &e[0]), 0);

    pair p[] = {{7, 1}, {7, 2}, {6, 9}, {INT32_MIN, 0}};
    EXPECT_EQ(cmp_pair(&p[0], &p[1]), -1);
    EXPECT_EQ(cmp_pair(&p[2], &p[0]), -1);
    EXPECT_EQ(cmp_pair(&p[3], &p[2]), -1);
    EXPECT_EQ(cmp_pair(&p[1], &p[1]), 0);

    trip t[] = {{1, 2, 5.0}, {1, 2, -3.0}, {1, 3, 0.0}, {0, 9, 0.0}};
    EXPECT_EQ(cmp_trip(&t[0], &t[1]), 0) << "the weight is not compared";
    EXPECT_EQ(cmp_trip(&t[0], &t[2]), -1);
    EXPECT_EQ(cmp_trip(&t[3], &t[0]), -1);
    EXPECT_EQ(cmp_trip(&t[2], &t[3]), 1);
}

TEST(Comparators, CandidatesByLengthThenEnds)
{
    const cand ordered[] = {{1.0, 5, 9}, {1.0, 6, 2}, {1.0, 6, 3}, {2.0, 0, 1}};
    for (int i = 0; i < 4; i++)
        for (int j = 0; j < 4; j++) {
            SCOPED_TRACE(testing::Message() << i << " vs " << j);
            EXPECT_EQ(cmp_cand(&ordered[i], &ordered[j]), (i > j) - (i < j));
        }
    const cand nan{NAN, 0, 0}, one{1.0, 0, 0};
    EXPECT_EQ(cmp_cand(&nan, &one), 1);
    EXPECT_EQ(cmp_cand(&one, &nan), 1);
    EXPECT_EQ(cmp_cand(&nan, &nan), 1);
}

TEST(Comparators, DoublesWithZerosAndNaN)
{
    struct Case { double l, r; int want; };
    const Case cases[] = {
        {1.0, 2.0, -1}, {2.0, 1.0, 1}, {3.5, 3.5, 0}, {0.0, -0.0, 0}, {-0.0, 0.0, 0},
        {NAN, 1.0, 0}, {1.0, NAN, 0}, {-INFINITY, 0.0, -1}, {INFINITY, 1e300, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.l << " vs " << c.r);
        EXPECT_EQ(cmp_double(&c.l, &c.r), c.want);
    }
}

TEST(StableSortBy, EqualKeysKeepInputOrder)
{
    // Many triplets on few (row, col) keys; the weight records input order.
    std::mt19937 rng(4);
    std::vector<trip> t(5000);
    for (size_t i = 0; i < t.size(); i++) t[i] = {(int32_t)(rng() % 6), (int32_t)(rng() % 4), (double)i};
    stable_sort_by(t.data(), (int64_t)t.size(), cmp_trip);
    for (size_t i = 1; i < t.size(); i++) {
        int c = cmp_trip(&t[i - 1], &t[i]);
        ASSERT_LE(c, 0) << "not ascending at " << i;
        if (c == 0) {
            ASSERT_LT(t[i - 1].w, t[i].w) << "equal keys reordered at " << i;
        }
    }

    std::vector<double> d = {3, 1, 2, 1, 0, -0.0, 5};
    stable_sort_by(d.data(), (int64_t)d.size(), cmp_double);
    EXPECT_EQ(d, (std::vector<double>{0, -0.0, 1, 1, 2, 3, 5}));
    EXPECT_FALSE(std::signbit(d[0]));
    EXPECT_TRUE(std::signbit(d[1])) << "+0 and -0 are equal and keep their order";

    std::vector<cand> c = {{2.0, 0, 1}, {1.0, 6, 2}, {1.0, 5, 9}};
    stable_sort_by(c.data(), (int64_t)c.size(), cmp_cand);
    EXPECT_EQ(c[0].a, 5);
    EXPECT_EQ(c[1].a, 6);
    EXPECT_EQ(c[2].a, 0);

    stable_sort_by(c.data(), 0, cmp_cand);  // empty range is a no-op
    stable_sort_by(c.data(), 1, cmp_cand);
}

// Lists whose rounds differ: lengths on few values (long runs of ties), on
// one exponent (high digits all alike, rounds left out), over the whole
// range from subnormals and zero to huge, and a single distinct length.
// Each must come out as the stable comparison sort puts it, on every team,
// including a list too short for a team.
TEST(SortCandsByLen, SameAsTheStableSortOnEveryTeam)
{
    std::mt19937_64 rng(11);
    struct Case {
        const char* name;
        int64_t n;
        double (*len)(std::mt19937_64&);
    };
    const Case cases[] = {
        {"few lengths", 100000, [](std::mt19937_64& r) { return (double)(r() % 7) * 0.125; }},
        {"one exponent", 70000,
         [](std::mt19937_64& r) { return 1.0 + (double)(r() % 4096) / 4096.0; }},
        {"whole range", 50000,
         [](std::mt19937_64& r) {
             uint64_t bits = r() & 0x7fefffffffffffffull;
             if (r() % 16 == 0) bits = 0;
             if (r() % 16 == 1) bits &= 0x000fffffffffffffull;  // subnormal
             double d;
             memcpy(&d, &bits, sizeof d);
             return d;
         }},
        {"all alike", 40000, [](std::mt19937_64&) { return 0.25; }},
        {"short list", 300, [](std::mt19937_64& r) { return (double)(r() % 5); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Listed in (a, b) order, as the collapse lists its candidates.
        std::vector<cand> in((size_t)c.n);
        for (int64_t i = 0; i < c.n; i++) in[i] = {c.len(rng), (int32_t)(i / 5), (int32_t)(i % 5)};
        std::vector<cand> want = in;
        stable_sort_by(want.data(), c.n, cmp_cand);
        for (int team : {1, 2, 3, 8}) {
            SCOPED_TRACE(team);
            omp_set_num_threads(team);
            std::vector<cand> got = in, tmp(in.size());
            sort_cands_by_len(got.data(), c.n, tmp.data());
            ASSERT_EQ(memcmp(got.data(), want.data(), want.size() * sizeof(cand)), 0);
        }
        omp_set_num_threads(omp_get_num_procs());
    }
}

}  // namespace
