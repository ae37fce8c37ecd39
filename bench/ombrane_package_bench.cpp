// 3MF package load, save and load again on a generated torus of about one
// million triangles: seconds per stage and the process's peak memory
// against the model's own size (vertices as doubles, 32-bit triangles).
// "--measure file" times a package already made.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>

#include "3mf/package.h"
#include "model/model_document.h"

using namespace ombrane::platform;

static ModelDocument Torus(int nu, int nv)
{
    ModelDocument doc;
    Object obj;
    obj.id = 1;
    obj.has_mesh = true;
    MeshData& m = obj.mesh;
    m.vertices.reserve(size_t(nu) * nv);
    for (int i = 0; i < nu; i++)
        for (int j = 0; j < nv; j++) {
            double u = 2 * M_PI * i / nu, v = 2 * M_PI * j / nv;
            m.vertices.push_back({(40 + 15 * std::cos(v)) * std::cos(u), (40 + 15 * std::cos(v)) * std::sin(u),
                                  15 * std::sin(v)});
        }
    m.triangles.reserve(size_t(nu) * nv * 2);
    auto at = [&](int i, int j) { return uint32_t((i % nu) * nv + (j % nv)); };
    for (int i = 0; i < nu; i++)
        for (int j = 0; j < nv; j++) {
            m.triangles.push_back({at(i, j), at(i + 1, j), at(i + 1, j + 1)});
            m.triangles.push_back({at(i, j), at(i + 1, j + 1), at(i, j + 1)});
        }
    doc.objects.push_back(std::move(obj));
    doc.resource_order.push_back({ResourceKind::Object, 0});
    doc.build.push_back({1, {}, ""});
    doc.metadata.push_back({"Title", "torus", "", ""});
    return doc;
}

static double PeakMiB()
{
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss / 1024.0;
}

// Sized once: a vector grown byte by byte would double the peak before
// the load starts.
static std::vector<uint8_t> ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::vector<uint8_t> bytes(size_t(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
    return bytes;
}

int main(int argc, char** argv)
{
    using clock = std::chrono::steady_clock;
    auto secs = [](clock::time_point a, clock::time_point b) { return std::chrono::duration<double>(b - a).count(); };
    bool measure_only = argc == 3 && std::string(argv[1]) == "--measure";
    std::string path = measure_only ? argv[2] : argc > 1 ? argv[1] : "/tmp/ombrane_bench_torus.3mf";
    if (!measure_only) {
        // The package is made in a child: the peak of this process (kept
        // across exec, so no exec either) is then the round trip's alone.
        pid_t child = fork();
        if (child < 0) {
            std::perror("fork");
            return 1;
        }
        if (child == 0) {
            ModelDocument doc = Torus(720, 700);  // 1,008,000 triangles
            std::vector<uint8_t> bytes = WriteModelDocument(doc);
            std::ofstream(path, std::ios::binary)
                .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
            _exit(0);
        }
        int status = 0;
        if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "making the package failed\n");
            return 1;
        }
    }
    std::vector<uint8_t> file = ReadFile(path);
    double peak_start = PeakMiB();
    auto t0 = clock::now();
    ModelDocument doc = ReadModelDocument(file.data(), file.size());
    file.clear();
    file.shrink_to_fit();
    auto t1 = clock::now();
    double peak_load = PeakMiB();
    std::vector<uint8_t> saved = WriteModelDocument(doc);
    auto t2 = clock::now();
    double peak_save = PeakMiB();
    ModelDocument again = ReadModelDocument(saved.data(), saved.size());
    auto t3 = clock::now();
    const MeshData& m = again.objects[0].mesh;
    double model_mib = (m.vertices.size() * 24.0 + m.triangles.size() * 12.0) / (1 << 20);
    std::printf("triangles %zu, vertices %zu, package %.1f MiB, model %.1f MiB\n", m.triangles.size(),
                m.vertices.size(), saved.size() / 1048576.0, model_mib);
    std::printf("load %.3f s, save %.3f s, load again %.3f s, total %.3f s\n", secs(t0, t1), secs(t1, t2),
                secs(t2, t3), secs(t0, t3));
    std::printf("peak memory %.1f MiB (%.2f x the model); with the package read: %.1f, after load %.1f, "
                "after save %.1f\n",
                PeakMiB(), PeakMiB() / model_mib, peak_start, peak_load, peak_save);
    return 0;
}
