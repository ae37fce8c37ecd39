// Edge tables on a large grid cap: distinct edges of every triangle, then
// one edge-table insert per edge and one lookup per edge, as a split phase
// does. Prints milliseconds per stage.
#include "core/edgetab.h"

#include <omp.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv)
{
    const int side = argc > 1 ? atoi(argv[1]) : 1000;  // grid of side^2 quads
    std::vector<int32_t> tri;
    tri.reserve((size_t)side * side * 6);
    for (int y = 0; y < side; y++)
        for (int x = 0; x < side; x++) {
            int32_t a = y * (side + 1) + x, b = a + 1, c = a + side + 2, d = a + side + 1;
            tri.insert(tri.end(), {a, b, c, a, c, d});
        }
    const int64_t m = (int64_t)tri.size() / 3;

    double t0 = omp_get_wtime();
    int64_t ne = 0;
    edge2* e = unique_edges(tri.data(), m, &ne);
    double t1 = omp_get_wtime();

    edgetab t;
    edgetab_init(&t, ne);
    int32_t inserted;
    for (int64_t i = 0; i < ne; i++) edgetab_get(&t, edge_key(e[i].a, e[i].b), &inserted)->data[0] = (int32_t)i;
    double t2 = omp_get_wtime();

    int64_t hits = 0;
    for (int64_t i = 0; i < ne; i++) hits += edgetab_find(&t, edge_key(e[i].b, e[i].a)) != nullptr;
    double t3 = omp_get_wtime();

    printf("%lld triangles, %lld edges (%lld found)\n", (long long)m, (long long)ne, (long long)hits);
    printf("unique_edges %.1f ms, edgetab_get %.1f ms, edgetab_find %.1f ms\n", (t1 - t0) * 1e3,
           (t2 - t1) * 1e3, (t3 - t2) * 1e3);
    edgetab_free(&t);
    free(e);
    return 0;
}
