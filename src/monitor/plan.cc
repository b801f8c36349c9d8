// The plan of a run and its time estimate, from the settings and the write's image alone.
#include "monitor/plan.h"

#include <cstdio>

#include "monitor/flash_read.h"
#include "monitor/image/image.h"
#include "monitor/link/link.h"
#include "monitor/recovery/resume.h"

namespace {

// Bytes on the wire of the protocol's pieces.
constexpr long MARKER_BYTES = 2;                                       // "rr"
constexpr long LETTERS_BYTES = 2;                                      // a command's two letters
constexpr long NUMBER_BYTES = 2 + 2 * NUMBER_DIGITS;                   // prompt, digits, echo
constexpr long BLOCK_FRAME_BYTES = LETTERS_BYTES + NUMBER_BYTES +      // "WB", offset exchange,
                                   FLASH_BLOCK_BYTES + NUMBER_DIGITS;  // data, check value
constexpr long CHIP_ERASE_REPLY_BYTES = 4;                             // "CE" and "OK"
constexpr long SECTOR_ERASE_REPLY_BYTES = 2;                           // "OK"
constexpr long ID_REPLY_BYTES = 2 + NUMBER_DIGITS;                     // letters echoed, the code
constexpr int SPEED_SETTLE_SEC = 1;  // before the host switches back
constexpr int BITS_PER_BYTE = 10;    // start, 8 data bits, stop

double wire(long bytes, int baud) { return static_cast<double>(bytes) * BITS_PER_BYTE / baud; }

// A handshake and a paced command's letters at the start-up speed; its pauses are counted apart.
double paced_command() { return wire(MARKER_BYTES + LETTERS_BYTES, inspeed); }

constexpr int PAUSES_PER_COMMAND = 2;  // one after each of a paced command's letters

U32 popcount(U32 m)
{
    U32 n = 0;
    for (; m; m &= m - 1)
        n++;
    return n;
}

int count_dram_tests()
{
    return (dram_test_cmd != 0) + (dram_byte_test_cmd != 0) + (dram_halfword_test_cmd != 0) +
           (dram_word_test_cmd != 0);
}

// The speed frames of a data phase at `speed` (0: none): "SP" at the start-up speed, the marker
// at the new one, back with "SP" at it and the settle.
double speed_switch(int speed)
{
    if (speed == 0)
        return 0;
    return wire(LETTERS_BYTES + NUMBER_BYTES, inspeed) + wire(MARKER_BYTES, speed) +
           wire(LETTERS_BYTES + NUMBER_BYTES, speed) + SPEED_SETTLE_SEC;
}

double write_seconds(const block_plan &plan)
{
    const int speed = write_speed != 0 ? write_speed : inspeed;
    double t = wire(MARKER_BYTES, inspeed) + speed_switch(write_speed);
    if (write_speed == 0)
        t += wire(MARKER_BYTES, speed);
    t += wire(static_cast<long>(plan.send.size()) * BLOCK_FRAME_BYTES, speed);
    if (write_verifies())
        t += wire(LETTERS_BYTES + NUMBER_BYTES + image_end(write_image), speed);
    return t;
}

}  // namespace

int plan_pauses()
{
    int commands = manufactory_cmd != 0;
    commands += deviceid_cmd != 0;
    commands += erase_cmd != 0;
    commands += static_cast<int>(popcount(sector_erase_mask()));
    commands += count_dram_tests();
    if (fastwrite_cmd == 1)
        commands +=
            write_verifies() ? 1 : 0;  // the read-back's "RD"; the block write's own are unpaced
    else
        commands += write_cmd != 0;
    commands += read_cmd && job_length() > 0;
    commands += read_registers != 0;
    return PAUSES_PER_COMMAND * commands;
}

double plan_seconds()
{
    double t = 0;
    if (manufactory_cmd)
        t += paced_command() + wire(ID_REPLY_BYTES, inspeed);
    if (deviceid_cmd)
        t += paced_command() + wire(ID_REPLY_BYTES, inspeed);
    if (erase_cmd)
        t += paced_command() + wire(CHIP_ERASE_REPLY_BYTES, inspeed);
    if (const U32 sectors = popcount(sector_erase_mask()))
        t += wire(MARKER_BYTES, inspeed) +
             sectors * wire(LETTERS_BYTES + NUMBER_BYTES + SECTOR_ERASE_REPLY_BYTES, inspeed);
    t += count_dram_tests() * paced_command();
    if (fastwrite_cmd == 1)
        t += write_seconds(plan_blocks(write_image, sectors_erased_by_run()));
    else if (write_cmd)  // every byte goes out and comes back as its echo
        t += paced_command() + wire(NUMBER_BYTES + 2L * job_length(), inspeed);
    if (read_cmd && job_length() > 0) {  // the data at the read's own speed
        const int speed = read_data_speed() != 0 ? read_data_speed() : inspeed;
        t += paced_command() + speed_switch(read_data_speed()) +
             wire(NUMBER_BYTES + job_length(), speed);
    }
    if (read_registers)
        t += paced_command();
    return t + plan_pauses() * (pause_ms / 1000.0);
}

void print_plan()
{
    std::printf("Plan: nothing is sent, the device is not opened\n");
    if (fastwrite_cmd == 1 && write_image.loaded) {
        const flash_image &img = write_image;
        std::printf("Image: %s, %s, %ld bytes, SHA-256 %s\n", inpfilenam, format_title(img.format),
                    img.defined, img.sha256);
        for (const image_region &r : img.regions) {
            const U32 last = r.offset + static_cast<U32>(r.bytes.size()) - 1;
            if (img.format == FORMAT_BIN)
                std::printf(" Flash 0x%06x-0x%06x, %zu bytes\n", r.offset, last, r.bytes.size());
            else
                std::printf(" Flash 0x%06x-0x%06x, %zu bytes, from address 0x%08x\n", r.offset,
                            last, r.bytes.size(), r.offset + flash_base);
        }
    }
    if (erase_cmd)
        std::printf("Erase: whole chip\n");
    if (const U32 mask = sector_erase_mask())
        std::printf("Erase sectors: %s\n", sector_list(mask).c_str());
    if (fastwrite_cmd == 1 && write_image.loaded) {
        const block_plan plan = plan_blocks(write_image, sectors_erased_by_run());
        std::printf("Write: %zu blocks sent, %ld skipped (%ld hold no image byte, %ld all 0xFF in "
                    "erased sectors)\n",
                    plan.send.size(), plan.skipped_empty + plan.skipped_erased, plan.skipped_empty,
                    plan.skipped_erased);
        if (write_verifies())
            std::printf("Verify: read back %u bytes from offset 0\n", image_end(write_image));
    } else if (write_cmd) {
        std::printf("Byte write: %ld bytes\n", job_length());
    }
    if (read_cmd)
        std::printf("Read: %ld bytes into %s\n", job_length(), outfilenam);
    if (count_dram_tests() > 0 || read_registers || manufactory_cmd || deviceid_cmd)
        std::printf("Also: the flash ids, DRAM tests and registers selected\n");
    std::printf("Pauses: %d after command letters, %d ms each\n", plan_pauses(), pause_ms);
    std::printf("Estimated time: %.1f s at %d baud", plan_seconds(), inspeed);
    if (fastwrite_cmd == 1 && write_speed != 0)
        std::printf(", data at %d baud", write_speed);
    if (read_cmd && read_data_speed() != 0 &&
        (fastwrite_cmd != 1 || read_data_speed() != write_speed))
        std::printf(", read at %d baud", read_data_speed());
    std::printf(" (the monitor's own erase and test time not included)\n");
}
