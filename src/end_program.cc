#include <cstdlib>

#include "zelk.h"

// Weak, so that a harness that must not end (a fuzz target) can put its own in its place.
__attribute__((weak)) void end_program(int status)
{
    std::exit(status);
}
