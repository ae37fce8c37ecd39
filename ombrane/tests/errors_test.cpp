// Raising rule, messages and the conversion of exceptions into codes.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <new>
#include <stdexcept>
#include <typeinfo>

#include "ombrane/platform/errors.h"

using namespace ombrane::platform;

namespace {

// Runs f, which must throw; returns the caught exception's kind and code.
struct Caught {
    std::string kind;
    winrt::hresult code = 0;
    std::wstring message;
};

template <typename F>
Caught CatchFrom(F&& f)
{
    try {
        f();
    } catch (const winrt::hresult_canceled& e) {
        return {"canceled", e.code(), e.message()};
    } catch (const winrt::hresult_invalid_argument& e) {
        return {"invalid_argument", e.code(), e.message()};
    } catch (const winrt::hresult_out_of_bounds& e) {
        return {"out_of_bounds", e.code(), e.message()};
    } catch (const winrt::hresult_access_denied& e) {
        return {"access_denied", e.code(), e.message()};
    } catch (const winrt::hresult_error& e) {
        return {"hresult_error", e.code(), e.message()};
    } catch (const std::bad_alloc&) {
        return {"bad_alloc", 0, L""};
    } catch (...) {
        return {"other", 0, L""};
    }
    return {"nothing", 0, L""};
}

}  // namespace

TEST(ThrowHresult, RaisesEachCodeAsItsType)
{
    struct Case {
        winrt::hresult code;
        const char* kind;
    };
    const Case cases[] = {
        {kOutOfMemory, "bad_alloc"},
        {kCanceled, "canceled"},
        {kInvalidArgument, "invalid_argument"},
        {kOutOfBounds, "out_of_bounds"},
        {kAccessDenied, "access_denied"},
        {kFail, "hresult_error"},
        {kFileNotFound, "hresult_error"},
        {static_cast<winrt::hresult>(0x80041234), "hresult_error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        Caught plain = CatchFrom([&] { winrt::throw_hresult(c.code); });
        EXPECT_EQ(plain.kind, c.kind);
        Caught described = CatchFrom([&] { winrt::throw_hresult(c.code, L"what went wrong"); });
        EXPECT_EQ(described.kind, c.kind);
        if (described.kind != "bad_alloc") {
            EXPECT_EQ(described.code, c.code);
            EXPECT_EQ(described.message, L"what went wrong");
        }
    }
    EXPECT_NO_THROW(winrt::check_hresult(kOk));
    EXPECT_NO_THROW(winrt::check_hresult(kFalse));
    EXPECT_EQ(CatchFrom([] { winrt::check_hresult(kFail); }).code, kFail);
}

TEST(HresultError, MessageIsDescriptionElseSystemTextWithoutTrailingBlanks)
{
    struct Case {
        const char* name;
        winrt::hresult_error error;
        std::wstring want;
    };
    const Case cases[] = {
        {"description", winrt::hresult_error(kFail, L"disk on fire"), L"disk on fire"},
        {"description with line end", winrt::hresult_error(kFail, L"two lines\nsecond \t\r\n"), L"two lines\nsecond"},
        {"blank description", winrt::hresult_error(kFail, L" \r\n"), L""},
        {"system text, line end removed", winrt::hresult_error(kFileNotFound),
         L"The system cannot find the file specified."},
        {"empty description beats system text", winrt::hresult_error(kFileNotFound, L""), L""},
        {"unknown code", winrt::hresult_error(static_cast<winrt::hresult>(0x80041234)), L""},
        {"cancellation", winrt::hresult_canceled(), L"The operation was canceled by the user."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.error.message(), c.want);
    }
    EXPECT_EQ(winrt::hresult_canceled().code(), kCanceled);
    EXPECT_EQ(PlatformError(kInvalidData, std::string("caf\xC3\xA9")).message(), L"caf\u00e9");
}

TEST(CaptureCurrentException, ConvertsEveryFamilyToItsCode)
{
    struct Case {
        const char* name;
        void (*raise)();
        winrt::hresult code;
        bool has_text;
        std::wstring text;
    };
    const Case cases[] = {
        {"platform error keeps code and text", [] { throw winrt::hresult_error(kAccessDenied, L"no entry"); },
         kAccessDenied, true, L"no entry"},
        {"platform error without text stays without", [] { throw winrt::hresult_error(kFileNotFound); },
         kFileNotFound, false, L""},
        {"derived platform error", [] { throw winrt::hresult_canceled(); }, kCanceled, false, L""},
        {"bad_alloc has no text", [] { throw std::bad_alloc(); }, kOutOfMemory, false, L""},
        {"out_of_range", [] { throw std::out_of_range("index 7"); }, kOutOfBounds, true, L"index 7"},
        {"invalid_argument", [] { throw std::invalid_argument("bad flag"); }, kInvalidArgument, true, L"bad flag"},
        {"runtime_error text from UTF-8",
         [] { throw std::runtime_error("Impossible de cr\xC3\xA9" "er le fichier de sortie."); }, kFail, true,
         L"Impossible de cr\u00e9" L"er le fichier de sortie."},
        {"file-system error",
         [] { throw std::filesystem::filesystem_error("size", std::make_error_code(std::errc::is_a_directory)); },
         kFail, true, L""},
        {"success code thrown as failure", [] { throw winrt::hresult_error(kOk, L"odd"); }, kUnexpected, true,
         L"odd"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StoredFailure failure;
        try {
            c.raise();
        } catch (...) {
            failure = CaptureCurrentException();
        }
        EXPECT_EQ(failure.code, c.code);
        EXPECT_FALSE(failure.foreign);
        ASSERT_EQ(failure.description != nullptr, c.has_text);
        if (c.has_text && !c.text.empty()) {
            EXPECT_EQ(*failure.description, c.text);
        }
        // Raised again, the code and text come back by the raising rule.
        Caught again = CatchFrom([&] { RethrowStoredFailure(failure); });
        if (c.code == kOutOfMemory) {
            EXPECT_EQ(again.kind, "bad_alloc");
        } else {
            EXPECT_EQ(again.code, c.code);
            if (c.has_text) {
                EXPECT_EQ(again.message, *failure.description);
            }
        }
    }
}

TEST(CaptureCurrentException, KeepsAForeignExceptionAsItIs)
{
    StoredFailure failure;
    try {
        throw 42;
    } catch (...) {
        failure = CaptureCurrentException();
    }
    ASSERT_TRUE(failure.foreign);
    try {
        RethrowStoredFailure(failure);
        FAIL() << "nothing raised";
    } catch (int value) {
        EXPECT_EQ(value, 42);
    }
}

TEST(ThrowErrno, MapsSystemErrorsToPlatformCodes)
{
    struct Case {
        int err;
        const char* kind;
        winrt::hresult code;
    };
    const Case cases[] = {
        {ENOENT, "hresult_error", kFileNotFound},     {ENOTDIR, "hresult_error", kPathNotFound},
        {EACCES, "access_denied", kAccessDenied},     {EPERM, "access_denied", kAccessDenied},
        {EROFS, "access_denied", kAccessDenied},      {ENOSPC, "hresult_error", kDiskFull},
        {EINVAL, "invalid_argument", kInvalidArgument}, {EIO, "hresult_error", kFail},
        {ENOMEM, "bad_alloc", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.err);
        Caught caught = CatchFrom([&] { ThrowErrno(c.err, L"opening \"/x\""); });
        EXPECT_EQ(caught.kind, c.kind);
        EXPECT_EQ(caught.code, c.code);
        if (c.err != ENOMEM) {
            EXPECT_EQ(caught.message.rfind(L"opening \"/x\": ", 0), 0u) << caught.message;
        }
    }
}
