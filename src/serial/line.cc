// Line set-up, speed table lookups, and the state restored when the program ends.
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "serial/serial.h"

volatile sig_atomic_t kill_link = 0;
struct termios restore_termios;

// The speed setup_tty set the line up at; 0 before it has.
static int line_speed = 0;

// restore_termios holds the device's attributes only once setup_tty has read them.
static volatile sig_atomic_t device_attrs_saved = 0;

// Serial flags as found, kept while the run has switched low-latency operation on.
static volatile sig_atomic_t low_latency_changed = 0;
static struct serial_struct saved_serial;

static volatile sig_atomic_t console_saved = 0;
static int console_fd = -1;
static struct termios console_termios;

// The first row before the table's terminator whose field `key` holds `value`; null if none.
static const speed *find_speed(int speed::*key, int value)
{
    for (const speed &s : speeds) {
        if (s.speed_int == 0)
            break;
        if (s.*key == value)
            return &s;
    }
    return nullptr;
}

int speed_toh(int bps)
{
    if (bps == 0)
        return 0;
    if (const speed *s = find_speed(&speed::speed_int, bps))
        return s->speed_val;
    std::fprintf(stderr, "Speed %d not supported\n", bps);
    return 0;
}

bool baud_in_table(int bps) { return bps != 0 && find_speed(&speed::speed_int, bps) != nullptr; }

int speed_tob(int code)
{
    if (code == 0)
        return 0;
    const speed *s = find_speed(&speed::speed_val, code);
    return s ? s->speed_int : 0;
}

int setdtr(int fd, int on)
{
    int modembits = TIOCM_DTR;
    return ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &modembits) >= 0 ? 1 : 0;
}

// DTR as found, when the run raised it: lowered again on every way out. A driver without modem
// lines (a pseudo-terminal) has nothing to put back.
static volatile sig_atomic_t dtr_raised = 0;

static void raise_dtr(int fd)
{
    int bits = 0;
    if (ioctl(fd, TIOCMGET, &bits) == 0 && !(bits & TIOCM_DTR)) {
        dtr_raised = 1;
        if (!setdtr(fd, 1))
            dtr_raised = 0;
        return;
    }
    setdtr(fd, 1);
}

static void restore_dtr(int fd)
{
    if (dtr_raised) {
        setdtr(fd, 0);
        dtr_raised = 0;
    }
}

// USB adapters hold back a short reply for their latency timer (16 ms on common FTDI chips), three
// times per block of the block write. Drivers that know ASYNC_LOW_LATENCY pass bytes on at once;
// others (a pseudo-terminal, for one) refuse the request and the run goes on as it is.
static void set_low_latency(int fd)
{
    struct serial_struct ss;
    if (ioctl(fd, TIOCGSERIAL, &ss) < 0 || (ss.flags & ASYNC_LOW_LATENCY))
        return;
    saved_serial = ss;
    ss.flags |= ASYNC_LOW_LATENCY;
    // Recorded before the change: a fatal signal between the two puts the flags back.
    low_latency_changed = 1;
    if (ioctl(fd, TIOCSSERIAL, &ss) != 0)
        low_latency_changed = 0;
}

static void restore_low_latency(int fd)
{
    if (low_latency_changed) {
        ioctl(fd, TIOCSSERIAL, &saved_serial);
        low_latency_changed = 0;
    }
}

void make_raw_line(struct termios &tios)
{
    tios.c_iflag &= ~(ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON | IXOFF | IMAXBEL);
    tios.c_iflag |= IGNBRK | IGNPAR;
    tios.c_oflag &= ~OPOST;
    // No hang-up on the last close (a board's reset may hang on DTR), no wait for carrier.
    tios.c_cflag &= ~(CSIZE | CSTOPB | PARENB | HUPCL | CRTSCTS);
    tios.c_cflag |= CS8 | CREAD | CLOCAL;
    tios.c_lflag = 0;
    tios.c_cc[VMIN] = 1;
    tios.c_cc[VTIME] = 1;
}

int setup_tty(int fd)
{
    struct termios tios;

    raise_dtr(fd);
    if (tcgetattr(fd, &tios) < 0) {
        std::fprintf(stderr, "TTY device attribute read error (tcgetattr): (%d)\n", errno);
        return 0;
    }
    restore_termios = tios;
    device_attrs_saved = 1;
    make_raw_line(tios);

    int code = speed_toh(inspeed);
    if (code != 0) {
        std::printf("Set speed=%d\n", inspeed);
        cfsetospeed(&tios, static_cast<speed_t>(code));
        cfsetispeed(&tios, static_cast<speed_t>(code));
    } else {
        code = static_cast<int>(cfgetospeed(&tios));
        std::printf("Used speed=%d\n", speed_tob(code));
        if (code == 0) {
            std::fprintf(stderr, "Speed fo %s = 0. Use commnad line to set speed.\n", devnam);
            end_program(1);
        }
    }
    if (tcsetattr(fd, TCSAFLUSH, &tios) < 0) {
        std::fprintf(stderr, "TTY device set attribute error (tcsetattr)\n");
        end_program(1);
    }
    line_speed = speed_tob(code);
    trace_speed(line_speed);
    set_low_latency(fd);
    return 1;
}

int normal_speed() { return line_speed != 0 ? line_speed : inspeed; }

// The attributes in force before the speed switch of a running line.
static struct termios before_switch;
static int switched = 0;

int line_switched() { return switched; }

int line_baud()
{
    struct termios tios;
    return tcgetattr(ttyfd, &tios) == 0 ? speed_tob(static_cast<int>(cfgetospeed(&tios))) : 0;
}

int set_line_speed(int code)
{
    struct termios tios;
    if (tcgetattr(ttyfd, &tios) != 0) {
        std::fprintf(stderr, "TTY device attribute read error (tcgetattr): (%d)\n", errno);
        return 0;
    }
    if (!switched)  // a second change (a step down) keeps the attributes of the normal speed
        before_switch = tios;
    cfsetospeed(&tios, static_cast<speed_t>(code));
    cfsetispeed(&tios, static_cast<speed_t>(code));
    if (tcsetattr(ttyfd, TCSAFLUSH, &tios) != 0) {
        std::fprintf(stderr, "TTY device set attribute error (tcsetattr)\n");
        end_program(1);
    }
    switched = 1;
    trace_speed(speed_tob(code));
    return 1;
}

int restore_line()
{
    if (tcsetattr(ttyfd, TCSAFLUSH, &before_switch) != 0) {
        std::fprintf(stderr, "can't restore TTY settings\n");
        return 0;
    }
    switched = 0;
    trace_speed(speed_tob(static_cast<int>(cfgetospeed(&before_switch))));
    return 1;
}

int close_tty()
{
    // A device that went away and was let go of (the terminal's reconnect) has nothing to put back.
    if (ttyfd == -1)
        return 1;
    int err = 0;  // the first step that failed, 0 when every one held
    restore_low_latency(ttyfd);
    restore_dtr(ttyfd);
    if (device_attrs_saved && tcsetattr(ttyfd, TCSAFLUSH, &restore_termios) < 0) {
        // A line reported hung up is gone: nothing to put back, and the run has said why.
        if (!tty_hung_up())
            err = errno;
        std::printf("Can not restore TTY device attribute\n");
    }
    device_attrs_saved = 0;
    if (!release_claim() && err == 0)
        err = errno;  // the mode record stays, for the next run to put the mode back
    if (err != 0) {
        std::fflush(stdout);
        std::fprintf(stderr, "\nRestore of %s failed: %s\n", devnam, std::strerror(err));
        return 0;
    }
    return 1;
}

void release_tty()
{
    if (ttyfd == -1)
        return;
    device_attrs_saved = 0;
    restore_low_latency(ttyfd);
    // The inode keeps its mode if the node comes back as the same one.
    release_claim();
}

void save_console_state(int fd, const struct termios &tios)
{
    console_fd = fd;
    console_termios = tios;
    console_saved = 1;
}

void forget_console_state() { console_saved = 0; }

void restore_saved_state()
{
    if (console_saved) {
        tcsetattr(console_fd, TCSANOW, &console_termios);
        console_saved = 0;
    }
    int fd = ttyfd;
    if (fd == -1)
        return;
    // Whatever is still queued either way is of no use once the run is over; flushing first
    // keeps tcsetattr from waiting on output that may never drain.
    restore_low_latency(fd);
    if (device_attrs_saved) {
        tcflush(fd, TCIOFLUSH);
        tcsetattr(fd, TCSANOW, &restore_termios);
    }
    restore_dtr(fd);
    release_claim();
}
