// Hole filling by ear clipping, the ears taken from a priority queue.
// Boundary loops are walked into simple cycles; ears rank by class, then
// area, and planar loops take the classic empty-ear test.
#include "mesh/mesh_hole_fill.h"

#include <algorithm>
#include <cmath>
#include <queue>
#include <unordered_set>

#include "mesh/mesh_adjacency.h"

namespace ombrane::platform {

namespace {

// A loop is planar when no vertex lies farther than this fraction of the
// loop's extent from its mean plane.
constexpr double kPlanarTolerance = 1e-6;
// Past this many vertices a planar loop skips the empty-ear test, which is
// linear per ear: the fill stays near-linear and may overlap itself.
constexpr size_t kEmptyEarLimit = 2048;

Vec3 Sub(const Vec3& a, const Vec3& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec3 Cross(const Vec3& a, const Vec3& b)
{
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
double Dot(const Vec3& a, const Vec3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

struct Point2 {
    double u, v;
};

double Orient2(const Point2& a, const Point2& b, const Point2& c)
{
    return (b.u - a.u) * (c.v - a.v) - (b.v - a.v) * (c.u - a.u);
}

// Class 0: a good ear; 1: reflex, or (planar) holding another vertex;
// 2: its diagonal is already an edge and would be used three times.
struct Ear {
    uint8_t cls;
    double area;
    uint32_t at;
    uint32_t stamp;
    bool operator>(const Ear& o) const
    {
        if (cls != o.cls) return cls > o.cls;
        if (area != o.area) return area > o.area;
        return at > o.at;
    }
};

// An ear found holding a reflex vertex, to be rated again once that vertex
// is clipped or turns convex; stale when the ear's stamp has moved on.
struct Blocked {
    uint32_t ear, stamp, next;
};

// Reused across loops so small loops cost no allocation.
struct Workspace {
    std::vector<Vec3> pts;
    std::vector<Point2> uv;
    std::vector<uint32_t> prev, next, stamp;
    std::vector<uint8_t> removed, reflex;
    std::vector<uint32_t> reflex_list;   // reflex at the start; a vertex never turns reflex
    std::vector<uint32_t> blocked_head;  // per vertex, into blocked
    std::vector<Blocked> blocked;
    std::vector<Ear> heap;
};

class LoopFill {
public:
    LoopFill(const std::vector<Vec3>& verts, const MeshAdjacency& adj,
             std::unordered_set<uint64_t>& diagonals, Workspace& ws)
        : verts_(verts), adj_(adj), diagonals_(diagonals), ws_(ws)
    {
    }

    void Run(const uint32_t* loop, size_t n, std::vector<std::array<uint32_t, 3>>& out);

private:
    Ear Evaluate(uint32_t i, uint32_t* blocker) const;
    bool Reflex2(uint32_t r) const
    {
        return Orient2(ws_.uv[ws_.prev[r]], ws_.uv[r], ws_.uv[ws_.next[r]]) <= 0;
    }
    void Push(uint32_t i)
    {
        ws_.stamp[i]++;
        uint32_t blocker = kNoHalfEdge;
        ws_.heap.push_back(Evaluate(i, &blocker));
        std::push_heap(ws_.heap.begin(), ws_.heap.end(), std::greater<Ear>());
        if (blocker != kNoHalfEdge) {
            ws_.blocked.push_back({i, ws_.stamp[i], ws_.blocked_head[blocker]});
            ws_.blocked_head[blocker] = (uint32_t)(ws_.blocked.size() - 1);
        }
    }
    // r no longer blocks: the ears it held are rated again.
    void Release(uint32_t r)
    {
        uint32_t node = ws_.blocked_head[r];
        ws_.blocked_head[r] = kNoHalfEdge;
        for (; node != kNoHalfEdge; node = ws_.blocked[node].next) {
            const Blocked b = ws_.blocked[node];
            if (!ws_.removed[b.ear] && ws_.stamp[b.ear] == b.stamp) Push(b.ear);
        }
    }

    const std::vector<Vec3>& verts_;
    const MeshAdjacency& adj_;
    std::unordered_set<uint64_t>& diagonals_;
    Workspace& ws_;
    const uint32_t* loop_ = nullptr;
    size_t remaining_ = 0;
    Vec3 normal_{0, 0, 0};
    bool empty_ear_test_ = false;
};

Ear LoopFill::Evaluate(uint32_t i, uint32_t* blocker) const
{
    const uint32_t p = ws_.prev[i], q = ws_.next[i];
    const Vec3 cr = Cross(Sub(ws_.pts[i], ws_.pts[p]), Sub(ws_.pts[q], ws_.pts[i]));
    Ear ear{0, 0.5 * std::sqrt(Dot(cr, cr)), i, ws_.stamp[i]};
    if (!(Dot(cr, normal_) > 0)) {
        ear.cls = 1;
    } else if (empty_ear_test_) {
        // Only a reflex vertex can stand inside a convex ear of a simple loop.
        const Point2 &a = ws_.uv[p], &b = ws_.uv[i], &c = ws_.uv[q];
        for (uint32_t r : ws_.reflex_list) {
            if (!ws_.reflex[r] || ws_.removed[r] || r == p || r == i || r == q) continue;
            const Point2& x = ws_.uv[r];
            if ((x.u == a.u && x.v == a.v) || (x.u == b.u && x.v == b.v) || (x.u == c.u && x.v == c.v))
                continue;
            if (Orient2(a, b, x) >= 0 && Orient2(b, c, x) >= 0 && Orient2(c, a, x) >= 0) {
                ear.cls = 1;
                *blocker = r;
                break;
            }
        }
    }
    if (remaining_ > 3) {
        const uint32_t va = loop_[p], vc = loop_[q];
        if (adj_.HasEdge(va, vc) || diagonals_.count(EdgeKey(va, vc))) ear.cls = 2;
    }
    return ear;
}

void LoopFill::Run(const uint32_t* loop, size_t n, std::vector<std::array<uint32_t, 3>>& out)
{
    loop_ = loop;
    remaining_ = n;
    ws_.pts.resize(n);
    Vec3 centre{0, 0, 0};
    for (size_t i = 0; i < n; i++) {
        ws_.pts[i] = verts_[loop[i]];
        centre.x += ws_.pts[i].x;
        centre.y += ws_.pts[i].y;
        centre.z += ws_.pts[i].z;
    }
    centre = {centre.x / n, centre.y / n, centre.z / n};
    // Newell normal about the centre: the loop runs counter-clockwise around it.
    normal_ = {0, 0, 0};
    double extent = 0;
    for (size_t i = 0; i < n; i++) {
        const Vec3 c = Cross(Sub(ws_.pts[i], centre), Sub(ws_.pts[(i + 1) % n], centre));
        normal_ = {normal_.x + c.x, normal_.y + c.y, normal_.z + c.z};
        const Vec3 d = Sub(ws_.pts[i], centre);
        extent = std::max({extent, std::fabs(d.x), std::fabs(d.y), std::fabs(d.z)});
    }
    const double len = std::sqrt(Dot(normal_, normal_));
    bool planar = len > 0 && extent > 0;
    for (size_t i = 0; planar && i < n; i++)
        planar = std::fabs(Dot(Sub(ws_.pts[i], centre), normal_)) / len <= kPlanarTolerance * extent;
    empty_ear_test_ = planar && n <= kEmptyEarLimit;
    if (empty_ear_test_) {
        // Drop the normal's largest axis; a cyclic order of the other two
        // keeps the loop counter-clockwise, swapped when that axis points down.
        const double ax = std::fabs(normal_.x), ay = std::fabs(normal_.y), az = std::fabs(normal_.z);
        const int axis = az >= ax && az >= ay ? 2 : (ax >= ay ? 0 : 1);
        const double sign = axis == 0 ? normal_.x : (axis == 1 ? normal_.y : normal_.z);
        ws_.uv.resize(n);
        for (size_t i = 0; i < n; i++) {
            const Vec3& p = ws_.pts[i];
            Point2 q = axis == 2 ? Point2{p.x, p.y} : (axis == 0 ? Point2{p.y, p.z} : Point2{p.z, p.x});
            if (sign < 0) std::swap(q.u, q.v);
            ws_.uv[i] = q;
        }
    }

    ws_.prev.resize(n);
    ws_.next.resize(n);
    ws_.stamp.assign(n, 0);
    ws_.removed.assign(n, 0);
    ws_.reflex.assign(n, 0);
    ws_.reflex_list.clear();
    ws_.blocked_head.assign(n, kNoHalfEdge);
    ws_.blocked.clear();
    ws_.heap.clear();
    for (size_t i = 0; i < n; i++) {
        ws_.prev[i] = (uint32_t)((i + n - 1) % n);
        ws_.next[i] = (uint32_t)((i + 1) % n);
    }
    if (empty_ear_test_)
        for (uint32_t i = 0; i < n; i++)
            if (Reflex2(i)) {
                ws_.reflex[i] = 1;
                ws_.reflex_list.push_back(i);
            }
    for (uint32_t i = 0; i < n; i++) Push(i);

    uint32_t any = 0;
    while (remaining_ > 3) {
        std::pop_heap(ws_.heap.begin(), ws_.heap.end(), std::greater<Ear>());
        const Ear top = ws_.heap.back();
        ws_.heap.pop_back();
        const uint32_t i = top.at;
        if (ws_.removed[i] || top.stamp != ws_.stamp[i]) continue;
        // Other fills may have taken this ear's diagonal since it was rated.
        uint32_t blocker = kNoHalfEdge;
        const Ear now = Evaluate(i, &blocker);
        if (now.cls != top.cls) {
            Push(i);
            continue;
        }
        const uint32_t p = ws_.prev[i], q = ws_.next[i];
        out.push_back({loop[p], loop[i], loop[q]});
        diagonals_.insert(EdgeKey(loop[p], loop[q]));
        ws_.removed[i] = 1;
        ws_.next[p] = q;
        ws_.prev[q] = p;
        remaining_--;
        any = q;
        if (remaining_ <= 3) break;
        if (empty_ear_test_) {
            Release(i);
            for (uint32_t v : {p, q})
                if (ws_.reflex[v] && !Reflex2(v)) {
                    ws_.reflex[v] = 0;
                    Release(v);
                }
        }
        Push(p);
        Push(q);
    }
    out.push_back({loop[ws_.prev[any]], loop[any], loop[ws_.next[any]]});
}

}  // namespace

void FillHoles(MeshData& mesh, const TriangleProperty& fill_property)
{
    const MeshAdjacency adj = BuildAdjacency(mesh);
    const size_t nt = mesh.triangles.size();
    // A loop edge runs against its boundary half-edge: end to start.
    struct LoopEdge {
        uint32_t from, to;
    };
    std::vector<LoopEdge> edges;
    for (size_t h = 0; h < 3 * nt; h++) {
        if (adj.uses[h] != 1) continue;
        const auto& tri = mesh.triangles[h / 3];
        edges.push_back({tri[(h % 3 + 1) % 3], tri[h % 3]});
    }
    if (edges.empty()) return;
    // Stable: loops start and turn in the order of the triangles.
    std::stable_sort(edges.begin(), edges.end(),
                     [](const LoopEdge& a, const LoopEdge& b) { return a.from < b.from; });

    const size_t nv = mesh.vertices.size();
    std::vector<uint32_t> cursor(nv, kNoHalfEdge);
    for (size_t e = edges.size(); e-- > 0;) cursor[edges[e].from] = (uint32_t)e;
    std::vector<uint8_t> used(edges.size(), 0);
    auto next_unused = [&](uint32_t v) -> uint32_t {
        uint32_t e = cursor[v];
        while (e < edges.size() && edges[e].from == v && used[e]) e++;
        cursor[v] = e;
        return e < edges.size() && edges[e].from == v ? e : kNoHalfEdge;
    };

    // Walk the loop edges into simple cycles: a walk that meets a vertex
    // already on its path closes the cycle from there; a dead end is left open.
    std::vector<uint32_t> on_path(nv, kNoHalfEdge);
    std::vector<uint32_t> path;
    std::vector<uint32_t> loops;        // cycles, one after another
    std::vector<size_t> loop_ends;
    for (size_t start = 0; start < edges.size(); start++) {
        if (used[start]) continue;
        path.assign(1, edges[start].from);
        on_path[path[0]] = 0;
        for (uint32_t e = (uint32_t)start; e != kNoHalfEdge; e = next_unused(path.back())) {
            used[e] = 1;
            const uint32_t w = edges[e].to;
            if (on_path[w] == kNoHalfEdge) {
                on_path[w] = (uint32_t)path.size();
                path.push_back(w);
                continue;
            }
            const size_t from = on_path[w];
            if (path.size() - from >= 3) {
                loops.insert(loops.end(), path.begin() + from, path.end());
                loop_ends.push_back(loops.size());
            }
            for (size_t k = from + 1; k < path.size(); k++) on_path[path[k]] = kNoHalfEdge;
            path.resize(from + 1);
        }
        for (uint32_t v : path) on_path[v] = kNoHalfEdge;
    }

    std::vector<std::array<uint32_t, 3>> fill;
    std::unordered_set<uint64_t> diagonals;
    Workspace ws;
    LoopFill filler(mesh.vertices, adj, diagonals, ws);
    size_t begin = 0;
    for (size_t end : loop_ends) {
        filler.Run(loops.data() + begin, end - begin, fill);
        begin = end;
    }
    if (fill.empty()) return;

    if (mesh.properties.empty() && fill_property.pid != kNoProperty) mesh.properties.resize(nt);
    mesh.triangles.insert(mesh.triangles.end(), fill.begin(), fill.end());
    if (!mesh.properties.empty()) mesh.properties.resize(mesh.triangles.size(), fill_property);
}

}  // namespace ombrane::platform
