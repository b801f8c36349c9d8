// The echo test: the host as a loopback at the far end of the serial line. Every byte received
// is logged in the protocol file and written straight back; the count is reported every 64 KiB.
// Runs until the termination signal sets kill_link.
#include <sys/select.h>
#include <unistd.h>

#include <cstdio>

#include "serial/serial.h"
#include "terminal/terminal.h"
#include "zelk.h"

namespace {

constexpr size_t ECHO_READ_BYTES = 256;  // at most one read of this size between arrival and echo
constexpr U32 RX_REPORT_MASK = 0xFFFF;   // a count line whenever the count is a multiple of 65536

// Logs one chunk byte by byte, reporting the count as it passes a multiple of 65536, then
// sends the chunk back whole. The log is flushed first, so it already holds what the far end
// sees returned.
void echo_chunk(std::FILE *fprot, const unsigned char *buf, size_t n, U32 *rxcount)
{
    for (size_t i = 0; i < n; i++) {
        std::fputc(buf[i], fprot);
        if ((++*rxcount & RX_REPORT_MASK) == 0)
            std::printf("Rx=%u bytes\n", *rxcount);
    }
    std::fflush(fprot);
    // The far end compares what comes back; a short write is for it to notice.
    [[maybe_unused]] const ssize_t w = write(ttyfd, buf, n);
}

}  // namespace

int proc_Echo_Test()
{
    const file_ptr fprot = prot_file_open();
    U32 rxcount = 0;
    unsigned char rbuf[ECHO_READ_BYTES];
    fd_set r_fds;
    for (;;) {
        size_t n = 0;
        line_step s = wait_input(&r_fds, -1);
        if (s == line_step::go) {
            if (!FD_ISSET(ttyfd, &r_fds))
                continue;
            s = read_line_chunk(rbuf, sizeof rbuf, &n);
        }
        if (s == line_step::idle)
            continue;
        if (s != line_step::go)
            return s == line_step::stop ? 1 : 0;
        echo_chunk(fprot.get(), rbuf, n, &rxcount);
    }
}
