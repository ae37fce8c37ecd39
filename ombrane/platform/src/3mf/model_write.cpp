// 3MF package writer: the model part streamed as text in shortest round-trip numbers.
// Deterministic, and every number reads back bit-identical; the other parts
// are written back as they were read.
#include "3mf/package.h"

#include <charconv>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "3mf/names.h"
#include "io/zip_package.h"

namespace ombrane::platform {

namespace {

constexpr const char* kContentTypesXml =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
    "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
    "<Default Extension=\"model\" ContentType=\"application/vnd.ms-package.3dmanufacturing-3dmodel+xml\"/>"
    "</Types>\n";
constexpr const char* kRootRelsXml =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
    "<Relationship Target=\"/3D/3dmodel.model\" Id=\"rel0\" "
    "Type=\"http://schemas.microsoft.com/3dmanufacturing/2013/01/3dmodel\"/>"
    "</Relationships>\n";
constexpr const char* kDefaultModelPart = "3D/3dmodel.model";

// The vertex and triangle lists, the bulk of the part, are formatted element
// by element into a bounded buffer as they are written out; one element
// takes at most this many bytes.
constexpr size_t kMaxElementBytes = 256;

char* Put(char* p, std::string_view s)
{
    std::memcpy(p, s.data(), s.size());
    return p + s.size();
}

char* PutNumber(char* p, double v)
{
    return std::to_chars(p, p + 32, v).ptr;
}

char* PutNumber(char* p, uint32_t v)
{
    return std::to_chars(p, p + 16, v).ptr;
}

char* PutVertex(char* p, const Vec3& v)
{
    p = PutNumber(Put(p, "     <vertex x=\""), v.x);
    p = PutNumber(Put(p, "\" y=\""), v.y);
    p = PutNumber(Put(p, "\" z=\""), v.z);
    return Put(p, "\"/>\n");
}

// prop is null for a mesh without properties.
char* PutTriangle(char* p, const std::array<uint32_t, 3>& tri, const TriangleProperty* prop)
{
    p = PutNumber(Put(p, "     <triangle v1=\""), tri[0]);
    p = PutNumber(Put(p, "\" v2=\""), tri[1]);
    p = PutNumber(Put(p, "\" v3=\""), tri[2]);
    p = Put(p, "\"");
    if (prop) {
        static const char* kP[3] = {" p1=\"", " p2=\"", " p3=\""};
        for (int i = 0; i < 3; i++)
            if (prop->p[i] != kNoProperty) p = Put(PutNumber(Put(p, kP[i]), prop->p[i]), "\"");
        if (prop->pid != kNoProperty) p = Put(PutNumber(Put(p, " pid=\""), prop->pid), "\"");
    }
    return Put(p, "/>\n");
}

// A vertex or triangle list, written where it stands in the rest of the text.
struct ElementList {
    size_t at;  // offset in the rest of the text
    const MeshData* mesh;
    bool vertices;
    size_t count() const { return vertices ? mesh->vertices.size() : mesh->triangles.size(); }
    char* Put(char* p, size_t i) const
    {
        if (vertices) return PutVertex(p, mesh->vertices[i]);
        bool props = !mesh->properties.empty() && i < mesh->properties.size();
        return PutTriangle(p, mesh->triangles[i], props ? &mesh->properties[i] : nullptr);
    }
};

class XmlOut {
public:
    XmlOut() { s_.reserve(4096); }
    std::string& text() { return s_; }
    std::vector<ElementList>& lists() { return lists_; }

    void list(const MeshData& mesh, bool vertices) { lists_.push_back({s_.size(), &mesh, vertices}); }

    XmlOut& raw(std::string_view v)
    {
        s_.append(v);
        return *this;
    }
    XmlOut& num(double v)
    {
        char buf[32];
        auto r = std::to_chars(buf, buf + sizeof buf, v);
        s_.append(buf, size_t(r.ptr - buf));
        return *this;
    }
    XmlOut& num(uint32_t v)
    {
        char buf[16];
        auto r = std::to_chars(buf, buf + sizeof buf, v);
        s_.append(buf, size_t(r.ptr - buf));
        return *this;
    }
    XmlOut& escaped(std::string_view v, bool attribute)
    {
        for (char c : v) {
            switch (c) {
            case '&': s_ += "&amp;"; break;
            case '<': s_ += "&lt;"; break;
            case '>': s_ += "&gt;"; break;
            case '"': s_ += attribute ? "&quot;" : "\""; break;
            case '\t': s_ += attribute ? "&#9;" : "\t"; break;
            case '\n': s_ += attribute ? "&#10;" : "\n"; break;
            case '\r': s_ += "&#13;"; break;
            default: s_ += c;
            }
        }
        return *this;
    }
    // ' name="value"'
    XmlOut& attr(std::string_view name, std::string_view value)
    {
        s_ += ' ';
        s_.append(name);
        s_ += "=\"";
        escaped(value, true);
        s_ += '"';
        return *this;
    }
    XmlOut& attr_if(std::string_view name, std::string_view value)
    {
        return value.empty() ? *this : attr(name, value);
    }
    XmlOut& attr(std::string_view name, uint32_t value)
    {
        s_ += ' ';
        s_.append(name);
        s_ += "=\"";
        num(value);
        s_ += '"';
        return *this;
    }
    template <class T, class F>
    XmlOut& list_attr(std::string_view name, const std::vector<T>& values, F each)
    {
        s_ += ' ';
        s_.append(name);
        s_ += "=\"";
        for (size_t i = 0; i < values.size(); i++) {
            if (i) s_ += ' ';
            each(*this, values[i]);
        }
        s_ += '"';
        return *this;
    }
    XmlOut& transform(const Transform& t)
    {
        if (!t.present) return *this;
        s_ += " transform=\"";
        for (int i = 0; i < 12; i++) {
            if (i) s_ += ' ';
            num(t.m[i]);
        }
        s_ += '"';
        return *this;
    }

private:
    std::string s_;
    std::vector<ElementList> lists_;
};

void WriteMesh(XmlOut& out, const MeshData& mesh)
{
    out.raw("   <mesh>\n    <vertices>\n");
    out.list(mesh, true);
    out.raw("    </vertices>\n    <triangles>\n");
    out.list(mesh, false);
    out.raw("    </triangles>\n   </mesh>\n");
}

void WriteObject(XmlOut& out, const Object& obj)
{
    out.raw("  <object").attr("id", obj.id).attr("type", ObjectTypeName(obj.type));
    out.attr_if("name", obj.name).attr_if("partnumber", obj.part_number).attr_if("thumbnail", obj.thumbnail);
    if (obj.pid != kNoProperty) out.attr("pid", obj.pid);
    if (obj.pindex != kNoProperty) out.attr("pindex", obj.pindex);
    out.raw(">\n");
    if (obj.has_mesh) {
        WriteMesh(out, obj.mesh);
    } else {
        out.raw("   <components>\n");
        for (const Component& c : obj.components)
            out.raw("    <component").attr("objectid", c.object_id).transform(c.transform).raw("/>\n");
        out.raw("   </components>\n");
    }
    out.raw("  </object>\n");
}

void WriteModel(XmlOut& out, const ModelDocument& doc)
{
    const bool materials = !doc.color_groups.empty() || !doc.textures.empty() || !doc.texture_groups.empty() ||
                           !doc.composites.empty() || !doc.multi_properties.empty() || doc.materials_required;
    out.raw("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<model").attr("unit", UnitName(doc.unit));
    out.attr_if("xml:lang", doc.language).attr("xmlns", kCoreNamespace);
    if (materials) out.attr("xmlns:m", kMaterialNamespace);
    if (doc.materials_required) out.attr("requiredextensions", "m");
    out.raw(">\n");
    for (const MetadataEntry& m : doc.metadata) {
        out.raw(" <metadata").attr("name", m.name).attr_if("type", m.type).attr_if("preserve", m.preserve).raw(">");
        out.escaped(m.value, false).raw("</metadata>\n");
    }
    out.raw(" <resources>\n");
    for (const ResourceRef& ref : doc.resource_order) {
        switch (ref.kind) {
        case ResourceKind::Object: WriteObject(out, doc.objects[ref.index]); break;
        case ResourceKind::BaseMaterials: {
            const BaseMaterialGroup& g = doc.base_materials[ref.index];
            out.raw("  <basematerials").attr("id", g.id).raw(">\n");
            for (const BaseMaterial& b : g.materials)
                out.raw("   <base").attr("name", b.name).attr("displaycolor", b.display_color).raw("/>\n");
            out.raw("  </basematerials>\n");
            break;
        }
        case ResourceKind::ColorGroup: {
            const ColorGroup& g = doc.color_groups[ref.index];
            out.raw("  <m:colorgroup").attr("id", g.id).raw(">\n");
            for (const std::string& c : g.colors) out.raw("   <m:color").attr("color", c).raw("/>\n");
            out.raw("  </m:colorgroup>\n");
            break;
        }
        case ResourceKind::Texture2D: {
            const Texture2D& t = doc.textures[ref.index];
            out.raw("  <m:texture2d").attr("id", t.id).attr("path", t.path).attr("contenttype", t.content_type);
            out.attr_if("tilestyleu", t.tile_style_u).attr_if("tilestylev", t.tile_style_v).attr_if("filter", t.filter);
            out.raw("/>\n");
            break;
        }
        case ResourceKind::Texture2DGroup: {
            const Texture2DGroup& g = doc.texture_groups[ref.index];
            out.raw("  <m:texture2dgroup").attr("id", g.id).attr("texid", g.texture_id).raw(">\n");
            for (const TexCoord& c : g.coords)
                out.raw("   <m:tex2coord u=\"").num(c.u).raw("\" v=\"").num(c.v).raw("\"/>\n");
            out.raw("  </m:texture2dgroup>\n");
            break;
        }
        case ResourceKind::Composite: {
            const CompositeMaterialGroup& g = doc.composites[ref.index];
            out.raw("  <m:compositematerials").attr("id", g.id).attr("matid", g.material_id);
            out.list_attr("matindices", g.material_indices, [](XmlOut& o, uint32_t v) { o.num(v); }).raw(">\n");
            for (const std::vector<double>& mix : g.composites)
                out.raw("   <m:composite").list_attr("values", mix, [](XmlOut& o, double v) { o.num(v); }).raw("/>\n");
            out.raw("  </m:compositematerials>\n");
            break;
        }
        case ResourceKind::MultiProperties: {
            const MultiPropertyGroup& g = doc.multi_properties[ref.index];
            out.raw("  <m:multiproperties").attr("id", g.id);
            out.list_attr("pids", g.pids, [](XmlOut& o, uint32_t v) { o.num(v); });
            out.attr_if("blendmethods", g.blend_methods).raw(">\n");
            for (const std::vector<uint32_t>& m : g.multis)
                out.raw("   <m:multi").list_attr("pindices", m, [](XmlOut& o, uint32_t v) { o.num(v); }).raw("/>\n");
            out.raw("  </m:multiproperties>\n");
            break;
        }
        }
    }
    out.raw(" </resources>\n <build>\n");
    for (const BuildItem& item : doc.build)
        out.raw("  <item").attr("objectid", item.object_id).transform(item.transform)
            .attr_if("partnumber", item.part_number).raw("/>\n");
    out.raw(" </build>\n</model>\n");
}

// The model part made piece by piece: the text around the element lists is
// written at once, the lists as they are read.
class ModelXml : public ZipProducer {
public:
    explicit ModelXml(const ModelDocument& doc) : stage_(new char[kStageBytes]) { WriteModel(out_, doc); }

    uint64_t Size() override
    {
        if (size_ == 0) {
            char scratch[kMaxElementBytes];
            size_ = out_.text().size();
            for (const ElementList& list : out_.lists())
                for (size_t i = 0, n = list.count(); i < n; i++) size_ += uint64_t(list.Put(scratch, i) - scratch);
        }
        return size_;
    }

    void Rewind() override { text_pos_ = list_ = element_ = stage_begin_ = stage_end_ = 0; }

    size_t Read(uint8_t* buf, size_t cap) override
    {
        const std::string& text = out_.text();
        const std::vector<ElementList>& lists = out_.lists();
        size_t done = 0;
        while (done < cap) {
            if (stage_begin_ < stage_end_) {
                size_t n = std::min(cap - done, stage_end_ - stage_begin_);
                std::memcpy(buf + done, stage_.get() + stage_begin_, n);
                stage_begin_ += n;
                done += n;
                continue;
            }
            if (list_ < lists.size() && text_pos_ == lists[list_].at) {
                const ElementList& list = lists[list_];
                char* p = stage_.get();
                char* limit = p + kStageBytes - kMaxElementBytes;
                size_t n = list.count();
                for (; element_ < n && p <= limit; element_++) p = list.Put(p, element_);
                stage_begin_ = 0;
                stage_end_ = size_t(p - stage_.get());
                if (element_ == n) {
                    list_++;
                    element_ = 0;
                }
                continue;
            }
            size_t stop = list_ < lists.size() ? lists[list_].at : text.size();
            if (text_pos_ == stop) break;  // the end of the text
            size_t n = std::min(cap - done, stop - text_pos_);
            std::memcpy(buf + done, text.data() + text_pos_, n);
            text_pos_ += n;
            done += n;
        }
        return done;
    }

    std::string Whole()
    {
        std::string xml(size_t(Size()), '\0');
        Rewind();
        size_t got = Read(reinterpret_cast<uint8_t*>(xml.data()), xml.size());
        xml.resize(got);
        return xml;
    }

private:
    static constexpr size_t kStageBytes = 64 << 10;
    XmlOut out_;
    uint64_t size_ = 0;
    std::unique_ptr<char[]> stage_;
    size_t text_pos_ = 0, list_ = 0, element_ = 0, stage_begin_ = 0, stage_end_ = 0;
};

}  // namespace

std::string WriteModelXml(const ModelDocument& doc)
{
    return ModelXml(doc).Whole();
}

std::vector<uint8_t> WriteModelDocument(const ModelDocument& doc)
{
    ModelXml xml(doc);
    auto bytes_of = [](std::string_view s) { return reinterpret_cast<const uint8_t*>(s.data()); };
    std::vector<ZipInput> inputs;
    if (doc.model_part_name.empty()) {
        std::string_view types = kContentTypesXml, rels = kRootRelsXml;
        inputs.push_back({"[Content_Types].xml", bytes_of(types), types.size()});
        inputs.push_back({"_rels/.rels", bytes_of(rels), rels.size()});
        inputs.push_back({kDefaultModelPart, nullptr, 0, &xml});
        return WriteZip(inputs);
    }
    inputs.reserve(doc.parts.size() + 1);
    for (size_t i = 0; i <= doc.parts.size(); i++) {
        if (i == doc.model_part_index) inputs.push_back({doc.model_part_name, nullptr, 0, &xml});
        if (i < doc.parts.size())
            inputs.push_back({doc.parts[i].name, doc.parts[i].bytes.data(), doc.parts[i].bytes.size()});
    }
    return WriteZip(inputs);
}

}  // namespace ombrane::platform
