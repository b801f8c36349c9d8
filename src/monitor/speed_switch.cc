// The speed frame of the block write's data phase and its way back.
#include "monitor/speed_switch.h"

#include <array>

#include "monitor/block_crc.h"
#include "monitor/link.h"
#include "serial/serial.h"

namespace {

constexpr int SPEED_SETTLE_SEC = 1;  // the monitor switches back before the host does

// The "SP" frame telling the monitor `baud`; its echo is not insisted on, as it may come at
// either speed. `report`: failures print their messages.
int speed_frame(int baud, const char *term_msg, bool report)
{
    return send_command(CMD_SET_SPEED, false, term_msg) &&
           exchange_number(pair_code(CMD_SET_SPEED), baud, 1, report);
}

// What a "WB" frame cut short may still wait for: its offset's digits and its block.
constexpr int FRAME_FILL_BYTES = NUMBER_DIGITS + FLASH_BLOCK_BYTES;
constexpr U8 ERASED_BYTE = 0xFF;

// The monitor's ready marker within a second of silence.
bool monitor_ready()
{
    return wait_pairs({READY_MARKER}, READY_READS, 1, true, false, TERM_FLASH_WRITE) == WAIT_SEEN;
}

// Run by the first termination request while the monitor is at the fast speed. The request is
// being honoured: the line's writes and waits go on for the length of the way back, and a second
// request ends it (and the run) at once. The request may have cut a block's frame short, and the
// monitor then still waits for the offset's digits or the block's data: 0xFF completes either
// without harm (as digits it is no number, so the frame is given up; as data it programs nothing,
// erased flash holds it), and the monitor says it is ready again. Bounded by a second of
// listening before and after, and the speed frame's own waits.
void back_to_normal_on_termination()
{
    finish_despite_request(true);
    bool ready = monitor_ready();
    if (!ready && !stopped()) {
        std::array<U8, FRAME_FILL_BYTES> fill;
        fill.fill(ERASED_BYTE);
        ready = write_tty(fill.data(), FRAME_FILL_BYTES, 0, 0) && monitor_ready();
    }
    if (ready && speed_frame(inspeed, TERM_FLASH_WRITE, false))
        pause_tty(SPEED_SETTLE_SEC, 0);
    finish_despite_request(false);
    restore_line();
}

}  // namespace

int enter_fast_speed(int baud)
{
    const int code = speed_toh(baud);
    if (code == 0)
        return 0;
    if (!speed_frame(baud, TERM_FLASH_WRITE, true) || !set_line_speed(code))
        return 0;
    set_termination_step(back_to_normal_on_termination);
    end_run_if_interrupted(TERM_FLASH_WRITE);
    return 1;
}

int leave_fast_speed()
{
    if (!speed_frame(inspeed, TERM_FLASH_WRITE, true))
        return 0;
    set_termination_step(nullptr);
    if (!pause_tty(SPEED_SETTLE_SEC, 0))
        end_run_if_interrupted(TERM_FLASH_WRITE);
    return restore_line();
}

void put_back_line()
{
    set_termination_step(nullptr);
    if (!restore_line())
        end_program(1);
}
