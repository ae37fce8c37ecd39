// Saving the model as a 3MF package. The package goes to a temporary file
// beside the output, which replaces the output only once everything was
// written and flushed: a failed save leaves an earlier file (the input
// itself, maybe) as it was.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>

#include "ombrane.h"
#include "ombrane/platform/errors.h"
#include "ombrane/platform/storage.h"
#include "ombrane/platform/system.h"

namespace ombrane {

namespace fs = std::filesystem;

using winrt::Windows::Graphics::Printing3D::Printing3D3MFPackage;
using winrt::Windows::Storage::FileAccessMode;
using winrt::Windows::Storage::StorageFile;
using winrt::Windows::Storage::Streams::IRandomAccessStream;
using winrt::Windows::Storage::Streams::RandomAccessStream;

namespace {

constexpr const char* kCannotCreate = "Impossible de créer le fichier de sortie.";

// Removes the temporary file unless the save handed it over.
struct TemporaryFile {
    fs::path path;
    bool kept = false;
    ~TemporaryFile()
    {
        if (kept || path.empty()) return;
        std::error_code ec;
        fs::remove(path, ec);
    }
};

// A new file in folder. O_EXCL: an entry already there under the name (a
// stale file, a planted link) is never truncated, followed or later removed;
// the next name is tried. The name is short, so an output name near the
// length limit still has a temporary beside it.
fs::path CreateTemporaryIn(const fs::path& folder)
{
    const std::string stem = ".ombrane-" + std::to_string(getpid()) + "-";
    for (unsigned attempt = 0; attempt < 100; attempt++) {
        fs::path candidate = folder / (stem + std::to_string(attempt) + ".tmp");
        int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            return candidate;
        }
        if (errno != EEXIST) break;
    }
    throw std::runtime_error(kCannotCreate);
}

}  // namespace

IAsyncAction SaveModelToFileAsync(const Printing3DModel& model, const std::wstring& path)
{
    const std::wstring absolute_path = platform::PathToWide(fs::absolute(platform::PathFromWide(path)));
    const fs::path native_path = platform::PathFromWide(absolute_path);
    const fs::path parent = native_path.parent_path();
    if (!parent.empty()) fs::create_directories(parent);

    // The output must be a file we may write: a folder there, or a file
    // that cannot be opened for writing, fails as creating it would.
    // Anything but a regular file is refused before any open: opening a pipe
    // for writing would block until a reader came.
    const fs::file_status existing = fs::status(native_path);
    if (fs::exists(existing) && !fs::is_regular_file(existing)) throw std::runtime_error(kCannotCreate);
    if (fs::exists(native_path) && !std::ofstream(native_path, std::ios::binary | std::ios::app))
        throw std::runtime_error(kCannotCreate);

    TemporaryFile temp;
    temp.path = CreateTemporaryIn(parent);

    {
        StorageFile file = co_await StorageFile::GetFileFromPathAsync(platform::PathToWide(temp.path));
        IRandomAccessStream output = co_await file.OpenAsync(FileAccessMode::ReadWrite);
        output.Size(0);
        Printing3D3MFPackage package;
        co_await package.SaveModelToPackageAsync(model);
        IRandomAccessStream package_stream = co_await package.SaveAsync();
        package_stream.Seek(0);
        const uint64_t copied = co_await RandomAccessStream::CopyAsync(package_stream, output);
        if (copied != package_stream.Size())
            throw platform::PlatformError(platform::kFail, "3MF: the package was written only in part");
        if (!co_await output.FlushAsync())
            throw platform::PlatformError(platform::kFail, "3MF: the output file could not be flushed");
    }
    // A file replaced keeps its permissions, as one rewritten in place would.
    if (fs::exists(existing)) fs::permissions(temp.path, existing.permissions());
    fs::rename(temp.path, native_path);
    temp.kept = true;
    std::wcout << L"[Save] " << absolute_path << L"\n";
}

}  // namespace ombrane
