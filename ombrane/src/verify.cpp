// Mesh verification step: one "[Verify] " line per mesh, two more with the
// fault counts for a mesh that is not valid. A report only: invalid meshes
// do not fail the action.
#include <iostream>

#include "ombrane.h"

namespace ombrane {

using winrt::Windows::Graphics::Printing3D::Printing3DMesh;
using winrt::Windows::Graphics::Printing3D::Printing3DMeshVerificationMode;
using winrt::Windows::Graphics::Printing3D::Printing3DMeshVerificationResult;

IAsyncAction VerifyModelMeshesAsync(const Printing3DModel& model, const std::wstring& tag)
{
    // model and tag are read only here, before the first suspension.
    std::wcout << L"[Verify] " << tag << L"\n";
    const auto meshes = model.Meshes();
    // The size is read again before every comparison.
    for (uint32_t i = 0; i < meshes.Size(); i++) {
        const Printing3DMesh mesh = meshes.GetAt(i);
        const Printing3DMeshVerificationResult result =
            co_await mesh.VerifyAsync(Printing3DMeshVerificationMode::FindAllErrors);
        // Each label goes out before the getter it names: a failing getter
        // leaves the bare label for the failure line to continue.
        std::wcout << L"[Verify] Mesh " << i << L" IsValid=";
        const bool valid = result.IsValid();
        std::wcout << (valid ? L"true" : L"false") << L"\n";
        if (valid) continue;
        std::wcout << L"[Verify] NonmanifoldTriangles=";
        std::wcout << result.NonmanifoldTriangles().Size() << L"\n";
        std::wcout << L"[Verify] ReversedNormalTriangles=";
        std::wcout << result.ReversedNormalTriangles().Size() << L"\n";
    }
}

}  // namespace ombrane
