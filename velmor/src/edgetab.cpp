// Edge keys: contour key set, edge table, distinct edge lists.
#include "velmor.h"

void keyset_build(keyset*, const int32_t*, int32_t) {}
bool keyset_has(const keyset*, uint64_t) { return false; }
void edgetab_init(edgetab*, int64_t) {}
void edgetab_free(edgetab*) {}
edge_slot* edgetab_get(edgetab*, uint64_t, int32_t*) { return nullptr; }
edge_slot* edgetab_find(const edgetab*, uint64_t) { return nullptr; }
edge2* unique_edges(const int32_t*, int64_t, int64_t* count) { *count = 0; return nullptr; }
