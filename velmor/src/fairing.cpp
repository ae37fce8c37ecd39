// Spring fairing by Jacobi-preconditioned conjugate gradients.
#include "velmor.h"

void smooth_matvec(const cot_op*, const uint8_t*, const double*, double*, const int64_t*, int64_t, double) {}
void fair_spring_cg(const cot_op*, const uint8_t*, const double*, double*, int64_t, const char*, double) {}
