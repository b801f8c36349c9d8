// The echo test: the host as a loopback at the far end of the serial line. Every byte received
// is logged in the protocol file and written straight back; the count is reported every 64 KiB.
// Runs until the termination signal sets kill_link.

#include <cerrno>
#include <cstdio>

#include "serial/serial.h"
#include "terminal/terminal.h"
#include "zelk.h"

namespace {

constexpr size_t ECHO_READ_BYTES = 256;  // at most one read of this size between arrival and echo
constexpr U32 RX_REPORT_MASK = 0xFFFF;   // a count line whenever the count is a multiple of 65536

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
    // The far end compares what comes back; a short write is for it to notice.
    write_tty_once(buf, n);
    return err == 0 ? 1 : 0;
}

}  // namespace

int proc_Echo_Test()
{
    file_ptr fprot = prot_file_open();
    U32 rxcount = 0;
    unsigned char rbuf[ECHO_READ_BYTES];
    for (;;) {
        size_t n = 0;
        input_ready ready;
        line_step s = wait_input(-1, &ready);
        if (s == line_step::GO) {
            if (!ready.line)
                continue;
            s = read_line_chunk(rbuf, sizeof rbuf, &n);
        }
        if (s == line_step::IDLE)
            continue;
        if (s != line_step::GO)
            return prot_file_close(fprot, true) && s == line_step::STOP ? 1 : 0;
        if (!echo_chunk(fprot.get(), rbuf, n, &rxcount)) {
            prot_file_close(fprot, false);
            return 0;
        }
    }
}
