// The block write: input file loaded whole, optional speed switch for the data phase, one "WB"
// frame per 512-byte block with the check value compared, transfer time, speed restore.
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "monitor/block_crc.h"
#include "monitor/input_file.h"
#include "monitor/monitor.h"
#include "serial/serial.h"

namespace {

constexpr int CRC_WAIT_SEC = 10;       // one-second waits for the check value of a block
constexpr int SPEED_SETTLE_SEC = 1;    // the monitor switches back before the host does
constexpr int HASH_EVERY_BYTES = 1024;  // a progress mark before every second block
constexpr char WRITE_TERMINATED[] = "\nFlash write terminated.";

// The host line back at the attributes saved before the switch. Without them the run cannot
// go on talking to the monitor, so failing here ends the program.
void put_back_line(const struct termios &saved)
{
    if (tcsetattr(ttyfd, TCSAFLUSH, &saved) != 0) {
        std::fprintf(stderr, "can't restore TTY settings\n");
        end_program(1);
    }
}

// Tells the monitor the write speed and follows it. 1 = both sides are at write_speed, with the
// host's previous attributes in *saved.
int switch_speed(struct termios *saved)
{
    std::printf("\nSet Write Speed %d\n", write_speed);
    std::fflush(stdout);
    const int code = speed_toh(write_speed);
    if (code == 0)
        return 0;
    if (!send_command(CMD_SET_SPEED, false, WRITE_TERMINATED) ||
        !write_len(pair_code(CMD_SET_SPEED), write_speed, 1))
        return 0;
    end_run_if_interrupted(WRITE_TERMINATED);
    struct termios tios;
    if (tcgetattr(ttyfd, &tios) != 0) {
        std::fprintf(stderr, "TTY device attribute read error (tcgetattr): (%d)\n", errno);
        return 0;
    }
    *saved = tios;
    cfsetospeed(&tios, static_cast<speed_t>(code));
    cfsetispeed(&tios, static_cast<speed_t>(code));
    // TCSAFLUSH: whatever came in at the old speed is discarded.
    if (tcsetattr(ttyfd, TCSAFLUSH, &tios) != 0) {
        std::fprintf(stderr, "TTY device set attribute error (tcsetattr)\n");
        end_program(1);
    }
    return 1;
}

// Still at the write speed: tells the monitor the start-up speed, gives it time to switch,
// then follows. 1 = the host is back at its start-up attributes.
int restore_speed(const struct termios &saved)
{
    std::printf("\nRestote Speed %d\n", inspeed);
    std::fflush(stdout);
    if (!send_command(CMD_SET_SPEED, false, WRITE_TERMINATED) ||
        !write_len(pair_code(CMD_SET_SPEED), inspeed, 1))
        return 0;
    if (!pause_tty(SPEED_SETTLE_SEC, 0))
        end_run_if_interrupted(WRITE_TERMINATED);
    if (tcsetattr(ttyfd, TCSAFLUSH, &saved) != 0) {
        std::fprintf(stderr, "can't restore TTY settings\n");
        return 0;
    }
    return 1;
}

// One "WB" frame: the block at `pos` (wlen file bytes, zero bytes after them) and its check
// value compared. 1 = confirmed; 0 = failure, reported.
int write_block(const input_image &image, int pos, int wlen)
{
    U8 databuf[FLASH_BLOCK_BYTES] = {};
    std::memcpy(databuf, image.bytes.get() + pos, static_cast<std::size_t>(wlen));
    const U32 offset = static_cast<U32>(pos) + static_cast<U32>(write_offset);

    if (!send_command(CMD_BLOCK_WRITE, false, WRITE_TERMINATED) ||
        !write_len(pair_code(CMD_BLOCK_WRITE), static_cast<int>(offset), 0))
        return 0;
    if (hash && pos > 0 && pos % HASH_EVERY_BYTES == 0) {
        std::printf("#");
        std::fflush(stdout);
    }
    end_run_if_interrupted(WRITE_TERMINATED);
    if (!write_tty(databuf, FLASH_BLOCK_BYTES, 0, 0)) {
        std::fprintf(stderr, "\ntty write error, position [%d][0x%x], byte [0x%02x]\n", pos,
                     static_cast<unsigned>(pos), image.bytes[pos]);
        return 0;
    }
    const U32 crc = block_crc(offset, databuf);

    char crcbuf[NUMBER_DIGITS] = {};  // the monitor's check value: 8 hex digits, either case
    if (!read_tty(reinterpret_cast<U8 *>(crcbuf), NUMBER_DIGITS, CRC_WAIT_SEC)) {
        end_run_if_interrupted(WRITE_TERMINATED);
        std::fprintf(stderr, "\nRead CRC Error\n");
        return 0;
    }
    U32 readcrc = 0;
    if (!parse_hex8(crcbuf, readcrc)) {
        std::fprintf(stderr, "\nError in received CRC [%c%c%c%c%c%c%c%c]\n", crcbuf[0],
                     crcbuf[1], crcbuf[2], crcbuf[3], crcbuf[4], crcbuf[5], crcbuf[6],
                     crcbuf[7]);
        return 0;
    }
    if (readcrc != crc) {
        std::fprintf(stderr, "\nReceived CRC [0x%08x] is not equal calculated [0x%08x]\n",
                     readcrc, crc);
        return 0;
    }
    return 1;
}

// Transfer time and throughput of a data phase that began at tstart and moved `sent` bytes.
void report_transfer(const struct timeval &tstart, int sent)
{
    struct timeval tend;
    gettimeofday(&tend, nullptr);
    long dsec = tend.tv_sec - tstart.tv_sec;
    long dus = tend.tv_usec - tstart.tv_usec;
    if (dus < 0) {
        dus += 1000000;
        dsec -= 1;
    }
    std::printf("\nTransfer time = %d.%03d sec", static_cast<int>(dsec),
                static_cast<int>(dus / 1000));
    const long double fsec = dsec + dus / 1000.0L / 1000.0L;
    if (fsec != 0)
        std::printf("\nSpeed = %.1Lf bytes/sec", sent / fsec);
}

// Every block of the file, up to file_size; a file shorter than file_size is sent whole and
// nothing beyond it. 1 = all blocks confirmed.
int send_blocks(const input_image &image)
{
    const int end = static_cast<int>(std::min<long>(file_size, image.len));
    struct timeval tstart;
    gettimeofday(&tstart, nullptr);
    for (int pos = 0; pos < end; pos += FLASH_BLOCK_BYTES) {
        if (!write_block(image, pos, std::min(FLASH_BLOCK_BYTES, end - pos)))
            return 0;
    }
    report_transfer(tstart, end);
    return 1;
}

}  // namespace

int proc_FastWrite()
{
    input_image image;
    if (!load_input_file(inpfilenam, image))
        return 0;
    if (!read_id())
        return 0;
    std::printf("Fast Write flash ...");
    std::fflush(stdout);

    const bool switched = write_speed != 0;
    struct termios tios_saved;
    if (switched && !switch_speed(&tios_saved))
        return 0;
    if (write_offset != 0)
        std::printf("Offset 0x%x (%d)\n", static_cast<unsigned>(write_offset), write_offset);
    // At the new speed the monitor must announce itself again.
    if (!read_id()) {
        if (switched)
            put_back_line(tios_saved);
        return 0;
    }
    const int rvl = send_blocks(image);
    if (switched && !restore_speed(tios_saved))
        return 0;
    std::printf("\n");
    return rvl;
}
