// Model summary: the tag, the unit and four counts, one "[Model] " line each.
#include <iostream>

#include "ombrane.h"

namespace ombrane {

void LogModelSummary(const Printing3DModel& model, const std::wstring& tag)
{
    // Each label goes out before its getter runs: a failing getter leaves
    // the bare label for the failure line to continue.
    std::wcout << L"[Model] " << tag << L"\n";
    std::wcout << L"[Model] Unit=";
    std::wcout << static_cast<int32_t>(model.Unit()) << L"\n";
    std::wcout << L"[Model] Meshes=";
    std::wcout << model.Meshes().Size() << L"\n";
    std::wcout << L"[Model] Components=";
    std::wcout << model.Components().Size() << L"\n";
    std::wcout << L"[Model] BuildItems=";
    {
        auto build = model.Build();
        std::wcout << build.Components().Size() << L"\n";
    }
    std::wcout << L"[Model] Metadata=";
    std::wcout << model.Metadata().Size() << L"\n";
}

}  // namespace ombrane
