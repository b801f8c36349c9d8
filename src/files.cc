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

// Whether the symbolic link `name` may be followed: outside a world-writable sticky directory
// always; inside one only when it belongs to the user or to the directory's owner.
bool link_may_be_followed(const char *name)
{
    struct stat link, dir;
    if (lstat(name, &link) != 0)
        return true;  // gone meanwhile: the open that follows decides
    if (stat(directory_of(name).c_str(), &dir) != 0)
        return true;
    const bool shared = (dir.st_mode & S_ISVTX) && (dir.st_mode & S_IWOTH);
    return !shared || link.st_uid == geteuid() || link.st_uid == dir.st_uid;
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

file_ptr create_output_file(const char *name)
{
    constexpr int flags = O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC;
    // A name that does not exist yet is created as a plain file in place; only an existing link
    // makes this open fail (ELOOP, or EACCES in a sticky directory) and needs the owner check.
    // A link that was looked at cannot be swapped afterwards: in a sticky directory only its
    // owner or the directory's may do that.
    int fd = open(name, flags | O_NOFOLLOW, 0666);
    if (fd < 0) {
        const int err = errno;
        struct stat st;
        if (lstat(name, &st) != 0 || !S_ISLNK(st.st_mode)) {
            errno = err;
            return nullptr;
        }
        if (!link_may_be_followed(name)) {
            std::fprintf(stderr,
                         "\nFile [%s] is a symbolic link of another user in a shared sticky "
                         "directory: not followed\n",
                         name);
            errno = EACCES;
            return nullptr;
        }
        fd = open(name, flags, 0666);
    }
    return stream_of(fd, "w+");
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
