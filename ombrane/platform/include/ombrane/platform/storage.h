// Files by absolute path: StorageFile and opening it as a stream. Only
// regular files are files here: a folder, pipe or device is refused, so no
// open ever blocks.
#pragma once

#include <string>

#include "ombrane/platform/async.h"
#include "ombrane/platform/streams.h"

namespace winrt::Windows::Storage {

enum class FileAccessMode : int32_t { Read = 0, ReadWrite = 1 };

class StorageFile {
public:
    StorageFile() noexcept = default;
    explicit operator bool() const noexcept { return !path_.empty(); }

    // The existing regular file at an absolute path. Fails with file not
    // found (0x80070002), path not found (0x80070003), access denied
    // (0x80070005) or invalid argument (0x80070057: relative path, or not a
    // regular file).
    static Foundation::IAsyncOperation<StorageFile> GetFileFromPathAsync(std::wstring path);

    // A stream at position 0: read-only for Read, read-write for ReadWrite.
    // The file is checked again on opening; the same failures apply.
    Foundation::IAsyncOperation<Streams::IRandomAccessStream> OpenAsync(FileAccessMode mode) const;

    const std::wstring& Path() const noexcept { return path_; }

private:
    explicit StorageFile(std::wstring path) : path_(std::move(path)) {}
    std::wstring path_;
};

}  // namespace winrt::Windows::Storage

namespace ombrane::platform {

// A read-write stream at position 0 over a duplicate of fd, a regular file
// open for reading and writing that the caller keeps: for a file that has no
// name yet (O_TMPFILE), which no StorageFile can reach. path names it in
// failure messages.
winrt::Windows::Storage::Streams::IRandomAccessStream StreamOverDescriptor(int fd, const std::wstring& path);

}  // namespace ombrane::platform
