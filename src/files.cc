#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace {

// Wraps an open descriptor in a stream; the descriptor is closed when that fails.
file_ptr stream_of(int fd, const char *mode)
{
    if (fd < 0)
        return nullptr;
    std::FILE *f = fdopen(fd, mode);
    if (!f) {
        const int err = errno;
        close(fd);
        errno = err;
    }
    return file_ptr(f);
}

// The directory that holds `name`, as a path usable from the current directory.
std::string directory_of(const char *name)
{
    const std::string path(name);
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Whether the node `name` (a symbolic link, or with `follow` what it names) may be used although
// another user may own it: outside a world-writable sticky directory always; inside one only
// when it belongs to the user or to the directory's owner, as the kernel's protected_symlinks
// and protected_fifos rules have it.
bool owner_may_be_trusted(const char *name, bool follow)
{
    struct stat node, dir;
    if ((follow ? stat(name, &node) : lstat(name, &node)) != 0)
        return true;  // gone meanwhile: the open that follows decides
    if (stat(directory_of(name).c_str(), &dir) != 0)
        return true;
    const bool shared = (dir.st_mode & S_ISVTX) && (dir.st_mode & S_IWOTH);
    return !shared || node.st_uid == geteuid() || node.st_uid == dir.st_uid;
}

}  // namespace

file_ptr open_regular_file(const char *name, bool *not_regular)
{
    *not_regular = false;
    // Non-blocking, so that the open of a FIFO with no writer returns at once.
    const int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *not_regular = true;
        close(fd);
        return nullptr;
    }
    // Reads of a regular file never block; the flag is dropped all the same.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return stream_of(fd, "r");
}

namespace {

// Another user's symbolic link in a shared sticky directory (/tmp) is not followed: it could
// point the run's output at any file the user may write. -1 with errno EACCES, said on stderr.
int refuse_foreign_link(const char *name)
{
    std::fprintf(stderr,
                 "\nFile [%s] is a symbolic link of another user in a shared sticky directory: "
                 "not followed\n",
                 name);
    errno = EACCES;
    return -1;
}

// Opens the FIFO `name` for writing: never one of another user in a shared sticky directory,
// never without a reader. Opened so, a FIFO with nobody reading it refuses at once (ENXIO)
// instead of taking the run's bytes until its buffer is full and then blocking.
int open_fifo(const char *name)
{
    struct stat link;
    if (lstat(name, &link) == 0 && S_ISLNK(link.st_mode) && !owner_may_be_trusted(name, false))
        return refuse_foreign_link(name);
    if (!owner_may_be_trusted(name, true)) {
        // A FIFO planted by another user in /tmp would receive what the run writes.
        std::fprintf(stderr,
                     "\nFile [%s] is a FIFO of another user in a shared sticky directory: "
                     "not used\n",
                     name);
        errno = EACCES;
        return -1;
    }
    const int fd = open(name, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        if (err == ENXIO)
            std::fprintf(stderr, "\nFile [%s] is a FIFO with no reader: not opened\n", name);
        errno = err;
        return -1;
    }
    return fd;
}

}  // namespace

int create_file(const char *name, int flags, mode_t mode)
{
    if (flags & O_EXCL) {
        // A new file: no link followed, no FIFO met, no allocation on the way.
        return open(name, flags | O_NOFOLLOW | O_CLOEXEC, mode);
    }
    struct stat st;
    // Looked at before any open: an open for reading would itself count as the FIFO's reader.
    const bool fifo = stat(name, &st) == 0 && S_ISFIFO(st.st_mode);
    int fd = fifo ? open_fifo(name) : open(name, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0 && !fifo) {
        // A name that does not exist yet is created as a plain file in place; only an existing
        // link makes this open fail (ELOOP, or EACCES in a sticky directory) and needs the owner
        // check. A link that was looked at cannot be swapped afterwards: in a sticky directory
        // only its owner or the directory's may do that.
        const int err = errno;
        if (lstat(name, &st) != 0 || !S_ISLNK(st.st_mode)) {
            errno = err;
            return -1;
        }
        if (!owner_may_be_trusted(name, false))
            return refuse_foreign_link(name);
        fd = open(name, flags | O_NONBLOCK | O_CLOEXEC, mode);
    }
    if (fd < 0)
        return -1;
    // The writes that follow may wait for a slow reader; they never wait for none.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

file_ptr create_output_file(const char *name)
{
    const int fd = create_file(name, O_RDWR | O_CREAT | O_TRUNC, 0666);
    if (fd < 0)
        return nullptr;
    return stream_of(fd, (fcntl(fd, F_GETFL) & O_ACCMODE) == O_WRONLY ? "w" : "w+");
}

bool output_file_creatable(const char *name)
{
    struct stat st;
    if (stat(name, &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            errno = EISDIR;
            return false;
        }
        return access(name, W_OK) == 0;
    }
    if (errno != ENOENT)
        return false;
    const std::string dir = directory_of(name);
    if (stat(dir.c_str(), &st) != 0)
        return false;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return access(dir.c_str(), W_OK | X_OK) == 0;
}

bool same_file(const char *a, const char *b)
{
    struct stat sa, sb;
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}
