// The document behind a Printing3DModel, for layer code and tests.
#pragma once

#include <memory>

#include "model/model_document.h"
#include "ombrane/platform/printing3d.h"

namespace ombrane::platform {

// A model whose every view reads and changes doc.
winrt::Windows::Graphics::Printing3D::Printing3DModel ModelOver(std::shared_ptr<ModelDocument> doc);
// The model's document, shared; null for an empty handle.
std::shared_ptr<ModelDocument> DocumentOf(const winrt::Windows::Graphics::Printing3D::Printing3DModel& model);

}  // namespace ombrane::platform
