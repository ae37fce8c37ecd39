// Loading a model from a 3MF file: absolute path, existence, size, then the
// platform's package load.
#include <filesystem>
#include <iostream>
#include <stdexcept>

#include "ombrane.h"
#include "ombrane/platform/storage.h"
#include "ombrane/platform/system.h"

namespace ombrane {

using winrt::Windows::Graphics::Printing3D::Printing3D3MFPackage;
using winrt::Windows::Storage::FileAccessMode;
using winrt::Windows::Storage::StorageFile;
using winrt::Windows::Storage::Streams::IRandomAccessStream;

IAsyncOperation<Printing3DModel> LoadModelFrom3mfFileAsync(const std::wstring& path)
{
    namespace fs = std::filesystem;
    // Wide text goes through UTF-8 here: the library's own conversion of
    // wide paths depends on the locale and fails on accented letters.
    const std::wstring absolute_path = platform::PathToWide(fs::absolute(platform::PathFromWide(path)));
    const fs::path native_path = platform::PathFromWide(absolute_path);
    if (!fs::exists(native_path)) throw std::runtime_error("Fichier 3MF introuvable.");
    std::wcout << L"[Load] " << absolute_path << L"\n";
    // The label first: a failing size query leaves it on the console.
    std::wcout << L"[Load] Size=";
    const uintmax_t size = fs::file_size(native_path);
    std::wcout << static_cast<uint64_t>(size) << L" bytes\n";

    StorageFile file = co_await StorageFile::GetFileFromPathAsync(absolute_path);
    IRandomAccessStream stream = co_await file.OpenAsync(FileAccessMode::Read);
    Printing3D3MFPackage package;
    Printing3DModel model = co_await package.LoadModelFromPackageAsync(stream);
    std::wcout << L"[Load] OK\n";
    // Locals go in reverse order: package, stream, file, then the path.
    co_return model;
}

}  // namespace ombrane
