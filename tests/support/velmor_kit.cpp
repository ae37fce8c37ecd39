// velmor test kit: writes input files from small named meshes, reads output
// files back and checks what every output must satisfy.
#include "velmor_kit.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>
#include <utility>

#include "test_support.h"

namespace velmorkit {

namespace {

template <class T>
void Append(std::vector<uint8_t>* out, const T* values, size_t count)
{
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(values);
    out->insert(out->end(), bytes, bytes + count * sizeof(T));
}

void AppendI32(std::vector<uint8_t>* out, int32_t value) { Append(out, &value, 1); }

// A quad a, b (inner, along the loop) and d, c (outer, below them) as the two
// triangles (a, d, c) and (a, c, b); the winding follows from the caller's
// choice of a and b.
void AddQuad(std::vector<int32_t>* faces, int32_t a, int32_t b, int32_t c, int32_t d)
{
    faces->insert(faces->end(), {a, d, c, a, c, b});
}

void Fan(Mesh* mesh, int segments)
{
    for (int i = 0; i < segments; i++) mesh->contour.push_back(i);
    for (int i = 1; i + 1 < segments; i++) mesh->cap.insert(mesh->cap.end(), {0, i, i + 1});
}

struct Reader {
    const std::vector<uint8_t>& bytes;
    size_t pos = 0;
    template <class T>
    void Take(T* out, size_t count)
    {
        if (count == 0) return;  // an empty block's vector has no storage
        std::memcpy(out, bytes.data() + pos, count * sizeof(T));
        pos += count * sizeof(T);
    }
};

const double* Position(const Mesh& input, const Output& out, int32_t index)
{
    int32_t np = input.np();
    return index < np ? &input.points[3 * (size_t)index] : &out.xyz[3 * (size_t)(index - np)];
}

void AddVectorArea(const double* a, const double* b, const double* c, double* sum)
{
    double u[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
    double v[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
    sum[0] += 0.5 * (u[1] * v[2] - u[2] * v[1]);
    sum[1] += 0.5 * (u[2] * v[0] - u[0] * v[2]);
    sum[2] += 0.5 * (u[0] * v[1] - u[1] * v[0]);
}

bool AllFinite(const std::vector<double>& values)
{
    return std::all_of(values.begin(), values.end(), [](double x) { return std::isfinite(x); });
}

}  // namespace

std::vector<uint8_t> EncodeInput(const Mesh& mesh)
{
    std::vector<uint8_t> out;
    AppendI32(&out, mesh.np());
    Append(&out, mesh.points.data(), mesh.points.size());
    AppendI32(&out, mesh.nf());
    Append(&out, mesh.faces.data(), mesh.faces.size());
    AppendI32(&out, mesh.ncontour());
    Append(&out, mesh.contour.data(), mesh.contour.size());
    AppendI32(&out, mesh.m());
    Append(&out, mesh.cap.data(), mesh.cap.size());
    return out;
}

void WriteInput(const std::string& path, const Mesh& mesh)
{
    testsupport::WriteBytes(path, EncodeInput(mesh));
}

Mesh SquareHole(double hole, double outer)
{
    Mesh mesh;
    const double corner[4][2] = {{-1, -1}, {1, -1}, {1, 1}, {-1, 1}};
    for (double half : {hole / 2, outer / 2})
        for (const auto& c : corner) mesh.points.insert(mesh.points.end(), {c[0] * half, c[1] * half, 0.0});
    for (int i = 0; i < 4; i++) {
        int j = (i + 1) % 4;
        AddQuad(&mesh.faces, i, j, 4 + j, 4 + i);
    }
    mesh.contour = {0, 1, 2, 3};
    mesh.cap = {0, 1, 2, 0, 2, 3};
    return mesh;
}

Mesh Disc(double r, int segments, double r_out, int rings)
{
    Mesh mesh;
    for (int j = 0; j <= rings; j++) {
        double radius = r + (r_out - r) * j / rings;
        for (int i = 0; i < segments; i++) {
            double angle = 2 * M_PI * i / segments;
            mesh.points.insert(mesh.points.end(), {radius * cos(angle), radius * sin(angle), 0.0});
        }
    }
    for (int j = 0; j < rings; j++)
        for (int i = 0; i < segments; i++) {
            int i1 = (i + 1) % segments;
            AddQuad(&mesh.faces, j * segments + i, j * segments + i1, (j + 1) * segments + i1,
                    (j + 1) * segments + i);
        }
    Fan(&mesh, segments);
    return mesh;
}

Mesh Cylinder(double r, int segments, double height, int layers)
{
    Mesh mesh;
    for (int l = 0; l <= layers; l++) {
        double z = -height * l / layers;
        for (int i = 0; i < segments; i++) {
            double angle = 2 * M_PI * i / segments;
            mesh.points.insert(mesh.points.end(), {r * cos(angle), r * sin(angle), z});
        }
    }
    for (int l = 0; l < layers; l++)
        for (int i = 0; i < segments; i++) {
            int i1 = (i + 1) % segments;
            AddQuad(&mesh.faces, l * segments + i, l * segments + i1, (l + 1) * segments + i1,
                    (l + 1) * segments + i);
        }
    Fan(&mesh, segments);
    return mesh;
}

const char* ModeWord(Mode mode)
{
    switch (mode) {
    case Mode::kRemesh: return "--remesh";
    case Mode::kSmooth: return "--smooth";
    case Mode::kDrape: return "--drape";
    }
    return "";
}

uint64_t OutputLength(Mode mode, int64_t k, int64_t nt)
{
    uint64_t len = 8 + 24 * (uint64_t)k + 12 * (uint64_t)nt;
    if (k > 0 && mode != Mode::kRemesh) len += 24 * (uint64_t)k;
    if (k > 0 && mode == Mode::kDrape) len += 24 * (uint64_t)k + 8;
    return len;
}

bool ParseOutput(const std::vector<uint8_t>& bytes, Mode mode, Output* out, std::string* error)
{
    *out = Output();
    Reader in{bytes};
    int32_t k = 0, nt = 0;
    if (bytes.size() < 4) {
        *error = "output of " + std::to_string(bytes.size()) + " bytes has no k";
        return false;
    }
    in.Take(&k, 1);
    if (k < 0 || bytes.size() < 8 + 24 * (uint64_t)k) {
        *error = "k = " + std::to_string(k) + " does not fit " + std::to_string(bytes.size()) + " bytes";
        return false;
    }
    std::memcpy(&nt, bytes.data() + 4 + 24 * (size_t)k, 4);
    uint64_t want = nt < 0 ? 0 : OutputLength(mode, k, nt);
    if (nt < 0 || bytes.size() != want) {
        *error = std::string("length ") + std::to_string(bytes.size()) + ", want " + std::to_string(want) +
                 " for k = " + std::to_string(k) + ", nt = " + std::to_string(nt) + " in " + ModeWord(mode);
        return false;
    }
    out->k = k;
    out->xyz.resize(3 * (size_t)k);
    in.Take(out->xyz.data(), out->xyz.size());
    in.Take(&out->nt, 1);
    out->tri.resize(3 * (size_t)nt);
    in.Take(out->tri.data(), out->tri.size());
    if (k > 0 && mode != Mode::kRemesh) {
        out->faired.resize(3 * (size_t)k);
        in.Take(out->faired.data(), out->faired.size());
    }
    if (k > 0 && mode == Mode::kDrape) {
        out->has_drape = true;
        out->draped.resize(3 * (size_t)k);
        in.Take(out->draped.data(), out->draped.size());
        in.Take(&out->dmax, 1);
    }
    return true;
}

std::vector<std::string> CheckOutput(const Mesh& input, const std::vector<uint8_t>& bytes, Mode mode)
{
    std::vector<std::string> bad;
    Output out;
    std::string error;
    if (!ParseOutput(bytes, mode, &out, &error)) {
        bad.push_back(error);
        return bad;
    }
    auto say = [&bad](const std::ostringstream& line) { bad.push_back(line.str()); };
    const int64_t np = input.np(), nv = np + out.k;

    if (!AllFinite(out.xyz)) bad.push_back("a remeshed position is not finite");
    if (!AllFinite(out.faired)) bad.push_back("a faired position is not finite");
    if (!AllFinite(out.draped)) bad.push_back("a draped position is not finite");
    if (!std::isfinite(out.dmax) || out.dmax < 0) bad.push_back("block 7 is not a distance");

    std::vector<uint8_t> used(out.k, 0);
    bool in_range = true;
    for (int32_t t = 0; t < out.nt; t++) {
        const int32_t* c = &out.tri[3 * (size_t)t];
        for (int j = 0; j < 3; j++) {
            if (c[j] < 0 || c[j] >= nv) {
                std::ostringstream line;
                line << "triangle " << t << " names vertex " << c[j] << " outside [0, " << nv << ")";
                say(line);
                in_range = false;
            } else if (c[j] >= np) {
                used[c[j] - np] = 1;
            }
        }
        if (c[0] == c[1] || c[1] == c[2] || c[2] == c[0]) {
            std::ostringstream line;
            line << "triangle " << t << " repeats a corner (" << c[0] << ", " << c[1] << ", " << c[2] << ")";
            say(line);
        }
    }
    for (int32_t i = 0; i < out.k; i++)
        if (!used[i]) {
            std::ostringstream line;
            line << "created point " << np + i << " is named by no triangle";
            say(line);
        }
    if (!in_range) return bad;

    // A consistently wound cap uses each directed edge once.
    std::vector<std::pair<int32_t, int32_t>> directed;
    directed.reserve(3 * (size_t)out.nt);
    for (int32_t t = 0; t < out.nt; t++)
        for (int j = 0; j < 3; j++) directed.emplace_back(out.tri[3 * (size_t)t + j], out.tri[3 * (size_t)t + (j + 1) % 3]);
    std::sort(directed.begin(), directed.end());
    for (size_t e = 1; e < directed.size(); e++)
        if (directed[e] == directed[e - 1] && (e < 2 || directed[e] != directed[e - 2])) {
            std::ostringstream line;
            line << "directed edge " << directed[e].first << " -> " << directed[e].second
                 << " is used by more than one triangle";
            say(line);
        }
    auto has = [&directed](int32_t a, int32_t b) {
        return std::binary_search(directed.begin(), directed.end(), std::make_pair(a, b));
    };

    std::vector<std::pair<int32_t, int32_t>> input_directed;
    for (int32_t t = 0; t < input.m(); t++)
        for (int j = 0; j < 3; j++) input_directed.emplace_back(input.cap[3 * (size_t)t + j], input.cap[3 * (size_t)t + (j + 1) % 3]);
    std::sort(input_directed.begin(), input_directed.end());
    auto input_has = [&input_directed](int32_t a, int32_t b) {
        return std::binary_search(input_directed.begin(), input_directed.end(), std::make_pair(a, b));
    };
    for (int32_t i = 0; i < input.ncontour(); i++) {
        int32_t a = input.contour[i], b = input.contour[(i + 1) % input.ncontour()];
        if (!input_has(a, b)) std::swap(a, b);
        if (!input_has(a, b)) continue;  // the input cap does not hold this edge
        if (!has(a, b)) {
            std::ostringstream line;
            line << "contour edge " << a << " -> " << b << " is missing"
                 << (has(b, a) ? " (present reversed)" : "");
            say(line);
        }
    }

    double area_in[3] = {0, 0, 0}, area_out[3] = {0, 0, 0};
    for (int32_t t = 0; t < input.m(); t++) {
        const int32_t* c = &input.cap[3 * (size_t)t];
        AddVectorArea(&input.points[3 * (size_t)c[0]], &input.points[3 * (size_t)c[1]],
                      &input.points[3 * (size_t)c[2]], area_in);
    }
    for (int32_t t = 0; t < out.nt; t++) {
        const int32_t* c = &out.tri[3 * (size_t)t];
        AddVectorArea(Position(input, out, c[0]), Position(input, out, c[1]), Position(input, out, c[2]),
                      area_out);
    }
    double dot = area_in[0] * area_out[0] + area_in[1] * area_out[1] + area_in[2] * area_out[2];
    if (out.nt > 0 && !(dot > 0)) {
        std::ostringstream line;
        line << "the cap's vector area turned against the input's (dot " << dot << ")";
        say(line);
    }
    return bad;
}

::testing::AssertionResult OutputIsSound(const Mesh& input, const std::vector<uint8_t>& bytes, Mode mode)
{
    std::vector<std::string> bad = CheckOutput(input, bytes, mode);
    if (bad.empty()) return ::testing::AssertionSuccess();
    ::testing::AssertionResult result = ::testing::AssertionFailure();
    result << bad.size() << " broken invariant(s):";
    for (const std::string& line : bad) result << "\n  " << line;
    return result;
}

}  // namespace velmorkit
