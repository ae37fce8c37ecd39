// Mesh repair.
#include <stdexcept>

#include "mesh_ops.h"

namespace ombrane::platform {

void RepairMesh(MeshData&, const TriangleProperty&)
{
    throw std::runtime_error("mesh repair is not available yet");
}

}  // namespace ombrane::platform
