// Not built yet: selecting this operation ends the run with a clear message.
#include <cstdio>

#include "zelk.h"

int proc_Read()
{
    std::fprintf(stderr, "\nFlash read is not available in this build of zelk\n");
    return 0;
}
