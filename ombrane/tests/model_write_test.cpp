// The writer: values that are hard to print read back bit for bit, text is
// escaped, and a package found through relative or encoded names keeps its
// model part and its other parts where they were.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

#include "3mf/package.h"
#include "doc_compare.h"
#include "io/zip_package.h"
#include "model/model_document.h"

namespace {

using namespace ombrane::platform;
using namespace ombrane_test;

ModelDocument RoundTrip(const ModelDocument& doc)
{
    std::vector<uint8_t> bytes = WriteModelDocument(doc);
    return ReadModelDocument(bytes.data(), bytes.size());
}

TEST(ModelWrite, HardValuesAndTextComeBackExactly)
{
    const double values[] = {0.1, -0.0, 1e-320, DBL_MIN, DBL_MAX, -DBL_MAX, 1.0 / 3, 123456789.125, 5e-324,
                             std::nextafter(1.0, 2.0)};
    ModelDocument doc;
    doc.unit = DocUnit::Inch;
    doc.language = "fr-FR";
    doc.metadata = {{"Title", "a & b < c > \"d\"\ttab\r\nline", "xs:string", "1"}};
    Object obj;
    obj.id = 3;
    obj.has_mesh = true;
    obj.name = "n\"&<";
    for (double v : values) obj.mesh.vertices.push_back({v, -v, v * 0.5});
    obj.mesh.triangles = {{0, 1, 2}, {3, 4, 5}};
    doc.objects.push_back(obj);
    doc.resource_order.push_back({ResourceKind::Object, 0});
    BuildItem item;
    item.object_id = 3;
    item.transform.present = true;
    item.transform.m[9] = 0.1;
    doc.build.push_back(item);
    ModelDocument again = RoundTrip(doc);
    // A document of our own gets the package's two OPC parts.
    EXPECT_EQ(again.model_part_name, "3D/3dmodel.model");
    EXPECT_EQ(again.parts.size(), 2u);
    again.parts.clear();
    ExpectSameDocument(doc, again);
}

// Reader and writer share one table of names: every value of both
// enumerations, counted from the enumeration itself, must come back.
TEST(ModelWrite, EveryUnitAndObjectTypeComesBack)
{
    for (int u = int(DocUnit::Meter); u <= int(DocUnit::Foot); u++) {
        for (int t = int(ObjectType::Model); t <= int(ObjectType::Other); t++) {
            SCOPED_TRACE("unit " + std::to_string(u) + ", object type " + std::to_string(t));
            ModelDocument doc;
            doc.unit = DocUnit(u);
            // A build item may not name an object of type other: the build
            // takes a plain model object beside it.
            for (uint32_t id : {1u, 2u}) {
                Object obj;
                obj.id = id;
                obj.type = id == 1 ? ObjectType(t) : ObjectType::Model;
                obj.has_mesh = true;
                obj.mesh.vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
                obj.mesh.triangles = {{0, 1, 2}};
                doc.resource_order.push_back({ResourceKind::Object, uint32_t(doc.objects.size())});
                doc.objects.push_back(obj);
            }
            doc.build.push_back(BuildItem{2, {}, {}});
            ModelDocument again = RoundTrip(doc);
            again.parts.clear();
            ExpectSameDocument(doc, again);
        }
    }
}

TEST(ModelWrite, PackageFoundThroughRelativeNamesKeepsItsParts)
{
    const std::string types = "<?xml version=\"1.0\"?><Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\"/>";
    const std::string rels =
        "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
        "<Relationship Id=\"r\" Target=\"./3D/../3D/my%20model.model\" "
        "Type=\"http://schemas.microsoft.com/3dmanufacturing/2013/01/3dmodel\"/></Relationships>";
    const std::string model =
        "<model xmlns=\"http://schemas.microsoft.com/3dmanufacturing/core/2015/02\" "
        "xmlns:m=\"http://schemas.microsoft.com/3dmanufacturing/material/2015/02\"><resources>"
        "<m:texture2d id=\"1\" path=\"/3D/tex.png\" contenttype=\"image/png\"/>"
        "<object id=\"2\"><mesh><vertices/><triangles/></mesh></object></resources>"
        "<build><item objectid=\"2\"/></build></model>";
    const std::string png = std::string("\x89PNG\r\n\x1a\n\0\0", 10);
    auto zip = [&](const std::string& texture_name) {
        std::vector<ZipInput> in = {
            {"[Content_Types].xml", reinterpret_cast<const uint8_t*>(types.data()), types.size()},
            {"_rels/.rels", reinterpret_cast<const uint8_t*>(rels.data()), rels.size()},
            {"3D/my model.model", reinterpret_cast<const uint8_t*>(model.data()), model.size()},
            {texture_name, reinterpret_cast<const uint8_t*>(png.data()), png.size()},
        };
        return WriteZip(in);
    };
    std::vector<uint8_t> bytes = zip("3D/tex.png");
    ModelDocument doc = ReadModelDocument(bytes.data(), bytes.size());
    EXPECT_EQ(doc.model_part_name, "3D/my model.model");
    ASSERT_EQ(doc.parts.size(), 3u);
    EXPECT_EQ(doc.parts[2].name, "3D/tex.png");
    ModelDocument again = RoundTrip(doc);
    ExpectSameDocument(doc, again);
    EXPECT_EQ(again.model_part_name, doc.model_part_name);
    EXPECT_EQ(again.model_part_index, 2u);

    std::vector<uint8_t> without_texture = zip("3D/other.png");
    Raised r = RaisedBy([&] { ReadModelDocument(without_texture.data(), without_texture.size()); });
    EXPECT_EQ(r.code, kInvalidData);
    EXPECT_NE(r.text.find("texture 1 names part /3D/tex.png, which is not in the package"), std::string::npos) << r.text;
}

}  // namespace
