// The flash read: "RD" with the byte count, then that many raw bytes into the output file.
#include <algorithm>
#include <cstdio>
#include <memory>

#include "monitor/monitor.h"
#include "serial/serial.h"

namespace {

constexpr int BYTE_WAIT_SEC = 10;          // one-second waits for each next byte
constexpr int HASH_EVERY_BYTES = 1024;     // a progress mark before each further KiB
constexpr int RECEIVE_CHUNK_BYTES = 4096;  // taken from the input queue at most in one go
constexpr char READ_TERMINATED[] = "\nFlash read terminated.";


// Closes the output file. 1 = everything written reached it.
int close_output(file_ptr &fo)
{
    if (std::fclose(fo.release()) != 0) {
        std::fprintf(stderr, "\nOutput file [%s] write error\n", outfilenam);
        return 0;
    }
    return 1;
}

void mark_progress(int pos)
{
    if (hash && pos > 0 && pos % HASH_EVERY_BYTES == 0) {
        std::printf("#");
        std::fflush(stdout);
    }
}

// The byte at `pos` did not come. The bytes before it stay in the file.
int byte_lost(file_ptr &fo, int pos)
{
    if (kill_link || tty_hung_up()) {
        fo.reset();  // what arrived is kept whatever ends the run
        end_run_if_interrupted(READ_TERMINATED);
    }
    std::fprintf(stderr, "\nRead byte timeout, offset [%d][0x%x]\n", pos,
                 static_cast<unsigned>(pos));
    close_output(fo);
    return 0;
}

// Receives the file_size data bytes into fo and closes it. Each byte may take up to
// BYTE_WAIT_SEC waits after the one before it; whatever is already queued behind it comes with
// one more read, so a fast line costs no system call per byte. 1 = all stored.
int receive_data(file_ptr &fo)
{
    U8 rbuf[RECEIVE_CHUNK_BYTES];
    bool read_failed = false;  // reported already, as the timed read would report it
    int pos = 0;
    while (pos < file_size) {
        mark_progress(pos);
        rbuf[0] = 0;
        gather_tty(std::min(file_size - pos, RECEIVE_CHUNK_BYTES));
        if (read_failed || !read_tty(rbuf, 1, BYTE_WAIT_SEC))
            return byte_lost(fo, pos);
        const int want = std::min(file_size - pos, RECEIVE_CHUNK_BYTES) - 1;
        const int more = want > 0 ? read_pending_tty(rbuf + 1, want) : 0;
        read_failed = more < 0;
        const int n = 1 + std::max(more, 0);
        for (int i = 1; i < n; i++)
            mark_progress(pos + i);
        if (std::fwrite(rbuf, 1, static_cast<std::size_t>(n), fo.get()) !=
            static_cast<std::size_t>(n)) {
            std::fprintf(stderr, "\nOutput file [%s] write error\n", outfilenam);
            fo.reset();
            return 0;
        }
        pos += n;
    }
    return close_output(fo);
}

}  // namespace

int proc_Read()
{
    if (file_size <= 0) {
        std::fprintf(stderr, "\nRead data size is not defined\n");
        return 0;
    }
    if (!read_id())
        return 0;
    std::printf("Read flash ...");
    std::fflush(stdout);
    // Created or emptied before the monitor is asked for anything.
    file_ptr fo(std::fopen(outfilenam, "w+b"));
    if (!fo) {
        std::printf("\nOutput file [%s] open error\n", outfilenam);
        return 0;
    }
    if (!send_command(CMD_READ, true) || !write_len(pair_code(CMD_READ), file_size, 0)) {
        close_output(fo);
        return 0;
    }
    if (!receive_data(fo))
        return 0;
    std::printf("Ok\n");
    return 1;
}
