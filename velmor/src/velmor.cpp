// velmor: command line, parameter block and the fixed order of stages.
#include "velmor.h"

int main()
{
    return 0;
}
