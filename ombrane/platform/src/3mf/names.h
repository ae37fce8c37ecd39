// The words of 3MF that the reader and the writer share: namespaces, the
// model relationship, and the names of the document's units and object
// types (the reader accepts exactly the names the writer writes).
#pragma once

#include "model/model_document.h"

namespace ombrane::platform {

inline constexpr const char* kCoreNamespace = "http://schemas.microsoft.com/3dmanufacturing/core/2015/02";
inline constexpr const char* kMaterialNamespace = "http://schemas.microsoft.com/3dmanufacturing/material/2015/02";
inline constexpr const char* kModelRelationshipType = "http://schemas.microsoft.com/3dmanufacturing/2013/01/3dmodel";
inline constexpr const char* kModelContentType = "application/vnd.ms-package.3dmanufacturing-3dmodel+xml";

inline constexpr DocUnit kDocUnits[] = {DocUnit::Micron, DocUnit::Millimeter, DocUnit::Centimeter,
                                        DocUnit::Inch,   DocUnit::Foot,       DocUnit::Meter};

inline const char* UnitName(DocUnit u)
{
    switch (u) {
    case DocUnit::Meter: return "meter";
    case DocUnit::Micron: return "micron";
    case DocUnit::Millimeter: return "millimeter";
    case DocUnit::Centimeter: return "centimeter";
    case DocUnit::Inch: return "inch";
    case DocUnit::Foot: return "foot";
    }
    return "millimeter";
}

inline constexpr ObjectType kObjectTypes[] = {ObjectType::Model, ObjectType::Support, ObjectType::SolidSupport,
                                              ObjectType::Surface, ObjectType::Other};

inline const char* ObjectTypeName(ObjectType t)
{
    switch (t) {
    case ObjectType::Model: return "model";
    case ObjectType::Support: return "support";
    case ObjectType::SolidSupport: return "solidsupport";
    case ObjectType::Surface: return "surface";
    case ObjectType::Other: return "other";
    }
    return "model";
}

}  // namespace ombrane::platform
