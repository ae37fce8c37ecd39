// Saving the model as a 3MF package. The package goes to a temporary file
// beside the output, which replaces the output only once everything was
// written and flushed: a failed save leaves an earlier file (the input
// itself, maybe) as it was.
#include <unistd.h>

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
        if (kept) return;
        std::error_code ec;
        fs::remove(path, ec);
    }
};

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
    temp.path = native_path;
    temp.path += ".ombrane-" + std::to_string(getpid()) + ".tmp";
    {
        std::ofstream created(temp.path, std::ios::binary | std::ios::trunc);
        if (!created) throw std::runtime_error(kCannotCreate);
    }

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
    fs::rename(temp.path, native_path);
    temp.kept = true;
    std::wcout << L"[Save] " << absolute_path << L"\n";
}

}  // namespace ombrane
