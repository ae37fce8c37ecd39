// The repair pipeline: load, summary, verify, repair, summary, verify, save,
// each step awaited before the next.
#include <iostream>

#include "ombrane.h"

namespace ombrane {

std::wstring OutputNameWith3mf(const std::wstring& output_path)
{
    std::wstring name = output_path;
    static constexpr wchar_t kSuffix[] = L".3mf";
    bool has_suffix = name.size() >= 4;
    for (size_t i = 0; has_suffix && i < 4; i++) {
        wchar_t c = name[name.size() - 4 + i];
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
        has_suffix = c == kSuffix[i];
    }
    if (!has_suffix) name += kSuffix;
    return name;
}

IAsyncAction RunPipelineAsync(std::wstring input_path, std::wstring output_path)
{
    output_path = OutputNameWith3mf(output_path);
    std::wcout << L"[Args] Input=" << input_path << L"\n";
    std::wcout << L"[Args] Output=" << output_path << L"\n";

    Printing3DModel model = co_await LoadModelFrom3mfFileAsync(input_path);
    LogModelSummary(model, L"Loaded");
    {
        // Named, so that it lives in the frame until the step has ended.
        const std::wstring tag = L"BeforeRepair";
        co_await VerifyModelMeshesAsync(model, tag);
    }
    std::wcout << L"[Repair] RepairAsync...\n";
    co_await model.RepairAsync();
    std::wcout << L"[Repair] Done\n";
    LogModelSummary(model, L"Repaired");
    {
        const std::wstring tag = L"AfterRepair";
        co_await VerifyModelMeshesAsync(model, tag);
    }
    co_await SaveModelToFileAsync(model, output_path);
}

}  // namespace ombrane
