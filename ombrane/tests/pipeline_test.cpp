// The pipeline's output-name rule and its argument lines.
#include <gtest/gtest.h>

#include <string>

#include "console_capture.h"
#include "ombrane.h"
#include "test_support.h"

using namespace ombrane;

TEST(OutputNameRule, AppendsTheSuffixUnlessPresentInAnyCase)
{
    struct Case {
        std::wstring path, want;
    };
    const Case cases[] = {
        {L"out", L"out.3mf"},
        {L"model.3mf", L"model.3mf"},
        {L"model.3MF", L"model.3MF"},
        {L"model.3Mf", L"model.3Mf"},
        {L"model.3mfx", L"model.3mfx.3mf"},
        {L"model.3mf.bak", L"model.3mf.bak.3mf"},
        {L"a.3mf ", L"a.3mf .3mf"},
        {L"3mf", L"3mf.3mf"},
        {L".3mf", L".3mf"},
        {L"", L".3mf"},
        {L"dossier \u00e9/mod\u00e8le", L"dossier \u00e9/mod\u00e8le.3mf"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ombrane::platform::WideToUtf8(c.path));
        EXPECT_EQ(OutputNameWith3mf(c.path), c.want);
    }
}

TEST(Pipeline, MissingInputWritesOnlyTheArgumentLinesAndFailsWhenAwaited)
{
    testsupport::TempDir dir;
    const std::wstring input = L"relative/absent \u00e9.3mf";
    ConsoleCapture console;
    IAsyncAction action;
    ASSERT_NO_THROW(action = RunPipelineAsync(input, ombrane::platform::Utf8ToWide(dir.file("out"))));
    try {
        action.get();
        FAIL() << "the pipeline succeeded";
    } catch (const winrt::hresult_error& e) {
        EXPECT_EQ(e.code(), ombrane::platform::kFail);
        EXPECT_EQ(e.message(), L"Fichier 3MF introuvable.");
    }
    EXPECT_EQ(console.text(), "[Args] Input=relative/absent \xC3\xA9.3mf\n[Args] Output=" + dir.file("out") +
                                  ".3mf\n");
}
