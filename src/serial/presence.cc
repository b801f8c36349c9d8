// A board's presence and departure on a line, for a station that flashes board after board: the
// line opened as a run opens it, its bytes scanned for the idle monitor's marker, and the three
// ways a board goes (its device vanishes, its line hangs up, its marker stops).
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "serial/serial.h"

namespace {

constexpr int READ_CHUNK_BYTES = 256;

// Nothing at the path, or nothing behind it (a link to a node that has gone, a pseudo-terminal
// whose far end has closed, an adapter being unplugged).
bool absent(int err)
{
    return err == ENOENT || err == ENODEV || err == ENXIO || err == ENOTDIR || err == EIO;
}

}  // namespace

board_news watch_open(line_watch &w, const char *path, int speed_code, U16 marker)
{
    w = line_watch{};
    w.marker = marker;
    const int fd = open_line(path);
    if (fd < 0)
        return absent(errno) ? board_news::VANISHED : board_news::REFUSED;
    struct stat st;
    if (!is_serial_line(fd) || fstat(fd, &st) != 0 || tcgetattr(fd, &w.found) != 0) {
        close(fd);
        return board_news::REFUSED;
    }
    if (!try_lock_line(fd)) {
        close(fd);
        return board_news::BUSY;
    }
    struct termios raw = w.found;
    make_raw_line(raw);
    cfsetispeed(&raw, static_cast<speed_t>(speed_code));
    cfsetospeed(&raw, static_cast<speed_t>(speed_code));
    if (tcsetattr(fd, TCSANOW, &raw) != 0) {
        close(fd);
        return board_news::REFUSED;
    }
    w.fd = fd;
    w.rdev = st.st_rdev;
    return board_news::NONE;
}

board_news watch_read(line_watch &w)
{
    board_news news = board_news::NONE;
    unsigned char buf[READ_CHUNK_BYTES];
    for (;;) {
        const ssize_t n = read(w.fd, buf, sizeof buf);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return news;
        // A line that has hung up reads as its end, or fails (EIO, ENXIO) by the moment; no read
        // works on it again either way.
        if (n <= 0)
            return board_news::HUNG_UP;
        for (ssize_t i = 0; i < n; i++) {
            w.window = static_cast<U16>((w.window << 8) | buf[i]);
            if (w.window == w.marker) {
                w.window = 0;
                w.last_marker = monotonic_ns();
                news = board_news::MARKER;
            }
        }
    }
}

board_news watch_check(const line_watch &w, const char *path, mono_ns now, mono_ns quiet_ns)
{
    struct stat st;
    if (stat(path, &st) != 0 ? absent(errno) : st.st_rdev != w.rdev)
        return board_news::VANISHED;
    if (w.last_marker != 0 && now - w.last_marker >= quiet_ns)
        return board_news::QUIET;
    return board_news::NONE;
}

void watch_close(line_watch &w)
{
    if (w.fd < 0)
        return;
    tcsetattr(w.fd, TCSANOW, &w.found);  // refused by a line that has gone: nothing to put back
    close(w.fd);                         // and the lock with it
    w.fd = -1;
}
