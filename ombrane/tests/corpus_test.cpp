// The public 3MF corpus, where it lies: every package gets the README's
// verdict; accepted ones give the README's counts and survive a save and a
// second load unchanged.
#include <gtest/gtest.h>

#include "doc_compare.h"
#include "model_document.h"
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

}  // namespace
