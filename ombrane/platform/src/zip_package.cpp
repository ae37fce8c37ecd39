// Zip archives in memory over libzip: a bounded whole-archive reader and a
// deterministic writer (fixed entry times, entries in the caller's order).
#include "zip_package.h"

#include <zip.h>

#include "ombrane/platform/errors.h"

#include <algorithm>
#include <memory>
#include <stdexcept>

namespace ombrane::platform {

namespace {

struct ZipCloser {
    void operator()(zip_t* za) const { zip_discard(za); }
};
struct ZipFileCloser {
    void operator()(zip_file_t* zf) const { zip_fclose(zf); }
};
struct ZipSourceFreer {
    void operator()(zip_source_t* src) const { zip_source_free(src); }
};
struct ZipErrorFini {
    void operator()(zip_error_t* err) const { zip_error_fini(err); }
};

using ZipPtr = std::unique_ptr<zip_t, ZipCloser>;
using ZipFilePtr = std::unique_ptr<zip_file_t, ZipFileCloser>;
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

std::string LowerAscii(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return out;
}

[[noreturn]] void ThrowWriteFailure(const std::string& what)
{
    throw PlatformError(kFail, "3MF: cannot write the package: " + what);
}

}  // namespace

void ThrowInvalidPackage(const std::string& message)
{
    throw PlatformError(kInvalidData, message);
}

std::vector<ZipEntry> ReadZip(const uint8_t* data, size_t size,
                              uint64_t max_entry_bytes, uint64_t max_total_bytes)
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
    struct Pending { zip_uint64_t index; std::string name; zip_uint64_t size; };
    std::vector<Pending> pending;
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
        pending.push_back({zip_uint64_t(i), std::move(name), st.size});
    }

    // OPC part names are equal under ASCII case folding.
    std::vector<std::string> folded;
    folded.reserve(pending.size());
    for (const Pending& p : pending) folded.push_back(LowerAscii(p.name));
    std::sort(folded.begin(), folded.end());
    auto dup = std::adjacent_find(folded.begin(), folded.end());
    if (dup != folded.end()) ThrowInvalidPackage("3MF: part name " + *dup + " is used twice");

    std::vector<ZipEntry> entries;
    entries.reserve(pending.size());
    for (Pending& p : pending) {
        ZipEntry entry;
        entry.name = std::move(p.name);
        entry.bytes.resize(size_t(p.size));
        ZipFilePtr zf(zip_fopen_index(za.get(), p.index, 0));
        if (!zf)
            ThrowInvalidPackage("3MF: part " + entry.name + " cannot be opened (" +
                                zip_strerror(za.get()) + ")");
        uint64_t got = 0;
        while (got < p.size) {
            zip_int64_t n = zip_fread(zf.get(), entry.bytes.data() + got, p.size - got);
            if (n < 0)
                ThrowInvalidPackage("3MF: part " + entry.name + " is damaged (" +
                                    zip_file_strerror(zf.get()) + ")");
            if (n == 0) break;
            got += uint64_t(n);
        }
        // Reading one byte past the declared size also makes libzip check the CRC.
        uint8_t extra;
        zip_int64_t more = got == p.size ? zip_fread(zf.get(), &extra, 1) : 0;
        if (got != p.size || more != 0)
            ThrowInvalidPackage("3MF: part " + entry.name + " is damaged (" +
                                (more < 0 ? std::string(zip_file_strerror(zf.get()))
                                          : std::string("size differs from its header")) + ")");
        entries.push_back(std::move(entry));
    }
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
        zip_source_t* data = zip_source_buffer(za.get(), in.data, in.size, 0);
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
    if (got != st.size) ThrowWriteFailure("short read of the finished archive");
    return out;
}

}  // namespace ombrane::platform
