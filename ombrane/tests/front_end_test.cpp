// The front end: usage, argument passing, the failure lines and exit codes
// for every family of failure, in-process with stand-in pipelines and as a
// whole process.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "console_capture.h"
#include "ombrane.h"
#include "ombrane/platform/errors.h"
#include "test_support.h"

using namespace ombrane;
using namespace ombrane::platform;

namespace {

struct FrontEndRun {
    int status;
    std::string out;
};

FrontEndRun RunWith(std::vector<std::wstring> args, PipelineStart start)
{
    std::vector<wchar_t*> argv;
    for (std::wstring& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ConsoleCapture console;
    int status = RunFrontEnd(static_cast<int>(args.size()), argv.data(), start);
    return {status, console.text()};
}

// Stand-in pipelines: each fails one way, before or after its first
// suspension.
std::vector<std::wstring> g_seen;
void (*g_raise)() = nullptr;
bool g_suspend_first = false;

IAsyncAction FakePipelineAsync(std::wstring input, std::wstring output)
{
    g_seen = {input, output};
    if (g_suspend_first) co_await winrt::resume_background();
    std::wcout << L"[Load] Size=";
    if (g_raise) g_raise();
    std::wcout << L"1 bytes\n";
}

IAsyncAction FrameAllocationFails(std::wstring, std::wstring)
{
    throw std::bad_alloc();
}

const std::string kBanner = "[INFO] Ombrane\n";
const std::string kUsage = "Usage: Ombrane.exe <input.3mf> <output.3mf>\n";

}  // namespace

TEST(FrontEnd, FewerThanTwoPathsPrintUsage)
{
    for (size_t count = 0; count <= 2; count++) {
        SCOPED_TRACE(count);
        std::vector<std::wstring> args = {L"Ombrane", L"in.3mf"};
        args.resize(count);
        g_seen.clear();
        FrontEndRun run = RunWith(args, FakePipelineAsync);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, kBanner + kUsage);
        EXPECT_TRUE(g_seen.empty());
    }
    ConsoleCapture console;
    EXPECT_EQ(RunFrontEnd(0, nullptr, FakePipelineAsync), 1);
    EXPECT_EQ(console.text(), kBanner + kUsage);
}

TEST(FrontEnd, PassesTheFirstTwoPathsAndIgnoresTheRest)
{
    g_raise = nullptr;
    g_suspend_first = false;
    FrontEndRun run = RunWith({L"Ombrane", L"in \u00e9", L"out", L"extra", L"more"}, FakePipelineAsync);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, kBanner + "[Load] Size=1 bytes\n");
    EXPECT_EQ(g_seen, (std::vector<std::wstring>{L"in \u00e9", L"out"}));
}

TEST(FrontEnd, EveryFailureFamilyGivesItsLineAndExitCode)
{
    struct Case {
        const char* name;
        void (*raise)();
        std::string line;
        int status;
    };
    const Case cases[] = {
        {"platform error with its text", [] { throw winrt::hresult_error(kAccessDenied, L"OpenAsync: \"/x\": denied"); },
         "[HRESULT] 0x80070005 : OpenAsync: \"/x\": denied\n", 2},
        {"platform error, system text without its line end", [] { throw winrt::hresult_error(kFileNotFound); },
         "[HRESULT] 0x80070002 : The system cannot find the file specified.\n", 2},
        {"no text at all", [] { throw winrt::hresult_error(static_cast<winrt::hresult>(0x80041234)); },
         "[HRESULT] 0x80041234 : \n", 2},
        {"cancellation in lower case", [] { throw winrt::hresult_canceled(); },
         "[HRESULT] 0x800704c7 : The operation was canceled by the user.\n", 2},
        {"own failure", [] { throw std::runtime_error("Fichier 3MF introuvable."); },
         "[HRESULT] 0x80004005 : Fichier 3MF introuvable.\n", 2},
        {"own failure with an accent",
         [] { throw std::runtime_error("Impossible de cr\xC3\xA9" "er le fichier de sortie."); },
         "[HRESULT] 0x80004005 : Impossible de cr\xC3\xA9" "er le fichier de sortie.\n", 2},
        {"file-system error",
         [] {
             throw std::filesystem::filesystem_error("cannot get file size", std::filesystem::path("/d"),
                                                     std::make_error_code(std::errc::is_a_directory));
         },
         "[HRESULT] 0x80004005 : filesystem error: cannot get file size: Is a directory [/d]\n", 2},
        {"out of range", [] { throw std::out_of_range("index 4"); }, "[HRESULT] 0x8000000b : index 4\n", 2},
        {"invalid argument", [] { throw std::invalid_argument("bad"); }, "[HRESULT] 0x80070057 : bad\n", 2},
        {"exhausted memory", [] { throw std::bad_alloc(); }, "[STD] std::bad_alloc\n", 3},
        {"platform out-of-memory code", [] { winrt::throw_hresult(kOutOfMemory, L"ignored"); },
         "[STD] std::bad_alloc\n", 3},
        {"foreign exception", [] { throw 7; }, "[EXC] unknown\n", 4},
    };
    for (bool suspend_first : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (suspend_first ? ", after a suspension" : ", at once"));
            g_raise = c.raise;
            g_suspend_first = suspend_first;
            FrontEndRun run = RunWith({L"Ombrane", L"in", L"out"}, FakePipelineAsync);
            EXPECT_EQ(run.status, c.status);
            // The label left by the failing step is continued, not ended.
            EXPECT_EQ(run.out, kBanner + "[Load] Size=" + c.line);
        }
    }
    g_raise = nullptr;
}

TEST(FrontEnd, FailureToStartThePipelineIsExhaustedMemory)
{
    FrontEndRun run = RunWith({L"Ombrane", L"in", L"out"}, FrameAllocationFails);
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.out, kBanner + "[STD] std::bad_alloc\n");
}

TEST(FrontEnd, ConsoleStaysDecimalAfterAFailureLine)
{
    g_raise = [] { throw winrt::hresult_error(kFail, L"x"); };
    g_suspend_first = false;
    RunWith({L"Ombrane", L"in", L"out"}, FakePipelineAsync);
    g_raise = nullptr;
    ConsoleCapture console;
    std::wcout << 255;
    EXPECT_EQ(console.text(), "255");
}

// The program itself, as scripts see it: exact bytes on standard output,
// nothing on standard error.
TEST(OmbraneProcess, ConsoleBytesAndExitCodes)
{
    testsupport::TempDir dir;
    std::filesystem::create_directory(dir.file("folder"));
    testsupport::WriteBytes(dir.file("\xC3\xA9t\xC3\xA9.3mf"), {});
    const std::string exe = OMBRANE_EXE;
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string out;
        int status;
    };
    const std::string missing = dir.file("absent.3mf");
    const std::string folder = dir.file("folder");
    const Case cases[] = {
        {"no argument", {}, kBanner + kUsage, 1},
        {"one argument", {"a.3mf"}, kBanner + kUsage, 1},
        {"missing input, words after the paths",
         {missing, "sortie \xC3\xA0", "extra"},
         kBanner + "[Args] Input=" + missing + "\n[Args] Output=sortie \xC3\xA0.3mf\n" +
             "[HRESULT] 0x80004005 : Fichier 3MF introuvable.\n",
         2},
        {"folder as input",
         {folder, "out.3MF"},
         kBanner + "[Args] Input=" + folder + "\n[Args] Output=out.3MF\n[Load] " + folder + "\n[Load] Size=" +
             "[HRESULT] 0x80004005 : filesystem error: cannot get file size: Is a directory [" + folder + "]\n",
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> argv = {exe};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        testsupport::RunResult run = testsupport::Run(argv);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, "");
    }
}

TEST(OmbraneProcess, PipesAndDevicesFailWithoutBlocking)
{
    testsupport::TempDir dir;
    const std::string pipe = dir.file("pipe.3mf");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    for (const std::string& input : {pipe, std::string("/dev/zero")}) {
        SCOPED_TRACE(input);
        testsupport::RunResult run = testsupport::Run({OMBRANE_EXE, input, dir.file("out")});
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.out.find("[Load] Size=[HRESULT] 0x80004005 : "), std::string::npos) << run.out;
    }
    const std::string model = std::string(MESHTOOLS_CORPUS_DIR) + "/MUSTPASS_Chapter3.2b_UnitsMeasurementMM.3mf";
    ASSERT_TRUE(std::filesystem::is_regular_file(model)) << "missing fixture " << model;
    testsupport::RunResult run = testsupport::Run({OMBRANE_EXE, model, pipe});
    EXPECT_EQ(run.status, 2);
    const std::string tail = "[HRESULT] 0x80004005 : Impossible de cr\xC3\xA9" "er le fichier de sortie.\n";
    ASSERT_GE(run.out.size(), tail.size());
    EXPECT_EQ(run.out.substr(run.out.size() - tail.size()), tail);
    EXPECT_EQ(run.out.find("[Save] "), std::string::npos);
}

TEST(OmbraneProcess, RepeatedRunsEndWithTheirExitCode)
{
    testsupport::TempDir dir;
    const std::string missing = dir.file("absent.3mf");
    int wrong = 0;
    for (int i = 0; i < 500; i++) {
        if (testsupport::Run({OMBRANE_EXE}).status != 1) wrong++;
        if (testsupport::Run({OMBRANE_EXE, missing, dir.file("out")}).status != 2) wrong++;
    }
    EXPECT_EQ(wrong, 0);
}

TEST(OmbraneProcess, ClosedConsoleDoesNotStopTheSave)
{
    const std::string model = std::string(MESHTOOLS_CORPUS_DIR) + "/MUSTPASS_Chapter3.2b_UnitsMeasurementMM.3mf";
    ASSERT_TRUE(std::filesystem::is_regular_file(model)) << "missing fixture " << model;
    testsupport::TempDir dir;
    const std::string output = dir.file("saved.3mf");
    // Standard output is a pipe whose reader has already gone.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    std::string exe = OMBRANE_EXE;
    std::vector<char*> argv = {exe.data(), const_cast<char*>(model.c_str()), const_cast<char*>(output.c_str()),
                               nullptr};
    pid_t pid;
    ASSERT_EQ(posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    int wstatus = 0;
    ASSERT_EQ(waitpid(pid, &wstatus, 0), pid);
    ASSERT_TRUE(WIFEXITED(wstatus)) << "killed by signal " << WTERMSIG(wstatus);
    EXPECT_EQ(WEXITSTATUS(wstatus), 0);
    EXPECT_GT(testsupport::ReadBytes(output).size(), 0u);
}
