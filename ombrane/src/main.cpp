// Ombrane entry points: the console entry reads and splits the process's
// wide command line; the wide entry takes the vector as given.
#include <iostream>
#include <new>

#include "ombrane.h"
#include "ombrane/platform/system.h"

int wmain(int argc, wchar_t** argv)
{
    return ombrane::RunFromWideArgs(argc, argv);
}

int main()
{
    // UTF-8 on the console whatever the locale: accented messages and paths
    // print as they are.
    ombrane::platform::UseUtf8Console();
    try {
        int argc = 0;
        wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
        if (!argv) return ombrane::RunFromWideArgs(0, nullptr);
        int status = ombrane::RunFromWideArgs(argc, argv);
        LocalFree(argv);
        return status;
    } catch (const std::bad_alloc&) {
        std::wcout << L"[STD] std::bad_alloc\n";
        return 3;
    }
}
