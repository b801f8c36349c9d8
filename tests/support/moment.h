// A moment of a run, for tests that send a signal at it: what the simulated board has taken
// from zelk, and what zelk is then doing as the kernel shows it. Waiting for the moment itself,
// never for a fixed time, keeps such tests right on a loaded machine.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "board.h"

namespace zt {

// What zelk is doing at the moment, as the kernel shows it.
enum class In {
    Anything,
    Pause,  // one of its pauses: no read pending
    Read,   // the timed read's wait for the line
};

// The moment: once the board has taken `command` commands (counted from 1) and, with
// `number`, that command's number too; then, with `received`, once it has received that many
// bytes from zelk in all; then, with `consumed`, once zelk has read that many bytes of the
// board's answers since the pause after the command's first letter (paced commands only); then
// once zelk is blocked `in` its pause or its read. A silent board leaves zelk in that read until
// the signal comes.
struct Moment {
    int command = 1;
    bool number = false;
    std::size_t received = 0;
    long consumed = 0;
    In in = In::Read;
};

// Waits until the board and zelk have reached the moment; false if they never do.
bool reach(const zb::Board &board, const Moment &m, pid_t pid);

}  // namespace zt
