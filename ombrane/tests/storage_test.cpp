// Files by absolute path: what is refused and how, and file streams.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "ombrane/platform/storage.h"
#include "ombrane/platform/system.h"
#include "test_support.h"

using namespace winrt::Windows::Storage;
using namespace winrt::Windows::Storage::Streams;
using namespace ombrane::platform;

namespace {

winrt::hresult CodeOf(const auto& operation)
{
    try {
        operation.get();
    } catch (const winrt::hresult_error& e) {
        return e.code();
    }
    return kOk;
}

std::wstring Wide(const std::string& utf8)
{
    return Utf8ToWide(utf8);
}

}  // namespace

TEST(StorageGetFile, RefusesWhatIsNotAnExistingRegularFile)
{
    testsupport::TempDir dir;
    testsupport::WriteBytes(dir.file("plain"), {1, 2, 3});
    ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0600), 0);
    std::filesystem::create_directory(dir.file("folder"));
    struct Case {
        const char* name;
        std::string path;
        winrt::hresult code;
    };
    const Case cases[] = {
        {"regular file", dir.file("plain"), kOk},
        {"missing file", dir.file("missing"), kFileNotFound},
        {"below a regular file", dir.file("plain") + "/inner", kPathNotFound},
        {"relative path", "plain", kInvalidArgument},
        {"empty path", "", kInvalidArgument},
        {"folder", dir.file("folder"), kInvalidArgument},
        {"pipe", dir.file("pipe"), kInvalidArgument},
        {"device", "/dev/null", kInvalidArgument},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto op = StorageFile::GetFileFromPathAsync(Wide(c.path));
        EXPECT_EQ(CodeOf(op), c.code);
        if (c.code != kOk) {
            // The message names the path.
            try {
                op.get();
            } catch (const winrt::hresult_error& e) {
                EXPECT_NE(e.message().find(L"\"" + Wide(c.path) + L"\""), std::wstring::npos) << e.message();
            }
        }
    }
}

TEST(StorageOpen, ReadStreamReadsTheFileAndRefusesWrites)
{
    testsupport::TempDir dir;
    // A name outside ASCII reaches the file system as UTF-8.
    std::string path = dir.file("mod\xC3\xA8le \xE2\x82\xAC.3mf");
    testsupport::WriteBytes(path, {10, 20, 30, 40, 50});
    StorageFile file = StorageFile::GetFileFromPathAsync(Wide(path)).get();
    EXPECT_EQ(file.Path(), Wide(path));
    IRandomAccessStream stream = file.OpenAsync(FileAccessMode::Read).get();
    EXPECT_EQ(stream.Size(), 5u);
    EXPECT_EQ(stream.Position(), 0u);
    EXPECT_FALSE(stream.CanWrite());
    EXPECT_EQ(ReadAllBytes(stream), (std::vector<uint8_t>{10, 20, 30, 40, 50}));
    stream.Seek(3);
    EXPECT_EQ(stream.ReadAsync(10).get(), (std::vector<uint8_t>{40, 50}));
    EXPECT_EQ(CodeOf(stream.WriteAsync({1})), kAccessDenied);
    EXPECT_THROW(stream.Size(0), winrt::hresult_access_denied);
    EXPECT_EQ(testsupport::ReadBytes(path).size(), 5u);
}

TEST(StorageOpen, ReadWriteStreamTruncatesCopiesAndFlushesToDisk)
{
    testsupport::TempDir dir;
    std::string path = dir.file("out.3mf");
    testsupport::WriteBytes(path, std::vector<uint8_t>(100, 0xEE));
    StorageFile file = StorageFile::GetFileFromPathAsync(Wide(path)).get();
    IRandomAccessStream stream = file.OpenAsync(FileAccessMode::ReadWrite).get();
    EXPECT_TRUE(stream.CanWrite());
    stream.Size(0);
    std::vector<uint8_t> package(200000);
    for (size_t i = 0; i < package.size(); i++) package[i] = static_cast<uint8_t>(i % 253);
    InMemoryRandomAccessStream source(package);
    EXPECT_EQ(RandomAccessStream::CopyAsync(source, stream).get(), package.size());
    EXPECT_TRUE(stream.FlushAsync().get());
    EXPECT_EQ(stream.Size(), package.size());
    EXPECT_EQ(testsupport::ReadBytes(path), package);
}

TEST(StorageOpen, FileReplacedByAPipeIsRefusedWithoutBlocking)
{
    testsupport::TempDir dir;
    std::string path = dir.file("swap");
    testsupport::WriteBytes(path, {1});
    StorageFile file = StorageFile::GetFileFromPathAsync(Wide(path)).get();
    std::filesystem::remove(path);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    EXPECT_EQ(CodeOf(file.OpenAsync(FileAccessMode::Read)), kInvalidArgument);
    EXPECT_EQ(CodeOf(file.OpenAsync(FileAccessMode::ReadWrite)), kInvalidArgument);
    std::filesystem::remove(path);
    EXPECT_EQ(CodeOf(file.OpenAsync(FileAccessMode::Read)), kFileNotFound);
}

TEST(StorageOpen, StreamOutlivesTheFileHandleAndTheCaller)
{
    testsupport::TempDir dir;
    std::string path = dir.file("kept");
    testsupport::WriteBytes(path, {4, 5, 6});
    IRandomAccessStream stream;
    {
        StorageFile file = StorageFile::GetFileFromPathAsync(Wide(path)).get();
        auto open = file.OpenAsync(FileAccessMode::Read);
        file = StorageFile();
        stream = open.get();
    }
    EXPECT_EQ(ReadAllBytes(stream), (std::vector<uint8_t>{4, 5, 6}));
}
