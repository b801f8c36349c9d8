#include "pty_line.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace zb {

namespace {

struct SpeedCode {
    int baud;
    speed_t code;
};

constexpr SpeedCode SPEED_CODES[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800},
};

constexpr int BITS_PER_BYTE = 10;  // start bit, 8 data bits, stop bit
// At wire speed the board sends in chunks of at least 64 bytes and at least 10 ms of the line:
// at 460800 baud, 64-byte chunks woke it every 1.4 ms for a whole transfer, and threads waking
// that often beside busy CPUs keep the kernel's worker that hands pty bytes over off the CPU.
constexpr std::size_t WIRE_CHUNK_BYTES = 64;
constexpr int WIRE_CHUNK_MS = 10;
// Sending byte by byte: how long a byte may wait for the host to read it.
constexpr int HOST_READ_WAIT_MS = 15000;
// The longest sleep between two looks at the host's queue while waiting for it to be read: only
// a read the watch did not tell of waits that long.
constexpr int READ_LOOK_MS = 20;
constexpr std::chrono::seconds SLOW_READ{1};
// A UART's transmit FIFO (16 bytes on a 16550) keeps the line busy while the software that fills
// it is late: a chunk written within that many byte times after the line fell idle follows the
// one before it back to back, unless the board has read from the host in between (then it is an
// answer, and starts when the board sends it).
constexpr long TX_FIFO_BYTES = 16;

// What a UART sampling at the wrong rate makes of a byte: always some other byte.
U8 garble(U8 b) { return static_cast<U8>(b ^ 0xA5); }

void close_fd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

}  // namespace

int baud_of_code(speed_t code)
{
    for (const SpeedCode &s : SPEED_CODES)
        if (s.code == code)
            return s.baud;
    return 0;
}

speed_t code_of_baud(int baud)
{
    for (const SpeedCode &s : SPEED_CODES)
        if (s.baud == baud)
            return s.code;
    return 0;
}

bool open_pty(int &master, int &slave, std::string &path, const struct termios *attrs)
{
    char name[64];
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    slave = -1;
    if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 &&
        ptsname_r(master, name, sizeof name) == 0)
        slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave >= 0 && (!attrs || tcsetattr(slave, TCSANOW, attrs) == 0)) {
        path = name;
        return true;
    }
    const int err = errno;
    close_fd(slave);
    close_fd(master);
    errno = err;
    return false;
}

PtyLine::~PtyLine()
{
    close_fd(master_);
    close_fd(slave_);
    close_fd(wake_[0]);
    close_fd(wake_[1]);
    close_fd(watch_);
}

bool PtyLine::open(int baud, bool wire_speed, std::string &err)
{
    speed_t code = code_of_baud(baud);
    if (code == 0) {
        err = "speed " + std::to_string(baud) + " not supported";
        return false;
    }
    struct termios t;
    std::memset(&t, 0, sizeof t);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    cfsetospeed(&t, code);
    cfsetispeed(&t, code);
    // zelk and other children must not inherit the board's ends of the line.
    if (!open_pty(master_, slave_, path_, &t)) {
        err = std::string("pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        err = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    // Packet mode: every read of the master says whether it brings the host's bytes or news of
    // the line, such as a flush of what the host had not read yet.
    int packets = 1;
    if (ioctl(master_, TIOCPKT, &packets) != 0) {
        err = std::string("packet mode: ") + std::strerror(errno);
        return false;
    }
    watch_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch_ >= 0 && inotify_add_watch(watch_, path_.c_str(), IN_OPEN | IN_ACCESS) < 0)
        close_fd(watch_);
    baud_.store(baud);
    wire_speed_ = wire_speed;
    return true;
}

bool PtyLine::wait_fd(short events, int timeout_ms)
{
    if (stop_.load() || master_ < 0)
        return false;
    struct pollfd p[2] = {{master_, events, 0}, {wake_[0], POLLIN, 0}};
    int n = ::poll(p, 2, timeout_ms);
    if (n <= 0 || stop_.load() || (p[1].revents & POLLIN))
        return false;
    return (p[0].revents & (events | POLLERR | POLLHUP)) != 0;
}

bool PtyLine::pause_until(Time t)
{
    // A sleeping thread wakes up to 50 us late by default (its timer slack), once per pause: at
    // wire speed that would be several per cent of the line's time.
    static thread_local bool slack_set = false;
    if (!slack_set) {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        slack_set = true;
    }
    for (;;) {
        if (stop_.load())
            return false;
        const auto left = t - std::chrono::steady_clock::now();
        if (left <= std::chrono::nanoseconds(0))
            return true;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        struct pollfd p = {wake_[0], POLLIN, 0};
        struct timespec ts = {static_cast<time_t>(ns / 1000000000),
                              static_cast<long>(ns % 1000000000)};
        ::ppoll(&p, 1, &ts, nullptr);
    }
}

bool PtyLine::sleep_ms(int ms)
{
    return pause_until(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms));
}

std::chrono::nanoseconds PtyLine::wire_time(long bytes) const
{
    return std::chrono::nanoseconds(bytes * BITS_PER_BYTE * 1000000000LL / baud_.load());
}

void PtyLine::note(char kind, Time at, Time wire, long bytes)
{
    if (!timing_)
        return;
    auto ns = [](Time t) {
        return static_cast<long long>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count());
    };
    events_.push_back({kind, ns(at), ns(wire), bytes});
}

bool PtyLine::mismatched() const
{
    int host = host_baud();
    return host != 0 && host != baud_.load();
}

void PtyLine::take_input()
{
    U8 buf[4096];
    ssize_t n;
    Time now;
    {
        // Read and recorded under the lock: sent_by_host never finds bytes taken from the line
        // and not yet recorded.
        std::lock_guard<std::mutex> lock(mu_);
        n = ::read(master_, buf, sizeof buf);
        if (n <= 0)
            return;
        // A status alone, or the data after its leading TIOCPKT_DATA.
        if (buf[0] != TIOCPKT_DATA) {
            host_flushed_ = host_flushed_ || (buf[0] & TIOCPKT_FLUSHREAD) != 0;
            return;
        }
        if (--n == 0)
            return;
        now = std::chrono::steady_clock::now();
        received_.append(reinterpret_cast<const char *>(buf + 1), static_cast<std::size_t>(n));
        received_at_.insert(received_at_.end(), static_cast<std::size_t>(n), now);
    }
    tx_streaming_ = false;  // what the board sends next answers this
    bool bad = mismatched();
    for (ssize_t i = 1; i <= n; i++)
        rx_.push_back(bad ? garble(buf[i]) : buf[i]);
    if (bad)
        garbled_from_host_ += n;
    // The bytes come one after the other on the wire from the moment they were written, or
    // from the end of those before them: the monitor has them once the last has come.
    Time done = now;
    if (wire_speed_) {
        rx_until_ = std::max(now, rx_until_) + wire_time(n);
        done = rx_until_;
        pause_until(done);
    }
    note('R', now, done, n);
}

Rx PtyLine::read_byte(U8 &b, int timeout_ms)
{
    const Time end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (rx_.empty()) {
        if (stop_.load() || hung_up_.load())
            return Rx::Closed;
        // News of the line wakes the wait too, and brings no byte: the wait goes on to its end.
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (!wait_fd(POLLIN, static_cast<int>(std::max<long>(0, left.count()))))
            return stop_.load() ? Rx::Closed : Rx::Timeout;
        take_input();
        if (rx_.empty() && std::chrono::steady_clock::now() >= end)
            return Rx::Timeout;
    }
    if (stop_.load() || hung_up_.load())
        return Rx::Closed;
    b = rx_.front();
    rx_.pop_front();
    return Rx::Byte;
}

bool PtyLine::host_flushed()
{
    struct pollfd p = {master_, POLLIN, 0};
    if (master_ >= 0 && ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN))
        take_input();
    return std::exchange(host_flushed_, false);
}

bool PtyLine::send(const std::string &bytes)
{
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        if (stop_.load() || hung_up_.load())
            return false;
        std::size_t n = bytes.size() - pos;
        if (wire_speed_)
            n = std::min(n, std::max<std::size_t>(WIRE_CHUNK_BYTES,
                                                  static_cast<std::size_t>(baud_.load()) *
                                                      WIRE_CHUNK_MS / 1000 / BITS_PER_BYTE));
        if (byte_by_byte_)
            n = 1;
        std::string chunk = bytes.substr(pos, n);
        if (mismatched()) {
            for (char &c : chunk)
                c = static_cast<char>(garble(static_cast<U8>(c)));
            garbled_to_host_ += static_cast<long>(chunk.size());
        }
        // On the wire the chunk's first bit goes once the line is free; the host has its bytes
        // when the last has come, as from a UART.
        Time start = std::chrono::steady_clock::now();
        if (wire_speed_) {
            const bool fed = tx_streaming_ && start <= tx_until_ + wire_time(TX_FIFO_BYTES);
            start = fed ? tx_until_ : std::max(start, tx_until_);
            tx_until_ = start + wire_time(static_cast<long>(n));
            if (!pause_until(tx_until_))
                return false;
        }
        const Time ready = std::chrono::steady_clock::now();  // the host may read them from here
        std::size_t done = 0;
        while (done < chunk.size()) {
            ssize_t w = ::write(master_, chunk.data() + done, chunk.size() - done);
            if (w < 0) {
                if (errno != EAGAIN && errno != EINTR)
                    return false;
                wait_fd(POLLOUT, 100);
                if (stop_.load() || hung_up_.load())
                    return false;
                continue;
            }
            done += static_cast<std::size_t>(w);
        }
        note('T', ready, start, static_cast<long>(n));
        tx_streaming_ = true;
        pos += n;
        if (byte_by_byte_) {
            const bool go_on = wait_read_by_host(HOST_READ_WAIT_MS);
            const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - ready);
            if (on_slow_read && waited >= SLOW_READ)
                on_slow_read("byte " + std::to_string(pos) + " of " + std::to_string(bytes.size()) +
                             (go_on && queued_for_host() == 0 ? " read by zelk" : " left unread") +
                             " after " + std::to_string(waited.count()) + " ms");
            if (!go_on)
                return false;
        }
    }
    return true;
}

// What was just written is in the host's input queue (queued_for_host sees it there at once)
// until zelk reads it. Each read zelk makes of the slave shows on the watch (IN_ACCESS, after the
// bytes left the queue), so the wait sleeps until one comes rather than looking every
// millisecond: on this kernel, a few threads that wake each millisecond beside busy CPUs keep the
// worker that hands pty bytes over from running for seconds, for every pty on the machine.
bool PtyLine::wait_read_by_host(int limit_ms)
{
    const Time end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (queued_for_host() > 0) {
        if (stop_.load())
            return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return true;
        struct pollfd p[2] = {{watch_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        ::poll(p, 2, static_cast<int>(std::min<long>(left.count(), READ_LOOK_MS)));
        read_watch();
    }
    return !stop_.load();
}

int PtyLine::host_baud() const
{
    struct termios t;
    // On the master, tcgetattr reports the slave's attributes: the speed zelk set.
    if (master_ < 0 || tcgetattr(master_, &t) != 0)
        return 0;
    return baud_of_code(cfgetospeed(&t));
}

int PtyLine::queued_for_host() const
{
    int n = 0;
    if (slave_ < 0)
        return 0;
    // What the master wrote reaches the slave's queue through the kernel's flip buffer, a moment
    // later (on a loaded machine, many milliseconds later). A poll of the slave finds nothing
    // queued only after it has pushed the flip buffer through, so the count that follows holds
    // every byte sent and not yet read: no waiting for the hand-over on time.
    struct pollfd p = {slave_, POLLIN, 0};
    ::poll(&p, 1, 0);
    if (ioctl(slave_, FIONREAD, &n) != 0)
        return 0;
    return n;
}

void PtyLine::read_watch()
{
    alignas(struct inotify_event) char buf[4096];
    ssize_t n;
    while (watch_ >= 0 && (n = ::read(watch_, buf, sizeof buf)) > 0) {
        for (ssize_t at = 0; at < n;) {
            const auto *e = reinterpret_cast<const struct inotify_event *>(buf + at);
            if (e->mask & IN_OPEN)
                opens_++;
            at += static_cast<ssize_t>(sizeof(struct inotify_event) + e->len);
        }
    }
}

int PtyLine::host_opens()
{
    read_watch();
    return opens_;
}

void PtyLine::hang_up()
{
    hung_up_.store(true);
    close();
}

void PtyLine::close()
{
    close_fd(master_);
    close_fd(slave_);
}

void PtyLine::request_stop()
{
    stop_.store(true);
    if (wake_[1] >= 0) {
        char c = 1;
        [[maybe_unused]] ssize_t r = ::write(wake_[1], &c, 1);
    }
}

std::string PtyLine::received() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return received_;
}

std::size_t PtyLine::received_count() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return received_.size();
}

std::size_t PtyLine::sent_by_host() const
{
    std::lock_guard<std::mutex> lock(mu_);
    int queued = 0;
    if (master_ >= 0 && !hung_up_.load()) {
        // As in queued_for_host: the poll pushes the hand-over through before the count.
        struct pollfd p = {master_, POLLIN, 0};
        ::poll(&p, 1, 0);
        if (ioctl(master_, FIONREAD, &queued) != 0)
            queued = 0;
    }
    return received_.size() + static_cast<std::size_t>(queued);
}

std::vector<std::chrono::steady_clock::time_point> PtyLine::received_times() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return received_at_;
}

}  // namespace zb
