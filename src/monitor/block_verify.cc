// The block write's read-back: the flash compared with the image, and the sectors that differ
// rebuilt.
#include "monitor/block_verify.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <memory>
#include <new>
#include <vector>

#include "monitor/block_send.h"
#include "monitor/flash_read.h"
#include "monitor/image/image.h"
#include "monitor/recovery/block_rebuild.h"
#include "report/report.h"

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
