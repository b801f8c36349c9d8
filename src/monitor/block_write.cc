// The block write: the image loaded and checked before the device was opened, optional speed
// switch for the data phase, one "WB" frame per 512-byte block that holds image bytes with the
// check value compared, transfer time, an optional read-back compared with the image, speed
// restore.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "monitor/block_crc.h"
#include "monitor/flash_read.h"
#include "monitor/image.h"
#include "monitor/link.h"
#include "monitor/progress.h"
#include "monitor/speed_switch.h"
#include "report.h"
#include "serial/serial.h"

namespace {

long write_blocks_sent = 0;       // blocks the monitor confirmed in this write
constexpr int CRC_WAIT_SEC = 10;  // one-second waits for the check value of a block

// One "WB" frame: the block at flash `offset` as fill_block makes it, and its check value
// compared. 1 = confirmed; 0 = failure, reported.
int write_block(U32 offset, hash_marks &marks, int mark_pos)
{
    U8 databuf[FLASH_BLOCK_BYTES];
    fill_block(write_image, offset, databuf);

    if (!send_command(CMD_BLOCK_WRITE, false, TERM_FLASH_WRITE) ||
        !write_len(pair_code(CMD_BLOCK_WRITE), static_cast<int>(offset), 0))
        return 0;
    hash_mark(marks, mark_pos);
    end_run_if_interrupted(TERM_FLASH_WRITE);
    if (!write_tty(databuf, FLASH_BLOCK_BYTES, 0, 0)) {
        progress_clear();
        end_run_if_interrupted(TERM_FLASH_WRITE);
        // The position in the file, for a raw binary; the flash offset for an addressed image.
        report_tty_write_error(static_cast<int>(offset - static_cast<U32>(write_offset)),
                               databuf[0]);
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
void report_transfer(const struct timeval &tstart, long sent)
{
    struct timeval tend;
    tend = monotonic_now();
    const phase_time t = phase_interval(tstart, tend);
    std::printf("\nTransfer time = %d.%03d sec", static_cast<int>(t.sec),
                static_cast<int>(t.us / 1000));
    const long double fsec = t.sec + t.us / 1000.0L / 1000.0L;
    if (fsec != 0)
        std::printf("\nSpeed = %.1Lf bytes/sec", sent / fsec);
}

// The blocks of the plan. The marks, the progress line and the speed count the image's bytes
// in the blocks sent. 1 = all blocks confirmed.
int send_blocks(const block_plan &plan)
{
    struct timeval tstart;
    tstart = monotonic_now();
    hash_marks marks;
    progress_start(plan.image_bytes, false);
    long done = 0;
    U8 scratch[FLASH_BLOCK_BYTES];
    for (U32 offset : plan.send) {
        if (!write_block(offset, marks, static_cast<int>(done))) {
            progress_clear();
            return 0;
        }
        done += fill_block(write_image, offset, scratch);
        report_write_blocks(++write_blocks_sent);
        progress_update(done);
    }
    progress_end();
    report_transfer(tstart, plan.image_bytes);
    return 1;
}

// The check values cover what the monitor received, not what the flash holds: a sector not
// erased (programming only clears bits), a protected sector or a stuck bit still confirm.
// Reads the flash back from offset 0 (the monitor's read takes no offset) to the end of the
// image's highest region and compares the bytes the image defines. 1 = the flash holds them.
int verify_flash()
{
    std::printf("\nVerify flash ...");
    std::fflush(stdout);
    const int count = static_cast<int>(image_end(write_image));  // inside the flash: checked
    std::unique_ptr<U8[]> flash(new (std::nothrow) U8[static_cast<std::size_t>(count)]);
    if (!flash) {
        std::fprintf(stderr, "\nBuffer alloc error [%d][0x%x]\n", count,
                     static_cast<unsigned>(count));
        return 0;
    }
    if (!read_flash_into(flash.get(), count))
        return 0;
    long differ = 0;
    U32 first = 0;
    U8 expected = 0;
    for (const image_region &r : write_image.regions)
        for (std::size_t i = 0; i < r.bytes.size(); i++)
            if (flash[r.offset + i] != r.bytes[i] && differ++ == 0) {
                first = r.offset + static_cast<U32>(i);
                expected = r.bytes[i];
            }
    if (differ == 0) {
        std::printf("Ok\n");
        return 1;
    }
    std::printf("Fail\n");
    std::fflush(stdout);
    std::fprintf(
        stderr,
        "\nVerify: %ld bytes differ, first at offset [%d][0x%x]: flash 0x%02x, file 0x%02x\n",
        differ, static_cast<int>(first), first, flash[first], expected);
    return 0;
}

// The check values prove what the monitor received, not what the flash holds. Said to a person
// at a terminal only: scripts and logs read the write's texts as they always were. The chain
// stops at the first failure, so the erases this run selected have succeeded by now.
void warn_not_verified()
{
    if (!isatty(STDERR_FILENO))
        return;
    std::fputs("Not verified: the check values cover only the last 4 bytes of each block; add "
               "\"verify\" to compare the flash with the image\n",
               stderr);
    if (image_sectors(write_image) & ~sectors_erased_by_run())
        std::fputs("Flash not erased in this run: bits already cleared stay cleared\n", stderr);
}

}  // namespace

int proc_FastWrite()
{
    if (!write_image.loaded && !load_write_image())
        return 0;
    const block_plan plan = plan_blocks(write_image, sectors_erased_by_run());
    write_blocks_sent = 0;
    report_image(
        image_report_fields(write_image, plan, erase_needed_opt ? image_sectors(write_image) : 0)
            .c_str());
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
    const int rvl = send_blocks(plan) && (!verify_opt || verify_flash()) ? 1 : 0;
    if (switched) {
        // "Restote" is what scripts have always read here: the text is part of the interface.
        std::printf("\nRestote Speed %d\n", inspeed);
        std::fflush(stdout);
        if (!leave_fast_speed())
            return 0;
    }
    std::printf("\n");
    if (rvl && !verify_opt)
        warn_not_verified();
    return rvl;
}
