// Quality flips of the cap.
#include "velmor.h"

int64_t flip_pass(verts*, tris*, const keyset*, int32_t, int64_t* refusals) { *refusals = 0; return 0; }
