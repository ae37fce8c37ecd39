// Input reader through the program: every refusal at the byte where it
// applies, its message and status, and an output left untouched.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "test_support.h"
#include "velmor_kit.h"

namespace {

using testsupport::ReadBytes;
using testsupport::TempDir;
using testsupport::WriteBytes;
using velmorkit::Mesh;

// Byte offsets of the fields of an encoded mesh.
struct Layout {
    size_t np, points, nf, faces, n, contour, m, cap, end;
};

Layout LayoutOf(const Mesh& mesh)
{
    Layout l;
    l.np = 0;
    l.points = 4;
    l.nf = l.points + 24 * (size_t)mesh.np();
    l.faces = l.nf + 4;
    l.n = l.faces + 12 * (size_t)mesh.nf();
    l.contour = l.n + 4;
    l.m = l.contour + 4 * (size_t)mesh.ncontour();
    l.cap = l.m + 4;
    l.end = l.cap + 12 * (size_t)mesh.m();
    return l;
}

template <class T>
void Poke(std::vector<uint8_t>* bytes, size_t at, T value)
{
    std::memcpy(bytes->data() + at, &value, sizeof value);
}

TEST(InputReader, RefusesEachFieldWithItsMessage)
{
    const Mesh mesh = velmorkit::SquareHole();
    const std::vector<uint8_t> good = velmorkit::EncodeInput(mesh);
    const Layout l = LayoutOf(mesh);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();

    struct Case {
        const char* name;
        size_t keep;        // bytes of the good file kept
        size_t poke_at;     // where an i32 or f64 is overwritten (SIZE_MAX: nowhere)
        int32_t poke_i32;
        bool poke_f64;
        double f64;
        const char* want;
    };
    const size_t none = SIZE_MAX;
    const Case cases[] = {
        {"empty file", 0, none, 0, false, 0, "np invalide\n"},
        {"np cut short", 3, none, 0, false, 0, "np invalide\n"},
        {"np = 2", good.size(), l.np, 2, false, 0, "np invalide\n"},
        {"np negative", good.size(), l.np, -5, false, 0, "np invalide\n"},
        {"cut inside the points", l.points + 23, none, 0, false, 0, "points illisibles\n"},
        {"np beyond the file", good.size(), l.np, 0x7fffffff, false, 0, "points illisibles\n"},
        {"NaN coordinate", good.size(), l.points + 8 * 5, 0, true, nan, "points non finis\n"},
        {"infinite coordinate", good.size(), l.points, 0, true, -inf, "points non finis\n"},
        {"cut after the points", l.nf, none, 0, false, 0, "nf invalide\n"},
        {"nf = 0", good.size(), l.nf, 0, false, 0, "nf invalide\n"},
        {"nf negative", good.size(), l.nf, -1, false, 0, "nf invalide\n"},
        {"cut inside the faces", l.faces + 13, none, 0, false, 0, "faces illisibles\n"},
        {"nf beyond the file", good.size(), l.nf, 0x7fffffff, false, 0, "faces illisibles\n"},
        {"face index = np", good.size(), l.faces + 4 * 7, 8, false, 0, "faces : indice hors bornes\n"},
        {"face index negative", good.size(), l.faces, -1, false, 0, "faces : indice hors bornes\n"},
        {"n = 2", good.size(), l.n, 2, false, 0, "n invalide\n"},
        {"cut inside the contour", l.contour + 15, none, 0, false, 0, "contour illisible\n"},
        {"n beyond the file", good.size(), l.n, 1 << 30, false, 0, "contour illisible\n"},
        {"contour index = np", good.size(), l.contour + 4, 8, false, 0, "contour : indice hors bornes\n"},
        {"contour index negative", good.size(), l.contour + 12, INT32_MIN, false, 0,
         "contour : indice hors bornes\n"},
        {"cut exactly after the contour", l.m, none, 0, false, 0, "m invalide\n"},
        {"m = 0", good.size(), l.m, 0, false, 0, "m invalide\n"},
        {"cut inside the cap", l.end - 1, none, 0, false, 0, "cap illisible\n"},
        {"m beyond the file", good.size(), l.m, 0x7fffffff, false, 0, "cap illisible\n"},
        {"cap index = np", good.size(), l.end - 4, 8, false, 0, "cap : indice hors bornes\n"},
        {"cap index negative", good.size(), l.cap, -1, false, 0, "cap : indice hors bornes\n"},
    };
    TempDir dir;
    const std::string in = dir.file("in.bin"), out = dir.file("out.bin");
    const std::vector<uint8_t> earlier = {1, 2, 3, 4, 5};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> bytes(good.begin(), good.begin() + (ptrdiff_t)c.keep);
        if (c.poke_at != none) {
            if (c.poke_f64) Poke(&bytes, c.poke_at, c.f64);
            else Poke(&bytes, c.poke_at, c.poke_i32);
        }
        WriteBytes(in, bytes);
        WriteBytes(out, earlier);
        testsupport::RunResult r = testsupport::Run({VELMOR_EXE, "--remesh", in, out});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, c.want);
        EXPECT_EQ(ReadBytes(out), earlier);
    }
}

TEST(InputReader, RefusesAnInputItCannotOpenOrRead)
{
    TempDir dir;
    const std::string missing = dir.file("none.bin");
    testsupport::RunResult r = testsupport::Run({VELMOR_EXE, "--smooth", missing, dir.file("out.bin")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "entree illisible : " + missing + "\n");
    EXPECT_FALSE(testsupport::FileExists(dir.file("out.bin")));

    // Not a regular file: no size to compare counts with, read as it comes.
    r = testsupport::Run({VELMOR_EXE, "--remesh", "/dev/null", dir.file("out.bin")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "np invalide\n");
}

TEST(InputReader, IgnoresBytesAfterTheCap)
{
    const Mesh mesh = velmorkit::SquareHole();
    std::vector<uint8_t> bytes = velmorkit::EncodeInput(mesh);
    for (int i = 0; i < 100; i++) bytes.push_back((uint8_t)(0xA5 ^ i));
    TempDir dir;
    WriteBytes(dir.file("in.bin"), bytes);
    testsupport::RunResult r =
        testsupport::Run({VELMOR_EXE, "--remesh", dir.file("in.bin"), dir.file("out.bin"), "--max-passes", "0"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(velmorkit::OutputIsSound(mesh, ReadBytes(dir.file("out.bin")), velmorkit::Mode::kRemesh));
}

}  // namespace
