// The layer's error type: a status code with a message, the raising rule
// for failing codes, and the conversion of a caught exception into a code.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>

namespace winrt {

using hresult = int32_t;

// A failing status code (negative) with an optional description. message()
// is the description when one is attached, else the system's text for the
// code; trailing white space removed either way.
class hresult_error {
public:
    hresult_error() noexcept = default;
    explicit hresult_error(hresult code) noexcept : code_(code) {}
    hresult_error(hresult code, std::wstring_view description);
    virtual ~hresult_error() = default;

    hresult code() const noexcept { return code_; }
    std::wstring message() const;
    // True when a description travels with the code.
    bool has_description() const noexcept { return description_ != nullptr; }

private:
    hresult code_ = static_cast<hresult>(0x80004005);
    // Shared so that copying the exception object never allocates.
    std::shared_ptr<const std::wstring> description_;
};

struct hresult_canceled : hresult_error {
    hresult_canceled() noexcept;
    explicit hresult_canceled(std::wstring_view description);
};
struct hresult_invalid_argument : hresult_error {
    hresult_invalid_argument() noexcept;
    explicit hresult_invalid_argument(std::wstring_view description);
};
struct hresult_out_of_bounds : hresult_error {
    hresult_out_of_bounds() noexcept;
    explicit hresult_out_of_bounds(std::wstring_view description);
};
struct hresult_access_denied : hresult_error {
    hresult_access_denied() noexcept;
    explicit hresult_access_denied(std::wstring_view description);
};
struct hresult_illegal_method_call : hresult_error {
    hresult_illegal_method_call() noexcept;
    explicit hresult_illegal_method_call(std::wstring_view description);
};
struct hresult_illegal_delegate_assignment : hresult_error {
    hresult_illegal_delegate_assignment() noexcept;
    explicit hresult_illegal_delegate_assignment(std::wstring_view description);
};

// Raises a failing code: 0x8007000E as std::bad_alloc, 0x800704C7 as
// hresult_canceled, a few well-known codes as their derived types, any other
// as hresult_error. The description, when given, travels with the code.
[[noreturn]] void throw_hresult(hresult code);
[[noreturn]] void throw_hresult(hresult code, std::wstring_view description);
inline void check_hresult(hresult code)
{
    if (code < 0) throw_hresult(code);
}

// The system's message for a code, as the message tables give it (may end
// in a line end); empty for a code it does not know.
std::wstring SystemMessage(hresult code);

}  // namespace winrt

namespace ombrane::platform {

inline constexpr winrt::hresult kOk = 0;
inline constexpr winrt::hresult kFalse = 1;
inline constexpr winrt::hresult kFail = static_cast<winrt::hresult>(0x80004005);
inline constexpr winrt::hresult kNotImplemented = static_cast<winrt::hresult>(0x80004001);
inline constexpr winrt::hresult kUnexpected = static_cast<winrt::hresult>(0x8000FFFF);
inline constexpr winrt::hresult kOutOfBounds = static_cast<winrt::hresult>(0x8000000B);
inline constexpr winrt::hresult kIllegalMethodCall = static_cast<winrt::hresult>(0x8000000E);
inline constexpr winrt::hresult kIllegalDelegateAssignment = static_cast<winrt::hresult>(0x80000018);
inline constexpr winrt::hresult kFileNotFound = static_cast<winrt::hresult>(0x80070002);
inline constexpr winrt::hresult kPathNotFound = static_cast<winrt::hresult>(0x80070003);
inline constexpr winrt::hresult kAccessDenied = static_cast<winrt::hresult>(0x80070005);
inline constexpr winrt::hresult kInvalidData = static_cast<winrt::hresult>(0x8007000D);
inline constexpr winrt::hresult kOutOfMemory = static_cast<winrt::hresult>(0x8007000E);
inline constexpr winrt::hresult kDiskFull = static_cast<winrt::hresult>(0x80070070);
inline constexpr winrt::hresult kInvalidArgument = static_cast<winrt::hresult>(0x80070057);
inline constexpr winrt::hresult kCanceled = static_cast<winrt::hresult>(0x800704C7);

// A layer failure whose message is UTF-8 text (converted to wide here), e.g.
//   throw PlatformError(kInvalidData, "3MF: 3D/3dmodel.model line 4: ...");
// Never use it for kOutOfMemory: exhausted memory is raised as std::bad_alloc.
// For a code with a derived type (invalid argument, access denied, ...)
// prefer winrt::throw_hresult, which raises that type.
class PlatformError : public winrt::hresult_error {
public:
    PlatformError(winrt::hresult code, std::string_view utf8_message);
    PlatformError(winrt::hresult code, std::wstring_view message) : hresult_error(code, message) {}
};

// Raises the failure of a system call that set errno: ENOENT as file not
// found, ENOTDIR as path not found, EACCES/EPERM/EROFS as access denied,
// ENOMEM as std::bad_alloc, ENOSPC as disk full, any other as kFail. The
// message is "<what>: <system text>".
[[noreturn]] void ThrowErrno(int err, std::wstring_view what);

// A stored failure: the code, its description (when one travels with it),
// or, for an exception of no known family, the exception itself.
struct StoredFailure {
    winrt::hresult code = kOk;
    std::shared_ptr<const std::wstring> description;
    std::exception_ptr foreign;
};

// Converts the exception being handled (call only inside a catch block):
// hresult_error keeps its code and description, std::bad_alloc gives
// kOutOfMemory with no text, std::out_of_range kOutOfBounds,
// std::invalid_argument kInvalidArgument and any other std::exception kFail,
// each with its UTF-8 text; any other type is kept as it is. Never throws.
StoredFailure CaptureCurrentException() noexcept;

// Raises a stored failure by the raising rule; a foreign exception is
// rethrown as it was.
[[noreturn]] void RethrowStoredFailure(const StoredFailure& failure);

}  // namespace ombrane::platform
