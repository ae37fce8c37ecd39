// Inputs kept from the fuzz runs in fuzz/regressions/velmor_input (a
// minimised corpus, and any input that once broke velmor): each runs through
// the program again with the target's bounds and must end cleanly, refused
// (status 2 with its message) or done (status 0 and an output of the length
// its counts give, the same bytes on one thread as on a team).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
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
    ASSERT_FALSE(inputs.empty()) << "no kept input in fuzz/regressions/velmor_input";
    testsupport::TempDir dir;
    const std::string out = dir.file("out.bin");
    size_t done = 0;
    for (const std::string& in : inputs) {
        SCOPED_TRACE(in);
        // An earlier input's output must not pass for this one's.
        std::filesystem::remove(out);
        std::vector<std::string> argv = {VELMOR_EXE, "--drape", in, out};
        argv.insert(argv.end(), std::begin(kVelmorFuzzBounds), std::end(kVelmorFuzzBounds));
        testsupport::RunResult r = testsupport::Run(argv, {"OMP_NUM_THREADS=1"});
        ASSERT_TRUE(r.status == 0 || r.status == 2) << "status " << r.status << "\n" << r.err;
        if (r.status == 2) {
            EXPECT_FALSE(r.err.empty());
            continue;
        }
        velmorkit::Output parsed;
        std::string error;
        const std::vector<uint8_t> alone = testsupport::ReadBytes(out);
        EXPECT_TRUE(velmorkit::ParseOutput(alone, velmorkit::Mode::kDrape, &parsed, &error)) << error;
        std::filesystem::remove(out);
        testsupport::RunResult team = testsupport::Run(argv, {"OMP_NUM_THREADS=4"});
        EXPECT_EQ(team.status, 0) << team.err;
        EXPECT_EQ(testsupport::ReadBytes(out), alone);
        done++;
    }
    // Refusals alone would leave every stage after the reader unreplayed.
    EXPECT_GT(done, 0u) << "no kept input runs the whole --drape road";
}

}  // namespace
