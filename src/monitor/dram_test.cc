// Not built yet: selecting this operation ends the run with a clear message.
#include <cstdio>

#include "zelk.h"

int proc_DramTest(int)
{
    std::fprintf(stderr, "\nThe DRAM test is not available in this build of zelk\n");
    return 0;
}
