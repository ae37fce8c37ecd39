// Package reading: relationships first, then the model part streamed from inflate to parser.
// Every other part is inflated and carried as bytes; the refusals keep the
// order of a package read whole.
#include "3mf/package.h"

#include <cstdint>
#include <string>
#include <vector>

#include "3mf/model_pass.h"
#include "3mf/names.h"
#include "3mf/relationships.h"
#include "io/zip_package.h"
#include "ombrane/platform/errors.h"

namespace ombrane::platform {

namespace {

// Part names compare without ASCII case.
const ZipEntry* FindPart(const std::vector<ZipEntry>& entries, std::string_view name)
{
    std::string folded = LowerAscii(name);
    for (const ZipEntry& e : entries)
        if (LowerAscii(e.name) == folded) return &e;
    return nullptr;
}

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
