// Hole filling, one step of mesh repair.
#pragma once

#include "model/mesh_data.h"

namespace ombrane::platform {

// Triangulates every boundary loop of the mesh (edges used by one triangle,
// walked against their triangles' direction, so fills continue the winding
// of the rim). A planar loop gets a flat ear-clipped fill, any other loop a
// greedy fill of small area; a diagonal that is already an edge is avoided
// where the loop allows it. New triangles are appended and take
// fill_property. Expects no repeated-index triangle.
void FillHoles(MeshData& mesh, const TriangleProperty& fill_property);

}  // namespace ombrane::platform
