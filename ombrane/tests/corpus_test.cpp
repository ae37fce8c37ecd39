// The public 3MF corpus, where it lies: every package gets the README's
// verdict; accepted ones give the README's counts and survive a save and a
// second load unchanged.
#include <gtest/gtest.h>

#include "3mf/package.h"
#include "console_capture.h"
#include "doc_compare.h"
#include "model/model_document.h"
#include "ombrane.h"
#include "test_support.h"

namespace {

using namespace ombrane::platform;
using namespace ombrane_test;

const std::string kCorpus = MESHTOOLS_CORPUS_DIR;

// Loads, or returns the refusal's text in *error.
bool TryRead(const std::vector<uint8_t>& bytes, ModelDocument& doc, std::string* error)
{
    Raised r = RaisedBy([&] { doc = ReadModelDocument(bytes.data(), bytes.size()); });
    *error = r.text;
    return r.code == 0;
}

void ExpectCounts(const CorpusCase& c, const ModelDocument& doc)
{
    if (c.meshes < 0) return;
    int meshes = 0;
    for (const Object& o : doc.objects) meshes += o.has_mesh;
    EXPECT_EQ(int(doc.unit), c.unit);
    EXPECT_EQ(meshes, c.meshes);
    EXPECT_EQ(int(doc.objects.size()), c.objects);
    EXPECT_EQ(int(doc.build.size()), c.items);
    EXPECT_EQ(int(doc.metadata.size()), c.metadata);
}

TEST(Corpus, EveryPackageGetsItsVerdictAndAcceptedOnesRoundTrip)
{
    std::vector<CorpusCase> cases = ReadCorpusTable(kCorpus + "/README.md");
    ASSERT_GE(cases.size(), 50u);
    for (const CorpusCase& c : cases) {
        SCOPED_TRACE(c.file);
        std::vector<uint8_t> bytes = testsupport::ReadBytes(kCorpus + "/" + c.file);
        ASSERT_FALSE(bytes.empty());
        ModelDocument doc;
        std::string error;
        bool loaded = TryRead(bytes, doc, &error);
        if (c.verdict == "reject") {
            EXPECT_FALSE(loaded) << "accepted a must-reject package";
            EXPECT_EQ(error.rfind("3MF: ", 0), 0u) << error;
            continue;
        }
        if (c.verdict == "accept") {
            EXPECT_TRUE(loaded) << error;
        }
        if (!loaded) continue;
        ExpectCounts(c, doc);

        std::vector<uint8_t> saved = WriteModelDocument(doc);
        ModelDocument again;
        ASSERT_TRUE(TryRead(saved, again, &error)) << error;
        ExpectSameDocument(doc, again);
        EXPECT_TRUE(WriteModelDocument(again) == saved) << "a second save gives other bytes";
    }
}

TEST(Corpus, LoadedPackagesSummariseAsTheReadmeCounts)
{
    for (const CorpusCase& c : ReadCorpusTable(kCorpus + "/README.md")) {
        if (c.verdict != "accept") continue;
        SCOPED_TRACE(c.file);
        ConsoleCapture console;
        Raised r = RaisedBy([&] {
            auto model = ombrane::LoadModelFrom3mfFileAsync(Utf8ToWide(kCorpus + "/" + c.file)).get();
            ombrane::LogModelSummary(model, L"Loaded");
        });
        ASSERT_EQ(r.code, 0) << r.text;
        std::string text = console.text();
        std::string summary = text.substr(text.find("[Load] OK\n") + 10);
        EXPECT_EQ(summary, "[Model] Loaded\n[Model] Unit=" + std::to_string(c.unit) +
                               "\n[Model] Meshes=" + std::to_string(c.meshes) +
                               "\n[Model] Components=" + std::to_string(c.objects) +
                               "\n[Model] BuildItems=" + std::to_string(c.items) +
                               "\n[Model] Metadata=" + std::to_string(c.metadata) + "\n");
    }
}

TEST(Corpus, ProgramRefusesEveryMustRejectPackage)
{
    testsupport::TempDir dir;
    for (const CorpusCase& c : ReadCorpusTable(kCorpus + "/README.md")) {
        if (c.verdict != "reject") continue;
        SCOPED_TRACE(c.file);
        testsupport::RunResult r = testsupport::Run({OMBRANE_EXE, kCorpus + "/" + c.file, dir.file("out")});
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.out.find("[HRESULT] 0x8007000d : 3MF: "), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("[Load] OK"), std::string::npos) << r.out;
        EXPECT_FALSE(testsupport::FileExists(dir.file("out.3mf")));
    }
}

}  // namespace
