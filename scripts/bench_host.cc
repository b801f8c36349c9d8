// The benchmark's immediate host: plays the host side of the block write or the flash read as
// fast as a program can, without zelk's pauses or checks, so that the board's timing of it shows
// the board's own share (and the pseudo-terminal's) of a transfer: the floor under zelk's figures.
//
//   bench_host DEVICE BAUD write BLOCKS   WB with 512 bytes, BLOCKS times from offset 0
//   bench_host DEVICE BAUD read BYTES     RD of BYTES bytes
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int fd = -1;

[[noreturn]] void die(const char *what)
{
    std::fprintf(stderr, "bench_host: %s\n", what);
    std::exit(1);
}

void put(const std::string &s)
{
    std::size_t done = 0;
    while (done < s.size()) {
        ssize_t w = write(fd, s.data() + done, s.size() - done);
        if (w <= 0)
            die("write");
        done += static_cast<std::size_t>(w);
    }
}

void get(std::size_t n)
{
    static char buf[65536];
    while (n > 0) {
        ssize_t r = read(fd, buf, n < sizeof buf ? n : sizeof buf);
        if (r <= 0)
            die("read");
        n -= static_cast<std::size_t>(r);
    }
}

// Reads up to the two letters `pair`, as a host that keeps to the protocol must: the monitor's
// ready marker "rr" may come before a prompt, and a host that counted bytes instead would run
// ahead of the monitor (its next bytes already queued when the monitor turns to read them),
// which no real host can do. Never reads past the pair: the monitor sends nothing after a prompt
// until the host has answered it.
void get_pair(const char *pair)
{
    char prev = 0;
    for (;;) {
        char c[2];
        // Two bytes at a time unless the last one may begin the pair.
        const ssize_t want = prev == pair[0] ? 1 : 2;
        const ssize_t r = read(fd, c, static_cast<std::size_t>(want));
        if (r <= 0)
            die("read");
        for (ssize_t i = 0; i < r; i++) {
            if (prev == pair[0] && c[i] == pair[1] && i == r - 1)
                return;
            prev = c[i];
        }
    }
}

std::string hex8(unsigned v)
{
    char t[9];
    std::snprintf(t, sizeof t, "%08X", v);
    return t;
}

speed_t code_of(int baud)
{
    switch (baud) {
    case 38400:
        return B38400;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    case 460800:
        return B460800;
    default:
        die("speed");
    }
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 5)
        die("usage: bench_host DEVICE BAUD write BLOCKS | read BYTES");
    fd = open(argv[1], O_RDWR | O_NOCTTY);
    if (fd < 0)
        die("open");
    struct termios t;
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetspeed(&t, code_of(std::atoi(argv[2])));
    tcsetattr(fd, TCSAFLUSH, &t);
    // The ready marker.
    for (char prev = 0;;) {
        char c;
        if (read(fd, &c, 1) != 1)
            die("marker");
        if (prev == 'r' && c == 'r')
            break;
        prev = c;
    }
    const long n = std::atol(argv[4]);
    if (std::strcmp(argv[3], "write") == 0) {
        const std::string block(512, '\x5A');
        for (long b = 0; b < n; b++) {
            put("WB");
            get_pair("WB");
            put(hex8(static_cast<unsigned>(b * 512)));
            get(8);
            put(block);
            get(8);
        }
    } else {
        put("RD");
        get_pair("RD");
        put(hex8(static_cast<unsigned>(n)));
        get(8);
        get(static_cast<std::size_t>(n));
    }
    return 0;
}
