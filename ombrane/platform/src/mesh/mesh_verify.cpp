// Mesh verification by triangle counts per edge, on vertex indices.
// A triangle is non-manifold when it repeats an index (or names a missing
// vertex) or one of its edges is used by a number of triangles other than
// two; reversed normals follow the orientation analysis of the adjacency
// module.
#include "mesh/mesh_adjacency.h"
#include "mesh/mesh_ops.h"

namespace ombrane::platform {

MeshVerification VerifyMesh(const MeshData& mesh)
{
    const MeshAdjacency adj = BuildAdjacency(mesh);
    const std::vector<uint8_t> reversed = FindReversedTriangles(mesh, adj);
    MeshVerification result;
    const size_t nt = mesh.triangles.size();
    for (size_t t = 0; t < nt; t++) {
        if (adj.broken[t] || adj.uses[3 * t] != 2 || adj.uses[3 * t + 1] != 2 || adj.uses[3 * t + 2] != 2)
            result.nonmanifold_triangles.push_back((uint32_t)t);
        if (reversed[t]) result.reversed_normal_triangles.push_back((uint32_t)t);
    }
    return result;
}

}  // namespace ombrane::platform
