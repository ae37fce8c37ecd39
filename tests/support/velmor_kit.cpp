// velmor test kit.
#include "velmor_kit.h"
