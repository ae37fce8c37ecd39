// The output checker of the test kit must see each kind of broken output.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "velmor_kit.h"

namespace {

using velmorkit::Mesh;
using velmorkit::Mode;

template <class T>
void Append(std::vector<uint8_t>* out, const std::vector<T>& values)
{
    const uint8_t* p = reinterpret_cast<const uint8_t*>(values.data());
    out->insert(out->end(), p, p + values.size() * sizeof(T));
}

// An output with k created points at xyz and triangles tri.
std::vector<uint8_t> Encode(const std::vector<double>& xyz, const std::vector<int32_t>& tri, Mode mode)
{
    std::vector<uint8_t> out;
    Append(&out, std::vector<int32_t>{(int32_t)(xyz.size() / 3)});
    Append(&out, xyz);
    Append(&out, std::vector<int32_t>{(int32_t)(tri.size() / 3)});
    Append(&out, tri);
    if (!xyz.empty() && mode != Mode::kRemesh) Append(&out, xyz);
    if (!xyz.empty() && mode == Mode::kDrape) {
        Append(&out, xyz);
        Append(&out, std::vector<double>{0.0});
    }
    return out;
}

TEST(OutputChecker, PassesSoundOutputsAndNamesEachFault)
{
    // Square hole: corners 0..3 counter-clockwise; point 8 is the centre.
    const Mesh mesh = velmorkit::SquareHole();
    const std::vector<double> centre = {0, 0, 0};
    const std::vector<int32_t> fan = {0, 1, 8, 1, 2, 8, 2, 3, 8, 3, 0, 8};
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        Mode mode;
        const char* want;  // part of the first complaint; null: sound
    };
    std::vector<uint8_t> short_file = Encode(centre, fan, Mode::kSmooth);
    short_file.pop_back();
    const Case cases[] = {
        {"cap as read", Encode({}, mesh.cap, Mode::kDrape), Mode::kDrape, nullptr},
        {"centre fan", Encode(centre, fan, Mode::kRemesh), Mode::kRemesh, nullptr},
        {"centre fan, drape blocks", Encode(centre, fan, Mode::kDrape), Mode::kDrape, nullptr},
        {"blocks of another mode", Encode(centre, fan, Mode::kSmooth), Mode::kRemesh, "length"},
        {"cut short", short_file, Mode::kSmooth, "length"},
        {"index past the created points", Encode(centre, {0, 1, 9, 1, 2, 8, 2, 3, 8, 3, 0, 8}, Mode::kRemesh),
         Mode::kRemesh, "outside"},
        {"unused created point", Encode({0, 0, 0, 1, 1, 0}, fan, Mode::kRemesh), Mode::kRemesh, "named by no"},
        {"whole cap flipped", Encode({}, {0, 2, 1, 0, 3, 2}, Mode::kRemesh), Mode::kRemesh, "reversed"},
        {"one triangle flipped", Encode(centre, {0, 1, 8, 1, 8, 2, 2, 3, 8, 3, 0, 8}, Mode::kRemesh),
         Mode::kRemesh, "more than one"},
        {"contour edge lost", Encode(centre, {0, 1, 8, 1, 2, 8, 2, 3, 8}, Mode::kRemesh), Mode::kRemesh,
         "contour edge 3 -> 0"},
        {"repeated corner", Encode(centre, {0, 1, 8, 1, 2, 8, 2, 3, 8, 3, 0, 8, 8, 8, 1}, Mode::kRemesh),
         Mode::kRemesh, "repeats"},
        {"NaN position", Encode({0, 0, std::nan("")}, fan, Mode::kRemesh), Mode::kRemesh, "not finite"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> bad = velmorkit::CheckOutput(mesh, c.bytes, c.mode);
        if (!c.want) {
            EXPECT_TRUE(bad.empty()) << bad.front();
            continue;
        }
        ASSERT_FALSE(bad.empty());
        bool named = false;
        for (const std::string& line : bad) named |= line.find(c.want) != std::string::npos;
        EXPECT_TRUE(named) << bad.front();
    }
}

TEST(Fixtures, AreSoundInputsWithOrientedCaps)
{
    for (const Mesh& mesh : {velmorkit::SquareHole(), velmorkit::Disc(), velmorkit::Cylinder()}) {
        std::vector<uint8_t> as_read;
        // The cap as read must satisfy the checker itself.
        std::vector<int32_t> head = {0};
        Append(&as_read, head);
        Append(&as_read, std::vector<int32_t>{mesh.m()});
        Append(&as_read, mesh.cap);
        EXPECT_TRUE(velmorkit::OutputIsSound(mesh, as_read, Mode::kRemesh));
        for (int32_t i : mesh.faces) ASSERT_LT(i, mesh.np());
        for (int32_t i : mesh.contour) ASSERT_LT(i, mesh.np());
        EXPECT_EQ(velmorkit::EncodeInput(mesh).size(),
                  16 + 24 * (size_t)mesh.np() + 12 * (size_t)mesh.nf() + 4 * mesh.contour.size() +
                      12 * (size_t)mesh.m());
    }
}

}  // namespace
