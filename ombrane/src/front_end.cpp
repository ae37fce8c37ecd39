// The top level: apartment, banner, argument check, pipeline start and wait,
// and the one place where failures become a console line and an exit code.
#include <iostream>
#include <new>

#include "ombrane.h"
#include "ombrane/platform/errors.h"
#include "ombrane/platform/system.h"

namespace ombrane {

namespace {

constexpr int kExitOk = 0;
constexpr int kExitUsage = 1;
constexpr int kExitPlatform = 2;
constexpr int kExitStandard = 3;
constexpr int kExitUnknown = 4;

int ReportOutOfMemory()
{
    std::wcout << L"[STD] std::bad_alloc\n";
    return kExitStandard;
}

int ReportHresult(winrt::hresult code, const std::wstring& message)
{
    std::wcout << L"[HRESULT] 0x" << std::hex << static_cast<uint32_t>(code) << std::dec << L" : " << message
               << L"\n";
    return kExitPlatform;
}

int ReportPlatformError(const winrt::hresult_error& e)
{
    // The message is built before anything is written: a failure to build it
    // is reported as exhausted memory, not as a half line.
    try {
        std::wstring message = e.message();
        return ReportHresult(e.code(), message);
    } catch (const std::bad_alloc&) {
        return ReportOutOfMemory();
    }
}

int ReportStandardException(const std::exception& e)
{
    try {
        std::wstring text = platform::Utf8ToWide(e.what());
        std::wcout << L"[STD] " << text << L"\n";
    } catch (const std::bad_alloc&) {
        return ReportOutOfMemory();
    }
    return kExitStandard;
}

}  // namespace

int RunFrontEnd(int argc, wchar_t** argv, PipelineStart start)
{
    HRESULT joined = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (joined < 0) {
        try {
            return ReportHresult(joined, winrt::hresult_error(joined).message());
        } catch (const std::bad_alloc&) {
            return ReportOutOfMemory();
        }
    }
    std::wcout << L"[INFO] Ombrane\n";
    if (argc <= 2 || !argv) {
        std::wcout << L"Usage: Ombrane.exe <input.3mf> <output.3mf>\n";
        return kExitUsage;
    }
    try {
        std::wstring input_path = argv[1];
        std::wstring output_path = argv[2];
        // The call takes its own copies; the action is held until the wait
        // has ended and released before the failure line is written.
        IAsyncAction action = start(input_path, output_path);
        action.get();
        return kExitOk;
    } catch (const winrt::hresult_error& e) {
        return ReportPlatformError(e);
    } catch (const std::exception& e) {
        return ReportStandardException(e);
    } catch (...) {
        std::wcout << L"[EXC] unknown\n";
        return kExitUnknown;
    }
}

int RunFromWideArgs(int argc, wchar_t** argv)
{
    return RunFrontEnd(argc, argv, RunPipelineAsync);
}

}  // namespace ombrane
