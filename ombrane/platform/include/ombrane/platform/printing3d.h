// The 3D-printing classes: a 3MF package, the model it holds, its meshes and
// their verification. Every class is a reference-counted handle; copies share
// one object.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ombrane/platform/async.h"
#include "ombrane/platform/streams.h"

namespace winrt::Windows::Foundation::Collections {

// Read-only list handle.
template <typename T>
class IVectorView {
public:
    IVectorView() : items_(std::make_shared<std::vector<T>>()) {}
    explicit IVectorView(std::shared_ptr<const std::vector<T>> items) : items_(std::move(items)) {}
    uint32_t Size() const { return static_cast<uint32_t>(items_->size()); }
    T GetAt(uint32_t index) const
    {
        if (index >= items_->size()) throw hresult_out_of_bounds(L"IVectorView: index out of range");
        return (*items_)[index];
    }

private:
    std::shared_ptr<const std::vector<T>> items_;
};

// List handle; copies share the list.
template <typename T>
class IVector {
public:
    IVector() : items_(std::make_shared<std::vector<T>>()) {}
    explicit IVector(std::shared_ptr<std::vector<T>> items) : items_(std::move(items)) {}
    uint32_t Size() const { return static_cast<uint32_t>(items_->size()); }
    T GetAt(uint32_t index) const
    {
        if (index >= items_->size()) throw hresult_out_of_bounds(L"IVector: index out of range");
        return (*items_)[index];
    }
    void Append(T value) const { items_->push_back(std::move(value)); }
    IVectorView<T> GetView() const { return IVectorView<T>(items_); }

private:
    std::shared_ptr<std::vector<T>> items_;
};

// Map handle; copies share the map.
template <typename K, typename V>
class IMap {
public:
    IMap() : items_(std::make_shared<std::map<K, V>>()) {}
    explicit IMap(std::shared_ptr<std::map<K, V>> items) : items_(std::move(items)) {}
    uint32_t Size() const { return static_cast<uint32_t>(items_->size()); }
    bool HasKey(const K& key) const { return items_->count(key) != 0; }
    V Lookup(const K& key) const
    {
        auto it = items_->find(key);
        if (it == items_->end()) throw hresult_out_of_bounds(L"IMap: key not found");
        return it->second;
    }
    bool Insert(const K& key, V value) const
    {
        auto [it, added] = items_->insert_or_assign(key, std::move(value));
        return !added;
    }

private:
    std::shared_ptr<std::map<K, V>> items_;
};

}  // namespace winrt::Windows::Foundation::Collections

namespace winrt::Windows::Graphics::Printing3D {

using Foundation::IAsyncAction;
using Foundation::IAsyncOperation;

enum class Printing3DModelUnit : int32_t { Meter = 0, Micron = 1, Millimeter = 2, Centimeter = 3, Inch = 4, Foot = 5 };
enum class Printing3DMeshVerificationMode : int32_t { FindFirstError = 0, FindAllErrors = 1 };

class Printing3DMeshVerificationResult {
public:
    Printing3DMeshVerificationResult() = default;
    bool IsValid() const;
    Foundation::Collections::IVectorView<uint32_t> NonmanifoldTriangles() const;
    Foundation::Collections::IVectorView<uint32_t> ReversedNormalTriangles() const;

    struct Impl;
    explicit Printing3DMeshVerificationResult(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

private:
    std::shared_ptr<Impl> impl_;
};

class Printing3DMesh {
public:
    Printing3DMesh() = default;
    IAsyncOperation<Printing3DMeshVerificationResult> VerifyAsync(Printing3DMeshVerificationMode mode) const;

    struct Impl;
    explicit Printing3DMesh(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

private:
    std::shared_ptr<Impl> impl_;
};

class Printing3DComponent;

class Printing3DComponentWithMatrix {
public:
    Printing3DComponentWithMatrix() = default;

    struct Impl;
    explicit Printing3DComponentWithMatrix(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

private:
    std::shared_ptr<Impl> impl_;
};

class Printing3DComponent {
public:
    Printing3DComponent() = default;
    Foundation::Collections::IVector<Printing3DComponentWithMatrix> Components() const;

    struct Impl;
    explicit Printing3DComponent(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

private:
    std::shared_ptr<Impl> impl_;
};

class Printing3DModel {
public:
    Printing3DModel() = default;
    Printing3DModelUnit Unit() const;
    Foundation::Collections::IVector<Printing3DMesh> Meshes() const;
    Foundation::Collections::IVector<Printing3DComponent> Components() const;
    Printing3DComponent Build() const;
    Foundation::Collections::IMap<std::wstring, std::wstring> Metadata() const;
    // Repairs every mesh in place.
    IAsyncAction RepairAsync() const;

    struct Impl;
    explicit Printing3DModel(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
    const std::shared_ptr<Impl>& GetImpl() const noexcept { return impl_; }

private:
    std::shared_ptr<Impl> impl_;
};

class Printing3D3MFPackage {
public:
    // A new, empty package.
    Printing3D3MFPackage();
    IAsyncOperation<Printing3DModel> LoadModelFromPackageAsync(Storage::Streams::IRandomAccessStream value) const;
    IAsyncAction SaveModelToPackageAsync(Printing3DModel value) const;
    // The whole package as a new stream at position 0.
    IAsyncOperation<Storage::Streams::IRandomAccessStream> SaveAsync() const;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace winrt::Windows::Graphics::Printing3D
