// Inputs that the fuzz target once broke velmor with, kept in
// fuzz/regressions/velmor_input: each runs through the program again with the
// target's bounds and must end cleanly, refused (status 2 with its message)
// or done (status 0 and an output of the length its counts give).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "../../fuzz/velmor_bounds.h"
#include "test_support.h"
#include "velmor_kit.h"

namespace {

std::vector<std::string> KeptInputs()
{
    std::vector<std::string> paths;
    const std::filesystem::path dir = std::filesystem::path(MESHTOOLS_SOURCE_DIR) / "fuzz/regressions/velmor_input";
    if (std::filesystem::is_directory(dir))
        for (const auto& e : std::filesystem::directory_iterator(dir))
            if (e.is_regular_file() && e.path().filename().string()[0] != '.') paths.push_back(e.path());
    std::sort(paths.begin(), paths.end());
    return paths;
}

TEST(FuzzRegressions, KeptInputsEndCleanly)
{
    const std::vector<std::string> inputs = KeptInputs();
    if (inputs.empty()) GTEST_SKIP() << "no kept input";
    testsupport::TempDir dir;
    const std::string out = dir.file("out.bin");
    for (const std::string& in : inputs) {
        SCOPED_TRACE(in);
        std::vector<std::string> argv = {VELMOR_EXE, "--drape", in, out};
        argv.insert(argv.end(), std::begin(kVelmorFuzzBounds), std::end(kVelmorFuzzBounds));
        testsupport::RunResult r = testsupport::Run(argv);
        ASSERT_TRUE(r.status == 0 || r.status == 2) << "status " << r.status << "\n" << r.err;
        if (r.status == 2) {
            EXPECT_FALSE(r.err.empty());
            continue;
        }
        velmorkit::Output parsed;
        std::string error;
        EXPECT_TRUE(velmorkit::ParseOutput(testsupport::ReadBytes(out), velmorkit::Mode::kDrape, &parsed, &error))
            << error;
    }
}

}  // namespace
