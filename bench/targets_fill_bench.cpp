// Parallel target fill: every vertex of a large cloud invalidated, a
// contour ring of n points. Prints milliseconds for the thread team the
// runtime gives (set OMP_NUM_THREADS to compare).
#include "core/targets.h"
#include "core/stores.h"

#include <omp.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv)
{
    const int64_t nv = argc > 1 ? atoll(argv[1]) : 200000;
    const int32_t n = argc > 2 ? atoi(argv[2]) : 2000;
    std::vector<double> points(3 * (size_t)n);
    std::vector<int32_t> contour(n);
    for (int32_t k = 0; k < n; k++) {
        double a = 2 * M_PI * k / n;
        points[3 * k] = 100 * std::cos(a);
        points[3 * k + 1] = 100 * std::sin(a);
        contour[k] = k;
    }
    border bd{n, contour.data(), points.data(), nullptr, 6.0};
    std::vector<double> xyz(3 * nv), targ(nv, NAN), base(nv, 0.5);
    uint64_t s = 1;
    for (auto& x : xyz) {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        x = (double)(s >> 11) / 9007199254740992.0 * 180 - 90;
    }
    verts vs{xyz.data(), targ.data(), base.data(), nv, nv};
    double t0 = omp_get_wtime();
    targets_fill(&bd, &vs);
    double t1 = omp_get_wtime();
    printf("%lld vertices x %d contour points, %d threads: %.1f ms\n", (long long)nv, n,
           omp_get_max_threads(), (t1 - t0) * 1e3);
    return 0;
}
