// The opening of a model part the reader tests build their models on: the
// core namespace as default and the material namespace as m.
#pragma once

#include <string>

namespace ombrane_test {

inline const std::string kModelHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<model unit=\"millimeter\" xmlns=\"http://schemas.microsoft.com/3dmanufacturing/core/2015/02\" "
    "xmlns:m=\"http://schemas.microsoft.com/3dmanufacturing/material/2015/02\">\n";

}  // namespace ombrane_test
