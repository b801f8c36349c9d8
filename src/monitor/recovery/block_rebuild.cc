// The sector rebuilds of the block write: whether a sector that a block or the read-back found
// wrong may be mended, the retries that allows, the rebuild itself, and the step down of a line
// speed that keeps failing.
//
// A block's check value covers its last four bytes; a block that went wrong on the line has left
// its sector holding bytes nobody knows. NOR flash only clears bits, so the only sound way again
// is the whole sector: erased, and every block of the image in it written again from its first.
// That is safe only when nothing else lives there: this run erased the sector before writing, or
// the image defines every byte of it.
#include "monitor/recovery/block_rebuild.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>

#include "monitor/image/image.h"
#include "monitor/link/link.h"
#include "monitor/link/progress.h"
#include "monitor/recovery/resume.h"
#include "monitor/speed/speed_switch.h"
#include "report/report.h"

namespace {

struct recovery {
    int used = 0;      // retries made: a rebuild, or the rebuilds one read-back called for
    long sectors = 0;  // sector rebuilds made
    int in_row = 0;    // failed tries in a row, since the last rebuild that went through
    long resent = 0;   // blocks sent again by the rebuilds
    int speed = 0;     // the fast speed the line is at now; 0 when not switched
    int stepped = 0;   // the speed stepped down to, 0 for none
};
recovery rec;

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

}  // namespace

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

// Counts the rebuild of `mask` (already allowed) as a retry, unless it is part of the retry
// already counted (`same_retry`: the sectors one read-back found), and says so; then erases its
// sectors with the sector erase once the monitor is ready again. A try that fails is tried again
// while retries last. 1 = the sectors are erased, ready for their blocks; 0 after the messages.
int rebuild_sectors(U32 mask, std::string what, bool same_retry)
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

void rebuild_begin(int speed)
{
    rec = recovery{};
    rec.speed = speed;
}

void rebuild_resent()
{
    rec.resent++;
    report_rebuilds();
}

void rebuild_went_through() { rec.in_row = 0; }
