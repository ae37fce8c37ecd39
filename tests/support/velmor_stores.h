// velmor test stores: the parameter block kept across a test, stores owned by
// a test in the malloc'd arrays velmor grows and frees, stderr captured with
// its timings masked, and a remesh run of the program read back.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <regex>
#include <string>
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
