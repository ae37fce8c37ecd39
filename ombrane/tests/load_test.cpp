// Loading a model from a file: the existence test, the console lines and
// their order, and where each failure surfaces.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "console_capture.h"
#include "ombrane.h"
#include "test_support.h"

using namespace ombrane;
using namespace ombrane::platform;

namespace {

struct LoadRun {
    std::string out;
    winrt::hresult code = kOk;  // kOk: a model was delivered
    std::wstring message;
};

LoadRun Load(const std::wstring& path)
{
    LoadRun run;
    ConsoleCapture console;
    IAsyncOperation<Printing3DModel> operation;
    // Never raised by the call itself.
    EXPECT_NO_THROW(operation = LoadModelFrom3mfFileAsync(path));
    try {
        operation.get();
    } catch (const winrt::hresult_error& e) {
        run.code = e.code();
        run.message = e.message();
    }
    run.out = console.text();
    return run;
}

// Runs in dir as the working folder, restored afterwards.
class InFolder {
public:
    explicit InFolder(const std::string& dir) : saved_(std::filesystem::current_path())
    {
        std::filesystem::current_path(dir);
    }
    ~InFolder() { std::filesystem::current_path(saved_); }

private:
    std::filesystem::path saved_;
};

}  // namespace

TEST(Load, MissingInputWritesNothing)
{
    testsupport::TempDir dir;
    for (const std::string& path : {dir.file("absent.3mf"), dir.file("no/such/folder/x.3mf")}) {
        SCOPED_TRACE(path);
        LoadRun run = Load(Utf8ToWide(path));
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.code, kFail);
        EXPECT_EQ(run.message, L"Fichier 3MF introuvable.");
    }
}

TEST(Load, FolderLeavesTheSizeLabelWithoutValue)
{
    testsupport::TempDir dir;
    LoadRun run = Load(Utf8ToWide(dir.path()));
    EXPECT_EQ(run.out, "[Load] " + dir.path() + "\n[Load] Size=");
    EXPECT_EQ(run.code, kFail);
    EXPECT_NE(run.message.find(L"Is a directory"), std::wstring::npos) << WideToUtf8(run.message);
}

TEST(Load, RelativePathIsShownAbsoluteAndSizeComesFirst)
{
    testsupport::TempDir dir;
    // Not a package: the platform refuses it after the two lines.
    testsupport::WriteBytes(dir.file("pas un mod\xC3\xA8le.txt"), {'n', 'o', 'p', 'e'});
    testsupport::WriteBytes(dir.file("empty.3mf"), {});
    InFolder here(dir.path());
    const std::string cwd = std::filesystem::current_path().string();
    struct Case {
        std::string path, shown;
        const char* size;
    };
    const Case cases[] = {
        {"pas un mod\xC3\xA8le.txt", cwd + "/pas un mod\xC3\xA8le.txt", "4"},
        {"./empty.3mf", cwd + "/./empty.3mf", "0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        LoadRun run = Load(Utf8ToWide(c.path));
        EXPECT_EQ(run.out, "[Load] " + c.shown + "\n[Load] Size=" + c.size + " bytes\n");
        EXPECT_NE(run.code, kOk);
    }
}

TEST(Load, PackageLoadWritesOkLast)
{
    const std::string path = std::string(MESHTOOLS_CORPUS_DIR) + "/MUSTPASS_Chapter3.2b_UnitsMeasurementMM.3mf";
    ASSERT_TRUE(std::filesystem::is_regular_file(path)) << "missing fixture " << path;
    const std::string shown = std::filesystem::absolute(path).string();
    LoadRun run = Load(Utf8ToWide(path));
    EXPECT_EQ(run.code, kOk) << WideToUtf8(run.message);
    EXPECT_EQ(run.out, "[Load] " + shown + "\n[Load] Size=" + std::to_string(std::filesystem::file_size(path)) +
                           " bytes\n[Load] OK\n");
}
