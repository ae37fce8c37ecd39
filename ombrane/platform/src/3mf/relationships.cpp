// Relationships by one expat pass; targets resolved as relative URIs into part names.
// Percent-decoded, dot segments removed, against the source part's folder.
#include "3mf/relationships.h"

namespace ombrane::platform {

namespace {

constexpr const char* kRelsNamespace = "http://schemas.openxmlformats.org/package/2006/relationships";

int HexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

void RelsPass::Start(const char* name, const char** attrs)
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

std::string FolderOf(std::string_view part)
{
    size_t slash = part.rfind('/');
    return slash == std::string_view::npos ? std::string() : std::string(part.substr(0, slash));
}

}  // namespace ombrane::platform
