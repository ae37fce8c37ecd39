// Vertex and triangle stores: capacity rules, contents kept across growth,
// set-up from the input, and the memory message with its byte count.
#include "core/stores.h"
#include "core/params.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstdlib>
#include <vector>

namespace {

TEST(VertsReserve, CapacityIs1024TimesAPowerOfTwo)
{
    struct Case { int64_t cap, need, want; };
    const Case cases[] = {
        {0, 19, 1024},   {0, 1024, 1024}, {0, 1025, 2048},    {0, 4097, 8192},
        {1024, 1024, 1024}, {1024, 0, 1024}, {1024, -5, 1024}, {1024, 1025, 2048},
        {1024, 5000, 8192}, {2048, 2049, 4096},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "cap " << c.cap << ", need " << c.need);
        verts v{};
        verts_reserve(&v, c.cap);
        ASSERT_EQ(v.cap, c.cap);
        double* before = v.xyz;
        verts_reserve(&v, c.need);
        EXPECT_EQ(v.cap, c.want);
        EXPECT_EQ(v.n, 0);
        if (c.want == c.cap) {
            EXPECT_EQ(v.xyz, before);
        }
        free(v.xyz);
        free(v.targ);
        free(v.base);
    }
    verts none{};
    verts_reserve(&none, 0);
    EXPECT_EQ(none.cap, 0);
    EXPECT_EQ(none.xyz, nullptr);
}

TEST(VertsReserve, GrowthKeepsTheVerticesInUse)
{
    verts v{};
    verts_reserve(&v, 1000);
    for (int64_t i = 0; i < 1000; i++) {
        for (int j = 0; j < 3; j++) v.xyz[3 * i + j] = (double)(3 * i + j);
        v.targ[i] = 0.5 * (double)i;
        v.base[i] = -(double)i;
    }
    v.n = 1000;
    verts_reserve(&v, 100000);
    EXPECT_EQ(v.cap, 131072);
    EXPECT_EQ(v.n, 1000);
    for (int64_t i = 0; i < 1000; i++) {
        for (int j = 0; j < 3; j++) ASSERT_EQ(v.xyz[3 * i + j], (double)(3 * i + j));
        ASSERT_EQ(v.targ[i], 0.5 * (double)i);
        ASSERT_EQ(v.base[i], -(double)i);
    }
}

TEST(TrisCapacity, DoublesFrom1024)
{
    struct Case { int64_t need, want; };
    const Case cases[] = {{17, 1024}, {1024, 1024}, {1025, 2048}, {1009 + 16, 2048}, {70000, 131072}};
    for (const Case& c : cases) EXPECT_EQ(tris_capacity_for(c.need), c.want) << c.need;
}

// Mapping a table in ahead must not touch what it holds: blocks that start
// and end off a page, below the size that is mapped and far above it (many
// 2 MiB spans, shared by a team), each filled with a pattern first.
TEST(Populate, KeepsTheContentsOfEveryByte)
{
    struct Case { size_t offset, bytes; };
    const Case cases[] = {{0, 4096}, {123, (size_t)1 << 20}, {8, ((size_t)1 << 20) + 777},
                          {4000, (size_t)37 << 20}};
    for (int team : {1, 8}) {
        omp_set_num_threads(team);
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << team << " threads, " << c.bytes << " bytes at +" << c.offset);
            std::vector<unsigned char> block(c.offset + c.bytes + 64);
            for (size_t i = 0; i < block.size(); i++) block[i] = (unsigned char)(i * 131 + 7);
            const std::vector<unsigned char> want = block;
            populate(block.data() + c.offset, c.bytes);
            ASSERT_TRUE(block == want);
        }
    }
    omp_set_num_threads(omp_get_num_procs());
}

TEST(StoresSetup, CopiesTheInputWithItsMargins)
{
    struct Case { int32_t np, m; int64_t vcap, tcap; };
    const Case cases[] = {{3, 1, 1024, 1024}, {1008, 1008, 1024, 1024}, {1009, 1009, 2048, 2048}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "np " << c.np << ", m " << c.m);
        std::vector<double> points(3 * (size_t)c.np);
        for (size_t i = 0; i < points.size(); i++) points[i] = 0.25 * (double)i;
        std::vector<int32_t> cap(3 * (size_t)c.m);
        for (size_t i = 0; i < cap.size(); i++) cap[i] = (int32_t)(i % (size_t)c.np);
        input in{};
        in.np = c.np;
        in.m = c.m;
        in.points = points.data();
        in.cap = cap.data();
        verts vs;
        tris ts;
        stores_setup(&vs, &ts, &in);
        EXPECT_EQ(vs.n, c.np);
        EXPECT_EQ(vs.cap, c.vcap);
        EXPECT_EQ(ts.n, c.m);
        EXPECT_EQ(ts.cap, c.tcap);
        EXPECT_EQ(std::vector<double>(vs.xyz, vs.xyz + 3 * c.np), points);
        EXPECT_NE(vs.xyz, in.points);
        EXPECT_EQ(std::vector<int32_t>(ts.tri, ts.tri + 3 * c.m), cap);
        for (int32_t i = 0; i < c.np; i++) {
            ASSERT_EQ(vs.targ[i], g_par.rim);
            ASSERT_EQ(vs.base[i], g_par.rim);
        }
        free(vs.xyz);
        free(vs.targ);
        free(vs.base);
        free(ts.tri);
    }
}

class StoresDeath : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(StoresDeath, RefusedMemoryEndsWithStatus3AndTheByteCount)
{
    EXPECT_EXIT(xrealloc(nullptr, (size_t)1 << 62), testing::ExitedWithCode(3),
                "^memoire insuffisante \\(4611686018427387904 octets\\)\n$");
    // The first array to fail is xyz: 24 bytes per vertex of the new capacity.
    EXPECT_EXIT(
        {
            verts v{};
            verts_reserve(&v, (int64_t)1 << 42);
        },
        testing::ExitedWithCode(3), "^memoire insuffisante \\(105553116266496 octets\\)\n$");
}

}  // namespace
