// Fuzz targets run zelk's code in one process for millions of inputs, so the paths that end the
// program must come back instead: end_program throws this, and each target catches it.
#pragma once

struct fuzz_exit {
    int status;
};
