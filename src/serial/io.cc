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

namespace {

constexpr mono_ns NS_PER_MS = NS_PER_SEC / 1000;

// The end of a pause owed to the monitor after the last letter of a command that is answered
// while it lasts: the caller reads meanwhile, and nothing is written before it is over.
mono_ns quiet_until = 0;

mono_ns last_arrival = 0;  // when the last read that returned bytes returned

constexpr long BITS_PER_BYTE = 10;           // start bit, 8 data bits, stop bit
constexpr long STALL_BYTES = 512;            // a driver wakes a writer once about this much is free
constexpr int WRITABLE_MARGIN_MS = 1000;     // on top of their time on the wire
constexpr int WRITABLE_FALLBACK_BAUD = 300;  // for a line whose speed is not known

// How long a full line may take no byte before a write gives up: the time STALL_BYTES take on the
// wire at the line's speed, and a second more for the driver and the far end (1.1 s at 38400).
int stall_limit_ms()
{
    const long baud = normal_speed() > 0 ? normal_speed() : WRITABLE_FALLBACK_BAUD;
    return static_cast<int>(STALL_BYTES * BITS_PER_BYTE * 1000L / baud) + WRITABLE_MARGIN_MS;
}

}  // namespace

long long tty_last_arrival_us() { return last_arrival / 1000; }

int finish_owed_pause()
{
    if (quiet_until == 0)
        return 1;
    if (stopped())
        return 0;
    // The rest of the pause: other signals do not shorten it, a termination request ends it.
    if (wait_for(nullptr, 0, quiet_until, requests_to_stop()) != wait_end::TIMEOUT)
        return 0;
    quiet_until = 0;
    return 1;
}

int wait_tty_writable(int ms)
{
    struct pollfd line = {ttyfd, POLLOUT, 0};
    // Writable, or an error condition the write itself will report.
    return wait_for(&line, 1, monotonic_ns() + ms * NS_PER_MS, requests_to_stop()) ==
                   wait_end::READY
               ? 1
               : 0;
}

// Set once a read or a write finds the line gone. EIO and ENXIO are what a vanished adapter or a
// closed far end give; a readable line that reads nothing is at its end of file.
static int line_hung_up = 0;

int write_tty(const unsigned char *p, int len, int sec, int ms, bool listen_last)
{
    if (p == nullptr || len < 0)
        return 0;
    // The pause owed after a listened command's last letter comes before any byte that follows.
    take_requests();
    if (!finish_owed_pause())
        return 0;
    const bool paced = sec > 0 || ms > 0;
    while (len > 0) {
        // A request that came since the last wait: nothing more goes out.
        take_requests();
        if (stopped())
            return 0;
        ssize_t n = write(ttyfd, p, paced ? 1 : static_cast<size_t>(len));
        // A full output queue drains at the line's speed: wait for room instead of failing.
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
            wait_tty_writable(stall_limit_ms())) {
            continue;
        }
        if (n < 0) {
            int e = errno;
            // A vanished adapter or a closed far end: a hang-up, said as such by the caller.
            if (e == EIO || e == ENXIO) {
                line_hung_up = 1;
                return 0;
            }
            if (e == EAGAIN || e == EWOULDBLOCK)
                std::fprintf(stderr, "\nTTY device write error : EWOULDBLOCK");
            else if (e == EINTR || e == ENOBUFS)
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
            return 1;
        }
        // No byte may follow before its pause is over; a termination request ends the write.
        if (!pause_tty(sec, ms))
            return 0;
    }
    return 1;
}

int tty_hung_up() { return line_hung_up; }

void set_tty_hung_up() { line_hung_up = 1; }

static void report_read_error(int err)
{
    // A closed far end reads as EIO until the kernel has finished hanging the line up, and as
    // end of file after: either way it is a hang-up, said once by the caller as such.
    if (err == EIO || err == ENXIO) {
        line_hung_up = 1;
        return;
    }
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
    // The budget is time since the call began, however the reply is cut into pieces: a reply
    // that comes a byte at a time is as good as one that comes in one burst.
    const mono_ns deadline = monotonic_ns() + budget;
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
        trace_bytes('<', buf + pos, n);
        pos += static_cast<int>(n);
        tty_bytes_received += static_cast<unsigned long long>(n);
        last_arrival = monotonic_ns();
        if (pos >= len)
            return 1;
    }
}
