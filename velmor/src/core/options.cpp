// Command line of velmor: the mode word and the option pairs into g_par.
#include "core/options.h"

#include "core/fail.h"
#include "core/params.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

params g_par = {
    .rim = 0.5,
    .grad = 0.5,
    .far = 6.0,
    .far_ratio = 0.35,
    .collapse = 0.5,
    .dev_rim = 0.05,
    .dev_in = 0.3,
    .area_grow = 1.001,
    .normal_dot = 0.5,
    .flip_passes = 5,
    .collapse_passes = 3,
    .max_passes = 40,
    .stop_frac = 0.0005,
    .max_faces = 400000,
    .radius = 10.0,
    .clear = 0.3,
    .clear_max = 1.5,
    .dbord = 0.5,
    .drap_passes = 10,
    .cg_tol = 1e-12,
    .cg_max = 20000,
    .rim_grad = 0.0,
};

static const char kUsage[] = "usage : velmor --remesh|--smooth|--drape entree.bin sortie.bin [options]\n";

enum field_kind { kF64, kI32, kI64 };

struct option_def {
    const char* name;
    field_kind kind;
    void* field;
};

// In the order of the option table: names are compared in this order.
static const option_def kOptions[] = {
    {"--rim", kF64, &g_par.rim},
    {"--grad", kF64, &g_par.grad},
    {"--far", kF64, &g_par.far},
    {"--far-ratio", kF64, &g_par.far_ratio},
    {"--collapse", kF64, &g_par.collapse},
    {"--dev-rim", kF64, &g_par.dev_rim},
    {"--dev-in", kF64, &g_par.dev_in},
    {"--area-grow", kF64, &g_par.area_grow},
    {"--normal-dot", kF64, &g_par.normal_dot},
    {"--flip-passes", kI32, &g_par.flip_passes},
    {"--collapse-passes", kI32, &g_par.collapse_passes},
    {"--max-passes", kI32, &g_par.max_passes},
    {"--stop-frac", kF64, &g_par.stop_frac},
    {"--max-faces", kI64, &g_par.max_faces},
    {"--radius", kF64, &g_par.radius},
    {"--clear", kF64, &g_par.clear},
    {"--clear-max", kF64, &g_par.clear_max},
    {"--dbord", kF64, &g_par.dbord},
    {"--drap-passes", kI32, &g_par.drap_passes},
    {"--cg-tol", kF64, &g_par.cg_tol},
    {"--cg-max", kI64, &g_par.cg_max},
    {"--rim-grad", kF64, &g_par.rim_grad},
};

// Truncation toward zero, saturated to [lo, hi]; NaN gives 0. Casting an
// out-of-range double to an integer is undefined, so the bounds come first.
static double trunc_saturated(double value, double lo, double hi)
{
    if (std::isnan(value)) return 0;
    double t = trunc(value);
    if (t < lo) return lo;
    if (t > hi) return hi;
    return t;
}

static void store_option(const option_def* opt, double value)
{
    switch (opt->kind) {
    case kF64:
        *(double*)opt->field = value;
        break;
    case kI32:
        *(int32_t*)opt->field = (int32_t)trunc_saturated(value, -2147483648.0, 2147483647.0);
        break;
    case kI64: {
        // 2^63 - 1 has no double; anything at or past 2^63 saturates.
        double t = trunc_saturated(value, -0x1p63, 0x1p63);
        *(int64_t*)opt->field = t >= 0x1p63 ? INT64_MAX : (int64_t)t;
        break;
    }
    }
}

void parse_command_line(int argc, char** argv, int* fairing, int* draping)
{
    if (argc < 4) die(2, "%s", kUsage);
    const char* mode = argv[1];
    if (strcmp(mode, "--drape") == 0) {
        *fairing = 1;
        *draping = 1;
    } else if (strcmp(mode, "--smooth") == 0) {
        *fairing = 1;
        *draping = 0;
    } else if (strcmp(mode, "--remesh") == 0) {
        *fairing = 0;
        *draping = 0;
    } else {
        die(2, "%s", kUsage);
    }

    // Whole pairs only: a last word without a partner is ignored.
    int npairs = argc > 5 ? argc / 2 - 2 : 0;
    for (int p = 0; p < npairs; p++) {
        const char* name = argv[4 + 2 * p];
        double value = strtod(argv[5 + 2 * p], nullptr);
        const option_def* match = nullptr;
        for (const option_def& opt : kOptions)
            if (strcmp(name, opt.name) == 0) {
                match = &opt;
                break;
            }
        if (!match) die(2, "option inconnue : %s\n", name);
        store_option(match, value);
    }
}
