// The input file of the flash writes: loaded whole into memory before the monitor is contacted,
// so a file error never leaves the monitor in the middle of a command.
#pragma once

#include <memory>

#include "zelk.h"

// The file's bytes as measured when it was opened; owned by the write that loaded them.
struct input_image {
    std::unique_ptr<U8[]> bytes;
    long len = 0;
};

// Loads the whole of `name` into `image`. When file_size is 0 it becomes the file's length.
// 1 = loaded; 0 = failure, reported on stderr (nothing is kept).
int load_input_file(const char *name, input_image &image);
