// The block write: input file loaded whole and checked against the flash's end, optional speed
// switch for the data phase, one "WB" frame per 512-byte block with the check value compared,
// transfer time, an optional read-back compared with the file, speed restore.
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "monitor/block_crc.h"
#include "monitor/flash_read.h"
#include "monitor/input_file.h"
#include "monitor/link.h"
#include "monitor/progress.h"
#include "monitor/speed_switch.h"
#include "serial/serial.h"

namespace {

constexpr int CRC_WAIT_SEC = 10;  // one-second waits for the check value of a block
constexpr U8 ERASED_BYTE = 0xFF;  // what erased flash holds; programming it changes nothing

// One "WB" frame: the block at `pos` (wlen file bytes, then 0xFF, which leaves the flash after
// the image as it was) and its check value compared. 1 = confirmed; 0 = failure, reported.
int write_block(const input_image &image, int pos, int wlen, hash_marks &marks)
{
    U8 databuf[FLASH_BLOCK_BYTES];
    std::memset(databuf, ERASED_BYTE, sizeof databuf);
    std::memcpy(databuf, image.bytes.get() + pos, static_cast<std::size_t>(wlen));
    const U32 offset = static_cast<U32>(pos) + static_cast<U32>(write_offset);

    if (!send_command(CMD_BLOCK_WRITE, false, TERM_FLASH_WRITE) ||
        !write_len(pair_code(CMD_BLOCK_WRITE), static_cast<int>(offset), 0))
        return 0;
    hash_mark(marks, pos);
    end_run_if_interrupted(TERM_FLASH_WRITE);
    if (!write_tty(databuf, FLASH_BLOCK_BYTES, 0, 0)) {
        progress_clear();
        report_tty_write_error(pos, image.bytes[pos]);
        return 0;
    }
    const U32 crc = block_crc(offset, databuf);

    char crcbuf[NUMBER_DIGITS] = {};  // the monitor's check value: 8 hex digits, either case
    if (!read_tty(reinterpret_cast<U8 *>(crcbuf), NUMBER_DIGITS, CRC_WAIT_SEC)) {
        progress_clear();
        end_run_if_interrupted(TERM_FLASH_WRITE);
        std::fprintf(stderr, "\nRead CRC Error\n");
        return 0;
    }
    U32 readcrc = 0;
    if (!parse_hex8(crcbuf, readcrc)) {
        progress_clear();
        std::fprintf(stderr, "\nError in received CRC [%c%c%c%c%c%c%c%c]\n", crcbuf[0], crcbuf[1],
                     crcbuf[2], crcbuf[3], crcbuf[4], crcbuf[5], crcbuf[6], crcbuf[7]);
        return 0;
    }
    if (readcrc != crc) {
        progress_clear();
        std::fprintf(stderr, "\nReceived CRC [0x%08x] is not equal calculated [0x%08x]\n", readcrc,
                     crc);
        return 0;
    }
    return 1;
}

// Transfer time and throughput of a data phase that began at tstart and moved `sent` bytes.
void report_transfer(const struct timeval &tstart, int sent)
{
    struct timeval tend;
    gettimeofday(&tend, nullptr);
    const phase_time t = phase_interval(tstart, tend);
    std::printf("\nTransfer time = %d.%03d sec", static_cast<int>(t.sec),
                static_cast<int>(t.us / 1000));
    const long double fsec = t.sec + t.us / 1000.0L / 1000.0L;
    if (fsec != 0)
        std::printf("\nSpeed = %.1Lf bytes/sec", sent / fsec);
}

// Bytes on the line for `end` file bytes: whole blocks, the last one padded.
long bytes_sent(int end)
{
    return (static_cast<long>(end) + FLASH_BLOCK_BYTES - 1) / FLASH_BLOCK_BYTES * FLASH_BLOCK_BYTES;
}

// Every block of the first `end` bytes of the file. 1 = all blocks confirmed.
int send_blocks(const input_image &image, int end)
{
    struct timeval tstart;
    gettimeofday(&tstart, nullptr);
    hash_marks marks;
    progress_start(end, false);
    for (int pos = 0; pos < end; pos += FLASH_BLOCK_BYTES) {
        if (!write_block(image, pos, std::min(FLASH_BLOCK_BYTES, end - pos), marks)) {
            progress_clear();
            return 0;
        }
        progress_update(std::min(pos + FLASH_BLOCK_BYTES, end));
    }
    progress_end();
    report_transfer(tstart, end);
    return 1;
}

// The check values cover what the monitor received, not what the flash holds: a sector not
// erased (programming only clears bits), a protected sector or a stuck bit still confirm.
// Reads the flash back from offset 0 (the monitor's read takes no offset) to the end of the
// image and compares the image's range with the file. 1 = the flash holds the file.
int verify_flash(const input_image &image, int end)
{
    std::printf("\nVerify flash ...");
    std::fflush(stdout);
    const int start = static_cast<int>(static_cast<U32>(write_offset));
    const int count = start + end;  // inside the flash: checked before anything was sent
    std::unique_ptr<U8[]> flash(new (std::nothrow) U8[static_cast<std::size_t>(count)]);
    if (!flash) {
        std::fprintf(stderr, "\nBuffer alloc error [%d][0x%x]\n", count,
                     static_cast<unsigned>(count));
        return 0;
    }
    if (!read_flash_into(flash.get(), count))
        return 0;
    int differ = 0;
    int first = -1;
    for (int i = 0; i < end; i++) {
        if (flash[static_cast<std::size_t>(start + i)] !=
            image.bytes[static_cast<std::size_t>(i)]) {
            if (first < 0)
                first = i;
            differ++;
        }
    }
    if (differ == 0) {
        std::printf("Ok\n");
        return 1;
    }
    std::printf("Fail\n");
    std::fflush(stdout);
    const int at = start + first;
    std::fprintf(
        stderr,
        "\nVerify: %d bytes differ, first at offset [%d][0x%x]: flash 0x%02x, file 0x%02x\n",
        differ, at, static_cast<unsigned>(at), flash[static_cast<std::size_t>(at)],
        image.bytes[static_cast<std::size_t>(first)]);
    return 0;
}

constexpr U32 SECTOR_BYTES = FLASH_BYTES / FLASH_SECTORS;

// Whether this run erased every sector that the `bytes` bytes at `offset` lie in. The chain
// stops at the first failure, so an erase that was selected has succeeded by now.
bool erased_in_this_run(U32 offset, long bytes)
{
    if (erase_cmd)
        return true;
    const U32 last = offset + static_cast<U32>(bytes) - 1;  // inside the flash: checked
    for (U32 sector = offset / SECTOR_BYTES; sector <= last / SECTOR_BYTES; sector++)
        if (!(erase_sectors_cmd & (U32{1} << sector)))
            return false;
    return true;
}

// The check values prove what the monitor received, not what the flash holds. Said to a person
// at a terminal only: scripts and logs read the write's texts as they always were.
void warn_not_verified(U32 offset, long bytes)
{
    if (!isatty(STDERR_FILENO))
        return;
    std::fputs("Not verified: the check values cover only the last 4 bytes of each block; add "
               "\"verify\" to compare the flash with the image\n",
               stderr);
    if (!erased_in_this_run(offset, bytes))
        std::fputs("Flash not erased in this run: bits already cleared stay cleared\n", stderr);
}

}  // namespace

int check_block_write(long len)
{
    return image_fits_flash(bytes_sent(write_length(len)), static_cast<U32>(write_offset));
}

int proc_FastWrite()
{
    input_image image;
    if (!load_input_file(inpfilenam, image))
        return 0;
    const int end = write_length(image.len);
    if (!check_block_write(image.len))
        return 0;
    if (!read_id())
        return 0;
    std::printf("Fast Write flash ...");
    std::fflush(stdout);

    const bool switched = write_speed != 0;
    if (switched) {
        std::printf("\nSet Write Speed %d\n", write_speed);
        std::fflush(stdout);
        if (!enter_fast_speed(write_speed, TERM_FLASH_WRITE))
            return 0;
    }
    if (write_offset != 0)
        std::printf("Offset 0x%x (%d)\n", static_cast<unsigned>(write_offset), write_offset);
    // At the new speed the monitor must announce itself again.
    if (!read_id()) {
        if (switched)
            put_back_line();
        return 0;
    }
    // Still at the write speed: the read-back runs as fast as the data went.
    const int rvl = send_blocks(image, end) && (!verify_opt || verify_flash(image, end)) ? 1 : 0;
    if (switched) {
        // "Restote" is what scripts have always read here: the text is part of the interface.
        std::printf("\nRestote Speed %d\n", inspeed);
        std::fflush(stdout);
        if (!leave_fast_speed())
            return 0;
    }
    std::printf("\n");
    if (rvl && !verify_opt)
        warn_not_verified(static_cast<U32>(write_offset), bytes_sent(end));
    return rvl;
}
