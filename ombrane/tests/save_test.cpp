// Saving: the output path's forms, folders made on the way, refusals with
// their texts, and failures that leave an earlier output untouched.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "3mf/package.h"
#include "console_capture.h"
#include "doc_compare.h"
#include "model/model_document.h"
#include "ombrane.h"
#include "printing3d/printing3d_access.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace ombrane::platform;
using namespace ombrane_test;

const std::string kBox = std::string(MESHTOOLS_CORPUS_DIR) + "/box.3mf";

std::shared_ptr<ModelDocument> BoxDocument()
{
    std::vector<uint8_t> bytes = testsupport::ReadBytes(kBox);
    return std::make_shared<ModelDocument>(ReadModelDocument(bytes.data(), bytes.size()));
}

Raised Save(const winrt::Windows::Graphics::Printing3D::Printing3DModel& model, const std::string& path)
{
    std::wstring wide = Utf8ToWide(path);
    return RaisedBy([&] { ombrane::SaveModelToFileAsync(model, wide).get(); });
}

void ExpectLoadsAs(const std::string& path, const ModelDocument& want)
{
    std::vector<uint8_t> bytes = testsupport::ReadBytes(path);
    ModelDocument got = ReadModelDocument(bytes.data(), bytes.size());
    ExpectSameDocument(want, got);
}

// Nothing but the expected entries in the folder: no temporary file left.
void ExpectOnly(const std::string& folder, const std::vector<std::string>& names)
{
    std::vector<std::string> found;
    for (const auto& e : fs::directory_iterator(folder)) found.push_back(e.path().filename().string());
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, names);
}

class CurrentFolder {
public:
    explicit CurrentFolder(const std::string& path) : saved_(fs::current_path()) { fs::current_path(path); }
    ~CurrentFolder() { fs::current_path(saved_); }

private:
    fs::path saved_;
};

TEST(Save, WritesThePackageWhereverThePathLeads)
{
    auto doc = BoxDocument();
    testsupport::TempDir dir;
    struct Case { const char* name; std::string given, written; };
    testsupport::WriteBytes(dir.file("old.3mf"), std::vector<uint8_t>(5000, 'x'));
    const Case cases[] = {
        {"plain", dir.file("a.3mf"), dir.file("a.3mf")},
        {"missing folders", dir.file("x/y/z/b.3mf"), dir.file("x/y/z/b.3mf")},
        {"existing file replaced", dir.file("old.3mf"), dir.file("old.3mf")},
        {"relative", "rel/c.3mf", dir.file("rel/c.3mf")},
    };
    CurrentFolder here(dir.path());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ConsoleCapture console;
        Raised r = Save(ModelOver(doc), c.given);
        ASSERT_EQ(r.code, 0) << r.text;
        EXPECT_EQ(console.text(), "[Save] " + c.written + "\n");
        ExpectLoadsAs(c.written, *doc);
    }
    ExpectOnly(dir.path(), {"a.3mf", "old.3mf", "rel", "x"});
}

TEST(Save, RefusalsKeepTheirTexts)
{
    auto doc = BoxDocument();
    testsupport::TempDir dir;
    fs::create_directories(dir.file("folder.3mf"));
    testsupport::WriteBytes(dir.file("plain"), {1, 2, 3});
    struct Case { const char* name; std::string path; const char* text; };
    const Case cases[] = {
        {"output is a folder", dir.file("folder.3mf"), "Impossible de créer le fichier de sortie."},
        {"a file in the middle of the path", dir.file("plain/sub/out.3mf"), "plain"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ConsoleCapture console;
        Raised r = Save(ModelOver(doc), c.path);
        EXPECT_EQ(uint32_t(r.code), 0x80004005u);
        EXPECT_NE(r.text.find(c.text), std::string::npos) << r.text;
        EXPECT_EQ(console.text(), "");
    }
    EXPECT_TRUE(testsupport::ReadBytes(dir.file("plain")) == std::vector<uint8_t>({1, 2, 3}));
    ExpectOnly(dir.path(), {"folder.3mf", "plain"});
}

// The temporary beside the output: an entry already under its name is
// neither followed nor removed, an output name at the length limit still
// saves, and a replaced file keeps its permissions.
TEST(Save, TemporaryFileTakesNothingThatIsThere)
{
    auto doc = BoxDocument();
    testsupport::TempDir dir;
    testsupport::WriteBytes(dir.file("victim"), {7, 7, 7});
    const std::string planted_name = ".ombrane-" + std::to_string(getpid()) + "-0.tmp";
    ASSERT_EQ(::symlink(dir.file("victim").c_str(), dir.file(planted_name).c_str()), 0);
    const std::string long_name = std::string(251, 'n') + ".3mf";  // 255 bytes, the limit
    testsupport::WriteBytes(dir.file("private.3mf"), {1});
    ASSERT_EQ(::chmod(dir.file("private.3mf").c_str(), 0640), 0);
    for (const std::string& name : {std::string("out.3mf"), long_name, std::string("private.3mf")}) {
        SCOPED_TRACE(name.size());
        ConsoleCapture console;
        Raised r = Save(ModelOver(doc), dir.file(name));
        ASSERT_EQ(r.code, 0) << r.text;
        ExpectLoadsAs(dir.file(name), *doc);
    }
    EXPECT_TRUE(testsupport::ReadBytes(dir.file("victim")) == std::vector<uint8_t>({7, 7, 7}));
    EXPECT_TRUE(fs::is_symlink(dir.file(planted_name)));
    struct stat st;
    ASSERT_EQ(::stat(dir.file("private.3mf").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    std::vector<std::string> names = {planted_name, long_name, "out.3mf", "private.3mf", "victim"};
    std::sort(names.begin(), names.end());
    ExpectOnly(dir.path(), names);
}

TEST(Save, FailedSaveLeavesTheEarlierFileAsItWas)
{
    testsupport::TempDir dir;
    std::string path = dir.file("model.3mf");
    std::vector<uint8_t> earlier = testsupport::ReadBytes(kBox);
    testsupport::WriteBytes(path, earlier);

    // The package cannot be built: an empty model handle.
    {
        ConsoleCapture console;
        Raised r = Save(winrt::Windows::Graphics::Printing3D::Printing3DModel(), path);
        EXPECT_NE(r.code, 0);
        EXPECT_EQ(console.text(), "");
    }
    EXPECT_TRUE(testsupport::ReadBytes(path) == earlier);
    ExpectOnly(dir.path(), {"model.3mf"});

    // The package is built but the disk takes only part of it; the output is
    // also the file the model was loaded from.
    winrt::Windows::Graphics::Printing3D::Printing3DModel loaded;
    {
        ConsoleCapture console;
        loaded = ombrane::LoadModelFrom3mfFileAsync(Utf8ToWide(path)).get();
    }
    signal(SIGXFSZ, SIG_IGN);
    rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 100;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    Raised r;
    {
        ConsoleCapture console;
        r = Save(loaded, path);
        EXPECT_EQ(console.text(), "");
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_NE(r.code, 0);
    EXPECT_TRUE(testsupport::ReadBytes(path) == earlier);
    ExpectOnly(dir.path(), {"model.3mf"});
}

TEST(Save, ProgramKeepsItsInputWhenSavingOverItFails)
{
    testsupport::TempDir dir;
    std::string path = dir.file("sphere.3mf");
    std::vector<uint8_t> earlier = testsupport::ReadBytes(std::string(MESHTOOLS_CORPUS_DIR) + "/sphere.3mf");
    testsupport::WriteBytes(path, earlier);
    // Files may grow to 4 KiB only; the package is larger.
    std::string script = "trap '' XFSZ; ulimit -f 8; exec \"$0\" \"$1\" \"$2\"";
    testsupport::RunResult r = testsupport::Run({"/bin/sh", "-c", script, OMBRANE_EXE, path, path});
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.out.find("[Verify] AfterRepair"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("[Save] "), std::string::npos) << r.out;
    EXPECT_TRUE(testsupport::ReadBytes(path) == earlier);
    ExpectOnly(dir.path(), {"sphere.3mf"});

    // Without the limit the same run replaces it with the repaired model.
    r = testsupport::Run({OMBRANE_EXE, path, path});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("[Save] " + path + "\n"), std::string::npos) << r.out;
    ExpectOnly(dir.path(), {"sphere.3mf"});
}

}  // namespace
