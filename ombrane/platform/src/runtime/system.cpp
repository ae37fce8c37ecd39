// Command line and apartment stand-ins: the process's arguments quoted and
// split by the usual rules; joining the apartment starts the worker thread.
#include "ombrane/platform/system.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "ombrane/platform/async.h"

using ombrane::platform::Utf8ToWide;

namespace {

// A quote is written where the argument is empty or holds blank or quote
// characters; backslashes double only where a quote follows them.
void AppendQuoted(std::wstring& line, const std::wstring& arg)
{
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line.push_back(L'"');
    size_t slashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            slashes++;
            continue;
        }
        if (c == L'"') line.append(2 * slashes + 1, L'\\');
        else line.append(slashes, L'\\');
        slashes = 0;
        line.push_back(c);
    }
    line.append(2 * slashes, L'\\');
    line.push_back(L'"');
}

std::vector<std::wstring> SplitCommandLine(const wchar_t* p)
{
    std::vector<std::wstring> args;
    // The program path: up to the closing quote, or up to blank; backslashes
    // are ordinary characters in it.
    std::wstring program;
    if (*p == L'"') {
        for (++p; *p && *p != L'"'; ++p) program.push_back(*p);
        if (*p == L'"') ++p;
    } else {
        for (; *p && *p != L' ' && *p != L'\t'; ++p) program.push_back(*p);
    }
    args.push_back(std::move(program));
    for (;;) {
        while (*p == L' ' || *p == L'\t') ++p;
        if (!*p) break;
        std::wstring arg;
        bool quoted = false;
        for (; *p && (quoted || (*p != L' ' && *p != L'\t')); ++p) {
            if (*p == L'\\') {
                size_t slashes = 0;
                while (*p == L'\\') {
                    slashes++;
                    ++p;
                }
                if (*p == L'"') {
                    arg.append(slashes / 2, L'\\');
                    if (slashes % 2) {
                        arg.push_back(L'"');
                        continue;
                    }
                } else {
                    arg.append(slashes, L'\\');
                }
                --p;
                continue;
            }
            if (*p == L'"') {
                // A doubled quote inside quotes is one literal quote.
                if (quoted && p[1] == L'"') {
                    arg.push_back(L'"');
                    ++p;
                } else {
                    quoted = !quoted;
                }
                continue;
            }
            arg.push_back(*p);
        }
        args.push_back(std::move(arg));
    }
    return args;
}

}  // namespace

HRESULT CoInitializeEx(void*, uint32_t)
{
    static std::atomic<bool> joined{false};
    try {
        winrt::impl::StartLayerThread();
    } catch (const winrt::hresult_error& e) {
        return e.code();
    } catch (const std::bad_alloc&) {
        return ombrane::platform::kOutOfMemory;
    }
    return joined.exchange(true) ? ombrane::platform::kFalse : ombrane::platform::kOk;
}

wchar_t* GetCommandLineW()
{
    static std::wstring* line = []() -> std::wstring* {
        std::ifstream in("/proc/self/cmdline", std::ios::binary);
        if (!in) return nullptr;
        std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        auto* text = new std::wstring();
        size_t start = 0;
        for (size_t i = 0; i < raw.size(); i++) {
            if (raw[i] != '\0') continue;
            std::wstring arg = Utf8ToWide(std::string_view(raw).substr(start, i - start));
            if (start == 0) {
                std::erase(arg, L'"');
                text->push_back(L'"');
                *text += arg;
                text->push_back(L'"');
            } else {
                text->push_back(L' ');
                AppendQuoted(*text, arg);
            }
            start = i + 1;
        }
        return text;
    }();
    return line ? line->data() : nullptr;
}

wchar_t** CommandLineToArgvW(const wchar_t* command_line, int* count)
{
    if (!command_line) return nullptr;
    std::vector<std::wstring> args = SplitCommandLine(command_line);
    size_t chars = 0;
    for (const std::wstring& a : args) chars += a.size() + 1;
    size_t table = (args.size() + 1) * sizeof(wchar_t*);
    void* block = std::malloc(table + chars * sizeof(wchar_t));
    if (!block) throw std::bad_alloc();
    auto** argv = static_cast<wchar_t**>(block);
    auto* text = reinterpret_cast<wchar_t*>(static_cast<char*>(block) + table);
    for (size_t i = 0; i < args.size(); i++) {
        argv[i] = text;
        std::wmemcpy(text, args[i].c_str(), args[i].size() + 1);
        text += args[i].size() + 1;
    }
    argv[args.size()] = nullptr;
    if (count) *count = static_cast<int>(args.size());
    return argv;
}

void* LocalFree(void* block)
{
    std::free(block);
    return nullptr;
}
