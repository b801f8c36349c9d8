// The line as a byte stream for the terminal and the echo test: the wait on the line and the
// console, one untimed read, one unchecked write, and the break.
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "serial/serial.h"

namespace {

constexpr int WAIT_SECONDS = 1;    // short, so kill_link is seen even on a silent line
constexpr int BREAK_DURATION = 2;  // tcsendbreak's argument; the length is the platform's

}  // namespace

line_step wait_input(int console_fd, input_ready *ready)
{
    const int maxfd = std::max(ttyfd, console_fd);
    if (ttyfd < 0 || maxfd >= FD_SETSIZE) {
        std::fprintf(stderr, "\nselect error : (%d)\n", EBADF);
        return line_step::FAIL;
    }
    fd_set r_fds;
    FD_ZERO(&r_fds);
    FD_SET(ttyfd, &r_fds);
    if (console_fd >= 0)
        FD_SET(console_fd, &r_fds);
    struct timeval timeout = {WAIT_SECONDS, 0};
    const int n = select(maxfd + 1, &r_fds, nullptr, nullptr, &timeout);
    const int err = errno;
    // The termination signal cuts the wait short; the flag, tested first, makes that a normal end.
    if (kill_link)
        return line_step::STOP;
    if (n == 0)
        return line_step::IDLE;
    if (n < 0) {
        std::fprintf(stderr, "\nselect error : (%d)\n", err);
        return line_step::FAIL;
    }
    ready->line = FD_ISSET(ttyfd, &r_fds);
    ready->console = console_fd >= 0 && FD_ISSET(console_fd, &r_fds);
    return line_step::GO;
}

line_step read_line_chunk(unsigned char *buf, size_t len, size_t *got)
{
    const ssize_t n = read(ttyfd, buf, len);
    const int err = errno;
    if (kill_link)
        return line_step::STOP;
    // A line that has hung up (an unplugged USB adapter, a closed pseudo-terminal master) stays
    // readable and reads 0 bytes for ever, or fails with EIO or ENXIO: which of the two the
    // driver gives depends on the moment of the hang-up.
    if (n == 0 || (n < 0 && (err == EIO || err == ENXIO))) {
        std::fprintf(stderr, "\nSerial line hung up\n");
        return line_step::FAIL;
    }
    if (n < 0) {
        // "TYY" is what scripts have always read here: the text is part of the interface.
        std::fprintf(stderr, "\nTYY read error : (%d)\n", err);
        return line_step::FAIL;
    }
    *got = static_cast<size_t>(n);
    tty_bytes_received += static_cast<unsigned long long>(n);
    return line_step::GO;
}

void write_tty_once(const unsigned char *buf, size_t len)
{
    const ssize_t w = write(ttyfd, buf, len);
    if (w > 0)
        tty_bytes_sent += static_cast<unsigned long long>(w);
}

int send_break()
{
    if (tcsendbreak(ttyfd, BREAK_DURATION) < 0) {
        // On standard output although an error: the text is part of the interface.
        std::printf("\ntcsendbreak error\n");
        return 0;
    }
    return 1;
}
