// Stand-ins for the system calls the program makes (command line, apartment)
// and the text conversions the layer uses: wide strings are UTF-32 here,
// files and the console speak UTF-8.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

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

namespace ombrane::platform {

// Invalid UTF-8 bytes become U+DC80..U+DCFF and come back as the same bytes,
// so any file name survives the round trip.
std::wstring Utf8ToWide(std::string_view utf8);
std::string WideToUtf8(std::wstring_view wide);

std::filesystem::path PathFromWide(std::wstring_view wide);
std::wstring PathToWide(const std::filesystem::path& path);

// Makes std::wcout write UTF-8 to standard output, whatever the locale, with
// its own fixed buffer (no allocation while writing) flushed at exit. A
// closed standard output loses the text and nothing else (SIGPIPE is
// ignored). Call once, before anything is written.
void UseUtf8Console();

}  // namespace ombrane::platform
