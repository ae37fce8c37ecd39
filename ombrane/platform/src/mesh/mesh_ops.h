// Verification and repair of one mesh object's triangles.
#pragma once

#include <cstdint>
#include <vector>

#include "model/mesh_data.h"

namespace ombrane::platform {

// Triangle indices, ascending, of the two kinds of fault verification finds.
struct MeshVerification {
    std::vector<uint32_t> nonmanifold_triangles;
    std::vector<uint32_t> reversed_normal_triangles;
    bool IsValid() const { return nonmanifold_triangles.empty() && reversed_normal_triangles.empty(); }
};

// By vertex index: a triangle is non-manifold when it repeats an index,
// names a missing vertex, or has an edge used by a number of triangles other
// than two; reversed when it disagrees with the majority orientation of its
// piece (triangles joined across two-triangle edges), or when its piece is
// closed, consistently oriented and of negative volume. Near-linear.
MeshVerification VerifyMesh(const MeshData& mesh);

// Repairs in place; triangles made to fill holes take fill_property (the
// object's default property, or none). A valid mesh is left bit-identical;
// any other is welded, cleaned, cut, oriented, filled and compacted, the same
// way on every run. Properties travel with their triangles.
void RepairMesh(MeshData& mesh, const TriangleProperty& fill_property);

}  // namespace ombrane::platform
