// Text as the layer speaks it: wide strings are UTF-32 here, files and the
// console speak UTF-8.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

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
