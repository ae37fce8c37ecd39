// Mesh verification: non-manifold and reversed-normal triangles.
#include <stdexcept>

#include "mesh_ops.h"

namespace ombrane::platform {

MeshVerification VerifyMesh(const MeshData&)
{
    throw std::runtime_error("mesh verification is not available yet");
}

}  // namespace ombrane::platform
