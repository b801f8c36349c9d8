// The flash read: "RD" with the byte count, then that many raw bytes into the output file, or
// into memory for the block write's read-back.
#include "monitor/flash_read.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "files.h"
#include "monitor/image/image.h"
#include "monitor/link/link.h"
#include "monitor/link/progress.h"
#include "monitor/speed/speed_switch.h"
#include "serial/serial.h"

namespace {

constexpr int BYTE_WAIT_SEC = 10;          // one-second waits for each next byte
constexpr int RECEIVE_CHUNK_BYTES = 4096;  // taken from the input queue at most in one go

// Where the received bytes go: the output file of the flash read, or memory. The file is
// created (or emptied) when the first data byte has arrived, so that a monitor that never
// answers leaves an existing file as it was.
struct read_target {
    file_ptr *file = nullptr;
    U8 *memory = nullptr;
};

// The output file open for the first bytes. 1 = open.
int open_output(file_ptr &fo)
{
    if (fo)
        return 1;
    fo = create_output_file(outfilenam);
    if (fo)
        return 1;
    const int err = errno;
    progress_clear();
    std::printf("\nOutput file [%s] open error: %s\n", outfilenam, std::strerror(err));
    return 0;
}

// Closes the output file, if it was opened. 1 = everything written reached it.
int close_output(file_ptr &fo)
{
    if (fo && std::fclose(fo.release()) != 0) {
        std::fprintf(stderr, "\nOutput file [%s] write error\n", outfilenam);
        return 0;
    }
    return 1;
}

// Ends the run on a termination request or a hung-up line; what arrived is kept in the file.
void end_read_if_interrupted(read_target &t)
{
    take_requests();
    if (stopped() || tty_hung_up()) {
        progress_clear();
        if (t.file)
            t.file->reset();
        end_run_if_interrupted(TERM_FLASH_READ);
    }
}

// Stores the n bytes that arrived for offset pos. 1 = stored.
int store(read_target &t, const U8 *p, int pos, int n)
{
    if (!t.file) {
        std::memcpy(t.memory + pos, p, static_cast<std::size_t>(n));
        return 1;
    }
    if (!open_output(*t.file))
        return 0;
    if (std::fwrite(p, 1, static_cast<std::size_t>(n), t.file->get()) !=
        static_cast<std::size_t>(n)) {
        progress_clear();
        std::fprintf(stderr, "\nOutput file [%s] write error\n", outfilenam);
        t.file->reset();
        return 0;
    }
    return 1;
}

// The byte at `pos` did not come. The bytes before it stay in the file.
int byte_lost(read_target &t, int pos)
{
    progress_clear();
    end_read_if_interrupted(t);
    std::fprintf(stderr, "\nRead byte timeout, offset [%d][0x%x]\n", pos,
                 static_cast<unsigned>(pos));
    if (t.file)
        close_output(*t.file);
    return 0;
}

// Receives the `count` data bytes into the target; closes an output file. Each byte may take up
// to BYTE_WAIT_SEC waits after the one before it; whatever is already queued behind it comes
// with one more read, so a fast line costs no system call per byte. 1 = all stored.
int receive_data(read_target &t, int count)
{
    U8 rbuf[RECEIVE_CHUNK_BYTES];
    bool read_failed = false;  // reported already, as the timed read would report it
    int pos = 0;
    hash_marks marks;
    progress_start(count, true, t.file ? nullptr : "verify");
    while (pos < count) {
        end_read_if_interrupted(t);
        hash_mark(marks, pos);
        rbuf[0] = 0;
        const int chunk = std::min(count - pos, RECEIVE_CHUNK_BYTES);
        gather_tty(chunk);
        if (read_failed || !read_tty(rbuf, 1, BYTE_WAIT_SEC))
            return byte_lost(t, pos);
        const int want = chunk - 1;
        const int more = want > 0 ? read_pending_tty(rbuf + 1, want) : 0;
        read_failed = more < 0;
        const int n = 1 + std::max(more, 0);
        for (int i = 1; i < n; i++)
            hash_mark(marks, pos + i);
        pos += n;
        monitor_sending(count - pos);
        if (!store(t, rbuf, pos - n, n))
            return 0;
        progress_update(pos);
    }
    progress_end();
    return t.file ? open_output(*t.file) && close_output(*t.file) : 1;
}

// The read frame for `count` bytes, then the data. 1 = all stored.
int read_frame(read_target &t, int count)
{
    if (!send_command(CMD_READ, true, TERM_FLASH_READ) ||
        !write_len(pair_code(CMD_READ), count, 0)) {
        if (t.file)
            close_output(*t.file);
        return 0;
    }
    // From here the monitor sends all `count` bytes whatever happens at this end.
    monitor_sending(count);
    return receive_data(t, count);
}

}  // namespace

int read_flash_into(U8 *dest, int count)
{
    read_target t;
    t.memory = dest;
    return read_frame(t, count);
}

int read_data_speed() { return read_speed != 0 ? read_speed : write_speed; }

int proc_Read()
{
    const long length = job_length();
    if (length <= 0) {
        std::fprintf(stderr, "\nRead data size is not defined\n");
        return 0;
    }
    if (!read_id())
        return 0;
    // The switch comes before the read's own line, so that "Read flash ...Ok" reads as it does
    // at the normal speed.
    const int speed = read_data_speed();
    if (speed != 0) {
        std::printf("Set Read Speed %d\n", speed);
        std::fflush(stdout);
        if (!enter_fast_speed(speed, TERM_FLASH_READ))
            return 0;
        // At the new speed the monitor must announce itself again.
        if (!read_id()) {
            put_back_line();
            return 0;
        }
    }
    std::printf("Read flash ...");
    std::fflush(stdout);
    file_ptr fo;
    read_target t;
    t.file = &fo;
    const int rvl = read_frame(t, static_cast<int>(length));
    if (rvl)
        std::printf("Ok\n");
    if (speed != 0) {
        // The read's line is left open when it failed.
        std::printf("%sRestore Speed %d\n", rvl ? "" : "\n", normal_speed());
        std::fflush(stdout);
        if (!leave_fast_speed())
            return 0;
    }
    return rvl;
}
