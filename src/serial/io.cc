// The paced write and the timed read of the serial line.
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "serial/serial.h"

unsigned long long tty_bytes_sent = 0, tty_bytes_received = 0;

int write_tty(const unsigned char *p, int len, int sec, int ms)
{
    if (p == nullptr || len < 0)
        return 0;
    const bool paced = sec > 0 || ms > 0;
    while (len > 0) {
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
        // A signal cuts the pause short; the rest of it is dropped.
        if (sec > 0)
            sleep(static_cast<unsigned>(sec));
        else if (ms > 0)
            usleep(static_cast<useconds_t>(ms) * 1000);
    }
    return 1;
}

int read_tty(unsigned char *buf, int len)
{
    ssize_t n = read(ttyfd, buf, static_cast<size_t>(len));
    if (n < 0) {
        std::fprintf(stderr, "\nTYY device read error :(%d)", errno);
        end_program(1);
    }
    tty_bytes_received += static_cast<unsigned long long>(n);
    return static_cast<int>(n);
}

// Set once a read finds the line gone. EIO and ENXIO are what a vanished adapter or a closed
// far end give; a readable line that reads nothing is at its end of file.
static int line_hung_up = 0;

int tty_hung_up() { return line_hung_up; }

static void report_read_error(int err)
{
    if (err == EIO || err == ENXIO)
        line_hung_up = 1;
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

// Kept from call to call and cleared once per run: after an interrupted select the set still
// marks the device, so the read that follows reports what happened (EAGAIN) instead of waiting.
static fd_set r_fds;
static int fd_zero = 1;


int read_tty(unsigned char *buf, int len, int sec)
{
    if (ttyfd == -1 || buf == nullptr || len <= 0 || sec <= 0)
        return 0;
    if (ttyfd >= FD_SETSIZE) {
        std::fprintf(stderr, "select error: (%d)\n", EBADF);
        return 0;
    }
    if (fd_zero) {
        FD_ZERO(&r_fds);
        fd_zero = 0;
    }
    int pos = 0;
    do {
        FD_SET(ttyfd, &r_fds);
        struct timeval timeout = {1, 0};
        if (select(ttyfd + 1, &r_fds, nullptr, nullptr, &timeout) < 0 && errno != EINTR) {
            std::fprintf(stderr, "select error: (%d)\n", errno);
            return 0;
        }
        sec--;
        if (FD_ISSET(ttyfd, &r_fds)) {
            ssize_t n = read(ttyfd, buf + pos, static_cast<size_t>(len - pos));
            if (n < 0) {
                report_read_error(errno);
                return 0;
            }
            if (n == 0)
                line_hung_up = 1;
            pos += static_cast<int>(n);
            tty_bytes_received += static_cast<unsigned long long>(n);
        }
    } while (sec > 0 && pos < len);
    return pos >= len ? 1 : 0;
}
