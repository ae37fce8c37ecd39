// The verification step's console lines over models built in memory, and a
// failure that leaves its label.
#include <gtest/gtest.h>

#include "console_capture.h"
#include "mesh_fixtures.h"
#include "model/model_document.h"
#include "ombrane.h"
#include "printing3d/printing3d_access.h"

namespace {

using namespace ombrane::platform;

std::shared_ptr<ModelDocument> DocumentWithMeshes(const std::vector<MeshData>& meshes)
{
    auto doc = std::make_shared<ModelDocument>();
    for (const MeshData& mesh : meshes) {
        Object object;
        object.id = (uint32_t)doc->objects.size() + 1;
        object.has_mesh = true;
        object.mesh = mesh;
        doc->objects.push_back(object);
    }
    return doc;
}

TEST(VerifyStep, WritesOneLinePerValidMeshAndThreePerInvalidOne)
{
    MeshData flipped = meshfix::Cube();
    meshfix::Flip(flipped, 3);
    MeshData holed = meshfix::Cube();
    holed.triangles.pop_back();
    for (size_t t = 0; t < 11; t++) meshfix::Flip(holed, t);
    MeshData open_flipped = meshfix::Cube();
    open_flipped.triangles.pop_back();
    meshfix::Flip(open_flipped, 0);

    auto mixed = DocumentWithMeshes({meshfix::Cube(), flipped, holed, open_flipped, MeshData{}});
    // An object of components sits between meshes without taking an index.
    Object assembly;
    assembly.id = 99;
    mixed->objects.insert(mixed->objects.begin() + 1, assembly);

    struct Case {
        const char* name;
        std::shared_ptr<ModelDocument> doc;
        std::wstring tag;
        const char* want;
    };
    const Case cases[] = {
        {"no meshes", DocumentWithMeshes({}), L"BeforeRepair", "[Verify] BeforeRepair\n"},
        {"mixed", mixed, L"AfterRepair",
         "[Verify] AfterRepair\n"
         "[Verify] Mesh 0 IsValid=true\n"
         "[Verify] Mesh 1 IsValid=false\n"
         "[Verify] NonmanifoldTriangles=0\n"
         "[Verify] ReversedNormalTriangles=1\n"
         "[Verify] Mesh 2 IsValid=false\n"
         "[Verify] NonmanifoldTriangles=3\n"
         "[Verify] ReversedNormalTriangles=0\n"
         "[Verify] Mesh 3 IsValid=false\n"
         "[Verify] NonmanifoldTriangles=3\n"
         "[Verify] ReversedNormalTriangles=1\n"
         "[Verify] Mesh 4 IsValid=true\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ConsoleCapture console;
        ombrane::VerifyModelMeshesAsync(ModelOver(c.doc), c.tag).get();
        EXPECT_EQ(console.text(), c.want);
    }
}

// The failure is delivered where the action is awaited, never by the call,
// and the tag line already written stays.
TEST(VerifyStep, FailureIsRaisedWhenAwaited)
{
    ConsoleCapture console;
    winrt::Windows::Graphics::Printing3D::Printing3DModel no_model;
    winrt::Windows::Foundation::IAsyncAction action;
    ASSERT_NO_THROW(action = ombrane::VerifyModelMeshesAsync(no_model, L"BeforeRepair"));
    EXPECT_THROW(action.get(), winrt::hresult_error);
    EXPECT_EQ(console.text(), "[Verify] BeforeRepair\n");
}

}  // namespace
