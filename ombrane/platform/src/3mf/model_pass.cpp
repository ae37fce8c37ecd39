// The model part by expat handlers, each element checked against the resources before it.
// Ids, property groups and their sizes, object references: the document is
// filled in document order.
#include "3mf/model_pass.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "3mf/names.h"
#include "3mf/numbers.h"
#include "3mf/package.h"

namespace ombrane::platform {

namespace {

constexpr const char* kXmlNamespace = "http://www.w3.org/XML/1998/namespace";

std::string Id(uint32_t id)
{
    return std::to_string(id);
}

// Attribute lookup over expat's name/value pairs; unqualified names only.
const char* Attr(const char** attrs, const char* key)
{
    for (const char** a = attrs; *a; a += 2)
        if (std::strcmp(a[0], key) == 0) return a[1];
    return nullptr;
}

}  // namespace

void ModelPass::Namespace(const char* prefix, const char* uri)
{
    // Only the declarations on <model> matter: requiredextensions names them.
    if (stack_.size() == 1 && stack_.back() == El::Document) prefixes_.emplace_back(prefix, uri);
    if (*prefix == '\0') default_core_.push_back(std::strcmp(uri, kCoreNamespace) == 0);
}

void ModelPass::NamespaceEnd(const char* prefix)
{
    if (*prefix == '\0' && !default_core_.empty()) default_core_.pop_back();
}

void ModelPass::Start(const char* name, const char** attrs)
{
    if (skip_depth_ > 0) {
        skip_depth_++;
        return;
    }
    QName q = SplitName(name);
    El parent = stack_.back();
    bool core = q.ns == kCoreNamespace, material = q.ns == kMaterialNamespace;
    if (parent == El::Document) {
        if (q.local != "model" || !core)
            return Fail("the root element is <" + std::string(q.local) + "> in namespace \"" +
                        std::string(q.ns) + "\", not <model> in the 3MF core namespace " + kCoreNamespace);
        return StartModel(attrs);
    }
    if (!core && !material) {
        // Unknown namespaces are ignored with all they contain.
        skip_depth_ = 1;
        return;
    }
    std::string_view local = q.local;
    switch (parent) {
    case El::Vertices:
        if (core && local == "vertex") return StartVertex(attrs);
        break;
    case El::Triangles:
        if (core && local == "triangle") return StartTriangle(attrs);
        break;
    case El::Model:
        if (core && local == "metadata") return StartMetadata(attrs);
        if (core && local == "resources") {
            if (seen_resources_) return Fail("<model> has more than one <resources>");
            seen_resources_ = true;
            return Push(El::Resources);
        }
        if (core && local == "build") {
            if (seen_build_) return Fail("<model> has more than one <build>");
            if (!seen_resources_) return Fail("<model> has no <resources> before its <build>");
            seen_build_ = true;
            return Push(El::Build);
        }
        break;
    case El::Resources:
        if (core && local == "object") return StartObject(attrs);
        if (core && local == "basematerials") return StartBaseMaterials(attrs);
        if (material && local == "colorgroup") return StartColorGroup(attrs);
        if (material && local == "texture2d") return StartTexture(attrs);
        if (material && local == "texture2dgroup") return StartTextureGroup(attrs);
        if (material && local == "compositematerials") return StartComposites(attrs);
        if (material && local == "multiproperties") return StartMultiProps(attrs);
        break;
    case El::Object:
        if (core && local == "mesh") {
            if (object_body_seen_) return Fail("object " + Id(cur_object().id) + " has more than one <mesh> or <components>");
            object_body_seen_ = true;
            cur_object().has_mesh = true;
            return Push(El::Mesh);
        }
        if (core && local == "components") {
            if (object_body_seen_) return Fail("object " + Id(cur_object().id) + " has more than one <mesh> or <components>");
            object_body_seen_ = true;
            return Push(El::Components);
        }
        if (core && local == "metadatagroup") {
            skip_depth_ = 1;  // object-level metadata is not kept
            return;
        }
        break;
    case El::Mesh:
        if (core && local == "vertices") {
            if (seen_vertices_ || seen_triangles_) return Fail("<mesh> has a misplaced or repeated <vertices>");
            seen_vertices_ = true;
            misses_ = 0;
            return Push(El::Vertices);
        }
        if (core && local == "triangles") {
            if (seen_triangles_) return Fail("<mesh> has more than one <triangles>");
            seen_triangles_ = true;
            misses_ = 0;
            return Push(El::Triangles);
        }
        break;
    case El::Components:
        if (core && local == "component") return StartComponent(attrs);
        break;
    case El::Build:
        if (core && local == "item") return StartItem(attrs);
        break;
    case El::BaseMaterials:
        if (core && local == "base") return StartBase(attrs);
        break;
    case El::ColorGroup:
        if (material && local == "color") return StartColor(attrs);
        break;
    case El::TextureGroup:
        if (material && local == "tex2coord") return StartTexCoord(attrs);
        break;
    case El::Composites:
        if (material && local == "composite") return StartComposite(attrs);
        break;
    case El::MultiProps:
        if (material && local == "multi") return StartMulti(attrs);
        break;
    case El::Leaf:
        if (core && local == "metadatagroup") {
            skip_depth_ = 1;  // item-level metadata is not kept
            return;
        }
        break;
    default:
        break;
    }
    Fail("unexpected element <" + std::string(local) + ">");
}

void ModelPass::End(const char*)
{
    if (skip_depth_ > 0) {
        skip_depth_--;
        return;
    }
    El el = stack_.back();
    stack_.pop_back();
    switch (el) {
    case El::Metadata:
        doc_.metadata.back().value = std::move(text_);
        text_.clear();
        break;
    case El::Object: EndObject(); break;
    case El::Mesh:
        seen_vertices_ = seen_triangles_ = false;
        break;
    case El::Model:
        if (!seen_resources_) return Fail("<model> has no <resources>");
        if (!seen_build_) return Fail("<model> has no <build>");
        break;
    default: break;
    }
}

void ModelPass::Text(const char* s, int len)
{
    if (skip_depth_ == 0 && stack_.back() == El::Metadata) text_.append(s, size_t(len));
}

const char* ModelPass::Required(const char** attrs, const char* key, const char* element)
{
    const char* v = Attr(attrs, key);
    if (!v) Fail(std::string("<") + element + "> has no " + key + " attribute");
    return v;
}

bool ModelPass::Number(const char* v, const char* key, const char* element, double& out)
{
    if (ParseNumber(v, out)) return true;
    Fail(std::string("<") + element + "> " + key + "=\"" + v + "\" is not a valid 3MF number");
    return false;
}

bool ModelPass::Index(const char* v, const char* key, const char* element, uint32_t& out)
{
    if (ParseIndex(v, out)) return true;
    Fail(std::string("<") + element + "> " + key + "=\"" + v + "\" is not a valid index");
    return false;
}

bool ModelPass::ParseTransform(const char** attrs, const char* element, Transform& t)
{
    const char* v = Attr(attrs, "transform");
    if (!v) return true;
    std::vector<double> values;
    if (!ParseList(v, values, ParseNumber) || values.size() != 12) {
        Fail(std::string("<") + element + "> transform=\"" + v + "\" is not 12 valid 3MF numbers");
        return false;
    }
    t.present = true;
    std::copy(values.begin(), values.end(), t.m);
    return true;
}

bool ModelPass::NewResource(const char** attrs, const char* element, ResourceKind kind, uint32_t index, uint32_t& id)
{
    const char* v = Required(attrs, "id", element);
    if (!v || !Index(v, "id", element, id)) return false;
    if (id == 0) {
        Fail(std::string("<") + element + "> id=\"0\": resource ids start at 1");
        return false;
    }
    if (!resources_.emplace(id, ResourceInfo{kind, index, kind != ResourceKind::Object}).second) {
        Fail("resource id " + Id(id) + " is used twice");
        return false;
    }
    doc_.resource_order.push_back({kind, index});
    return true;
}

int64_t ModelPass::PropertyGroupSize(uint32_t id, const std::string& who)
{
    auto it = resources_.find(id);
    if (it == resources_.end()) {
        Fail(who + " refers to property group " + Id(id) + ", which is not defined before it");
        return -1;
    }
    const ResourceInfo& r = it->second;
    switch (r.kind) {
    case ResourceKind::BaseMaterials: return int64_t(doc_.base_materials[r.index].materials.size());
    case ResourceKind::ColorGroup: return int64_t(doc_.color_groups[r.index].colors.size());
    case ResourceKind::Texture2DGroup: return int64_t(doc_.texture_groups[r.index].coords.size());
    case ResourceKind::Composite: return int64_t(doc_.composites[r.index].composites.size());
    case ResourceKind::MultiProperties: return int64_t(doc_.multi_properties[r.index].multis.size());
    default:
        Fail(who + " refers to resource " + Id(id) + ", which is not a property group");
        return -1;
    }
}

void ModelPass::StartModel(const char** attrs)
{
    Push(El::Model);
    for (const char** a = attrs; *a; a += 2) {
        QName q = SplitName(a[0]);
        if (q.ns.empty() && q.local == "unit") {
            bool known = false;
            for (DocUnit u : kDocUnits)
                if (std::strcmp(a[1], UnitName(u)) == 0) {
                    doc_.unit = u;
                    known = true;
                }
            if (!known) return Fail(std::string("unit \"") + a[1] + "\" is not a 3MF unit");
        } else if (q.ns.empty() && q.local == "requiredextensions") {
            if (!CheckRequiredExtensions(a[1])) return;
        } else if (q.ns == kXmlNamespace && q.local == "lang") {
            doc_.language = a[1];
        }
    }
}

bool ModelPass::CheckRequiredExtensions(std::string_view list)
{
    list = Trim(list);
    while (!list.empty()) {
        size_t end = 0;
        while (end < list.size() && !IsXmlSpace(list[end])) end++;
        std::string prefix(list.substr(0, end));
        list = Trim(list.substr(end));
        const std::string* uri = nullptr;
        for (const auto& [p, u] : prefixes_)
            if (p == prefix) uri = &u;
        if (!uri) {
            Fail("requiredextensions names prefix \"" + prefix + "\", which is not declared");
            return false;
        }
        if (*uri == kMaterialNamespace) {
            doc_.materials_required = true;
        } else if (*uri != kCoreNamespace) {
            Fail("the model requires extension " + *uri + " (prefix \"" + prefix + "\"), which is not supported");
            return false;
        }
    }
    return true;
}

void ModelPass::StartMetadata(const char** attrs)
{
    const char* name = Required(attrs, "name", "metadata");
    if (!name) return;
    MetadataEntry entry;
    entry.name = name;
    if (const char* t = Attr(attrs, "type")) entry.type = t;
    if (const char* p = Attr(attrs, "preserve")) entry.preserve = p;
    doc_.metadata.push_back(std::move(entry));
    text_.clear();
    Push(El::Metadata);
}

void ModelPass::StartObject(const char** attrs)
{
    Object obj;
    uint32_t index = uint32_t(doc_.objects.size());
    if (!NewResource(attrs, "object", ResourceKind::Object, index, obj.id)) return;
    if (const char* t = Attr(attrs, "type")) {
        bool known = false;
        for (ObjectType k : kObjectTypes)
            if (std::strcmp(t, ObjectTypeName(k)) == 0) {
                obj.type = k;
                known = true;
            }
        if (!known) return Fail("object " + Id(obj.id) + " has type \"" + t + "\", which is not a 3MF object type");
    }
    if (const char* v = Attr(attrs, "name")) obj.name = v;
    if (const char* v = Attr(attrs, "partnumber")) obj.part_number = v;
    if (const char* v = Attr(attrs, "thumbnail")) obj.thumbnail = v;
    const char* pid = Attr(attrs, "pid");
    const char* pindex = Attr(attrs, "pindex");
    if (pindex && !pid) return Fail("object " + Id(obj.id) + " has a pindex without a pid");
    if (pid) {
        if (!Index(pid, "pid", "object", obj.pid)) return;
        int64_t n = PropertyGroupSize(obj.pid, "object " + Id(obj.id));
        if (n < 0) return;
        if (pindex) {
            if (!Index(pindex, "pindex", "object", obj.pindex)) return;
            if (int64_t(obj.pindex) >= n)
                return Fail("object " + Id(obj.id) + " has pindex " + Id(obj.pindex) + ", out of range (" +
                            std::to_string(n) + " entries in group " + Id(obj.pid) + ")");
        }
    }
    doc_.objects.push_back(std::move(obj));
    object_body_seen_ = false;
    tri_group_id_ = kNoProperty;
    Push(El::Object);
}

void ModelPass::EndObject()
{
    Object& obj = cur_object();
    if (!object_body_seen_) return Fail("object " + Id(obj.id) + " has neither <mesh> nor <components>");
    MeshData& mesh = obj.mesh;
    if (!mesh.properties.empty()) mesh.properties.resize(mesh.triangles.size());
    // No shrink_to_fit: the copy would hold both blocks at once, while the
    // unused tail of a large block is never touched and takes no memory.
    resources_[obj.id].complete = true;
}

void ModelPass::StartVertex(const char** attrs)
{
    const char *x = nullptr, *y = nullptr, *z = nullptr;
    for (const char** a = attrs; *a; a += 2) {
        const char* k = a[0];
        if (k[0] != '\0' && k[1] == '\0') {
            if (k[0] == 'x') x = a[1];
            else if (k[0] == 'y') y = a[1];
            else if (k[0] == 'z') z = a[1];
        }
    }
    if (!x || !y || !z) return Fail("<vertex> lacks one of its x, y, z attributes");
    Vec3 v;
    if (!Number(x, "x", "vertex", v.x) || !Number(y, "y", "vertex", v.y) || !Number(z, "z", "vertex", v.z))
        return;
    cur_object().mesh.vertices.push_back(v);
    Push(El::Leaf);
}

void ModelPass::StartTriangle(const char** attrs)
{
    MeshData& mesh = cur_object().mesh;
    const char* v[3] = {nullptr, nullptr, nullptr};
    const char* p[3] = {nullptr, nullptr, nullptr};
    const char* pid = nullptr;
    for (const char** a = attrs; *a; a += 2) {
        const char* k = a[0];
        if ((k[0] == 'v' || k[0] == 'p') && k[1] >= '1' && k[1] <= '3' && k[2] == '\0')
            (k[0] == 'v' ? v : p)[k[1] - '1'] = a[1];
        else if (std::strcmp(k, "pid") == 0)
            pid = a[1];
    }
    size_t t = mesh.triangles.size();
    if (!v[0] || !v[1] || !v[2]) return Fail("triangle " + std::to_string(t) + " lacks one of v1, v2, v3");
    std::array<uint32_t, 3> tri;
    static const char* kV[3] = {"v1", "v2", "v3"};
    for (int i = 0; i < 3; i++) {
        if (!Index(v[i], kV[i], "triangle", tri[i])) return;
        if (tri[i] >= mesh.vertices.size())
            return Fail("triangle " + std::to_string(t) + " has vertex index " + Id(tri[i]) +
                        ", out of range (" + std::to_string(mesh.vertices.size()) + " vertices)");
    }
    if (tri[0] == tri[1] || tri[1] == tri[2] || tri[0] == tri[2])
        return Fail("triangle " + std::to_string(t) + " repeats a vertex index (" + Id(tri[0]) + " " +
                    Id(tri[1]) + " " + Id(tri[2]) + ")");
    mesh.triangles.push_back(tri);
    Push(El::Leaf);
    if (!pid && !p[0] && !p[1] && !p[2]) {
        if (!mesh.properties.empty()) mesh.properties.push_back(TriangleProperty{});
        return;
    }
    TriangleProperty prop;
    uint32_t group = cur_object().pid;
    if (pid) {
        if (!Index(pid, "pid", "triangle", prop.pid)) return;
        group = prop.pid;
    }
    static const char* kP[3] = {"p1", "p2", "p3"};
    for (int i = 0; i < 3; i++)
        if (p[i] && !Index(p[i], kP[i], "triangle", prop.p[i])) return;
    if (p[0] || p[1] || p[2]) {
        if (group == kNoProperty)
            return Fail("triangle " + std::to_string(t) + " has property indices but neither it nor object " +
                        Id(cur_object().id) + " has a pid");
        // Most triangles share their group: look its size up once.
        if (group != tri_group_id_) {
            int64_t n = PropertyGroupSize(group, "triangle " + std::to_string(t));
            if (n < 0) return;
            tri_group_id_ = group;
            tri_group_size_ = n;
        }
        for (int i = 0; i < 3; i++)
            if (p[i] && int64_t(prop.p[i]) >= tri_group_size_)
                return Fail("triangle " + std::to_string(t) + " has " + kP[i] + "=" + Id(prop.p[i]) +
                            ", out of range (" + std::to_string(tri_group_size_) + " entries in group " +
                            Id(group) + ")");
    } else if (PropertyGroupSize(prop.pid, "triangle " + std::to_string(t)) < 0) {
        return;
    }
    if (mesh.properties.empty()) mesh.properties.resize(t);
    mesh.properties.push_back(prop);
}

void ModelPass::StartComponent(const char** attrs)
{
    Object& obj = cur_object();
    Component comp;
    const char* id = Required(attrs, "objectid", "component");
    if (!id || !Index(id, "objectid", "component", comp.object_id)) return;
    auto it = resources_.find(comp.object_id);
    if (comp.object_id == obj.id)
        return Fail("object " + Id(obj.id) + " has a component that refers to itself");
    if (it == resources_.end() || it->second.kind != ResourceKind::Object || !it->second.complete)
        return Fail("a component of object " + Id(obj.id) + " refers to object " + Id(comp.object_id) +
                    ", which is not defined before it");
    if (!ParseTransform(attrs, "component", comp.transform)) return;
    obj.components.push_back(comp);
    Push(El::Leaf);
}

void ModelPass::StartItem(const char** attrs)
{
    BuildItem item;
    const char* id = Required(attrs, "objectid", "item");
    if (!id || !Index(id, "objectid", "item", item.object_id)) return;
    auto it = resources_.find(item.object_id);
    if (it == resources_.end() || it->second.kind != ResourceKind::Object)
        return Fail("build item " + std::to_string(doc_.build.size()) + " refers to object " +
                    Id(item.object_id) + ", which does not exist");
    if (doc_.objects[it->second.index].type == ObjectType::Other)
        return Fail("build item " + std::to_string(doc_.build.size()) + " refers to object " +
                    Id(item.object_id) + " of type other");
    if (!ParseTransform(attrs, "item", item.transform)) return;
    if (const char* v = Attr(attrs, "partnumber")) item.part_number = v;
    doc_.build.push_back(std::move(item));
    Push(El::Leaf);
}

void ModelPass::StartBaseMaterials(const char** attrs)
{
    BaseMaterialGroup g;
    if (!NewResource(attrs, "basematerials", ResourceKind::BaseMaterials, uint32_t(doc_.base_materials.size()), g.id))
        return;
    doc_.base_materials.push_back(std::move(g));
    Push(El::BaseMaterials);
}

void ModelPass::StartBase(const char** attrs)
{
    const char* name = Required(attrs, "name", "base");
    const char* color = name ? Required(attrs, "displaycolor", "base") : nullptr;
    if (!color) return;
    if (!ValidColor(color)) return Fail(std::string("<base> displaycolor=\"") + color + "\" is not an sRGB colour");
    doc_.base_materials.back().materials.push_back({name, color});
    Push(El::Leaf);
}

void ModelPass::StartColorGroup(const char** attrs)
{
    ColorGroup g;
    if (!NewResource(attrs, "colorgroup", ResourceKind::ColorGroup, uint32_t(doc_.color_groups.size()), g.id))
        return;
    doc_.color_groups.push_back(std::move(g));
    Push(El::ColorGroup);
}

void ModelPass::StartColor(const char** attrs)
{
    const char* color = Required(attrs, "color", "color");
    if (!color) return;
    if (!ValidColor(color)) return Fail(std::string("<color> color=\"") + color + "\" is not an sRGB colour");
    doc_.color_groups.back().colors.emplace_back(color);
    Push(El::Leaf);
}

void ModelPass::StartTexture(const char** attrs)
{
    Texture2D tex;
    if (!NewResource(attrs, "texture2d", ResourceKind::Texture2D, uint32_t(doc_.textures.size()), tex.id)) return;
    const char* path = Required(attrs, "path", "texture2d");
    const char* type = path ? Required(attrs, "contenttype", "texture2d") : nullptr;
    if (!type) return;
    tex.path = path;
    tex.content_type = type;
    if (const char* v = Attr(attrs, "tilestyleu")) tex.tile_style_u = v;
    if (const char* v = Attr(attrs, "tilestylev")) tex.tile_style_v = v;
    if (const char* v = Attr(attrs, "filter")) tex.filter = v;
    doc_.textures.push_back(std::move(tex));
    Push(El::Leaf);
}

void ModelPass::StartTextureGroup(const char** attrs)
{
    Texture2DGroup g;
    if (!NewResource(attrs, "texture2dgroup", ResourceKind::Texture2DGroup, uint32_t(doc_.texture_groups.size()), g.id))
        return;
    const char* texid = Required(attrs, "texid", "texture2dgroup");
    if (!texid || !Index(texid, "texid", "texture2dgroup", g.texture_id)) return;
    auto it = resources_.find(g.texture_id);
    if (it == resources_.end() || it->second.kind != ResourceKind::Texture2D)
        return Fail("texture group " + Id(g.id) + " refers to texture " + Id(g.texture_id) +
                    ", which is not defined before it");
    doc_.texture_groups.push_back(std::move(g));
    Push(El::TextureGroup);
}

void ModelPass::StartTexCoord(const char** attrs)
{
    const char* u = Required(attrs, "u", "tex2coord");
    const char* v = u ? Required(attrs, "v", "tex2coord") : nullptr;
    TexCoord c;
    if (!v || !Number(u, "u", "tex2coord", c.u) || !Number(v, "v", "tex2coord", c.v)) return;
    doc_.texture_groups.back().coords.push_back(c);
    Push(El::Leaf);
}

void ModelPass::StartComposites(const char** attrs)
{
    CompositeMaterialGroup g;
    if (!NewResource(attrs, "compositematerials", ResourceKind::Composite, uint32_t(doc_.composites.size()), g.id))
        return;
    const char* matid = Required(attrs, "matid", "compositematerials");
    if (!matid || !Index(matid, "matid", "compositematerials", g.material_id)) return;
    auto it = resources_.find(g.material_id);
    if (it == resources_.end() || it->second.kind != ResourceKind::BaseMaterials)
        return Fail("composite materials " + Id(g.id) + " refer to base materials " + Id(g.material_id) +
                    ", which are not defined before them");
    const char* indices = Required(attrs, "matindices", "compositematerials");
    if (!indices) return;
    if (!ParseList(indices, g.material_indices, ParseIndex) || g.material_indices.empty())
        return Fail(std::string("<compositematerials> matindices=\"") + indices + "\" is not a list of indices");
    size_t n = doc_.base_materials[it->second.index].materials.size();
    for (uint32_t m : g.material_indices)
        if (m >= n)
            return Fail("composite materials " + Id(g.id) + " use material index " + Id(m) + ", out of range (" +
                        std::to_string(n) + " base materials)");
    doc_.composites.push_back(std::move(g));
    Push(El::Composites);
}

void ModelPass::StartComposite(const char** attrs)
{
    const char* values = Required(attrs, "values", "composite");
    if (!values) return;
    CompositeMaterialGroup& g = doc_.composites.back();
    std::vector<double> mix;
    if (!ParseList(values, mix, ParseNumber) || mix.size() != g.material_indices.size())
        return Fail(std::string("<composite> values=\"") + values + "\" is not " +
                    std::to_string(g.material_indices.size()) + " valid 3MF numbers");
    g.composites.push_back(std::move(mix));
    Push(El::Leaf);
}

void ModelPass::StartMultiProps(const char** attrs)
{
    MultiPropertyGroup g;
    if (!NewResource(attrs, "multiproperties", ResourceKind::MultiProperties,
                     uint32_t(doc_.multi_properties.size()), g.id))
        return;
    const char* pids = Required(attrs, "pids", "multiproperties");
    if (!pids) return;
    if (!ParseList(pids, g.pids, ParseIndex) || g.pids.empty())
        return Fail(std::string("<multiproperties> pids=\"") + pids + "\" is not a list of ids");
    // Only existence is checked: published packages that must load name a
    // texture here and index past their groups' ends.
    for (uint32_t pid : g.pids) {
        auto it = resources_.find(pid);
        if (it == resources_.end() || it->second.kind == ResourceKind::Object)
            return Fail("multiproperties " + Id(g.id) + " refer to " + Id(pid) +
                        ", which is not a resource defined before them");
        if (it->second.kind == ResourceKind::MultiProperties)
            return Fail("multiproperties " + Id(g.id) + " refer to multiproperties " + Id(pid));
    }
    if (const char* v = Attr(attrs, "blendmethods")) g.blend_methods = v;
    doc_.multi_properties.push_back(std::move(g));
    Push(El::MultiProps);
}

void ModelPass::StartMulti(const char** attrs)
{
    const char* pindices = Required(attrs, "pindices", "multi");
    if (!pindices) return;
    MultiPropertyGroup& g = doc_.multi_properties.back();
    std::vector<uint32_t> multi;
    if (!ParseList(pindices, multi, ParseIndex) || multi.size() > g.pids.size())
        return Fail(std::string("<multi> pindices=\"") + pindices + "\" is not at most " +
                    std::to_string(g.pids.size()) + " indices");
    g.multis.push_back(std::move(multi));
    Push(El::Leaf);
}

void ParseModelXml(const uint8_t* data, size_t size, const std::string& part_name, ModelDocument& doc)
{
    ModelPass pass(part_name, doc);
    pass.Run(data, size);
}

}  // namespace ombrane::platform
