// The byte write ("WR"): the file sent to the monitor, which echoes every byte back.
#pragma once

constexpr int CHUNK_MAX_BYTES = 1024;  // largest chunk sent before its echo is read

// One-second waits allowed for the echo of a chunk of `wlen` bytes on a line at `baud`
// (11 bit times per byte, plus 10 s of slack). A line at an unknown speed (0) counts as 9600.
int chunk_echo_wait_sec(int wlen, int baud);
