// velmor test stores: the parameter block kept across a test, stores owned by
// a test in the malloc'd arrays velmor grows and frees, seeded random caps,
// stderr captured with its timings masked, and a remesh run of the program
// read back.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"
#include "core/edgetab.h"
#include "core/params.h"
#include "core/stores.h"
#include "velmor_kit.h"

namespace velmorkit {

// Puts g_par back as it was when the test ends, whatever the test set.
struct Params {
    params saved = g_par;
    ~Params() { g_par = saved; }
};

// Vertex, triangle and contour-key stores freed on destruction; what is left
// null is skipped. Not copyable: two owners would free the same arrays.
struct OwnedStores {
    verts vs{};
    tris ts{};
    keyset ks{};

    OwnedStores() = default;
    OwnedStores(const OwnedStores&) = delete;
    OwnedStores& operator=(const OwnedStores&) = delete;
    ~OwnedStores()
    {
        free(vs.xyz);
        free(vs.targ);
        free(vs.base);
        free(ts.tri);
        free(ks.keys);
    }
};

// nv points into vs, with the capacity velmor's own rule gives; targ and base
// are left to the caller.
inline void LoadPoints(verts* vs, const double* xyz, int64_t nv)
{
    verts_reserve(vs, nv);
    if (nv) memcpy(vs->xyz, xyz, sizeof(double) * 3 * nv);
    vs->n = nv;
}

// Triangle rows into a malloc'd store of room for cap rows.
inline void LoadRows(tris* ts, const std::vector<int32_t>& tri, int64_t cap)
{
    ts->n = (int64_t)tri.size() / 3;
    ts->cap = cap;
    ts->tri = (int32_t*)malloc(sizeof(int32_t) * 3 * ts->cap);
    if (ts->n) memcpy(ts->tri, tri.data(), sizeof(int32_t) * 3 * ts->n);
}

// A jittered grid over the unit square, boundary points first (the wall),
// each cell cut by a random diagonal, all counter-clockwise in z = 0.
struct RandomCap {
    std::vector<double> xyz;
    std::vector<int32_t> tri, contour;
    int32_t np = 0;
};

inline RandomCap RandomGridCap(int n, uint32_t seed, double z_noise)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> jit(-0.3, 0.3), zr(-1, 1);
    std::vector<int32_t> id((n + 1) * (n + 1), -1);
    RandomCap cap;
    auto on_rim = [n](int i, int j) { return i == 0 || j == 0 || i == n || j == n; };
    // Contour in loop order: bottom, right, top, left.
    std::vector<std::pair<int, int>> loop;
    for (int i = 0; i < n; i++) loop.push_back({i, 0});
    for (int j = 0; j < n; j++) loop.push_back({n, j});
    for (int i = n; i > 0; i--) loop.push_back({i, n});
    for (int j = n; j > 0; j--) loop.push_back({0, j});
    int32_t next = 0;
    auto add = [&](int i, int j) {
        double x = i, y = j, z = 0;
        if (!on_rim(i, j)) {
            x += jit(rng);
            y += jit(rng);
            z = z_noise * zr(rng);
        }
        cap.xyz.insert(cap.xyz.end(), {x / n, y / n, z});
        id[j * (n + 1) + i] = next++;
    };
    for (auto [i, j] : loop) {
        add(i, j);
        cap.contour.push_back(id[j * (n + 1) + i]);
    }
    cap.np = next;
    for (int j = 1; j < n; j++)
        for (int i = 1; i < n; i++) add(i, j);
    for (int j = 0; j < n; j++)
        for (int i = 0; i < n; i++) {
            int32_t a = id[j * (n + 1) + i], b = id[j * (n + 1) + i + 1];
            int32_t c = id[(j + 1) * (n + 1) + i + 1], d = id[(j + 1) * (n + 1) + i];
            if (rng() & 1) cap.tri.insert(cap.tri.end(), {a, b, c, a, c, d});
            else cap.tri.insert(cap.tri.end(), {a, b, d, b, c, d});
        }
    return cap;
}

// What run() wrote on stderr.
inline std::string StderrOf(const std::function<void()>& run)
{
    testing::internal::CaptureStderr();
    run();
    return testing::internal::GetCapturedStderr();
}

// The remeshing time line with its seconds as "T".
inline std::string MaskRemeshTime(const std::string& err)
{
    return std::regex_replace(err, std::regex("remaillage : [0-9.]+ s"), "remaillage : T s");
}

// Every "<seconds> s" figure replaced by as + " s".
inline std::string MaskSeconds(const std::string& err, const std::string& as)
{
    return std::regex_replace(err, std::regex("[0-9]+\\.[0-9]+ s\\b"), as + " s");
}

// One run of the program in --remesh mode; the output, when there is one,
// parsed (a file that does not parse fails the test).
struct RemeshRun {
    testsupport::RunResult run;
    std::vector<uint8_t> bytes;
    Output out;
};

inline RemeshRun RunRemesh(const Mesh& mesh, const std::vector<std::string>& options = {},
                           const std::vector<std::string>& env = {})
{
    testsupport::TempDir dir;
    WriteInput(dir.file("in.bin"), mesh);
    std::vector<std::string> argv = {VELMOR_EXE, "--remesh", dir.file("in.bin"), dir.file("out.bin")};
    argv.insert(argv.end(), options.begin(), options.end());
    RemeshRun r;
    r.run = testsupport::Run(argv, env);
    if (testsupport::FileExists(dir.file("out.bin"))) {
        r.bytes = testsupport::ReadBytes(dir.file("out.bin"));
        std::string error;
        EXPECT_TRUE(ParseOutput(r.bytes, Mode::kRemesh, &r.out, &error)) << error;
    }
    return r;
}

}  // namespace velmorkit
