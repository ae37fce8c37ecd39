// Byte streams: the input, output and random-access stream handles, an
// in-memory stream and the stream copy. Handles are reference-counted; the
// last one to go closes the stream. Asynchronous members complete on the
// layer's worker thread.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "ombrane/platform/async.h"

namespace winrt::impl {

// What a stream does; one implementation per kind of backing (file, memory).
// Calls are not concurrent: the layer runs one operation at a time.
class StreamImpl {
public:
    virtual ~StreamImpl() = default;
    virtual uint64_t Size() const = 0;
    virtual void SetSize(uint64_t size) = 0;
    virtual uint64_t Position() const = 0;
    virtual void Seek(uint64_t position) = 0;
    virtual bool CanRead() const = 0;
    virtual bool CanWrite() const = 0;
    // Reads up to n bytes at the position and advances it; 0 at the end.
    virtual size_t Read(uint8_t* data, size_t n) = 0;
    // Writes all n bytes at the position and advances it, growing the stream.
    virtual void Write(const uint8_t* data, size_t n) = 0;
    virtual void Flush() = 0;
};

}  // namespace winrt::impl

namespace winrt::Windows::Storage::Streams {

using Windows::Foundation::IAsyncOperation;

class IInputStream {
public:
    IInputStream() noexcept = default;
    explicit IInputStream(std::shared_ptr<impl::StreamImpl> impl) noexcept : impl_(std::move(impl)) {}
    explicit operator bool() const noexcept { return impl_ != nullptr; }

    // Up to count bytes from the position (fewer only at the end).
    IAsyncOperation<std::vector<uint8_t>> ReadAsync(uint32_t count) const;

    const std::shared_ptr<impl::StreamImpl>& Impl() const noexcept { return impl_; }

private:
    std::shared_ptr<impl::StreamImpl> impl_;
};

class IOutputStream {
public:
    IOutputStream() noexcept = default;
    explicit IOutputStream(std::shared_ptr<impl::StreamImpl> impl) noexcept : impl_(std::move(impl)) {}
    explicit operator bool() const noexcept { return impl_ != nullptr; }

    // Writes every byte at the position; yields the count written.
    IAsyncOperation<uint32_t> WriteAsync(std::vector<uint8_t> bytes) const;
    // Pushes written bytes to their backing store; yields true.
    IAsyncOperation<bool> FlushAsync() const;

    const std::shared_ptr<impl::StreamImpl>& Impl() const noexcept { return impl_; }

private:
    std::shared_ptr<impl::StreamImpl> impl_;
};

class IRandomAccessStream {
public:
    IRandomAccessStream() noexcept = default;
    explicit IRandomAccessStream(std::shared_ptr<impl::StreamImpl> impl) noexcept : impl_(std::move(impl)) {}
    explicit operator bool() const noexcept { return impl_ != nullptr; }

    uint64_t Size() const;
    // Cuts or extends (with zero bytes); the position is kept.
    void Size(uint64_t size) const;
    uint64_t Position() const;
    // A position past the end is allowed: a later write fills the gap with 0.
    void Seek(uint64_t position) const;
    bool CanRead() const;
    bool CanWrite() const;

    IAsyncOperation<std::vector<uint8_t>> ReadAsync(uint32_t count) const { return IInputStream(*this).ReadAsync(count); }
    IAsyncOperation<uint32_t> WriteAsync(std::vector<uint8_t> bytes) const
    {
        return IOutputStream(*this).WriteAsync(std::move(bytes));
    }
    IAsyncOperation<bool> FlushAsync() const { return IOutputStream(*this).FlushAsync(); }

    operator IInputStream() const noexcept { return IInputStream(impl_); }
    operator IOutputStream() const noexcept { return IOutputStream(impl_); }

    const std::shared_ptr<impl::StreamImpl>& Impl() const noexcept { return impl_; }

private:
    impl::StreamImpl& Checked() const;
    std::shared_ptr<impl::StreamImpl> impl_;
};

// A growable stream in memory, readable and writable, at position 0.
class InMemoryRandomAccessStream : public IRandomAccessStream {
public:
    InMemoryRandomAccessStream();
    // Holds these bytes (moved in), at position 0.
    explicit InMemoryRandomAccessStream(std::vector<uint8_t> bytes);
};

class RandomAccessStream {
public:
    // Copies from the source's position to its end into the destination at
    // its position; yields the byte count.
    static IAsyncOperation<uint64_t> CopyAsync(IInputStream source, IOutputStream destination);
};

}  // namespace winrt::Windows::Storage::Streams

namespace ombrane::platform {

// Synchronous helpers for layer code that already runs on the layer's
// thread (package load and save).

// Every byte of the stream, from position 0; the position ends at the end.
std::vector<uint8_t> ReadAllBytes(const winrt::Windows::Storage::Streams::IRandomAccessStream& stream);

// The bytes an in-memory stream holds, without a copy of the stream; null for
// any other kind of stream.
const std::vector<uint8_t>* MemoryStreamBytes(const winrt::Windows::Storage::Streams::IRandomAccessStream& stream);

}  // namespace ombrane::platform
