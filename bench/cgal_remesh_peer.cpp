// Peer for the remesh benchmark: CGAL's isotropic remeshing (10 iterations,
// no projection) of the cap of a velmor input file, so both programs are
// timed side by side on one machine. Usage: bench_cgal_peer input.bin target.
// Prints "<output triangles> <seconds>".
#include <CGAL/Polygon_mesh_processing/remesh.h>
#include <CGAL/Simple_cartesian.h>
#include <CGAL/Surface_mesh.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

using Kernel = CGAL::Simple_cartesian<double>;
using Mesh = CGAL::Surface_mesh<Kernel::Point_3>;
namespace PMP = CGAL::Polygon_mesh_processing;

static bool read_block(FILE* f, void* p, size_t size, size_t count)
{
    return fread(p, size, count, f) == count;
}

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: bench_cgal_peer input.bin target\n");
        return 2;
    }
    FILE* f = fopen(argv[1], "rb");
    if (!f) return 2;
    int32_t np = 0, nf = 0, n = 0, m = 0;
    std::vector<double> points;
    std::vector<int32_t> wall_faces, contour, cap;
    bool ok = read_block(f, &np, 4, 1);
    points.resize(3 * (size_t)np);
    ok = ok && read_block(f, points.data(), 8, points.size()) && read_block(f, &nf, 4, 1);
    wall_faces.resize(3 * (size_t)nf);
    ok = ok && read_block(f, wall_faces.data(), 4, wall_faces.size()) && read_block(f, &n, 4, 1);
    contour.resize(n);
    ok = ok && read_block(f, contour.data(), 4, contour.size()) && read_block(f, &m, 4, 1);
    cap.resize(3 * (size_t)m);
    ok = ok && read_block(f, cap.data(), 4, cap.size());
    fclose(f);
    if (!ok) return 2;

    const auto t0 = std::chrono::steady_clock::now();
    Mesh mesh;
    std::map<int32_t, Mesh::Vertex_index> vmap;
    auto vertex = [&](int32_t i) {
        auto it = vmap.find(i);
        if (it != vmap.end()) return it->second;
        auto v = mesh.add_vertex(Kernel::Point_3(points[3 * i], points[3 * i + 1], points[3 * i + 2]));
        vmap.emplace(i, v);
        return v;
    };
    for (int32_t t = 0; t < m; t++)
        mesh.add_face(vertex(cap[3 * t]), vertex(cap[3 * t + 1]), vertex(cap[3 * t + 2]));
    PMP::isotropic_remeshing(faces(mesh), atof(argv[2]), mesh,
                             CGAL::parameters::number_of_iterations(10).do_project(false));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    printf("%lld %.3f\n", (long long)mesh.number_of_faces(), seconds);
    return 0;
}
