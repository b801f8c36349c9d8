// Linked into zelk_restore_fails, a test build of zelk whose calls of tcsetattr are wrapped: the
// second change with TCSAFLUSH (the first sets the line up, the second puts it back at the end of
// a run without a speed switch) fails as on a line whose node has gone.
#include <cerrno>
#include <termios.h>

extern "C" int __real_tcsetattr(int fd, int when, const struct termios *t);

extern "C" int __wrap_tcsetattr(int fd, int when, const struct termios *t)
{
    static int flushing_changes = 0;
    if (when == TCSAFLUSH && ++flushing_changes == 2) {
        errno = EIO;
        return -1;
    }
    return __real_tcsetattr(fd, when, t);
}
