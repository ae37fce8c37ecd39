// Stand-ins for the system calls the program makes (command line,
// apartment), with the text conversions that go with them (text.h).
#pragma once

#include <cstdint>

#include "ombrane/platform/text.h"

using HRESULT = int32_t;
inline constexpr uint32_t COINIT_MULTITHREADED = 0x0;

// Joins the multithreaded apartment and starts the layer's worker thread:
// S_OK (0) the first time, S_FALSE (1) after; a negative code when the
// worker cannot be started.
HRESULT CoInitializeEx(void* reserved, uint32_t coinit);

// The process's command line as one wide string, each argument quoted so
// that CommandLineToArgvW gives it back unchanged (a '"' in the program
// path, which the quoting cannot carry, is dropped). Null when the process's
// arguments cannot be read. Owned by the layer.
wchar_t* GetCommandLineW();

// Splits a command line by the usual quoting rules into one block of count
// pointers and their strings, followed by a null pointer; the caller frees it
// with LocalFree. Null for a null line. Exhausted memory raises
// std::bad_alloc.
wchar_t** CommandLineToArgvW(const wchar_t* command_line, int* count);

// Frees a block from CommandLineToArgvW; returns null.
void* LocalFree(void* block);
