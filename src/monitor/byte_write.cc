// The byte write: the input file sent after "WR" and its byte count, every byte echoed by the
// monitor and compared, one byte at a time or in paced chunks (block size 2 or more).
#include "monitor/byte_write.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "monitor/image/image.h"
#include "monitor/image/input_file.h"
#include "monitor/link/link.h"
#include "monitor/link/progress.h"
#include "serial/serial.h"

namespace {

// The bytes of a file of `len` bytes that the byte write sends: the whole file, or "size" bytes
// of it when a smaller size was given.
int write_length(long len)
{
    return static_cast<int>(file_size > 0 ? std::min<long>(file_size, len) : len);
}

constexpr int BYTE_ECHO_WAIT_SEC = 10;  // for the echo of a single byte
constexpr int CHUNK_PACE_MS = 10;       // pause after each byte of a chunk
constexpr int FALLBACK_BAUD = 9600;

void report_write_error(const U8 *bytes, int pos)
{
    progress_clear();
    end_run_if_interrupted(TERM_FLASH_WRITE);  // a pause of the chunk cut short
    report_tty_write_error(pos, bytes[pos]);
}

void report_echo_timeout()
{
    progress_clear();
    end_run_if_interrupted(TERM_FLASH_WRITE);
    std::fprintf(stderr, "\nTimeout for read writed byte\n");
}

void report_mismatch(U8 echoed, U8 sent, int pos)
{
    progress_clear();
    std::fprintf(stderr,
                 "\nRead byte [0x%02x] is not equal writed byte [0x%02x],position [%d][0x%x]\n",
                 echoed, sent, pos, static_cast<unsigned>(pos));
}

// Each byte sent alone and its echo awaited. 1 = all `end` bytes confirmed.
int write_bytes(const U8 *bytes, int end)
{
    hash_marks marks;
    for (int pos = 0; pos < end; pos++) {
        end_run_if_interrupted(TERM_FLASH_WRITE);
        hash_mark(marks, pos);
        if (!write_tty(bytes + pos, 1, 0, 0)) {
            report_write_error(bytes, pos);
            return 0;
        }
        U8 rbuf[1] = {0};
        if (!read_tty(rbuf, 1, BYTE_ECHO_WAIT_SEC)) {
            report_echo_timeout();
            return 0;
        }
        if (rbuf[0] != bytes[pos]) {
            report_mismatch(rbuf[0], bytes[pos], pos);
            return 0;
        }
        progress_update(pos + 1);
    }
    return 1;
}

// Chunks of block_size bytes, paced; the echoes wait in the input queue until the chunk is
// out. 1 = all `end` bytes confirmed.
int write_chunks(const U8 *bytes, int end)
{
    U8 rbuf[CHUNK_MAX_BYTES];
    hash_marks marks;
    for (int pos = 0; pos < end;) {
        end_run_if_interrupted(TERM_FLASH_WRITE);
        hash_mark(marks, pos);
        const int wlen = std::min({block_size, CHUNK_MAX_BYTES, end - pos});
        if (!write_tty(bytes + pos, wlen, 0, CHUNK_PACE_MS)) {
            report_write_error(bytes, pos);
            return 0;
        }
        std::memset(rbuf, 0, static_cast<std::size_t>(wlen));
        if (!read_tty(rbuf, wlen, chunk_echo_wait_sec(wlen, normal_speed()))) {
            report_echo_timeout();
            return 0;
        }
        for (int i = 0; i < wlen; i++) {
            if (rbuf[i] != bytes[pos + i]) {
                report_mismatch(rbuf[i], bytes[pos + i], pos + i);
                return 0;
            }
        }
        pos += wlen;
        progress_update(pos);
    }
    return 1;
}

}  // namespace

int chunk_echo_wait_sec(int wlen, int baud)
{
    if (baud <= 0)
        baud = FALLBACK_BAUD;
    return 11 * wlen / baud + 10;
}

int check_byte_write(long len) { return image_fits_flash(write_length(len), 0); }

int proc_Write()
{
    input_image image;
    if (!load_input_file(inpfilenam, image) || !check_byte_write(image.len))
        return 0;
    byte_write_reloaded(image.len);
    if (!read_id())
        return 0;
    std::printf("Write flash ...");
    std::fflush(stdout);
    // The monitor is told the count that will come: a file shorter than "size" is sent whole and
    // no further, and a monitor told more would take the next command's letters as flash data.
    const int end = write_length(image.len);
    if (!send_command(CMD_BYTE_WRITE, true, TERM_FLASH_WRITE) ||
        !write_len(pair_code(CMD_BYTE_WRITE), end, 0))
        return 0;
    progress_start(end, true);
    const int ok = block_size <= 1 ? write_bytes(image.bytes.get(), end)
                                   : write_chunks(image.bytes.get(), end);
    if (!ok)
        return 0;
    progress_end();
    std::printf("Ok\n");
    return 1;
}
