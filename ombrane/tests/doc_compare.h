// Test helpers over the 3MF document: exact comparison (vertex coordinates
// bit for bit) and the README table of the public corpus.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "model/model_document.h"
#include "ombrane/platform/errors.h"
#include "ombrane/platform/system.h"

namespace ombrane_test {

using namespace ombrane::platform;

// The layer error's code and text raised by f, or code 0 and "" when it
// raised nothing.
struct Raised {
    winrt::hresult code = 0;
    std::string text;
};
template <class F>
Raised RaisedBy(F&& f)
{
    try {
        f();
    } catch (const winrt::hresult_error& e) {
        return {e.code(), WideToUtf8(e.message())};
    }
    return {};
}

inline bool SameBits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

inline void ExpectSameTransform(const Transform& a, const Transform& b, const std::string& what)
{
    EXPECT_EQ(a.present, b.present) << what;
    for (int i = 0; i < 12; i++) EXPECT_TRUE(SameBits(a.m[i], b.m[i])) << what << " m[" << i << "]";
}

inline void ExpectSameMesh(const MeshData& a, const MeshData& b, const std::string& what)
{
    ASSERT_EQ(a.vertices.size(), b.vertices.size()) << what;
    for (size_t i = 0; i < a.vertices.size(); i++) {
        if (!SameBits(a.vertices[i].x, b.vertices[i].x) || !SameBits(a.vertices[i].y, b.vertices[i].y) ||
            !SameBits(a.vertices[i].z, b.vertices[i].z)) {
            ADD_FAILURE() << what << ": vertex " << i << " differs";
            return;
        }
    }
    EXPECT_TRUE(a.triangles == b.triangles) << what << ": triangles differ";
    ASSERT_EQ(a.properties.size(), b.properties.size()) << what;
    for (size_t i = 0; i < a.properties.size(); i++) {
        const TriangleProperty &p = a.properties[i], &q = b.properties[i];
        if (p.pid != q.pid || p.p[0] != q.p[0] || p.p[1] != q.p[1] || p.p[2] != q.p[2]) {
            ADD_FAILURE() << what << ": property of triangle " << i << " differs";
            return;
        }
    }
}

// Everything the document holds, the carried parts byte for byte.
inline void ExpectSameDocument(const ModelDocument& a, const ModelDocument& b)
{
    EXPECT_EQ(a.unit, b.unit);
    EXPECT_EQ(a.language, b.language);
    EXPECT_EQ(a.materials_required, b.materials_required);
    ASSERT_EQ(a.metadata.size(), b.metadata.size());
    for (size_t i = 0; i < a.metadata.size(); i++) {
        EXPECT_EQ(a.metadata[i].name, b.metadata[i].name);
        EXPECT_EQ(a.metadata[i].value, b.metadata[i].value);
        EXPECT_EQ(a.metadata[i].type, b.metadata[i].type);
        EXPECT_EQ(a.metadata[i].preserve, b.metadata[i].preserve);
    }
    ASSERT_EQ(a.resource_order.size(), b.resource_order.size());
    for (size_t i = 0; i < a.resource_order.size(); i++) {
        EXPECT_EQ(a.resource_order[i].kind, b.resource_order[i].kind);
        EXPECT_EQ(a.resource_order[i].index, b.resource_order[i].index);
    }
    ASSERT_EQ(a.objects.size(), b.objects.size());
    for (size_t i = 0; i < a.objects.size(); i++) {
        const Object &o = a.objects[i], &p = b.objects[i];
        std::string what = "object " + std::to_string(o.id);
        EXPECT_EQ(o.id, p.id);
        EXPECT_EQ(o.type, p.type) << what;
        EXPECT_EQ(o.name, p.name) << what;
        EXPECT_EQ(o.part_number, p.part_number) << what;
        EXPECT_EQ(o.thumbnail, p.thumbnail) << what;
        EXPECT_EQ(o.pid, p.pid) << what;
        EXPECT_EQ(o.pindex, p.pindex) << what;
        EXPECT_EQ(o.has_mesh, p.has_mesh) << what;
        ExpectSameMesh(o.mesh, p.mesh, what);
        ASSERT_EQ(o.components.size(), p.components.size()) << what;
        for (size_t c = 0; c < o.components.size(); c++) {
            EXPECT_EQ(o.components[c].object_id, p.components[c].object_id) << what;
            ExpectSameTransform(o.components[c].transform, p.components[c].transform, what);
        }
    }
    ASSERT_EQ(a.base_materials.size(), b.base_materials.size());
    for (size_t i = 0; i < a.base_materials.size(); i++) {
        EXPECT_EQ(a.base_materials[i].id, b.base_materials[i].id);
        ASSERT_EQ(a.base_materials[i].materials.size(), b.base_materials[i].materials.size());
        for (size_t j = 0; j < a.base_materials[i].materials.size(); j++) {
            EXPECT_EQ(a.base_materials[i].materials[j].name, b.base_materials[i].materials[j].name);
            EXPECT_EQ(a.base_materials[i].materials[j].display_color, b.base_materials[i].materials[j].display_color);
        }
    }
    ASSERT_EQ(a.color_groups.size(), b.color_groups.size());
    for (size_t i = 0; i < a.color_groups.size(); i++) {
        EXPECT_EQ(a.color_groups[i].id, b.color_groups[i].id);
        EXPECT_EQ(a.color_groups[i].colors, b.color_groups[i].colors);
    }
    ASSERT_EQ(a.textures.size(), b.textures.size());
    for (size_t i = 0; i < a.textures.size(); i++) {
        const Texture2D &t = a.textures[i], &u = b.textures[i];
        EXPECT_EQ(t.id, u.id);
        EXPECT_EQ(t.path, u.path);
        EXPECT_EQ(t.content_type, u.content_type);
        EXPECT_EQ(t.tile_style_u, u.tile_style_u);
        EXPECT_EQ(t.tile_style_v, u.tile_style_v);
        EXPECT_EQ(t.filter, u.filter);
    }
    ASSERT_EQ(a.texture_groups.size(), b.texture_groups.size());
    for (size_t i = 0; i < a.texture_groups.size(); i++) {
        EXPECT_EQ(a.texture_groups[i].id, b.texture_groups[i].id);
        EXPECT_EQ(a.texture_groups[i].texture_id, b.texture_groups[i].texture_id);
        ASSERT_EQ(a.texture_groups[i].coords.size(), b.texture_groups[i].coords.size());
        for (size_t j = 0; j < a.texture_groups[i].coords.size(); j++) {
            EXPECT_TRUE(SameBits(a.texture_groups[i].coords[j].u, b.texture_groups[i].coords[j].u));
            EXPECT_TRUE(SameBits(a.texture_groups[i].coords[j].v, b.texture_groups[i].coords[j].v));
        }
    }
    ASSERT_EQ(a.composites.size(), b.composites.size());
    for (size_t i = 0; i < a.composites.size(); i++) {
        EXPECT_EQ(a.composites[i].id, b.composites[i].id);
        EXPECT_EQ(a.composites[i].material_id, b.composites[i].material_id);
        EXPECT_EQ(a.composites[i].material_indices, b.composites[i].material_indices);
        EXPECT_EQ(a.composites[i].composites, b.composites[i].composites);
    }
    ASSERT_EQ(a.multi_properties.size(), b.multi_properties.size());
    for (size_t i = 0; i < a.multi_properties.size(); i++) {
        EXPECT_EQ(a.multi_properties[i].id, b.multi_properties[i].id);
        EXPECT_EQ(a.multi_properties[i].pids, b.multi_properties[i].pids);
        EXPECT_EQ(a.multi_properties[i].blend_methods, b.multi_properties[i].blend_methods);
        EXPECT_EQ(a.multi_properties[i].multis, b.multi_properties[i].multis);
    }
    ASSERT_EQ(a.build.size(), b.build.size());
    for (size_t i = 0; i < a.build.size(); i++) {
        EXPECT_EQ(a.build[i].object_id, b.build[i].object_id);
        EXPECT_EQ(a.build[i].part_number, b.build[i].part_number);
        ExpectSameTransform(a.build[i].transform, b.build[i].transform, "build item " + std::to_string(i));
    }
    ASSERT_EQ(a.parts.size(), b.parts.size());
    for (size_t i = 0; i < a.parts.size(); i++) {
        EXPECT_EQ(a.parts[i].name, b.parts[i].name);
        EXPECT_TRUE(a.parts[i].bytes == b.parts[i].bytes) << a.parts[i].name << " changed";
    }
}

// One row of the corpus README: verdict and the counts the summary prints
// (-1 where the README has "-").
struct CorpusCase {
    std::string file, verdict;
    int unit = -1, meshes = -1, objects = -1, items = -1, metadata = -1;
};

inline std::vector<CorpusCase> ReadCorpusTable(const std::string& readme_path)
{
    std::ifstream in(readme_path);
    std::vector<CorpusCase> cases;
    std::string line;
    auto count = [](const std::string& cell) { return cell == "-" ? -1 : std::stoi(cell); };
    while (std::getline(in, line)) {
        if (line.size() < 2 || line[0] != '|' || line.find(".3mf |") == std::string::npos) continue;
        std::vector<std::string> cells;
        std::stringstream row(line.substr(1));
        std::string cell;
        while (std::getline(row, cell, '|')) {
            size_t b = cell.find_first_not_of(' '), e = cell.find_last_not_of(' ');
            cells.push_back(b == std::string::npos ? "" : cell.substr(b, e - b + 1));
        }
        if (cells.size() < 10) continue;
        CorpusCase c;
        c.file = cells[0];
        c.verdict = cells[2];
        size_t paren = cells[4].find('(');
        if (paren != std::string::npos) c.unit = std::stoi(cells[4].substr(paren + 1));
        c.meshes = count(cells[5]);
        c.objects = count(cells[6]);
        c.items = count(cells[7]);
        c.metadata = count(cells[8]);
        cases.push_back(c);
    }
    // A missing table would leave every test over it with nothing to check.
    if (cases.empty()) ADD_FAILURE() << "no package row in " << readme_path;
    return cases;
}

}  // namespace ombrane_test
