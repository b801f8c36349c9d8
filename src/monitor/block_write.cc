// Not built yet: selecting this operation ends the run with a clear message.
#include <cstdio>

#include "zelk.h"

int proc_FastWrite()
{
    std::fprintf(stderr, "\nBlock write is not available in this build of zelk\n");
    return 0;
}
