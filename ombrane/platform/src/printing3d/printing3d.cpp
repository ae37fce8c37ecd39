// The 3D-printing classes as views over one shared ModelDocument: the
// package reads and writes it, the model lists its objects and build, a
// mesh verifies and the model repairs through mesh_ops.
#include "ombrane/platform/printing3d.h"

#include <utility>

#include "3mf/package.h"
#include "mesh/mesh_ops.h"
#include "model/model_document.h"
#include "ombrane/platform/errors.h"
#include "ombrane/platform/text.h"
#include "printing3d/printing3d_access.h"

namespace winrt::Windows::Graphics::Printing3D {

using ombrane::platform::kIllegalMethodCall;
using ombrane::platform::ModelDocument;
using ombrane::platform::PlatformError;
using DocPtr = std::shared_ptr<ModelDocument>;

namespace Collections = Foundation::Collections;

struct Printing3DModel::Impl {
    DocPtr doc;
};
struct Printing3DMesh::Impl {
    DocPtr doc;
    size_t object;  // index into doc->objects, a mesh object
};
struct Printing3DMeshVerificationResult::Impl {
    std::shared_ptr<const std::vector<uint32_t>> nonmanifold, reversed;
};
struct Printing3DComponent::Impl {
    DocPtr doc;
    bool is_build;  // the build, whose components are the build items
    size_t object;  // otherwise index into doc->objects
};
struct Printing3DComponentWithMatrix::Impl {
    DocPtr doc;
    size_t object, component;  // object == SIZE_MAX: build item `component`
};
struct Printing3D3MFPackage::Impl {
    DocPtr doc;  // the model handed to SaveModelToPackageAsync
};

template <class ImplPtr>
static auto& Checked(const ImplPtr& impl, const wchar_t* what)
{
    if (!impl) throw PlatformError(kIllegalMethodCall, std::wstring(what) + L": empty handle");
    return *impl;
}

bool Printing3DMeshVerificationResult::IsValid() const
{
    const Impl& r = Checked(impl_, L"Printing3DMeshVerificationResult");
    return r.nonmanifold->empty() && r.reversed->empty();
}

Collections::IVectorView<uint32_t> Printing3DMeshVerificationResult::NonmanifoldTriangles() const
{
    return Collections::IVectorView<uint32_t>(Checked(impl_, L"Printing3DMeshVerificationResult").nonmanifold);
}

Collections::IVectorView<uint32_t> Printing3DMeshVerificationResult::ReversedNormalTriangles() const
{
    return Collections::IVectorView<uint32_t>(Checked(impl_, L"Printing3DMeshVerificationResult").reversed);
}

IAsyncOperation<Printing3DMeshVerificationResult> Printing3DMesh::VerifyAsync(Printing3DMeshVerificationMode) const
{
    // Hold the document: the caller may drop the mesh before completion.
    std::shared_ptr<Impl> self = impl_;
    Checked(self, L"Printing3DMesh");
    co_await resume_background();
    ombrane::platform::MeshVerification found = ombrane::platform::VerifyMesh(self->doc->objects[self->object].mesh);
    auto result = std::make_shared<Printing3DMeshVerificationResult::Impl>();
    result->nonmanifold = std::make_shared<const std::vector<uint32_t>>(std::move(found.nonmanifold_triangles));
    result->reversed = std::make_shared<const std::vector<uint32_t>>(std::move(found.reversed_normal_triangles));
    co_return Printing3DMeshVerificationResult(std::move(result));
}

Collections::IVector<Printing3DComponentWithMatrix> Printing3DComponent::Components() const
{
    const Impl& c = Checked(impl_, L"Printing3DComponent");
    auto list = std::make_shared<std::vector<Printing3DComponentWithMatrix>>();
    size_t n = c.is_build ? c.doc->build.size() : c.doc->objects[c.object].components.size();
    list->reserve(n);
    for (size_t i = 0; i < n; i++)
        list->emplace_back(std::make_shared<Printing3DComponentWithMatrix::Impl>(
            Printing3DComponentWithMatrix::Impl{c.doc, c.is_build ? SIZE_MAX : c.object, i}));
    return Collections::IVector<Printing3DComponentWithMatrix>(std::move(list));
}

Printing3DModelUnit Printing3DModel::Unit() const
{
    return static_cast<Printing3DModelUnit>(Checked(impl_, L"Printing3DModel").doc->unit);
}

Collections::IVector<Printing3DMesh> Printing3DModel::Meshes() const
{
    const DocPtr& doc = Checked(impl_, L"Printing3DModel").doc;
    auto list = std::make_shared<std::vector<Printing3DMesh>>();
    for (size_t i = 0; i < doc->objects.size(); i++)
        if (doc->objects[i].has_mesh)
            list->emplace_back(std::make_shared<Printing3DMesh::Impl>(Printing3DMesh::Impl{doc, i}));
    return Collections::IVector<Printing3DMesh>(std::move(list));
}

Collections::IVector<Printing3DComponent> Printing3DModel::Components() const
{
    const DocPtr& doc = Checked(impl_, L"Printing3DModel").doc;
    auto list = std::make_shared<std::vector<Printing3DComponent>>();
    list->reserve(doc->objects.size());
    for (size_t i = 0; i < doc->objects.size(); i++)
        list->emplace_back(std::make_shared<Printing3DComponent::Impl>(Printing3DComponent::Impl{doc, false, i}));
    return Collections::IVector<Printing3DComponent>(std::move(list));
}

Printing3DComponent Printing3DModel::Build() const
{
    const DocPtr& doc = Checked(impl_, L"Printing3DModel").doc;
    return Printing3DComponent(std::make_shared<Printing3DComponent::Impl>(Printing3DComponent::Impl{doc, true, 0}));
}

// A snapshot keyed by name; a name given twice keeps its first value.
Collections::IMap<std::wstring, std::wstring> Printing3DModel::Metadata() const
{
    const DocPtr& doc = Checked(impl_, L"Printing3DModel").doc;
    auto map = std::make_shared<std::map<std::wstring, std::wstring>>();
    for (const ombrane::platform::MetadataEntry& m : doc->metadata)
        map->emplace(ombrane::platform::Utf8ToWide(m.name), ombrane::platform::Utf8ToWide(m.value));
    return Collections::IMap<std::wstring, std::wstring>(std::move(map));
}

IAsyncAction Printing3DModel::RepairAsync() const
{
    std::shared_ptr<Impl> self = impl_;
    Checked(self, L"Printing3DModel");
    co_await resume_background();
    for (ombrane::platform::Object& obj : self->doc->objects) {
        if (!obj.has_mesh) continue;
        // Triangles made by the repair take the object's default property.
        ombrane::platform::TriangleProperty fill;
        if (obj.pid != ombrane::platform::kNoProperty) {
            fill.pid = obj.pid;
            fill.p[0] = obj.pindex;
        }
        ombrane::platform::RepairMesh(obj.mesh, fill);
    }
}

Printing3D3MFPackage::Printing3D3MFPackage() : impl_(std::make_shared<Impl>()) {}

IAsyncOperation<Printing3DModel> Printing3D3MFPackage::LoadModelFromPackageAsync(
    Storage::Streams::IRandomAccessStream value) const
{
    co_await resume_background();
    // The whole package is in memory before the model exists, so the file
    // it came from may be overwritten by the save.
    DocPtr doc;
    if (const std::vector<uint8_t>* bytes = ombrane::platform::MemoryStreamBytes(value)) {
        doc = std::make_shared<ModelDocument>(ombrane::platform::ReadModelDocument(bytes->data(), bytes->size()));
    } else {
        std::vector<uint8_t> read = ombrane::platform::ReadAllBytes(value);
        doc = std::make_shared<ModelDocument>(ombrane::platform::ReadModelDocument(read.data(), read.size()));
    }
    co_return Printing3DModel(std::make_shared<Printing3DModel::Impl>(Printing3DModel::Impl{std::move(doc)}));
}

IAsyncAction Printing3D3MFPackage::SaveModelToPackageAsync(Printing3DModel value) const
{
    std::shared_ptr<Impl> self = impl_;
    co_await resume_background();
    self->doc = Checked(value.GetImpl(), L"SaveModelToPackageAsync").doc;
}

IAsyncOperation<Storage::Streams::IRandomAccessStream> Printing3D3MFPackage::SaveAsync() const
{
    std::shared_ptr<Impl> self = impl_;
    co_await resume_background();
    if (!self->doc) throw PlatformError(kIllegalMethodCall, L"SaveAsync: no model was saved to the package");
    std::vector<uint8_t> bytes = ombrane::platform::WriteModelDocument(*self->doc);
    co_return Storage::Streams::InMemoryRandomAccessStream(std::move(bytes));
}

}  // namespace winrt::Windows::Graphics::Printing3D

namespace ombrane::platform {

winrt::Windows::Graphics::Printing3D::Printing3DModel ModelOver(std::shared_ptr<ModelDocument> doc)
{
    using winrt::Windows::Graphics::Printing3D::Printing3DModel;
    return Printing3DModel(std::make_shared<Printing3DModel::Impl>(Printing3DModel::Impl{std::move(doc)}));
}

std::shared_ptr<ModelDocument> DocumentOf(const winrt::Windows::Graphics::Printing3D::Printing3DModel& model)
{
    return model.GetImpl() ? model.GetImpl()->doc : nullptr;
}

}  // namespace ombrane::platform
