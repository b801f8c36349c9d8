// The flash read's frame and receive loop, shared by the flash read and the block write's
// read-back: "RD" with the byte count, then that many raw bytes from flash offset 0.
#pragma once

#include "zelk.h"

// Reads `count` bytes of flash into `dest` (room for `count` bytes) with the flash read's frame,
// marks, progress line and messages; a lost byte, an interruption or a hang-up end it as they
// end the flash read. 1 = all arrived.
int read_flash_into(U8 *dest, int count);

// The line speed of the flash read's data phase: "read speed", else "write speed"; 0 = the
// normal speed, no switch.
int read_data_speed();
