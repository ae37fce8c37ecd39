// Writes the example input of the README: one of the test kit's fixtures.
// usage: velmor_example out.bin [cylinder|disc|square]
#include <cstdio>
#include <cstring>
#include <exception>

#include "velmor_kit.h"

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: velmor_example out.bin [cylinder|disc|square]\n");
        return 2;
    }
    const char* shape = argc > 2 ? argv[2] : "cylinder";
    velmorkit::Mesh mesh;
    if (strcmp(shape, "cylinder") == 0) mesh = velmorkit::Cylinder();
    else if (strcmp(shape, "disc") == 0) mesh = velmorkit::Disc();
    else if (strcmp(shape, "square") == 0) mesh = velmorkit::SquareHole();
    else {
        fprintf(stderr, "velmor_example: unknown shape %s\n", shape);
        return 2;
    }
    try {
        velmorkit::WriteInput(argv[1], mesh);
    } catch (const std::exception& e) {
        fprintf(stderr, "velmor_example: %s\n", e.what());
        return 2;
    }
    return 0;
}
