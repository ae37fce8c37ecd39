// The triangle mesh of one mesh object as the platform layer holds it:
// the 3MF reader fills it, the writer saves it, verification and repair
// work on it.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace ombrane::platform {

struct Vec3 {
    double x, y, z;
};

// Marks an absent property id or index.
inline constexpr uint32_t kNoProperty = 0xFFFFFFFFu;

// Property reference of a triangle (materials extension): pid and the
// per-corner indices p1..p3 as written; absent fields hold kNoProperty.
struct TriangleProperty {
    uint32_t pid = kNoProperty;
    uint32_t p[3] = {kNoProperty, kNoProperty, kNoProperty};
};

struct MeshData {
    std::vector<Vec3> vertices;
    std::vector<std::array<uint32_t, 3>> triangles;
    // Empty when no triangle carries a property; otherwise one entry per
    // triangle, parallel to triangles.
    std::vector<TriangleProperty> properties;
};

}  // namespace ombrane::platform
