// Waiting for a line's input queue to fill, so that a bulk receiver takes its bytes in large
// reads instead of waking for the few that each wire interval brings.
#include <sys/ioctl.h>
#include <termios.h>

#include <algorithm>

#include "serial/serial.h"

namespace {

constexpr long BITS_PER_BYTE = 10;  // start bit, 8 data bits, stop bit
// A UART's driver holds 4 KiB of input and drops what comes beyond it; at 460800 baud that is
// 89 ms of data; a wait of a third of that leaves the queue room to spare.
constexpr long GATHER_MAX_US = 30000;

}  // namespace

void gather_tty(int len)
{
    if (ttyfd == -1 || len <= 0)
        return;
    int queued = 0;
    if (ioctl(ttyfd, FIONREAD, &queued) < 0 || queued >= len)
        return;
    struct termios tios;
    const int baud =
        tcgetattr(ttyfd, &tios) == 0 ? speed_tob(static_cast<int>(cfgetispeed(&tios))) : 0;
    if (baud <= 0)
        return;
    const long us = std::min(GATHER_MAX_US, (len - queued) * BITS_PER_BYTE * 1000000L / baud);
    // A termination request cuts the wait short, so it is seen as soon as without it.
    wait_for(nullptr, 0, monotonic_ns() + us * 1000, requests_to_stop());
}
