// Cotangent operator of the remeshed cap in compressed rows.
#include "velmor.h"

void cot_op_build(cot_op*, const verts*, const tris*) {}
void cot_op_free(cot_op*) {}
