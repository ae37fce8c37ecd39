// One expat pass over a part, a refusal stored by the handlers and raised after expat returns.
// Namespace-aware and UTF-8 only; a document type or entity declaration is
// refused.
#include "3mf/xml_pass.h"

#include <algorithm>
#include <new>

#include "io/zip_package.h"

namespace ombrane::platform {

void XmlPass::Run(const uint8_t* data, size_t size)
{
    CheckByteOrderMark(data, size);
    if (size > size_t(INT32_MAX))
        ThrowInvalidPackage("3MF: " + part_ + " is too large to parse");
    Begin();
    Consume(reinterpret_cast<const char*>(data), size, true);
    Complete();
}

void XmlPass::Feed(const char* data, size_t size, bool final)
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

void XmlPass::Fail(const std::string& what)
{
    if (!failure_.empty()) return;
    failure_ = "3MF: " + part_ + " line " + std::to_string(Line()) + ": " + what;
    XML_StopParser(parser_, XML_FALSE);
}

void XmlPass::FailAtEnd(const std::string& what)
{
    ThrowInvalidPackage("3MF: " + part_ + ": " + what);
}

void XmlPass::OnStart(void* self, const XML_Char* name, const XML_Char** attrs)
{
    auto* p = static_cast<XmlPass*>(self);
    if (!p->failed()) p->Start(name, attrs);
}

void XmlPass::OnEnd(void* self, const XML_Char* name)
{
    auto* p = static_cast<XmlPass*>(self);
    if (!p->failed()) p->End(name);
}

void XmlPass::OnText(void* self, const XML_Char* s, int len)
{
    auto* p = static_cast<XmlPass*>(self);
    if (!p->failed()) p->Text(s, len);
}

void XmlPass::OnXmlDecl(void* self, const XML_Char*, const XML_Char* encoding, int)
{
    auto* p = static_cast<XmlPass*>(self);
    if (encoding && LowerAscii(encoding) != "utf-8")
        p->Fail(std::string("the part declares encoding ") + encoding + "; 3MF parts must be UTF-8");
}

void XmlPass::OnDoctype(void* self, const XML_Char*, const XML_Char*, const XML_Char*, int)
{
    static_cast<XmlPass*>(self)->Fail("a document type declaration (DTD) is not allowed");
}

void XmlPass::OnEntityDecl(void* self, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                           const XML_Char*, const XML_Char*, const XML_Char*)
{
    static_cast<XmlPass*>(self)->Fail("entity declarations are not allowed");
}

void XmlPass::OnNamespace(void* self, const XML_Char* prefix, const XML_Char* uri)
{
    auto* p = static_cast<XmlPass*>(self);
    if (!p->failed()) p->Namespace(prefix ? prefix : "", uri ? uri : "");
}

void XmlPass::OnNamespaceEnd(void* self, const XML_Char* prefix)
{
    auto* p = static_cast<XmlPass*>(self);
    if (!p->failed()) p->NamespaceEnd(prefix ? prefix : "");
}

void XmlPass::CheckByteOrderMark(const uint8_t* data, size_t size)
{
    if (size >= 2 && ((data[0] == 0xFF && data[1] == 0xFE) || (data[0] == 0xFE && data[1] == 0xFF)))
        ThrowInvalidPackage("3MF: " + part_ + " is not UTF-8 (UTF-16 or UTF-32 byte order mark)");
}

void XmlPass::Begin()
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

void XmlPass::Complete()
{
    Finish();
    parser_ = nullptr;
    owner_.reset();
}

}  // namespace ombrane::platform
