// Saving the model as a 3MF package (not available yet).
#include <stdexcept>

#include "ombrane.h"

namespace ombrane {

IAsyncAction SaveModelToFileAsync(const Printing3DModel&, const std::wstring&)
{
    throw std::runtime_error("saving is not available yet");
    co_return;
}

}  // namespace ombrane
