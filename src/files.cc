#include "files.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

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

// The directory that holds `name`, as a path usable from the current directory, into out
// (PATH_MAX bytes). Async-signal-safe.
void directory_of(const char *name, char *out)
{
    const char *slash = std::strrchr(name, '/');
    if (!slash) {
        std::strcpy(out, ".");
        return;
    }
    const std::size_t len =
        slash == name ? 1
                      : std::min<std::size_t>(static_cast<std::size_t>(slash - name), PATH_MAX - 1);
    std::memcpy(out, name, len);
    out[len] = '\0';
}

// Whether the node `name` (itself, a link not followed) may be used although another user may
// own it: outside a world-writable sticky directory always; inside one only when it belongs to
// the user or to the directory's owner, as the kernel's protected_symlinks and protected_fifos
// rules have it. Async-signal-safe.
bool owner_may_be_trusted(const char *name)
{
    struct stat node, dir;
    char dir_name[PATH_MAX];
    directory_of(name, dir_name);
    if (lstat(name, &node) != 0 || stat(dir_name, &dir) != 0)
        return true;  // gone meanwhile: the open that follows decides
    const bool shared = (dir.st_mode & S_ISVTX) && (dir.st_mode & S_IWOTH);
    return !shared || node.st_uid == geteuid() || node.st_uid == dir.st_uid;
}

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

// FIFOs that check_run_files opened for writing, kept until their file is created.
struct kept_fifo {
    dev_t dev;
    ino_t ino;
    int fd = -1;
};
std::array<kept_fifo, 8> kept_fifos;

// Opens the FIFO `name` for writing: never one of another user in a shared sticky directory,
// nor through a link of another user there, never without a reader. Opened so, a FIFO with
// nobody reading it refuses at once (ENXIO) instead of taking the run's bytes until its buffer
// is full and then blocking. A FIFO kept by the check (`st` is the FIFO's) is taken as it is.
int open_fifo(const char *name, const struct stat &st)
{
    for (kept_fifo &k : kept_fifos)
        if (k.fd >= 0 && k.dev == st.st_dev && k.ino == st.st_ino)
            return std::exchange(k.fd, -1);
    char path[PATH_MAX];
    if (!follow_own_links(name, path, sizeof path))
        return errno == EACCES ? refuse_foreign_link(name) : -1;
    if (!owner_may_be_trusted(path)) {
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

// The null sinks take every write and do nothing else; /dev/full fails every one.
bool null_sink(const struct stat &st)
{
    constexpr unsigned MEMORY_MAJOR = 1, NULL_MINOR = 3, ZERO_MINOR = 5, FULL_MINOR = 7;
    const unsigned m = minor(st.st_rdev);
    return S_ISCHR(st.st_mode) && major(st.st_rdev) == MEMORY_MAJOR &&
           (m == NULL_MINOR || m == ZERO_MINOR || m == FULL_MINOR);
}

enum file_use { USE_NAMED, USE_WRITTEN, USE_REPLACED, USE_READ };

struct role_text {
    const char *name;  // as the messages name the file
    file_use use;
    const char *lead;  // what its messages start with
};

// By file_role. The output file's clash with the input has always been said without an empty
// line before it.
constexpr std::array<role_text, 8> ROLES{{
    {"device", USE_NAMED, "\n"},
    {"input file", USE_NAMED, "\n"},
    {"report file", USE_REPLACED, "\n"},
    {"output file", USE_WRITTEN, ""},
    {"trace file", USE_WRITTEN, "\n"},
    {"progress file", USE_WRITTEN, "\n"},
    {"protocol file", USE_WRITTEN, "\n"},
    {"resume file", USE_READ, "\n"},
}};

// "<lead><Role> [name] <what>", with " [other]" when other is given.
void refuse(const run_file &f, const char *what, const char *other = nullptr)
{
    const role_text &r = ROLES[f.role];
    std::fprintf(stderr, "%s%c%s [%s] %s", r.lead, std::toupper(r.name[0]), r.name + 1, f.name,
                 what);
    if (other)
        std::fprintf(stderr, " [%s]", other);
    std::fputc('\n', stderr);
}

// The kind of node `f` is, against what the run does with it. 1 = it may be used; a FIFO to be
// written is opened and kept.
int check_kind(const run_file &f)
{
    const file_use use = ROLES[f.role].use;
    char path[PATH_MAX];
    if (!follow_own_links(f.name, path, sizeof path)) {
        if (errno != EACCES)
            return 1;  // the open says why
        refuse_foreign_link(f.name);
        return 0;
    }
    // Through the name, as the open will go: /dev/stdout leads to a pipe by a link that is no
    // path.
    struct stat st;
    if (stat(f.name, &st) != 0 || S_ISREG(st.st_mode))
        return 1;
    if (use != USE_WRITTEN) {
        refuse(f, "is not a regular file");
        return 0;
    }
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
        if (null_sink(st))
            return 1;
        refuse(f, "is a device, not a file");
        return 0;
    }
    if (S_ISSOCK(st.st_mode)) {
        refuse(f, "is a socket, not a file");
        return 0;
    }
    if (!S_ISFIFO(st.st_mode))
        return 1;  // a directory: the open says so
    for (kept_fifo &k : kept_fifos) {
        if (k.fd >= 0)
            continue;
        k.fd = open_fifo(f.name, st);
        k.dev = st.st_dev;
        k.ino = st.st_ino;
        return k.fd >= 0;
    }
    return 1;
}

}  // namespace

bool same_place(const char *a, const char *b)
{
    struct stat sa, sb;
    const bool ea = stat(a, &sa) == 0, eb = stat(b, &sb) == 0;
    if (std::strcmp(a, b) == 0 || (ea && eb && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino))
        return true;
    if (ea || eb)
        return false;
    const char *base_a = std::strrchr(a, '/'), *base_b = std::strrchr(b, '/');
    if (std::strcmp(base_a ? base_a + 1 : a, base_b ? base_b + 1 : b) != 0)
        return false;
    char dir_a[PATH_MAX], dir_b[PATH_MAX];
    directory_of(a, dir_a);
    directory_of(b, dir_b);
    return stat(dir_a, &sa) == 0 && stat(dir_b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

int check_run_files(std::span<const run_file> files, file_role *refused)
{
    for (const run_file &f : files) {
        if (!f.name[0] || ROLES[f.role].use == USE_NAMED)
            continue;
        *refused = f.role;
        for (const run_file &other : files) {
            if (&other == &f || !other.name[0] || !same_place(f.name, other.name))
                continue;
            char what[32];
            std::snprintf(what, sizeof what, "is the %s", ROLES[other.role].name);
            refuse(f, what, other.name);
            return 0;
        }
        if (!check_kind(f))
            return 0;
    }
    return 1;
}

int follow_own_links(const char *name, char *out, std::size_t size)
{
    constexpr int MAX_LINKS = 40;  // as the kernel's own limit
    if (strnlen(name, size) >= size) {
        errno = ENAMETOOLONG;
        return 0;
    }
    std::strcpy(out, name);
    for (int hops = 0; hops < MAX_LINKS; hops++) {
        struct stat st;
        if (lstat(out, &st) != 0 || !S_ISLNK(st.st_mode))
            return 1;
        if (!owner_may_be_trusted(out)) {
            errno = EACCES;
            return 0;
        }
        char target[PATH_MAX];
        const ssize_t n = readlink(out, target, sizeof target - 1);
        if (n < 0)
            return 1;  // gone meanwhile: the open that follows decides
        target[n] = '\0';
        char dir[PATH_MAX];
        directory_of(out, dir);
        // A relative target is taken from the link's directory.
        const std::size_t dir_len = target[0] == '/' ? 0 : std::strlen(dir) + 1;
        if (dir_len + static_cast<std::size_t>(n) >= size) {
            errno = ENAMETOOLONG;
            return 0;
        }
        if (dir_len) {
            std::memcpy(out, dir, dir_len - 1);
            out[dir_len - 1] = '/';
        }
        std::memcpy(out + dir_len, target, static_cast<std::size_t>(n) + 1);
    }
    errno = ELOOP;
    return 0;
}

void say_write_error(const char *what, const char *name, int err)
{
    const char *why = strerrordesc_np(err);
    for (const char *part : {"\n", what, " [", name, "] write error: ", why ? why : "", "\n"}) {
        const std::size_t len = std::strlen(part);
        [[maybe_unused]] const ssize_t w = write(STDERR_FILENO, part, len);
    }
}

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

int create_file(const char *name, int flags, mode_t mode)
{
    if (flags & O_EXCL) {
        // A new file: no link followed, no FIFO met, no allocation on the way.
        return open(name, flags | O_NOFOLLOW | O_CLOEXEC, mode);
    }
    struct stat st;
    // Looked at before any open: an open for reading would itself count as the FIFO's reader.
    const bool fifo = stat(name, &st) == 0 && S_ISFIFO(st.st_mode);
    int fd =
        fifo ? open_fifo(name, st) : open(name, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0 && !fifo) {
        // A name that does not exist yet is created as a plain file in place; only an existing
        // link makes this open fail (ELOOP, or EACCES in a sticky directory) and needs the owner
        // check. A link that was looked at cannot be swapped afterwards: in a sticky directory
        // only its owner or the directory's may do that.
        const int err = errno;
        char path[PATH_MAX];
        if (lstat(name, &st) != 0 || !S_ISLNK(st.st_mode)) {
            errno = err;
            return -1;
        }
        if (!follow_own_links(name, path, sizeof path))
            return errno == EACCES ? refuse_foreign_link(name) : -1;
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
    char dir[PATH_MAX];
    directory_of(name, dir);
    if (stat(dir, &st) != 0)
        return false;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return access(dir, W_OK | X_OK) == 0;
}
