// 3MF package reader: OPC parts and relationships, then the model part with
// expat (namespace-aware, UTF-8 only, no DTD), checking what the 3MF core
// and materials specifications make a consumer refuse.
#include <expat.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "model/model_document.h"
#include "ombrane/platform/errors.h"
#include "io/zip_package.h"

namespace ombrane::platform {

namespace {

constexpr char kNsSep = '\x01';
constexpr const char* kRelsNamespace = "http://schemas.openxmlformats.org/package/2006/relationships";
constexpr const char* kXmlNamespace = "http://www.w3.org/XML/1998/namespace";

bool IsXmlSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && IsXmlSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsXmlSpace(s.back())) s.remove_suffix(1);
    return s;
}

// 3MF number: [+-]?((\d+(\.\d*)?)|(\.\d+))([eE][+-]?\d+)?, finite.
bool ParseNumber(std::string_view s, double& out)
{
    s = Trim(s);
    if (!s.empty() && s.front() == '+') {
        s.remove_prefix(1);
        if (!s.empty() && s.front() == '-') return false;
    }
    size_t lead = !s.empty() && s.front() == '-' ? 1 : 0;
    if (s.size() <= lead || !((s[lead] >= '0' && s[lead] <= '9') || s[lead] == '.')) return false;
    auto r = std::from_chars(s.data(), s.data() + s.size(), out, std::chars_format::general);
    return r.ec == std::errc() && r.ptr == s.data() + s.size() && std::isfinite(out);
}

// Non-negative integer below 2^31 (3MF resource ids and indices).
bool ParseIndex(std::string_view s, uint32_t& out)
{
    s = Trim(s);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty() || s.front() < '0' || s.front() > '9') return false;
    auto r = std::from_chars(s.data(), s.data() + s.size(), out);
    return r.ec == std::errc() && r.ptr == s.data() + s.size() && out <= 0x7FFFFFFFu;
}

template <class T, class F>
bool ParseList(std::string_view s, std::vector<T>& out, F parse_one)
{
    out.clear();
    s = Trim(s);
    while (!s.empty()) {
        size_t end = 0;
        while (end < s.size() && !IsXmlSpace(s[end])) end++;
        T value;
        if (!parse_one(s.substr(0, end), value)) return false;
        out.push_back(value);
        s = Trim(s.substr(end));
    }
    return true;
}

bool ValidColor(std::string_view s)
{
    s = Trim(s);
    if ((s.size() != 7 && s.size() != 9) || s[0] != '#') return false;
    for (char c : s.substr(1))
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
    return true;
}

std::string LowerAscii(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return out;
}

struct ParserFree {
    void operator()(XML_Parser p) const { XML_ParserFree(p); }
};

// One expat pass over a part. The handler methods report a refusal through
// Fail, which stops the parser; the refusal is raised once expat returned,
// never thrown through expat's C frames.
class XmlPass {
public:
    explicit XmlPass(std::string part) : part_(std::move(part)) {}
    virtual ~XmlPass() = default;

    // The whole text in memory.
    void Run(const uint8_t* data, size_t size)
    {
        CheckByteOrderMark(data, size);
        if (size > size_t(INT32_MAX))
            ThrowInvalidPackage("3MF: " + part_ + " is too large to parse");
        Begin();
        Consume(reinterpret_cast<const char*>(data), size, true);
        Complete();
    }

    // The text as read(buf, cap) delivers it (the bytes placed, 0 at the
    // end), through one fixed buffer: the whole text is never held.
    template <class Read>
    void RunStream(Read read)
    {
        std::unique_ptr<uint8_t[]> buf(new uint8_t[kChunkBytes]);
        size_t have = 0;
        bool eof = false, first = true;
        Begin();
        for (;;) {
            while (!eof && have < kChunkBytes) {
                size_t n = read(buf.get() + have, kChunkBytes - have);
                if (n == 0) eof = true;
                have += n;
            }
            if (first) CheckByteOrderMark(buf.get(), have);
            first = false;
            size_t used = Consume(reinterpret_cast<const char*>(buf.get()), have, eof);
            if (eof) break;
            std::memmove(buf.get(), buf.get() + used, have - used);
            have -= used;
        }
        Complete();
    }

protected:
    virtual void Start(const char* name, const char** attrs) = 0;
    virtual void End(const char* name) = 0;
    virtual void Text(const char*, int) {}
    virtual void Namespace(const char*, const char*) {}
    virtual void NamespaceEnd(const char*) {}
    virtual void Finish() {}

    // Gives buf[0, len) to the parser, all of it when eof; otherwise it may
    // keep back a tail, returned to it at the front of the next call.
    virtual size_t Consume(const char* buf, size_t len, bool eof)
    {
        Feed(buf, len, eof);
        return len;
    }

    // Parses the next piece of the text; raises the refusal it met.
    void Feed(const char* data, size_t size, bool final)
    {
        do {
            int piece = int(std::min<size_t>(size, 1u << 30));
            XML_Status status = XML_Parse(parser_, data, piece, final && size_t(piece) == size);
            if (!failure_.empty()) ThrowInvalidPackage(failure_);
            if (status != XML_STATUS_OK) {
                if (XML_GetErrorCode(parser_) == XML_ERROR_NO_MEMORY) throw std::bad_alloc();
                ThrowInvalidPackage("3MF: " + part_ + " line " + std::to_string(XML_GetCurrentLineNumber(parser_)) +
                                    ": " + XML_ErrorString(XML_GetErrorCode(parser_)));
            }
            data += piece;
            size -= size_t(piece);
        } while (size > 0);
    }

    bool failed() const { return !failure_.empty(); }
    unsigned long Line() const { return parser_ ? XML_GetCurrentLineNumber(parser_) : 0; }
    const std::string& part() const { return part_; }

    void Fail(const std::string& what)
    {
        if (!failure_.empty()) return;
        failure_ = "3MF: " + part_ + " line " + std::to_string(Line()) + ": " + what;
        XML_StopParser(parser_, XML_FALSE);
    }
    // A refusal found after parsing, with no line to name.
    [[noreturn]] void FailAtEnd(const std::string& what) { ThrowInvalidPackage("3MF: " + part_ + ": " + what); }

private:
    static void OnStart(void* self, const XML_Char* name, const XML_Char** attrs)
    {
        auto* p = static_cast<XmlPass*>(self);
        if (!p->failed()) p->Start(name, attrs);
    }
    static void OnEnd(void* self, const XML_Char* name)
    {
        auto* p = static_cast<XmlPass*>(self);
        if (!p->failed()) p->End(name);
    }
    static void OnText(void* self, const XML_Char* s, int len)
    {
        auto* p = static_cast<XmlPass*>(self);
        if (!p->failed()) p->Text(s, len);
    }
    static void OnXmlDecl(void* self, const XML_Char*, const XML_Char* encoding, int)
    {
        auto* p = static_cast<XmlPass*>(self);
        if (encoding && LowerAscii(encoding) != "utf-8")
            p->Fail(std::string("the part declares encoding ") + encoding + "; 3MF parts must be UTF-8");
    }
    static void OnDoctype(void* self, const XML_Char*, const XML_Char*, const XML_Char*, int)
    {
        static_cast<XmlPass*>(self)->Fail("a document type declaration (DTD) is not allowed");
    }
    static void OnEntityDecl(void* self, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                             const XML_Char*, const XML_Char*, const XML_Char*)
    {
        static_cast<XmlPass*>(self)->Fail("entity declarations are not allowed");
    }
    static void OnNamespace(void* self, const XML_Char* prefix, const XML_Char* uri)
    {
        auto* p = static_cast<XmlPass*>(self);
        if (!p->failed()) p->Namespace(prefix ? prefix : "", uri ? uri : "");
    }
    static void OnNamespaceEnd(void* self, const XML_Char* prefix)
    {
        auto* p = static_cast<XmlPass*>(self);
        if (!p->failed()) p->NamespaceEnd(prefix ? prefix : "");
    }

    static constexpr size_t kChunkBytes = 1 << 20;

    void CheckByteOrderMark(const uint8_t* data, size_t size)
    {
        if (size >= 2 && ((data[0] == 0xFF && data[1] == 0xFE) || (data[0] == 0xFE && data[1] == 0xFF)))
            ThrowInvalidPackage("3MF: " + part_ + " is not UTF-8 (UTF-16 or UTF-32 byte order mark)");
    }

    void Begin()
    {
        owner_.reset(XML_ParserCreateNS("UTF-8", kNsSep));
        if (!owner_) throw std::bad_alloc();
        parser_ = owner_.get();
        XML_SetUserData(parser_, this);
        XML_SetElementHandler(parser_, &XmlPass::OnStart, &XmlPass::OnEnd);
        XML_SetCharacterDataHandler(parser_, &XmlPass::OnText);
        XML_SetXmlDeclHandler(parser_, &XmlPass::OnXmlDecl);
        XML_SetStartDoctypeDeclHandler(parser_, &XmlPass::OnDoctype);
        XML_SetEntityDeclHandler(parser_, &XmlPass::OnEntityDecl);
        XML_SetNamespaceDeclHandler(parser_, &XmlPass::OnNamespace, &XmlPass::OnNamespaceEnd);
        XML_SetParamEntityParsing(parser_, XML_PARAM_ENTITY_PARSING_NEVER);
    }

    void Complete()
    {
        Finish();
        parser_ = nullptr;
        owner_.reset();
    }

    std::string part_;
    std::unique_ptr<XML_ParserStruct, ParserFree> owner_;
    XML_Parser parser_ = nullptr;
    std::string failure_;
};

// Splits an expat name "uri\x01local" into its namespace and local name.
struct QName {
    std::string_view ns, local;
};
QName SplitName(const char* name)
{
    const char* sep = std::strchr(name, kNsSep);
    if (!sep) return {{}, name};
    return {std::string_view(name, size_t(sep - name)), sep + 1};
}

// ---- relationships ----------------------------------------------------

struct Relationship {
    std::string id, type, target, target_mode;
};

class RelsPass : public XmlPass {
public:
    using XmlPass::XmlPass;
    std::vector<Relationship> rels;

protected:
    void Start(const char* name, const char** attrs) override
    {
        depth_++;
        QName q = SplitName(name);
        if (depth_ == 1) {
            if (q.ns != kRelsNamespace || q.local != "Relationships")
                Fail("the root element is not <Relationships> in the package relationships namespace");
            return;
        }
        if (depth_ != 2 || q.ns != kRelsNamespace || q.local != "Relationship") return;
        Relationship rel;
        for (const char** a = attrs; *a; a += 2) {
            std::string_view key = a[0];
            if (key == "Id") rel.id = a[1];
            else if (key == "Type") rel.type = a[1];
            else if (key == "Target") rel.target = a[1];
            else if (key == "TargetMode") rel.target_mode = a[1];
        }
        if (rel.id.empty() || rel.type.empty() || rel.target.empty())
            return Fail("a <Relationship> lacks its Id, Type or Target");
        for (const Relationship& other : rels)
            if (other.id == rel.id) return Fail("relationship Id \"" + rel.id + "\" is used twice");
        rels.push_back(std::move(rel));
    }
    void End(const char*) override { depth_--; }

private:
    int depth_ = 0;
};

int HexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Resolves a relationship target (absolute, or relative to the folder of
// the source part) into a zip entry name; "" for a target that leaves the
// package.
std::string ResolvePartName(std::string_view source_folder, std::string_view target)
{
    std::string decoded;
    for (size_t i = 0; i < target.size(); i++) {
        if (target[i] == '%' && i + 2 < target.size() && HexValue(target[i + 1]) >= 0 &&
            HexValue(target[i + 2]) >= 0) {
            decoded += char(HexValue(target[i + 1]) * 16 + HexValue(target[i + 2]));
            i += 2;
        } else {
            decoded += target[i];
        }
    }
    if (decoded.find(':') != std::string::npos || decoded.find('\\') != std::string::npos) return "";
    std::string joined = decoded.starts_with('/') ? decoded : std::string(source_folder) + "/" + decoded;
    std::vector<std::string_view> segments;
    std::string_view rest = joined;
    while (!rest.empty()) {
        size_t slash = rest.find('/');
        std::string_view seg = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (seg.empty() || seg == ".") continue;
        if (seg == "..") {
            if (segments.empty()) return "";
            segments.pop_back();
            continue;
        }
        segments.push_back(seg);
    }
    std::string out;
    for (std::string_view seg : segments) {
        if (!out.empty()) out += '/';
        out += seg;
    }
    return out;
}

// ---- model part -------------------------------------------------------

enum class El : uint8_t {
    Document, Model, Metadata, Resources, Build, Object, Mesh, Vertices, Triangles, Components,
    BaseMaterials, ColorGroup, TextureGroup, Composites, MultiProps, Leaf
};

const char* ObjectTypeName(ObjectType t)
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

class ModelPass : public XmlPass {
public:
    ModelPass(std::string part, ModelDocument& doc) : XmlPass(std::move(part)), doc_(doc) {}

protected:
    void Namespace(const char* prefix, const char* uri) override
    {
        // Only the declarations on <model> matter: requiredextensions names them.
        if (stack_.size() == 1 && stack_.back() == El::Document) prefixes_.emplace_back(prefix, uri);
        if (*prefix == '\0') default_core_.push_back(std::strcmp(uri, kCoreNamespace) == 0);
    }
    void NamespaceEnd(const char* prefix) override
    {
        if (*prefix == '\0' && !default_core_.empty()) default_core_.pop_back();
    }

    // Runs of plain <vertex x y z/> and <triangle v1 v2 v3/> elements, the
    // bulk of any model, are read here without expat: expat gets the text
    // up to a run, checks it and confirms where it stands, then gets only
    // the run's line ends so that its line numbers stay those of the text.
    // Anything else in a run ends it there and goes to expat and the
    // handlers, which give the same elements the same meaning and every
    // refusal its message. Runs are looked for only in element content, so
    // the scan follows comments, CDATA, processing instructions and quoted
    // attribute values; after a document type declaration (refused) it
    // stops looking.
    size_t Consume(const char* buf, size_t len, bool eof) override
    {
        size_t fed = 0, pos = 0;
        while (pos < len) {
            switch (lex_) {
            case Lex::Off:
                pos = len;
                break;
            case Lex::Content: {
                const void* lt = std::memchr(buf + pos, '<', len - pos);
                if (!lt) {
                    pos = len;
                    break;
                }
                pos = size_t(static_cast<const char*>(lt) - buf);
                if (len - pos < kLookahead && !eof) goto hold;
                std::string_view at(buf + pos, len - pos);
                if (at.starts_with("<!--")) {
                    lex_ = Lex::Comment;
                    pos += 4;
                } else if (at.starts_with("<![CDATA[")) {
                    lex_ = Lex::CData;
                    pos += 9;
                } else if (at.starts_with("<?")) {
                    lex_ = Lex::PI;
                    pos += 2;
                } else if (at.starts_with("<!")) {
                    lex_ = Lex::Off;
                } else {
                    El list = RunListAt(at);
                    if (list != El::Document && misses_ < kMaxMisses) {
                        Feed(buf + fed, pos - fed, false);
                        fed = pos;
                        if (!failed() && skip_depth_ == 0 && stack_.back() == list && !default_core_.empty() &&
                            default_core_.back()) {
                            FastRun run = list == El::Vertices ? ReadRun<true>(buf, pos, len, eof)
                                                               : ReadRun<false>(buf, pos, len, eof);
                            if (run.end > pos) {
                                FeedLineEnds(run.lines);
                                fed = pos = run.end;
                                misses_ = 0;
                                break;
                            }
                            if (run.incomplete) goto hold;
                        }
                        misses_++;
                    }
                    lex_ = Lex::Tag;
                    pos++;
                }
                break;
            }
            case Lex::Tag:
                for (; pos < len; pos++) {
                    char c = buf[pos];
                    if (c == '>') {
                        lex_ = Lex::Content;
                        pos++;
                        break;
                    }
                    if (c == '"' || c == '\'') {
                        quote_ = c;
                        lex_ = Lex::Quote;
                        pos++;
                        break;
                    }
                }
                break;
            case Lex::Quote: {
                const void* q = std::memchr(buf + pos, quote_, len - pos);
                if (!q) {
                    pos = len;
                    break;
                }
                pos = size_t(static_cast<const char*>(q) - buf) + 1;
                lex_ = Lex::Tag;
                break;
            }
            case Lex::Comment:
            case Lex::CData:
            case Lex::PI: {
                std::string_view close = lex_ == Lex::Comment ? "-->" : lex_ == Lex::CData ? "]]>" : "?>";
                size_t at = std::string_view(buf + pos, len - pos).find(close);
                if (at != std::string_view::npos) {
                    pos += at + close.size();
                    lex_ = Lex::Content;
                    break;
                }
                // Keep what could be the start of the closing mark.
                pos = std::max(pos, len - std::min(len, close.size() - 1));
                if (!eof) goto hold;
                pos = len;
                break;
            }
            }
        }
    hold:
        if (eof) pos = len;
        Feed(buf + fed, pos - fed, eof);
        return pos;
    }

    void Start(const char* name, const char** attrs) override
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

    void End(const char*) override
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

    void Text(const char* s, int len) override
    {
        if (skip_depth_ == 0 && stack_.back() == El::Metadata) text_.append(s, size_t(len));
    }

private:
    struct ResourceInfo {
        ResourceKind kind;
        uint32_t index;
        bool complete;
    };

    static std::string Id(uint32_t id) { return std::to_string(id); }
    Object& cur_object() { return doc_.objects.back(); }
    void Push(El el) { stack_.push_back(el); }

    // Attribute lookup over expat's name/value pairs; unqualified names only.
    static const char* Attr(const char** attrs, const char* key)
    {
        for (const char** a = attrs; *a; a += 2)
            if (std::strcmp(a[0], key) == 0) return a[1];
        return nullptr;
    }

    const char* Required(const char** attrs, const char* key, const char* element)
    {
        const char* v = Attr(attrs, key);
        if (!v) Fail(std::string("<") + element + "> has no " + key + " attribute");
        return v;
    }

    bool Number(const char* v, const char* key, const char* element, double& out)
    {
        if (ParseNumber(v, out)) return true;
        Fail(std::string("<") + element + "> " + key + "=\"" + v + "\" is not a valid 3MF number");
        return false;
    }

    bool Index(const char* v, const char* key, const char* element, uint32_t& out)
    {
        if (ParseIndex(v, out)) return true;
        Fail(std::string("<") + element + "> " + key + "=\"" + v + "\" is not a valid index");
        return false;
    }

    bool ParseTransform(const char** attrs, const char* element, Transform& t)
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

    // Registers a new resource id: positive and not used before.
    bool NewResource(const char** attrs, const char* element, ResourceKind kind, uint32_t index, uint32_t& id)
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

    // Number of entries of a property group, or -1 (after Fail) when id names
    // no property group defined before this point.
    int64_t PropertyGroupSize(uint32_t id, const std::string& who)
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

    void StartModel(const char** attrs)
    {
        Push(El::Model);
        for (const char** a = attrs; *a; a += 2) {
            QName q = SplitName(a[0]);
            if (q.ns.empty() && q.local == "unit") {
                static const struct { const char* name; DocUnit unit; } kUnits[] = {
                    {"micron", DocUnit::Micron}, {"millimeter", DocUnit::Millimeter},
                    {"centimeter", DocUnit::Centimeter}, {"inch", DocUnit::Inch},
                    {"foot", DocUnit::Foot}, {"meter", DocUnit::Meter},
                };
                bool known = false;
                for (const auto& u : kUnits)
                    if (std::strcmp(a[1], u.name) == 0) {
                        doc_.unit = u.unit;
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

    bool CheckRequiredExtensions(std::string_view list)
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

    void StartMetadata(const char** attrs)
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

    void StartObject(const char** attrs)
    {
        Object obj;
        uint32_t index = uint32_t(doc_.objects.size());
        if (!NewResource(attrs, "object", ResourceKind::Object, index, obj.id)) return;
        if (const char* t = Attr(attrs, "type")) {
            static const ObjectType kTypes[] = {ObjectType::Model, ObjectType::Support, ObjectType::SolidSupport,
                                                ObjectType::Surface, ObjectType::Other};
            bool known = false;
            for (ObjectType k : kTypes)
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

    void EndObject()
    {
        Object& obj = cur_object();
        if (!object_body_seen_) return Fail("object " + Id(obj.id) + " has neither <mesh> nor <components>");
        MeshData& mesh = obj.mesh;
        if (!mesh.properties.empty()) mesh.properties.resize(mesh.triangles.size());
        // No shrink_to_fit: the copy would hold both blocks at once, while the
        // unused tail of a large block is never touched and takes no memory.
        resources_[obj.id].complete = true;
    }

    void StartVertex(const char** attrs)
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

    void StartTriangle(const char** attrs)
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

    void StartComponent(const char** attrs)
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

    void StartItem(const char** attrs)
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

    void StartBaseMaterials(const char** attrs)
    {
        BaseMaterialGroup g;
        if (!NewResource(attrs, "basematerials", ResourceKind::BaseMaterials, uint32_t(doc_.base_materials.size()), g.id))
            return;
        doc_.base_materials.push_back(std::move(g));
        Push(El::BaseMaterials);
    }

    void StartBase(const char** attrs)
    {
        const char* name = Required(attrs, "name", "base");
        const char* color = name ? Required(attrs, "displaycolor", "base") : nullptr;
        if (!color) return;
        if (!ValidColor(color)) return Fail(std::string("<base> displaycolor=\"") + color + "\" is not an sRGB colour");
        doc_.base_materials.back().materials.push_back({name, color});
        Push(El::Leaf);
    }

    void StartColorGroup(const char** attrs)
    {
        ColorGroup g;
        if (!NewResource(attrs, "colorgroup", ResourceKind::ColorGroup, uint32_t(doc_.color_groups.size()), g.id))
            return;
        doc_.color_groups.push_back(std::move(g));
        Push(El::ColorGroup);
    }

    void StartColor(const char** attrs)
    {
        const char* color = Required(attrs, "color", "color");
        if (!color) return;
        if (!ValidColor(color)) return Fail(std::string("<color> color=\"") + color + "\" is not an sRGB colour");
        doc_.color_groups.back().colors.emplace_back(color);
        Push(El::Leaf);
    }

    void StartTexture(const char** attrs)
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

    void StartTextureGroup(const char** attrs)
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

    void StartTexCoord(const char** attrs)
    {
        const char* u = Required(attrs, "u", "tex2coord");
        const char* v = u ? Required(attrs, "v", "tex2coord") : nullptr;
        TexCoord c;
        if (!v || !Number(u, "u", "tex2coord", c.u) || !Number(v, "v", "tex2coord", c.v)) return;
        doc_.texture_groups.back().coords.push_back(c);
        Push(El::Leaf);
    }

    void StartComposites(const char** attrs)
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

    void StartComposite(const char** attrs)
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

    void StartMultiProps(const char** attrs)
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

    void StartMulti(const char** attrs)
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

    enum class Lex : uint8_t { Content, Tag, Quote, Comment, CData, PI, Off };
    // "<triangle" and the character after it.
    static constexpr size_t kLookahead = 10;
    // An element of a run longer than this is left to expat.
    static constexpr size_t kMaxRunElement = 1024;
    // Lists whose elements keep missing the run form (properties on every
    // triangle, say, or a list in a foreign namespace) are left to expat
    // after this many in a row, until the next list starts.
    static constexpr int kMaxMisses = 8;

    struct FastRun {
        size_t end;      // after the last element read; the start when none
        uint64_t lines;  // line ends up to end
        bool incomplete; // the first element runs past the text at hand
    };

    // El::Vertices or El::Triangles for the start of a run element, else
    // El::Document.
    static El RunListAt(std::string_view at)
    {
        auto named = [&](std::string_view tag) {
            if (!at.starts_with(tag) || at.size() <= tag.size()) return false;
            char c = at[tag.size()];
            return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '/';
        };
        if (named("<vertex")) return El::Vertices;
        if (named("<triangle")) return El::Triangles;
        return El::Document;
    }

    // XML white space from i; counts line ends as expat does (CR LF once).
    static size_t SkipSpace(const char* buf, size_t i, size_t len, uint64_t& lines)
    {
        while (i < len) {
            char c = buf[i];
            if (c == ' ' || c == '\t') {
                i++;
            } else if (c == '\n') {
                lines++;
                i++;
            } else if (c == '\r') {
                lines++;
                i++;
                if (i < len && buf[i] == '\n') i++;
            } else {
                break;
            }
        }
        return i;
    }

    enum class Scan : uint8_t { Read, Other, Short };

    // One element at buf[i] (white space first): "<vertex" or "<triangle",
    // then exactly the three attributes of its kind, each once, in any
    // order, values of printable ASCII without references, then "/>".
    // Slot k of the attribute goes to values[k]; end is past "/>".
    template <bool kVertex>
    static Scan ScanElement(const char* buf, size_t i, size_t len, bool eof, std::string_view (&values)[3],
                            size_t& end, uint64_t& lines)
    {
        const size_t start = i;
        auto out_of_text = [&] { return eof || len - start > kMaxRunElement ? Scan::Other : Scan::Short; };
        i = SkipSpace(buf, i, len, lines);
        constexpr std::string_view tag = kVertex ? "<vertex" : "<triangle";
        if (len - i < tag.size()) return i == len || std::string_view(buf + i, len - i) == tag.substr(0, len - i)
                                              ? out_of_text() : Scan::Other;
        if (std::string_view(buf + i, tag.size()) != tag) return Scan::Other;
        i += tag.size();
        unsigned seen = 0;
        for (;;) {
            size_t before = i;
            i = SkipSpace(buf, i, len, lines);
            if (i == len) return out_of_text();
            if (buf[i] == '/') {
                if (i + 1 == len) return out_of_text();
                if (buf[i + 1] != '>' || seen != 7) return Scan::Other;
                end = i + 2;
                return Scan::Read;
            }
            if (i == before) return Scan::Other;  // attributes are separated by white space
            int slot;
            if (kVertex) {
                slot = buf[i] - 'x';
                if (slot < 0 || slot > 2) return Scan::Other;
                i += 1;
            } else {
                if (buf[i] != 'v') return Scan::Other;
                if (i + 1 == len) return out_of_text();
                slot = buf[i + 1] - '1';
                if (slot < 0 || slot > 2) return Scan::Other;
                i += 2;
            }
            if (seen & (1u << slot)) return Scan::Other;  // expat refuses a repeated attribute
            seen |= 1u << slot;
            i = SkipSpace(buf, i, len, lines);
            if (i == len) return out_of_text();
            if (buf[i] != '=') return Scan::Other;
            i = SkipSpace(buf, i + 1, len, lines);
            if (i == len) return out_of_text();
            char quote = buf[i];
            if (quote != '"' && quote != '\'') return Scan::Other;
            size_t value = ++i;
            for (;; i++) {
                if (i == len) return out_of_text();
                char c = buf[i];
                if (c == quote) break;
                // White space in a value is normalised by expat, '&' starts a
                // reference, '<' is an error: expat's to deal with.
                if (c <= ' ' || c > '~' || c == '&' || c == '<') return Scan::Other;
            }
            values[slot] = std::string_view(buf + value, i - value);
            i++;
        }
    }

    // Reads the run of elements that starts at buf[pos], each checked as the
    // handlers check it; stops before the first one that is anything else.
    template <bool kVertex>
    FastRun ReadRun(const char* buf, size_t pos, size_t len, bool eof)
    {
        FastRun run{pos, 0, false};
        MeshData& mesh = cur_object().mesh;
        uint64_t lines = 0;
        for (;;) {
            std::string_view values[3];
            size_t end = 0;
            Scan scan = ScanElement<kVertex>(buf, run.end, len, eof, values, end, lines);
            if (scan != Scan::Read) {
                run.incomplete = scan == Scan::Short && run.end == pos;
                return run;
            }
            if constexpr (kVertex) {
                Vec3 v;
                if (!ParseNumber(values[0], v.x) || !ParseNumber(values[1], v.y) || !ParseNumber(values[2], v.z))
                    return run;
                mesh.vertices.push_back(v);
            } else {
                std::array<uint32_t, 3> tri;
                for (int k = 0; k < 3; k++)
                    if (!ParseIndex(values[k], tri[k]) || tri[k] >= mesh.vertices.size()) return run;
                if (tri[0] == tri[1] || tri[1] == tri[2] || tri[0] == tri[2]) return run;
                mesh.triangles.push_back(tri);
                if (!mesh.properties.empty()) mesh.properties.push_back(TriangleProperty{});
            }
            run.end = end;
            run.lines = lines;
        }
    }

    void FeedLineEnds(uint64_t lines)
    {
        static const std::string kLineEnds(4096, '\n');
        while (lines > 0) {
            size_t n = size_t(std::min<uint64_t>(lines, kLineEnds.size()));
            Feed(kLineEnds.data(), n, false);
            lines -= n;
        }
    }

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

std::string FolderOf(std::string_view part)
{
    size_t slash = part.rfind('/');
    return slash == std::string_view::npos ? std::string() : std::string(part.substr(0, slash));
}

const ZipEntry* FindPart(const std::vector<ZipEntry>& entries, std::string_view name)
{
    std::string folded = LowerAscii(name);
    for (const ZipEntry& e : entries)
        if (LowerAscii(e.name) == folded) return &e;
    return nullptr;
}

}  // namespace

void ParseModelXml(const uint8_t* data, size_t size, const std::string& part_name, ModelDocument& doc)
{
    ModelPass pass(part_name, doc);
    pass.Run(data, size);
}

namespace {

constexpr size_t kNoPart = SIZE_MAX;

// The entry that the package's 3D model relationship names, found without
// refusing anything (kNoPart when that is not plain): the refusals come
// later, in their order, from the same steps.
size_t FindModelEntry(ZipReader& zip, const std::vector<ZipEntry>& names)
{
    const ZipEntry* root_rels = FindPart(names, "_rels/.rels");
    if (!root_rels) return kNoPart;
    size_t rels_index = size_t(root_rels - names.data());
    try {
        std::vector<uint8_t> bytes = zip.Read(rels_index);
        RelsPass pass("_rels/.rels");
        pass.Run(bytes.data(), bytes.size());
        const Relationship* model_rel = nullptr;
        for (const Relationship& rel : pass.rels) {
            if (rel.type != kModelRelationshipType) continue;
            if (model_rel) return kNoPart;
            model_rel = &rel;
        }
        if (!model_rel || model_rel->target_mode == "External") return kNoPart;
        std::string name = ResolvePartName("", model_rel->target);
        const ZipEntry* model = name.empty() ? nullptr : FindPart(names, name);
        if (!model || model == root_rels) return kNoPart;
        return size_t(model - names.data());
    } catch (const winrt::hresult_error&) {
        return kNoPart;
    }
}

}  // namespace

ModelDocument ReadModelDocument(const uint8_t* data, size_t size)
{
    ZipReader zip(data, size, kMaxPartBytes, kMaxPackageBytes);
    std::vector<ZipEntry> entries(zip.count());
    for (size_t i = 0; i < entries.size(); i++) entries[i].name = zip.name(i);

    // The model part goes from inflate to the parser piece by piece and is
    // never held whole. The refusals keep the order of a package read whole
    // first: a damaged model part is refused before anything found after
    // it in the archive or in any part's content, so each such refusal
    // first checks the model part to the end.
    size_t streamed = FindModelEntry(zip, entries);
    auto model_first = [&] {
        if (streamed != kNoPart) zip.Check(streamed);
    };
    for (size_t i = 0; i < entries.size(); i++) {
        if (i == streamed) continue;
        try {
            entries[i].bytes = zip.Read(i);
        } catch (...) {
            if (streamed < i) model_first();
            throw;
        }
    }

    const ZipEntry* model_part = nullptr;
    std::string folder;
    try {
        if (!FindPart(entries, "[Content_Types].xml"))
            ThrowInvalidPackage("3MF: the package has no [Content_Types].xml part");
        const ZipEntry* root_rels = FindPart(entries, "_rels/.rels");
        if (!root_rels) ThrowInvalidPackage("3MF: the package has no _rels/.rels part, so no model relationship");

        RelsPass rels_pass("_rels/.rels");
        rels_pass.Run(root_rels->bytes.data(), root_rels->bytes.size());
        const Relationship* model_rel = nullptr;
        for (const Relationship& rel : rels_pass.rels) {
            if (rel.type != kModelRelationshipType) continue;
            if (model_rel) ThrowInvalidPackage("3MF: _rels/.rels has more than one 3D model relationship");
            model_rel = &rel;
        }
        if (!model_rel) ThrowInvalidPackage("3MF: _rels/.rels has no 3D model relationship");
        std::string model_name = ResolvePartName("", model_rel->target);
        if (model_rel->target_mode == "External" || model_name.empty())
            ThrowInvalidPackage("3MF: the 3D model relationship points outside the package (" + model_rel->target + ")");
        model_part = FindPart(entries, model_name);
        if (!model_part)
            ThrowInvalidPackage("3MF: the model part " + model_rel->target + " named by _rels/.rels does not exist");

        folder = FolderOf(model_part->name);
        std::string model_file = model_part->name.substr(folder.empty() ? 0 : folder.size() + 1);
        std::string model_rels_name = (folder.empty() ? "" : folder + "/") + "_rels/" + model_file + ".rels";
        if (const ZipEntry* model_rels = FindPart(entries, model_rels_name)) {
            RelsPass pass(model_rels->name);
            pass.Run(model_rels->bytes.data(), model_rels->bytes.size());
        }
    } catch (...) {
        model_first();
        throw;
    }

    ModelDocument doc;
    doc.model_part_name = model_part->name;
    size_t model_index = size_t(model_part - entries.data());
    if (model_index == streamed) {
        ZipReader::Stream in = zip.Open(model_index);
        ModelPass pass(model_part->name, doc);
        try {
            pass.RunStream([&](uint8_t* buf, size_t cap) { return in.Read(buf, cap); });
        } catch (...) {
            in.Finish();
            throw;
        }
        in.Finish();
    } else {
        ParseModelXml(model_part->bytes.data(), model_part->bytes.size(), model_part->name, doc);
    }

    for (const Texture2D& tex : doc.textures) {
        std::string name = ResolvePartName(folder, tex.path);
        if (name.empty() || !FindPart(entries, name))
            ThrowInvalidPackage("3MF: " + model_part->name + ": texture " + std::to_string(tex.id) + " names part " +
                                tex.path + ", which is not in the package");
    }

    doc.model_part_index = model_index;
    for (ZipEntry& e : entries)
        if (&e != model_part) doc.parts.push_back({std::move(e.name), std::move(e.bytes)});
    ReleaseFreedMemory();
    return doc;
}

}  // namespace ombrane::platform
