// Text conversions and the command-line stand-ins.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ombrane/platform/system.h"

using namespace ombrane::platform;

TEST(Utf8, WideRoundTripKeepsEveryByteString)
{
    struct Case {
        const char* name;
        std::string utf8;
        std::wstring wide;
    };
    const Case cases[] = {
        {"ascii", "model.3mf", L"model.3mf"},
        {"two-byte letters", "cr\xC3\xA9" "er", L"cr\u00e9" L"er"},
        {"three-byte sign", "\xE2\x82\xAC", L"\u20ac"},
        {"four-byte sign", "\xF0\x9F\x99\x82", L"\U0001F642"},
        {"lone continuation byte", "a\x80" "b", L"a\xDC80" L"b"},
        {"latin-1 byte", "caf\xE9", L"caf\xDCE9"},
        {"cut sequence at the end", "x\xE2\x82", L"x\xDCE2\xDC82"},
        {"overlong slash", "\xC0\xAF", L"\xDCC0\xDCAF"},
        {"encoded surrogate", "\xED\xA0\x80", L"\xDCED\xDCA0\xDC80"},
        {"past U+10FFFF", "\xF4\x90\x80\x80", L"\xDCF4\xDC90\xDC80\xDC80"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Utf8ToWide(c.utf8), c.wide);
        EXPECT_EQ(WideToUtf8(c.wide), c.utf8);
        EXPECT_EQ(PathFromWide(c.wide).native(), c.utf8);
    }
    // Wide text that is no scalar value has no bytes of its own.
    EXPECT_EQ(WideToUtf8(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xEF\xBF\xBD");
}

TEST(CommandLine, SplitsByTheQuotingRules)
{
    struct Case {
        const wchar_t* line;
        std::vector<std::wstring> args;
    };
    const Case cases[] = {
        {L"prog a b", {L"prog", L"a", L"b"}},
        {L"\"C:\\Program Files\\o.exe\" in  out", {L"C:\\Program Files\\o.exe", L"in", L"out"}},
        {L"p \"with space\" \"\"", {L"p", L"with space", L""}},
        {L"p a\\\\b \\\"q\\\" c\\\\\"d e\"", {L"p", L"a\\\\b", L"\"q\"", L"c\\d e"}},
        {L"p \"a\"\"b\"", {L"p", L"a\"b"}},
        {L"p\t\tx   ", {L"p", L"x"}},
        {L"", {L""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.line));
        int count = -1;
        wchar_t** argv = CommandLineToArgvW(c.line, &count);
        ASSERT_NE(argv, nullptr);
        std::vector<std::wstring> got(argv, argv + count);
        EXPECT_EQ(got, c.args);
        EXPECT_EQ(argv[count], nullptr);
        LocalFree(argv);
    }
    int count = 7;
    EXPECT_EQ(CommandLineToArgvW(nullptr, &count), nullptr);
}

TEST(CommandLine, ThisProcessArgumentsComeBackAsGiven)
{
    // The test binary's own command line: at least the program itself.
    wchar_t* line = GetCommandLineW();
    ASSERT_NE(line, nullptr);
    int count = 0;
    wchar_t** argv = CommandLineToArgvW(line, &count);
    ASSERT_NE(argv, nullptr);
    ASSERT_GE(count, 1);
    EXPECT_NE(std::wstring(argv[0]).find(L"ombrane_tests"), std::wstring::npos);
    LocalFree(argv);
}

TEST(CoInitializeEx, FirstJoinIsOkLaterOnesAreFalse)
{
    HRESULT first = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    EXPECT_TRUE(first == 0 || first == 1);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), 1);
}
