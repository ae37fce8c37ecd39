// The six summary lines, and the bare label a failing getter leaves.
#include <gtest/gtest.h>

#include "console_capture.h"
#include "model/model_document.h"
#include "ombrane.h"
#include "printing3d/printing3d_access.h"

namespace {

using namespace ombrane::platform;

TEST(Summary, WritesTagUnitAndCounts)
{
    struct Case { const char* name; std::wstring tag; std::shared_ptr<ModelDocument> doc; const char* want; };
    auto empty = std::make_shared<ModelDocument>();
    empty->unit = DocUnit::Foot;
    auto full = std::make_shared<ModelDocument>();
    full->unit = DocUnit::Micron;
    full->objects.resize(3);
    full->objects[0].has_mesh = full->objects[2].has_mesh = true;
    full->build.resize(4);
    full->metadata = {{"Title", "a", "", ""}, {"Designer", "b", "", ""}, {"Title", "again", "", ""}};
    const Case cases[] = {
        {"empty model", L"Loaded", empty,
         "[Model] Loaded\n[Model] Unit=5\n[Model] Meshes=0\n[Model] Components=0\n[Model] BuildItems=0\n"
         "[Model] Metadata=0\n"},
        // A name given twice is one entry of the metadata map.
        {"counts", L"", full,
         "[Model] \n[Model] Unit=1\n[Model] Meshes=2\n[Model] Components=3\n[Model] BuildItems=4\n"
         "[Model] Metadata=2\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ConsoleCapture console;
        ombrane::LogModelSummary(ModelOver(c.doc), c.tag);
        EXPECT_EQ(console.text(), c.want);
    }
}

TEST(Summary, FailingGetterLeavesItsLabel)
{
    ConsoleCapture console;
    winrt::Windows::Graphics::Printing3D::Printing3DModel no_model;
    EXPECT_THROW(ombrane::LogModelSummary(no_model, L"Repaired"), winrt::hresult_error);
    EXPECT_EQ(console.text(), "[Model] Repaired\n[Model] Unit=");
}

}  // namespace
