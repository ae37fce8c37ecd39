// One expat pass over a part of the package, and the names it hands on.
#pragma once

#include <expat.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace ombrane::platform {

// Separates a namespace from the local name in the names expat hands on.
inline constexpr char kNsSep = '\x01';

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
    void Run(const uint8_t* data, size_t size);

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
    void Feed(const char* data, size_t size, bool final);

    bool failed() const { return !failure_.empty(); }
    unsigned long Line() const { return parser_ ? XML_GetCurrentLineNumber(parser_) : 0; }
    const std::string& part() const { return part_; }

    void Fail(const std::string& what);
    // A refusal found after parsing, with no line to name.
    [[noreturn]] void FailAtEnd(const std::string& what);

private:
    static void OnStart(void* self, const XML_Char* name, const XML_Char** attrs);
    static void OnEnd(void* self, const XML_Char* name);
    static void OnText(void* self, const XML_Char* s, int len);
    static void OnXmlDecl(void* self, const XML_Char*, const XML_Char* encoding, int);
    static void OnDoctype(void* self, const XML_Char*, const XML_Char*, const XML_Char*, int);
    static void OnEntityDecl(void* self, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                             const XML_Char*, const XML_Char*, const XML_Char*);
    static void OnNamespace(void* self, const XML_Char* prefix, const XML_Char* uri);
    static void OnNamespaceEnd(void* self, const XML_Char* prefix);

    static constexpr size_t kChunkBytes = 1 << 20;

    void CheckByteOrderMark(const uint8_t* data, size_t size);
    void Begin();
    void Complete();

    std::string part_;
    std::unique_ptr<XML_ParserStruct, ParserFree> owner_;
    XML_Parser parser_ = nullptr;
    std::string failure_;
};

// Splits an expat name "uri\x01local" into its namespace and local name.
struct QName {
    std::string_view ns, local;
};
inline QName SplitName(const char* name)
{
    const char* sep = std::strchr(name, kNsSep);
    if (!sep) return {{}, name};
    return {std::string_view(name, size_t(sep - name)), sep + 1};
}

}  // namespace ombrane::platform
