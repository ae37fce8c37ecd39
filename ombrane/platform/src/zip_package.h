// Zip archives held in memory (libzip): whole-archive read with bounded
// sizes, deterministic write. The 3MF reader and writer build on these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ombrane::platform {

// Raises the platform error for content that is not a loadable 3MF package.
[[noreturn]] void ThrowInvalidPackage(const std::string& message);

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

struct ZipInput {
    std::string_view name;
    const uint8_t* data;
    size_t size;
};

// Deflates the entries in the given order with a fixed timestamp: the same
// input always gives the same archive bytes. The inputs need only live for
// the call.
std::vector<uint8_t> WriteZip(const std::vector<ZipInput>& entries);

}  // namespace ombrane::platform
