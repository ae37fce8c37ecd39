// Captures what std::wcout receives while the object lives, as UTF-8.
#pragma once

#include <iostream>
#include <sstream>
#include <string>

#include "ombrane/platform/system.h"

class ConsoleCapture {
public:
    ConsoleCapture() : saved_(std::wcout.rdbuf(buffer_.rdbuf())) {}
    ~ConsoleCapture()
    {
        std::wcout.rdbuf(saved_);
        std::wcout.clear();
    }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    std::wstring wide() const { return buffer_.str(); }
    std::string text() const { return ombrane::platform::WideToUtf8(buffer_.str()); }

private:
    std::wostringstream buffer_;
    std::wstreambuf* saved_;
};
