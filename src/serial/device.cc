// Opening the serial device: what the driver checks and changes between the open and the line
// set-up. Only a serial line is used, and its node is protected for the length of the run with
// the mode to put back saved first.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "serial/serial.h"

namespace {

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

int check_serial_line(int fd)
{
    struct stat st;
    struct termios tios;
    unsigned int ptn;
    // A pseudo-terminal master (each open of /dev/ptmx makes a new one) answers tcgetattr as
    // well, but it is the far end of a line, not a line.
    if (fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && tcgetattr(fd, &tios) == 0 &&
        ioctl(fd, TIOCGPTN, &ptn) < 0)
        return 1;
    std::fprintf(stderr, "Device [%s] is not a serial line\n", devnam);
    return 0;
}

int protect_node(int fd)
{
    struct stat st;
    if (fstat(fd, &st) < 0) {
        std::fprintf(stderr, "fchmod %s error: %s\n", devnam, std::strerror(errno));
        return 0;
    }
    if ((st.st_mode & OTHERS_WRITE) == 0)
        return 1;  // nobody else may write to it: nothing to take away, nothing to put back
    // Saved before the change: a fatal signal between the two steps finds the mode to put back.
    tty_mode = st.st_mode;
    if (fchmod(fd, st.st_mode & 07777 & ~OTHERS_WRITE) == 0)
        return 1;
    const int err = errno;
    tty_mode = static_cast<mode_t>(-1);
    std::fprintf(stderr, "fchmod %s error: %s\n", devnam, std::strerror(err));
    if (st.st_mode & S_IWOTH)
        std::fprintf(stderr, "Device [%s] stays writable by every user during the run\n", devnam);
    else
        std::fprintf(stderr, "Device [%s] stays writable by group %s during the run\n", devnam,
                     group_name(st.st_gid).c_str());
    return 0;
}

int open_tty(const char *path)
{
    // Never the controlling terminal, even for a session leader (a service, setsid, a CI job):
    // a vanished adapter then reads as a hung-up line instead of sending SIGHUP.
    ttyfd = open(path, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0);
    if (ttyfd != -1)
        return 1;
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
