// The block write: the image loaded and checked before the device was opened, optional speed
// switch for the data phase, the blocks sent (block_send.cc), an optional read-back compared with
// the image (block_verify.cc), speed restore.
#include <unistd.h>

#include <cstdio>

#include "monitor/block_send.h"
#include "monitor/block_verify.h"
#include "monitor/image/image.h"
#include "monitor/link/link.h"
#include "monitor/recovery/block_rebuild.h"
#include "monitor/recovery/resume.h"
#include "monitor/speed/speed_switch.h"
#include "report/report.h"
#include "serial/serial.h"

namespace {

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
    rebuild_begin(write_speed);
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
        std::printf("\nRestote Speed %d\n", normal_speed());
        std::fflush(stdout);
        if (!leave_fast_speed())
            return 0;
    }
    std::printf("\n");
    if (rvl && !write_verifies())
        warn_not_verified();
    return rvl;
}
