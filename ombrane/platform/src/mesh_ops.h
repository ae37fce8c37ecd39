// Verification and repair of one mesh object's triangles.
#pragma once

#include <cstdint>
#include <vector>

#include "mesh_data.h"

namespace ombrane::platform {

// Triangle indices, ascending, of the two kinds of fault verification finds.
struct MeshVerification {
    std::vector<uint32_t> nonmanifold_triangles;
    std::vector<uint32_t> reversed_normal_triangles;
    bool IsValid() const { return nonmanifold_triangles.empty() && reversed_normal_triangles.empty(); }
};

MeshVerification VerifyMesh(const MeshData& mesh);

// Repairs in place; triangles made to fill holes take fill_property (the
// object's default property, or none). A valid mesh is left bit-identical.
void RepairMesh(MeshData& mesh, const TriangleProperty& fill_property);

}  // namespace ombrane::platform
