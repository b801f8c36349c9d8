// Whole-chip and per-sector flash erase.
#include <cstdio>

#include "monitor/image/image.h"
#include "monitor/link/link.h"
#include "serial/serial.h"

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

namespace {

// The sector number went out and its echo was not sn: the monitor may be erasing another sector.
// An echo of another number says which, and the run ends; so does any other echo, or none, of a
// quiet erase (a rebuild), which cannot be sure what was erased and must not guess.
void check_erased_sector(int sn, const number_echo &echo, bool show)
{
    char what[128];
    if (echo.came && echo.is_number && echo.value < FLASH_SECTORS)
        std::snprintf(what, sizeof what, "Sector %u was erased instead of sector %d", echo.value,
                      sn);
    else if (echo.came && echo.is_number)
        std::snprintf(what, sizeof what,
                      "The monitor took sector 0x%X for sector %d: what it erased is not known",
                      echo.value, sn);
    else if (!show)
        std::snprintf(what, sizeof what,
                      "Sector %d: %s of the sector number: what the monitor erased is not known",
                      sn, echo.came ? "a garbled echo" : "no echo");
    else
        return;
    note_monitor_damage(what);
    wait_erase_done();
}

}  // namespace

int erase_sector(int sn, bool show)
{
    number_echo echo;
    if (!send_command(CMD_SECTOR_ERASE, true, TERM_FLASH_ERASE))
        return -1;
    if (!exchange_number(pair_code(CMD_SECTOR_ERASE), sn, 0, show, &echo)) {
        if (echo.sent && !monitor_damaged())
            check_erased_sector(sn, echo, show);
        return -1;
    }
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
