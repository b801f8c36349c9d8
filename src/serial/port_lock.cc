// The port lock: terminal programs take an exclusive flock on the serial device they use, so two
// programs never read the same line and steal each other's bytes in the middle of a transfer.
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "serial/serial.h"

namespace {

// The process holding a flock on the file behind fd, from /proc/locks (0 when it cannot tell).
// Lines read "1: FLOCK  ADVISORY  WRITE 1234 00:05:3 0 EOF", the file as major:minor:inode.
int lock_holder(int fd)
{
    struct stat st;
    if (fstat(fd, &st) < 0)
        return 0;
    char id[64];
    std::snprintf(id, sizeof id, "%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long>(st.st_ino));
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream f(line);
        std::string num, kind, mode, access, file;
        int pid = 0;
        if (f >> num >> kind >> mode >> access >> pid >> file && kind == "FLOCK" && file == id)
            return pid;
    }
    return 0;
}

std::string process_name(int pid)
{
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

}  // namespace

bool try_lock_line(int fd)
{
    // A file system without flock support: nothing to coordinate with, go on.
    return flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
}

int lock_tty(int fd)
{
    if (try_lock_line(fd))
        return 1;
    int pid = lock_holder(fd);
    std::string name = pid > 0 ? process_name(pid) : std::string();
    if (pid > 0 && !name.empty())
        std::fprintf(stderr, "Device [%s] is busy: in use by process %d (%s)\n", devnam, pid,
                     name.c_str());
    else if (pid > 0)
        std::fprintf(stderr, "Device [%s] is busy: in use by process %d\n", devnam, pid);
    else
        std::fprintf(stderr, "Device [%s] is busy: in use by another program\n", devnam);
    return 0;
}
