// The 3MF document as the platform layer holds it: core model (unit,
// metadata, objects, build) with the materials and properties resources,
// plus every other part of the package carried as bytes so that a save
// writes it back unchanged. Filled by ReadModelDocument, written by
// WriteModelDocument (3mf/package.h); the Printing3D classes are views over it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "model/mesh_data.h"

namespace ombrane::platform {

// Values of the platform's unit enumeration.
enum class DocUnit : int32_t { Meter = 0, Micron = 1, Millimeter = 2, Centimeter = 3, Inch = 4, Foot = 5 };

// Row-major 4x3 affine matrix as 3MF writes it: m00 m01 m02 m10 m11 m12
// m20 m21 m22 m30 m31 m32 (the last row is the translation).
struct Transform {
    bool present = false;  // absent attribute: identity, and not written back
    double m[12] = {1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0};
};

struct MetadataEntry {
    std::string name;
    std::string value;
    std::string type;      // empty when absent
    std::string preserve;  // empty when absent
};

enum class ObjectType { Model, Support, SolidSupport, Surface, Other };

struct Component {
    uint32_t object_id = 0;
    Transform transform;
};

struct Object {
    uint32_t id = 0;
    ObjectType type = ObjectType::Model;
    std::string name, part_number, thumbnail;  // empty when absent
    uint32_t pid = kNoProperty;                // default property, or kNoProperty
    uint32_t pindex = kNoProperty;
    bool has_mesh = false;                     // mesh object; otherwise components
    MeshData mesh;
    std::vector<Component> components;
};

struct BaseMaterial {
    std::string name;
    std::string display_color;  // "#RRGGBB" or "#RRGGBBAA" as written
};

struct BaseMaterialGroup {
    uint32_t id = 0;
    std::vector<BaseMaterial> materials;
};

struct ColorGroup {
    uint32_t id = 0;
    std::vector<std::string> colors;  // sRGB "#RRGGBB[AA]" as written
};

struct Texture2D {
    uint32_t id = 0;
    std::string path;          // part name of the image, as written
    std::string content_type;
    std::string tile_style_u, tile_style_v, filter;  // empty when absent
};

struct TexCoord {
    double u, v;
};

struct Texture2DGroup {
    uint32_t id = 0;
    uint32_t texture_id = 0;
    std::vector<TexCoord> coords;
};

struct CompositeMaterialGroup {
    uint32_t id = 0;
    uint32_t material_id = 0;               // a base material group
    std::vector<uint32_t> material_indices;
    std::vector<std::vector<double>> composites;  // one value per material index
};

struct MultiPropertyGroup {
    uint32_t id = 0;
    std::vector<uint32_t> pids;
    std::string blend_methods;  // empty when absent
    std::vector<std::vector<uint32_t>> multis;  // at most one index per pid
};

enum class ResourceKind : uint8_t {
    Object, BaseMaterials, ColorGroup, Texture2D, Texture2DGroup, Composite, MultiProperties
};

// Document order of the resources: a resource may only refer to earlier ones,
// so the writer keeps this order.
struct ResourceRef {
    ResourceKind kind;
    uint32_t index;  // into the vector of that kind
};

struct BuildItem {
    uint32_t object_id = 0;
    Transform transform;
    std::string part_number;  // empty when absent
};

// A part of the package other than the model part, carried byte for byte
// ([Content_Types].xml and the relationship parts among them).
struct CarriedPart {
    std::string name;  // zip entry name, without a leading '/'
    std::vector<uint8_t> bytes;
};

struct ModelDocument {
    DocUnit unit = DocUnit::Millimeter;
    std::string language;                 // xml:lang, empty when absent
    bool materials_required = false;      // "m" was among requiredextensions
    std::vector<MetadataEntry> metadata;
    std::vector<ResourceRef> resource_order;
    std::vector<Object> objects;
    std::vector<BaseMaterialGroup> base_materials;
    std::vector<ColorGroup> color_groups;
    std::vector<Texture2D> textures;
    std::vector<Texture2DGroup> texture_groups;
    std::vector<CompositeMaterialGroup> composites;
    std::vector<MultiPropertyGroup> multi_properties;
    std::vector<BuildItem> build;

    // Zip entry name of the model part; empty for a document not read from
    // a package, which is saved as "3D/3dmodel.model" with parts of its own.
    std::string model_part_name;
    size_t model_part_index = 0;  // its place among the package's parts
    std::vector<CarriedPart> parts;
};

}  // namespace ombrane::platform
