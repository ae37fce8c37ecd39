// The pass over the model part: fills a ModelDocument and refuses what the
// 3MF core and materials extension make a consumer refuse. The element
// handlers are in model_pass.cpp, the fast path for runs of plain vertices
// and triangles in model_pass_runs.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "3mf/xml_pass.h"
#include "model/model_document.h"

namespace ombrane::platform {

// Kinds of open element, as the pass stacks them: Document below the root,
// Leaf for an element with nothing inside that the pass reads.
enum class El : uint8_t {
    Document, Model, Metadata, Resources, Build, Object, Mesh, Vertices, Triangles, Components,
    BaseMaterials, ColorGroup, TextureGroup, Composites, MultiProps, Leaf
};

class ModelPass : public XmlPass {
public:
    ModelPass(std::string part, ModelDocument& doc) : XmlPass(std::move(part)), doc_(doc) {}

protected:
    void Namespace(const char* prefix, const char* uri) override;
    void NamespaceEnd(const char* prefix) override;
    // Reads runs of plain vertices and triangles itself, the rest through
    // expat (model_pass_runs.cpp).
    size_t Consume(const char* buf, size_t len, bool eof) override;
    void Start(const char* name, const char** attrs) override;
    void End(const char*) override;
    void Text(const char* s, int len) override;

private:
    struct ResourceInfo {
        ResourceKind kind;
        uint32_t index;
        bool complete;
    };

    Object& cur_object() { return doc_.objects.back(); }
    void Push(El el) { stack_.push_back(el); }

    const char* Required(const char** attrs, const char* key, const char* element);
    bool Number(const char* v, const char* key, const char* element, double& out);
    bool Index(const char* v, const char* key, const char* element, uint32_t& out);
    bool ParseTransform(const char** attrs, const char* element, Transform& t);
    // Registers a new resource id: positive and not used before.
    bool NewResource(const char** attrs, const char* element, ResourceKind kind, uint32_t index, uint32_t& id);
    // Number of entries of a property group, or -1 (after Fail) when id names
    // no property group defined before this point.
    int64_t PropertyGroupSize(uint32_t id, const std::string& who);

    void StartModel(const char** attrs);
    bool CheckRequiredExtensions(std::string_view list);
    void StartMetadata(const char** attrs);
    void StartObject(const char** attrs);
    void EndObject();
    void StartVertex(const char** attrs);
    void StartTriangle(const char** attrs);
    void StartComponent(const char** attrs);
    void StartItem(const char** attrs);
    void StartBaseMaterials(const char** attrs);
    void StartBase(const char** attrs);
    void StartColorGroup(const char** attrs);
    void StartColor(const char** attrs);
    void StartTexture(const char** attrs);
    void StartTextureGroup(const char** attrs);
    void StartTexCoord(const char** attrs);
    void StartComposites(const char** attrs);
    void StartComposite(const char** attrs);
    void StartMultiProps(const char** attrs);
    void StartMulti(const char** attrs);

    // Where the scan for runs stands in the text.
    enum class Lex : uint8_t { Content, Tag, Quote, Comment, CData, PI, Off };
    // Gives expat the line ends of a run read without it.
    void FeedLineEnds(uint64_t lines);

    ModelDocument& doc_;
    std::vector<El> stack_{El::Document};
    Lex lex_ = Lex::Content;
    char quote_ = 0;
    int misses_ = 0;
    std::vector<bool> default_core_;  // per default namespace declaration in scope: is it the core one
    int skip_depth_ = 0;
    std::string text_;
    std::vector<std::pair<std::string, std::string>> prefixes_;
    std::unordered_map<uint32_t, ResourceInfo> resources_;
    bool seen_resources_ = false, seen_build_ = false;
    bool object_body_seen_ = false, seen_vertices_ = false, seen_triangles_ = false;
    uint32_t tri_group_id_ = kNoProperty;
    int64_t tri_group_size_ = 0;
};

}  // namespace ombrane::platform
