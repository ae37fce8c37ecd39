// Mesh verification and repair on a generated torus of about one million
// triangles with defects of every kind the repair mends (flipped triangles,
// holes, duplicates, repeated indices, an unwelded seam, fins): seconds per
// stage and the process's peak memory against the mesh's own size.
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>

#include "mesh/mesh_ops.h"

using namespace ombrane::platform;

static MeshData DefectiveTorus(int nu, int nv)
{
    MeshData m;
    // Ring nu repeats ring 0 with its own vertices: a seam to weld.
    for (int i = 0; i <= nu; i++)
        for (int j = 0; j < nv; j++) {
            const double u = 2 * M_PI * (i % nu) / nu, v = 2 * M_PI * j / nv;
            m.vertices.push_back({(40 + 15 * std::cos(v)) * std::cos(u), (40 + 15 * std::cos(v)) * std::sin(u),
                                  15 * std::sin(v)});
        }
    auto at = [&](int i, int j) { return uint32_t(i * nv + (j % nv)); };
    auto hole = [&](int i, int j) {
        if (i % 48 == 24 && j % 48 == 24) return true;          // one quad
        return i % 240 < 5 && j % 175 < 4 && i > 0 && j > 0;    // 5 x 4 patches
    };
    for (int i = 0; i < nu; i++)
        for (int j = 0; j < nv; j++) {
            if (hole(i, j)) continue;
            m.triangles.push_back({at(i, j), at(i + 1, j), at(i + 1, j + 1)});
            m.triangles.push_back({at(i, j), at(i + 1, j + 1), at(i, j + 1)});
        }
    const size_t n = m.triangles.size();
    for (size_t t = 0; t < n; t += 997) std::swap(m.triangles[t][1], m.triangles[t][2]);
    for (size_t t = 5; t < n; t += 10007) m.triangles.push_back(m.triangles[t]);
    for (size_t t = 7; t < n; t += 20011) m.triangles.push_back({m.triangles[t][0], m.triangles[t][0], m.triangles[t][1]});
    for (size_t t = 11; t < n; t += 50021) {
        const Vec3& a = m.vertices[m.triangles[t][0]];
        m.vertices.push_back({a.x * 1.2, a.y * 1.2, a.z + 3});
        m.triangles.push_back({m.triangles[t][0], m.triangles[t][1], uint32_t(m.vertices.size() - 1)});
    }
    return m;
}

static double PeakMiB()
{
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss / 1024.0;
}

int main()
{
    using clock = std::chrono::steady_clock;
    auto secs = [](clock::time_point a, clock::time_point b) { return std::chrono::duration<double>(b - a).count(); };
    MeshData mesh = DefectiveTorus(720, 700);
    const double mesh_mib = (mesh.vertices.size() * 24.0 + mesh.triangles.size() * 12.0) / (1 << 20);
    const double base_mib = PeakMiB();
    std::printf("triangles %zu, vertices %zu, mesh %.1f MiB\n", mesh.triangles.size(), mesh.vertices.size(),
                mesh_mib);

    auto t0 = clock::now();
    const MeshVerification before = VerifyMesh(mesh);
    auto t1 = clock::now();
    RepairMesh(mesh, {});
    auto t2 = clock::now();
    const MeshVerification after = VerifyMesh(mesh);
    auto t3 = clock::now();
    MeshData again = mesh;
    RepairMesh(again, {});  // valid: verified and left alone
    auto t4 = clock::now();

    std::printf("before: %zu non-manifold, %zu reversed; after: %zu, %zu (%zu triangles, %zu vertices)\n",
                before.nonmanifold_triangles.size(), before.reversed_normal_triangles.size(),
                after.nonmanifold_triangles.size(), after.reversed_normal_triangles.size(), mesh.triangles.size(),
                mesh.vertices.size());
    std::printf("verify %.3f s, repair %.3f s, verify again %.3f s, repair of the valid result %.3f s\n",
                secs(t0, t1), secs(t1, t2), secs(t2, t3), secs(t3, t4));
    std::printf("peak memory %.1f MiB (%.1f MiB before verifying; %.2f x the mesh above that)\n", PeakMiB(),
                base_mib, (PeakMiB() - base_mib) / mesh_mib);
    return after.IsValid() ? 0 : 1;
}
