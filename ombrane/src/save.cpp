// Saving the model as a 3MF package. The package goes to a temporary file
// beside the output, which replaces the output only once everything was
// written and flushed: a failed save leaves an earlier file (the input
// itself, maybe) as it was. The temporary file is unnamed (O_TMPFILE) until
// then, so a killed run leaves nothing behind either.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
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
using winrt::Windows::Storage::Streams::IRandomAccessStream;
using winrt::Windows::Storage::Streams::RandomAccessStream;

namespace {

constexpr const char* kCannotCreate = "Impossible de créer le fichier de sortie.";

// Takes the first free short name ".ombrane-<pid>-<n>.tmp" in folder with
// make, an exclusive create (open O_EXCL, linkat): an entry already under a
// name (a stale file, a planted link) is never truncated, followed or later
// removed; the next name is tried. The name is short, so an output name near
// the length limit still has a temporary beside it.
template <typename Make>
fs::path TakeFreshName(const fs::path& folder, Make make)
{
    const std::string stem = ".ombrane-" + std::to_string(getpid()) + "-";
    for (unsigned attempt = 0; attempt < 100; attempt++) {
        fs::path candidate = folder / (stem + std::to_string(attempt) + ".tmp");
        if (make(candidate)) return candidate;
        if (errno != EEXIST) break;
    }
    throw std::runtime_error(kCannotCreate);
}

// The open file the package is written to. Unnamed where the file system
// and /proc allow it, named only when complete; else a named file, removed
// unless it replaced the output.
class TemporaryFile {
public:
    explicit TemporaryFile(const fs::path& folder) : folder_(folder)
    {
        fd_ = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
        struct stat st;
        if (fd_ >= 0 && ::stat(ProcPath().c_str(), &st) == 0) return;
        if (fd_ >= 0) ::close(fd_);
        name_ = TakeFreshName(folder, [&](const fs::path& name) {
            fd_ = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            return fd_ >= 0;
        });
    }
    ~TemporaryFile()
    {
        if (fd_ >= 0) ::close(fd_);
        if (replaced_ || name_.empty()) return;
        std::error_code ec;
        fs::remove(name_, ec);
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    int fd() const { return fd_; }
    // What failure messages call it: its name, or the output it becomes.
    fs::path ShownAs(const fs::path& output) const { return name_.empty() ? output : name_; }

    // The complete, flushed file replaces output: named first, if it has no
    // name yet, then renamed over it. Between the two a kill leaves the
    // named file; no call can replace an entry with an unnamed file.
    void Replace(const fs::path& output)
    {
        if (name_.empty()) {
            const std::string proc = ProcPath();
            name_ = TakeFreshName(folder_, [&](const fs::path& name) {
                return ::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
            });
        }
        fs::rename(name_, output);
        replaced_ = true;
    }

private:
    std::string ProcPath() const { return "/proc/self/fd/" + std::to_string(fd_); }

    fs::path folder_, name_;
    int fd_ = -1;
    bool replaced_ = false;
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

    // Past a file-size limit a write must fail (EFBIG) like a full disk,
    // rather than kill the process with the temporary file left behind.
    std::signal(SIGXFSZ, SIG_IGN);
    TemporaryFile temp(parent);

    {
        IRandomAccessStream output =
            platform::StreamOverDescriptor(temp.fd(), platform::PathToWide(temp.ShownAs(native_path)));
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
    if (fs::exists(existing) && ::fchmod(temp.fd(), static_cast<mode_t>(existing.permissions())) != 0)
        throw fs::filesystem_error("cannot set permissions", native_path,
                                   std::error_code(errno, std::generic_category()));
    temp.Replace(native_path);
    std::wcout << L"[Save] " << absolute_path << L"\n";
}

}  // namespace ombrane
