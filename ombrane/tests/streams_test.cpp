// In-memory stream semantics, the stream copy and the whole-stream read.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "ombrane/platform/streams.h"

using namespace winrt::Windows::Storage::Streams;
using namespace ombrane::platform;

namespace {

std::vector<uint8_t> Pattern(size_t n)
{
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; i++) bytes[i] = static_cast<uint8_t>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

}  // namespace

TEST(MemoryStream, SizePositionAndSeekFollowReadsAndWrites)
{
    InMemoryRandomAccessStream stream;
    EXPECT_EQ(stream.Size(), 0u);
    EXPECT_EQ(stream.Position(), 0u);
    EXPECT_EQ(stream.WriteAsync({1, 2, 3, 4}).get(), 4u);
    EXPECT_EQ(stream.Position(), 4u);
    stream.Seek(1);
    EXPECT_EQ(stream.ReadAsync(2).get(), (std::vector<uint8_t>{2, 3}));
    EXPECT_EQ(stream.Position(), 3u);
    // A read past the end gives what is there, then nothing.
    EXPECT_EQ(stream.ReadAsync(10).get(), (std::vector<uint8_t>{4}));
    EXPECT_TRUE(stream.ReadAsync(10).get().empty());
    // A write past the end fills the gap with zeros.
    stream.Seek(6);
    stream.WriteAsync({9}).get();
    EXPECT_EQ(*MemoryStreamBytes(stream), (std::vector<uint8_t>{1, 2, 3, 4, 0, 0, 9}));
    // Size cuts or extends and keeps the position.
    stream.Size(2);
    EXPECT_EQ(stream.Position(), 7u);
    EXPECT_EQ(*MemoryStreamBytes(stream), (std::vector<uint8_t>{1, 2}));
    stream.Size(3);
    EXPECT_EQ(*MemoryStreamBytes(stream), (std::vector<uint8_t>{1, 2, 0}));
    EXPECT_TRUE(stream.FlushAsync().get());
}

TEST(MemoryStream, CopiesShareOneStream)
{
    InMemoryRandomAccessStream stream(std::vector<uint8_t>{5, 6});
    IRandomAccessStream other = stream;
    other.Seek(2);
    other.WriteAsync({7}).get();
    EXPECT_EQ(stream.Size(), 3u);
    EXPECT_EQ(stream.Position(), 3u);
}

TEST(StreamCopy, CopiesFromTheSourcePositionToItsEnd)
{
    struct Case {
        const char* name;
        size_t size;
        uint64_t from;
    };
    // Sizes around the copy's chunk, and a start inside the stream.
    const Case cases[] = {
        {"empty", 0, 0},
        {"one byte", 1, 0},
        {"one chunk exactly", 1 << 16, 0},
        {"several chunks and a tail", 3 * (1 << 16) + 17, 0},
        {"from the middle", 1000, 400},
        {"from past the end", 10, 50},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> bytes = Pattern(c.size);
        InMemoryRandomAccessStream source(bytes);
        source.Seek(c.from);
        InMemoryRandomAccessStream destination(std::vector<uint8_t>{0xAA});
        destination.Seek(1);
        uint64_t copied = RandomAccessStream::CopyAsync(source, destination).get();
        size_t start = c.from < c.size ? static_cast<size_t>(c.from) : c.size;
        EXPECT_EQ(copied, c.size - start);
        std::vector<uint8_t> want{0xAA};
        want.insert(want.end(), bytes.begin() + static_cast<std::ptrdiff_t>(start), bytes.end());
        EXPECT_EQ(*MemoryStreamBytes(destination), want);
    }
}

TEST(StreamReadAll, ReadsFromTheStartWhateverThePosition)
{
    std::vector<uint8_t> bytes = Pattern(70000);
    InMemoryRandomAccessStream stream(bytes);
    stream.Seek(12345);
    EXPECT_EQ(ReadAllBytes(stream), bytes);
    EXPECT_EQ(stream.Position(), bytes.size());
}

TEST(StreamHandles, EmptyHandlesFailAsPlatformErrors)
{
    IRandomAccessStream empty;
    EXPECT_FALSE(empty);
    EXPECT_THROW(empty.Size(), winrt::hresult_illegal_method_call);
    EXPECT_THROW(empty.Seek(0), winrt::hresult_illegal_method_call);
    // Asynchronous members fail where awaited.
    IInputStream empty_input;
    auto read = empty_input.ReadAsync(4);
    EXPECT_THROW(read.get(), winrt::hresult_illegal_method_call);
    auto copy = RandomAccessStream::CopyAsync(IInputStream(), InMemoryRandomAccessStream());
    EXPECT_THROW(copy.get(), winrt::hresult_illegal_method_call);
    EXPECT_EQ(MemoryStreamBytes(empty), nullptr);
}
