// Zip archives in memory over libzip, sizes checked before any entry inflates.
// A bounded whole-archive reader, an entry-by-entry streaming reader and a
// deterministic writer (fixed entry times, entries in the caller's order).
#include "io/zip_package.h"

#include <zip.h>
#include <malloc.h>

#include "ombrane/platform/errors.h"

#include <algorithm>
#include <memory>
#include <stdexcept>

namespace ombrane::platform {

namespace {

struct ZipCloser {
    void operator()(zip_t* za) const { zip_discard(za); }
};
struct ZipSourceFreer {
    void operator()(zip_source_t* src) const { zip_source_free(src); }
};
struct ZipErrorFini {
    void operator()(zip_error_t* err) const { zip_error_fini(err); }
};

using ZipPtr = std::unique_ptr<zip_t, ZipCloser>;
using ZipSourcePtr = std::unique_ptr<zip_source_t, ZipSourceFreer>;

// 2000-01-01 00:00 in MS-DOS form: archives do not depend on the clock.
constexpr zip_uint16_t kDosDate = ((2000 - 1980) << 9) | (1 << 5) | 1;
constexpr zip_uint16_t kDosTime = 0;
// Fast deflate: the model part dominates and compresses well at any level.
constexpr zip_uint32_t kDeflateLevel = 1;

std::string ZipErrorText(zip_error_t* err)
{
    return zip_error_strerror(err);
}

[[noreturn]] void ThrowWriteFailure(const std::string& what)
{
    throw PlatformError(kFail, "3MF: cannot write the package: " + what);
}

// A read-only libzip source over a producer; it presents itself as a
// buffer source does, so the entry is compressed and stored alike.
struct ProducerSource {
    ZipProducer* producer;
    uint64_t size;
    zip_error_t error;
};

zip_int64_t ProducerCallback(void* state, void* data, zip_uint64_t len, zip_source_cmd_t cmd)
{
    auto* src = static_cast<ProducerSource*>(state);
    switch (cmd) {
    case ZIP_SOURCE_OPEN:
        src->producer->Rewind();
        return 0;
    case ZIP_SOURCE_READ:
        return zip_int64_t(src->producer->Read(static_cast<uint8_t*>(data), size_t(std::min<zip_uint64_t>(len, 1u << 30))));
    case ZIP_SOURCE_CLOSE:
        return 0;
    case ZIP_SOURCE_STAT: {
        zip_stat_t* st = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, len, &src->error);
        if (!st) return -1;
        zip_stat_init(st);
        st->size = src->size;
        st->comp_size = src->size;
        st->comp_method = ZIP_CM_STORE;
        st->encryption_method = ZIP_EM_NONE;
        st->valid = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD | ZIP_STAT_ENCRYPTION_METHOD;
        return sizeof(*st);
    }
    case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&src->error, data, len);
    case ZIP_SOURCE_FREE:
        zip_error_fini(&src->error);
        delete src;
        return 0;
    case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                              ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
    default:
        zip_error_set(&src->error, ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
}

zip_source_t* ProducerSourceOf(zip_t* za, ZipProducer* producer)
{
    auto* state = new ProducerSource{producer, producer->Size(), {}};
    zip_error_init(&state->error);
    zip_source_t* src = zip_source_function(za, &ProducerCallback, state);
    if (!src) {
        zip_error_fini(&state->error);
        delete state;
    }
    return src;
}

}  // namespace

std::string LowerAscii(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return out;
}

void ReleaseFreedMemory()
{
    // glibc raises its mmap threshold to the size of each large block freed,
    // so later blocks of a few MiB (libzip's output pieces, a growing mesh)
    // come from the heap, which keeps them resident after they are freed.
    malloc_trim(0);
}

void ThrowInvalidPackage(const std::string& message)
{
    throw PlatformError(kInvalidData, message);
}

ZipReader::ZipReader(const uint8_t* data, size_t size, uint64_t max_entry_bytes, uint64_t max_total_bytes)
{
    // libzip takes an empty buffer for an empty archive.
    if (size == 0) ThrowInvalidPackage("3MF: the package is not a zip archive (the file is empty)");
    zip_error_t err;
    zip_error_init(&err);
    std::unique_ptr<zip_error_t, ZipErrorFini> err_guard(&err);

    ZipSourcePtr src(zip_source_buffer_create(data, size, 0, &err));
    if (!src) throw std::bad_alloc();
    ZipPtr za(zip_open_from_source(src.get(), ZIP_RDONLY, &err));
    if (!za) {
        if (zip_error_code_zip(&err) == ZIP_ER_MEMORY) throw std::bad_alloc();
        ThrowInvalidPackage("3MF: the package is not a zip archive (" + ZipErrorText(&err) + ")");
    }
    src.release();  // the archive owns it now

    zip_int64_t count = zip_get_num_entries(za.get(), 0);
    uint64_t total = 0;
    for (zip_int64_t i = 0; i < count; i++) {
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(za.get(), zip_uint64_t(i), 0, &st) != 0 ||
            !(st.valid & ZIP_STAT_NAME) || !(st.valid & ZIP_STAT_SIZE))
            ThrowInvalidPackage("3MF: zip entry " + std::to_string(i) + " is unreadable");
        std::string name = st.name;
        if (!name.empty() && name.back() == '/') continue;
        if (st.size > max_entry_bytes)
            ThrowInvalidPackage("3MF: part " + name + " is too large (" + std::to_string(st.size) +
                                " bytes uncompressed, at most " + std::to_string(max_entry_bytes) + ")");
        total += st.size;
        if (total > max_total_bytes)
            ThrowInvalidPackage("3MF: the package is too large (more than " +
                                std::to_string(max_total_bytes) + " bytes uncompressed)");
        entries_.push_back({zip_uint64_t(i), std::move(name), st.size});
    }

    // OPC part names are equal under ASCII case folding.
    std::vector<std::string> folded;
    folded.reserve(entries_.size());
    for (const Entry& e : entries_) folded.push_back(LowerAscii(e.name));
    std::sort(folded.begin(), folded.end());
    auto dup = std::adjacent_find(folded.begin(), folded.end());
    if (dup != folded.end()) ThrowInvalidPackage("3MF: part name " + *dup + " is used twice");
    archive_ = za.release();
}

ZipReader::~ZipReader()
{
    if (archive_) zip_discard(archive_);
}

ZipReader::Stream::Stream(Stream&& other) noexcept
    : file_(other.file_), name_(other.name_), size_(other.size_), got_(other.got_), ended_(other.ended_)
{
    other.file_ = nullptr;
}

ZipReader::Stream::~Stream()
{
    if (file_) zip_fclose(file_);
}

size_t ZipReader::Stream::Read(uint8_t* buf, size_t cap)
{
    if (ended_ || got_ == size_ || cap == 0) return 0;
    zip_int64_t n = zip_fread(file_, buf, std::min<uint64_t>(cap, size_ - got_));
    if (n < 0) ThrowInvalidPackage("3MF: part " + *name_ + " is damaged (" + zip_file_strerror(file_) + ")");
    if (n == 0) ended_ = true;
    got_ += uint64_t(n);
    return size_t(n);
}

void ZipReader::Stream::Finish()
{
    uint8_t scratch[16384];
    while (Read(scratch, sizeof scratch) > 0) {}
    // Reading one byte past the declared size also makes libzip check the CRC.
    uint8_t extra;
    zip_int64_t more = got_ == size_ ? zip_fread(file_, &extra, 1) : 0;
    if (got_ != size_ || more != 0)
        ThrowInvalidPackage("3MF: part " + *name_ + " is damaged (" +
                            (more < 0 ? std::string(zip_file_strerror(file_))
                                      : std::string("size differs from its header")) + ")");
}

ZipReader::Stream ZipReader::Open(size_t i)
{
    const Entry& e = entries_[i];
    zip_file_t* zf = zip_fopen_index(archive_, e.index, 0);
    if (!zf) ThrowInvalidPackage("3MF: part " + e.name + " cannot be opened (" + zip_strerror(archive_) + ")");
    return Stream(zf, &e.name, e.size);
}

std::vector<uint8_t> ZipReader::Read(size_t i)
{
    std::vector<uint8_t> bytes(size_t(entries_[i].size));
    Stream in = Open(i);
    size_t got = 0;
    while (got < bytes.size()) {
        size_t n = in.Read(bytes.data() + got, bytes.size() - got);
        if (n == 0) break;
        got += n;
    }
    in.Finish();
    return bytes;
}

void ZipReader::Check(size_t i)
{
    Open(i).Finish();
}

std::vector<ZipEntry> ReadZip(const uint8_t* data, size_t size,
                              uint64_t max_entry_bytes, uint64_t max_total_bytes)
{
    ZipReader zip(data, size, max_entry_bytes, max_total_bytes);
    std::vector<ZipEntry> entries;
    entries.reserve(zip.count());
    for (size_t i = 0; i < zip.count(); i++) entries.push_back({zip.name(i), zip.Read(i)});
    return entries;
}

std::vector<uint8_t> WriteZip(const std::vector<ZipInput>& entries)
{
    zip_error_t err;
    zip_error_init(&err);
    std::unique_ptr<zip_error_t, ZipErrorFini> err_guard(&err);

    ZipSourcePtr src(zip_source_buffer_create(nullptr, 0, 0, &err));
    if (!src) throw std::bad_alloc();
    ZipPtr za(zip_open_from_source(src.get(), ZIP_TRUNCATE, &err));
    if (!za) ThrowWriteFailure(ZipErrorText(&err));
    // Keep the buffer source alive past zip_close: it holds the result.
    zip_source_keep(src.get());

    for (const ZipInput& in : entries) {
        zip_source_t* data =
            in.producer ? ProducerSourceOf(za.get(), in.producer) : zip_source_buffer(za.get(), in.data, in.size, 0);
        if (!data) throw std::bad_alloc();
        std::string name(in.name);
        zip_int64_t idx = zip_file_add(za.get(), name.c_str(), data, ZIP_FL_ENC_UTF_8);
        if (idx < 0) {
            zip_source_free(data);
            ThrowWriteFailure(name + ": " + zip_strerror(za.get()));
        }
        if (zip_set_file_compression(za.get(), zip_uint64_t(idx), ZIP_CM_DEFLATE, kDeflateLevel) != 0 ||
            zip_file_set_dostime(za.get(), zip_uint64_t(idx), kDosTime, kDosDate, 0) != 0)
            ThrowWriteFailure(name + ": " + zip_strerror(za.get()));
    }
    if (zip_close(za.get()) != 0) ThrowWriteFailure(zip_strerror(za.get()));
    za.release();  // zip_close freed it

    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_source_stat(src.get(), &st) != 0 || !(st.valid & ZIP_STAT_SIZE))
        ThrowWriteFailure(zip_error_strerror(zip_source_error(src.get())));
    std::vector<uint8_t> out(size_t(st.size));
    if (zip_source_open(src.get()) != 0) ThrowWriteFailure(zip_error_strerror(zip_source_error(src.get())));
    uint64_t got = 0;
    while (got < st.size) {
        zip_int64_t n = zip_source_read(src.get(), out.data() + got, st.size - got);
        if (n <= 0) break;
        got += uint64_t(n);
    }
    zip_source_close(src.get());
    src.reset();
    ReleaseFreedMemory();
    if (got != st.size) ThrowWriteFailure("short read of the finished archive");
    return out;
}

}  // namespace ombrane::platform
