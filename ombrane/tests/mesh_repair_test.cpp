// Repair of small generated meshes: every result verifies valid, closed and
// outward, with the expected volume, properties on the triangles that had
// them, the same bytes on every run; a valid mesh is left as it was.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "mesh/mesh_ops.h"
#include "mesh_fixtures.h"

using namespace ombrane::platform;
using namespace meshfix;

namespace {

constexpr uint32_t kOwnPid = 7;
const TriangleProperty kFill{9, {4, kNoProperty, kNoProperty}};

// Each corner names itself: triangle t, corner k carries 3 t + k.
void TagCorners(MeshData& mesh)
{
    mesh.properties.resize(mesh.triangles.size());
    for (size_t t = 0; t < mesh.triangles.size(); t++)
        mesh.properties[t] = {kOwnPid, {(uint32_t)(3 * t), (uint32_t)(3 * t + 1), (uint32_t)(3 * t + 2)}};
}

// Kept triangles carry their own corner tags at the same positions; filled
// ones the fill property.
void ExpectPropertiesTravelled(const MeshData& before, const MeshData& after)
{
    ASSERT_EQ(after.properties.size(), after.triangles.size());
    for (size_t t = 0; t < after.triangles.size(); t++) {
        const TriangleProperty& p = after.properties[t];
        if (p.pid == kFill.pid) {
            EXPECT_EQ(p.p[0], kFill.p[0]);
            EXPECT_EQ(p.p[1], kNoProperty);
            continue;
        }
        ASSERT_EQ(p.pid, kOwnPid) << "triangle " << t;
        for (int k = 0; k < 3; k++) {
            const Vec3& was = before.vertices[before.triangles[p.p[k] / 3][p.p[k] % 3]];
            const Vec3& now = after.vertices[after.triangles[t][k]];
            EXPECT_TRUE(was.x == now.x && was.y == now.y && was.z == now.z) << "triangle " << t;
        }
    }
}

// Every face of the cube as its own two triangles on its own vertices; some
// copies of the origin are written as -0.
MeshData CubeSoup()
{
    const MeshData cube = Cube();
    MeshData soup;
    for (const auto& tri : cube.triangles) {
        std::array<uint32_t, 3> own;
        for (int k = 0; k < 3; k++) {
            Vec3 p = cube.vertices[tri[k]];
            if (soup.vertices.size() % 2) p = {p.x == 0 ? -0.0 : p.x, p.y, p.z == 0 ? -0.0 : p.z};
            own[k] = (uint32_t)soup.vertices.size();
            soup.vertices.push_back(p);
        }
        soup.triangles.push_back(own);
    }
    return soup;
}

struct RepairCase {
    const char* name;
    std::function<MeshData()> build;
    double volume_min, volume_max;
};

std::vector<RepairCase> RepairCases()
{
    return {
        {"one flipped triangle",
         [] {
             MeshData m = Cube();
             Flip(m, 5);
             return m;
         },
         1, 1},
        {"inside-out cube",
         [] {
             MeshData m = Cube();
             for (size_t t = 0; t < 12; t++) Flip(m, t);
             return m;
         },
         1, 1},
        {"hole",
         [] {
             MeshData m = Cube();
             m.triangles.pop_back();
             return m;
         },
         1, 1},
        {"missing face (planar hole of four)",
         [] {
             MeshData m = Cube();
             m.triangles.erase(m.triangles.begin() + 2, m.triangles.begin() + 4);
             return m;
         },
         1, 1},
        {"inside-out cube with a hole",
         [] {
             MeshData m = Cube();
             m.triangles.pop_back();
             for (size_t t = 0; t < 11; t++) Flip(m, t);
             return m;
         },
         1, 1},
        {"corner cut away (skew hole of six)",
         [] {
             MeshData m = Cube();
             std::erase_if(m.triangles, [](const auto& t) { return t[0] == 7 || t[1] == 7 || t[2] == 7; });
             return m;
         },
         0.5, 1},
        {"duplicate triangle",
         [] {
             MeshData m = Cube();
             m.triangles.push_back(m.triangles[11]);
             return m;
         },
         1, 1},
        {"duplicate triangle in the other winding",
         [] {
             MeshData m = Cube();
             m.triangles.push_back({m.triangles[4][0], m.triangles[4][2], m.triangles[4][1]});
             return m;
         },
         1, 1},
        {"fin on an edge",
         [] {
             MeshData m = Cube();
             m.vertices.push_back({2, 2, 0.5});
             m.triangles.push_back({3, 7, 8});
             return m;
         },
         1, 1},
        {"fin listed first",
         [] {
             MeshData m = Cube();
             m.vertices.push_back({2, 2, 0.5});
             m.triangles.insert(m.triangles.begin(), {7, 3, 8});
             return m;
         },
         1, 1},
        {"two cubes sharing an edge",
         [] {
             MeshData m = Cube();
             AppendCube(m, {1, 1, 0}, 1);
             return m;
         },
         2, 2},
        {"two cubes sharing an edge, one inside out",
         [] {
             MeshData m = Cube();
             AppendCube(m, {1, 1, 0}, 1);
             for (size_t t = 12; t < 24; t++) Flip(m, t);
             return m;
         },
         2, 2},
        {"six tetrahedra around one edge",
         [] {
             MeshData m;
             m.vertices = {{0, 0, 0}, {0, 0, 1}};
             for (uint32_t i = 0; i < 6; i++) {
                 const double a = M_PI * i / 3;
                 m.vertices.push_back({std::cos(a), std::sin(a), 0.5});
                 m.vertices.push_back({std::cos(a + 0.5), std::sin(a + 0.5), 0.5});
                 const uint32_t c = 2 + 2 * i, d = c + 1;
                 m.triangles.insert(m.triangles.end(), {{0, 1, c}, {0, c, d}, {0, d, 1}, {1, d, c}});
             }
             return m;
         },
         std::sin(0.5) - 1e-12, std::sin(0.5) + 1e-12},
        {"repeated index",
         [] {
             MeshData m = Cube();
             m.triangles.push_back({0, 0, 1});
             return m;
         },
         1, 1},
        {"index past the last vertex",
         [] {
             MeshData m = Cube();
             m.triangles.push_back({0, 1, 99});
             return m;
         },
         1, 1},
        {"unwelded faces",
         [] { return CubeSoup(); },
         1, 1},
    };
}

}  // namespace

TEST(RepairMesh, GeneratedMeshesComeOutValidClosedAndOutward)
{
    for (const RepairCase& c : RepairCases()) {
        SCOPED_TRACE(c.name);
        MeshData before = c.build();
        TagCorners(before);
        ASSERT_FALSE(VerifyMesh(before).IsValid());
        MeshData after = before;
        RepairMesh(after, kFill);
        const MeshVerification check = VerifyMesh(after);
        EXPECT_TRUE(check.nonmanifold_triangles.empty()) << check.nonmanifold_triangles.size();
        EXPECT_TRUE(check.reversed_normal_triangles.empty()) << check.reversed_normal_triangles.size();
        const double volume = Volume(after);
        EXPECT_GE(volume, c.volume_min - 1e-12);
        EXPECT_LE(volume, c.volume_max + 1e-12);
        for (const auto& tri : after.triangles)
            for (uint32_t v : tri) ASSERT_LT(v, after.vertices.size());
        // No vertex is left unused.
        std::vector<uint8_t> used(after.vertices.size(), 0);
        for (const auto& tri : after.triangles)
            for (uint32_t v : tri) used[v] = 1;
        EXPECT_EQ(std::count(used.begin(), used.end(), 0), 0);
        ExpectPropertiesTravelled(before, after);
        MeshData again = before;
        RepairMesh(again, kFill);
        EXPECT_TRUE(SameMesh(after, again));
    }
}

// Welding joins every copy of a position, so the soup comes back as the
// cube's eight corners.
TEST(RepairMesh, WeldsIdenticalCoordinates)
{
    MeshData soup = CubeSoup();
    RepairMesh(soup, {});
    EXPECT_EQ(soup.vertices.size(), 8u);
    EXPECT_EQ(soup.triangles.size(), 12u);
}

// Valid meshes keep every byte, unused and coinciding vertices included.
TEST(RepairMesh, LeavesValidMeshesAlone)
{
    MeshData pinched = Cube();
    AppendCube(pinched, {1, 1, 1}, 1);
    MeshData spare = Cube();
    spare.vertices.push_back({0.5, 0.5, 0.5});
    spare.vertices.push_back(spare.vertices[0]);
    MeshData tagged = Cube();
    TagCorners(tagged);
    const MeshData cases[] = {Cube(), MeshData{}, pinched, spare, tagged};
    for (const MeshData& mesh : cases) {
        MeshData copy = mesh;
        RepairMesh(copy, kFill);
        EXPECT_TRUE(SameMesh(copy, mesh));
    }
}

// Without per-triangle properties, fills take the fill property only when
// it names one; the others stay without.
TEST(RepairMesh, FillPropertyOnMeshesWithoutProperties)
{
    MeshData plain = Cube();
    plain.triangles.pop_back();
    RepairMesh(plain, {});
    EXPECT_TRUE(plain.properties.empty());
    EXPECT_TRUE(VerifyMesh(plain).IsValid());

    MeshData defaulted = Cube();
    defaulted.triangles.pop_back();
    RepairMesh(defaulted, kFill);
    ASSERT_EQ(defaulted.properties.size(), 12u);
    size_t filled = 0;
    for (const TriangleProperty& p : defaulted.properties) {
        if (p.pid == kFill.pid) filled++;
        else EXPECT_EQ(p.pid, kNoProperty);
    }
    EXPECT_EQ(filled, 1u);
}

// Planar holes of concave outline: the fill must lie flat inside the
// outline, covering it once.
TEST(RepairMesh, FillsConcavePlanarHolesFlat)
{
    using Polygon = std::vector<std::pair<double, double>>;
    Polygon star;
    for (int i = 0; i < 14; i++) {
        const double r = i % 2 ? 0.4 : 1.0, a = M_PI * i / 7;
        star.push_back({r * std::cos(a), r * std::sin(a)});
    }
    Polygon comb = {{0, 0}, {7, 0}, {7, 3}};
    for (int tooth = 3; tooth >= 0; tooth--) {
        comb.push_back({2.0 * tooth + 0.5, 3});
        comb.push_back({2.0 * tooth + 0.5, 1});
        comb.push_back({2.0 * tooth, 1});
        if (tooth > 0) comb.push_back({2.0 * tooth, 3});
    }
    comb.back() = {0, 3};
    Polygon round;
    for (int i = 0; i < 200; i++) round.push_back({std::cos(2 * M_PI * i / 200), std::sin(2 * M_PI * i / 200)});
    struct Case {
        const char* name;
        Polygon outline;
    };
    const Case cases[] = {
        {"L", {{0, 0}, {2, 0}, {2, 1}, {1, 1}, {1, 3}, {0, 3}}},
        {"star", star},
        // A slit reaches into the thin ear at the origin.
        {"fork", {{0, 0}, {10, -0.5}, {30, -0.5}, {30, -0.1}, {3, 0}, {30, 0.1}, {30, 0.5}, {10, 0.5}}},
        {"comb", comb},
        {"200-gon", round},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const double h = 0.75;
        MeshData prism = OpenPrism(c.outline, h);
        const size_t walls = prism.triangles.size();
        RepairMesh(prism, {});
        EXPECT_TRUE(VerifyMesh(prism).IsValid());
        EXPECT_NEAR(Volume(prism), PolygonArea(c.outline) * h, 1e-9);
        // Signed areas of any ear clipping add up to the outline's area; only
        // a fill that folds over itself has more unsigned area.
        double unsigned_area = 0;
        for (size_t t = walls; t < prism.triangles.size(); t++) {
            const Vec3 &a = prism.vertices[prism.triangles[t][0]], &b = prism.vertices[prism.triangles[t][1]],
                       &c = prism.vertices[prism.triangles[t][2]];
            EXPECT_TRUE(a.z == b.z && a.z == c.z);
            unsigned_area += std::fabs((b.x - a.x) * (c.y - a.y) - (b.y - a.y) * (c.x - a.x)) / 2;
        }
        EXPECT_NEAR(unsigned_area, 2 * PolygonArea(c.outline), 1e-9);
    }
}

// The open top of a cube may be closed along either diagonal; where one of
// them is already an edge of a tetrahedron standing on it, the fill takes the
// other, or that edge would be used four times and cut apart.
TEST(RepairMesh, FillAvoidsDiagonalsThatAreEdgesElsewhere)
{
    struct Case {
        const char* name;
        uint32_t a, b;   // the top diagonal the tetrahedron stands on
        Vec3 x, y;       // its two apexes
    };
    const Case cases[] = {
        {"on 4-7", 4, 7, {1, 0, 2}, {0, 1, 2}},
        {"on 5-6", 5, 6, {0, 0, 2}, {1, 1, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MeshData mesh = Cube();
        mesh.triangles.erase(mesh.triangles.begin() + 2, mesh.triangles.begin() + 4);
        const uint32_t x = (uint32_t)mesh.vertices.size(), y = x + 1;
        mesh.vertices.push_back(c.x);
        mesh.vertices.push_back(c.y);
        mesh.triangles.push_back({c.a, c.b, x});
        mesh.triangles.push_back({c.a, x, y});
        mesh.triangles.push_back({c.a, y, c.b});
        mesh.triangles.push_back({c.b, y, x});
        RepairMesh(mesh, {});
        EXPECT_TRUE(VerifyMesh(mesh).IsValid());
        EXPECT_NEAR(Volume(mesh), 1 + 1.0 / 3, 1e-12);
        // No vertex had to be split to cut a four-triangle edge apart.
        EXPECT_EQ(mesh.vertices.size(), 10u);
    }
}
