// Whole-chip and per-sector flash erase.
#include <cstdio>

#include "monitor/image.h"
#include "monitor/link.h"
#include "serial/serial.h"

// A slow chip erase may stay silent for up to this many reads of ERASE_WAIT_SEC each.
constexpr int ERASE_REPLY_READS = 31;
constexpr int ERASE_WAIT_SEC = 3;

int proc_Erase()
{
    if (!read_id())
        return 0;
    std::printf("Erase flash ...");
    std::fflush(stdout);
    if (!send_command(CMD_CHIP_ERASE, true, TERM_FLASH_ERASE))
        return 0;
    // The echo "CE" and the "OK" may come in either order.
    if (wait_pairs({pair_code(CMD_CHIP_ERASE), REPLY_OK}, ERASE_REPLY_READS, ERASE_WAIT_SEC, false,
                   false, TERM_FLASH_ERASE) == WAIT_SEEN) {
        std::printf("Ok\n");
        return 1;
    }
    std::printf("Fail\n");
    return 0;
}

int erase_sector(int sn, bool show)
{
    if (!send_command(CMD_SECTOR_ERASE, true, TERM_FLASH_ERASE) ||
        !exchange_number(pair_code(CMD_SECTOR_ERASE), sn, 0, show))
        return -1;
    return wait_pairs({REPLY_OK}, ERASE_REPLY_READS, ERASE_WAIT_SEC, false, show,
                      TERM_FLASH_ERASE) == WAIT_SEEN;
}

int proc_EraseSectors()
{
    if (!read_id())
        return 0;
    std::printf("\nErase flash sectors");
    std::fflush(stdout);
    int rvl = 1;
    // The "erase sector" list and the sectors of "erase needed": each once, in ascending order.
    const U32 mask = sector_erase_mask();
    for (int sn = 0; sn < FLASH_SECTORS && rvl; sn++) {
        if (!(mask & (U32{1} << sn)))
            continue;
        std::printf("\n Sector %d ...", sn);
        std::fflush(stdout);
        // Whatever the monitor says while it erases is shown on the sector's line.
        const int erased = erase_sector(sn, true);
        if (erased < 0) {
            rvl = 0;
            break;
        }
        if (erased) {
            std::printf("Ok");
        } else {
            std::printf("Fail");
            rvl = 0;
        }
    }
    std::printf(rvl ? "\nOk\n" : "\nFail\n");
    return rvl;
}
