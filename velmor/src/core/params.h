// The parameter block: one field per command-line option. Lengths in mm,
// angles in radians. Defined with its defaults beside the option table
// (options.cpp).
#pragma once

#include <cstdint>

// One field per command-line option, in option-table order; the initial
// values are the defaults.
struct params {
    double rim;              // --rim
    double grad;             // --grad
    double far;              // --far
    double far_ratio;        // --far-ratio
    double collapse;         // --collapse
    double dev_rim;          // --dev-rim
    double dev_in;           // --dev-in
    double area_grow;        // --area-grow
    double normal_dot;       // --normal-dot
    int32_t flip_passes;     // --flip-passes
    int32_t collapse_passes; // --collapse-passes
    int32_t max_passes;      // --max-passes
    double stop_frac;        // --stop-frac
    int64_t max_faces;       // --max-faces
    double radius;           // --radius
    double clear;            // --clear
    double clear_max;        // --clear-max
    double dbord;            // --dbord
    int32_t drap_passes;     // --drap-passes
    double cg_tol;           // --cg-tol
    int64_t cg_max;          // --cg-max
    double rim_grad;         // --rim-grad
};

extern params g_par;
