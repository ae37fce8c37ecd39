// Edge adjacency by open-addressing edge keys; piece orientation by
// breadth-first propagation across two-triangle edges, majority vote and
// the sign of the enclosed volume.
#include "mesh_adjacency.h"

#include <stdexcept>

namespace ombrane::platform {

static uint64_t SlotCount(uint64_t keys)
{
    uint64_t slots = 16;
    while (slots < keys + keys / 3 + 1) slots <<= 1;
    return slots;
}

bool MeshAdjacency::HasEdge(uint32_t a, uint32_t b) const
{
    const uint64_t key = EdgeKey(a, b);
    const uint64_t mask = edge_keys.size() - 1;
    for (uint64_t s = Mix64(key) & mask;; s = (s + 1) & mask) {
        if (edge_keys[s] == key) return true;
        if (edge_keys[s] == 0) return false;
    }
}

MeshAdjacency BuildAdjacency(const MeshData& mesh)
{
    const size_t nt = mesh.triangles.size();
    if (nt > (size_t)(kNoHalfEdge - 1) / 3) throw std::length_error("mesh has too many triangles");
    const uint64_t nv = mesh.vertices.size();
    MeshAdjacency adj;
    adj.mate.assign(3 * nt, kNoHalfEdge);
    adj.uses.assign(3 * nt, 0);
    adj.broken.assign(nt, 0);
    adj.edge_keys.assign(SlotCount(3 * (uint64_t)nt), 0);
    const uint64_t mask = adj.edge_keys.size() - 1;
    // Per slot: the first half-edge seen and the use count. While building,
    // uses[h] holds h's slot.
    std::vector<uint32_t> first(adj.edge_keys.size());
    std::vector<uint32_t> count(adj.edge_keys.size(), 0);

    for (size_t t = 0; t < nt; t++) {
        const auto& tri = mesh.triangles[t];
        if (tri[0] >= nv || tri[1] >= nv || tri[2] >= nv || tri[0] == tri[1] || tri[1] == tri[2] ||
            tri[2] == tri[0]) {
            adj.broken[t] = 1;
            continue;
        }
        for (int k = 0; k < 3; k++) {
            const uint32_t h = (uint32_t)(3 * t + k);
            const uint64_t key = EdgeKey(tri[k], tri[(k + 1) % 3]);
            uint64_t s = Mix64(key) & mask;
            while (adj.edge_keys[s] != 0 && adj.edge_keys[s] != key) s = (s + 1) & mask;
            if (adj.edge_keys[s] == 0) {
                adj.edge_keys[s] = key;
                first[s] = h;
            } else if (count[s] == 1) {
                adj.mate[h] = first[s];
                adj.mate[first[s]] = h;
            } else if (count[s] == 2) {
                adj.mate[adj.mate[first[s]]] = kNoHalfEdge;
                adj.mate[first[s]] = kNoHalfEdge;
            }
            count[s]++;
            adj.uses[h] = (uint32_t)s;
        }
    }
    for (size_t t = 0; t < nt; t++) {
        if (adj.broken[t]) continue;
        for (int k = 0; k < 3; k++) adj.uses[3 * t + k] = count[adj.uses[3 * t + k]];
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
