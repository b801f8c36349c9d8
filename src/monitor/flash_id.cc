// Not built yet: selecting this operation ends the run with a clear message.
#include <cstdio>

#include "zelk.h"

int proc_Manufactory()
{
    std::fprintf(stderr, "\nReading the flash manufacturer code is not available in this build of zelk\n");
    return 0;
}

int proc_Deviceid()
{
    std::fprintf(stderr, "\nReading the flash device id is not available in this build of zelk\n");
    return 0;
}
