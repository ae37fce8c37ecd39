// The Printing3D classes over the document: a package loads from a stream,
// the model's views count what the document holds, a package saves what it
// was given and refuses to save nothing.
#include <gtest/gtest.h>

#include "3mf/package.h"
#include "doc_compare.h"
#include "ombrane/platform/printing3d.h"
#include "printing3d/printing3d_access.h"
#include "test_support.h"

namespace {

using namespace ombrane::platform;
using namespace ombrane_test;
using namespace winrt::Windows::Graphics::Printing3D;
using winrt::Windows::Storage::Streams::InMemoryRandomAccessStream;

TEST(Package, LoadsSavesAndLoadsAgainThroughStreams)
{
    std::vector<uint8_t> bytes =
        testsupport::ReadBytes(std::string(MESHTOOLS_CORPUS_DIR) + "/BuildItems__WagonWithWheels.3mf");
    Printing3D3MFPackage loader;
    Printing3DModel model = loader.LoadModelFromPackageAsync(InMemoryRandomAccessStream(bytes)).get();
    EXPECT_EQ(model.Unit(), Printing3DModelUnit::Millimeter);
    EXPECT_EQ(model.Meshes().Size(), 2u);
    EXPECT_EQ(model.Components().Size(), 3u);
    EXPECT_EQ(model.Build().Components().Size(), 2u);

    Printing3D3MFPackage saver;
    saver.SaveModelToPackageAsync(model).get();
    auto stream = saver.SaveAsync().get();
    EXPECT_EQ(stream.Position(), 0u);
    std::vector<uint8_t> saved = ReadAllBytes(stream);
    ModelDocument again = ReadModelDocument(saved.data(), saved.size());
    ExpectSameDocument(*DocumentOf(model), again);
}

TEST(Package, RefusalsComeWhereAwaited)
{
    Printing3D3MFPackage empty;
    Raised r = RaisedBy([&] { empty.SaveAsync().get(); });
    EXPECT_EQ(r.code, kIllegalMethodCall);
    r = RaisedBy([&] {
        Printing3D3MFPackage loader;
        auto op = loader.LoadModelFromPackageAsync(InMemoryRandomAccessStream(std::vector<uint8_t>{'P', 'K'}));
        op.get();
    });
    EXPECT_EQ(r.code, kInvalidData);
    EXPECT_NE(r.text.find("not a zip archive"), std::string::npos) << r.text;
}

TEST(Package, MetadataMapKeepsTheFirstOfARepeatedName)
{
    auto doc = std::make_shared<ModelDocument>();
    doc->metadata = {{"Title", "first", "", ""}, {"Title", "second", "", ""}, {"Désigner", "é", "", ""}};
    auto map = ModelOver(doc).Metadata();
    EXPECT_EQ(map.Size(), 2u);
    EXPECT_EQ(map.Lookup(L"Title"), L"first");
    EXPECT_EQ(map.Lookup(L"Désigner"), L"é");
}

}  // namespace
