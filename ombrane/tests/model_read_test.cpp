// The model part reader: what it keeps, what it refuses and how the refusal
// names the problem and its line.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "3mf/package.h"
#include "doc_compare.h"
#include "model/model_document.h"
#include "model_xml.h"

namespace {

using namespace ombrane::platform;
using namespace ombrane_test;


// One mesh object 1 (a tetrahedron) plus extra resources, one build item.
std::string Model(const std::string& resources_before = "", const std::string& triangles_extra = "",
                  const std::string& object_attrs = "", const std::string& build = "<item objectid=\"1\"/>")
{
    return kModelHead + "<resources>\n" + resources_before + "<object id=\"1\" type=\"model\"" + object_attrs +
           "><mesh><vertices>\n"
           "<vertex x=\"0\" y=\"0\" z=\"0\"/><vertex x=\"1\" y=\"0\" z=\"0\"/>\n"
           "<vertex x=\"0\" y=\"1\" z=\"0\"/><vertex x=\"0\" y=\"0\" z=\"1\"/>\n"
           "</vertices><triangles>\n"
           "<triangle v1=\"0\" v2=\"2\" v3=\"1\"/><triangle v1=\"0\" v2=\"1\" v3=\"3\"/>\n"
           "<triangle v1=\"1\" v2=\"2\" v3=\"3\"/><triangle v1=\"2\" v2=\"0\" v3=\"3\"/>\n" +
           triangles_extra + "</triangles></mesh></object>\n</resources>\n<build>" + build + "</build>\n</model>\n";
}

Raised Parse(const std::string& xml, ModelDocument& doc)
{
    return RaisedBy([&] {
        ParseModelXml(reinterpret_cast<const uint8_t*>(xml.data()), xml.size(), "3D/3dmodel.model", doc);
    });
}

TEST(ModelRead, KeepsCoreAndMaterialContent)
{
    std::string xml = kModelHead +
        "<metadata name=\"Title\" type=\"xs:string\">A &amp; B</metadata>\n"
        "<resources>\n"
        "<basematerials id=\"1\"><base name=\"PLA\" displaycolor=\"#FF0000\"/></basematerials>\n"
        "<m:colorgroup id=\"2\"><m:color color=\"#00FF00FF\"/><m:color color=\"#0000ff\"/></m:colorgroup>\n"
        "<object id=\"3\" type=\"support\" name=\"s\" pid=\"2\" pindex=\"1\"><mesh><vertices>\n"
        "<vertex x=\"+1.5\" y=\" -2e3 \" z=\".25\"/><vertex x=\"1.\" y=\"0\" z=\"-0\"/><vertex x=\"0\" y=\"1\" z=\"0\"/>\n"
        "</vertices><triangles><triangle v1=\"0\" v2=\"1\" v3=\"2\" pid=\"1\" p1=\"0\"/></triangles></mesh></object>\n"
        "<object id=\"4\"><components><component objectid=\"3\" transform=\"1 0 0 0 1 0 0 0 1 5 6 7\"/>"
        "</components></object>\n"
        "</resources>\n<build><item objectid=\"4\" transform=\"2 0 0 0 2 0 0 0 2 0 0 0\" partnumber=\"P\"/></build>\n"
        "</model>\n";
    ModelDocument doc;
    Raised r = Parse(xml, doc);
    ASSERT_EQ(r.code, 0) << r.text;
    ASSERT_EQ(doc.metadata.size(), 1u);
    EXPECT_EQ(doc.metadata[0].value, "A & B");
    EXPECT_EQ(doc.metadata[0].type, "xs:string");
    ASSERT_EQ(doc.objects.size(), 2u);
    const Object& mesh_obj = doc.objects[0];
    EXPECT_EQ(mesh_obj.type, ObjectType::Support);
    EXPECT_EQ(mesh_obj.pid, 2u);
    EXPECT_EQ(mesh_obj.pindex, 1u);
    ASSERT_EQ(mesh_obj.mesh.vertices.size(), 3u);
    EXPECT_EQ(mesh_obj.mesh.vertices[0].x, 1.5);
    EXPECT_EQ(mesh_obj.mesh.vertices[0].y, -2000.0);
    EXPECT_EQ(mesh_obj.mesh.vertices[0].z, 0.25);
    EXPECT_TRUE(std::signbit(mesh_obj.mesh.vertices[1].z));
    ASSERT_EQ(mesh_obj.mesh.properties.size(), 1u);
    EXPECT_EQ(mesh_obj.mesh.properties[0].pid, 1u);
    EXPECT_EQ(mesh_obj.mesh.properties[0].p[0], 0u);
    EXPECT_EQ(mesh_obj.mesh.properties[0].p[1], kNoProperty);
    const Object& parent = doc.objects[1];
    EXPECT_FALSE(parent.has_mesh);
    ASSERT_EQ(parent.components.size(), 1u);
    EXPECT_TRUE(parent.components[0].transform.present);
    EXPECT_EQ(parent.components[0].transform.m[11], 7.0);
    ASSERT_EQ(doc.build.size(), 1u);
    EXPECT_EQ(doc.build[0].part_number, "P");
    EXPECT_EQ(doc.build[0].transform.m[0], 2.0);
    ASSERT_EQ(doc.resource_order.size(), 4u);
    EXPECT_EQ(doc.resource_order[1].kind, ResourceKind::ColorGroup);
}

TEST(ModelRead, PropertiesStayParallelToTriangles)
{
    // Only the second triangle carries a property: the first gets an empty slot.
    std::string groups = "<m:colorgroup id=\"5\"><m:color color=\"#000000\"/><m:color color=\"#FFFFFF\"/></m:colorgroup>";
    ModelDocument doc;
    Raised r = Parse(Model(groups, "<triangle v1=\"3\" v2=\"1\" v3=\"0\" pid=\"5\" p1=\"1\" p2=\"0\" p3=\"1\"/>"), doc);
    ASSERT_EQ(r.code, 0) << r.text;
    const MeshData& mesh = doc.objects[0].mesh;
    ASSERT_EQ(mesh.properties.size(), mesh.triangles.size());
    EXPECT_EQ(mesh.properties[0].pid, kNoProperty);
    EXPECT_EQ(mesh.properties[4].pid, 5u);
    EXPECT_EQ(mesh.properties[4].p[2], 1u);
}

TEST(ModelRead, IgnoresUnknownNamespacesAndIgnorableMarkup)
{
    std::string xml = kModelHead.substr(0, kModelHead.size() - 2) +
        " xmlns:x=\"urn:other\" xmlns:mc=\"http://schemas.openxmlformats.org/markup-compatibility/2006\" "
        "mc:Ignorable=\"x\" x:flag=\"1\">\n"
        "<x:extra><object id=\"9\"/></x:extra>\n"
        "<resources><x:thing a=\"b\"><x:deeper/></x:thing>\n"
        "<object id=\"1\" x:uuid=\"u\"><mesh><vertices/><triangles/><x:lattice/></mesh></object></resources>\n"
        "<build><item objectid=\"1\" x:a=\"1\"/></build></model>\n";
    ModelDocument doc;
    Raised r = Parse(xml, doc);
    ASSERT_EQ(r.code, 0) << r.text;
    EXPECT_EQ(doc.objects.size(), 1u);
    EXPECT_EQ(doc.build.size(), 1u);
}

TEST(ModelRead, RequiredExtensions)
{
    struct Case { const char* name; const char* attrs; bool ok; const char* message; };
    const Case cases[] = {
        {"none", "requiredextensions=\"\"", true, ""},
        {"materials", "requiredextensions=\"m\"", true, ""},
        {"undeclared prefix", "requiredextensions=\"m zz\"", false, "prefix \"zz\", which is not declared"},
        {"unknown extension", "xmlns:b=\"http://example.com/beams\" requiredextensions=\"b\"", false,
         "requires extension http://example.com/beams"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string xml = Model();
        xml.insert(xml.find("<model ") + 7, std::string(c.attrs) + " ");
        ModelDocument doc;
        Raised r = Parse(xml, doc);
        EXPECT_EQ(r.code == 0, c.ok) << r.text;
        if (!c.ok) {
            EXPECT_EQ(r.code, kInvalidData);
            EXPECT_NE(r.text.find(c.message), std::string::npos) << r.text;
        }
    }
}

TEST(ModelRead, UnitsMapToThePlatformEnumeration)
{
    const std::pair<const char*, DocUnit> units[] = {
        {"meter", DocUnit::Meter}, {"micron", DocUnit::Micron}, {"millimeter", DocUnit::Millimeter},
        {"centimeter", DocUnit::Centimeter}, {"inch", DocUnit::Inch}, {"foot", DocUnit::Foot},
    };
    for (const auto& [name, unit] : units) {
        std::string xml = Model();
        xml.replace(xml.find("millimeter"), 10, name);
        ModelDocument doc;
        Raised r = Parse(xml, doc);
        ASSERT_EQ(r.code, 0) << name << ": " << r.text;
        EXPECT_EQ(doc.unit, unit) << name;
    }
    ModelDocument doc;
    std::string no_unit = Model();
    no_unit.erase(no_unit.find("unit=\"millimeter\""), 17);
    ASSERT_EQ(Parse(no_unit, doc).code, 0);
    EXPECT_EQ(doc.unit, DocUnit::Millimeter);
}

TEST(ModelRead, RefusesWhatAConsumerMustRefuse)
{
    const std::string colors = "<m:colorgroup id=\"7\"><m:color color=\"#000000\"/></m:colorgroup>\n";
    const std::string tri = "<triangle v1=\"0\" v2=\"1\" v3=\"2\"/>";
    struct Case { const char* name; std::string xml; const char* message; int line; };
    auto replaced = [](std::string s, const std::string& from, const std::string& to) {
        return s.replace(s.find(from), from.size(), to);
    };
    const Case cases[] = {
        {"not well-formed", replaced(Model(), "</build>", "</buildx>"), "mismatched tag", 12},
        {"DTD", replaced(Model(), "<model ", "<!DOCTYPE model [<!ENTITY a \"aaaa\">]>\n<model "),
         "document type declaration", 2},
        {"declared non-UTF-8 encoding", replaced(Model(), "UTF-8", "ISO-8859-1"), "must be UTF-8", 1},
        {"invalid UTF-8 bytes", replaced(Model(), "type=\"model\"", "name=\"\xC3\x28\""), "not well-formed", 4},
        {"wrong root namespace", replaced(Model(), "core/2015/02", "core/2099/01"), "not <model> in the 3MF core", 2},
        {"unknown unit", replaced(Model(), "millimeter", "furlong"), "unit \"furlong\"", 2},
        {"decimal comma", replaced(Model(), "x=\"1\"", "x=\"1,5\""), "x=\"1,5\" is not a valid 3MF number", 5},
        {"infinity", replaced(Model(), "x=\"1\"", "x=\"inf\""), "not a valid 3MF number", 5},
        {"hexadecimal", replaced(Model(), "x=\"1\"", "x=\"0x1\""), "not a valid 3MF number", 5},
        {"overflow", replaced(Model(), "x=\"1\"", "x=\"1e999\""), "not a valid 3MF number", 5},
        {"exponent without digits", replaced(Model(), "x=\"1\"", "x=\"1e\""), "not a valid 3MF number", 5},
        {"missing coordinate", replaced(Model(), "y=\"1\" z=\"0\"", "z=\"0\""), "lacks one of its x, y, z", 6},
        {"index out of range", Model("", "<triangle v1=\"0\" v2=\"1\" v3=\"4\"/>"),
         "vertex index 4, out of range (4 vertices)", 10},
        {"negative index", Model("", "<triangle v1=\"0\" v2=\"-1\" v3=\"2\"/>"), "v2=\"-1\" is not a valid index", 10},
        {"repeated index", Model("", "<triangle v1=\"2\" v2=\"1\" v3=\"2\"/>"), "repeats a vertex index", 10},
        {"duplicate id", Model(colors + "<m:colorgroup id=\"1\"><m:color color=\"#000000\"/></m:colorgroup>\n"),
         "resource id 1 is used twice", 6},
        {"missing id", replaced(Model(), "<object id=\"1\"", "<object"), "<object> has no id", 4},
        {"id zero", replaced(Model(), "<object id=\"1\"", "<object id=\"0\""), "ids start at 1", 4},
        {"build item to a missing object", Model("", "", "", "<item objectid=\"2\"/>"), "object 2, which does not exist", 12},
        {"build item to type other", replaced(Model(), "type=\"model\"", "type=\"other\""), "of type other", 12},
        {"invalid object type", replaced(Model(), "type=\"model\"", "type=\"solid\""), "type \"solid\"", 4},
        {"object property group undefined", Model("", "", " pid=\"7\" pindex=\"0\""), "property group 7", 4},
        {"object pindex out of range", Model(colors, "", " pid=\"7\" pindex=\"1\""), "pindex 1, out of range", 5},
        {"triangle property out of range", Model(colors, "<triangle v1=\"3\" v2=\"1\" v3=\"0\" pid=\"7\" p1=\"1\"/>"),
         "p1=1, out of range (1 entries in group 7)", 11},
        {"triangle property without pid", Model("", "<triangle v1=\"3\" v2=\"1\" v3=\"0\" p1=\"0\"/>"),
         "neither it nor object 1 has a pid", 10},
        {"no resources", kModelHead + "<build/></model>", "no <resources> before its <build>", 3},
        {"no build", kModelHead + "<resources/></model>", "<model> has no <build>", 3},
        {"object without body", replaced(Model(), "<resources>\n", "<resources>\n<object id=\"5\"></object>"),
         "object 5 has neither", 4},
        {"bad colour", Model("<basematerials id=\"7\"><base name=\"a\" displaycolor=\"red\"/></basematerials>\n"),
         "displaycolor=\"red\" is not an sRGB colour", 4},
        {"junk after the root", Model() + "<model/>", "junk after document element", 14},
        {"unbound prefix", replaced(Model(), "<build>", "<build><q:item/>"), "unbound prefix", 12},
        {"duplicate attribute", replaced(Model(), "type=\"model\"", "type=\"model\" type=\"model\""),
         "duplicate attribute", 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ModelDocument doc;
        Raised r = Parse(c.xml, doc);
        EXPECT_EQ(r.code, kInvalidData) << "accepted";
        EXPECT_NE(r.text.find(c.message), std::string::npos) << r.text;
        EXPECT_NE(r.text.find("3D/3dmodel.model line " + std::to_string(c.line) + ":"), std::string::npos) << r.text;
    }
}

TEST(ModelRead, ComponentsReferOnlyToEarlierObjects)
{
    struct Case { const char* name; std::string resources; const char* message; };
    const std::string mesh = "<object id=\"1\"><mesh><vertices/><triangles/></mesh></object>";
    const Case cases[] = {
        {"self", "<object id=\"2\"><components><component objectid=\"2\"/></components></object>" + mesh,
         "refers to itself"},
        {"later", "<object id=\"2\"><components><component objectid=\"3\"/></components></object>"
                  "<object id=\"3\"><components><component objectid=\"1\"/></components></object>" + mesh,
         "refers to object 3, which is not defined before it"},
        {"material", "<m:colorgroup id=\"4\"><m:color color=\"#000000\"/></m:colorgroup>"
                     "<object id=\"2\"><components><component objectid=\"4\"/></components></object>" + mesh,
         "refers to object 4"},
        {"bad transform", mesh + "<object id=\"2\"><components><component objectid=\"1\" transform=\"1 0 0\"/>"
                                 "</components></object>",
         "is not 12 valid 3MF numbers"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string xml = kModelHead + "<resources>" + c.resources + "</resources><build><item objectid=\"1\"/></build></model>";
        ModelDocument doc;
        Raised r = Parse(xml, doc);
        EXPECT_EQ(r.code, kInvalidData);
        EXPECT_NE(r.text.find(c.message), std::string::npos) << r.text;
    }
}

TEST(ModelRead, RefusesEntityExpansion)
{
    // A billion laughs needs a DTD, which is refused before any expansion.
    std::string xml = "<?xml version=\"1.0\"?>\n<!DOCTYPE model [\n<!ENTITY a \"aaaaaaaaaa\">\n"
                      "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">\n]>\n<model>&b;</model>";
    ModelDocument doc;
    Raised r = Parse(xml, doc);
    EXPECT_EQ(r.code, kInvalidData);
    EXPECT_NE(r.text.find("DTD"), std::string::npos) << r.text;
}

}  // namespace
