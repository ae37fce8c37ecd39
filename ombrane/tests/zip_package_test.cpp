// In-memory zip: bounded reads refuse oversize and damaged entries before
// trusting them; writes are deterministic and read back.
#include <gtest/gtest.h>
#include <zip.h>

#include <cstring>

#include "doc_compare.h"
#include "io/zip_package.h"
#include "sanitizers.h"
#include "test_support.h"

namespace {

using namespace ombrane::platform;
using namespace ombrane_test;

std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

std::vector<uint8_t> Archive(const std::vector<std::pair<std::string, std::string>>& files)
{
    std::vector<ZipInput> in;
    for (const auto& [name, data] : files)
        in.push_back({name, reinterpret_cast<const uint8_t*>(data.data()), data.size()});
    return WriteZip(in);
}

// A zip whose one entry inflates to `size` zero bytes, written by libzip
// from a source that makes the zeros as they are asked for.
std::vector<uint8_t> ZeroBomb(const std::string& name, uint64_t size)
{
    struct Zeros { uint64_t left, size; };
    Zeros zeros{size, size};
    auto cb = [](void* user, void* data, zip_uint64_t len, zip_source_cmd_t cmd) -> zip_int64_t {
        auto* z = static_cast<Zeros*>(user);
        switch (cmd) {
        case ZIP_SOURCE_OPEN: z->left = z->size; return 0;
        case ZIP_SOURCE_READ: {
            zip_uint64_t n = len < z->left ? len : z->left;
            std::memset(data, 0, size_t(n));
            z->left -= n;
            return zip_int64_t(n);
        }
        case ZIP_SOURCE_CLOSE: return 0;
        case ZIP_SOURCE_STAT: {
            auto* st = static_cast<zip_stat_t*>(data);
            zip_stat_init(st);
            st->size = z->size;
            st->mtime = 0;
            st->valid = ZIP_STAT_SIZE | ZIP_STAT_MTIME;
            return sizeof(zip_stat_t);
        }
        case ZIP_SOURCE_ERROR: return 2 * sizeof(int);
        case ZIP_SOURCE_SUPPORTS:
            return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                                  ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, -1);
        default: return -1;
        }
    };
    zip_error_t err;
    zip_error_init(&err);
    zip_source_t* out = zip_source_buffer_create(nullptr, 0, 0, &err);
    zip_t* za = zip_open_from_source(out, ZIP_TRUNCATE, &err);
    zip_source_keep(out);
    zip_file_add(za, name.c_str(), zip_source_function(za, cb, &zeros), 0);
    zip_set_file_compression(za, 0, ZIP_CM_DEFLATE, 1);
    EXPECT_EQ(zip_close(za), 0);
    zip_stat_t st;
    zip_source_stat(out, &st);
    std::vector<uint8_t> bytes(size_t(st.size));
    zip_source_open(out);
    zip_source_read(out, bytes.data(), st.size);
    zip_source_close(out);
    zip_source_free(out);
    zip_error_fini(&err);
    return bytes;
}

Raised Read(const std::vector<uint8_t>& zip, uint64_t max_entry, uint64_t max_total)
{
    return RaisedBy([&] { ReadZip(zip.data(), zip.size(), max_entry, max_total); });
}

TEST(Zip, WritesDeterministicallyAndReadsBack)
{
    std::vector<std::pair<std::string, std::string>> files = {
        {"[Content_Types].xml", "<Types/>"}, {"3D/empty", ""}, {"3D/a.bin", std::string(70000, 'q')}};
    std::vector<uint8_t> zip = Archive(files);
    EXPECT_TRUE(Archive(files) == zip);
    std::vector<ZipEntry> entries = ReadZip(zip.data(), zip.size(), 1 << 20, 1 << 20);
    ASSERT_EQ(entries.size(), files.size());
    for (size_t i = 0; i < files.size(); i++) {
        EXPECT_EQ(entries[i].name, files[i].first);
        EXPECT_TRUE(entries[i].bytes == Bytes(files[i].second)) << files[i].first;
    }
}

TEST(Zip, RefusesWhatItCannotTrust)
{
    std::vector<uint8_t> good = Archive({{"a.txt", std::string(1000, 'a')}, {"b.txt", std::string(1000, 'b')}});
    std::vector<uint8_t> damaged = good;
    // Flip a byte of the first entry's compressed data (after its 30-byte
    // local header and 5-byte name).
    damaged[40] ^= 0xFF;
    struct Case { const char* name; std::vector<uint8_t> zip; uint64_t max_entry, max_total; const char* text; };
    const Case cases[] = {
        {"not a zip", Bytes("<model/>"), 1 << 20, 1 << 20, "not a zip archive"},
        {"empty file", {}, 1 << 20, 1 << 20, "not a zip archive"},
        {"truncated", std::vector<uint8_t>(good.begin(), good.begin() + long(good.size() / 2)), 1 << 20, 1 << 20,
         "not a zip archive"},
        {"entry over its bound", good, 999, 1 << 20, "part a.txt is too large"},
        {"entries over the total", good, 1000, 1999, "the package is too large"},
        {"damaged data", damaged, 1 << 20, 1 << 20, "part a.txt is damaged"},
        {"name twice, any case", Archive({{"3D/A.model", "x"}, {"3d/a.MODEL", "y"}}), 1 << 20, 1 << 20,
         "used twice"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Raised r = Read(c.zip, c.max_entry, c.max_total);
        EXPECT_EQ(r.code, kInvalidData);
        EXPECT_NE(r.text.find(c.text), std::string::npos) << r.text;
    }
}

TEST(Zip, BombIsRefusedByTheProgramUnderAMemoryLimit)
{
    if (testsupport::kUnderSanitizer) GTEST_SKIP() << "a sanitizer cannot run under an address-space cap";
    testsupport::TempDir dir;
    // 1.5 GiB of zeros in about 1.5 MB; the process may use 1 GiB.
    testsupport::WriteBytes(dir.file("bomb.3mf"), ZeroBomb("3D/3dmodel.model", 1536ull << 20));
    std::string script = "ulimit -v 1048576; exec \"$0\" \"$1\" \"$2\"";
    testsupport::RunResult r =
        testsupport::Run({"/bin/sh", "-c", script, OMBRANE_EXE, dir.file("bomb.3mf"), dir.file("out.3mf")});
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.out.find("[HRESULT] 0x8007000d : 3MF: part 3D/3dmodel.model is too large"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("[Load] OK"), std::string::npos);
    EXPECT_FALSE(testsupport::FileExists(dir.file("out.3mf")));
}

}  // namespace
