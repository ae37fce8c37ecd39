// velmor test kit: input files from in-memory meshes, output files read
// back, and a checker of output invariants.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace velmorkit {

// The content of one input file. The cap's corners are wall points; the
// contour is a closed loop of wall point indices.
struct Mesh {
    std::vector<double> points;    // x, y, z per wall point
    std::vector<int32_t> faces;    // 3 per wall triangle
    std::vector<int32_t> contour;  // loop order
    std::vector<int32_t> cap;      // 3 per cap triangle, in the winding kept

    int32_t np() const { return (int32_t)(points.size() / 3); }
    int32_t nf() const { return (int32_t)(faces.size() / 3); }
    int32_t ncontour() const { return (int32_t)contour.size(); }
    int32_t m() const { return (int32_t)(cap.size() / 3); }
};

// The bytes of the input file, fields in file order, little-endian.
std::vector<uint8_t> EncodeInput(const Mesh& mesh);
void WriteInput(const std::string& path, const Mesh& mesh);

// Flat square wall (side `outer`, z = 0) around a square hole (side `hole`,
// centred on the origin) whose 4 corners are the contour; the cap is the
// hole's two triangles, wound counter-clockwise seen from +z, as is the wall.
// Points 0..3 are the hole's corners, 4..7 the outer corners.
Mesh SquareHole(double hole = 10.0, double outer = 30.0);

// Flat annulus wall (inner radius r, outer radius r_out, z = 0) of `rings`
// rings of `segments` points each; the contour is the inner ring and the cap
// a fan from contour point 0 over the inner polygon, counter-clockwise seen
// from +z. Wall edges along the contour are about 2 pi r / segments long.
Mesh Disc(double r = 10.0, int segments = 32, double r_out = 14.0, int rings = 2);

// Open cylinder wall of radius r, axis z, from z = -height to z = 0, with
// `layers` + 1 rings of `segments` points, outward normals; the contour is
// the top ring (z = 0) and the cap a flat fan over it, counter-clockwise seen
// from +z.
Mesh Cylinder(double r = 10.0, int segments = 32, double height = 10.0, int layers = 4);

enum class Mode { kRemesh, kSmooth, kDrape };
const char* ModeWord(Mode mode);  // "--remesh", "--smooth", "--drape"

// An output file read back. Blocks 5 to 7 are present only where the mode
// and k say so.
struct Output {
    int32_t k = 0;
    std::vector<double> xyz;      // 3 * k remeshed positions
    int32_t nt = 0;
    std::vector<int32_t> tri;     // 3 * nt
    std::vector<double> faired;   // 3 * k, or empty
    std::vector<double> draped;   // 3 * k, or empty
    double dmax = 0.0;            // block 7 (0 when absent)
    bool has_drape = false;       // blocks 6 and 7 present
};

// Expected byte length of an output file.
uint64_t OutputLength(Mode mode, int64_t k, int64_t nt);

// Parses bytes written in `mode`; false with *error set when the length
// does not fit the counts it holds.
bool ParseOutput(const std::vector<uint8_t>& bytes, Mode mode, Output* out, std::string* error);

// Every broken invariant of an output against its input, one line each:
// the length formula, index ranges, every created point used, finite
// positions, no directed edge used twice, the cap's total vector area kept
// in direction, every contour edge present in the direction the input cap
// has it. Empty when the output is sound.
std::vector<std::string> CheckOutput(const Mesh& input, const std::vector<uint8_t>& bytes, Mode mode);

// gtest form of CheckOutput: EXPECT_TRUE(velmorkit::OutputIsSound(...)).
::testing::AssertionResult OutputIsSound(const Mesh& input, const std::vector<uint8_t>& bytes,
                                         Mode mode);

}  // namespace velmorkit
