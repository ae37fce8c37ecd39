// A 3MF package to and from a ModelDocument: what the rest of the layer
// calls to load and save.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "model/model_document.h"

namespace ombrane::platform {

// Limits on what a package may make us hold: a part or a package past them
// is refused before any of it is inflated.
inline constexpr uint64_t kMaxPartBytes = 512ull << 20;
inline constexpr uint64_t kMaxPackageBytes = 1024ull << 20;

// Parses a whole 3MF package held in memory. Throws the platform error with
// a message naming the problem and the part (and line) where it is.
ModelDocument ReadModelDocument(const uint8_t* data, size_t size);

// Parses one model part into doc (tests use it without a package).
void ParseModelXml(const uint8_t* data, size_t size, const std::string& part_name, ModelDocument& doc);

// Serialises the document as a 3MF package; the same document always gives
// the same bytes.
std::vector<uint8_t> WriteModelDocument(const ModelDocument& doc);

// The model part alone, as UTF-8 XML.
std::string WriteModelXml(const ModelDocument& doc);

}  // namespace ombrane::platform
