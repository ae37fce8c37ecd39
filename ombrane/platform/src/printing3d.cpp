// The 3D-printing classes (not available yet: every member fails honestly).
#include "ombrane/platform/printing3d.h"

#include "ombrane/platform/errors.h"

namespace winrt::Windows::Graphics::Printing3D {

using ombrane::platform::kNotImplemented;
using ombrane::platform::PlatformError;

namespace Collections = Foundation::Collections;

[[noreturn]] static void NotAvailable(const wchar_t* what)
{
    throw PlatformError(kNotImplemented, std::wstring(what) + L": 3MF support is not available yet");
}

struct Printing3D3MFPackage::Impl {};

bool Printing3DMeshVerificationResult::IsValid() const { NotAvailable(L"IsValid"); }
Collections::IVectorView<uint32_t> Printing3DMeshVerificationResult::NonmanifoldTriangles() const
{
    NotAvailable(L"NonmanifoldTriangles");
}
Collections::IVectorView<uint32_t> Printing3DMeshVerificationResult::ReversedNormalTriangles() const
{
    NotAvailable(L"ReversedNormalTriangles");
}

IAsyncOperation<Printing3DMeshVerificationResult> Printing3DMesh::VerifyAsync(Printing3DMeshVerificationMode) const
{
    NotAvailable(L"VerifyAsync");
    co_return Printing3DMeshVerificationResult();
}

Collections::IVector<Printing3DComponentWithMatrix> Printing3DComponent::Components() const
{
    NotAvailable(L"Components");
}

Printing3DModelUnit Printing3DModel::Unit() const { NotAvailable(L"Unit"); }
Collections::IVector<Printing3DMesh> Printing3DModel::Meshes() const { NotAvailable(L"Meshes"); }
Collections::IVector<Printing3DComponent> Printing3DModel::Components() const { NotAvailable(L"Components"); }
Printing3DComponent Printing3DModel::Build() const { NotAvailable(L"Build"); }
Collections::IMap<std::wstring, std::wstring> Printing3DModel::Metadata() const { NotAvailable(L"Metadata"); }

IAsyncAction Printing3DModel::RepairAsync() const
{
    NotAvailable(L"RepairAsync");
    co_return;
}

Printing3D3MFPackage::Printing3D3MFPackage() : impl_(std::make_shared<Impl>()) {}

IAsyncOperation<Printing3DModel> Printing3D3MFPackage::LoadModelFromPackageAsync(
    Storage::Streams::IRandomAccessStream) const
{
    co_await resume_background();
    NotAvailable(L"LoadModelFromPackageAsync");
    co_return Printing3DModel();
}

IAsyncAction Printing3D3MFPackage::SaveModelToPackageAsync(Printing3DModel) const
{
    co_await resume_background();
    NotAvailable(L"SaveModelToPackageAsync");
}

IAsyncOperation<Storage::Streams::IRandomAccessStream> Printing3D3MFPackage::SaveAsync() const
{
    co_await resume_background();
    NotAvailable(L"SaveAsync");
    co_return Storage::Streams::IRandomAccessStream();
}

}  // namespace winrt::Windows::Graphics::Printing3D
