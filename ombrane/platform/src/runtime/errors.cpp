// Platform error codes and messages, the raising rule and the conversion of
// exceptions into stored failures.
#include "ombrane/platform/errors.h"

#include <cerrno>
#include <cstring>
#include <cwctype>
#include <new>
#include <stdexcept>

#include "ombrane/platform/text.h"

namespace winrt {

namespace {

std::shared_ptr<const std::wstring> MakeDescription(std::wstring_view text)
{
    return std::make_shared<const std::wstring>(text);
}

}  // namespace

hresult_error::hresult_error(hresult code, std::wstring_view description)
    : code_(code), description_(MakeDescription(description))
{
}

std::wstring hresult_error::message() const
{
    std::wstring text = description_ ? *description_ : SystemMessage(code_);
    size_t end = text.size();
    while (end > 0 && std::iswspace(static_cast<wint_t>(text[end - 1]))) end--;
    text.resize(end);
    return text;
}

using namespace ombrane::platform;

hresult_canceled::hresult_canceled() noexcept : hresult_error(kCanceled) {}
hresult_canceled::hresult_canceled(std::wstring_view d) : hresult_error(kCanceled, d) {}
hresult_invalid_argument::hresult_invalid_argument() noexcept : hresult_error(kInvalidArgument) {}
hresult_invalid_argument::hresult_invalid_argument(std::wstring_view d) : hresult_error(kInvalidArgument, d) {}
hresult_out_of_bounds::hresult_out_of_bounds() noexcept : hresult_error(kOutOfBounds) {}
hresult_out_of_bounds::hresult_out_of_bounds(std::wstring_view d) : hresult_error(kOutOfBounds, d) {}
hresult_access_denied::hresult_access_denied() noexcept : hresult_error(kAccessDenied) {}
hresult_access_denied::hresult_access_denied(std::wstring_view d) : hresult_error(kAccessDenied, d) {}
hresult_illegal_method_call::hresult_illegal_method_call() noexcept : hresult_error(kIllegalMethodCall) {}
hresult_illegal_method_call::hresult_illegal_method_call(std::wstring_view d) : hresult_error(kIllegalMethodCall, d) {}
hresult_illegal_delegate_assignment::hresult_illegal_delegate_assignment() noexcept
    : hresult_error(kIllegalDelegateAssignment)
{
}
hresult_illegal_delegate_assignment::hresult_illegal_delegate_assignment(std::wstring_view d)
    : hresult_error(kIllegalDelegateAssignment, d)
{
}

namespace {

template <typename Error>
[[noreturn]] void Raise(const std::wstring_view* description)
{
    if (description) throw Error(*description);
    throw Error();
}

[[noreturn]] void Raise(hresult code, const std::wstring_view* description)
{
    switch (code) {
    case kOutOfMemory: throw std::bad_alloc();
    case kCanceled: Raise<hresult_canceled>(description);
    case kInvalidArgument: Raise<hresult_invalid_argument>(description);
    case kOutOfBounds: Raise<hresult_out_of_bounds>(description);
    case kAccessDenied: Raise<hresult_access_denied>(description);
    case kIllegalMethodCall: Raise<hresult_illegal_method_call>(description);
    case kIllegalDelegateAssignment: Raise<hresult_illegal_delegate_assignment>(description);
    default:
        if (description) throw hresult_error(code, *description);
        throw hresult_error(code);
    }
}

}  // namespace

void throw_hresult(hresult code)
{
    Raise(code, nullptr);
}

void throw_hresult(hresult code, std::wstring_view description)
{
    Raise(code, &description);
}

std::wstring SystemMessage(hresult code)
{
    struct Entry {
        hresult code;
        const wchar_t* text;
    };
    static const Entry kTable[] = {
        {kFail, L"Unspecified error\r\n"},
        {kNotImplemented, L"Not implemented\r\n"},
        {kUnexpected, L"Catastrophic failure\r\n"},
        {kOutOfBounds, L"A method was called at an unexpected time or an index was out of range.\r\n"},
        {kIllegalMethodCall, L"A method was called at an unexpected time.\r\n"},
        {kIllegalDelegateAssignment, L"A delegate was assigned when not allowed.\r\n"},
        {kFileNotFound, L"The system cannot find the file specified.\r\n"},
        {kPathNotFound, L"The system cannot find the path specified.\r\n"},
        {kAccessDenied, L"Access is denied.\r\n"},
        {kInvalidData, L"The data is invalid.\r\n"},
        {kOutOfMemory, L"Not enough memory resources are available to complete this operation.\r\n"},
        {kDiskFull, L"There is not enough space on the disk.\r\n"},
        {kInvalidArgument, L"The parameter is incorrect.\r\n"},
        {kCanceled, L"The operation was canceled by the user.\r\n"},
    };
    for (const Entry& e : kTable)
        if (e.code == code) return e.text;
    return {};
}

}  // namespace winrt

namespace ombrane::platform {

PlatformError::PlatformError(winrt::hresult code, std::string_view utf8_message)
    : hresult_error(code, Utf8ToWide(utf8_message))
{
}

void ThrowErrno(int err, std::wstring_view what)
{
    winrt::hresult code;
    switch (err) {
    case ENOMEM: throw std::bad_alloc();
    case ENOENT: code = kFileNotFound; break;
    case ENOTDIR: code = kPathNotFound; break;
    case EACCES:
    case EPERM:
    case EROFS: code = kAccessDenied; break;
    case ENOSPC:
    case EDQUOT: code = kDiskFull; break;
    case EINVAL: code = kInvalidArgument; break;
    default: code = kFail; break;
    }
    std::wstring text(what);
    text += L": ";
    text += Utf8ToWide(std::strerror(err));
    winrt::throw_hresult(code, text);
}

StoredFailure CaptureCurrentException() noexcept
{
    StoredFailure failure;
    // Any allocation below may itself fail; that failure is then the one
    // stored.
    try {
        try {
            throw;
        } catch (const winrt::hresult_error& e) {
            // A success code thrown as an error would read as success.
            failure.code = e.code() < 0 ? e.code() : kUnexpected;
            if (e.has_description()) failure.description = std::make_shared<const std::wstring>(e.message());
        } catch (const std::bad_alloc&) {
            failure.code = kOutOfMemory;
        } catch (const std::out_of_range& e) {
            failure.code = kOutOfBounds;
            failure.description = std::make_shared<const std::wstring>(Utf8ToWide(e.what()));
        } catch (const std::invalid_argument& e) {
            failure.code = kInvalidArgument;
            failure.description = std::make_shared<const std::wstring>(Utf8ToWide(e.what()));
        } catch (const std::exception& e) {
            failure.code = kFail;
            failure.description = std::make_shared<const std::wstring>(Utf8ToWide(e.what()));
        } catch (...) {
            failure.code = kUnexpected;
            failure.foreign = std::current_exception();
        }
    } catch (...) {
        failure = StoredFailure{};
        failure.code = kOutOfMemory;
    }
    return failure;
}

void RethrowStoredFailure(const StoredFailure& failure)
{
    if (failure.foreign) std::rethrow_exception(failure.foreign);
    if (failure.description) winrt::throw_hresult(failure.code, *failure.description);
    winrt::throw_hresult(failure.code);
}

}  // namespace ombrane::platform
