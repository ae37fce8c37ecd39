// Package relationships: the pass over a .rels part, and the part names
// that relationship targets resolve to.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "3mf/xml_pass.h"

namespace ombrane::platform {

struct Relationship {
    std::string id, type, target, target_mode;
};

// The <Relationship> elements of a .rels part, in document order; refuses a
// root other than <Relationships>, a relationship without its Id, Type or
// Target, and an Id used twice.
class RelsPass : public XmlPass {
public:
    using XmlPass::XmlPass;
    std::vector<Relationship> rels;

protected:
    void Start(const char* name, const char** attrs) override;
    void End(const char*) override { depth_--; }

private:
    int depth_ = 0;
};

// Resolves a relationship target (absolute, or relative to the folder of
// the source part) into a zip entry name; "" for a target that leaves the
// package.
std::string ResolvePartName(std::string_view source_folder, std::string_view target);

// The folder of a part name, "" at the package root.
std::string FolderOf(std::string_view part);

}  // namespace ombrane::platform
