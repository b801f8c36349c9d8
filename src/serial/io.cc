// The paced write and the timed read of the serial line.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "serial/serial.h"

unsigned long long tty_bytes_sent = 0, tty_bytes_received = 0;

int pause_tty(int sec, int ms)
{
    mono_ns length = 0;
    if (sec > 0)
        length = sec * NS_PER_SEC;
    else if (ms > 0)
        length = ms * (NS_PER_SEC / 1000);
    if (stopped())
        return 0;  // the request came while the byte before the pause went out
    if (length == 0)
        return 1;
    // The monitor needs the whole pause: other signals do not shorten it.
    return wait_for(nullptr, 0, monotonic_ns() + length, requests_to_stop()) == wait_end::TIMEOUT
               ? 1
               : 0;
}

int write_tty(const unsigned char *p, int len, int sec, int ms)
{
    if (p == nullptr || len < 0)
        return 0;
    const bool paced = sec > 0 || ms > 0;
    while (len > 0) {
        // A request that came since the last wait: nothing more goes out.
        take_requests();
        if (stopped())
            return 0;
        ssize_t n = write(ttyfd, p, paced ? 1 : static_cast<size_t>(len));
        if (n < 0) {
            int e = errno;
            if (e == EAGAIN || e == EWOULDBLOCK)
                std::fprintf(stderr, "\nTTY device write error : EWOULDBLOCK");
            else if (e == EINTR || e == EIO || e == ENXIO || e == ENOBUFS)
                std::fprintf(stderr, "\nTTY device write error : (%d)", e);
            else
                std::fprintf(stderr, "\nTTY device write error :(%d)", e);
            return 0;
        }
        p += n;
        len -= static_cast<int>(n);
        tty_bytes_sent += static_cast<unsigned long long>(n);
        // No byte may follow before its pause is over; a termination request ends the write.
        if (paced && !pause_tty(sec, ms))
            return 0;
    }
    return 1;
}

// Set once a read finds the line gone. EIO and ENXIO are what a vanished adapter or a closed
// far end give; a readable line that reads nothing is at its end of file.
static int line_hung_up = 0;

int tty_hung_up() { return line_hung_up; }

void set_tty_hung_up() { line_hung_up = 1; }

static void report_read_error(int err)
{
    if (err == EIO || err == ENXIO)
        line_hung_up = 1;
    // "TYY" as scripts have always read it: the text is part of the interface.
    std::fprintf(stderr, "TYY read error :(%d)\n", err);
}

int read_pending_tty(unsigned char *buf, int len)
{
    if (ttyfd == -1 || buf == nullptr || len <= 0)
        return 0;
    ssize_t n = read(ttyfd, buf, static_cast<size_t>(len));
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return 0;
        report_read_error(errno);
        return -1;
    }
    tty_bytes_received += static_cast<unsigned long long>(n);
    return static_cast<int>(n);
}

int read_tty(unsigned char *buf, int len, int sec)
{
    if (ttyfd == -1 || buf == nullptr || len <= 0 || sec <= 0)
        return 0;
    // The budget is time since the call began, however the reply is cut into pieces: a reply
    // that comes a byte at a time is as good as one that comes in one burst.
    const mono_ns deadline = monotonic_ns() + sec * NS_PER_SEC;
    int pos = 0;
    for (;;) {
        struct pollfd line = {ttyfd, POLLIN, 0};
        switch (wait_for(&line, 1, deadline, requests_to_stop())) {
        case wait_end::READY:
            break;
        case wait_end::TIMEOUT:
        case wait_end::REQUEST:  // not a read error: the caller looks at kill_link
            return 0;
        case wait_end::FAILED:
            std::fprintf(stderr, "select error: (%d)\n", errno);
            return 0;
        }
        ssize_t n = read(ttyfd, buf + pos, static_cast<size_t>(len - pos));
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                continue;  // taken by nobody else: the wait tells again
            report_read_error(errno);
            return 0;
        }
        if (n == 0) {
            // Readable with nothing to read: the far end is gone, and no wait brings more.
            line_hung_up = 1;
            return 0;
        }
        pos += static_cast<int>(n);
        tty_bytes_received += static_cast<unsigned long long>(n);
        if (pos >= len)
            return 1;
    }
}
