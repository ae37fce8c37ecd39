// Small generated meshes for the verification and repair tests, and the
// measures the tests check them by.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <utility>
#include <vector>

#include "model/mesh_data.h"

namespace meshfix {

using ombrane::platform::MeshData;
using ombrane::platform::Vec3;

// Corner index x + 2y + 4z; each face as an outward counter-clockwise quad.
inline const uint32_t kCubeQuads[6][4] = {
    {0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4}, {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5},
};

// Appends an outward cube of the given corner and size. Corners equal to a
// vertex already present reuse it, so cubes can share an edge or a corner.
inline void AppendCube(MeshData& mesh, Vec3 origin, double size)
{
    uint32_t corner[8];
    for (uint32_t c = 0; c < 8; c++) {
        const Vec3 p{origin.x + size * (c & 1), origin.y + size * ((c >> 1) & 1),
                     origin.z + size * ((c >> 2) & 1)};
        corner[c] = (uint32_t)mesh.vertices.size();
        for (uint32_t v = 0; v < mesh.vertices.size(); v++) {
            const Vec3& o = mesh.vertices[v];
            if (o.x == p.x && o.y == p.y && o.z == p.z) corner[c] = v;
        }
        if (corner[c] == mesh.vertices.size()) mesh.vertices.push_back(p);
    }
    for (const auto& q : kCubeQuads) {
        mesh.triangles.push_back({corner[q[0]], corner[q[1]], corner[q[2]]});
        mesh.triangles.push_back({corner[q[0]], corner[q[2]], corner[q[3]]});
    }
}

inline MeshData Cube()
{
    MeshData mesh;
    AppendCube(mesh, {0, 0, 0}, 1);
    return mesh;
}

// The side walls of a prism of height h over a counter-clockwise polygon in
// z = 0, both ends left open.
inline MeshData OpenPrism(const std::vector<std::pair<double, double>>& polygon, double h)
{
    MeshData mesh;
    const uint32_t n = (uint32_t)polygon.size();
    for (double z : {0.0, h})
        for (const auto& [x, y] : polygon) mesh.vertices.push_back({x, y, z});
    for (uint32_t i = 0; i < n; i++) {
        const uint32_t j = (i + 1) % n;
        mesh.triangles.push_back({i, j, j + n});
        mesh.triangles.push_back({i, j + n, i + n});
    }
    return mesh;
}

// A closed torus around the z axis (ring radius big, tube radius small) of
// rings x sides quads, each two outward triangles: a valid mesh of any size.
inline MeshData Torus(uint32_t rings, uint32_t sides, double big = 10, double small = 3)
{
    MeshData mesh;
    for (uint32_t i = 0; i < rings; i++)
        for (uint32_t j = 0; j < sides; j++) {
            const double u = 2 * std::numbers::pi * i / rings, v = 2 * std::numbers::pi * j / sides;
            const double r = big + small * std::cos(v);
            mesh.vertices.push_back({r * std::cos(u), r * std::sin(u), small * std::sin(v)});
        }
    for (uint32_t i = 0; i < rings; i++)
        for (uint32_t j = 0; j < sides; j++) {
            const uint32_t i1 = (i + 1) % rings, j1 = (j + 1) % sides;
            const uint32_t a = i * sides + j, b = i1 * sides + j, c = i1 * sides + j1, d = i * sides + j1;
            mesh.triangles.push_back({a, b, c});
            mesh.triangles.push_back({a, c, d});
        }
    return mesh;
}

inline double PolygonArea(const std::vector<std::pair<double, double>>& polygon)
{
    double twice = 0;
    for (size_t i = 0; i < polygon.size(); i++) {
        const auto& [x0, y0] = polygon[i];
        const auto& [x1, y1] = polygon[(i + 1) % polygon.size()];
        twice += x0 * y1 - x1 * y0;
    }
    return twice / 2;
}

inline double Volume(const MeshData& mesh)
{
    double six = 0;
    for (const auto& t : mesh.triangles) {
        const Vec3 &a = mesh.vertices[t[0]], &b = mesh.vertices[t[1]], &c = mesh.vertices[t[2]];
        six += a.x * (b.y * c.z - b.z * c.y) - a.y * (b.x * c.z - b.z * c.x) + a.z * (b.x * c.y - b.y * c.x);
    }
    return six / 6;
}

inline void Flip(MeshData& mesh, size_t t) { std::swap(mesh.triangles[t][1], mesh.triangles[t][2]); }

inline bool SameMesh(const MeshData& a, const MeshData& b)
{
    if (a.vertices.size() != b.vertices.size() || a.triangles != b.triangles ||
        a.properties.size() != b.properties.size())
        return false;
    for (size_t v = 0; v < a.vertices.size(); v++)
        if (std::memcmp(&a.vertices[v], &b.vertices[v], sizeof(Vec3)) != 0) return false;
    for (size_t t = 0; t < a.properties.size(); t++)
        if (a.properties[t].pid != b.properties[t].pid ||
            std::memcmp(a.properties[t].p, b.properties[t].p, sizeof a.properties[t].p) != 0)
            return false;
    return true;
}

}  // namespace meshfix
