// UTF-8 conversions with invalid bytes carried as U+DC80..U+DCFF (the
// "surrogate escape" scheme), and a UTF-8 console behind std::wcout.
#include "ombrane/platform/text.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <iostream>
#include <new>
#include <streambuf>

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
