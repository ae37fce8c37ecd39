// Command line, apartment and console stand-ins, and UTF-8 conversions with
// invalid bytes carried as U+DC80..U+DCFF (the "surrogate escape" scheme).
#include "ombrane/platform/system.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <new>
#include <streambuf>
#include <vector>

#include "ombrane/platform/async.h"

namespace ombrane::platform {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Appends the UTF-8 form of one wide character; an escaped byte goes back
// as itself, anything that is not a scalar value as U+FFFD.
template <typename Out>
void EncodeUtf8(char32_t c, Out&& put)
{
    if (c >= 0xDC80 && c <= 0xDCFF) {
        put(static_cast<char>(c - 0xDC00));
        return;
    }
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = kReplacement;
    if (c < 0x80) {
        put(static_cast<char>(c));
    } else if (c < 0x800) {
        put(static_cast<char>(0xC0 | (c >> 6)));
        put(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        put(static_cast<char>(0xE0 | (c >> 12)));
        put(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        put(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        put(static_cast<char>(0xF0 | (c >> 18)));
        put(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        put(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        put(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

void WriteAll(int fd, const char* data, size_t n)
{
    while (n > 0) {
        ssize_t done = ::write(fd, data, n);
        if (done < 0) {
            if (errno == EINTR) continue;
            return;  // a closed or failing console loses the text, nothing else
        }
        data += done;
        n -= static_cast<size_t>(done);
    }
}

// Wide console buffer: a fixed wide buffer encoded into a fixed byte buffer.
// Line buffered: each line reaches the descriptor when its end is written,
// so a run killed later keeps what it printed; text after the last line end
// (a label awaiting its value) waits for the rest of its line.
class Utf8ConsoleBuf : public std::wstreambuf {
public:
    // No put area: every character comes through overflow or xsputn, where
    // line ends are seen.
    Utf8ConsoleBuf() = default;

protected:
    int_type overflow(int_type c) override
    {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        const wchar_t ch = traits_type::to_char_type(c);
        Put(&ch, 1);
        return c;
    }
    std::streamsize xsputn(const wchar_t* s, std::streamsize n) override
    {
        Put(s, static_cast<size_t>(n));
        return n;
    }
    int sync() override
    {
        FlushWide();
        return 0;
    }

private:
    static constexpr size_t kWide = 1024;

    void Put(const wchar_t* s, size_t n)
    {
        for (size_t i = 0; i < n; i++) {
            if (used_ == kWide) FlushWide();
            wide_[used_++] = s[i];
            if (s[i] == L'\n') FlushWide();
        }
    }

    void FlushWide()
    {
        size_t n = 0;
        for (size_t i = 0; i < used_; i++)
            EncodeUtf8(static_cast<char32_t>(wide_[i]), [&](char b) { bytes_[n++] = b; });
        WriteAll(STDOUT_FILENO, bytes_, n);
        used_ = 0;
    }

    wchar_t wide_[kWide];
    size_t used_ = 0;
    char bytes_[4 * kWide];
};

}  // namespace

std::wstring Utf8ToWide(std::string_view utf8)
{
    std::wstring out;
    out.reserve(utf8.size());
    const auto* s = reinterpret_cast<const unsigned char*>(utf8.data());
    size_t n = utf8.size(), i = 0;
    while (i < n) {
        unsigned char b = s[i];
        size_t len = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
        char32_t c = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
        bool ok = len > 0 && i + len <= n;
        for (size_t k = 1; ok && k < len; k++) {
            if ((s[i + k] & 0xC0) != 0x80) ok = false;
            c = (c << 6) | (s[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        static const char32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (ok && (c < kMin[len] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF)) ok = false;
        if (!ok) {
            out.push_back(static_cast<wchar_t>(0xDC00 + b));
            i++;
            continue;
        }
        out.push_back(static_cast<wchar_t>(c));
        i += len;
    }
    return out;
}

std::string WideToUtf8(std::wstring_view wide)
{
    std::string out;
    out.reserve(wide.size());
    for (wchar_t c : wide) EncodeUtf8(static_cast<char32_t>(c), [&](char b) { out.push_back(b); });
    return out;
}

std::filesystem::path PathFromWide(std::wstring_view wide)
{
    return std::filesystem::path(WideToUtf8(wide));
}

std::wstring PathToWide(const std::filesystem::path& path)
{
    return Utf8ToWide(path.native());
}

void UseUtf8Console()
{
    // Never destroyed: std::wcout is flushed after every static destructor.
    alignas(Utf8ConsoleBuf) static unsigned char storage[sizeof(Utf8ConsoleBuf)];
    static Utf8ConsoleBuf* buf = new (storage) Utf8ConsoleBuf();
    std::wcout.rdbuf(buf);
    // A reader that went away (a script piping into head) loses the text;
    // it must not kill the run in the middle of a save.
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace ombrane::platform

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
