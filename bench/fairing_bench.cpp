// Spring fairing on uniform triangulated caps of about 10k, 100k and 226k
// triangles (outer ring fixed, lambda = 100, tolerance 1e-12): operator
// build, fair_spring_cg iterations and seconds per coordinate, and, when
// Eigen is at hand, Eigen's Jacobi-preconditioned conjugate gradients on the
// same reduced system side by side.
#include "fair/fairing.h"
#include "core/stores.h"
#include "fair/cot_op.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#ifdef HAVE_EIGEN
#include <Eigen/IterativeLinearSolvers>
#include <Eigen/Sparse>
#endif

namespace {

struct Cap {
    std::vector<double> xyz;
    std::vector<int32_t> tri;
    std::vector<uint8_t> mask;
};

// n x n triangular lattice (unit edges), gently domed and rippled so that
// all three coordinates have work to do; the outer ring is fixed.
Cap lattice(int n)
{
    Cap c;
    const double h = std::sqrt(3.0) / 2;
    for (int j = 0; j < n; j++)
        for (int i = 0; i < n; i++) {
            double x = i + 0.5 * (j % 2), y = j * h;
            double z = 0.002 * (x * (n - x) + y * (n * h - y)) + 0.3 * std::sin(0.7 * x) * std::cos(0.5 * y);
            c.xyz.insert(c.xyz.end(), {x + 0.1 * std::sin(3.1 * y), y + 0.1 * std::cos(2.3 * x), z});
            c.mask.push_back(i == 0 || j == 0 || i == n - 1 || j == n - 1 ? 0 : 1);
        }
    for (int j = 0; j + 1 < n; j++)
        for (int i = 0; i + 1 < n; i++) {
            int32_t a = j * n + i, b = a + 1, d = a + n, e = d + 1;
            if (j % 2 == 0) c.tri.insert(c.tri.end(), {a, b, d, b, e, d});
            else c.tri.insert(c.tri.end(), {a, b, e, a, e, d});
        }
    return c;
}

#ifdef HAVE_EIGEN
// Eigen's CG on the same free-vertex system; returns seconds per coordinate
// and sets the iterations of the three coordinates.
double eigen_fair(const cot_op& op, const Cap& c, double lambda, long* iters)
{
    std::vector<int64_t> idx(op.n, -1), list;
    for (int64_t i = 0; i < op.n; i++)
        if (c.mask[i]) {
            idx[i] = (int64_t)list.size();
            list.push_back(i);
        }
    const int64_t k = (int64_t)list.size();
    std::vector<Eigen::Triplet<double>> trips;
    Eigen::MatrixXd rhs(k, 3), start(k, 3);
    for (int64_t r = 0; r < k; r++) {
        int64_t i = list[r];
        trips.emplace_back(r, r, lambda * op.diag[i] + op.mass[i]);
        for (int cc = 0; cc < 3; cc++) {
            rhs(r, cc) = op.mass[i] * c.xyz[3 * i + cc];
            start(r, cc) = c.xyz[3 * i + cc];
        }
        for (int64_t e = op.rowptr[i]; e < op.rowptr[i + 1]; e++) {
            int32_t j = op.col[e];
            if (c.mask[j]) trips.emplace_back(r, idx[j], -(op.val[e] * lambda));
            else
                for (int cc = 0; cc < 3; cc++) rhs(r, cc) += (op.val[e] * lambda) * c.xyz[3 * j + cc];
        }
    }
    Eigen::SparseMatrix<double> A(k, k);
    A.setFromTriplets(trips.begin(), trips.end());
    Eigen::ConjugateGradient<Eigen::SparseMatrix<double>, Eigen::Lower | Eigen::Upper,
                             Eigen::DiagonalPreconditioner<double>>
        cg;
    Eigen::setNbThreads(1);
    cg.setTolerance(1e-12);
    cg.setMaxIterations(20000);
    cg.compute(A);
    *iters = 0;
    double t0 = omp_get_wtime();
    for (int cc = 0; cc < 3; cc++) {
        Eigen::VectorXd x = cg.solveWithGuess(rhs.col(cc), start.col(cc));
        *iters += cg.iterations();
    }
    return (omp_get_wtime() - t0) / 3;
}
#endif

// A remeshed cap from a velmor input file and its --remesh (or later mode)
// output: wall points fixed, created points free.
bool load_run(const char* in_path, const char* out_path, Cap* c)
{
    FILE* in = fopen(in_path, "rb");
    FILE* out = fopen(out_path, "rb");
    if (!in || !out) return false;
    int32_t np = 0, k = 0, nt = 0;
    bool ok = fread(&np, 4, 1, in) == 1;
    c->xyz.resize(3 * (size_t)np);
    ok = ok && fread(c->xyz.data(), 8, c->xyz.size(), in) == c->xyz.size();
    ok = ok && fread(&k, 4, 1, out) == 1;
    c->xyz.resize(3 * ((size_t)np + k));
    ok = ok && fread(c->xyz.data() + 3 * (size_t)np, 8, 3 * (size_t)k, out) == 3 * (size_t)k;
    ok = ok && fread(&nt, 4, 1, out) == 1;
    c->tri.resize(3 * (size_t)nt);
    ok = ok && fread(c->tri.data(), 4, c->tri.size(), out) == c->tri.size();
    c->mask.assign((size_t)np + k, 1);
    std::fill(c->mask.begin(), c->mask.begin() + np, 0);
    fclose(in);
    fclose(out);
    return ok;
}

long parse_iterations(const char* path)
{
    FILE* f = fopen(path, "r");
    char line[1024];
    long it = -1;
    while (f && fgets(line, sizeof line, f)) {
        const char* at = strstr(line, "CG ");
        if (at) it = strtol(at + 3, nullptr, 10);
    }
    if (f) fclose(f);
    return it;
}

}  // namespace

// Usage: bench_fairing [input.bin output.bin]: the three lattices, or the
// cap of one velmor run.
int main(int argc, char** argv)
{
    const int sides[] = {72, 225, 337};
    const double lambda = 100;
    printf("%10s %10s %9s %12s %12s %12s %12s\n", "triangles", "free", "op s", "CG it/coord", "CG s/coord",
           "Eigen it/c", "Eigen s/c");
    const int runs = argc > 2 ? 1 : 3;
    for (int run = 0; run < runs; run++) {
        Cap c;
        if (argc > 2) {
            if (!load_run(argv[1], argv[2], &c)) {
                fprintf(stderr, "cannot read %s and %s\n", argv[1], argv[2]);
                return 1;
            }
        } else {
            c = lattice(sides[run]);
        }
        verts vs{};
        vs.xyz = c.xyz.data();
        vs.n = (int64_t)c.xyz.size() / 3;
        tris ts{};
        ts.tri = c.tri.data();
        ts.n = (int64_t)c.tri.size() / 3;
        int64_t nfree = 0;
        for (uint8_t m : c.mask) nfree += m;

        // The stage lines go to a scratch file; the iteration count is read back.
        const char* log = "/tmp/velmor_fairing_bench.log";
        fflush(stderr);
        FILE* saved = fdopen(dup(fileno(stderr)), "w");
        if (!freopen(log, "w", stderr)) return 1;
        double t0 = omp_get_wtime();
        cot_op op;
        cot_op_build(&op, &vs, &ts);
        double t_op = omp_get_wtime() - t0;
        std::vector<double> pos = c.xyz;
        t0 = omp_get_wtime();
        fair_spring_cg(&op, c.mask.data(), c.xyz.data(), pos.data(), nfree, "bench", lambda);
        double t_cg = (omp_get_wtime() - t0) / 3;
        fflush(stderr);
        dup2(fileno(saved), fileno(stderr));
        long it = parse_iterations(log);

        long eit = -1;
        double et = NAN;
#ifdef HAVE_EIGEN
        et = eigen_fair(op, c, lambda, &eit);
#endif
        printf("%10lld %10lld %9.3f %12.1f %12.3f %12.1f %12.3f\n", (long long)ts.n, (long long)nfree, t_op,
               it / 3.0, t_cg, eit / 3.0, et);
        cot_op_free(&op);
    }
    return 0;
}
