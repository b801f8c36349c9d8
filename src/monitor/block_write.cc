// The block write: the image loaded and checked before the device was opened, optional speed
// switch for the data phase, one "WB" frame per 512-byte block that holds image bytes with the
// check value compared, transfer time, an optional read-back compared with the image, speed
// restore.
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "clock/clock.h"
#include "monitor/block_crc.h"
#include "monitor/flash_read.h"
#include "monitor/image.h"
#include "monitor/link.h"
#include "monitor/progress.h"
#include "monitor/resume.h"
#include "monitor/speed_switch.h"
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

// ---- Sector rebuilds --------------------------------------------------------------------------

// A block's check value covers its last four bytes; a block that went wrong on the line has left
// its sector holding bytes nobody knows. NOR flash only clears bits, so the only sound way again
// is the whole sector: erased, and every block of the image in it written again from its first.
// That is safe only when nothing else lives there: this run erased the sector before writing, or
// the image defines every byte of it.

struct recovery {
    int used = 0;      // retries made: a rebuild, or the rebuilds one read-back called for
    long sectors = 0;  // sector rebuilds made
    int in_row = 0;    // failed tries in a row, since the last rebuild that went through
    long resent = 0;   // blocks sent again by the rebuilds
    int speed = 0;     // the fast speed the line is at now; 0 when not switched
    int stepped = 0;   // the speed stepped down to, 0 for none
};
recovery rec;

// The sectors this run erases before writing them: those of the erase options and, when the
// write resumes, the sector it resumes with.
U32 erased_by_this_run()
{
    return sectors_erased_by_run() |
           (resume_offset >= 0 ? U32{1} << (resume_offset / SECTOR_BYTES) : 0);
}

long sector_start(U32 offset) { return offset / SECTOR_BYTES * SECTOR_BYTES; }

U32 sectors_of_block(U32 offset)
{
    const U32 first = offset / SECTOR_BYTES;
    const U32 last = (offset + FLASH_BLOCK_BYTES - 1) / SECTOR_BYTES;
    U32 mask = 0;
    for (U32 sn = first; sn <= last && sn < FLASH_SECTORS; sn++)
        mask |= U32{1} << sn;
    return mask;
}

bool image_fills_sector(U32 sn)
{
    const std::uint64_t from = std::uint64_t{sn} * SECTOR_BYTES, to = from + SECTOR_BYTES;
    std::uint64_t covered = 0;
    for (const image_region &r : write_image.regions) {
        const std::uint64_t a = std::max<std::uint64_t>(from, r.offset);
        const std::uint64_t b = std::min<std::uint64_t>(to, r.offset + r.bytes.size());
        if (a < b)
            covered += b - a;
    }
    return covered == SECTOR_BYTES;
}

enum class rebuild_check { ALLOWED, NO_RETRIES, UNSAFE, USED_UP, DAMAGE };

// Whether the sectors of `mask` may be rebuilt now, with one retry; the first sector that is not
// safe in `unsafe`.
rebuild_check may_rebuild(U32 mask, int &unsafe)
{
    // The monitor did what nobody asked (another sector or the whole chip erased): a rebuild
    // would only hide it.
    if (monitor_damaged())
        return rebuild_check::DAMAGE;
    if (write_retries == 0)
        return rebuild_check::NO_RETRIES;
    const U32 erased = erased_by_this_run();
    for (int sn = 0; sn < FLASH_SECTORS; sn++)
        if ((mask >> sn & 1) && !(erased >> sn & 1) && !image_fills_sector(static_cast<U32>(sn))) {
            unsafe = sn;
            return rebuild_check::UNSAFE;
        }
    return rec.used >= write_retries ? rebuild_check::USED_UP : rebuild_check::ALLOWED;
}

// After today's failure text: one line saying why no rebuild follows ("retries 0" says nothing,
// as it always did).
void say_why_not(rebuild_check why, int unsafe)
{
    if (why == rebuild_check::UNSAFE)
        std::fprintf(stderr,
                     "sector %d holds bytes outside the image that this run did not erase\n",
                     unsafe);
    else if (why == rebuild_check::USED_UP)
        std::fprintf(stderr, "no retry left: %d of %d made\n", rec.used, write_retries);
}

void report_rebuilds() { report_write_recovery(rec.sectors, rec.used, rec.resent, rec.stepped); }

// After two failed tries in a row at a write speed, the rest runs a step lower, both sides
// switched with the speed frame. 1 = the line is fit to go on.
int step_down_if_failing()
{
    if (rec.in_row < 2 || rec.speed == 0)
        return 1;
    const int lower = speed_below(rec.speed);
    if (lower == 0)
        return 1;
    progress_clear();
    std::fprintf(stderr,
                 "\nTwo tries in a row failed at %d baud: the rest of the write runs at %d baud\n",
                 rec.speed, lower);
    if (!resync_monitor(TERM_FLASH_WRITE) || !step_down_speed(lower))
        return 0;
    rec.speed = lower;
    rec.stepped = lower;
    rec.in_row = 0;
    report_rebuilds();
    return 1;
}

// Counts the rebuild of `mask` (already allowed) as a retry, unless it is part of the retry
// already counted (`same_retry`: the sectors one read-back found), and says so; then erases its
// sectors with the sector erase once the monitor is ready again. A try that fails is tried again
// while retries last. 1 = the sectors are erased, ready for their blocks; 0 after the messages.
int rebuild_sectors(U32 mask, std::string what, bool same_retry = false)
{
    for (;; same_retry = false) {
        if (!same_retry) {
            rec.used++;
            rec.in_row++;
        }
        rec.sectors += std::popcount(mask);
        report_rebuilds();
        progress_clear();
        const bool several = std::popcount(mask) > 1;
        std::fprintf(stderr, "\n%s; rebuilding sector%s %s (retry %d of %d)\n", what.c_str(),
                     several ? "s" : "", sector_list(mask).c_str(), rec.used, write_retries);
        if (!step_down_if_failing())
            return 0;
        bool erased = resync_monitor(TERM_FLASH_WRITE);
        for (int sn = 0; erased && sn < FLASH_SECTORS; sn++)
            if (mask >> sn & 1)
                erased = erase_sector(sn, false) == 1;
        if (erased)
            return 1;
        if (monitor_damaged())
            return 0;
        what = "Sector " + sector_list(mask) + ": not erased";
        int unsafe = 0;
        const rebuild_check again = may_rebuild(mask, unsafe);
        if (again != rebuild_check::ALLOWED) {
            std::fprintf(stderr, "\n%s\n", what.c_str());
            say_why_not(again, unsafe);
            return 0;
        }
    }
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
        if (i < tried) {
            rec.resent++;
            report_rebuilds();
        }
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
            rec.in_row = 0;  // the rebuild went through
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
    progress_start(plan.image_bytes, false);
    if (!send_list(plan.send, true)) {
        progress_clear();
        return 0;
    }
    progress_end();
    report_transfer(start_us, plan.image_bytes);
    return 1;
}

// The check values cover what the monitor received, not what the flash holds: a sector not
// erased (programming only clears bits), a protected sector or a stuck bit still confirm.
// Reads the flash back from offset 0 (the monitor's read takes no offset) up to `count` (at most
// the end of the image's highest region) and compares the bytes the image defines. Sectors that
// hold a differing byte are rebuilt where that is safe and retries are left, and the read-back
// runs again up to the end of the highest one rebuilt. 1 = the flash holds the image.
int verify_flash()
{
    const U32 end = image_end(write_image);  // inside the flash: checked
    int count = static_cast<int>(end);
    std::unique_ptr<U8[]> flash(new (std::nothrow) U8[static_cast<std::size_t>(count)]);
    for (;;) {
        std::printf("\nVerify flash ...");
        std::fflush(stdout);
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
        long in_sector[FLASH_SECTORS] = {};
        U32 bad = 0;
        for (const image_region &r : write_image.regions)
            for (std::size_t i = 0; i < r.bytes.size() && r.offset + i < U32(count); i++)
                if (flash[r.offset + i] != r.bytes[i]) {
                    const U32 at = r.offset + static_cast<U32>(i);
                    if (differ++ == 0) {
                        first = at;
                        expected = r.bytes[i];
                    }
                    in_sector[at / SECTOR_BYTES]++;
                    bad |= U32{1} << (at / SECTOR_BYTES);
                }
        if (differ == 0) {
            report_write_incomplete(-1);
            std::printf("Ok\n");
            return 1;
        }
        report_write_incomplete(static_cast<long>(std::countr_zero(bad)) * SECTOR_BYTES);
        char cause[96];
        std::snprintf(cause, sizeof cause, "verify: %ld %s at 0x%x", differ,
                      differ == 1 ? "byte differs" : "bytes differ, the first", first);
        report_cause(cause);
        int unsafe = 0;
        const rebuild_check check = may_rebuild(bad, unsafe);
        if (check != rebuild_check::ALLOWED) {
            std::printf("Fail\n");
            std::fflush(stdout);
            std::fprintf(stderr,
                         "\nVerify: %ld %s, first at offset [%d][0x%x]: flash 0x%02x, "
                         "file 0x%02x\n",
                         differ, differ == 1 ? "byte differs" : "bytes differ",
                         static_cast<int>(first), first, flash[first], expected);
            say_why_not(check, unsafe);
            return 0;
        }
        std::fflush(stdout);
        int highest = -1;  // one read-back, one retry: its sectors share it
        for (int sn = 0; sn < FLASH_SECTORS; sn++) {
            if (!(bad >> sn & 1))
                continue;
            char what[96];
            std::snprintf(what, sizeof what, "Verify: %ld byte%s in sector %d", in_sector[sn],
                          in_sector[sn] == 1 ? " differs" : "s differ", sn);
            const U32 mask = U32{1} << sn;
            if (!rebuild_sectors(mask, what, highest >= 0))
                return 0;
            std::vector<U32> blocks;
            for (U32 b : plan_blocks(write_image, erased_by_this_run()).send)
                if (sectors_of_block(b) & mask)
                    blocks.push_back(b);
            if (!send_list(blocks, false))
                return 0;
            highest = sn;
        }
        count = static_cast<int>(std::min<U32>(end, static_cast<U32>(highest + 1) * SECTOR_BYTES));
    }
}

// A resumed write sends the blocks from its first sector on: those that reach into it, and all
// after. The plan of a whole write otherwise.
block_plan resumed(block_plan plan)
{
    if (resume_offset < 0)
        return plan;
    block_plan r;
    U8 scratch[FLASH_BLOCK_BYTES];
    for (U32 b : plan.send)
        if (b + FLASH_BLOCK_BYTES > static_cast<U32>(resume_offset)) {
            r.send.push_back(b);
            r.image_bytes += fill_block(write_image, b, scratch);
        }
    r.skipped_empty = plan.skipped_empty;
    r.skipped_erased = plan.skipped_erased;
    return r;
}

// The sector a resumed write starts with may hold part of what the interrupted run wrote: it is
// erased first. 1 = erased.
int erase_resume_sector()
{
    const int sn = static_cast<int>(resume_offset / SECTOR_BYTES);
    std::printf("\nResume from sector %d (offset 0x%lx) ...", sn, resume_offset);
    std::fflush(stdout);
    if (erase_sector(sn, false) == 1) {
        std::printf("Ok\n");
        return 1;
    }
    std::printf("Fail\n");
    std::fflush(stdout);
    std::fprintf(stderr, "\nResume: sector %d not erased\n", sn);
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
    const block_plan plan = resumed(plan_blocks(write_image, erased_by_this_run()));
    write_blocks_sent = 0;
    rec = recovery{};
    rec.speed = write_speed;
    report_image(
        image_report_record(write_image, plan, erase_needed_opt ? image_sectors(write_image) : 0));
    report_write_incomplete(plan.send.empty() ? -1 : sector_start(plan.send.front()));
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
    const int rvl = (resume_offset < 0 || erase_resume_sector()) && send_blocks(plan) &&
                            (!write_verifies() || verify_flash())
                        ? 1
                        : 0;
    if (switched) {
        // "Restote" is what scripts have always read here: the text is part of the interface.
        std::printf("\nRestote Speed %d\n", inspeed);
        std::fflush(stdout);
        if (!leave_fast_speed())
            return 0;
    }
    std::printf("\n");
    if (rvl && !write_verifies())
        warn_not_verified();
    return rvl;
}
