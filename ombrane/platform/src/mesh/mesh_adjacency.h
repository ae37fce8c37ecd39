// Edge adjacency of a triangle mesh by vertex index, and the orientation
// analysis that verification and repair share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "model/mesh_data.h"

namespace ombrane::platform {

inline constexpr uint32_t kNoHalfEdge = 0xFFFFFFFFu;

// Smaller index high; +1 so no key is 0 and 0 marks an empty slot.
inline uint64_t EdgeKey(uint32_t a, uint32_t b)
{
    uint64_t lo = a < b ? a : b, hi = a < b ? b : a;
    return ((lo << 32) | hi) + 1;
}

// MurmurHash3 64-bit finaliser.
inline uint64_t Mix64(uint64_t k)
{
    k ^= k >> 33;
    k *= 0xff51afd7ed558ccdULL;
    k ^= k >> 33;
    k *= 0xc4ceb9fe1a85ec53ULL;
    k ^= k >> 33;
    return k;
}

// Half-edge h = 3 t + k runs from corner k of triangle t to corner (k + 1) % 3.
// A broken triangle (an index out of range, or one index twice) has no edges:
// it is reported on its own and never joins a piece.
struct MeshAdjacency {
    // The other half-edge of an edge used by exactly two triangles, else kNoHalfEdge.
    std::vector<uint32_t> mate;
    // Triangles using the half-edge's undirected edge; 0 on a broken triangle.
    std::vector<uint32_t> uses;
    std::vector<uint8_t> broken;
    // The larger end of every half-edge of good triangles, grouped by the
    // smaller end v in edge_other[edge_start[v] .. edge_start[v + 1]), ascending.
    std::vector<uint32_t> edge_start;
    std::vector<uint32_t> edge_other;

    bool HasEdge(uint32_t a, uint32_t b) const;
};

// Linear in the triangle count. Throws std::length_error past 2^32 - 2 half-edges.
MeshAdjacency BuildAdjacency(const MeshData& mesh);

// Per triangle 1 when its normal is reversed. Pieces are the triangles joined
// across edges used by exactly two triangles; in a piece the triangles that
// disagree with the majority orientation are reversed (on a tie, a closed
// piece keeps the side of positive volume, an open one the side of its lowest
// triangle); a closed, consistently oriented piece of negative volume is
// reversed as a whole.
std::vector<uint8_t> FindReversedTriangles(const MeshData& mesh, const MeshAdjacency& adj);

}  // namespace ombrane::platform
