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

// Loads the whole of `name` into `image`.
// 1 = loaded; 0 = failure, reported on stderr (nothing is kept).
int load_input_file(const char *name, input_image &image);

// Opens `name` as load_input_file does and measures it, without reading it: *len receives its
// length. 1 = it can be loaded; 0 = failure, reported with load_input_file's texts.
int check_input_file(const char *name, long *len);

// 1 when `bytes` bytes written at flash offset `offset` lie inside the flash; 0 otherwise, with
// "Image of N bytes at offset 0x... does not fit the 2 MiB flash" on stderr. The flash ignores
// address bits above its size, so anything beyond the end would land on the boot sector.
int image_fits_flash(long bytes, U32 offset);

// The byte write's input against the flash, checked before the device is opened and again by the
// write itself (the file may have changed): `len` is the file's length. 1 = it fits; 0 after
// the message of image_fits_flash.
int check_byte_write(long len);  // the bytes from the monitor's start of the flash
