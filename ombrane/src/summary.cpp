// Model summary (not available yet).
#include <stdexcept>

#include "ombrane.h"

namespace ombrane {

void LogModelSummary(const Printing3DModel&, const std::wstring&)
{
    throw std::runtime_error("model summary is not available yet");
}

}  // namespace ombrane
