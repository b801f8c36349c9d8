// The console's mode while a run reads its keys: the attributes as found go to the serial
// layer's restorer before the change, so a fatal signal or an exit anywhere puts them back.
#include <termios.h>

#include <cerrno>
#include <cstdio>

#include "serial/serial.h"
#include "terminal/terminal.h"

int console_take(int fd, console_mode mode, struct termios *saved, bool report)
{
    if (tcgetattr(fd, saved) < 0) {
        if (report)
            std::fprintf(stderr, "\ntcgetattr stdin error: (%d)\n", errno);
        return 0;
    }
    struct termios tios = *saved;
    if (mode == console_mode::RAW) {
        cfmakeraw(&tios);
    } else {
        tios.c_lflag &= ~(ICANON | ECHO);
        tios.c_cc[VMIN] = 1;
        tios.c_cc[VTIME] = 0;
    }
    save_console_state(fd, *saved);
    if (tcsetattr(fd, TCSAFLUSH, &tios) < 0) {
        const int err = errno;
        forget_console_state();
        if (report)
            std::fprintf(stderr, "\ntcsetattr stdin error : (%d)\n", err);
        return 0;
    }
    return 1;
}

int console_give_back(int fd, const struct termios &saved, bool report)
{
    if (tcsetattr(fd, TCSAFLUSH, &saved) < 0) {
        // Left with the restorer, which tries once more when the program ends.
        if (report)
            std::fprintf(stderr, "\ntcsetattr stdin error : (%d)\n", errno);
        return 0;
    }
    forget_console_state();
    return 1;
}
