// Edge adjacency by half-edges bucketed on their smaller vertex (counting sort).
// Piece orientation by breadth-first propagation across two-triangle edges,
// majority vote and the sign of the enclosed volume.
#include "mesh/mesh_adjacency.h"

#include <algorithm>
#include <stdexcept>

namespace ombrane::platform {

bool MeshAdjacency::HasEdge(uint32_t a, uint32_t b) const
{
    const uint32_t lo = a < b ? a : b, hi = a < b ? b : a;
    if (lo + 1 >= edge_start.size()) return false;
    const auto first = edge_other.begin() + edge_start[lo], last = edge_other.begin() + edge_start[lo + 1];
    return std::binary_search(first, last, hi);
}

MeshAdjacency BuildAdjacency(const MeshData& mesh)
{
    const size_t nt = mesh.triangles.size();
    if (nt > (size_t)(kNoHalfEdge - 1) / 3) throw std::length_error("mesh has too many triangles");
    const size_t nv = mesh.vertices.size();
    MeshAdjacency adj;
    adj.mate.assign(3 * nt, kNoHalfEdge);
    adj.uses.assign(3 * nt, 0);
    adj.broken.assign(nt, 0);
    adj.edge_start.assign(nv + 1, 0);

    // Half-edges bucketed by their smaller end (counting sort, so each bucket
    // lists its half-edges in ascending order); an edge is then a run of one
    // larger end in its bucket. Buckets are small and the passes sequential,
    // which keeps this cache-friendly where a hash table is not.
    for (size_t t = 0; t < nt; t++) {
        const auto& tri = mesh.triangles[t];
        if (tri[0] >= nv || tri[1] >= nv || tri[2] >= nv || tri[0] == tri[1] || tri[1] == tri[2] ||
            tri[2] == tri[0]) {
            adj.broken[t] = 1;
            continue;
        }
        for (int k = 0; k < 3; k++) adj.edge_start[std::min(tri[k], tri[(k + 1) % 3]) + 1]++;
    }
    for (size_t v = 0; v < nv; v++) adj.edge_start[v + 1] += adj.edge_start[v];
    // (larger end << 32) | half-edge: sorting a bucket orders it by edge, then half-edge.
    std::vector<uint64_t> entries(adj.edge_start[nv]);
    {
        std::vector<uint32_t> fill(adj.edge_start.begin(), adj.edge_start.end() - 1);
        for (size_t t = 0; t < nt; t++) {
            if (adj.broken[t]) continue;
            const auto& tri = mesh.triangles[t];
            for (int k = 0; k < 3; k++) {
                const uint32_t a = tri[k], b = tri[(k + 1) % 3];
                entries[fill[std::min(a, b)]++] = (uint64_t)std::max(a, b) << 32 | (uint32_t)(3 * t + k);
            }
        }
    }
    adj.edge_other.resize(entries.size());
    for (size_t v = 0; v < nv; v++) {
        uint64_t* first = entries.data() + adj.edge_start[v];
        uint64_t* last = entries.data() + adj.edge_start[v + 1];
        if (last - first > 1) std::sort(first, last);
        for (uint64_t* run = first; run < last;) {
            uint64_t* end = run + 1;
            while (end < last && (*end >> 32) == (*run >> 32)) end++;
            const uint32_t count = (uint32_t)(end - run);
            for (uint64_t* e = run; e < end; e++) {
                adj.uses[(uint32_t)*e] = count;
                adj.edge_other[e - entries.data()] = (uint32_t)(*e >> 32);
            }
            if (count == 2) {
                adj.mate[(uint32_t)run[0]] = (uint32_t)run[1];
                adj.mate[(uint32_t)run[1]] = (uint32_t)run[0];
            }
            run = end;
        }
    }
    return adj;
}

// Six times the signed volume of the tetrahedron (o, a, b, c).
static double SignedVolume6(const Vec3& o, const Vec3& a, const Vec3& b, const Vec3& c)
{
    const double ax = a.x - o.x, ay = a.y - o.y, az = a.z - o.z;
    const double bx = b.x - o.x, by = b.y - o.y, bz = b.z - o.z;
    const double cx = c.x - o.x, cy = c.y - o.y, cz = c.z - o.z;
    return ax * (by * cz - bz * cy) - ay * (bx * cz - bz * cx) + az * (bx * cy - by * cx);
}

std::vector<uint8_t> FindReversedTriangles(const MeshData& mesh, const MeshAdjacency& adj)
{
    const size_t nt = mesh.triangles.size();
    std::vector<uint8_t> reversed(nt, 0);
    // flip[t]: 1 when t runs against the root of its piece.
    std::vector<uint8_t> flip(nt, 0);
    std::vector<uint8_t> seen(nt, 0);
    // Members of the piece being built, in visiting order; doubles as the queue.
    std::vector<uint32_t> members;

    for (size_t root = 0; root < nt; root++) {
        if (seen[root] || adj.broken[root]) continue;
        members.clear();
        members.push_back((uint32_t)root);
        seen[root] = 1;
        size_t n_flipped = 0;
        bool closed = true;
        for (size_t q = 0; q < members.size(); q++) {
            const uint32_t t = members[q];
            for (int k = 0; k < 3; k++) {
                const uint32_t h = 3 * t + k;
                if (adj.uses[h] != 2) closed = false;
                const uint32_t m = adj.mate[h];
                if (m == kNoHalfEdge) continue;
                const uint32_t u = m / 3;
                if (seen[u]) continue;
                // Consistent neighbours run the shared edge in opposite directions.
                const uint32_t end_h = mesh.triangles[t][(k + 1) % 3];
                const uint32_t start_m = mesh.triangles[u][m % 3];
                flip[u] = (uint8_t)(flip[t] ^ (start_m == end_h ? 0 : 1));
                n_flipped += flip[u];
                seen[u] = 1;
                members.push_back(u);
            }
        }
        const size_t n_kept = members.size() - n_flipped;
        uint8_t wrong = n_flipped > n_kept ? 0 : 1;
        bool all = false;
        if (closed) {
            const Vec3& o = mesh.vertices[mesh.triangles[root][0]];
            double vol = 0;
            for (uint32_t t : members) {
                const auto& tri = mesh.triangles[t];
                const double v = SignedVolume6(o, mesh.vertices[tri[0]], mesh.vertices[tri[1]],
                                               mesh.vertices[tri[2]]);
                vol += flip[t] == wrong ? -v : v;
            }
            if (n_flipped == 0)
                all = vol < 0;
            else if (n_flipped == n_kept && vol < 0)
                wrong ^= 1;
        }
        for (uint32_t t : members)
            if (all || flip[t] == wrong) reversed[t] = 1;
    }
    return reversed;
}

}  // namespace ombrane::platform
