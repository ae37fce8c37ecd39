// Parallel detection of cap triangles that cross the wall.
#include "velmor.h"

void drape(drape_job*) {}
