// Stream handles over their implementations, the in-memory stream and the
// stream copy.
#include "ombrane/platform/streams.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace winrt::impl {

namespace {

class MemoryStream : public StreamImpl {
public:
    MemoryStream() = default;
    explicit MemoryStream(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

    uint64_t Size() const override { return bytes_.size(); }
    void SetSize(uint64_t size) override { bytes_.resize(Fit(size)); }
    uint64_t Position() const override { return position_; }
    void Seek(uint64_t position) override { position_ = position; }
    bool CanRead() const override { return true; }
    bool CanWrite() const override { return true; }
    size_t Read(uint8_t* data, size_t n) override
    {
        if (position_ >= bytes_.size()) return 0;
        size_t take = std::min<uint64_t>(n, bytes_.size() - position_);
        std::memcpy(data, bytes_.data() + position_, take);
        position_ += take;
        return take;
    }
    void Write(const uint8_t* data, size_t n) override
    {
        if (n == 0) return;
        if (position_ > std::numeric_limits<size_t>::max() - n) throw std::bad_alloc();
        size_t end = static_cast<size_t>(position_) + n;
        if (end > bytes_.size()) bytes_.resize(end);
        std::memcpy(bytes_.data() + position_, data, n);
        position_ = end;
    }
    void Flush() override {}

    const std::vector<uint8_t>& Bytes() const { return bytes_; }

private:
    static size_t Fit(uint64_t size)
    {
        if (size > std::numeric_limits<size_t>::max()) throw std::bad_alloc();
        return static_cast<size_t>(size);
    }
    std::vector<uint8_t> bytes_;
    uint64_t position_ = 0;
};

}  // namespace

}  // namespace winrt::impl

namespace winrt::Windows::Storage::Streams {

using ombrane::platform::kIllegalMethodCall;
using ombrane::platform::kAccessDenied;

static impl::StreamImpl& CheckedImpl(const std::shared_ptr<impl::StreamImpl>& impl)
{
    if (!impl) winrt::throw_hresult(kIllegalMethodCall, L"stream: call on an empty stream handle");
    return *impl;
}

impl::StreamImpl& IRandomAccessStream::Checked() const
{
    return CheckedImpl(impl_);
}

uint64_t IRandomAccessStream::Size() const { return Checked().Size(); }
void IRandomAccessStream::Size(uint64_t size) const
{
    impl::StreamImpl& s = Checked();
    if (!s.CanWrite()) winrt::throw_hresult(kAccessDenied, L"stream: size set on a read-only stream");
    s.SetSize(size);
}
uint64_t IRandomAccessStream::Position() const { return Checked().Position(); }
void IRandomAccessStream::Seek(uint64_t position) const { Checked().Seek(position); }
bool IRandomAccessStream::CanRead() const { return Checked().CanRead(); }
bool IRandomAccessStream::CanWrite() const { return Checked().CanWrite(); }

// Each operation holds its own reference to the stream, so the caller may
// drop its handle while the operation runs.
static IAsyncOperation<std::vector<uint8_t>> ReadOnLayerAsync(std::shared_ptr<impl::StreamImpl> impl,
                                                              uint32_t count)
{
    co_await resume_background();
    impl::StreamImpl& s = CheckedImpl(impl);
    if (!s.CanRead()) winrt::throw_hresult(kAccessDenied, L"stream: read from a write-only stream");
    std::vector<uint8_t> bytes(count);
    size_t got = 0;
    while (got < count) {
        size_t n = s.Read(bytes.data() + got, count - got);
        if (n == 0) break;
        got += n;
    }
    bytes.resize(got);
    co_return bytes;
}

IAsyncOperation<std::vector<uint8_t>> IInputStream::ReadAsync(uint32_t count) const
{
    return ReadOnLayerAsync(impl_, count);
}

static IAsyncOperation<uint32_t> WriteOnLayerAsync(std::shared_ptr<impl::StreamImpl> impl, std::vector<uint8_t> bytes)
{
    co_await resume_background();
    impl::StreamImpl& s = CheckedImpl(impl);
    if (!s.CanWrite()) winrt::throw_hresult(kAccessDenied, L"stream: write to a read-only stream");
    s.Write(bytes.data(), bytes.size());
    co_return static_cast<uint32_t>(bytes.size());
}

IAsyncOperation<uint32_t> IOutputStream::WriteAsync(std::vector<uint8_t> bytes) const
{
    return WriteOnLayerAsync(impl_, std::move(bytes));
}

static IAsyncOperation<bool> FlushOnLayerAsync(std::shared_ptr<impl::StreamImpl> impl)
{
    co_await resume_background();
    impl::StreamImpl& s = CheckedImpl(impl);
    if (s.CanWrite()) s.Flush();
    co_return true;
}

IAsyncOperation<bool> IOutputStream::FlushAsync() const
{
    return FlushOnLayerAsync(impl_);
}

InMemoryRandomAccessStream::InMemoryRandomAccessStream()
    : IRandomAccessStream(std::make_shared<impl::MemoryStream>())
{
}

InMemoryRandomAccessStream::InMemoryRandomAccessStream(std::vector<uint8_t> bytes)
    : IRandomAccessStream(std::make_shared<impl::MemoryStream>(std::move(bytes)))
{
}

IAsyncOperation<uint64_t> RandomAccessStream::CopyAsync(IInputStream source, IOutputStream destination)
{
    co_await resume_background();
    impl::StreamImpl& in = CheckedImpl(source.Impl());
    impl::StreamImpl& out = CheckedImpl(destination.Impl());
    if (!in.CanRead()) winrt::throw_hresult(kAccessDenied, L"stream copy: the source is not readable");
    if (!out.CanWrite()) winrt::throw_hresult(kAccessDenied, L"stream copy: the destination is not writable");
    // One chunk buffer for the whole copy.
    std::vector<uint8_t> chunk(1 << 16);
    uint64_t copied = 0;
    for (;;) {
        size_t n = in.Read(chunk.data(), chunk.size());
        if (n == 0) break;
        out.Write(chunk.data(), n);
        copied += n;
    }
    co_return copied;
}

}  // namespace winrt::Windows::Storage::Streams

namespace ombrane::platform {

std::vector<uint8_t> ReadAllBytes(const winrt::Windows::Storage::Streams::IRandomAccessStream& stream)
{
    uint64_t size = stream.Size();
    if (size > std::numeric_limits<size_t>::max()) throw std::bad_alloc();
    if (!stream.CanRead()) winrt::throw_hresult(kAccessDenied, L"stream: read from a write-only stream");
    stream.Seek(0);
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    size_t got = 0;
    while (got < bytes.size()) {
        size_t n = stream.Impl()->Read(bytes.data() + got, bytes.size() - got);
        if (n == 0) break;
        got += n;
    }
    // A file that shrank meanwhile gives what it still has.
    bytes.resize(got);
    return bytes;
}

const std::vector<uint8_t>* MemoryStreamBytes(const winrt::Windows::Storage::Streams::IRandomAccessStream& stream)
{
    const auto* memory = dynamic_cast<const winrt::impl::MemoryStream*>(stream.Impl().get());
    return memory ? &memory->Bytes() : nullptr;
}

}  // namespace ombrane::platform
