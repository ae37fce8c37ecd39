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
#include "mesh_fixtures.h"
#include "model/model_document.h"
#include "ombrane.h"
#include "printing3d/printing3d_access.h"
#include "sanitizers.h"
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

// A package of one torus object, 2 * rings * sides triangles.
std::vector<uint8_t> TorusPackage(uint32_t rings, uint32_t sides)
{
    ModelDocument doc;
    Object torus;
    torus.id = 1;
    torus.has_mesh = true;
    torus.mesh = meshfix::Torus(rings, sides);
    doc.objects = {torus};
    doc.resource_order = {{ResourceKind::Object, 0}};
    doc.build.push_back({1, Transform(), ""});
    return WriteModelDocument(doc);
}

// Byte ranges of a saved package, from its zip records: the model part's
// compressed data and the central directory.
struct ZipLayout {
    uint64_t model_begin = 0, model_end = 0, directory_begin = 0, directory_end = 0;
};

ZipLayout LayoutOf(const std::vector<uint8_t>& zip)
{
    auto u16 = [&](uint64_t at) { return uint64_t(zip.at(at)) | uint64_t(zip.at(at + 1)) << 8; };
    auto u32 = [&](uint64_t at) { return u16(at) | u16(at + 2) << 16; };
    ZipLayout layout;
    uint64_t end_record = zip.size() - 22;  // no archive comment
    EXPECT_EQ(u32(end_record), 0x06054b50u);
    layout.directory_begin = u32(end_record + 16);
    layout.directory_end = layout.directory_begin + u32(end_record + 12);
    for (uint64_t at = layout.directory_begin; at < layout.directory_end;
         at += 46 + u16(at + 28) + u16(at + 30) + u16(at + 32)) {
        if (std::string(zip.begin() + at + 46, zip.begin() + at + 46 + u16(at + 28)) != "3D/3dmodel.model") continue;
        uint64_t local = u32(at + 42);
        layout.model_begin = local + 30 + u16(local + 26) + u16(local + 28);
        layout.model_end = layout.model_begin + u32(at + 20);
    }
    return layout;
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

// A save cut short by a file-size limit, wherever it lands in the package,
// or by a device that refuses writes, fails like a full disk: every line
// printed before it, then its failure line, exit 2, the earlier file as it
// was and nothing new beside it. The limits come with SIGXFSZ at its default
// action, which would kill a program that does not ignore it.
TEST(SaveProcess, SaveCutShortFailsAndLeavesNothing)
{
    testsupport::TempDir dir;
    const std::string input = dir.file("torus.3mf");
    testsupport::WriteBytes(input, TorusPackage(30, 30));
    const std::vector<uint8_t> earlier = testsupport::ReadBytes(input);
    fs::create_directory(dir.file("first"));
    const std::string first_output = dir.file("first/model.3mf");
    const testsupport::RunResult first = testsupport::Run({OMBRANE_EXE, input, first_output});
    ASSERT_EQ(first.status, 0) << first.out;
    const std::vector<uint8_t> saved = testsupport::ReadBytes(first_output);
    const ZipLayout at = LayoutOf(saved);
    ASSERT_LT(at.model_begin, at.model_end);
    ASSERT_LT(at.model_end, saved.size());
    ASSERT_LT(at.directory_begin, at.directory_end);
    const std::string lines_before_save = first.out.substr(0, first.out.find("[Save] "));

    // named_temporary: unnamed files refused, as some file systems do.
    struct Case { const char* name; int64_t limit; bool full_device, named_temporary; };
    const int64_t inside_model = int64_t(at.model_begin + at.model_end) / 2;
    const int64_t inside_directory = int64_t(at.directory_begin + at.directory_end) / 2;
    const Case cases[] = {
        {"limit inside the model part", inside_model, false, false},
        {"limit at the end of the model part", int64_t(at.model_end), false, false},
        {"limit inside the central directory", inside_directory, false, false},
        {"output is /dev/full", -1, true, false},
        {"limit inside the model part, named temporary file", inside_model, false, true},
        {"limit inside the central directory, named temporary file", inside_directory, false, true},
    };
    int n = 0;
    for (const Case& c : cases) {
        if (c.named_temporary && testsupport::kUnderSanitizer) continue;  // no preloading before the runtime
        SCOPED_TRACE(c.name);
        const std::string folder = dir.file("case" + std::to_string(n++));
        fs::create_directory(folder);
        const std::string output = folder + "/model.3mf";
        if (c.full_device)
            ASSERT_EQ(::symlink("/dev/full", output.c_str()), 0);
        else
            testsupport::WriteBytes(output, earlier);
        testsupport::RunOptions options;
        options.file_size_limit = c.limit;
        if (c.named_temporary) options.env.push_back("LD_PRELOAD=" MESHTOOLS_NO_TMPFILE_LIB);
        const testsupport::RunResult r = testsupport::Run({OMBRANE_EXE, input, output}, options);
        EXPECT_EQ(r.status, 2) << r.out;
        std::string want_before = lines_before_save;
        want_before.replace(want_before.find(first_output), first_output.size(), output);
        ASSERT_EQ(r.out.substr(0, want_before.size()), want_before) << r.out;
        const std::string last = r.out.substr(want_before.size());
        EXPECT_EQ(last.rfind("[HRESULT] 0x", 0), 0u) << last;
        EXPECT_EQ(last.find('\n'), last.size() - 1) << last;
        if (c.full_device)
            EXPECT_EQ(fs::read_symlink(output), "/dev/full");
        else
            EXPECT_TRUE(testsupport::ReadBytes(output) == earlier);
        ExpectOnly(folder, {"model.3mf"});
    }
}

// Where unnamed files are refused, the save goes through a named temporary
// file that replaces the output, keeping its permissions.
TEST(SaveProcess, NamedTemporaryFileReplacesTheOutput)
{
    if (testsupport::kUnderSanitizer) GTEST_SKIP() << "no preloading before the sanitizer runtime";
    testsupport::TempDir dir;
    const std::string input = dir.file("torus.3mf"), output = dir.file("out/model.3mf");
    const std::vector<uint8_t> package = TorusPackage(30, 30);
    testsupport::WriteBytes(input, package);
    fs::create_directory(dir.file("out"));
    testsupport::WriteBytes(output, {1, 2, 3});
    ASSERT_EQ(::chmod(output.c_str(), 0640), 0);
    testsupport::RunOptions options;
    options.env.push_back("LD_PRELOAD=" MESHTOOLS_NO_TMPFILE_LIB);
    const testsupport::RunResult r = testsupport::Run({OMBRANE_EXE, input, output}, options);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("[Save] " + output + "\n"), std::string::npos) << r.out;
    ExpectLoadsAs(output, ReadModelDocument(package.data(), package.size()));
    struct stat st;
    ASSERT_EQ(::stat(output.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    ExpectOnly(dir.file("out"), {"model.3mf"});
}

// A run killed while it saves, as soon as its file shows in the folder and
// later, leaves the earlier file or the complete new one and nothing else,
// and keeps the lines it printed before the save. The one exception is a
// kill in the instant between naming the complete file and renaming it over
// the output, which no call closes: the new file is then left whole beside
// the earlier one.
TEST(SaveProcess, KilledSaveLeavesTheEarlierFileOrTheNewOne)
{
    testsupport::TempDir dir;
    const std::string input = dir.file("torus.3mf");
    testsupport::WriteBytes(input, TorusPackage(400, 250));
    fs::create_directory(dir.file("first"));
    const testsupport::RunResult first = testsupport::Run({OMBRANE_EXE, input, dir.file("first/model.3mf")});
    ASSERT_EQ(first.status, 0) << first.out;
    const std::vector<uint8_t> saved = testsupport::ReadBytes(dir.file("first/model.3mf"));
    const std::vector<uint8_t> earlier(1000, 'e');
    const std::string verified = "[Verify] AfterRepair\n[Verify] Mesh 0 IsValid=true\n";

    fs::create_directory(dir.file("out"));
    const int killed = testsupport::KillWhileWriting(
        {OMBRANE_EXE, input, dir.file("out/model.3mf")}, dir.file("out/model.3mf"), earlier, saved,
        [&](const testsupport::RunResult& r) { EXPECT_NE(r.out.find(verified), std::string::npos) << r.out; });
    EXPECT_GT(killed, 0);
}

}  // namespace
