// The model part read as a stream, with plain vertex and triangle runs read
// past expat: the same document, the same refusals with the same lines, as
// when every element goes through expat and the handlers. An extra ignored
// attribute on each element is what sends it that way, so the reference is
// the same text with that attribute added.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <regex>
#include <string>
#include <vector>

#include "3mf/package.h"
#include "doc_compare.h"
#include "io/zip_package.h"
#include "model/model_document.h"
#include "model_xml.h"

namespace {

using namespace ombrane::platform;
using namespace ombrane_test;

const std::string kTail = "</triangles></mesh></object>\n</resources>\n<build><item objectid=\"1\"/></build>\n</model>\n";

std::string Model(const std::string& vertices, const std::string& triangles, const std::string& pad = "")
{
    return kModelHead + "<metadata name=\"pad\">" + pad + "</metadata>\n<resources>\n" +
           "<basematerials id=\"5\"><base name=\"a\" displaycolor=\"#FF0000\"/>"
           "<base name=\"b\" displaycolor=\"#00FF00\"/></basematerials>\n"
           "<object id=\"1\" type=\"model\"><mesh><vertices>\n" +
           vertices + "</vertices><triangles>\n" + triangles + kTail;
}

// Each vertex and triangle element with an attribute the handlers ignore.
std::string Decorated(const std::string& xml)
{
    static const std::regex kElement("<(vertex|triangle)([ \t\r\n/])");
    return std::regex_replace(xml, kElement, "<$1 k=\"0\"$2");
}

// The package relationships naming the model part.
const std::string kRootRels =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
    "<Relationship Target=\"/3D/3dmodel.model\" Id=\"rel0\" "
    "Type=\"http://schemas.microsoft.com/3dmanufacturing/2013/01/3dmodel\"/></Relationships>\n";

// A zip entry over s, which must outlive the write.
ZipInput ZipEntry(const char* name, const std::string& s)
{
    return ZipInput{name, reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

std::vector<uint8_t> Package(const std::string& xml)
{
    const std::string types =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
        "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
        "<Default Extension=\"model\" ContentType=\"application/vnd.ms-package.3dmanufacturing-3dmodel+xml\"/>"
        "</Types>\n";
    return WriteZip({ZipEntry("[Content_Types].xml", types), ZipEntry("_rels/.rels", kRootRels), ZipEntry("3D/3dmodel.model", xml)});
}

struct Outcome {
    Raised raised;
    ModelDocument doc;
};

Outcome FromPackage(const std::vector<uint8_t>& zip)
{
    Outcome o;
    o.raised = RaisedBy([&] { o.doc = ReadModelDocument(zip.data(), zip.size()); });
    return o;
}

Outcome FromText(const std::string& xml)
{
    Outcome o;
    o.raised = RaisedBy([&] {
        ParseModelXml(reinterpret_cast<const uint8_t*>(xml.data()), xml.size(), "3D/3dmodel.model", o.doc);
    });
    return o;
}

void ExpectSameOutcome(const Outcome& got, const Outcome& want)
{
    EXPECT_EQ(got.raised.code, want.raised.code);
    EXPECT_EQ(got.raised.text, want.raised.text);
    if (got.raised.code != 0 || want.raised.code != 0) return;
    ASSERT_EQ(got.doc.objects.size(), want.doc.objects.size());
    for (size_t i = 0; i < got.doc.objects.size(); i++)
        ExpectSameMesh(got.doc.objects[i].mesh, want.doc.objects[i].mesh, "object " + std::to_string(i));
}

std::string Num(double v)
{
    char buf[32];
    return std::string(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

// A large list in every form the text may take: attribute orders, both
// quotes, white space and all three line ends inside and between elements,
// number spellings, elements left to the handlers (non-empty, with
// properties), comments, CDATA and processing instructions holding look-alike
// elements.
std::string BigModel(const std::string& pad)
{
    const int n = 24000;
    uint64_t seed = 12345;
    auto next = [&] {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        return seed >> 11;
    };
    const char* seps[] = {"\n", "\r\n", "\r", " ", "\t\n  ", ""};
    const char* spellings[] = {"+1.5", "-0", ".25", "1.", "1e3", "1E-3", "0007", "-2.5e+2"};
    std::string v;
    for (int i = 0; i < n; i++) {
        std::string x = Num(double(int64_t(next() % 2000000) - 1000000) / 997.0);
        std::string y = i % 7 == 0 ? spellings[i / 7 % 8] : Num(std::ldexp(double(next() % 1000), int(next() % 40) - 20));
        std::string z = Num(-double(next() % 100000) / 3.0);
        switch (i % 5) {
        case 0: v += "<vertex x=\"" + x + "\" y=\"" + y + "\" z=\"" + z + "\"/>"; break;
        case 1: v += "<vertex z='" + z + "' x='" + x + "' y='" + y + "' />"; break;
        case 2: v += "<vertex\r\n x = \"" + x + "\"\ty=\"" + y + "\"\r z=\"" + z + "\"/>"; break;
        case 3: v += "<vertex y=\"" + y + "\" z=\"" + z + "\" x=\"" + x + "\"\n/>"; break;
        case 4: v += i % 25 == 4 ? "<vertex x=\"" + x + "\" y=\"" + y + "\" z=\"" + z + "\"></vertex>"
                                 : "<vertex x=\"" + x + "\" y=\"" + y + "\" z=\"" + z + "\"/>";
            break;
        }
        v += seps[i % 6];
        if (i % 997 == 0) v += "<!-- <vertex x=\"9\" y=\"9\" z=\"9\"/> - -> --><?pi <vertex x=\"8\" y=\"8\" z=\"8\"/>?>";
        if (i % 1499 == 0) v += "<![CDATA[<vertex x=\"7\" y=\"7\" z=\"7\"/>]]>\n";
    }
    std::string t;
    for (int i = 0; i < 2 * n; i++) {
        uint32_t a = uint32_t(next() % n), b = (a + 1 + uint32_t(next() % (n - 2))) % n, c = a;
        while (c == a || c == b) c = uint32_t(next() % n);
        std::string sa = std::to_string(a), sb = std::to_string(b), sc = std::to_string(c);
        if (i % 11 == 3)
            t += "<triangle v1=\"" + sa + "\" v2=\"" + sb + "\" v3=\"" + sc + "\" pid=\"5\" p1=\"1\"/>";
        else if (i % 3 == 0)
            t += "<triangle v3=\"" + sc + "\" v1='" + sa + "' v2=\"+" + sb + "\"/>";
        else
            t += "<triangle v1=\"" + sa + "\" v2=\"" + sb + "\" v3=\"" + sc + "\"/>";
        t += seps[i % 6];
    }
    return Model(v, t, pad);
}

TEST(ModelStream, SameDocumentWhereverThePiecesBreak)
{
    Outcome want = FromText(Decorated(BigModel("")));
    ASSERT_EQ(want.raised.code, 0) << want.raised.text;
    ASSERT_EQ(want.doc.objects.size(), 1u);
    EXPECT_EQ(want.doc.objects[0].mesh.vertices.size(), 24000u);
    EXPECT_EQ(want.doc.objects[0].mesh.properties.size(), 48000u);
    // The part spans several read buffers; each padding moves every break
    // to another place in the elements around it.
    for (size_t pad : {0, 1, 2, 3, 5, 8, 13, 21, 34, 55, 89}) {
        SCOPED_TRACE("padding " + std::to_string(pad));
        std::string xml = BigModel(std::string(pad, 'p'));
        ExpectSameOutcome(FromPackage(Package(xml)), want);
    }
    ExpectSameOutcome(FromText(BigModel("")), want);
}

TEST(ModelStream, ElementsInARunMeanWhatTheHandlersMakeOfThem)
{
    const std::string ns_core = "http://schemas.microsoft.com/3dmanufacturing/core/2015/02";
    std::string good_v, good_t;
    const char* line_ends[] = {"\n", "\r\n", "\r"};
    for (int i = 0; i < 30; i++)
        good_v += "<vertex x=\"" + std::to_string(i) + "\" y=\"0.5\" z=\"-1\"/>" + line_ends[i % 3];
    for (int i = 0; i < 20; i++)
        good_t += "<triangle v1=\"" + std::to_string(i) + "\" v2=\"" + std::to_string(i + 1) + "\" v3=\"" +
                  std::to_string(i + 2) + "\"/>" + line_ends[i % 3];
    struct Case { const char* name; std::string vertex, triangle, after_vertices; };
    const Case cases[] = {
        {"bad number", "<vertex x=\"abc\" y=\"0\" z=\"0\"/>", "", ""},
        {"number out of range", "<vertex x=\"1e999\" y=\"0\" z=\"0\"/>", "", ""},
        {"missing attribute", "<vertex x=\"1\"\r\n y=\"2\"/>", "", ""},
        {"repeated attribute", "<vertex x=\"1\" x=\"2\" y=\"0\" z=\"0\"/>", "", ""},
        {"character reference", "<vertex x=\"&#49;\" y=\"0\" z=\"0\"/>", "", ""},
        {"white space in a value", "<vertex x=\" 1\t\" y=\"0\" z=\"0\"/>", "", ""},
        {"element left open", "<vertex x=\"1\" y=\"0\" z=\"0\">", "", ""},
        {"broken tag", "<vertex x=\"1\" y=\"0\" z=\"0\"/\n", "", ""},
        {"text after an element", "<vertex x=\"1\" y=\"0\" z=\"0\"/>text", "", ""},
        {"comment", "<!-- <vertex x=\"9\" y=\"9\" z=\"9\"/> -->", "", ""},
        {"CDATA", "<![CDATA[\n<vertex x=\"9\" y=\"9\" z=\"9\"/>]]>", "", ""},
        {"processing instruction", "<?pi <vertex x=\"9\" y=\"9\" z=\"9\"/>?>", "", ""},
        {"inside a foreign element", "<o:w xmlns:o=\"urn:o\"><vertex x=\"9\" y=\"9\" z=\"9\"/></o:w>", "", ""},
        {"own foreign namespace", "<vertex xmlns=\"urn:o\" x=\"9\" y=\"9\" z=\"9\"/>", "", ""},
        {"prefixed attribute", "<vertex x=\"1\" y=\"2\" z=\"3\" m:q=\"1\"/>", "", ""},
        {"core prefix", "<c:vertex xmlns:c=\"" + ns_core + "\" x=\"4\" y=\"5\" z=\"6\"/>", "", ""},
        {"index out of range", "", "<triangle v1=\"0\" v2=\"1\" v3=\"99\"/>", ""},
        {"index repeated", "", "<triangle v1=\"3\" v2=\"4\" v3=\"3\"/>", ""},
        {"negative index", "", "<triangle v1=\"-1\" v2=\"4\" v3=\"3\"/>", ""},
        {"index past 31 bits", "", "<triangle v1=\"2147483648\" v2=\"4\" v3=\"3\"/>", ""},
        {"index past 32 bits", "", "<triangle v1=\"4294967296\" v2=\"4\" v3=\"3\"/>", ""},
        {"fractional index", "", "<triangle v1=\"1.5\" v2=\"4\" v3=\"3\"/>", ""},
        {"unknown property group", "", "<triangle v1=\"1\" v2=\"4\" v3=\"3\" pid=\"99\"/>", ""},
        {"property, then plain ones", "", "<triangle v1=\"1\" v2=\"4\" v3=\"3\" pid=\"5\" p1=\"1\"/>", ""},
        {"mismatched end tag", "", "", "</vertice>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string vertices = good_v + c.vertex + "\r\n" + good_v;
        std::string triangles = good_t + c.triangle + "\n" + good_t;
        std::string xml = Model(vertices, triangles);
        if (!c.after_vertices.empty()) xml.replace(xml.find("</vertices>"), 11, c.after_vertices);
        Outcome want = FromText(Decorated(xml));
        ExpectSameOutcome(FromText(xml), want);
        ExpectSameOutcome(FromPackage(Package(xml)), want);
    }
}

TEST(ModelStream, ListsOutsideTheCoreDefaultNamespaceAreNotRead)
{
    const std::string ns_core = "http://schemas.microsoft.com/3dmanufacturing/core/2015/02";
    // The list element is core through its prefix, its unprefixed children
    // are not: they are skipped, so the triangles name missing vertices.
    std::string xml = kModelHead + "<resources><object id=\"1\"><mesh><c:vertices xmlns:c=\"" + ns_core +
                      "\" xmlns=\"urn:o\">\n<vertex x=\"0\" y=\"0\" z=\"0\"/><vertex x=\"1\" y=\"0\" z=\"0\"/>"
                      "<vertex x=\"0\" y=\"1\" z=\"0\"/>\n</c:vertices><triangles>"
                      "<triangle v1=\"0\" v2=\"1\" v3=\"2\"/>" + kTail;
    Outcome want = FromText(Decorated(xml));
    EXPECT_NE(want.raised.text.find("out of range (0 vertices)"), std::string::npos) << want.raised.text;
    ExpectSameOutcome(FromText(xml), want);
    ExpectSameOutcome(FromPackage(Package(xml)), want);
}

// Sets a wrong CRC on an entry in the central directory: its data inflates
// but fails the check at its end.
void BreakCrc(std::vector<uint8_t>& zip, const std::string& name)
{
    for (size_t i = 0; i + 46 <= zip.size(); i++) {
        if (zip[i] != 'P' || zip[i + 1] != 'K' || zip[i + 2] != 1 || zip[i + 3] != 2) continue;
        size_t len = zip[i + 28] | size_t(zip[i + 29]) << 8;
        if (std::string(zip.begin() + long(i + 46), zip.begin() + long(i + 46 + len)) == name) {
            zip[i + 16] ^= 0x5A;
            return;
        }
    }
    FAIL() << name << " not in the central directory";
}

TEST(ModelStream, ADamagedModelPartIsRefusedBeforeWhatFollowsIt)
{
    const std::string good = Model("<vertex x=\"0\" y=\"0\" z=\"0\"/>", "");
    const std::string types = "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\"/>";
    const std::string bad_xml = "<model";
    // Refused in its first read buffer, long before the data ends.
    const std::string bad_long_xml = "<model><<" + std::string(3 << 20, ' ');
    const std::string note = "note";
    struct Case { const char* name; std::vector<uint8_t> zip; std::vector<std::string> broken; const char* text; };
    const Case cases[] = {
        {"model part alone", Package(good), {"3D/3dmodel.model"}, "part 3D/3dmodel.model is damaged"},
        {"and no content types", WriteZip({ZipEntry("_rels/.rels", kRootRels), ZipEntry("3D/3dmodel.model", good)}),
         {"3D/3dmodel.model"}, "part 3D/3dmodel.model is damaged"},
        {"and broken XML", Package(bad_xml), {"3D/3dmodel.model"}, "part 3D/3dmodel.model is damaged"},
        {"and XML broken early", Package(bad_long_xml), {"3D/3dmodel.model"}, "part 3D/3dmodel.model is damaged"},
        {"and a later part damaged",
         WriteZip({ZipEntry("[Content_Types].xml", types), ZipEntry("_rels/.rels", kRootRels), ZipEntry("3D/3dmodel.model", good),
                   ZipEntry("Metadata/note.txt", note)}),
         {"3D/3dmodel.model", "Metadata/note.txt"}, "part 3D/3dmodel.model is damaged"},
        {"after an earlier damaged part", Package(good), {"_rels/.rels", "3D/3dmodel.model"},
         "part _rels/.rels is damaged"},
        {"only a later part damaged",
         WriteZip({ZipEntry("[Content_Types].xml", types), ZipEntry("_rels/.rels", kRootRels), ZipEntry("3D/3dmodel.model", good),
                   ZipEntry("Metadata/note.txt", note)}),
         {"Metadata/note.txt"}, "part Metadata/note.txt is damaged"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> zip = c.zip;
        for (const std::string& name : c.broken) BreakCrc(zip, name);
        Outcome got = FromPackage(zip);
        EXPECT_EQ(got.raised.code, kInvalidData);
        EXPECT_NE(got.raised.text.find(c.text), std::string::npos) << got.raised.text;
    }
}

}  // namespace
