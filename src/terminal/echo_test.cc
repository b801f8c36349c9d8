// The echo test: the host as a loopback at the far end of the serial line. Every byte received
// is logged in the protocol file and written straight back; the count is reported every 64 KiB.
// Runs until the termination signal sets kill_link, or, from a console, until Ctrl-] q.

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "serial/serial.h"
#include "terminal/terminal.h"
#include "zelk.h"

namespace {

constexpr size_t ECHO_READ_BYTES = 256;  // at most one read of this size between arrival and echo
constexpr U32 RX_REPORT_MASK = 0xFFFF;   // a count line whenever the count is a multiple of 65536
constexpr size_t KEY_READ_BYTES = 32;
constexpr int WAIT_MS = 1000;  // short, so kill_link is seen while the line takes nothing

// Logs one chunk byte by byte, reporting the count as it passes a multiple of 65536, then
// sends the chunk back whole. The log is flushed first, so it already holds what the far end
// sees returned. 0 when the log lost bytes (reported); the chunk still goes back.
int echo_chunk(std::FILE *fprot, const unsigned char *buf, size_t n, U32 *rxcount)
{
    int err = 0;  // the first failure's errno; 0 while everything is logged
    for (size_t i = 0; i < n; i++) {
        if (err == 0 && std::fputc(buf[i], fprot) == EOF)
            err = errno;
        if ((++*rxcount & RX_REPORT_MASK) == 0)
            std::printf("Rx=%u bytes\n", *rxcount);
    }
    if (err == 0 && std::fflush(fprot) != 0)
        err = errno;
    if (err != 0)
        prot_file_error(err);
    // Queued, and written as the line takes it: the far end gets back every byte in order. The
    // caller reads only while a whole read fits the queue.
    queue_for_line(buf, n);
    return err == 0 ? 1 : 0;
}

// From a console the keys are read one by one, unechoed; Ctrl-C still raises the termination
// signal. The attributes as found go to the restorer first, so every way out puts them back. A
// test run in the background (`zelk echo test DEV &`) leaves the console alone: touching it
// would stop the run with SIGTTOU or SIGTTIN.
bool console_keys(int fd, struct termios *saved)
{
    return isatty(fd) && tcgetpgrp(fd) == getpgrp() &&
           console_take(fd, console_mode::KEYS, saved, false);
}

// 1 once Ctrl-] q has been typed; *escape carries the escape key over from read to read. A
// console that reads nothing or fails is watched no more (*fd -1).
int read_keys(int *fd, bool *escape)
{
    unsigned char keys[KEY_READ_BYTES];
    const ssize_t n = read(*fd, keys, sizeof keys);
    if (n <= 0) {
        *fd = -1;
        return 0;
    }
    for (ssize_t i = 0; i < n; i++) {
        if (*escape && keys[i] == QUIT_KEY)
            return 1;
        *escape = keys[i] == ESCAPE_KEY && !*escape;
    }
    return 0;
}

}  // namespace

int proc_Echo_Test()
{
    file_ptr fprot = prot_file_open();
    struct termios saved;
    int keyfd = fileno(stdin);
    const bool console = keyfd >= 0 && console_keys(keyfd, &saved);
    if (console)
        std::fprintf(stderr, "Echo test on %s at %d baud: Ctrl-] q quits\n", devnam,
                     normal_speed());
    else
        keyfd = -1;
    bool escape = false;
    U32 rxcount = 0;
    unsigned char rbuf[ECHO_READ_BYTES];
    line_step s = line_step::GO;
    for (;;) {
        size_t n = 0;
        // A far end faster than the line back waits in the driver's buffer, not in a lost byte:
        // with no room for a read, only the line's taking bytes matters.
        if (line_queue_room() < ECHO_READ_BYTES) {
            if (!wait_tty_writable(WAIT_MS)) {
                if (!kill_link)
                    continue;
                s = line_step::STOP;
                break;
            }
            if ((s = flush_line_queue()) != line_step::GO)
                break;
            continue;
        }
        input_ready ready;
        s = wait_input(keyfd, &ready);
        if (s == line_step::IDLE)
            continue;
        if (s != line_step::GO)
            break;
        if (ready.writable && (s = flush_line_queue()) != line_step::GO)
            break;
        if (ready.console && read_keys(&keyfd, &escape)) {
            s = line_step::STOP;
            break;
        }
        if (!ready.line)
            continue;
        s = read_line_chunk(rbuf, sizeof rbuf, &n);
        if (s == line_step::IDLE)
            continue;
        if (s != line_step::GO)
            break;
        if (!echo_chunk(fprot.get(), rbuf, n, &rxcount)) {
            flush_line_queue();  // the chunk still goes back, as far as the line takes it now
            s = line_step::FAIL;
            prot_file_close(fprot, false);
            break;
        }
        if ((s = flush_line_queue()) != line_step::GO)
            break;
    }
    if (console)
        console_give_back(fileno(stdin), saved, false);
    if (!fprot)
        return 0;
    return prot_file_close(fprot, true) && s == line_step::STOP ? 1 : 0;
}
