// The platform layer's includes point one way: each layer includes only
// itself and the layers under it; and the build lists every source and test.
// Read from the sources, so an include that climbs fails here by name.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const fs::path kPlatform = fs::path(MESHTOOLS_SOURCE_DIR) / "ombrane/platform";

// Bottom up; a layer may include the layers it names.
struct Layer {
    const char* name;
    std::set<std::string> may_include;
};
const Layer kLayers[] = {
    {"runtime", {"runtime"}},
    {"io", {"runtime", "io"}},
    {"model", {"runtime", "io", "model"}},
    {"3mf", {"runtime", "io", "model", "3mf"}},
    {"mesh", {"runtime", "io", "model", "mesh"}},
    {"printing3d", {"runtime", "io", "model", "3mf", "mesh", "printing3d"}},
};

// The public headers by the layer that implements them.
const std::map<std::string, std::string> kPublicLayer = {
    {"async.h", "runtime"}, {"errors.h", "runtime"}, {"system.h", "runtime"}, {"text.h", "runtime"},
    {"streams.h", "io"},    {"storage.h", "io"},     {"printing3d.h", "printing3d"},
};

std::string ReadText(const fs::path& path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> QuotedIncludes(const fs::path& file)
{
    static const std::regex kInclude(R"re(^\s*#\s*include\s*"([^"]+)")re");
    std::vector<std::string> found;
    std::istringstream lines(ReadText(file));
    std::smatch m;
    for (std::string line; std::getline(lines, line);)
        if (std::regex_search(line, m, kInclude)) found.push_back(m[1]);
    return found;
}

// "io" for "io/zip_package.h" and for "ombrane/platform/streams.h"; "" for
// an include that names no layer.
std::string LayerOfInclude(const std::string& include)
{
    const std::string kPublicPrefix = "ombrane/platform/";
    if (include.starts_with(kPublicPrefix)) {
        auto it = kPublicLayer.find(include.substr(kPublicPrefix.size()));
        return it == kPublicLayer.end() ? "" : it->second;
    }
    size_t slash = include.find('/');
    return slash == std::string::npos ? "" : include.substr(0, slash);
}

const Layer* FindLayer(const std::string& name)
{
    for (const Layer& layer : kLayers)
        if (name == layer.name) return &layer;
    return nullptr;
}

void ExpectIncludesWithin(const fs::path& file, const Layer& layer)
{
    for (const std::string& include : QuotedIncludes(file)) {
        std::string to = LayerOfInclude(include);
        EXPECT_TRUE(layer.may_include.count(to))
            << file.string() << " (" << layer.name << ") includes \"" << include << "\""
            << (to.empty() ? ", which names no layer" : ", of layer " + to);
    }
}

TEST(Layers, InternalIncludesPointDown)
{
    size_t files = 0;
    for (const fs::directory_entry& dir : fs::directory_iterator(kPlatform / "src")) {
        const Layer* layer = FindLayer(dir.path().filename().string());
        ASSERT_TRUE(dir.is_directory() && layer) << dir.path() << " is no layer folder";
        for (const fs::directory_entry& file : fs::recursive_directory_iterator(dir.path())) {
            if (!file.is_regular_file()) continue;
            ExpectIncludesWithin(file.path(), *layer);
            files++;
        }
    }
    EXPECT_GT(files, 0u);
}

TEST(Layers, PublicHeadersIncludeTheirOwnLayerOrBelow)
{
    for (const fs::directory_entry& file : fs::directory_iterator(kPlatform / "include/ombrane/platform")) {
        auto it = kPublicLayer.find(file.path().filename().string());
        ASSERT_NE(it, kPublicLayer.end()) << file.path() << " is a public header of no layer";
        ExpectIncludesWithin(file.path(), *FindLayer(it->second));
    }
}

// A source or test left out of its list would go unbuilt, or unrun,
// without a word.
TEST(Layers, EverySourceIsListed)
{
    const fs::path ombrane = kPlatform.parent_path();
    struct Case {
        fs::path list;      // the CMake file that names them
        fs::path root;      // paths there are relative to it
        fs::path folder;    // where they lie, under root
        std::string ending;
        std::regex listed;  // group 1: a listed path, relative to root
    };
    const Case cases[] = {
        {kPlatform / "sources.cmake", kPlatform, "src", ".cpp",
         std::regex(R"(\$\{CMAKE_CURRENT_LIST_DIR\}/(src/\S+\.cpp))")},
        {ombrane / "CMakeLists.txt", ombrane, "src", ".cpp", std::regex(R"([\s(](src/[^\s)]+\.cpp))")},
        {ombrane / "CMakeLists.txt", ombrane, "tests", "_test.cpp", std::regex(R"(\s(tests/[^\s)]+_test\.cpp))")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE((c.root / c.folder).string());
        const std::string list = ReadText(c.list);
        std::set<std::string> listed, on_disk;
        for (std::sregex_iterator m(list.begin(), list.end(), c.listed), end; m != end; ++m) listed.insert((*m)[1]);
        for (const fs::directory_entry& file : fs::recursive_directory_iterator(c.root / c.folder)) {
            const std::string name = file.path().filename().string();
            if (name.ends_with(c.ending))
                on_disk.insert(fs::relative(file.path(), c.root).string());
        }
        ASSERT_FALSE(on_disk.empty());
        for (const std::string& path : on_disk) EXPECT_TRUE(listed.count(path)) << path << " is not listed";
        for (const std::string& path : listed) EXPECT_TRUE(on_disk.count(path)) << path << " is listed, not on disk";
    }
}

}  // namespace
