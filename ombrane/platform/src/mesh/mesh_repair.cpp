// Mesh repair by a fixed order of passes, the middle ones repeated until the mesh verifies.
// Weld identical coordinates, drop broken and duplicate triangles, cut edges
// used by more than two triangles into two-triangle sheets (pairing, then
// splitting the shared vertices per fan), orient each piece by majority and
// outward, fill holes, drop unused vertices.
#include <algorithm>
#include <cstring>

#include "mesh/mesh_adjacency.h"
#include "mesh/mesh_hole_fill.h"
#include "mesh/mesh_ops.h"

namespace ombrane::platform {

namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;
// Cutting, orienting and filling can leave work for one another (a fill
// diagonal meeting an edge elsewhere, a sheet cut open); a few rounds settle
// every mesh but contrived ones, which stay invalid.
constexpr int kRounds = 3;

size_t TableSize(size_t keys)
{
    size_t slots = 16;
    while (slots < 2 * keys) slots <<= 1;
    return slots;
}

uint64_t CoordBits(double d)
{
    if (d == 0) d = 0.0;  // -0 welds with +0
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    return bits;
}

void FlipTriangle(MeshData& mesh, size_t t)
{
    std::swap(mesh.triangles[t][1], mesh.triangles[t][2]);
    if (!mesh.properties.empty()) std::swap(mesh.properties[t].p[1], mesh.properties[t].p[2]);
}

// Keeps the triangles whose flag is 0, in order, with their properties.
void DropTriangles(MeshData& mesh, const std::vector<uint8_t>& drop)
{
    size_t kept = 0;
    for (size_t t = 0; t < mesh.triangles.size(); t++) {
        if (drop[t]) continue;
        mesh.triangles[kept] = mesh.triangles[t];
        if (!mesh.properties.empty()) mesh.properties[kept] = mesh.properties[t];
        kept++;
    }
    mesh.triangles.resize(kept);
    if (!mesh.properties.empty()) mesh.properties.resize(kept);
}

// Each vertex maps to the first vertex with the same coordinates.
void WeldVertices(MeshData& mesh)
{
    const size_t nv = mesh.vertices.size();
    std::vector<uint32_t> slots(TableSize(nv), kNone);
    const size_t mask = slots.size() - 1;
    std::vector<uint32_t> remap(nv);
    for (size_t v = 0; v < nv; v++) {
        const Vec3& p = mesh.vertices[v];
        uint64_t s = Mix64(CoordBits(p.x) ^ Mix64(CoordBits(p.y) ^ Mix64(CoordBits(p.z)))) & mask;
        for (;; s = (s + 1) & mask) {
            if (slots[s] == kNone) {
                slots[s] = (uint32_t)v;
                remap[v] = (uint32_t)v;
                break;
            }
            const Vec3& o = mesh.vertices[slots[s]];
            if (o.x == p.x && o.y == p.y && o.z == p.z) {
                remap[v] = slots[s];
                break;
            }
        }
    }
    for (auto& tri : mesh.triangles)
        for (uint32_t& v : tri)
            if (v < nv) v = remap[v];
}

// Drops triangles naming a missing vertex or one vertex twice, and every
// later triangle on the same three vertices (in either winding).
void DropBrokenAndDuplicateTriangles(MeshData& mesh)
{
    const size_t nt = mesh.triangles.size(), nv = mesh.vertices.size();
    std::vector<uint8_t> drop(nt, 0);
    std::vector<uint32_t> slots(TableSize(nt), kNone);
    const size_t mask = slots.size() - 1;
    bool any = false;
    for (size_t t = 0; t < nt; t++) {
        std::array<uint32_t, 3> key = mesh.triangles[t];
        std::sort(key.begin(), key.end());
        if (key[2] >= nv || key[0] == key[1] || key[1] == key[2]) {
            drop[t] = 1;
            any = true;
            continue;
        }
        uint64_t s = Mix64(((uint64_t)key[0] << 32 | key[1]) ^ Mix64(key[2])) & mask;
        for (;; s = (s + 1) & mask) {
            if (slots[s] == kNone) {
                slots[s] = (uint32_t)t;
                break;
            }
            std::array<uint32_t, 3> other = mesh.triangles[slots[s]];
            std::sort(other.begin(), other.end());
            if (other == key) {
                drop[t] = 1;
                any = true;
                break;
            }
        }
    }
    if (any) DropTriangles(mesh, drop);
}

uint32_t FindRoot(std::vector<uint32_t>& parent, uint32_t x)
{
    while (parent[x] != x) {
        parent[x] = parent[parent[x]];
        x = parent[x];
    }
    return x;
}

void Unite(std::vector<uint32_t>& parent, uint32_t a, uint32_t b)
{
    a = FindRoot(parent, a);
    b = FindRoot(parent, b);
    // The smaller root wins, so roots do not depend on the order of unions.
    if (a < b) parent[b] = a;
    else if (b < a) parent[a] = b;
}

uint32_t CornerOf(const MeshData& mesh, uint32_t t, uint32_t v)
{
    const auto& tri = mesh.triangles[t];
    return 3 * t + (tri[0] == v ? 0 : (tri[1] == v ? 1 : 2));
}

// Pairs the triangles of every edge used more than twice into couples that
// run the edge in opposite directions, couples within one sheet first
// (sheets: triangles joined across two-triangle edges); a triangle left
// without a partner is dropped. Then every vertex of such an edge gets one
// copy per fan of corners joined across paired or two-triangle edges, the
// fan holding its lowest corner keeping the original.
void CutOverusedEdges(MeshData& mesh)
{
    const MeshAdjacency adj = BuildAdjacency(mesh);
    const size_t nt = mesh.triangles.size();
    std::vector<std::pair<uint64_t, uint32_t>> over;
    for (size_t h = 0; h < 3 * nt; h++) {
        if (adj.uses[h] <= 2) continue;
        const auto& tri = mesh.triangles[h / 3];
        over.push_back({EdgeKey(tri[h % 3], tri[(h % 3 + 1) % 3]), (uint32_t)h});
    }
    if (over.empty()) return;
    std::sort(over.begin(), over.end());

    std::vector<uint32_t> sheet(nt);
    for (size_t t = 0; t < nt; t++) sheet[t] = (uint32_t)t;
    for (size_t h = 0; h < 3 * nt; h++)
        if (adj.mate[h] != kNoHalfEdge) Unite(sheet, (uint32_t)(h / 3), adj.mate[h] / 3);

    std::vector<uint32_t> mate = adj.mate;
    std::vector<uint8_t> drop(nt, 0);
    std::vector<uint8_t> split(mesh.vertices.size(), 0);
    auto runs_up = [&](uint32_t h) {
        const auto& tri = mesh.triangles[h / 3];
        return tri[h % 3] < tri[(h % 3 + 1) % 3];
    };
    // Pairs each half-edge of seq with the earliest waiting one of the other
    // direction; linear, so an edge shared by many triangles costs no more.
    std::vector<uint32_t> waiting[2];
    auto pair_in_order = [&](const uint32_t* seq, size_t n) {
        size_t head[2] = {0, 0};
        waiting[0].clear();
        waiting[1].clear();
        for (size_t i = 0; i < n; i++) {
            const uint32_t h = seq[i];
            if (mate[h] != kNoHalfEdge) continue;
            const int up = runs_up(h);
            if (head[!up] < waiting[!up].size()) {
                const uint32_t g = waiting[!up][head[!up]++];
                mate[h] = g;
                mate[g] = h;
            } else {
                waiting[up].push_back(h);
            }
        }
    };
    std::vector<std::pair<uint32_t, uint32_t>> by_sheet;
    std::vector<uint32_t> seq;
    for (size_t begin = 0, end; begin < over.size(); begin = end) {
        for (end = begin + 1; end < over.size() && over[end].first == over[begin].first;) end++;
        by_sheet.clear();
        for (size_t i = begin; i < end; i++)
            by_sheet.push_back({FindRoot(sheet, over[i].second / 3), over[i].second});
        std::sort(by_sheet.begin(), by_sheet.end());
        for (size_t a = 0, b; a < by_sheet.size(); a = b) {
            seq.clear();
            for (b = a; b < by_sheet.size() && by_sheet[b].first == by_sheet[a].first; b++)
                seq.push_back(by_sheet[b].second);
            pair_in_order(seq.data(), seq.size());
        }
        seq.clear();
        for (size_t i = begin; i < end; i++) seq.push_back(over[i].second);
        pair_in_order(seq.data(), seq.size());
        for (size_t i = begin; i < end; i++)
            if (mate[over[i].second] == kNoHalfEdge) drop[over[i].second / 3] = 1;
        const uint64_t key = over[begin].first - 1;
        split[key >> 32] = 1;
        split[key & 0xFFFFFFFFu] = 1;
    }
    // A dropped triangle's partners become boundary.
    for (size_t h = 0; h < 3 * nt; h++)
        if (drop[h / 3] && mate[h] != kNoHalfEdge) {
            mate[mate[h]] = kNoHalfEdge;
            mate[h] = kNoHalfEdge;
        }

    std::vector<uint32_t> fan(3 * nt);
    for (size_t c = 0; c < 3 * nt; c++) fan[c] = (uint32_t)c;
    for (size_t h = 0; h < 3 * nt; h++) {
        const uint32_t m = mate[h];
        if (m == kNoHalfEdge || m < h) continue;
        const auto& tri = mesh.triangles[h / 3];
        for (uint32_t v : {tri[h % 3], tri[(h % 3 + 1) % 3]})
            if (split[v]) Unite(fan, CornerOf(mesh, (uint32_t)(h / 3), v), CornerOf(mesh, m / 3, v));
    }
    std::vector<uint32_t> fan_vertex(3 * nt, kNone);
    std::vector<uint8_t> claimed(mesh.vertices.size(), 0);
    for (size_t c = 0; c < 3 * nt; c++) {
        uint32_t& v = mesh.triangles[c / 3][c % 3];
        if (drop[c / 3] || !split[v]) continue;
        const uint32_t root = FindRoot(fan, (uint32_t)c);
        if (fan_vertex[root] == kNone) {
            if (!claimed[v]) {
                claimed[v] = 1;
                fan_vertex[root] = v;
            } else {
                fan_vertex[root] = (uint32_t)mesh.vertices.size();
                mesh.vertices.push_back(mesh.vertices[v]);
            }
        }
        v = fan_vertex[root];
    }
    DropTriangles(mesh, drop);
}

void OrientPieces(MeshData& mesh)
{
    const std::vector<uint8_t> reversed = FindReversedTriangles(mesh, BuildAdjacency(mesh));
    for (size_t t = 0; t < reversed.size(); t++)
        if (reversed[t]) FlipTriangle(mesh, t);
}

// Renumbers the used vertices in their order; the others go.
void DropUnusedVertices(MeshData& mesh)
{
    std::vector<uint32_t> remap(mesh.vertices.size(), kNone);
    for (const auto& tri : mesh.triangles)
        for (uint32_t v : tri) remap[v] = 0;
    uint32_t kept = 0;
    for (size_t v = 0; v < mesh.vertices.size(); v++) {
        if (remap[v] == kNone) continue;
        mesh.vertices[kept] = mesh.vertices[v];
        remap[v] = kept++;
    }
    mesh.vertices.resize(kept);
    for (auto& tri : mesh.triangles)
        for (uint32_t& v : tri) v = remap[v];
}

}  // namespace

void RepairMesh(MeshData& mesh, const TriangleProperty& fill_property)
{
    if (VerifyMesh(mesh).IsValid()) return;
    if (!mesh.properties.empty()) mesh.properties.resize(mesh.triangles.size());
    WeldVertices(mesh);
    DropBrokenAndDuplicateTriangles(mesh);
    for (int round = 0; round < kRounds; round++) {
        CutOverusedEdges(mesh);
        // Holes are filled along a consistent rim; the fill closes pieces,
        // whose volume then tells which way is out.
        OrientPieces(mesh);
        FillHoles(mesh, fill_property);
        OrientPieces(mesh);
        if (VerifyMesh(mesh).IsValid()) break;
    }
    DropUnusedVertices(mesh);
}

}  // namespace ombrane::platform
