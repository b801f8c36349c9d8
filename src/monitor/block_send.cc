// The blocks of the block write on the line: one "WB" frame per 512-byte block that holds image
// bytes, its check value compared, and a block that went wrong mended by its sectors' rebuild.
#include "monitor/block_send.h"

#include <algorithm>
#include <bit>
#include <cstdio>

#include "clock/clock.h"
#include "monitor/image/image.h"
#include "monitor/link/block_crc.h"
#include "monitor/link/link.h"
#include "monitor/link/progress.h"
#include "monitor/recovery/block_rebuild.h"
#include "report/report.h"
#include "serial/serial.h"

namespace {

long write_blocks_sent = 0;       // blocks the monitor confirmed in this write
constexpr int CRC_WAIT_SEC = 10;  // one-second waits for the check value of a block

// What went wrong on the line with the last block that failed, for the message of the sector
// rebuild it calls for: "Block at 0x00123400: check value ...". Empty when the failure was the
// device's own (a write refused), which no rebuild mends.
char block_trouble[160] = "";

void note_trouble(U32 offset, const char *what)
{
    std::snprintf(block_trouble, sizeof block_trouble, "Block at 0x%08X: %s", offset, what);
}

// One "WB" frame: the block at flash `offset` as fill_block makes it, and its check value
// compared. 1 = confirmed; 0 = failure, reported. With `quiet` (a rebuild will follow), a
// failure on the line is not reported but kept in block_trouble.
int write_block(U32 offset, hash_marks &marks, int mark_pos, bool quiet)
{
    U8 databuf[FLASH_BLOCK_BYTES];
    fill_block(write_image, offset, databuf);
    block_trouble[0] = '\0';

    if (!send_command(CMD_BLOCK_WRITE, false, TERM_FLASH_WRITE))
        return 0;
    if (!exchange_number(pair_code(CMD_BLOCK_WRITE), static_cast<int>(offset), 0, !quiet)) {
        note_trouble(offset, "no prompt, or no offset echo or a different one");
        return 0;
    }
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
        note_trouble(offset, "no check value");
        if (!quiet)
            std::fprintf(stderr, "\nRead CRC Error\n");
        return 0;
    }
    U32 readcrc = 0;
    if (!parse_hex8(crcbuf, readcrc)) {
        progress_clear();
        char what[64];
        std::snprintf(what, sizeof what, "check value [%.8s] is no number", crcbuf);
        note_trouble(offset, what);
        if (!quiet)
            std::fprintf(stderr, "\nError in received CRC [%c%c%c%c%c%c%c%c]\n", crcbuf[0],
                         crcbuf[1], crcbuf[2], crcbuf[3], crcbuf[4], crcbuf[5], crcbuf[6],
                         crcbuf[7]);
        return 0;
    }
    if (readcrc != crc) {
        progress_clear();
        char what[64];
        std::snprintf(what, sizeof what, "check value 0x%08X, expected 0x%08X", readcrc, crc);
        note_trouble(offset, what);
        if (!quiet)
            std::fprintf(stderr, "\nReceived CRC [0x%08x] is not equal calculated [0x%08x]\n",
                         readcrc, crc);
        return 0;
    }
    return 1;
}

// Transfer time and throughput of a data phase that began at start_us and moved `sent` bytes.
void report_transfer(long long start_us, long sent)
{
    const phase_time t = phase_interval(start_us, monotonic_us());
    std::printf("\nTransfer time = %d.%03d sec", static_cast<int>(t.sec),
                static_cast<int>(t.us / 1000));
    const long double fsec = t.sec + t.us / 1000.0L / 1000.0L;
    if (fsec != 0)
        std::printf("\nSpeed = %.1Lf bytes/sec", sent / fsec);
}

// Index of the first of `blocks` (ascending) that reaches into the sectors of `mask`.
std::size_t first_block_in(const std::vector<U32> &blocks, U32 mask)
{
    const U32 start = static_cast<U32>(std::countr_zero(mask)) * SECTOR_BYTES;
    return static_cast<std::size_t>(
        std::lower_bound(blocks.begin(), blocks.end(), start,
                         [](U32 b, U32 v) { return b + FLASH_BLOCK_BYTES <= v; }) -
        blocks.begin());
}

}  // namespace

// Sends `blocks` (ascending). A block that goes wrong on the line has its sectors rebuilt, where
// that is safe and retries are left, and the sending goes on from their first block. With
// `first_pass`, the progress line, the marks and the report's count follow the blocks sent for
// the first time. 1 = every block confirmed.
int send_list(const std::vector<U32> &blocks, bool first_pass)
{
    hash_marks marks;
    if (!first_pass)
        marks.last = FLASH_BYTES;  // resent blocks print no marks
    long done = 0;
    std::size_t fresh = 0;  // blocks below it were confirmed before (first pass)
    std::size_t tried = first_pass ? 0 : blocks.size();  // blocks below it were sent before
    std::size_t rebuilt_end = 0;  // past the blocks of the sectors being rebuilt
    U8 scratch[FLASH_BLOCK_BYTES];
    for (std::size_t i = 0; i < blocks.size();) {
        const U32 offset = blocks[i];
        const U32 mask = sectors_of_block(offset);
        if (first_pass)
            report_write_incomplete(sector_start(offset));
        int unsafe = 0;
        const rebuild_check check = may_rebuild(mask, unsafe);
        if (i < tried)
            rebuild_resent();
        tried = std::max(tried, i + 1);
        if (!write_block(offset, marks, static_cast<int>(done), check == rebuild_check::ALLOWED)) {
            progress_clear();
            if (block_trouble[0])
                report_cause(block_trouble);
            if (monitor_damaged())
                return 0;
            if (check != rebuild_check::ALLOWED || !block_trouble[0]) {
                say_why_not(check, unsafe);
                return 0;
            }
            if (!rebuild_sectors(mask, block_trouble))
                return 0;
            i = first_block_in(blocks, mask);
            rebuilt_end = i;
            while (rebuilt_end < blocks.size() && (sectors_of_block(blocks[rebuilt_end]) & mask))
                rebuilt_end++;
            continue;
        }
        i++;
        if (i == rebuilt_end)
            rebuild_went_through();
        if (first_pass && i > fresh) {
            fresh = i;
            done += fill_block(write_image, offset, scratch);
            report_write_blocks(++write_blocks_sent);
            progress_update(done);
        }
    }
    if (first_pass)
        report_write_incomplete(-1);
    return 1;
}

// The blocks of the plan. The marks, the progress line and the speed count the image's bytes
// in the blocks sent. 1 = all blocks confirmed.
int send_blocks(const block_plan &plan)
{
    const long long start_us = monotonic_us();
    write_blocks_sent = 0;
    progress_start(plan.image_bytes, false);
    if (!send_list(plan.send, true)) {
        progress_clear();
        return 0;
    }
    progress_end();
    report_transfer(start_us, plan.image_bytes);
    return 1;
}
