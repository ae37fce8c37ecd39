// Verification of small generated meshes: which triangles are non-manifold
// and which have reversed normals.
#include <gtest/gtest.h>

#include <functional>

#include "mesh/mesh_ops.h"
#include "mesh_fixtures.h"

using namespace ombrane::platform;
using namespace meshfix;

namespace {

struct VerifyCase {
    const char* name;
    std::function<MeshData()> build;
    std::vector<uint32_t> nonmanifold;
    std::vector<uint32_t> reversed;
};

std::vector<VerifyCase> VerifyCases()
{
    // Cube triangle 11 is (1, 7, 5); its neighbours are 2, 4 and 10.
    // Cube edge 3-7 is used by triangles 7 and 10.
    return {
        {"closed cube", [] { return Cube(); }, {}, {}},
        {"empty mesh", [] { return MeshData{}; }, {}, {}},
        {"one flipped triangle",
         [] {
             MeshData m = Cube();
             Flip(m, 5);
             return m;
         },
         {},
         {5}},
        {"inside-out cube",
         [] {
             MeshData m = Cube();
             for (size_t t = 0; t < 12; t++) Flip(m, t);
             return m;
         },
         {},
         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}},
        {"hole",
         [] {
             MeshData m = Cube();
             m.triangles.pop_back();
             return m;
         },
         {2, 4, 10},
         {}},
        {"hole and a flipped triangle in the open piece",
         [] {
             MeshData m = Cube();
             m.triangles.pop_back();
             Flip(m, 0);
             return m;
         },
         {2, 4, 10},
         {0}},
        {"inside-out open piece is not judged by volume",
         [] {
             MeshData m = Cube();
             m.triangles.pop_back();
             for (size_t t = 0; t < 11; t++) Flip(m, t);
             return m;
         },
         {2, 4, 10},
         {}},
        {"duplicate triangle",
         [] {
             MeshData m = Cube();
             m.triangles.push_back(m.triangles[11]);
             return m;
         },
         {2, 4, 10, 11, 12},
         {}},
        {"fin on an edge",
         [] {
             MeshData m = Cube();
             m.vertices.push_back({2, 2, 0.5});
             m.triangles.push_back({3, 7, 8});
             return m;
         },
         {7, 10, 12},
         {}},
        {"two cubes sharing an edge",
         [] {
             MeshData m = Cube();
             AppendCube(m, {1, 1, 0}, 1);
             return m;
         },
         {7, 10, 17, 20},
         {}},
        {"two cubes sharing a corner",
         [] {
             MeshData m = Cube();
             AppendCube(m, {1, 1, 1}, 1);
             return m;
         },
         {},
         {}},
        {"repeated index",
         [] {
             MeshData m = Cube();
             m.triangles.push_back({0, 0, 1});
             return m;
         },
         {12},
         {}},
        {"index past the last vertex",
         [] {
             MeshData m = Cube();
             m.triangles.push_back({0, 1, 99});
             return m;
         },
         {12},
         {}},
        {"lone triangle",
         [] {
             MeshData m;
             m.vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
             m.triangles = {{0, 1, 2}};
             return m;
         },
         {0},
         {}},
    };
}

}  // namespace

TEST(VerifyMesh, GeneratedMeshes)
{
    for (const VerifyCase& c : VerifyCases()) {
        SCOPED_TRACE(c.name);
        const MeshData mesh = c.build();
        const MeshVerification result = VerifyMesh(mesh);
        EXPECT_EQ(result.nonmanifold_triangles, c.nonmanifold);
        EXPECT_EQ(result.reversed_normal_triangles, c.reversed);
        EXPECT_EQ(result.IsValid(), c.nonmanifold.empty() && c.reversed.empty());
    }
}

// A flipped triangle counts alone, whichever triangle of the cube it is, and
// two flipped triangles count two.
TEST(VerifyMesh, FlippedTrianglesCountAlone)
{
    for (size_t t = 0; t < 12; t++) {
        SCOPED_TRACE(t);
        MeshData mesh = Cube();
        Flip(mesh, t);
        EXPECT_EQ(VerifyMesh(mesh).reversed_normal_triangles, std::vector<uint32_t>{(uint32_t)t});
        const size_t other = (t + 6) % 12;
        Flip(mesh, other);
        EXPECT_EQ(VerifyMesh(mesh).reversed_normal_triangles.size(), 2u);
    }
}

// Each closed piece is judged on its own volume: an inside-out cube next to
// a sound one reports only its own triangles.
TEST(VerifyMesh, PiecesAreJudgedApart)
{
    MeshData mesh = Cube();
    AppendCube(mesh, {3, 0, 0}, 1);
    for (size_t t = 12; t < 24; t++) Flip(mesh, t);
    const MeshVerification result = VerifyMesh(mesh);
    EXPECT_TRUE(result.nonmanifold_triangles.empty());
    ASSERT_EQ(result.reversed_normal_triangles.size(), 12u);
    EXPECT_EQ(result.reversed_normal_triangles.front(), 12u);
}
