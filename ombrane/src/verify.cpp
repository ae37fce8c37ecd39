// Mesh verification step (not available yet).
#include <stdexcept>

#include "ombrane.h"

namespace ombrane {

IAsyncAction VerifyModelMeshesAsync(const Printing3DModel&, const std::wstring&)
{
    throw std::runtime_error("mesh verification step is not available yet");
    co_return;
}

}  // namespace ombrane
