// The line as a byte stream for the terminal and the echo test: the wait on the line and the
// console, one untimed read, one unchecked write, and the break.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "serial/serial.h"

namespace {

constexpr int WAIT_SECONDS = 1;    // the loops' idle step
constexpr int BREAK_DURATION = 2;  // tcsendbreak's argument; the length is the platform's

}  // namespace

line_step wait_input(int console_fd, input_ready *ready)
{
    if (ttyfd < 0) {
        std::fprintf(stderr, "\nselect error : (%d)\n", EBADF);
        return line_step::FAIL;
    }
    struct pollfd fds[2] = {{ttyfd, POLLIN, 0}, {console_fd, POLLIN, 0}};
    const wait_end w = wait_for(fds, console_fd >= 0 ? 2 : 1,
                                monotonic_ns() + WAIT_SECONDS * NS_PER_SEC, requests_to_stop());
    // The termination request cuts the wait short: a normal end.
    if (w == wait_end::REQUEST)
        return line_step::STOP;
    if (w == wait_end::TIMEOUT)
        return line_step::IDLE;
    if (w == wait_end::FAILED) {
        std::fprintf(stderr, "\nselect error : (%d)\n", errno);
        return line_step::FAIL;
    }
    // A hung-up line reads as such in read_line_chunk.
    ready->line = fds[0].revents != 0;
    ready->console = console_fd >= 0 && fds[1].revents != 0;
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
        set_tty_hung_up();
        std::fprintf(stderr, "\nSerial line hung up\n");
        return line_step::FAIL;
    }
    if (n < 0) {
        // "TYY" is what scripts have always read here: the text is part of the interface.
        std::fprintf(stderr, "\nTYY read error : (%d)\n", err);
        return line_step::FAIL;
    }
    *got = static_cast<size_t>(n);
    return line_step::GO;
}

void write_tty_once(const unsigned char *buf, size_t len)
{
    [[maybe_unused]] const ssize_t w = write(ttyfd, buf, len);
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
