// A serial line for unit tests: a pseudo-terminal whose slave, raw and non-blocking as zelk sets
// its device up, is ttyfd; the test plays the far end on the master.
#pragma once

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include "pty_line.h"
#include "zelk.h"

struct RawLine {
    int master = -1;
    int slave = -1;
    RawLine()
    {
        termios t{};
        cfmakeraw(&t);
        cfsetspeed(&t, B38400);
        std::string path;
        if (!zb::open_pty(master, slave, path, &t))
            throw std::runtime_error("openpty failed");
        fcntl(slave, F_SETFL, fcntl(slave, F_GETFL) | O_NONBLOCK);
        ttyfd = slave;
    }
    ~RawLine()
    {
        ttyfd = -1;
        close(slave);
        close(master);
    }
    RawLine(const RawLine &) = delete;
    RawLine &operator=(const RawLine &) = delete;
};
