// libFuzzer target: the 3MF package loader, then what the pipeline does with
// a loaded model (verification, repair, verification again) and the save
// into memory, whose bytes must load again as the same document.
//
// Byte mutations of a deflated zip almost never survive its CRC, so the
// custom mutator usually opens the package, mutates one part (the model part
// most often) and packs it again; a quarter of the time, and for anything
// that is no readable zip, it mutates the raw bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "3mf/package.h"
#include "io/zip_package.h"
#include "mesh/mesh_ops.h"
#include "model/model_document.h"
#include "ombrane/platform/errors.h"

using namespace ombrane::platform;

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t max_size);

namespace {

bool EndsWith(const std::string& s, const char* tail)
{
    size_t n = strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

[[noreturn]] void Finding(const char* what, const std::string& detail)
{
    fprintf(stderr, "package_fuzz: %s: %s\n", what, detail.c_str());
    abort();
}

std::string Narrow(const std::wstring& w)
{
    std::string s;
    for (wchar_t c : w) s += c < 128 ? char(c) : '?';
    return s;
}

void CheckIndices(const MeshData& mesh, const char* when)
{
    const size_t nv = mesh.vertices.size();
    for (const auto& t : mesh.triangles)
        for (uint32_t v : t)
            if (v >= nv) Finding(when, "triangle names vertex " + std::to_string(v) + " of " + std::to_string(nv));
    if (!mesh.properties.empty() && mesh.properties.size() != mesh.triangles.size())
        Finding(when, "properties not parallel to triangles");
}

}  // namespace

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size, unsigned seed)
{
    std::minstd_rand rng(seed);
    if (rng() % 4 != 0) {
        try {
            std::vector<ZipEntry> entries = ReadZip(data, size, 64u << 20, 256u << 20);
            if (!entries.empty()) {
                size_t pick = rng() % entries.size();
                if (rng() % 2 == 0)
                    for (size_t i = 0; i < entries.size(); i++)
                        if (EndsWith(entries[i].name, ".model")) pick = i;
                std::vector<uint8_t>& bytes = entries[pick].bytes;
                const size_t old = bytes.size();
                bytes.resize(old + 256 + old / 8);
                bytes.resize(LLVMFuzzerMutate(bytes.data(), old, bytes.size()));
                std::vector<ZipInput> inputs;
                for (const ZipEntry& e : entries) inputs.push_back({e.name, e.bytes.data(), e.bytes.size()});
                std::vector<uint8_t> packed = WriteZip(inputs);
                if (packed.size() <= max_size) {
                    memcpy(data, packed.data(), packed.size());
                    return packed.size();
                }
            }
        } catch (const winrt::hresult_error&) {
            // Not a readable package: mutate its bytes instead.
        }
    }
    return LLVMFuzzerMutate(data, size, max_size);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ModelDocument doc;
    try {
        doc = ReadModelDocument(data, size);
    } catch (const winrt::hresult_error&) {
        return 0;  // refused with a message: what the program reports as exit 2
    }

    for (Object& object : doc.objects) {
        if (!object.has_mesh) continue;
        CheckIndices(object.mesh, "after load");
        (void)VerifyMesh(object.mesh);
        // The fill property the model's repair gives: the object's default.
        TriangleProperty fill;
        if (object.pid != kNoProperty) {
            fill.pid = object.pid;
            fill.p[0] = object.pindex;
        }
        RepairMesh(object.mesh, fill);
        CheckIndices(object.mesh, "after repair");
        (void)VerifyMesh(object.mesh);
    }

    // What we save must load again, as the same document: saving that gives
    // the same bytes.
    std::vector<uint8_t> saved = WriteModelDocument(doc);
    ModelDocument reloaded;
    try {
        reloaded = ReadModelDocument(saved.data(), saved.size());
    } catch (const winrt::hresult_error& e) {
        Finding("the saved package does not load", Narrow(e.message()));
    }
    if (WriteModelDocument(reloaded) != saved) Finding("a second save", "differs from the first");
    return 0;
}
