// The serial device and the run's claim on it: the descriptor (ttyfd), what the driver checks
// and changes between the open and the line set-up, and the giving back of it. Only a serial
// line is used, and its node is protected for the length of the run with the mode to put back
// saved first.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "serial/serial.h"

int ttyfd = -1;
mode_t tty_mode = static_cast<mode_t>(-1);

namespace {

// TIOCEXCL is set on the device: cleared again on every way out.
volatile sig_atomic_t exclusive_set = 0;

constexpr mode_t OTHERS_WRITE = S_IWGRP | S_IWOTH;  // taken away while the run lasts
constexpr mode_t GROUP_RW = S_IRGRP | S_IWGRP;

std::string group_name(gid_t gid)
{
    const struct group *g = getgrgid(gid);
    return g ? std::string(g->gr_name) : std::to_string(gid);
}

std::string user_name(uid_t uid)
{
    const struct passwd *p = getpwuid(uid);
    return p ? std::string(p->pw_name) : std::to_string(uid);
}

}  // namespace

void report_open_error(const char *path, int err)
{
    std::fprintf(stderr, "Device open error [%s]: %s\n", path, std::strerror(err));
    struct stat st;
    if (err != EACCES || stat(path, &st) != 0)
        return;
    // Serial nodes are usually read-write for a group such as dialout or uucp, and joining it is
    // the lasting cure; a node open to its owner only leaves nothing to join.
    if ((st.st_mode & GROUP_RW) == GROUP_RW) {
        const std::string group = group_name(st.st_gid);
        std::fprintf(stderr,
                     "Only members of group %s may open %s: join it with "
                     "'sudo usermod -aG %s %s', then log in again.\n",
                     group.c_str(), path, group.c_str(), user_name(getuid()).c_str());
    } else {
        std::fprintf(stderr, "Only its owner %s may open %s.\n", user_name(st.st_uid).c_str(),
                     path);
    }
}

bool is_serial_line(int fd)
{
    struct stat st;
    struct termios tios;
    unsigned int ptn;
    // A pseudo-terminal master (each open of /dev/ptmx makes a new one) answers tcgetattr as
    // well, but it is the far end of a line, not a line.
    return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && tcgetattr(fd, &tios) == 0 &&
           ioctl(fd, TIOCGPTN, &ptn) < 0;
}

int check_serial_line(int fd)
{
    if (is_serial_line(fd))
        return 1;
    std::fprintf(stderr, "Device [%s] is not a serial line\n", devnam);
    return 0;
}

namespace {

constexpr const char *MODE_RECORD_DIR = "/run/lock";  // where the port locks of serial tools live

char mode_record[96] = "";  // this run's record while it stands, else ""

// Removes this run's mode record once the mode is back. Async-signal-safe.
void drop_mode_record()
{
    if (mode_record[0]) {
        unlink(mode_record);
        mode_record[0] = '\0';
    }
}

// Sets TIOCEXCL, so that no other open of the device succeeds (root aside) while the run lasts.
void hold_tty_exclusive(int fd)
{
    // Recorded before it is set: a fatal signal between the two clears it, or the next user's
    // open fails with EBUSY for good. A driver without exclusive mode leaves the flock as the
    // only guard.
    exclusive_set = 1;
    if (ioctl(fd, TIOCEXCL) != 0)
        exclusive_set = 0;
}

void record_path(char *buf, std::size_t size, dev_t rdev)
{
    std::snprintf(buf, size, "%s/zelk-%u-%u.mode", MODE_RECORD_DIR, major(rdev), minor(rdev));
}

// A record left by a run that could not put the mode back (killed with SIGKILL): the mode goes
// back first, when the node is as that run left it. The record goes either way, once read.
void recover_mode(int fd, struct stat &st)
{
    char path[sizeof mode_record];
    record_path(path, sizeof path, st.st_rdev);
    const int rfd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (rfd < 0)
        return;
    struct stat rs;
    char text[80] = {};
    const bool read_ok = fstat(rfd, &rs) == 0 && read(rfd, text, sizeof text - 1) > 0;
    close(rfd);
    // Another user's file in a shared directory says nothing about this node.
    if (!read_ok || !S_ISREG(rs.st_mode) || (rs.st_uid != geteuid() && rs.st_uid != 0))
        return;
    unsigned found = 0, left = 0;
    long long ctime_ns = -1;
    const int fields = std::sscanf(text, "%o %o %lld", &found, &left, &ctime_ns);
    const long long now_ns =
        static_cast<long long>(st.st_ctim.tv_sec) * 1000000000LL + st.st_ctim.tv_nsec;
    const bool as_left =
        fields >= 2 && (st.st_mode & 07777) == left && (fields < 3 || ctime_ns == now_ns);
    if (as_left && fchmod(fd, found & 07777) == 0)
        fstat(fd, &st);
    unlink(path);
}

// Writes the record: the mode found and the mode left, before the change. 0 when it cannot be
// written (a directory the user may not write to): the run goes on without it.
int write_mode_record(const struct stat &st, mode_t left)
{
    record_path(mode_record, sizeof mode_record, st.st_rdev);
    const int rfd = open(mode_record, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (rfd < 0) {
        mode_record[0] = '\0';
        return 0;
    }
    char text[40];
    const int n = std::snprintf(text, sizeof text, "%o %o\n", st.st_mode & 07777u, left & 07777u);
    const bool ok = write(rfd, text, static_cast<std::size_t>(n)) == n;
    close(rfd);
    if (!ok)
        drop_mode_record();
    return ok ? 1 : 0;
}

// Adds the node's change time after the change, which tells this node from a later one.
void complete_mode_record(int fd, mode_t left)
{
    struct stat st;
    if (!mode_record[0] || fstat(fd, &st) != 0)
        return;
    const int rfd = open(mode_record, O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
    if (rfd < 0)
        return;
    char text[80];
    const int n = std::snprintf(text, sizeof text, "%o %o %lld\n", tty_mode & 07777u, left & 07777u,
                                static_cast<long long>(st.st_ctim.tv_sec) * 1000000000LL +
                                    st.st_ctim.tv_nsec);
    [[maybe_unused]] const ssize_t w = write(rfd, text, static_cast<std::size_t>(n));
    close(rfd);
}

}  // namespace

int release_claim()
{
    if (ttyfd == -1)
        return 1;
    int err = 0;
    // Through the descriptor only: by now the path may name another node.
    if (tty_mode != static_cast<mode_t>(-1)) {
        if (fchmod(ttyfd, tty_mode & 07777) == 0)
            drop_mode_record();
        else
            err = errno;
        tty_mode = static_cast<mode_t>(-1);
    }
    if (exclusive_set) {
        ioctl(ttyfd, TIOCNXCL);
        exclusive_set = 0;
    }
    close(ttyfd);
    ttyfd = -1;
    if (err == 0)
        return 1;
    errno = err;
    return 0;
}

int protect_node(int fd)
{
    struct stat st;
    if (fstat(fd, &st) < 0) {
        std::fprintf(stderr, "fchmod %s error: %s\n", devnam, std::strerror(errno));
        return 0;
    }
    recover_mode(fd, st);
    if ((st.st_mode & OTHERS_WRITE) == 0)
        return 1;  // nobody else may write to it: nothing to take away, nothing to put back
    // Saved before the change, in memory and in the record: a fatal signal, or SIGKILL, between
    // the two steps still finds the mode to put back.
    const mode_t left = st.st_mode & 07777 & ~OTHERS_WRITE;
    tty_mode = st.st_mode;
    write_mode_record(st, left);
    if (fchmod(fd, left) == 0) {
        complete_mode_record(fd, left);
        return 1;
    }
    const int err = errno;
    tty_mode = static_cast<mode_t>(-1);
    drop_mode_record();
    std::fprintf(stderr, "fchmod %s error: %s\n", devnam, std::strerror(err));
    if (st.st_mode & S_IWOTH)
        std::fprintf(stderr, "Device [%s] stays writable by every user during the run\n", devnam);
    else
        std::fprintf(stderr, "Device [%s] stays writable by group %s during the run\n", devnam,
                     group_name(st.st_gid).c_str());
    return 0;
}

int open_line(const char *path)
{
    // Never the controlling terminal, even for a session leader (a service, setsid, a CI job):
    // a vanished adapter then reads as a hung-up line instead of sending SIGHUP. Never created
    // either: a device that vanishes just before the open must leave no file at its path, where
    // the next adapter's node could not go.
    return open(path, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

int open_tty(const char *path, bool quiet)
{
    ttyfd = open_line(path);
    if (ttyfd != -1)
        return 1;
    if (!quiet)
        report_open_error(path, errno);
    return 0;
}

int claim_tty()
{
    if (!check_serial_line(ttyfd) || !lock_tty(ttyfd))
        return 0;
    hold_tty_exclusive(ttyfd);

    int fdflags = fcntl(ttyfd, F_GETFL);
    if (fdflags == -1 || fcntl(ttyfd, F_SETFL, fdflags | O_NONBLOCK) < 0)
        std::fprintf(stderr, "set O_NONBLOCK mode error\n");

    // Group and other lose write permission for the length of the run; a failure is reported
    // and the run goes on.
    protect_node(ttyfd);
    return 1;
}
