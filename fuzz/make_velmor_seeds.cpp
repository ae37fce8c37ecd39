// Writes the seed inputs of the velmor fuzz target into a folder: the test
// kit's fixtures at a few sizes, so that every stage has inputs to start from.
// usage: make_velmor_seeds <folder>
#include <cstdio>
#include <exception>
#include <string>

#include "velmor_kit.h"

// A disc whose wall also has a vertical fin through the middle of the cap:
// the cap crosses it, so the drape finds crossings and pushes points.
static velmorkit::Mesh DiscWithFin()
{
    velmorkit::Mesh mesh = velmorkit::Disc(10.0, 16, 14.0, 1);
    const int32_t base = mesh.np();
    const double fin[4][3] = {{-4, 0, -2}, {4, 0, -2}, {4, 0, 2}, {-4, 0, 2}};
    for (const auto& p : fin) mesh.points.insert(mesh.points.end(), p, p + 3);
    const int32_t faces[6] = {base, base + 1, base + 2, base, base + 2, base + 3};
    mesh.faces.insert(mesh.faces.end(), faces, faces + 6);
    return mesh;
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: make_velmor_seeds <folder>\n");
        return 2;
    }
    const std::string dir = argv[1];
    struct Seed { const char* name; velmorkit::Mesh mesh; };
    const Seed seeds[] = {
        {"square_hole", velmorkit::SquareHole()},
        {"square_hole_small", velmorkit::SquareHole(1.0, 3.0)},
        {"disc", velmorkit::Disc()},
        {"disc_coarse", velmorkit::Disc(5.0, 6, 7.0, 1)},
        {"cylinder", velmorkit::Cylinder()},
        {"cylinder_coarse", velmorkit::Cylinder(4.0, 8, 4.0, 1)},
        {"disc_with_fin", DiscWithFin()},
    };
    try {
        for (const Seed& s : seeds) velmorkit::WriteInput(dir + "/" + s.name + ".bin", s.mesh);
    } catch (const std::exception& e) {
        fprintf(stderr, "make_velmor_seeds: %s\n", e.what());
        return 2;
    }
    return 0;
}
