// Files by absolute path and their streams over POSIX descriptors.
#include "ombrane/platform/storage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

#include "ombrane/platform/errors.h"
#include "ombrane/platform/text.h"

namespace winrt::Windows::Storage {

using ombrane::platform::kInvalidArgument;
using ombrane::platform::ThrowErrno;
using ombrane::platform::WideToUtf8;

namespace {

std::wstring Quoted(const std::wstring& path)
{
    return L"\"" + path + L"\"";
}

[[noreturn]] void ThrowNotRegular(const wchar_t* op, const std::wstring& path)
{
    winrt::throw_hresult(kInvalidArgument, std::wstring(op) + L": " + Quoted(path) + L" is not a regular file");
}

// One open descriptor, closed with the last stream handle.
class FileStream : public winrt::impl::StreamImpl {
public:
    FileStream(int fd, bool writable, std::wstring path) : fd_(fd), writable_(writable), path_(std::move(path)) {}
    ~FileStream() override { ::close(fd_); }

    uint64_t Size() const override
    {
        struct stat st;
        if (::fstat(fd_, &st) != 0) Fail(L"size of", errno);
        return static_cast<uint64_t>(st.st_size);
    }
    void SetSize(uint64_t size) override
    {
        if (size > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) Fail(L"resizing", EFBIG);
        if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) Fail(L"resizing", errno);
    }
    uint64_t Position() const override { return position_; }
    void Seek(uint64_t position) override { position_ = position; }
    bool CanRead() const override { return true; }
    bool CanWrite() const override { return writable_; }
    size_t Read(uint8_t* data, size_t n) override
    {
        for (;;) {
            if (position_ > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) return 0;
            ssize_t got = ::pread(fd_, data, n, static_cast<off_t>(position_));
            if (got >= 0) {
                position_ += static_cast<uint64_t>(got);
                return static_cast<size_t>(got);
            }
            if (errno != EINTR) Fail(L"reading", errno);
        }
    }
    void Write(const uint8_t* data, size_t n) override
    {
        while (n > 0) {
            if (position_ > static_cast<uint64_t>(std::numeric_limits<off_t>::max() - (off_t)n)) Fail(L"writing", EFBIG);
            ssize_t done = ::pwrite(fd_, data, n, static_cast<off_t>(position_));
            if (done < 0) {
                if (errno == EINTR) continue;
                Fail(L"writing", errno);
            }
            // No progress on a non-empty write: report it rather than spin.
            if (done == 0) Fail(L"writing", ENOSPC);
            position_ += static_cast<uint64_t>(done);
            data += done;
            n -= static_cast<size_t>(done);
        }
    }
    void Flush() override
    {
        if (::fsync(fd_) != 0 && errno != EINVAL && errno != EROFS) Fail(L"flushing", errno);
    }

private:
    [[noreturn]] void Fail(const wchar_t* what, int err) const
    {
        ThrowErrno(err, std::wstring(L"file stream: ") + what + L" " + Quoted(path_));
    }

    int fd_;
    bool writable_;
    std::wstring path_;
    uint64_t position_ = 0;
};

}  // namespace

Foundation::IAsyncOperation<StorageFile> StorageFile::GetFileFromPathAsync(std::wstring path)
{
    co_await resume_background();
    if (path.empty() || path[0] != L'/')
        winrt::throw_hresult(kInvalidArgument, L"GetFileFromPathAsync: " + Quoted(path) + L" is not an absolute path");
    std::string native = WideToUtf8(path);
    struct stat st;
    if (::stat(native.c_str(), &st) != 0) ThrowErrno(errno, L"GetFileFromPathAsync: " + Quoted(path));
    if (!S_ISREG(st.st_mode)) ThrowNotRegular(L"GetFileFromPathAsync", path);
    co_return StorageFile(std::move(path));
}

Foundation::IAsyncOperation<Streams::IRandomAccessStream> StorageFile::OpenAsync(FileAccessMode mode) const
{
    // The coroutine outlives this handle's caller: work on a copy.
    std::wstring path = path_;
    co_await resume_background();
    if (path.empty()) winrt::throw_hresult(kInvalidArgument, L"OpenAsync: empty file handle");
    bool writable = mode == FileAccessMode::ReadWrite;
    std::string native = WideToUtf8(path);
    // Non-blocking so that a pipe put in the file's place cannot hang the
    // open; refused just after, with the descriptor in hand.
    int fd = ::open(native.c_str(), (writable ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) ThrowErrno(errno, L"OpenAsync: " + Quoted(path));
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        int err = errno;
        ::close(fd);
        ThrowErrno(err, L"OpenAsync: " + Quoted(path));
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        ThrowNotRegular(L"OpenAsync", path);
    }
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    std::shared_ptr<winrt::impl::StreamImpl> impl;
    try {
        impl = std::make_shared<FileStream>(fd, writable, path);
    } catch (...) {
        ::close(fd);
        throw;
    }
    co_return Streams::IRandomAccessStream(std::move(impl));
}

}  // namespace winrt::Windows::Storage

namespace ombrane::platform {

winrt::Windows::Storage::Streams::IRandomAccessStream StreamOverDescriptor(int fd, const std::wstring& path)
{
    using winrt::Windows::Storage::FileStream;
    int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own < 0) ThrowErrno(errno, L"StreamOverDescriptor: \"" + path + L"\"");
    std::shared_ptr<winrt::impl::StreamImpl> impl;
    try {
        impl = std::make_shared<FileStream>(own, true, path);
    } catch (...) {
        ::close(own);
        throw;
    }
    return winrt::Windows::Storage::Streams::IRandomAccessStream(std::move(impl));
}

}  // namespace ombrane::platform
