// Packages kept from the fuzz runs in fuzz/regressions/package (a minimised
// corpus, and any package that once broke the 3MF layer): each is loaded
// again and must be refused with a message or go through verification,
// repair and a save whose bytes load again as the same document.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "3mf/package.h"
#include "mesh/mesh_ops.h"
#include "model/model_document.h"
#include "ombrane/platform/errors.h"
#include "test_support.h"

namespace {

using namespace ombrane::platform;

std::vector<std::string> KeptInputs()
{
    std::vector<std::string> paths;
    const std::filesystem::path dir = std::filesystem::path(MESHTOOLS_SOURCE_DIR) / "fuzz/regressions/package";
    if (std::filesystem::is_directory(dir))
        for (const auto& e : std::filesystem::directory_iterator(dir))
            if (e.is_regular_file() && e.path().filename().string()[0] != '.') paths.push_back(e.path());
    std::sort(paths.begin(), paths.end());
    return paths;
}

TEST(FuzzRegressions, KeptPackagesAreRefusedOrRoundTrip)
{
    const std::vector<std::string> inputs = KeptInputs();
    ASSERT_FALSE(inputs.empty()) << "no kept input in fuzz/regressions/package";
    size_t loaded = 0;
    for (const std::string& path : inputs) {
        SCOPED_TRACE(path);
        const std::vector<uint8_t> bytes = testsupport::ReadBytes(path);
        ModelDocument doc;
        try {
            doc = ReadModelDocument(bytes.data(), bytes.size());
        } catch (const winrt::hresult_error& e) {
            EXPECT_LT(e.code(), 0);
            EXPECT_FALSE(e.message().empty());
            continue;
        }
        for (Object& object : doc.objects) {
            if (!object.has_mesh) continue;
            (void)VerifyMesh(object.mesh);
            // The fill property the model's repair gives: the object's default.
            TriangleProperty fill;
            if (object.pid != kNoProperty) {
                fill.pid = object.pid;
                fill.p[0] = object.pindex;
            }
            RepairMesh(object.mesh, fill);
            for (const auto& t : object.mesh.triangles)
                for (uint32_t v : t) ASSERT_LT(v, object.mesh.vertices.size());
            (void)VerifyMesh(object.mesh);
        }
        const std::vector<uint8_t> saved = WriteModelDocument(doc);
        ModelDocument reloaded;
        ASSERT_NO_THROW(reloaded = ReadModelDocument(saved.data(), saved.size()));
        EXPECT_EQ(WriteModelDocument(reloaded), saved);
        loaded++;
    }
    // Refusals alone would leave the repair and the save unreplayed.
    EXPECT_GT(loaded, 0u) << "no kept package loads";
}

}  // namespace
