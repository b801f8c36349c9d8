// The report's file, written without stdio or allocation.
#include "report/report_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "clock/clock.h"
#include "files.h"
#include "zelk.h"

namespace {

void write_all(int fd, const char *p, int n, bool &ok)
{
    while (ok && n > 0) {
        const ssize_t w = write(fd, p, static_cast<size_t>(n));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            ok = false;
            return;
        }
        p += w;
        n -= static_cast<int>(w);
    }
}

// The temporary file: beside the report, so that the rename stays on one file system, under a
// name no other user can guess (a link or FIFO planted at a guessable name would receive the
// report; O_EXCL refuses whatever is there all the same).
constexpr int TMP_ATTEMPTS = 8;
char tmp_name[PATH_MAX + 32];
volatile sig_atomic_t tmp_made = 0;
// The file the report replaces: the report's name, or where the user's own links from it lead,
// so that the rename puts the report in the link's target instead of in the link's place.
char target[PATH_MAX];

void temporary_name(char *buf)
{
    unsigned char random[6] = {};
    if (getrandom(random, sizeof random, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof random)) {
        const unsigned long long mix =
            static_cast<unsigned long long>(monotonic_us()) * 2654435761ULL ^
            static_cast<unsigned long long>(getpid());
        for (std::size_t i = 0; i < sizeof random; i++)
            random[i] = static_cast<unsigned char>(mix >> (8 * i));
    }
    constexpr char HEX[] = "0123456789abcdef";
    int len = static_cast<int>(strnlen(target, PATH_MAX));
    std::memcpy(buf, target, static_cast<size_t>(len));
    buf[len++] = '.';
    for (unsigned char r : random) {
        buf[len++] = HEX[r >> 4];
        buf[len++] = HEX[r & 15];
    }
    std::memcpy(buf + len, ".tmp", 5);
}

}  // namespace

void report_file_error(const char *what)
{
    const char head[] = "\nReport file [";
    bool ok = true;
    write_all(STDERR_FILENO, head, sizeof head - 1, ok);
    write_all(STDERR_FILENO, reportfilenam, static_cast<int>(strnlen(reportfilenam, NAME_BUF_SIZE)),
              ok);
    write_all(STDERR_FILENO, what, static_cast<int>(std::strlen(what)), ok);
}

namespace {

// "] open error: <reason>" with the reason's text (strerrordesc_np: no locale, no allocation).
void report_open_error(int err)
{
    const char *why = strerrordesc_np(err);
    bool ok = true;
    report_file_error("] open error: ");
    if (why)
        write_all(STDERR_FILENO, why, static_cast<int>(std::strlen(why)), ok);
    write_all(STDERR_FILENO, "\n", 1, ok);
}

}  // namespace

int write_report_file(const char *text, int len)
{
    if (tmp_made) {
        unlink(tmp_name);
        tmp_made = 0;
    }
    if (!follow_own_links(reportfilenam, target, sizeof target))
        std::memcpy(target, reportfilenam, strnlen(reportfilenam, NAME_BUF_SIZE - 1) + 1);
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < TMP_ATTEMPTS; attempt++) {
        temporary_name(tmp_name);
        fd = create_file(tmp_name, O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        report_open_error(errno);
        return 0;
    }
    tmp_made = 1;
    bool ok = true;
    write_all(fd, text, len, ok);
    ok = fsync(fd) == 0 && ok;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(tmp_name, target) != 0) {
        unlink(tmp_name);
        report_file_error("] write error\n");
        return 0;
    }
    tmp_made = 0;
    return 1;
}

void abandon_report_file()
{
    if (tmp_made) {
        unlink(tmp_name);
        tmp_made = 0;
    }
}
