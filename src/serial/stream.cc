// The line as a byte stream for the terminal and the echo test: the wait on the line and the
// console, one untimed read, the queue of bytes the line has not taken yet, and the break.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>

#include "serial/serial.h"

namespace {

constexpr int WAIT_SECONDS = 1;    // the loops' idle step
constexpr int BREAK_DURATION = 2;  // tcsendbreak's argument; the length is the platform's

// Bytes for the line that it has not taken yet, oldest first, as a ring.
std::array<unsigned char, LINE_QUEUE_BYTES> out_queue;
size_t out_head = 0;   // the oldest byte
size_t out_count = 0;  // bytes queued

}  // namespace

line_step wait_input(int console_fd, input_ready *ready)
{
    struct pollfd fds[2];
    int nfds = 0;
    int line_at = -1, console_at = -1;
    // A device that has gone away (waiting for a reconnect) leaves the console alone to wait on.
    if (ttyfd >= 0) {
        const short events = static_cast<short>(POLLIN | (out_count > 0 ? POLLOUT : 0));
        fds[nfds] = {ttyfd, events, 0};
        line_at = nfds++;
    }
    if (console_fd >= 0) {
        fds[nfds] = {console_fd, POLLIN, 0};
        console_at = nfds++;
    }
    const wait_end w =
        wait_for(fds, nfds, monotonic_ns() + WAIT_SECONDS * NS_PER_SEC, requests_to_stop());
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
    const short line_events = line_at >= 0 ? fds[line_at].revents : 0;
    ready->line = (line_events & ~POLLOUT) != 0;
    ready->writable = (line_events & POLLOUT) != 0;
    ready->console = console_at >= 0 && fds[console_at].revents != 0;
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
        return line_step::HUNG_UP;
    }
    if (n < 0) {
        std::fprintf(stderr, "\nTYY read error : (%d)\n", err);
        return line_step::FAIL;
    }
    trace_bytes('<', buf, n);
    *got = static_cast<size_t>(n);
    tty_bytes_received += static_cast<unsigned long long>(n);
    return line_step::GO;
}

size_t line_queue_room() { return LINE_QUEUE_BYTES - out_count; }

size_t line_queue_size() { return out_count; }

void queue_for_line(const unsigned char *buf, size_t len)
{
    len = std::min(len, line_queue_room());
    for (size_t i = 0; i < len; i++)
        out_queue[(out_head + out_count + i) % LINE_QUEUE_BYTES] = buf[i];
    out_count += len;
}

void drop_line_queue()
{
    out_head = 0;
    out_count = 0;
}

line_step flush_line_queue()
{
    while (out_count > 0) {
        // The oldest bytes up to the ring's end: one write, as the line takes them.
        const size_t run = std::min(out_count, LINE_QUEUE_BYTES - out_head);
        const ssize_t n = write(ttyfd, out_queue.data() + out_head, run);
        if (n < 0) {
            const int err = errno;
            if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR)
                return line_step::GO;  // the rest when the line is writable again
            // A line that has hung up is reported by the read that finds it so.
            if (err == EIO || err == ENXIO)
                return line_step::GO;
            std::fprintf(stderr, "\nTTY device write error : (%d)\n", err);
            return line_step::FAIL;
        }
        trace_bytes('>', out_queue.data() + out_head, n);
        out_head = (out_head + static_cast<size_t>(n)) % LINE_QUEUE_BYTES;
        out_count -= static_cast<size_t>(n);
        tty_bytes_sent += static_cast<unsigned long long>(n);
        if (static_cast<size_t>(n) < run)
            return line_step::GO;
    }
    out_head = 0;
    return line_step::GO;
}

int send_break()
{
    if (tcsendbreak(ttyfd, BREAK_DURATION) < 0) {
        std::printf("\ntcsendbreak error\n");
        return 0;
    }
    return 1;
}
