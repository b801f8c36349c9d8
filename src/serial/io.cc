// The paced write and the timed read of the serial line.
#include <poll.h>
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "serial/serial.h"

unsigned long long tty_bytes_sent = 0, tty_bytes_received = 0;

namespace {

using mono_ns = long long;

constexpr mono_ns NS_PER_SEC = 1000000000LL;
constexpr mono_ns NS_PER_MS = 1000000LL;

mono_ns monotonic_ns()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<mono_ns>(t.tv_sec) * NS_PER_SEC + t.tv_nsec;
}

// The end of a pause owed to the monitor after the last letter of a command that is answered
// while it lasts: the caller reads meanwhile, and nothing is written before it is over.
mono_ns quiet_until = 0;

mono_ns last_arrival = 0;  // when the last read that returned bytes returned

// Sleeps until the monotonic moment `until`. A signal does not shorten the sleep unless kill_link
// is set. 1 = slept to the end; 0 = cut short by a termination request.
int sleep_until(mono_ns until)
{
    for (;;) {
        if (kill_link)
            return 0;
        const mono_ns left = until - monotonic_ns();
        if (left <= 0)
            return 1;
        struct timespec t = {static_cast<time_t>(left / NS_PER_SEC),
                             static_cast<long>(left % NS_PER_SEC)};
        if (nanosleep(&t, nullptr) != 0 && errno != EINTR)
            return 0;
    }
}

}  // namespace

long long tty_last_arrival_us() { return last_arrival / 1000; }

int pause_tty(int sec, int ms)
{
    if (kill_link)
        return 0;  // the request came while the byte before the pause went out
    struct timespec left = {0, 0};
    if (sec > 0)
        left.tv_sec = sec;
    else if (ms > 0)
        left = {ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    else
        return 1;
    // The monitor needs the whole pause: a signal that interrupts it only makes the rest of it
    // start again, unless it asked the run to end.
    while (nanosleep(&left, &left) != 0) {
        if (errno != EINTR || kill_link)
            return 0;
    }
    return 1;
}

int finish_owed_pause()
{
    if (quiet_until == 0)
        return 1;
    if (!sleep_until(quiet_until))
        return 0;
    quiet_until = 0;
    return 1;
}

namespace {

constexpr long BITS_PER_BYTE = 10;           // start bit, 8 data bits, stop bit
constexpr long STALL_BYTES = 512;            // a driver wakes a writer once about this much is free
constexpr int WRITABLE_MARGIN_MS = 1000;     // on top of their time on the wire
constexpr int WRITABLE_FALLBACK_BAUD = 300;  // for a line whose speed is not known

// How long a full line may take no byte before a write gives up: the time STALL_BYTES take on the
// wire at the line's speed, and a second more for the driver and the far end (1.1 s at 38400).
int stall_limit_ms()
{
    const long baud = inspeed > 0 ? inspeed : WRITABLE_FALLBACK_BAUD;
    return static_cast<int>(STALL_BYTES * BITS_PER_BYTE * 1000L / baud) + WRITABLE_MARGIN_MS;
}

}  // namespace

int wait_tty_writable(int ms)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long end = now.tv_sec * 1000LL + now.tv_nsec / 1000000 + ms;
    for (;;) {
        if (kill_link)
            return 0;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long long left = end - (now.tv_sec * 1000LL + now.tv_nsec / 1000000);
        if (left <= 0)
            return 0;
        struct pollfd p = {ttyfd, POLLOUT, 0};
        const int n = poll(&p, 1, static_cast<int>(left));
        if (n > 0)
            return 1;  // writable, or an error condition the write itself will report
        if (n < 0 && errno != EINTR)
            return 0;
    }
}

int write_tty(const unsigned char *p, int len, int sec, int ms, bool listen_last)
{
    if (p == nullptr || len < 0)
        return 0;
    // The pause owed after a listened command's last letter comes before any byte that follows.
    if (!finish_owed_pause())
        return 0;
    const bool paced = sec > 0 || ms > 0;
    while (len > 0) {
        ssize_t n = write(ttyfd, p, paced ? 1 : static_cast<size_t>(len));
        // A full output queue drains at the line's speed: wait for room instead of failing.
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
            wait_tty_writable(stall_limit_ms())) {
            continue;
        }
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
        trace_bytes('>', p, n);
        p += n;
        len -= static_cast<int>(n);
        tty_bytes_sent += static_cast<unsigned long long>(n);
        if (!paced)
            continue;
        // The last letter's pause of a listened command is owed, not slept: the caller reads
        // the answer as it comes, and the next write waits for the pause's end.
        if (len == 0 && listen_last) {
            quiet_until = monotonic_ns() + (sec > 0 ? sec * NS_PER_SEC : ms * NS_PER_MS);
            return kill_link ? 0 : 1;
        }
        // No byte may follow before its pause is over; a termination request ends the write.
        if (!pause_tty(sec, ms))
            return 0;
    }
    return 1;
}

// Set once a read finds the line gone. EIO and ENXIO are what a vanished adapter or a closed
// far end give; a readable line that reads nothing is at its end of file.
static int line_hung_up = 0;

int tty_hung_up() { return line_hung_up; }

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
    trace_bytes('<', buf, n);
    if (n > 0)
        last_arrival = monotonic_ns();
    return static_cast<int>(n);
}

// Kept from call to call and cleared once per run: after an interrupted select the set still
// marks the device, so the read that follows reports what happened (EAGAIN) instead of waiting.
static fd_set r_fds;
static int fd_zero = 1;

static int read_tty_within(unsigned char *buf, int len, mono_ns budget);

int read_tty(unsigned char *buf, int len, int sec)
{
    if (sec <= 0)
        return 0;
    return read_tty_within(buf, len, sec * NS_PER_SEC);
}

int read_tty_ms(unsigned char *buf, int len, int ms)
{
    if (ms <= 0)
        return 0;
    return read_tty_within(buf, len, ms * NS_PER_MS);
}

static int read_tty_within(unsigned char *buf, int len, mono_ns budget)
{
    if (ttyfd == -1 || buf == nullptr || len <= 0)
        return 0;
    if (ttyfd >= FD_SETSIZE) {
        std::fprintf(stderr, "select error: (%d)\n", EBADF);
        return 0;
    }
    if (fd_zero) {
        FD_ZERO(&r_fds);
        fd_zero = 0;
    }
    // The budget is time since the call began, however the reply is cut into pieces: a reply
    // that comes a byte at a time is as good as one that comes in one burst.
    const mono_ns deadline = monotonic_ns() + budget;
    int pos = 0;
    for (;;) {
        // A termination request that came between two waits (not inside one, which it would
        // have cut short) ends the read now, not when the budget runs out.
        if (kill_link)
            return 0;
        const mono_ns left = deadline - monotonic_ns();
        if (left <= 0)
            break;
        const mono_ns wait = left < NS_PER_SEC ? left : NS_PER_SEC;
        FD_SET(ttyfd, &r_fds);
        struct timeval timeout = {static_cast<time_t>(wait / NS_PER_SEC),
                                  static_cast<suseconds_t>(wait % NS_PER_SEC / 1000)};
        if (select(ttyfd + 1, &r_fds, nullptr, nullptr, &timeout) < 0 && errno != EINTR) {
            std::fprintf(stderr, "select error: (%d)\n", errno);
            return 0;
        }
        if (FD_ISSET(ttyfd, &r_fds)) {
            ssize_t n = read(ttyfd, buf + pos, static_cast<size_t>(len - pos));
            if (n < 0) {
                report_read_error(errno);
                return 0;
            }
            if (n == 0) {
                // Readable with nothing to read: the far end is gone, and no wait brings more.
                line_hung_up = 1;
                return 0;
            }
            trace_bytes('<', buf + pos, n);
            pos += static_cast<int>(n);
            tty_bytes_received += static_cast<unsigned long long>(n);
            last_arrival = monotonic_ns();
            if (pos >= len)
                return 1;
        }
    }
    return 0;
}
