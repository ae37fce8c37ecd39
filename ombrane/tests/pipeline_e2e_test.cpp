// Whole runs of the program: a cube with one flipped triangle comes out
// repaired and loads again as valid; a mesh the repair cannot mend is still
// saved with exit code 0; every package of the public corpus that must load
// runs through, its valid meshes and everything but the repaired meshes
// unchanged.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "3mf/package.h"
#include "doc_compare.h"
#include "mesh/mesh_ops.h"
#include "mesh_fixtures.h"
#include "model/model_document.h"
#include "test_support.h"

namespace {

using namespace ombrane::platform;
using namespace ombrane_test;

const std::string kCorpus = MESHTOOLS_CORPUS_DIR;

// A mesh object (id 2, default material 1/0) used by a components object
// (id 3) placed by a build item with a transform; inch, two metadata entries.
ModelDocument DocumentAround(const MeshData& mesh)
{
    ModelDocument doc;
    doc.unit = DocUnit::Inch;
    doc.metadata = {{"Title", "broken cube", "", ""}, {"Designer", "tests", "", ""}};
    doc.base_materials.push_back({1, {{"red", "#FF0000"}, {"blue", "#0000FF"}}});
    Object part;
    part.id = 2;
    part.name = "cube";
    part.pid = 1;
    part.pindex = 0;
    part.has_mesh = true;
    part.mesh = mesh;
    Object assembly;
    assembly.id = 3;
    Transform shift;
    shift.present = true;
    shift.m[9] = 5;
    shift.m[10] = -2.5;
    assembly.components.push_back({2, shift});
    doc.objects = {part, assembly};
    doc.resource_order = {{ResourceKind::BaseMaterials, 0}, {ResourceKind::Object, 0}, {ResourceKind::Object, 1}};
    Transform lift;
    lift.present = true;
    lift.m[11] = 10;
    doc.build.push_back({3, lift, ""});
    return doc;
}

ModelDocument ReadPackage(const std::string& path)
{
    const std::vector<uint8_t> bytes = testsupport::ReadBytes(path);
    return ReadModelDocument(bytes.data(), bytes.size());
}

// Lines of the run's output that start with prefix, in order.
std::vector<std::string> LinesStartingWith(const std::string& out, const std::string& prefix)
{
    std::vector<std::string> lines;
    for (size_t at = 0; at < out.size();) {
        size_t end = out.find('\n', at);
        if (end == std::string::npos) end = out.size();
        if (out.compare(at, prefix.size(), prefix) == 0) lines.push_back(out.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

// Runs input through the program into a fresh file; the saved document.
struct Outcome {
    testsupport::RunResult run;
    std::string saved_path;
};

Outcome RunOmbrane(const testsupport::TempDir& dir, const std::string& input)
{
    Outcome o;
    o.saved_path = std::filesystem::absolute(dir.file("fixed.3mf")).string();
    o.run = testsupport::Run({OMBRANE_EXE, input, o.saved_path});
    return o;
}

TEST(PipelineEndToEnd, CubeWithOneFlippedTriangleIsRepairedAndSaved)
{
    testsupport::TempDir dir;
    MeshData cube = meshfix::Cube();
    meshfix::Flip(cube, 4);
    cube.properties.resize(12);
    cube.properties[4] = {1, {1, kNoProperty, kNoProperty}};
    testsupport::WriteBytes(dir.file("broken.3mf"), WriteModelDocument(DocumentAround(cube)));
    const ModelDocument before = ReadPackage(dir.file("broken.3mf"));

    const Outcome o = RunOmbrane(dir, dir.file("broken.3mf"));
    ASSERT_EQ(o.run.status, 0) << o.run.out;
    EXPECT_EQ(LinesStartingWith(o.run.out, "[Verify] "),
              (std::vector<std::string>{"[Verify] BeforeRepair", "[Verify] Mesh 0 IsValid=false",
                                        "[Verify] NonmanifoldTriangles=0", "[Verify] ReversedNormalTriangles=1",
                                        "[Verify] AfterRepair", "[Verify] Mesh 0 IsValid=true"}));
    EXPECT_NE(o.run.out.find("[Verify] ReversedNormalTriangles=1\n[Repair] RepairAsync...\n[Repair] Done\n[Model] "
                             "Repaired\n"),
              std::string::npos)
        << o.run.out;
    const std::string save_line = "[Save] " + o.saved_path + "\n";
    ASSERT_GE(o.run.out.size(), save_line.size());
    EXPECT_EQ(o.run.out.substr(o.run.out.size() - save_line.size()), save_line);

    ModelDocument after = ReadPackage(o.saved_path);
    const MeshData& repaired = after.objects[0].mesh;
    EXPECT_TRUE(VerifyMesh(repaired).IsValid());
    EXPECT_DOUBLE_EQ(meshfix::Volume(repaired), 1.0);
    // The property stayed on the triangle that had it, now turned outward.
    ASSERT_EQ(repaired.properties.size(), 12u);
    EXPECT_EQ(repaired.properties[4].p[0], 1u);
    EXPECT_EQ(repaired.triangles[4], (std::array<uint32_t, 3>{0, 1, 5}));

    // Unit, metadata, materials, components, transforms and build: unchanged.
    after.objects[0].mesh = before.objects[0].mesh;
    ExpectSameDocument(before, after);
}

// A band with a half twist cannot be oriented: it stays invalid, and the
// run still saves it and ends with exit code 0.
TEST(PipelineEndToEnd, MeshStillInvalidAfterRepairIsSavedWithExitCodeZero)
{
    MeshData band;
    const uint32_t n = 8;
    for (uint32_t i = 0; i < n; i++) {
        const double a = 2 * M_PI * i / n, twist = a / 2;
        for (double side : {-1.0, 1.0})
            band.vertices.push_back({(3 + side * std::cos(twist)) * std::cos(a),
                                     (3 + side * std::cos(twist)) * std::sin(a), side * std::sin(twist)});
    }
    for (uint32_t i = 0; i < n; i++) {
        const uint32_t b0 = 2 * i, t0 = 2 * i + 1;
        // The last quad joins the first one upside down.
        const uint32_t b1 = i + 1 < n ? 2 * i + 2 : 1, t1 = i + 1 < n ? 2 * i + 3 : 0;
        band.triangles.push_back({b0, b1, t1});
        band.triangles.push_back({b0, t1, t0});
    }
    testsupport::TempDir dir;
    testsupport::WriteBytes(dir.file("band.3mf"), WriteModelDocument(DocumentAround(band)));

    const Outcome o = RunOmbrane(dir, dir.file("band.3mf"));
    EXPECT_EQ(o.run.status, 0) << o.run.out;
    const std::vector<std::string> verify = LinesStartingWith(o.run.out, "[Verify] ");
    ASSERT_EQ(verify.size(), 8u) << o.run.out;
    EXPECT_EQ(verify[1], "[Verify] Mesh 0 IsValid=false");
    EXPECT_EQ(verify[5], "[Verify] Mesh 0 IsValid=false");
    const ModelDocument after = ReadPackage(o.saved_path);
    EXPECT_FALSE(VerifyMesh(after.objects[0].mesh).IsValid());
}

TEST(PipelineEndToEnd, CorpusPackagesRunThroughWithValidMeshesUnchanged)
{
    const std::vector<CorpusCase> cases = ReadCorpusTable(kCorpus + "/README.md");
    ASSERT_GE(cases.size(), 50u);
    size_t ran = 0;
    for (const CorpusCase& c : cases) {
        if (c.verdict == "reject") continue;
        SCOPED_TRACE(c.file);
        testsupport::TempDir dir;
        const Outcome o = RunOmbrane(dir, kCorpus + "/" + c.file);
        if (c.verdict == "either") {
            EXPECT_TRUE(o.run.status == 0 || o.run.status == 2) << o.run.out;
            if (o.run.status != 0) continue;
        }
        ASSERT_EQ(o.run.status, 0) << o.run.out;
        ran++;
        ModelDocument before = ReadPackage(kCorpus + "/" + c.file);
        const ModelDocument after = ReadPackage(o.saved_path);
        ASSERT_EQ(before.objects.size(), after.objects.size());
        for (size_t i = 0; i < before.objects.size(); i++) {
            if (!before.objects[i].has_mesh) continue;
            EXPECT_TRUE(VerifyMesh(after.objects[i].mesh).IsValid()) << "object " << before.objects[i].id;
            // Repaired meshes are taken over; a valid one must not have moved.
            if (!VerifyMesh(before.objects[i].mesh).IsValid()) before.objects[i].mesh = after.objects[i].mesh;
        }
        ExpectSameDocument(before, after);
    }
    EXPECT_GE(ran, 30u);
}

}  // namespace
