// The program end to end: command line refusals, the run road's lines and
// output blocks per mode, output destinations and failed writes, and the
// same bytes for any thread count.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "sanitizers.h"
#include "test_support.h"
#include "velmor_kit.h"

namespace {

using testsupport::FileExists;
using testsupport::ReadBytes;
using testsupport::RunResult;
using testsupport::TempDir;
using velmorkit::Mesh;
using velmorkit::Mode;

const char kUsage[] = "usage : velmor --remesh|--smooth|--drape entree.bin sortie.bin [options]\n";

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

std::vector<std::string> DirEntries(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// The cap as read: k = 0, the m input triangles.
std::vector<uint8_t> CapAsRead(const Mesh& mesh)
{
    std::vector<uint8_t> bytes(8 + 12 * mesh.cap.size() / 3);
    int32_t m = mesh.m();
    std::memcpy(bytes.data() + 4, &m, 4);
    std::memcpy(bytes.data() + 8, mesh.cap.data(), 4 * mesh.cap.size());
    return bytes;
}

TEST(CommandLine, RefusesBadWordsBeforeOpeningTheInput)
{
    TempDir dir;
    const std::string missing = dir.file("none.bin"), out = dir.file("out.bin");
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string want;
    };
    const Case cases[] = {
        {"no words", {}, kUsage},
        {"mode only", {"--remesh"}, kUsage},
        {"two words", {"--remesh", missing}, kUsage},
        {"mode in the wrong case", {"--Remesh", missing, out}, kUsage},
        {"unknown mode", {"--fair", missing, out}, kUsage},
        {"unknown option", {"--remesh", missing, out, "--rim", "1", "--bogus", "2"}, "option inconnue : --bogus\n"},
        {"option name in the wrong case", {"--drape", missing, out, "--RIM", "1"}, "option inconnue : --RIM\n"},
        {"value word never a name", {"--remesh", missing, out, "--rim", "--bogus"},
         "entree illisible : " + missing + "\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> argv = {VELMOR_EXE};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        RunResult r = testsupport::Run(argv);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, c.want);
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(FileExists(out));
    }
}

TEST(RunRoad, WritesTheCapAsReadWhenNoPointIsCreated)
{
    const Mesh mesh = velmorkit::SquareHole();
    TempDir dir;
    const std::string in = dir.file("in.bin"), out = dir.file("out.bin");
    velmorkit::WriteInput(in, mesh);
    const std::regex final_line("velmor : 0 points crees, 2 triangles, total [0-9]+\\.[0-9]{2} s");
    for (Mode mode : {Mode::kRemesh, Mode::kSmooth, Mode::kDrape}) {
        SCOPED_TRACE(velmorkit::ModeWord(mode));
        RunResult r = testsupport::Run({VELMOR_EXE, velmorkit::ModeWord(mode), in, out, "--max-passes", "0"});
        ASSERT_EQ(r.status, 0) << r.err;
        std::vector<std::string> lines = Lines(r.err);
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines.front(), std::string("velmor ") + velmorkit::ModeWord(mode) +
                                     " : paroi 8 pts / 8 faces, contour 4 pts, cap 2 tris");
        EXPECT_TRUE(std::regex_match(lines.back(), final_line)) << lines.back();
        for (const std::string& line : lines) {
            EXPECT_EQ(line.find("lissage"), std::string::npos) << line;
            EXPECT_EQ(line.find("grille"), std::string::npos) << line;
            EXPECT_EQ(line.find("operateur"), std::string::npos) << line;
        }
        EXPECT_EQ(ReadBytes(out), CapAsRead(mesh));
        EXPECT_EQ(r.out, "");
    }
}

TEST(RunRoad, ModesWriteTheirBlocks)
{
    const Mesh mesh = velmorkit::Disc();
    TempDir dir;
    const std::string in = dir.file("in.bin");
    velmorkit::WriteInput(in, mesh);
    struct Case {
        Mode mode;
        std::vector<std::string> extra;
    };
    const Case cases[] = {
        {Mode::kRemesh, {}},
        {Mode::kSmooth, {}},
        {Mode::kDrape, {}},
        {Mode::kDrape, {"--drap-passes", "-1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(velmorkit::ModeWord(c.mode)) + (c.extra.empty() ? "" : " " + c.extra[1]));
        std::vector<std::string> argv = {VELMOR_EXE, velmorkit::ModeWord(c.mode), in, dir.file("out.bin")};
        argv.insert(argv.end(), c.extra.begin(), c.extra.end());
        RunResult r = testsupport::Run(argv);
        ASSERT_EQ(r.status, 0) << r.err;
        std::vector<uint8_t> bytes = ReadBytes(dir.file("out.bin"));
        EXPECT_TRUE(velmorkit::OutputIsSound(mesh, bytes, c.mode));
        velmorkit::Output o;
        std::string error;
        ASSERT_TRUE(velmorkit::ParseOutput(bytes, c.mode, &o, &error)) << error;
        ASSERT_GT(o.k, 0) << "the disc fixture should get created points";
        std::regex final_line("velmor : " + std::to_string(o.k) + " points crees, " + std::to_string(o.nt) +
                              " triangles, total [0-9]+\\.[0-9]{2} s");
        EXPECT_TRUE(std::regex_match(Lines(r.err).back(), final_line)) << r.err;
        if (c.mode != Mode::kRemesh) {
            EXPECT_NE(r.err.find("  lissage (rayon 10 mm)"), std::string::npos) << r.err;
        }
        if (!c.extra.empty()) {
            // No detection: the draped positions are the faired ones.
            EXPECT_EQ(o.draped, o.faired);
            EXPECT_EQ(o.dmax, 0.0);
        }
    }
}

TEST(RunRoad, SameBytesForEveryThreadCount)
{
    const Mesh mesh = velmorkit::Cylinder();
    TempDir dir;
    velmorkit::WriteInput(dir.file("in.bin"), mesh);
    // Durations are the only thing allowed to differ.
    const std::regex seconds("[0-9]+\\.[0-9]+ s\\b");
    for (Mode mode : {Mode::kRemesh, Mode::kDrape}) {
        SCOPED_TRACE(velmorkit::ModeWord(mode));
        std::vector<uint8_t> first;
        std::string first_err;
        for (const char* threads : {"1", "8", "3"}) {
            std::string out = dir.file(std::string("out") + threads + ".bin");
            RunResult r = testsupport::Run({VELMOR_EXE, velmorkit::ModeWord(mode), dir.file("in.bin"), out},
                              {std::string("OMP_NUM_THREADS=") + threads});
            ASSERT_EQ(r.status, 0) << r.err;
            std::string err = std::regex_replace(r.err, seconds, "T s");
            std::vector<uint8_t> bytes = ReadBytes(out);
            if (first.empty()) {
                first = bytes;
                first_err = err;
                EXPECT_TRUE(velmorkit::OutputIsSound(mesh, bytes, mode));
            } else {
                EXPECT_EQ(bytes, first) << threads << " threads";
                EXPECT_EQ(err, first_err) << threads << " threads";
            }
        }
    }
}

TEST(RunRoad, IdleWorkersSleepUnlessTheUserChoseOtherwise)
{
    // The team's spin count as libgomp took it: the last display (the first
    // process's own, if the program starts itself again, comes before).
    if (getenv("OMP_WAIT_POLICY") || getenv("GOMP_SPINCOUNT"))
        GTEST_SKIP() << "the test's own environment chooses a wait policy";
    const Mesh mesh = velmorkit::Cylinder();
    TempDir dir;
    velmorkit::WriteInput(dir.file("in.bin"), mesh);
    struct Case { const char* name; std::vector<std::string> env; const char* spin; };
    const Case cases[] = {
        {"no choice: passive", {}, "0"},
        {"active chosen", {"OMP_WAIT_POLICY=active"}, "30000000000"},
        {"spin count chosen", {"GOMP_SPINCOUNT=1234"}, "1234"},
    };
    const std::regex spin("GOMP_SPINCOUNT = '([0-9]+)'");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> env = c.env;
        env.push_back("OMP_DISPLAY_ENV=verbose");
        RunResult r = testsupport::Run({VELMOR_EXE, "--remesh", dir.file("in.bin"), dir.file("out.bin")}, env);
        ASSERT_EQ(r.status, 0) << r.err;
        std::string last;
        for (std::sregex_iterator it(r.err.begin(), r.err.end(), spin), end; it != end; ++it) last = (*it)[1];
        EXPECT_EQ(last, c.spin) << r.err;
        // The program's own lines come once.
        EXPECT_EQ(r.err.find("velmor --remesh"), r.err.rfind("velmor --remesh"));
    }
}

TEST(OutputFile, GoesWhereThePathSays)
{
    const Mesh mesh = velmorkit::SquareHole();
    TempDir dir;
    const std::string in = dir.file("in.bin");
    velmorkit::WriteInput(in, mesh);
    const std::vector<std::string> opts = {"--max-passes", "0"};

    // A device is written in place and stays a device.
    RunResult r = testsupport::Run({VELMOR_EXE, "--remesh", in, "/dev/null", "--max-passes", "0"});
    EXPECT_EQ(r.status, 0) << r.err;
    struct stat st;
    ASSERT_EQ(stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));

    // A link keeps naming the file, which gets the new bytes.
    testsupport::WriteBytes(dir.file("target.bin"), {9, 9, 9});
    ASSERT_EQ(symlink("target.bin", dir.file("link.bin").c_str()), 0);
    r = testsupport::Run({VELMOR_EXE, "--remesh", in, dir.file("link.bin"), "--max-passes", "0"});
    EXPECT_EQ(r.status, 0) << r.err;
    struct stat lst;
    ASSERT_EQ(lstat(dir.file("link.bin").c_str(), &lst), 0);
    EXPECT_TRUE(S_ISLNK(lst.st_mode));
    EXPECT_EQ(ReadBytes(dir.file("target.bin")), CapAsRead(mesh));

    // An existing file is replaced with its permissions kept, also through
    // a named temporary file where unnamed files are refused.
    for (bool named_temporary : {false, true}) {
        if (named_temporary && testsupport::kUnderSanitizer) continue;  // no preloading before the runtime
        SCOPED_TRACE(named_temporary ? "named temporary file" : "unnamed temporary file");
        testsupport::WriteBytes(dir.file("old.bin"), std::vector<uint8_t>(5000, 7));
        ASSERT_EQ(chmod(dir.file("old.bin").c_str(), 0640), 0);
        std::vector<std::string> env;
        if (named_temporary) env.push_back("LD_PRELOAD=" MESHTOOLS_NO_TMPFILE_LIB);
        r = testsupport::Run({VELMOR_EXE, "--remesh", in, dir.file("old.bin"), "--max-passes", "0"}, env);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(ReadBytes(dir.file("old.bin")), CapAsRead(mesh));
        ASSERT_EQ(stat(dir.file("old.bin").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0640u);
    }
    EXPECT_EQ(DirEntries(dir.path()), (std::vector<std::string>{"in.bin", "link.bin", "old.bin", "target.bin"}));
}

TEST(OutputFile, WriteProtectedFileIsRefusedAndKept)
{
    const Mesh mesh = velmorkit::SquareHole();
    TempDir dir;
    const std::string in = dir.file("in.bin"), out = dir.file("out.bin");
    velmorkit::WriteInput(in, mesh);
    const std::vector<uint8_t> earlier = {4, 5, 6};
    testsupport::WriteBytes(out, earlier);
    ASSERT_EQ(chmod(out.c_str(), 0444), 0);
    std::vector<std::string> argv = {VELMOR_EXE, "--remesh", in, out, "--max-passes", "0"};
    if (geteuid() == 0) {
        // Root may write anything: run as nobody, who owns the folder, so
        // only the file's own mode stands in the way.
        for (const std::string& p : {dir.path(), in, out}) ASSERT_EQ(chown(p.c_str(), 65534, 65534), 0);
        argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    }
    RunResult r = testsupport::Run(argv);
    EXPECT_EQ(r.status, 2) << r.err;
    ASSERT_FALSE(Lines(r.err).empty());
    EXPECT_EQ(Lines(r.err).back(), "sortie inaccessible : " + out);
    EXPECT_EQ(ReadBytes(out), earlier);
    EXPECT_EQ(DirEntries(dir.path()), (std::vector<std::string>{"in.bin", "out.bin"}));
}

TEST(OutputFile, FailureAfterTheWorkLeavesNoTraceAndNoFinalLine)
{
    // Large enough to pass any one-block file-size limit (512 or 1024 bytes).
    const Mesh mesh = velmorkit::Disc(10.0, 200);
    TempDir dir;
    const std::string in = dir.file("in.bin");
    velmorkit::WriteInput(in, mesh);
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    const std::vector<uint8_t> earlier = {1, 2, 3};
    testsupport::WriteBytes(dir.file("sub/out.bin"), earlier);

    struct Case {
        const char* name;
        std::string out;
        std::string shell_prefix;  // empty: run directly
        bool named_temporary;      // unnamed files refused
    };
    const Case cases[] = {
        {"missing folder", dir.file("nowhere/out.bin"), "", false},
        {"a folder", dir.file("sub"), "", false},
        {"a device that refuses writes", "/dev/full", "", false},
        {"file-size limit, signal ignored", dir.file("sub/out.bin"), "trap '' XFSZ; ulimit -f 1; ", false},
        {"file-size limit, default signal", dir.file("sub/out.bin"), "ulimit -f 1; ", false},
        {"file-size limit, named temporary file", dir.file("sub/out.bin"), "ulimit -f 1; ", true},
        {"missing folder, named temporary file", dir.file("nowhere/out.bin"), "", true},
    };
    for (const Case& c : cases) {
        if (c.named_temporary && testsupport::kUnderSanitizer) continue;  // no preloading before the runtime
        SCOPED_TRACE(c.name);
        std::vector<std::string> env;
        if (c.named_temporary) env.push_back("LD_PRELOAD=" MESHTOOLS_NO_TMPFILE_LIB);
        RunResult r;
        if (c.shell_prefix.empty()) {
            r = testsupport::Run({VELMOR_EXE, "--remesh", in, c.out, "--max-passes", "0"}, env);
        } else {
            r = testsupport::Run({"/bin/sh", "-c", c.shell_prefix + "exec \"$0\" --remesh \"$1\" \"$2\" --max-passes 0",
                     VELMOR_EXE, in, c.out}, env);
        }
        EXPECT_EQ(r.status, 2);
        std::vector<std::string> lines = Lines(r.err);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front().rfind("velmor --remesh : paroi", 0), 0u) << r.err;
        EXPECT_EQ(lines.back(), "sortie inaccessible : " + c.out);
        for (const std::string& line : lines) EXPECT_NE(line.rfind("velmor : ", 0), 0u) << line;
        EXPECT_EQ(ReadBytes(dir.file("sub/out.bin")), earlier);
        EXPECT_EQ(DirEntries(dir.file("sub")), std::vector<std::string>{"out.bin"});
    }
}

// A run killed while it writes, as soon as its file shows in the folder and
// later, leaves the earlier file or the complete new one and nothing else.
// The one exception is a kill in the instant between naming the complete
// file and renaming it over the output, which no call closes: the new file
// is then left whole beside the earlier one.
TEST(OutputFile, KilledWriteLeavesTheEarlierFileOrTheNewOne)
{
    // The hole's two triangles over and over: megabytes of output, written
    // at once, so the kills land while it is being written.
    Mesh mesh = velmorkit::SquareHole();
    for (int i = 1; i < 150000; i++) mesh.cap.insert(mesh.cap.end(), {0, 1, 2, 0, 2, 3});
    TempDir dir;
    const std::string in = dir.file("in.bin"), out = dir.file("out/out.bin");
    velmorkit::WriteInput(in, mesh);
    ASSERT_EQ(mkdir(dir.file("out").c_str(), 0755), 0);
    const std::vector<uint8_t> written = CapAsRead(mesh), earlier = {1, 2, 3};
    const int killed = testsupport::KillWhileWriting({VELMOR_EXE, "--remesh", in, out, "--max-passes", "0"}, out,
                                                     earlier, written);
    EXPECT_GT(killed, 0);
}

}  // namespace
