// Zip archives held in memory (libzip): whole-archive read with bounded
// sizes, deterministic write. The 3MF reader and writer build on these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct zip;       // zip_t of libzip
struct zip_file;  // zip_file_t of libzip

namespace ombrane::platform {

// Returns to the system the free memory that the allocator still holds,
// after a load or save has freed its large blocks.
void ReleaseFreedMemory();

// Raises the platform error for content that is not a loadable 3MF package.
[[noreturn]] void ThrowInvalidPackage(const std::string& message);

// ASCII case folding. OPC part names are equal under it: the reader's check
// for a name used twice and every lookup of a part by name use this one.
std::string LowerAscii(std::string_view s);

struct ZipEntry {
    std::string name;  // as stored, UTF-8
    std::vector<uint8_t> bytes;
};

// Every file entry in archive order (folder entries are skipped). Refuses,
// before inflating anything, an entry declared larger than max_entry_bytes
// or entries declared larger than max_total_bytes together; refuses a
// damaged entry (bad CRC, short data) and a name used twice.
std::vector<ZipEntry> ReadZip(const uint8_t* data, size_t size,
                              uint64_t max_entry_bytes, uint64_t max_total_bytes);

// An archive open for reading: its file entries are listed, bounded and
// checked for twice-used names when it opens (the refusals of ReadZip, in
// its order); each entry is inflated only when asked for. The archive bytes
// must outlive the reader.
class ZipReader {
public:
    ZipReader(const uint8_t* data, size_t size, uint64_t max_entry_bytes, uint64_t max_total_bytes);
    ~ZipReader();
    ZipReader(const ZipReader&) = delete;
    ZipReader& operator=(const ZipReader&) = delete;

    size_t count() const { return entries_.size(); }
    const std::string& name(size_t i) const { return entries_[i].name; }

    // One entry inflated piece by piece into the caller's buffer.
    class Stream {
    public:
        Stream(Stream&& other) noexcept;
        ~Stream();
        // Up to cap bytes; 0 once the declared size is delivered (or the
        // data ends short of it, which Finish refuses).
        size_t Read(uint8_t* buf, size_t cap);
        // Reads whatever is left and refuses the entry when it is damaged:
        // a read error, a CRC mismatch, or data shorter or longer than its
        // declared size.
        void Finish();

    private:
        friend class ZipReader;
        Stream(zip_file* file, const std::string* name, uint64_t size) : file_(file), name_(name), size_(size) {}
        zip_file* file_;
        const std::string* name_;
        uint64_t size_, got_ = 0;
        bool ended_ = false;
    };

    Stream Open(size_t i);
    // The whole entry, refused as Stream::Finish refuses it.
    std::vector<uint8_t> Read(size_t i);
    // Inflates the entry only to refuse it when it is damaged.
    void Check(size_t i);

private:
    struct Entry {
        uint64_t index;  // in the archive, folder entries counted
        std::string name;
        uint64_t size;
    };
    zip* archive_ = nullptr;
    std::vector<Entry> entries_;
};

// Bytes of an entry made while the archive is written, never held whole.
class ZipProducer {
public:
    virtual ~ZipProducer() = default;
    virtual uint64_t Size() = 0;  // exactly what the reads deliver in all
    virtual void Rewind() = 0;
    virtual size_t Read(uint8_t* buf, size_t cap) = 0;  // 0 at the end
};

struct ZipInput {
    std::string_view name;
    const uint8_t* data;
    size_t size;
    ZipProducer* producer = nullptr;  // when set, the entry's bytes instead of data
};

// Deflates the entries in the given order with a fixed timestamp: the same
// input always gives the same archive bytes. The inputs need only live for
// the call.
std::vector<uint8_t> WriteZip(const std::vector<ZipInput>& entries);

}  // namespace ombrane::platform
